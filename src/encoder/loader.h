// Run-time loading of the media framework library and its five entry points.
#pragma once

#include <string>

#include "encoder/media_framework.h"

// Written once by LoadMediaFramework on the main thread, read-only afterwards. An entry that the
// library lacks stays null; after a false result nothing uses the table.
struct MediaFrameworkEntryPoints {
  MFTEnumExFunction enumTransforms = nullptr;              // "MFTEnumEx"
  MFCreateMediaTypeFunction createMediaType = nullptr;     // "MFCreateMediaType"
  MFCreateSampleFunction createSample = nullptr;           // "MFCreateSample"
  MFCreateMemoryBufferFunction createMemoryBuffer = nullptr;  // "MFCreateMemoryBuffer"
};

extern MediaFrameworkEntryPoints mediaFramework;

// Loads the framework library by its plain name ("mfplat.dll" on Windows, "libvistrel-mediafw.so"
// elsewhere: the system's library search applies, which looks beside the executable first; on
// POSIX the executable's folder is also tried when that search fails), looks up "MFStartup" and
// the four table entries, and starts the framework without socket support.
// True exactly when all five were found and MFStartup succeeded; MFStartup is not called when any
// is missing. Logs nothing. The library is never unloaded and the framework never shut down.
bool LoadMediaFramework();

// Test seam: loads this library instead of the plain name (a path with backslashes, or an empty
// string for the plain name again).
void SetMediaFrameworkLibraryForTesting(const std::u16string& path);

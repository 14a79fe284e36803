#include "encoder/loader.h"

#include "encoder/loader_system.h"

MediaFrameworkEntryPoints mediaFramework;

namespace {
std::u16string libraryForTesting;
}  // namespace

void SetMediaFrameworkLibraryForTesting(const std::u16string& path) { libraryForTesting = path; }

bool LoadMediaFramework() {
  void* library = loader_system::OpenFrameworkLibrary(libraryForTesting);
  if (library == nullptr) return false;

  // All five look-ups come before any check: the table holds whatever the library has.
  const auto startup =
      reinterpret_cast<MFStartupFunction>(loader_system::FindEntryPoint(library, "MFStartup"));
  mediaFramework.enumTransforms =
      reinterpret_cast<MFTEnumExFunction>(loader_system::FindEntryPoint(library, "MFTEnumEx"));
  mediaFramework.createMediaType = reinterpret_cast<MFCreateMediaTypeFunction>(
      loader_system::FindEntryPoint(library, "MFCreateMediaType"));
  mediaFramework.createSample = reinterpret_cast<MFCreateSampleFunction>(
      loader_system::FindEntryPoint(library, "MFCreateSample"));
  mediaFramework.createMemoryBuffer = reinterpret_cast<MFCreateMemoryBufferFunction>(
      loader_system::FindEntryPoint(library, "MFCreateMemoryBuffer"));

  if (startup == nullptr || mediaFramework.enumTransforms == nullptr ||
      mediaFramework.createMediaType == nullptr || mediaFramework.createSample == nullptr ||
      mediaFramework.createMemoryBuffer == nullptr) {
    return false;
  }
  return SUCCEEDED(startup(MF_VERSION, MFSTARTUP_LITE));
}

// The system-specific half of the media framework loader (loader_posix.cpp, loader_win32.cpp).
#pragma once

#include <string>

namespace loader_system {

using EntryPoint = void (*)();

// Loads the framework library: the plain system name when path is empty, else that path (with
// backslashes). Null on failure. The library is never unloaded.
void* OpenFrameworkLibrary(const std::u16string& path);

// The exported function of that name, or null.
EntryPoint FindEntryPoint(void* library, const char* name);

}  // namespace loader_system

// The framework library on Windows: mfplat.dll through LoadLibraryW, by its plain name, so the
// system's library search applies (the application's folder first).
#include "encoder/media_framework.h"

#include "encoder/loader_system.h"

namespace loader_system {

void* OpenFrameworkLibrary(const std::u16string& path) {
  if (path.empty()) return reinterpret_cast<void*>(LoadLibraryW(L"mfplat.dll"));
  const std::wstring wide(path.begin(), path.end());
  return reinterpret_cast<void*>(LoadLibraryW(wide.c_str()));
}

EntryPoint FindEntryPoint(void* library, const char* name) {
  return reinterpret_cast<EntryPoint>(GetProcAddress(static_cast<HMODULE>(library), name));
}

}  // namespace loader_system

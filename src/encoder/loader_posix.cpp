// The framework library on POSIX systems: libvistrel-mediafw.so through dlopen. The executable's
// RUNPATH $ORIGIN makes the plain name find the library beside it first.
#include <dlfcn.h>

#include <algorithm>

#include "encoder/loader_system.h"
#include "platform/text.h"

namespace loader_system {

void* OpenFrameworkLibrary(const std::u16string& path) {
  if (path.empty()) return dlopen("libvistrel-mediafw.so", RTLD_NOW);
  std::string native = platform::Utf8FromUtf16(path);
  std::replace(native.begin(), native.end(), '\\', '/');
  return dlopen(native.c_str(), RTLD_NOW);
}

EntryPoint FindEntryPoint(void* library, const char* name) {
  return reinterpret_cast<EntryPoint>(dlsym(library, name));
}

}  // namespace loader_system

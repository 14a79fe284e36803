// The framework library on POSIX systems: libvistrel-mediafw.so through dlopen. The executable's
// RUNPATH $ORIGIN makes the plain name find the library beside it first.
#include <dlfcn.h>

#include <algorithm>

#include "encoder/loader_system.h"
#include "platform/file.h"
#include "platform/text.h"

namespace loader_system {

namespace {

constexpr char kLibraryName[] = "libvistrel-mediafw.so";

std::string NativePath(const std::u16string& path) {
  std::string native = platform::Utf8FromUtf16(path);
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

}  // namespace

void* OpenFrameworkLibrary(const std::u16string& path) {
  if (!path.empty()) return dlopen(NativePath(path).c_str(), RTLD_NOW);
  if (void* library = dlopen(kLibraryName, RTLD_NOW)) return library;
  // dlopen applies the RUNPATH of its caller. Where a sanitizer runtime interposes dlopen, the
  // caller is that runtime and $ORIGIN is lost, so the executable's folder is tried explicitly.
  const std::u16string exe = platform::ExecutablePath();
  const std::size_t slash = exe.rfind(u'\\');
  if (slash == std::u16string::npos) return nullptr;
  return dlopen((NativePath(exe.substr(0, slash + 1)) + kLibraryName).c_str(), RTLD_NOW);
}

EntryPoint FindEntryPoint(void* library, const char* name) {
  return reinterpret_cast<EntryPoint>(dlsym(library, name));
}

}  // namespace loader_system

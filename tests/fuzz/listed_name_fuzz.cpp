// A name as a folder listing on POSIX gives it, any bytes a file system may hold. The listing
// accepts it only as a plain name that converts back to exactly the same bytes: the path built
// from it names that entry of the folder and nothing outside it. A name with a separator, "." or
// "..", is never accepted. For an accepted name the wildcard match agrees with a plain check of
// its beginning and end.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/file.h"
#include "platform/posix/posix_path.h"
#include "platform/text.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

bool Framed(const std::u16string& name, const std::u16string& prefix, const std::u16string& suffix) {
  return name.size() >= prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string native(reinterpret_cast<const char*>(data), size);
  std::u16string name;
  const bool accepted = platform::posix::ListedName(native, name);
  const bool plain = !native.empty() && native != "." && native != ".." &&
                     native.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
  if (!plain) Require(!accepted);
  if (!accepted) return 0;

  Require(platform::PlainFileName(name));
  Require(platform::Utf8FromUtf16(name) == native);
  // One more level below the folder, and exactly that name.
  Require(platform::posix::NativePath(u"\\out\\clips\\" + name) == "/out/clips/" + native);

  Require(platform::NameMatches(u"clip_*.mp4", name) == Framed(name, u"clip_", u".mp4"));
  Require(platform::NameMatches(u"rec_*.mp4.tmp", name) == Framed(name, u"rec_", u".mp4.tmp"));
  Require(platform::NameMatches(u"*", name));
  return 0;
}

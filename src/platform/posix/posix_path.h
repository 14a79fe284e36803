// How the POSIX layer turns the system's UTF-16 backslash paths into its own.
#pragma once

#include <string>

#include "platform/file.h"
#include "platform/text.h"

namespace platform::posix {

inline std::string NativePath(const std::u16string& path) {
  std::string out = Utf8FromUtf16(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

inline std::u16string SystemPath(const std::string& path) {
  std::u16string out = Utf16FromUtf8(path);
  for (char16_t& c : out) {
    if (c == u'/') c = u'\\';
  }
  return out;
}

// The system's name for an entry that a folder listing gives as native bytes, or false when the
// entry must be left out: a name that is no PlainFileName once converted (a backslash is a
// separator here, so "clip_\..\..\x.mp4" would lead out of the folder), or one whose bytes are
// no UTF-8 and would come back from the conversion as the name of another file.
inline bool ListedName(const std::string& native, std::u16string& name) {
  name = Utf16FromUtf8(native);
  return PlainFileName(name) && Utf8FromUtf16(name) == native;
}

// "Local\Name" -> "/Name".
inline std::string NativeObjectName(const std::u16string& name) {
  std::u16string rest = name;
  const std::u16string prefix = u"Local\\";
  if (rest.compare(0, prefix.size(), prefix) == 0) rest = rest.substr(prefix.size());
  // Built by appending: "/" + a temporary makes gcc 12 at -O3 report an overlap that cannot happen.
  std::string out = "/";
  out += Utf8FromUtf16(rest);
  return out;
}

}  // namespace platform::posix

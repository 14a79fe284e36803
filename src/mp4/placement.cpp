#include "mp4/placement.h"

#include <vector>

namespace {

constexpr std::uint32_t kMaxNumberedNames = 1000;

bool NameTaken(const std::u16string& path) {
  // A listing with the whole name as its pattern finds exactly that entry, file or directory.
  std::vector<platform::DirEntry> entries;
  return platform::ListDirectory(path, entries);
}

}  // namespace

std::u16string NumberedPath(const std::u16string& path, std::uint32_t number) {
  std::u16string suffix = u"_";
  for (char c : std::to_string(number)) suffix += static_cast<char16_t>(c);
  const std::u16string extension = u".mp4";
  if (path.size() >= extension.size() &&
      path.compare(path.size() - extension.size(), extension.size(), extension) == 0) {
    return path.substr(0, path.size() - extension.size()) + suffix + extension;
  }
  return path + suffix;
}

bool MoveToFreeName(platform::FileHandle& file, const std::u16string& temporaryPath, const std::u16string& finalPath,
                    std::u16string& usedPath) {
  for (std::uint32_t number = 1; number <= kMaxNumberedNames; ++number) {
    std::u16string candidate = number == 1 ? finalPath : NumberedPath(finalPath, number);
    if (platform::CloseFileAs(file, temporaryPath, candidate)) {
      usedPath = std::move(candidate);
      return true;
    }
    if (!NameTaken(candidate)) return false;
  }
  return false;
}

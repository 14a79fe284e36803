#include "platform/file.h"

#include "platform/win32/win32.h"

namespace platform {

using win32::FromHandle;
using win32::ToHandle;
using win32::Wide;

FileHandle CreateFileForWrite(const std::u16string& path, ShareMode share) {
  HANDLE h = ::CreateFileW(Wide(path), GENERIC_WRITE, share == ShareMode::Read ? FILE_SHARE_READ : 0,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? kInvalidFile : FromHandle(h);
}

bool WriteToFile(FileHandle file, const void* data, std::size_t size) {
  if (file == kInvalidFile) return false;
  DWORD written = 0;
  return ::WriteFile(ToHandle(file), data, static_cast<DWORD>(size), &written, nullptr) != 0;
}

bool SeekFile(FileHandle file, std::uint64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(offset);
  return ::SetFilePointerEx(ToHandle(file), to, nullptr, FILE_BEGIN) != 0;
}

bool TruncateFileHere(FileHandle file) { return ::SetEndOfFile(ToHandle(file)) != 0; }

void CloseFile(FileHandle file) {
  if (file != kInvalidFile) ::CloseHandle(ToHandle(file));
}

bool MoveFileTo(const std::u16string& from, const std::u16string& to, bool replace) {
  return ::MoveFileExW(Wide(from), Wide(to), replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
}

bool RemoveFile(const std::u16string& path) { return ::DeleteFileW(Wide(path)) != 0; }

bool MakeDirectory(const std::u16string& path) { return ::CreateDirectoryW(Wide(path), nullptr) != 0; }

bool FreeBytesAvailable(const std::u16string& folder, std::uint64_t& bytes) {
  ULARGE_INTEGER available;
  if (!::GetDiskFreeSpaceExW(Wide(folder), &available, nullptr, nullptr)) return false;
  bytes = available.QuadPart;
  return true;
}

namespace {
char16_t Fold(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
  WCHAR w[2] = {static_cast<WCHAR>(c), 0};
  ::CharUpperW(w);
  return static_cast<char16_t>(w[0]);
}
}  // namespace

bool NameMatches(const std::u16string& pattern, const std::u16string& name) {
  std::size_t p = 0, n = 0, starP = std::u16string::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && Fold(pattern[p]) == Fold(name[n])) {
      ++p;
      ++n;
    } else if (starP != std::u16string::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

bool ListDirectory(const std::u16string& folderAndPattern, std::vector<DirEntry>& entries) {
  std::size_t cut = folderAndPattern.find_last_of(u"\\/");
  const std::u16string pattern =
      cut == std::u16string::npos ? folderAndPattern : folderAndPattern.substr(cut + 1);
  WIN32_FIND_DATAW found;
  HANDLE h = ::FindFirstFileW(Wide(folderAndPattern), &found);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool any = false;
  do {
    std::u16string name = win32::FromWide(found.cFileName);
    // FindFirstFileW also matches 8.3 short names ("clip_*.mp4" would find "clip_x.mp4.tmp" through
    // "CLIP_X~1.MP4"); only the long name counts.
    if (name == u"." || name == u".." || !NameMatches(pattern, name)) continue;
    DirEntry e;
    e.name = std::move(name);
    e.isDirectory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    e.size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    e.lastWrite = (static_cast<std::uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                  found.ftLastWriteTime.dwLowDateTime;
    entries.push_back(std::move(e));
    any = true;
  } while (::FindNextFileW(h, &found));
  ::FindClose(h);
  return any;
}

std::u16string ExecutablePath() {
  std::wstring buffer(32768, L'\0');
  DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (n == 0 || n >= buffer.size()) return {};
  buffer.resize(n);
  return std::u16string(buffer.begin(), buffer.end());
}

}  // namespace platform

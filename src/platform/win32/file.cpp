#include "platform/file.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/win32/win32.h"

#include <winternl.h>

namespace platform {

using win32::FromHandle;
using win32::ToHandle;
using win32::Wide;

namespace {

// Reparse tags of entries that hold no file's data of their own, besides those that stand for
// another name (links, junctions; IsReparseTagNameSurrogate): sockets, and the FIFOs and devices of
// the Linux subsystem. Other reparse points (cloud placeholders, deduplicated or compressed files)
// are regular files with a file system filter in front of their data.
constexpr DWORD kTagAfUnix = 0x80000023;
constexpr DWORD kTagLxFifo = 0x80000024;
constexpr DWORD kTagLxChr = 0x80000025;
constexpr DWORD kTagLxBlk = 0x80000026;

constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035);

EntryKind KindOf(DWORD attributes, DWORD reparseTag) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      (IsReparseTagNameSurrogate(reparseTag) || reparseTag == kTagAfUnix || reparseTag == kTagLxFifo ||
       reparseTag == kTagLxChr || reparseTag == kTagLxBlk)) {
    return EntryKind::Other;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EntryKind::Directory;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return EntryKind::Other;
  return EntryKind::File;
}

// What the handle holds open, told by the file system itself. False when it does not say.
bool KindOfOpenFile(HANDLE h, EntryKind& kind) {
  FILE_ATTRIBUTE_TAG_INFORMATION info{};
  IO_STATUS_BLOCK io{};
  if (!NT_SUCCESS(::NtQueryInformationFile(h, &io, &info, sizeof info, FileAttributeTagInformation))) {
    return false;
  }
  kind = KindOf(info.FileAttributes, info.ReparseTag);
  return true;
}

}  // namespace

FileHandle CreateFileForWrite(const std::u16string& path, ShareMode share) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    // A link of that name is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT) and refused below,
    // never followed out of the folder. That flag cannot go with CREATE_ALWAYS, so an existing
    // file is opened and emptied here.
    HANDLE h = ::CreateFileW(Wide(path), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                             share == ShareMode::Read ? FILE_SHARE_READ : 0, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kInvalidFile;
    EntryKind kind = EntryKind::Other;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!KindOfOpenFile(h, kind) || kind != EntryKind::File || !::GetFileInformationByHandle(h, &info)) {
      ::CloseHandle(h);
      return kInvalidFile;
    }
    if (info.nNumberOfLinks > 1) {
      // Another name shares this file's bytes (a hard link, such as the temporary name that
      // CloseFileAs could not take away): emptying it would empty that one too, which may be a
      // kept file or lie outside the folder. This name is taken off it instead, and a new file
      // is made.
      ::CloseHandle(h);
      if (!RemoveFile(path)) return kInvalidFile;
      continue;
    }
    if ((info.nFileSizeHigh != 0 || info.nFileSizeLow != 0) && !::SetEndOfFile(h)) {
      ::CloseHandle(h);
      return kInvalidFile;
    }
    return FromHandle(h);
  }
  return kInvalidFile;
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

// Windows renames an open file only through a handle with delete access, and the writer's handle
// has none: with it, every reader that does not share deleting (the C runtime's, most players')
// would be kept away from a recording in progress. So the final name is made a second link to the
// file through the writer's handle, while that handle still holds it; the temporary name goes
// once the handle is closed, and whoever takes it away first does no harm. A volume without links
// (FAT, exFAT) gets the old way: close, then move.
bool CloseFileAs(FileHandle& file, const std::u16string& from, const std::u16string& to) {
  if (file == kInvalidFile) return MoveFileTo(from, to, false);
  UNICODE_STRING target{};
  if (!::RtlDosPathNameToNtPathName_U(Wide(to), &target, nullptr, nullptr)) return false;
  std::vector<unsigned char> buffer(offsetof(FILE_LINK_INFORMATION, FileName) + target.Length + sizeof(WCHAR));
  auto* link = reinterpret_cast<FILE_LINK_INFORMATION*>(buffer.data());
  link->ReplaceIfExists = FALSE;
  link->RootDirectory = nullptr;
  link->FileNameLength = target.Length;
  std::memcpy(link->FileName, target.Buffer, target.Length);
  ::RtlFreeUnicodeString(&target);
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = ::NtSetInformationFile(ToHandle(file), &io, link, static_cast<ULONG>(buffer.size()),
                                                 FileLinkInformation);
  if (status == kStatusObjectNameCollision) return false;  // to exists: the caller may try another
  CloseFile(file);
  file = kInvalidFile;
  if (!NT_SUCCESS(status)) return MoveFileTo(from, to, false);
  RemoveFile(from);
  return true;
}

bool RemoveFile(const std::u16string& path) {
  // Opened as itself (a link is not followed, a folder not opened at all), with the delete access
  // and sharing of DeleteFileW: a handle from CreateFileForWrite shares no deleting, so while one
  // is open this open fails. Then deleted only when it is a regular file.
  HANDLE h = ::CreateFileW(Wide(path), DELETE | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  EntryKind kind = EntryKind::Other;
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  const bool removed = KindOfOpenFile(h, kind) && kind == EntryKind::File &&
                       ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
  ::CloseHandle(h);
  return removed;
}

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
    if (!PlainFileName(name) || !NameMatches(pattern, name)) continue;
    DirEntry e;
    e.name = std::move(name);
    // dwReserved0 holds the reparse tag when the entry is a reparse point.
    e.kind = KindOf(found.dwFileAttributes, found.dwReserved0);
    e.size = e.kind != EntryKind::File ? 0
                                       : (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
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

#include "platform/exclusive_file.h"

#include "platform/win32/win32.h"

namespace platform {

using win32::FromHandle;
using win32::ToHandle;
using win32::Wide;

ExclusiveOpen OpenFileExclusive(const std::u16string& path, FileHandle& file) {
  file = kInvalidFile;
  // No sharing at all: the open fails with a sharing violation while any other handle has the
  // file open for writing (CreateFileForWrite shares reading only), and while the handle is open
  // nobody else may write, rename or delete the file. FILE_FLAG_OPEN_REPARSE_POINT opens a
  // symbolic link or junction itself, which the attribute check below then refuses.
  HANDLE h = ::CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ExclusiveOpen::Missing;
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return ExclusiveOpen::Held;
    return ExclusiveOpen::Refused;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
    ::CloseHandle(h);
    return ExclusiveOpen::Refused;
  }
  file = FromHandle(h);
  return ExclusiveOpen::Opened;
}

bool ReadFileAt(FileHandle file, std::uint64_t offset, void* data, std::size_t size) {
  if (file == kInvalidFile) return false;
  auto* p = static_cast<unsigned char*>(data);
  // The read moves the file pointer of a synchronous handle too: keep it where it was, for the
  // writes that follow.
  LARGE_INTEGER zero{};
  LARGE_INTEGER position{};
  if (!::SetFilePointerEx(ToHandle(file), zero, &position, FILE_CURRENT)) return false;
  bool ok = true;
  while (size > 0 && ok) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size);
    DWORD got = 0;
    ok = ::ReadFile(ToHandle(file), p, want, &got, &at) != 0 && got > 0;
    p += got;
    size -= got;
    offset += got;
  }
  if (!::SetFilePointerEx(ToHandle(file), position, nullptr, FILE_BEGIN)) return false;
  return ok;
}

bool FileSizeOf(FileHandle file, std::uint64_t& size) {
  LARGE_INTEGER s;
  if (file == kInvalidFile || !::GetFileSizeEx(ToHandle(file), &s) || s.QuadPart < 0) return false;
  size = static_cast<std::uint64_t>(s.QuadPart);
  return true;
}

}  // namespace platform

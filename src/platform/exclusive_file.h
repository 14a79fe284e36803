// Taking over a file that some earlier writer left behind: opened for reading and writing only
// when nobody else has it open for writing, so that a file another running process is still
// writing is never touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

namespace platform {

enum class ExclusiveOpen {
  Opened,   // the handle is ours alone until it is closed
  Missing,  // no file of that name
  Held,     // another handle (of this or another process) has it open
  Refused,  // not a regular file, or the system refused it for another reason
};

// Opens an existing regular file for reading and writing without sharing it: while the handle is
// open, CreateFileForWrite and RemoveFile of the same file fail, in this and in any other process,
// just as they fail for a file that CreateFileForWrite holds. A file that such a handle already
// holds is not opened (Held). Never blocks, never follows a symbolic link or reparse point, and
// never opens anything but a regular file. file receives kInvalidFile unless the result is Opened.
ExclusiveOpen OpenFileExclusive(const std::u16string& path, FileHandle& file);

// Reads exactly size bytes at offset without moving the file position that WriteToFile uses.
// False when the system fails or the file ends before.
bool ReadFileAt(FileHandle file, std::uint64_t offset, void* data, std::size_t size);

// The file's current size in bytes.
bool FileSizeOf(FileHandle file, std::uint64_t& size);

}  // namespace platform

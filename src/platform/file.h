// Files, directories and free space, with the Windows semantics the rest of the system relies on.
//
// Paths are UTF-16 with backslashes as separators; on POSIX the layer turns them into UTF-8 paths
// with slashes at its edge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using FileHandle = std::intptr_t;
inline constexpr FileHandle kInvalidFile = -1;

enum class ShareMode {
  None,  // nobody else may open the file while it is open
  Read,  // others may open it for reading
};

// Creates the file (replacing an existing one) for writing. In either share mode no other party can
// delete or rename the file while this handle is open. Returns kInvalidFile on failure.
FileHandle CreateFileForWrite(const std::u16string& path, ShareMode share);

// Writes all bytes at the current position. False when the system reports a failure; some of the
// bytes may then have reached the file.
bool WriteToFile(FileHandle file, const void* data, std::size_t size);

// Moves the file position to offset bytes from the start.
bool SeekFile(FileHandle file, std::uint64_t offset);

// Cuts the file at the current position.
bool TruncateFileHere(FileHandle file);

void CloseFile(FileHandle file);

// Renames a file. Without replace, an existing destination makes the move fail and stays untouched.
bool MoveFileTo(const std::u16string& from, const std::u16string& to, bool replace);

// Gives a finished file its final name to, never replacing an existing to, and closes it. file is
// the handle from CreateFileForWrite under the name from; the file stays held until it has its
// final name, so between a writer's last byte and that name there is no moment in which another
// party (a second process clearing leftovers) could delete it. file may also be kInvalidFile for a
// file closed already: it is then moved by name, without a hold.
// True when the file has the name to; file is then kInvalidFile. False when it has not (to exists,
// or the move failed otherwise): the file keeps the name from, and file stays open for another
// try, unless the move had to close it on the way (a Windows volume without links), in which case
// file is kInvalidFile.
bool CloseFileAs(FileHandle& file, const std::u16string& from, const std::u16string& to);

// Deletes a regular file, never anything else: a directory, a link (of any kind; neither it nor
// what it points at), a FIFO, socket or device stays, and nothing is opened in a way that could
// block. Refused while any handle from CreateFileForWrite holds the file open, in this or another
// process.
bool RemoveFile(const std::u16string& path);

// Creates one folder level. False when it exists already or cannot be created.
bool MakeDirectory(const std::u16string& path);

// Free bytes on the volume of folder that the calling user may use.
bool FreeBytesAvailable(const std::u16string& folder, std::uint64_t& bytes);

// What a listed entry is, as the listing sees it (a link is never followed).
enum class EntryKind {
  File,       // a regular file
  Directory,  // a folder
  Other,      // a link (to a file or a folder), FIFO, socket or device
};

struct DirEntry {
  std::u16string name;  // the entry's long name, without the folder
  EntryKind kind = EntryKind::Other;
  std::uint64_t size = 0;       // bytes; 0 for all but a File
  std::uint64_t lastWrite = 0;  // 100-ns units since 1601-01-01 UTC
};

// Lists the entries of a folder whose whole name matches a pattern with '*' wildcards.
// folderAndPattern is the folder, a backslash and the pattern ("C:\out\clip_*.mp4"). Every name
// listed is a PlainFileName, so folder + "\" + name names that entry and nothing outside the folder;
// an entry whose name is not one (on POSIX a name may hold a backslash, or bytes that are no UTF-8
// and would name another file once converted) is left out, as if it were not there. False when the
// folder cannot be listed or nothing matches.
bool ListDirectory(const std::u16string& folderAndPattern, std::vector<DirEntry>& entries);

// Whether name can stand for one entry inside a folder: not empty, not "." or "..", and without a
// separator ('\' or '/') or a NUL.
bool PlainFileName(const std::u16string& name);

// Whether name matches pattern, '*' standing for any run of characters. Windows compares letters
// without regard to case, as its own listing does; POSIX compares them exactly.
bool NameMatches(const std::u16string& pattern, const std::u16string& name);

// Full path of the running executable with backslash separators; empty when it cannot be had.
std::u16string ExecutablePath();

}  // namespace platform

#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/posix_path.h"

namespace platform {

using posix::NativePath;

// Windows keeps a file that is open without delete sharing from being deleted or renamed. Here
// every file this layer writes carries an exclusive flock for as long as it is open, and the
// layer's delete takes the same lock first, so a file that another handle (of this or another
// process) is writing is never deleted from under it.
namespace {

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether the open file is still the one the path names (the name itself, not a link's target).
bool StillNamed(int fd, const std::string& path) {
  struct stat open {};
  struct stat named {};
  return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 && SameFile(open, named);
}

}  // namespace

FileHandle CreateFileForWrite(const std::u16string& path, ShareMode /*share*/) {
  const std::string native = NativePath(path);
  // Creating and locking are two steps here, one on Windows. Between them another process's
  // delete (a second vistrel clearing leftovers at its start) can take the new, not yet locked
  // file away: this handle would then write a file without a name, and the work would be lost at
  // the final move. Such a file is given up and created afresh. Anything but a regular file under
  // the name stays as it is and the create fails: a symbolic link is not followed out of the
  // folder, and a FIFO (whose open for writing would wait for a reader) is not waited on.
  constexpr int kFlags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  for (int attempt = 0; attempt < 3; ++attempt) {
    // A name that is new is made here alone (O_EXCL): a lock that is found on the new file then
    // belongs to such a delete, which only looks and lets go (or deletes it, see below), and is
    // waited out for a moment. On a file that was there before, a lock means that someone writes
    // it: the create fails at once.
    bool created = true;
    int fd = ::open(native.c_str(), kFlags | O_EXCL, 0644);
    if (fd < 0 && errno == EEXIST) {
      created = false;
      fd = ::open(native.c_str(), kFlags, 0644);
    }
    if (fd < 0) return kInvalidFile;
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || ::fcntl(fd, F_SETFL, 0) != 0) {
      ::close(fd);
      return kInvalidFile;
    }
    // Lock before truncating: a file someone is writing must not be emptied either.
    int locked = ::flock(fd, LOCK_EX | LOCK_NB);
    for (int wait = 0; locked != 0 && errno == EWOULDBLOCK && created && wait < 100; ++wait) {
      ::usleep(100);
      locked = ::flock(fd, LOCK_EX | LOCK_NB);
    }
    if (locked != 0) {
      ::close(fd);
      return kInvalidFile;
    }
    if (!StillNamed(fd, native)) {
      ::close(fd);
      continue;
    }
    // Only a file that has bytes is emptied. On ext4 truncating even an empty file to 0 marks it
    // for a forced flush of everything written to it at close, which would stall the main loop
    // for as long as a recording's data takes to go out to the disk.
    struct stat existing {};
    if (::fstat(fd, &existing) != 0) {
      ::close(fd);
      return kInvalidFile;
    }
    if (existing.st_nlink > 1) {
      // Another name shares this file's bytes (a hard link): emptying it would empty that one too,
      // which may be a kept file or lie outside the folder. This name is taken off it instead
      // (the lock is ours and the name still the file's), and a new file is made.
      ::unlink(native.c_str());
      ::close(fd);
      continue;
    }
    if (existing.st_size > 0 && ::ftruncate(fd, 0) != 0) {
      ::close(fd);
      return kInvalidFile;
    }
    return fd;
  }
  return kInvalidFile;
}

bool WriteToFile(FileHandle file, const void* data, std::size_t size) {
  if (file == kInvalidFile) return false;
  const auto* p = static_cast<const unsigned char*>(data);
  while (size > 0) {
    ssize_t n = ::write(static_cast<int>(file), p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SeekFile(FileHandle file, std::uint64_t offset) {
  if (file == kInvalidFile) return false;
  return ::lseek(static_cast<int>(file), static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool TruncateFileHere(FileHandle file) {
  if (file == kInvalidFile) return false;
  off_t here = ::lseek(static_cast<int>(file), 0, SEEK_CUR);
  return here >= 0 && ::ftruncate(static_cast<int>(file), here) == 0;
}

void CloseFile(FileHandle file) {
  if (file != kInvalidFile) ::close(static_cast<int>(file));
}

namespace {

// Holds the exclusive lock on an existing regular file, or reports that it cannot: someone else
// holds it, or the name is something else. Only a regular file is ever opened, and never so that
// the open could wait: opening a FIFO for reading waits for a writer, for ever if none comes.
class HeldFile {
 public:
  explicit HeldFile(const std::string& path) {
    struct stat named {};
    if (::lstat(path.c_str(), &named) != 0) {
      missing_ = errno == ENOENT;
      return;
    }
    if (!S_ISREG(named.st_mode)) return;  // a directory, link, FIFO, socket or device
    // The name may have been given to something else since the look: O_NONBLOCK and O_NOFOLLOW
    // keep even that from waiting or leading elsewhere, and the check after the open refuses it.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd_ < 0) {
      missing_ = errno == ENOENT;
      // A regular file we may not read: we cannot lock it, and none of our writers made it so.
      unreadable_ = errno == EACCES;
      return;
    }
    struct stat open {};
    // Locked, and still the file of that name: a writer may have replaced it meanwhile, and the
    // lock on the old one would say nothing about the new one.
    held_ = ::fstat(fd_, &open) == 0 && S_ISREG(open.st_mode) && SameFile(open, named) &&
            ::flock(fd_, LOCK_EX | LOCK_NB) == 0 && StillNamed(fd_, path);
  }
  ~HeldFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;

  // True when the name is a regular file that nobody else holds open for writing.
  bool Free() const { return held_ || unreadable_; }
  bool Missing() const { return missing_; }

 private:
  int fd_ = -1;
  bool held_ = false;
  bool missing_ = false;
  bool unreadable_ = false;
};

// Renames without replacing an existing destination.
bool RenameNoReplace(const std::string& src, const std::string& dst) {
  if (::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without RENAME_NOREPLACE: link refuses an existing name just the same.
  if (::link(src.c_str(), dst.c_str()) != 0) return false;
  ::unlink(src.c_str());
  return true;
}

}  // namespace

bool MoveFileTo(const std::u16string& from, const std::u16string& to, bool replace) {
  const std::string src = NativePath(from);
  const std::string dst = NativePath(to);
  HeldFile source(src);
  if (source.Missing() || !source.Free()) return false;
  if (replace) {
    HeldFile target(dst);
    if (!target.Missing() && !target.Free()) return false;
    return ::rename(src.c_str(), dst.c_str()) == 0;
  }
  return RenameNoReplace(src, dst);
}

bool CloseFileAs(FileHandle& file, const std::u16string& from, const std::u16string& to) {
  if (file == kInvalidFile) return MoveFileTo(from, to, false);
  const std::string src = NativePath(from);
  // The handle's lock keeps every delete of this layer away while the file is renamed; the check
  // keeps us from giving the final name to a file that someone put under the temporary name.
  if (!StillNamed(static_cast<int>(file), src) || !RenameNoReplace(src, NativePath(to))) return false;
  CloseFile(file);
  file = kInvalidFile;
  return true;
}

bool RemoveFile(const std::u16string& path) {
  const std::string native = NativePath(path);
  HeldFile held(native);
  if (held.Missing() || !held.Free()) return false;
  return ::unlink(native.c_str()) == 0;
}

bool MakeDirectory(const std::u16string& path) {
  return ::mkdir(NativePath(path).c_str(), 0755) == 0;
}

bool FreeBytesAvailable(const std::u16string& folder, std::uint64_t& bytes) {
  struct statvfs vfs {};
  if (::statvfs(NativePath(folder).c_str(), &vfs) != 0) return false;
  bytes = static_cast<std::uint64_t>(vfs.f_bavail) * static_cast<std::uint64_t>(vfs.f_frsize);
  return true;
}

bool NameMatches(const std::u16string& pattern, const std::u16string& name) {
  // Iterative wildcard match with one backtrack point: linear in practice, no recursion.
  std::size_t p = 0, n = 0, starP = std::u16string::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && pattern[p] == name[n]) {
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
  std::u16string folder = cut == std::u16string::npos ? u"." : folderAndPattern.substr(0, cut);
  std::u16string pattern =
      cut == std::u16string::npos ? folderAndPattern : folderAndPattern.substr(cut + 1);
  if (folder.empty()) folder.assign(1, u'\\');  // "\clip_*.mp4": the root folder
  const std::string native = NativePath(folder);
  DIR* dir = ::opendir(native.c_str());
  if (!dir) return false;
  bool any = false;
  std::u16string name;
  while (dirent* d = ::readdir(dir)) {
    if (!posix::ListedName(d->d_name, name) || !NameMatches(pattern, name)) continue;
    struct stat st {};
    if (::fstatat(dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    DirEntry e;
    e.name = name;
    e.kind = S_ISREG(st.st_mode) ? EntryKind::File : S_ISDIR(st.st_mode) ? EntryKind::Directory : EntryKind::Other;
    e.size = e.kind == EntryKind::File ? static_cast<std::uint64_t>(st.st_size) : 0;
    // Seconds between 1601-01-01 and 1970-01-01.
    constexpr std::int64_t kEpochDelta = 11644473600LL;
    e.lastWrite = static_cast<std::uint64_t>((st.st_mtim.tv_sec + kEpochDelta) * 10000000LL +
                                             st.st_mtim.tv_nsec / 100);
    entries.push_back(std::move(e));
    any = true;
  }
  ::closedir(dir);
  return any;
}

std::u16string ExecutablePath() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  buffer[n] = 0;
  return posix::SystemPath(buffer);
}

}  // namespace platform

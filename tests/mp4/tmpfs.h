// A small RAM file system for tests that need a disk that fills up (Linux, as root). Its size can
// be changed while files are open on it, which is how a test makes the disk full at a chosen point.
#pragma once

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "mp4/test_files.h"

class Tmpfs {
 public:
  static constexpr std::uint64_t kPage = 4096;

  explicit Tmpfs(std::uint64_t size) {
    path_ = std::filesystem::temp_directory_path() /
            ("vistrel_tmpfs_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
    std::filesystem::create_directories(path_);
    const std::string options = "size=" + std::to_string(size) + ",mode=0700";
    if (::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      error_ = std::string("mount -t tmpfs failed: ") + std::strerror(errno);
    }
  }
  ~Tmpfs() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  Tmpfs(const Tmpfs&) = delete;
  Tmpfs& operator=(const Tmpfs&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  const std::filesystem::path& path() const { return path_; }
  std::u16string system() const { return testing_files::SystemPath(path_); }

  // New size limit in bytes (rounded up to pages); it cannot go below what is in use.
  bool Resize(std::uint64_t size) {
    if (size == 0) size = 1;  // 0 would mean no limit at all
    const std::string options = "size=" + std::to_string(size);
    return ::mount("tmpfs", path_.c_str(), nullptr, MS_REMOUNT, options.c_str()) == 0;
  }

  std::uint64_t UsedBytes() const {
    struct statvfs vfs {};
    ::statvfs(path_.c_str(), &vfs);
    return static_cast<std::uint64_t>(vfs.f_blocks - vfs.f_bfree) * vfs.f_frsize;
  }

  // Leaves exactly extra bytes (whole pages) free.
  bool LeaveFree(std::uint64_t extra) { return Resize(UsedBytes() + extra); }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
  bool mounted_ = false;
  std::string error_;
};

#define SKIP_WITHOUT_TMPFS(fs) \
  if (!(fs).mounted()) GTEST_SKIP() << "needs a tmpfs of its own (root): " << (fs).error()

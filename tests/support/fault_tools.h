// Real faults for the end-to-end tests (Linux): a gate that holds a chosen file's opening while the
// test strikes, a look at another process's memory and descriptors, and a child that runs as
// another user.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// Watches the openings of files in one folder (fanotify permission events, root only). The first
// opening of a file whose name matches the pattern ('*' wildcards) by the given process is held:
// the strike runs, and only holdMs later is the opening let through. Every other opening passes
// at once. While it is held, the file has been created but not a byte written.
class OpenGate {
 public:
  OpenGate() = default;
  ~OpenGate();
  OpenGate(const OpenGate&) = delete;
  OpenGate& operator=(const OpenGate&) = delete;

  // False (with error()) where fanotify permission events are not available.
  bool Arm(const std::filesystem::path& folder, const std::string& pattern, pid_t pid,
           std::function<void(const std::filesystem::path&)> strike, int holdMs);
  // Lets the held opening through now, before its time is up.
  void Release();
  // Lets everything through and stops watching.
  void Disarm();

  bool struck() const { return struck_.load(); }
  const std::filesystem::path& heldFile() const { return heldFile_; }
  const std::string& error() const { return error_; }

 private:
  void Listen();

  int fd_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::string pattern_;
  pid_t pid_ = 0;
  std::function<void(const std::filesystem::path&)> strike_;
  int holdMs_ = 0;
  std::atomic<bool> struck_{false};
  std::filesystem::path heldFile_;
  std::string error_;
  std::thread listener_;
};

// A RAM file system of its own (root only), whose size limit can be changed while files are open
// on it: that is how a test fills the disk at a chosen moment and gives the space back later.
class Tmpfs {
 public:
  explicit Tmpfs(std::uint64_t size);
  ~Tmpfs();
  Tmpfs(const Tmpfs&) = delete;
  Tmpfs& operator=(const Tmpfs&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }
  const std::filesystem::path& path() const { return path_; }

  // A new size limit (whole pages); it cannot go below what is in use.
  bool Resize(std::uint64_t size);
  std::uint64_t UsedBytes() const;
  std::uint64_t FreeBytes() const;
  // Leaves about extra bytes free: the disk is full for anything larger.
  bool LeaveFree(std::uint64_t extra) { return Resize(UsedBytes() + extra); }

 private:
  std::filesystem::path path_;
  bool mounted_ = false;
  std::string error_;
};

// The processes whose parent is pid.
std::vector<pid_t> ChildrenOf(pid_t pid);

// VmRSS of a process in KiB (0 when it cannot be read) and the number of its open descriptors
// (-1 when they cannot be listed).
std::uint64_t ResidentKiB(pid_t pid);
int OpenDescriptors(pid_t pid);

// Runs body in a forked child that has given up root for the user and group "nobody" (65534);
// returns the child's exit code (body's result), or -1 when the child could not drop root.
int RunAsNobody(const std::function<int()>& body);

}  // namespace testing_support

#include "support/fault_tools.h"

#include <fcntl.h>
#include <poll.h>
#include <grp.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/file.h"
#include "platform/text.h"

namespace testing_support {

namespace fs = std::filesystem;

Tmpfs::Tmpfs(std::uint64_t size) {
  static std::atomic<int> counter{0};
  path_ = fs::temp_directory_path() / ("vistrel_tmpfs_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
  fs::create_directories(path_);
  const std::string options = "size=" + std::to_string(size) + ",mode=0700";
  if (::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0) {
    mounted_ = true;
  } else {
    error_ = std::string("mount -t tmpfs: ") + std::strerror(errno);
  }
}

Tmpfs::~Tmpfs() {
  if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  std::error_code ec;
  fs::remove_all(path_, ec);
}

bool Tmpfs::Resize(std::uint64_t size) {
  if (size == 0) size = 1;  // 0 would mean no limit at all
  const std::string options = "size=" + std::to_string(size);
  return ::mount("tmpfs", path_.c_str(), nullptr, MS_REMOUNT, options.c_str()) == 0;
}

std::uint64_t Tmpfs::UsedBytes() const {
  struct statvfs vfs {};
  if (::statvfs(path_.c_str(), &vfs) != 0) return 0;
  return static_cast<std::uint64_t>(vfs.f_blocks - vfs.f_bfree) * vfs.f_frsize;
}

std::uint64_t Tmpfs::FreeBytes() const {
  struct statvfs vfs {};
  if (::statvfs(path_.c_str(), &vfs) != 0) return 0;
  return static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

OpenGate::~OpenGate() { Disarm(); }

bool OpenGate::Arm(const fs::path& folder, const std::string& pattern, pid_t pid,
                   std::function<void(const fs::path&)> strike, int holdMs) {
  fd_ = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE);
  if (fd_ < 0) {
    error_ = std::string("fanotify_init: ") + std::strerror(errno);
    return false;
  }
  // The folder's own opening is not asked about (no FAN_ONDIR): only the files in it.
  if (::fanotify_mark(fd_, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, AT_FDCWD, folder.c_str()) != 0) {
    error_ = std::string("fanotify_mark: ") + std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  if (::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    error_ = "pipe";
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  pattern_ = pattern;
  pid_ = pid;
  strike_ = std::move(strike);
  holdMs_ = holdMs;
  listener_ = std::thread([this] { Listen(); });
  return true;
}

void OpenGate::Release() {
  if (!listener_.joinable()) return;
  const char release = 2;
  (void)!::write(stopPipe_[1], &release, 1);
}

void OpenGate::Disarm() {
  if (listener_.joinable()) {
    const char stop = 1;
    (void)!::write(stopPipe_[1], &stop, 1);
    listener_.join();
  }
  for (int& p : stopPipe_) {
    if (p >= 0) ::close(p);
    p = -1;
  }
  if (fd_ >= 0) ::close(fd_);  // anything still held goes through
  fd_ = -1;
}

void OpenGate::Listen() {
  using Clock = std::chrono::steady_clock;
  int held = -1;
  Clock::time_point release{};
  auto answer = [this](int eventFd) {
    fanotify_response response{};
    response.fd = eventFd;
    response.response = FAN_ALLOW;
    (void)!::write(fd_, &response, sizeof response);
    ::close(eventFd);
  };
  for (;;) {
    int timeout = -1;
    if (held >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(release - Clock::now()).count();
      timeout = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout);
    if (held >= 0 && Clock::now() >= release) {
      answer(held);
      held = -1;
    }
    if (ready < 0 && errno != EINTR) break;
    if (fds[1].revents != 0) {
      char command = 0;
      if (::read(stopPipe_[0], &command, 1) != 1 || command != 2) break;
      if (held >= 0) answer(held);
      held = -1;
      continue;
    }
    if ((fds[0].revents & POLLIN) == 0) continue;
    alignas(fanotify_event_metadata) char buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) continue;
    auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
    ssize_t left = n;
    for (; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
      if (event->fd < 0) continue;
      bool hold = false;
      if (!struck_.load() && event->pid == pid_) {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", event->fd);
        char target[4096];
        const ssize_t len = ::readlink(link, target, sizeof target - 1);
        if (len > 0) {
          target[len] = 0;
          const fs::path file(target);
          if (platform::NameMatches(platform::Utf16FromUtf8(pattern_), platform::Utf16FromUtf8(file.filename().string()))) {
            heldFile_ = file;
            // Before the strike: a waiter woken by what the strike does must find it struck.
            struck_.store(true);
            strike_(file);
            hold = true;
          }
        }
      }
      if (hold) {
        held = event->fd;
        release = Clock::now() + std::chrono::milliseconds(holdMs_);
      } else {
        answer(event->fd);
      }
    }
  }
  if (held >= 0) answer(held);
}

std::vector<pid_t> ChildrenOf(pid_t pid) {
  std::vector<pid_t> children;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "children");
    pid_t child = 0;
    while (in >> child) children.push_back(child);
  }
  return children;
}

std::uint64_t ResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      std::istringstream fields(line.substr(6));
      std::uint64_t kib = 0;
      fields >> kib;
      return kib;
    }
  }
  return 0;
}

int OpenDescriptors(pid_t pid) {
  std::error_code ec;
  fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec);
  if (ec) return -1;
  int count = 0;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return -1;
    ++count;
  }
  return count;
}

int RunAsNobody(const std::function<int()>& body) {
  constexpr uid_t kNobody = 65534;
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    // Group first: once the user is given up, the group can no longer be changed.
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0 || ::getuid() != kNobody) {
      ::_exit(255);
    }
    ::_exit(body());
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 255) return -1;
  return WEXITSTATUS(status);
}

}  // namespace testing_support

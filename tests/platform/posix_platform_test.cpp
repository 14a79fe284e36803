// What the POSIX layer makes of what a Windows folder never holds, and of a host that has ended
// without being reaped: FIFOs, sockets, symbolic links, names with a backslash or with bytes that
// are no UTF-8. Nothing here may wait, follow a link or reach outside the folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <thread>

#include "platform/file.h"
#include "platform/process.h"
#include "platform/text.h"
#include "support/fifo_guard.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::MakeFifo;
using testing_support::ReturnsByItself;
using testing_support::TempDir;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A socket bound to path; it stays in the folder after the descriptor is closed.
bool MakeSocket(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof address.sun_path) return false;
  std::strcpy(address.sun_path, path.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) ::close(fd);
  return bound;
}

bool Exists(const fs::path& p) { return fs::exists(fs::symlink_status(p)); }

// A listing sees what each entry is by itself, and only a regular file has a size.
TEST(PosixListing, KindsWithoutFollowingLinks) {
  TempDir dir;
  { std::ofstream(dir.path() / "clip_file.mp4") << "12345"; }
  fs::create_directory(dir.path() / "clip_dir.mp4");
  ASSERT_TRUE(MakeFifo(dir.path() / "clip_fifo.mp4"));
  ASSERT_TRUE(MakeSocket(dir.path() / "clip_sock.mp4"));
  fs::create_symlink(dir.path() / "clip_file.mp4", dir.path() / "clip_link.mp4");
  fs::create_directory_symlink(dir.path() / "clip_dir.mp4", dir.path() / "clip_dirlink.mp4");
  fs::create_symlink(dir.path() / "nowhere", dir.path() / "clip_dangling.mp4");

  std::vector<platform::DirEntry> entries;
  ASSERT_TRUE(platform::ListDirectory(dir.Folder() + u"\\clip_*.mp4", entries));
  std::map<std::string, platform::DirEntry> byName;
  for (const auto& e : entries) byName[platform::Utf8FromUtf16(e.name)] = e;
  ASSERT_EQ(byName.size(), 7u);
  EXPECT_EQ(byName["clip_file.mp4"].kind, platform::EntryKind::File);
  EXPECT_EQ(byName["clip_file.mp4"].size, 5u);
  EXPECT_EQ(byName["clip_dir.mp4"].kind, platform::EntryKind::Directory);
  for (const char* other :
       {"clip_fifo.mp4", "clip_sock.mp4", "clip_link.mp4", "clip_dirlink.mp4", "clip_dangling.mp4"}) {
    EXPECT_EQ(byName[other].kind, platform::EntryKind::Other) << other;
    EXPECT_EQ(byName[other].size, 0u) << other;
  }
}

// A backslash is a separator to this layer: a listed name holding one would lead out of the
// folder. A name whose bytes are no UTF-8 would come back from the conversion as another name.
// Neither is listed; the entries around them are.
TEST(PosixListing, NamesThatWouldNameSomethingElseAreLeftOut) {
  TempDir dir;
  fs::create_directory(dir.path() / "clip_");
  for (const std::string name : {"clip_\\..\\..\\victim.mp4", "clip_\\x.mp4", "clip_\xff.mp4", "clip_\xc0\xaf.mp4",
                                 "clip_\xed\xa0\x80.mp4", "clip_ok.mp4", "clip_\xc3\xa9.mp4"}) {
    std::ofstream(dir.path() / name) << "x";
    ASSERT_TRUE(fs::exists(dir.path() / name)) << name;
  }
  std::vector<platform::DirEntry> entries;
  ASSERT_TRUE(platform::ListDirectory(dir.Folder() + u"\\clip_*", entries));
  std::vector<std::u16string> names;
  for (const auto& e : entries) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"clip_", u"clip_ok.mp4", u"clip_\u00e9.mp4"}));
}

// Only a regular file is deleted or moved, and nothing is opened in a way that waits.
TEST(PosixFile, NothingButARegularFileIsDeletedOrMoved) {
  TempDir dir;
  const fs::path fifo = dir.path() / "rec_1.mp4.tmp";
  ASSERT_TRUE(MakeFifo(fifo));
  bool removed = true;
  bool moved = true;
  EXPECT_TRUE(ReturnsByItself(fifo, [&] { removed = platform::RemoveFile(dir.File("rec_1.mp4.tmp")); }));
  EXPECT_TRUE(ReturnsByItself(fifo, [&] {
    moved = platform::MoveFileTo(dir.File("rec_1.mp4.tmp"), dir.File("moved"), false);
  }));
  EXPECT_FALSE(removed);
  EXPECT_FALSE(moved);
  EXPECT_TRUE(Exists(fifo));

  // A link stays, and so does what it points at.
  const fs::path target = dir.path() / "target.mp4";
  { std::ofstream(target) << "kept"; }
  fs::create_symlink(target, dir.path() / "clip_link.mp4");
  EXPECT_FALSE(platform::RemoveFile(dir.File("clip_link.mp4")));
  EXPECT_TRUE(fs::is_symlink(dir.path() / "clip_link.mp4"));
  EXPECT_EQ(ReadAll(target), "kept");

  ASSERT_TRUE(MakeSocket(dir.path() / "clip_sock.mp4"));
  EXPECT_FALSE(platform::RemoveFile(dir.File("clip_sock.mp4")));
  EXPECT_TRUE(Exists(dir.path() / "clip_sock.mp4"));

  EXPECT_TRUE(platform::RemoveFile(dir.File("target.mp4")));
  EXPECT_FALSE(Exists(target));
}

// A new file is only ever a regular file of that name: a link there is not followed (not even one
// that points nowhere yet), and a FIFO is not waited on.
TEST(PosixFile, CreateNeitherFollowsALinkNorWaitsOnAFifo) {
  TempDir dir;
  const fs::path victim = dir.path() / "victim.bin";
  { std::ofstream(victim) << "victim"; }
  fs::create_symlink(victim, dir.path() / "clip_a.mp4.tmp");
  fs::create_symlink(dir.path() / "created.bin", dir.path() / "clip_b.mp4.tmp");
  for (auto share : {platform::ShareMode::None, platform::ShareMode::Read}) {
    EXPECT_EQ(platform::CreateFileForWrite(dir.File("clip_a.mp4.tmp"), share), platform::kInvalidFile);
    EXPECT_EQ(platform::CreateFileForWrite(dir.File("clip_b.mp4.tmp"), share), platform::kInvalidFile);
  }
  EXPECT_EQ(ReadAll(victim), "victim");
  EXPECT_FALSE(Exists(dir.path() / "created.bin"));
  EXPECT_TRUE(fs::is_symlink(dir.path() / "clip_a.mp4.tmp"));

  const fs::path fifo = dir.path() / "rec_1.mp4.tmp";
  ASSERT_TRUE(MakeFifo(fifo));
  platform::FileHandle created = 0;
  EXPECT_TRUE(ReturnsByItself(fifo, [&] {
    created = platform::CreateFileForWrite(dir.File("rec_1.mp4.tmp"), platform::ShareMode::Read);
  }));
  EXPECT_EQ(created, platform::kInvalidFile);
  platform::CloseFile(created);
  EXPECT_TRUE(fs::is_fifo(fifo));
}

// The final move gives the name only to the file that the handle holds: a file that someone put
// under the temporary name meanwhile does not get it.
TEST(PosixFile, CloseFileAsMovesOnlyTheHeldFile) {
  TempDir dir;
  platform::FileHandle file = platform::CreateFileForWrite(dir.File("clip.mp4.tmp"), platform::ShareMode::None);
  ASSERT_NE(file, platform::kInvalidFile);
  ASSERT_TRUE(platform::WriteToFile(file, "ours", 4));
  fs::rename(dir.path() / "clip.mp4.tmp", dir.path() / "aside");
  { std::ofstream(dir.path() / "clip.mp4.tmp") << "theirs"; }
  EXPECT_FALSE(platform::CloseFileAs(file, dir.File("clip.mp4.tmp"), dir.File("clip.mp4")));
  EXPECT_NE(file, platform::kInvalidFile);
  EXPECT_FALSE(Exists(dir.path() / "clip.mp4"));
  platform::CloseFile(file);
  EXPECT_EQ(ReadAll(dir.path() / "aside"), "ours");
}

// Waits on another thread until the watch of pid (the fallback without a process descriptor)
// returns, for at most a long while; then reaps pid so that a watch that missed the end returns
// all the same. Tells whether the watch returned by itself.
bool WatchReturnsByItself(pid_t pid, std::future<void>& watched) {
  const bool byItself = watched.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  int status = 0;
  ::waitpid(pid, &status, 0);
  watched.wait();
  return byItself;
}

// Where the kernel has no process descriptors, the watch polls kill(pid, 0), which still reaches
// a process that has ended but that its parent has not reaped: the watch must see that end too,
// and must not see one while the process runs.
TEST(PosixProcess, WatchWithoutADescriptorSeesAnUnreapedEnd) {
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte = 0;
    (void)!::read(go[0], &byte, 1);
    ::_exit(0);
  }
  ::close(go[0]);
  platform::ProcessHandle host;
  host.handle = -1;  // the fallback
  host.pid = static_cast<std::uint32_t>(child);
  std::future<void> watched = std::async(std::launch::async, [&] { platform::WaitProcessEnd(host); });
  // The child waits for the byte: the watch cannot have returned, whatever the time it took.
  EXPECT_EQ(watched.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);

  (void)!::write(go[1], "x", 1);
  ::close(go[1]);
  // Ended, not reaped: the test does not wait for it.
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
  EXPECT_TRUE(WatchReturnsByItself(child, watched));
}

// The same with the process descriptor, where the kernel has one; and a watch opened on a process
// that has already ended returns at once.
TEST(PosixProcess, WatchOfAnEndedUnreapedProcessReturns) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(0);
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
  platform::ProcessHandle host;
  ASSERT_TRUE(platform::OpenProcessForWait(static_cast<std::uint32_t>(child), host));
  std::future<void> watched = std::async(std::launch::async, [&] { platform::WaitProcessEnd(host); });
  EXPECT_TRUE(WatchReturnsByItself(child, watched));
}

}  // namespace

// The kernel-services layer's contracts, which the rest of vistrel relies on, on both systems.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/shared_memory.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "support/failing_allocation.h"
#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;

std::u16string selfPath;

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteWhole(const std::u16string& path, const std::string& text) {
  platform::FileHandle f = platform::CreateFileForWrite(path, platform::ShareMode::None);
  ASSERT_NE(f, platform::kInvalidFile);
  ASSERT_TRUE(platform::WriteToFile(f, text.data(), text.size()));
  platform::CloseFile(f);
}

TEST(PlatformFile, CreateWriteSeekTruncate) {
  TempDir dir;
  const auto path = dir.File("a.bin");
  platform::FileHandle f = platform::CreateFileForWrite(path, platform::ShareMode::Read);
  ASSERT_NE(f, platform::kInvalidFile);
  ASSERT_TRUE(platform::WriteToFile(f, "0123456789", 10));
  ASSERT_TRUE(platform::WriteToFile(f, "", 0));
  ASSERT_TRUE(platform::SeekFile(f, 2));
  ASSERT_TRUE(platform::WriteToFile(f, "ab", 2));
  ASSERT_TRUE(platform::SeekFile(f, 6));
  ASSERT_TRUE(platform::TruncateFileHere(f));
  platform::CloseFile(f);
  EXPECT_EQ(ReadAll(dir.path() / "a.bin"), "01ab45");

  // Creating again replaces the old contents.
  WriteWhole(path, "x");
  EXPECT_EQ(ReadAll(dir.path() / "a.bin"), "x");
}

// A name that shares its file with another (a hard link: one to a kept file or to a file outside
// the folder, or a temporary name that a final move could not take away) is not emptied through:
// the other name keeps its bytes, and the new file stands alone.
TEST(PlatformFile, CreateDoesNotEmptyAFileThatHasAnotherName) {
  TempDir dir;
  WriteWhole(dir.File("kept.mp4"), "kept");
  std::filesystem::create_hard_link(dir.path() / "kept.mp4", dir.path() / "kept.mp4.tmp");
  WriteWhole(dir.File("kept.mp4.tmp"), "new");
  EXPECT_EQ(ReadAll(dir.path() / "kept.mp4"), "kept");
  EXPECT_EQ(ReadAll(dir.path() / "kept.mp4.tmp"), "new");
  EXPECT_EQ(std::filesystem::hard_link_count(dir.path() / "kept.mp4"), 1u);
}

TEST(PlatformFile, CreateFailsInMissingFolder) {
  TempDir dir;
  EXPECT_EQ(platform::CreateFileForWrite(dir.File("no\\such\\a.bin"), platform::ShareMode::None),
            platform::kInvalidFile);
}

TEST(PlatformFile, MoveWithAndWithoutReplace) {
  TempDir dir;
  WriteWhole(dir.File("a"), "first");
  WriteWhole(dir.File("b"), "second");
  EXPECT_FALSE(platform::MoveFileTo(dir.File("a"), dir.File("b"), false));
  EXPECT_EQ(ReadAll(dir.path() / "a"), "first");
  EXPECT_EQ(ReadAll(dir.path() / "b"), "second");

  EXPECT_TRUE(platform::MoveFileTo(dir.File("a"), dir.File("c"), false));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "a"));
  EXPECT_EQ(ReadAll(dir.path() / "c"), "first");

  EXPECT_TRUE(platform::MoveFileTo(dir.File("c"), dir.File("b"), true));
  EXPECT_EQ(ReadAll(dir.path() / "b"), "first");
  EXPECT_FALSE(platform::MoveFileTo(dir.File("missing"), dir.File("d"), true));
}

TEST(PlatformFile, DeleteRefusedWhileAnotherHandleHoldsTheFile) {
  TempDir dir;
  for (auto share : {platform::ShareMode::None, platform::ShareMode::Read}) {
    const auto path = dir.File("held.mp4.tmp");
    platform::FileHandle f = platform::CreateFileForWrite(path, share);
    ASSERT_NE(f, platform::kInvalidFile);
    EXPECT_FALSE(platform::RemoveFile(path));
    EXPECT_FALSE(platform::MoveFileTo(path, dir.File("moved"), true));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "held.mp4.tmp"));
    platform::CloseFile(f);
    EXPECT_TRUE(platform::RemoveFile(path));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "held.mp4.tmp"));
  }
  EXPECT_FALSE(platform::RemoveFile(dir.File("never-there")));
}

// The final move: the file keeps its hold until it has its final name, never replaces a file of
// that name, and stays open for another try when the name is taken.
TEST(PlatformFile, CloseFileAsKeepsTheHoldUntilTheFinalName) {
  TempDir dir;
  WriteWhole(dir.File("clip.mp4"), "older");
  for (auto share : {platform::ShareMode::None, platform::ShareMode::Read}) {
    const auto temporary = dir.File("clip.mp4.tmp");
    platform::FileHandle file = platform::CreateFileForWrite(temporary, share);
    ASSERT_NE(file, platform::kInvalidFile);
    ASSERT_TRUE(platform::WriteToFile(file, "newer", 5));
    EXPECT_FALSE(platform::CloseFileAs(file, temporary, dir.File("clip.mp4")));
    ASSERT_NE(file, platform::kInvalidFile);
    EXPECT_EQ(ReadAll(dir.path() / "clip.mp4"), "older");
    EXPECT_FALSE(platform::RemoveFile(temporary));  // still held
    ASSERT_TRUE(platform::WriteToFile(file, "!", 1));
    ASSERT_TRUE(platform::CloseFileAs(file, temporary, dir.File("clip_2.mp4")));
    EXPECT_EQ(file, platform::kInvalidFile);
    EXPECT_EQ(ReadAll(dir.path() / "clip_2.mp4"), "newer!");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "clip.mp4.tmp"));
    // Nothing holds it any more.
    EXPECT_TRUE(platform::RemoveFile(dir.File("clip_2.mp4")));
  }
  // A file closed already is moved by name, and never over another.
  WriteWhole(dir.File("a.tmp"), "closed");
  platform::FileHandle none = platform::kInvalidFile;
  EXPECT_FALSE(platform::CloseFileAs(none, dir.File("a.tmp"), dir.File("clip.mp4")));
  EXPECT_TRUE(platform::CloseFileAs(none, dir.File("a.tmp"), dir.File("b.mp4")));
  EXPECT_EQ(ReadAll(dir.path() / "b.mp4"), "closed");
  EXPECT_EQ(ReadAll(dir.path() / "clip.mp4"), "older");
}

// A second process clearing leftovers deletes every temporary file that nobody holds, as fast as
// it can. A file that is written, finished and given its final name must never be among them:
// not one of the files is lost, whenever the delete comes.
TEST(PlatformFile, FinishedFileSurvivesALoopingDelete) {
  TempDir dir;
  const auto temporary = dir.File("clip.mp4.tmp");
  std::atomic<bool> stop{false};
  std::thread deleter([&] {
    while (!stop.load()) platform::RemoveFile(temporary);
  });
  std::vector<int> finished;
  int lost = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (int round = 0; round < 3000 && std::chrono::steady_clock::now() < until; ++round) {
    platform::FileHandle file = platform::CreateFileForWrite(temporary, platform::ShareMode::None);
    if (file == platform::kInvalidFile) continue;  // taken away before it was held: never written
    const std::string bytes = "clip " + std::to_string(round);
    ASSERT_TRUE(platform::WriteToFile(file, bytes.data(), bytes.size()));
    if (platform::CloseFileAs(file, temporary, dir.File("clip_" + std::to_string(round) + ".mp4"))) {
      finished.push_back(round);
    } else {
      ++lost;
      platform::CloseFile(file);
    }
  }
  stop.store(true);
  deleter.join();
  EXPECT_EQ(lost, 0) << "of " << (finished.size() + lost) << " finished files";
  ASSERT_FALSE(finished.empty());
  // Read back once the deleter has stopped: on Windows its open of the temporary name, a second
  // link to the same file for a moment, keeps readers that do not share deleting away meanwhile.
  for (int round : finished) {
    EXPECT_EQ(ReadAll(dir.path() / ("clip_" + std::to_string(round) + ".mp4")), "clip " + std::to_string(round));
  }
}

TEST(PlatformFile, SecondWriterOfAFileIsRefused) {
  TempDir dir;
  const auto path = dir.File("x");
  platform::FileHandle f = platform::CreateFileForWrite(path, platform::ShareMode::Read);
  ASSERT_NE(f, platform::kInvalidFile);
  ASSERT_TRUE(platform::WriteToFile(f, "keep", 4));
  EXPECT_EQ(platform::CreateFileForWrite(path, platform::ShareMode::Read), platform::kInvalidFile);
  platform::CloseFile(f);
  EXPECT_EQ(ReadAll(dir.path() / "x"), "keep");
}

TEST(PlatformFile, DeleteRefusedWhileAnotherProcessHoldsTheFile) {
  TempDir dir;
  const auto path = dir.File("other.mp4.tmp");
  const auto ready = dir.File("ready");
  platform::ProcessHandle child;
  ASSERT_TRUE(platform::StartProcess(selfPath, {u"--hold-file", path, ready, u"3000"}, child));
  // Wait until the child has the file open.
  for (int i = 0; i < 500 && !std::filesystem::exists(dir.path() / "ready"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(std::filesystem::exists(dir.path() / "ready"));
  EXPECT_FALSE(platform::RemoveFile(path));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "other.mp4.tmp"));
  platform::KillProcess(child);
  std::uint32_t code = 0;
  EXPECT_TRUE(platform::WaitProcessFor(child, 10000, code));
  EXPECT_TRUE(platform::RemoveFile(path));
}

TEST(PlatformFile, DirectoriesAreNotDeletedAsFiles) {
  TempDir dir;
  ASSERT_TRUE(platform::MakeDirectory(dir.File("clip_dir.mp4")));
  EXPECT_FALSE(platform::MakeDirectory(dir.File("clip_dir.mp4")));
  EXPECT_FALSE(platform::RemoveFile(dir.File("clip_dir.mp4")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "clip_dir.mp4"));
}

TEST(PlatformListing, WildcardMatchesTheWholeLongName) {
  TempDir dir;
  for (const char* name : {"clip_1.mp4", "clip_2.mp4.tmp", "rec_1.mp4", "clip_.mp4", "xclip_3.mp4"}) {
    WriteWhole(dir.File(name), "12345");
  }
  ASSERT_TRUE(platform::MakeDirectory(dir.File("clip_d.mp4")));
  std::vector<platform::DirEntry> entries;
  ASSERT_TRUE(platform::ListDirectory(dir.Folder() + u"\\clip_*.mp4", entries));
  std::vector<std::string> names;
  for (const auto& e : entries) {
    names.push_back(platform::Utf8FromUtf16(e.name));
    if (e.name == u"clip_d.mp4") {
      EXPECT_EQ(e.kind, platform::EntryKind::Directory);
    } else {
      EXPECT_EQ(e.kind, platform::EntryKind::File);
      EXPECT_EQ(e.size, 5u);
      EXPECT_GT(e.lastWrite, 116444736000000000ull);  // after 1970
    }
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"clip_.mp4", "clip_1.mp4", "clip_d.mp4"}));

  entries.clear();
  ASSERT_TRUE(platform::ListDirectory(dir.Folder() + u"\\clip_*.mp4.tmp", entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, u"clip_2.mp4.tmp");

  entries.clear();
  EXPECT_FALSE(platform::ListDirectory(dir.Folder() + u"\\none_*.mp4", entries));
  EXPECT_FALSE(platform::ListDirectory(dir.Folder() + u"\\missing\\clip_*.mp4", entries));
  EXPECT_TRUE(entries.empty());
}

TEST(PlatformListing, LastWriteOrdersFiles) {
  TempDir dir;
  WriteWhole(dir.File("rec_a.mp4"), "a");
  std::filesystem::last_write_time(dir.path() / "rec_a.mp4",
                                   std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  WriteWhole(dir.File("rec_b.mp4"), "b");
  std::vector<platform::DirEntry> entries;
  ASSERT_TRUE(platform::ListDirectory(dir.Folder() + u"\\rec_*.mp4", entries));
  ASSERT_EQ(entries.size(), 2u);
  const auto& a = entries[0].name == u"rec_a.mp4" ? entries[0] : entries[1];
  const auto& b = entries[0].name == u"rec_a.mp4" ? entries[1] : entries[0];
  // One hour is 36,000,000,000 units of 100 ns.
  EXPECT_NEAR(static_cast<double>(b.lastWrite - a.lastWrite), 36e9, 2e8);
}

TEST(PlatformListing, NameMatches) {
  EXPECT_TRUE(platform::NameMatches(u"clip_*.mp4", u"clip_20250314_211502_kill.mp4"));
  EXPECT_TRUE(platform::NameMatches(u"*", u""));
  EXPECT_TRUE(platform::NameMatches(u"a*b*c", u"aXbYbZc"));
  EXPECT_FALSE(platform::NameMatches(u"clip_*.mp4", u"clip_x.mp4.tmp"));
  EXPECT_FALSE(platform::NameMatches(u"clip_*.mp4", u"clip.mp4"));
  EXPECT_FALSE(platform::NameMatches(u"a*b", u"a"));
}

TEST(PlatformFile, FreeSpaceQuery) {
  TempDir dir;
  std::uint64_t bytes = 0;
  ASSERT_TRUE(platform::FreeBytesAvailable(dir.Folder(), bytes));
  const auto expected = std::filesystem::space(dir.path()).available;
  // Other writers on the machine may change it a little between the two looks.
  EXPECT_NEAR(static_cast<double>(bytes), static_cast<double>(expected), 64.0 * 1024 * 1024);
  EXPECT_FALSE(platform::FreeBytesAvailable(dir.File("missing\\deeper"), bytes));
}

TEST(PlatformFile, ExecutablePathNamesThisProgram) {
  const std::u16string path = platform::ExecutablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_NE(path.find(u"platform_test"), std::u16string::npos);
  EXPECT_NE(path.rfind(u'\\'), std::u16string::npos);
  EXPECT_EQ(path.find(u'/'), std::u16string::npos);
}

TEST(PlatformClock, TickDeltaAcrossTheWrap) {
  EXPECT_EQ(platform::TickDelta(5u, 0xFFFFFFF0u), 21);
  EXPECT_EQ(platform::TickDelta(0xFFFFFFF0u, 5u), -21);
  EXPECT_EQ(platform::TickDelta(60000u, 0u), 60000);
  EXPECT_EQ(static_cast<std::uint32_t>(10u - 0xFFFFFF00u), 266u);
  const std::uint32_t a = platform::TickCount();
  platform::SleepMilliseconds(100);
  const std::uint32_t b = platform::TickCount();
  // The tick count may move in steps of up to ~16 ms, so a 100 ms sleep can read as one step less.
  EXPECT_GE(platform::TickDelta(b, a), 80);
  EXPECT_LT(platform::TickDelta(b, a), 5000);
}

TEST(PlatformClock, SeamReplacesBothClocks) {
  platform::SetClockForTesting(
      [] { return 0xFFFFFFFFu; },
      [] {
        platform::LocalTime t;
        t.year = 2025;
        t.hour = 9;
        t.milliseconds = 7;
        return t;
      });
  EXPECT_EQ(platform::TickCount(), 0xFFFFFFFFu);
  EXPECT_EQ(platform::LocalTimeNow().year, 2025);
  platform::SetClockForTesting(nullptr, nullptr);
  const auto now = platform::LocalTimeNow();
  EXPECT_GE(now.year, 2024);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_LT(now.milliseconds, 1000);
}

TEST(PlatformText, Utf16RoundTrip) {
  const std::string text = "Z\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xAE";  // Z é € 🎮
  const std::u16string wide = platform::Utf16FromUtf8(text);
  EXPECT_EQ(wide.size(), 5u);
  EXPECT_EQ(platform::Utf8FromUtf16(wide), text);
  EXPECT_EQ(platform::FormatName64("Local\\QuelvaneClip_%lu", 4294967295ul), u"Local\\QuelvaneClip_4294967295");
  EXPECT_EQ(platform::FormatName64("%s", std::string(100, 'x').c_str()).size(), 63u);
}

TEST(PlatformAtomic, WordOperations) {
  std::int32_t w = 5;
  EXPECT_EQ(platform::AtomicExchange(w, 0), 5);
  EXPECT_EQ(w, 0);
  std::uint32_t beat = 0xFFFFFFFFu;
  EXPECT_EQ(platform::AtomicIncrement(beat), 0u);
  std::int32_t saves = 0;
  std::thread t([&] {
    for (int i = 0; i < 100000; ++i) platform::AtomicIncrement(saves);
  });
  for (int i = 0; i < 100000; ++i) platform::AtomicDecrement(saves);
  t.join();
  EXPECT_EQ(platform::AtomicLoad(saves), 0);
}

TEST(PlatformThread, DetachedThreadRuns) {
  std::int32_t done = 0;
  ASSERT_TRUE(platform::StartDetachedThread([](void* p) { platform::AtomicExchange(*static_cast<std::int32_t*>(p), 1); }, &done));
  for (int i = 0; i < 500 && platform::AtomicLoad(done) == 0; ++i) platform::SleepMilliseconds(2);
  EXPECT_EQ(platform::AtomicLoad(done), 1);
}

// A thread that cannot be started is a false result, whatever the reason: here the thread's own
// bookkeeping cannot be allocated. Nothing runs, nothing is thrown.
TEST(PlatformThread, StartWithoutMemoryFailsQuietly) {
  std::int32_t ran = 0;
  bool started = true;
  {
    testing_support::FailingAllocations outOfMemory(1);
    started = platform::StartDetachedThread([](void* p) { platform::AtomicExchange(*static_cast<std::int32_t*>(p), 1); },
                                            &ran);
  }
  EXPECT_FALSE(started);
  platform::SleepMilliseconds(50);
  EXPECT_EQ(platform::AtomicLoad(ran), 0);

  platform::RefuseThreadStartsForTesting(true);
  EXPECT_FALSE(platform::StartDetachedThread([](void* p) { platform::AtomicExchange(*static_cast<std::int32_t*>(p), 1); },
                                             &ran));
  platform::RefuseThreadStartsForTesting(false);
  platform::SleepMilliseconds(50);
  EXPECT_EQ(platform::AtomicLoad(ran), 0);
}

TEST(PlatformProcess, WaitFiresWhenARealChildEnds) {
  platform::ProcessHandle child;
  ASSERT_TRUE(platform::StartProcess(selfPath, {u"--sleep-then-exit", u"300", u"7"}, child));
  platform::ProcessHandle watched;
  ASSERT_TRUE(platform::OpenProcessForWait(child.pid, watched));
  const auto start = std::chrono::steady_clock::now();
  std::thread waiter([&] { platform::WaitProcessEnd(watched); });
  std::uint32_t code = 0;
  ASSERT_TRUE(platform::WaitProcessFor(child, 20000, code));
  EXPECT_EQ(code, 7u);
  waiter.join();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
}

TEST(PlatformProcess, NoSuchProcess) {
  platform::ProcessHandle p;
  EXPECT_FALSE(platform::OpenProcessForWait(0, p));
  EXPECT_FALSE(platform::OpenProcessForWait(0x7FFFFFF0u, p));
}

TEST(PlatformSharedMemory, CreateOpenAndSize) {
  const std::u16string name = platform::FormatName64("Local\\VistrelPlatformTest_%lu",
                                                     static_cast<unsigned long>(platform::CurrentProcessId()));
  platform::SharedBlock host;
  ASSERT_TRUE(platform::CreateSharedBlock(name, 65536, host));
  host.view[100] = 42;
  platform::SharedBlock other;
  ASSERT_TRUE(platform::OpenSharedBlock(name, other));
  EXPECT_GE(other.size, 65536u);
  EXPECT_LT(other.size, 65536u + 4096u);
  EXPECT_EQ(other.view[100], 42);
  other.view[200] = 7;
  EXPECT_EQ(host.view[200], 7);
  platform::CloseSharedBlock(name, host);
  platform::SharedBlock missing;
  EXPECT_FALSE(platform::OpenSharedBlock(name + u"x", missing));
}

TEST(PlatformSharedMemory, EventBehavesAutoReset) {
  const std::u16string name = platform::FormatName64("Local\\VistrelPlatformTestEv_%lu",
                                                     static_cast<unsigned long>(platform::CurrentProcessId()));
  platform::NamedEvent host;
  ASSERT_TRUE(platform::CreateNamedEvent(name, host));
  platform::NamedEvent waiter;
  ASSERT_TRUE(platform::OpenNamedEvent(name, waiter));
  platform::SignalNamedEvent(host);
  platform::SignalNamedEvent(host);
  auto start = std::chrono::steady_clock::now();
  platform::WaitNamedEvent(waiter, 2000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  // The two signals were one: the next wait runs to its time-out.
  start = std::chrono::steady_clock::now();
  platform::WaitNamedEvent(waiter, 100);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
  platform::CloseNamedEvent(name, host);
  platform::NamedEvent missing;
  EXPECT_FALSE(platform::OpenNamedEvent(name + u"x", missing));
}

// Child modes for the tests that need a second process.
int RunChild(int argc, char** argv) {
  const std::string mode = argv[1];
  if (mode == "--sleep-then-exit" && argc >= 4) {
    platform::SleepMilliseconds(static_cast<std::uint32_t>(std::stoul(argv[2])));
    return std::stoi(argv[3]);
  }
  if (mode == "--hold-file" && argc >= 5) {
    platform::FileHandle f = platform::CreateFileForWrite(platform::Utf16FromUtf8(argv[2]), platform::ShareMode::Read);
    if (f == platform::kInvalidFile) return 2;
    platform::FileHandle r = platform::CreateFileForWrite(platform::Utf16FromUtf8(argv[3]), platform::ShareMode::None);
    platform::CloseFile(r);
    platform::SleepMilliseconds(static_cast<std::uint32_t>(std::stoul(argv[4])));
    return 0;
  }
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--sleep-then-exit") == 0 || std::strcmp(argv[1], "--hold-file") == 0)) {
    return RunChild(argc, argv);
  }
  selfPath = platform::ExecutablePath();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

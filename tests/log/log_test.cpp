// The log's line format and bounds, and what happens without a log.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/process_state.h"
#include "log/log.h"
#include "platform/file.h"
#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;

std::string Format(const platform::LocalTime& t, const char* format, ...) VISTREL_PRINTF_FORMAT(2, 3);
std::string Format(const platform::LocalTime& t, const char* format, ...) {
  char buffer[kLogLineBuffer];
  va_list args;
  va_start(args, format);
  const std::size_t n = FormatLogLine(buffer, t, format, args);
  va_end(args);
  return std::string(buffer, n);
}

platform::LocalTime At(int h, int m, int s, int ms) {
  platform::LocalTime t;
  t.hour = h;
  t.minute = m;
  t.second = s;
  t.milliseconds = ms;
  return t;
}

TEST(LogFormat, PrefixMessageAndCrLf) {
  EXPECT_EQ(Format(At(9, 5, 3, 7), "request %d, saving in %ld ms", 1, 2000L),
            "09:05:03.007  request 1, saving in 2000 ms\r\n");
  EXPECT_EQ(Format(At(23, 59, 59, 999), "%s", ""), "23:59:59.999  \r\n");
  EXPECT_EQ(Format(At(0, 0, 0, 0), "GetEvent failed 0x%08lX", HresultBits(static_cast<long>(0xC00D3E80u))),
            "00:00:00.000  GetEvent failed 0xC00D3E80\r\n");
  EXPECT_EQ(Format(At(0, 0, 0, 0), "0x%08lX", HresultBits(5)), "00:00:00.000  0x00000005\r\n");
}

TEST(LogFormat, LongMessageCutTo495Bytes) {
  const std::string longText(2000, 'x');
  const std::string line = Format(At(1, 2, 3, 4), "%s", longText.c_str());
  ASSERT_EQ(line.size(), 14u + 495u + 2u);
  EXPECT_EQ(line.substr(14, 495), std::string(495, 'x'));
  EXPECT_EQ(line.substr(509), "\r\n");
  const std::string exact = Format(At(1, 2, 3, 4), "%s", std::string(495, 'y').c_str());
  EXPECT_EQ(exact.size(), 511u);
  const std::string under = Format(At(1, 2, 3, 4), "%s", std::string(494, 'y').c_str());
  EXPECT_EQ(under.size(), 510u);
}

TEST(LogPath, NextToTheExecutable) {
  EXPECT_EQ(LogPathFor(u"C:\\Games\\Foo\\vistrel.exe"), u"C:\\Games\\Foo\\vistrel.log");
  EXPECT_EQ(LogPathFor(u"\\usr\\bin\\vistrel"), u"\\usr\\bin\\vistrel.log");
  EXPECT_EQ(LogPathFor(u"vistrel.exe"), u"");
  EXPECT_EQ(LogPathFor(u""), u"");
}

class LogFile : public testing::Test {
 protected:
  TempDir dir;
  void TearDown() override {
    platform::CloseFile(processState.logFile);
    processState.logFile = platform::kInvalidFile;
  }
  std::string Contents() {
    std::ifstream in(dir.path() / "vistrel.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

TEST_F(LogFile, EachCallIsOneWholeLine) {
  processState.logFile = platform::CreateFileForWrite(dir.File("vistrel.log"), platform::ShareMode::Read);
  ASSERT_NE(processState.logFile, platform::kInvalidFile);
  LogLine("stopped by the switch");
  LogLine("encoder %u: %s", 0u, "x264");
  const std::string text = Contents();
  ASSERT_EQ(text.size(), 14u + 21u + 2u + 14u + 15u + 2u);
  EXPECT_EQ(text.substr(14, 23), "stopped by the switch\r\n");
  EXPECT_EQ(text.substr(text.size() - 17), "encoder 0: x264\r\n");
  EXPECT_EQ(text[2], ':');
  EXPECT_EQ(text[8], '.');
  EXPECT_EQ(text.substr(12, 2), "  ");
}

// Every line is stamped with the local time: a read of it means a line was being made.
std::atomic<int> localTimeReads{0};
platform::LocalTime CountedLocalTime() {
  ++localTimeReads;
  return At(1, 2, 3, 4);
}
std::uint32_t NoTicks() { return 0; }

class CountedClock {
 public:
  CountedClock() {
    localTimeReads = 0;
    platform::SetClockForTesting(&NoTicks, &CountedLocalTime);
  }
  ~CountedClock() { platform::SetClockForTesting(nullptr, nullptr); }
  CountedClock(const CountedClock&) = delete;
  CountedClock& operator=(const CountedClock&) = delete;
};

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Where the system would open its log: next to this program.
std::filesystem::path OwnLogPath() {
  const std::u16string path = LogPathFor(platform::ExecutablePath());
#ifdef _WIN32
  return std::filesystem::path(path);
#else
  std::string native = platform::Utf8FromUtf16(path);
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
#endif
}

TEST_F(LogFile, NothingWrittenWithoutALog) {
  const std::filesystem::path ownLog = OwnLogPath();
  ASSERT_FALSE(ownLog.empty());
  const bool existed = std::filesystem::exists(ownLog);
  const std::string before = existed ? ReadAll(ownLog) : "";
  CountedClock clock;

  processState.logFile = platform::kInvalidFile;
  LogLine("not written %d", 1);  // returns at once: nothing is made, nothing is opened
  EXPECT_EQ(localTimeReads, 0);
  EXPECT_EQ(std::filesystem::exists(ownLog), existed);
  if (existed) {
    EXPECT_EQ(ReadAll(ownLog), before);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  // The same call with a log open makes and writes its line: the checks above would see one.
  processState.logFile = platform::CreateFileForWrite(dir.File("vistrel.log"), platform::ShareMode::Read);
  ASSERT_NE(processState.logFile, platform::kInvalidFile);
  LogLine("written %d", 2);
  EXPECT_EQ(localTimeReads, 1);
  EXPECT_EQ(Contents(), "01:02:03.004  written 2\r\n");
}

}  // namespace

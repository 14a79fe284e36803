// The loader against real small libraries built beside the tests (fake_mediafw/<case>/), loaded
// through the test seam by path, and once by the plain name from a child process.
#include <gtest/gtest.h>

#include <string>

#include "encoder/loader.h"
#include "encoder/loader_system.h"
#include "platform/file.h"
#include "platform/process.h"

namespace {

std::u16string Ascii(const char* text) { return std::u16string(text, text + std::char_traits<char>::length(text)); }

std::u16string ExecutableFolder() {
  const std::u16string exe = platform::ExecutablePath();
  return exe.substr(0, exe.rfind(u'\\'));
}

std::u16string CaseFolder(const char* name) {
  return ExecutableFolder() + u"\\fake_mediafw\\" + Ascii(name);
}

std::u16string LibraryIn(const char* name) {
  return CaseFolder(name) + u"\\" + Ascii(VISTREL_FAKE_MF_LIBRARY);
}

struct StartupRecord {
  int calls = -1;
  unsigned long version = 0;
  unsigned long flags = 0;
};

// What the test library at path saw of MFStartup (it is already loaded: this only finds it).
StartupRecord StartupSeenBy(const std::u16string& path) {
  StartupRecord seen;
  using Record = void (*)(int*, unsigned long*, unsigned long*);
  void* library = loader_system::OpenFrameworkLibrary(path);
  if (library == nullptr) return seen;
  const auto record = reinterpret_cast<Record>(loader_system::FindEntryPoint(library, "FakeStartupRecord"));
  if (record != nullptr) record(&seen.calls, &seen.version, &seen.flags);
  return seen;
}

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override { mediaFramework = MediaFrameworkEntryPoints{}; }
  void TearDown() override {
    SetMediaFrameworkLibraryForTesting(u"");
    mediaFramework = MediaFrameworkEntryPoints{};
  }
};

TEST_F(LoaderTest, MissingLibrary) {
  SetMediaFrameworkLibraryForTesting(LibraryIn("missing"));
  EXPECT_FALSE(LoadMediaFramework());
  EXPECT_EQ(mediaFramework.enumTransforms, nullptr);
  EXPECT_EQ(mediaFramework.createMemoryBuffer, nullptr);
}

TEST_F(LoaderTest, LibraryWithoutMemoryBufferIsNotStarted) {
  const std::u16string path = LibraryIn("without_memory_buffer");
  SetMediaFrameworkLibraryForTesting(path);
  EXPECT_FALSE(LoadMediaFramework());
  // The look-ups all happened; only the missing one is null.
  EXPECT_NE(mediaFramework.enumTransforms, nullptr);
  EXPECT_NE(mediaFramework.createMediaType, nullptr);
  EXPECT_NE(mediaFramework.createSample, nullptr);
  EXPECT_EQ(mediaFramework.createMemoryBuffer, nullptr);
  EXPECT_EQ(StartupSeenBy(path).calls, 0);
}

TEST_F(LoaderTest, FailingStartup) {
  const std::u16string path = LibraryIn("failing_startup");
  SetMediaFrameworkLibraryForTesting(path);
  EXPECT_FALSE(LoadMediaFramework());
  const StartupRecord seen = StartupSeenBy(path);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.version, 0x00020070ul);
  EXPECT_EQ(seen.flags, 1ul);  // MFSTARTUP_LITE
}

TEST_F(LoaderTest, CompleteLibrary) {
  const std::u16string path = LibraryIn("complete");
  SetMediaFrameworkLibraryForTesting(path);
  ASSERT_TRUE(LoadMediaFramework());
  const StartupRecord seen = StartupSeenBy(path);
  EXPECT_GE(seen.calls, 1);
  EXPECT_EQ(seen.version, 0x00020070ul);
  EXPECT_EQ(seen.flags, 1ul);
  // The entries are the library's own functions, called with the framework's convention.
  ASSERT_NE(mediaFramework.createMediaType, nullptr);
  static int sentinel = 0;
  IMFMediaType* type = reinterpret_cast<IMFMediaType*>(&sentinel);
  EXPECT_EQ(mediaFramework.createMediaType(&type), E_NOTIMPL);
  EXPECT_EQ(type, nullptr);
  IMFMediaBuffer* buffer = reinterpret_cast<IMFMediaBuffer*>(&sentinel);
  EXPECT_EQ(mediaFramework.createMemoryBuffer(100, &buffer), E_NOTIMPL);
  EXPECT_EQ(buffer, nullptr);
}

// The plain name finds the library beside the executable before any other.
TEST(LoaderPlainName, FindsTheLibraryBesideTheExecutable) {
  const std::u16string child = CaseFolder("complete") + u"\\" + Ascii(VISTREL_LOADER_CHILD);
  platform::ProcessHandle process;
  ASSERT_TRUE(platform::StartProcess(child, {}, process));
  std::uint32_t code = 99;
  ASSERT_TRUE(platform::WaitProcessFor(process, 30000, code));
  EXPECT_EQ(code, 0u);
}

}  // namespace

// vistrel under real faults: an encoder that breaks down, vistrel or its host killed outright, a
// second vistrel on the same folder, and another user trying the shared block. Every file left
// behind is read back with ffprobe and decoded with ffmpeg.
#include <fcntl.h>
#include <grp.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include "exchange/exchange.h"
#include "integration/vistrel_run.h"
#include "platform/shared_memory.h"

namespace {

using namespace vistrel_run;
using testing_support::OpenGate;

bool IsRoot() { return ::geteuid() == 0; }

#define SKIP_UNLESS_ROOT() \
  if (!IsRoot()) GTEST_SKIP() << "needs root (fanotify permission events, another user)"

// The frames the recording file's close line reports ("recording file closed: ok, 151 frames").
std::vector<std::pair<bool, int>> RecordingCloses(const std::vector<std::string>& lines) {
  static const std::regex closed("recording file closed: (ok|not kept), ([0-9]+) frames");
  std::vector<std::pair<bool, int>> closes;
  std::smatch m;
  for (const auto& l : lines) {
    if (std::regex_match(l, m, closed)) closes.emplace_back(m[1] == "ok", std::stoi(m[2]));
  }
  return closes;
}

struct EncoderFault {
  const char* name;
  const char* fail;   // VISTREL_MEDIAFW_FAIL
  bool sync;          // VISTREL_MEDIAFW_SYNC
  const char* line;   // what vistrel logs about it
};

class EncoderBreaksDown : public VistrelRun, public testing::WithParamInterface<EncoderFault> {};

// The encoder fails after 60 frames: the run ends with status 2 and exit code 4, says why, and
// the recording made until then is closed into a whole file and kept.
TEST_P(EncoderBreaksDown, FailsTheRunAndKeepsTheRecording) {
  ::setenv("VISTREL_MEDIAFW_FAIL", GetParam().fail, 1);
  if (GetParam().sync) ::setenv("VISTREL_MEDIAFW_SYNC", "1", 1);
  ASSERT_TRUE(Start(out, /*record=*/true)) << Log();
  Feed();
  const int code = WaitExit();
  StopFeeding();
  EXPECT_EQ(code, 4) << Log();
  EXPECT_EQ(ex.Status(), 2);
  const auto lines = LogMessages();
  EXPECT_NE(std::find(lines.begin(), lines.end(), GetParam().line), lines.end()) << Log();
  const auto closes = RecordingCloses(lines);
  ASSERT_EQ(closes.size(), 1u) << Log();
  EXPECT_TRUE(closes[0].first) << Log();
  EXPECT_EQ(lines.back().rfind("recording file closed: ok", 0), 0u) << Log();

  const auto recs = FilesIn(out, "rec_*.mp4");
  ASSERT_EQ(recs.size(), 1u);
  const auto frames = CheckVideo(recs[0]);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(*frames.front(), 0u);
  EXPECT_EQ(static_cast<int>(frames.size()), closes[0].second);
  // All that came out of the encoder before it broke: up to the 60 frames it took.
  EXPECT_GE(frames.size(), 50u);
  EXPECT_LE(frames.size(), 60u);
  EXPECT_TRUE(FilesIn(out, "*.tmp").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EncoderBreaksDown,
    testing::Values(EncoderFault{"ProcessInput", "input:60", false, "ProcessInput failed 0x887A0005"},
                    EncoderFault{"ProcessOutput", "output:60", false, "ProcessOutput failed 0x887A0005"},
                    EncoderFault{"GetEvent", "event:60", false, "GetEvent failed 0x887A0005"},
                    EncoderFault{"ErrorEvent", "error:60", false, "encoder event 1 status 0x887A0005"},
                    EncoderFault{"FailedEventOfAnotherType", "marker:60", false, "encoder event 604 status 0x887A0005"},
                    EncoderFault{"SyncProcessInput", "input:60", true, "ProcessInput failed 0x887A0005"},
                    EncoderFault{"SyncProcessOutput", "output:60", true, "ProcessOutput failed 0x887A0005"}),
    [](const auto& p) { return std::string(p.param.name); });

using Faults = VistrelRun;

// Files a start must leave alone although their names come close to the leftovers'.
const char* const kLookAlikes[] = {"clip_notes.txt", "clip_20260101_000000_key.mp4.tmpx", "other.mp4.tmp",
                                   "rec_20260101_000000.mp4.tmp.keep", "xrec_20260101_000000.mp4.tmp",
                                   "clip_20260101_000000_key.mp4"};

// vistrel killed with SIGKILL while a clip save has its file open and a recording is being
// written: no final file is left incomplete, and the next start removes the two temporary files
// and nothing else.
TEST_F(Faults, KilledMidSaveAndMidRecordingLeavesOnlyTemporaryFiles) {
  SKIP_UNLESS_ROOT();
  ASSERT_TRUE(Start(out, /*record=*/true)) << Log();
  Feed(120);
  // A whole recording and a clip from before the fault.
  ASSERT_TRUE(WaitFed(90));
  ex.RaiseRequest(3);
  ASSERT_TRUE(WaitLogged("saved clip_")) << Log();
  ASSERT_TRUE(WaitFed(200));
  ex.SetRecordSwitch(false);
  ASSERT_TRUE(WaitLogged("recording file closed: ok")) << Log();
  ex.SetRecordSwitch(true);
  const std::uint64_t resumed = fed.load();
  ASSERT_TRUE(WaitFed(resumed + 120));
  // The recording file and its journal.
  ASSERT_TRUE(WaitUntil([&] { return FilesIn(out, "rec_*.mp4.tmp").size() == 2; }, 10000));
  const auto before = Snapshot(out);

  OpenGate gate;
  const pid_t pid = static_cast<pid_t>(child.pid);
  ASSERT_TRUE(gate.Arm(out, "clip_*.mp4.tmp", pid, [pid](const fs::path&) { ::kill(pid, SIGKILL); }, 200))
      << gate.error();
  ex.RaiseRequest(3);
  EXPECT_EQ(WaitExit(), 128 + SIGKILL);
  StopFeeding();
  gate.Disarm();
  ASSERT_TRUE(gate.struck()) << Log();

  // What the kill left: the earlier files as they were, and the temporary files of the clip and
  // of the recording (with its journal).
  const auto after = Snapshot(out);
  const auto clipTmp = FilesIn(out, "clip_*.mp4.tmp");
  const auto recTmp = FilesIn(out, "rec_*.mp4.tmp");
  ASSERT_EQ(clipTmp.size(), 1u);
  ASSERT_EQ(recTmp.size(), 2u);
  EXPECT_EQ(clipTmp[0], gate.heldFile());
  const fs::path recording = recTmp[0].string().find(".journal.") == std::string::npos ? recTmp[0] : recTmp[1];
  EXPECT_GT(fs::file_size(recording), 40u);
  for (const auto& [name, bytes] : before) {
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) continue;
    ASSERT_TRUE(after.count(name)) << name;
    EXPECT_TRUE(after.at(name) == bytes) << name << " changed";
  }
  std::size_t finals = 0;
  for (const auto& file : FilesIn(out, "*.mp4")) {
    CheckVideo(file);
    ++finals;
  }
  EXPECT_EQ(finals, 2u);  // the clip and the recording from before the fault, nothing else

  // The next start: the clip's leftover goes, the recording's is rebuilt into a whole file from
  // the frame where it began, and nothing else changes.
  for (const char* name : kLookAlikes) std::ofstream(out / name) << "not vistrel's to delete";
  fs::create_directory(out / "clip_folder.mp4.tmp");
  const auto kept = Snapshot(out);
  ASSERT_TRUE(Start(out, /*record=*/false, /*stopAtOnce=*/true));
  EXPECT_EQ(WaitExit(), 0) << Log();
  EXPECT_TRUE(FilesIn(out, "clip_*.mp4.tmp") == std::vector<fs::path>{out / "clip_folder.mp4.tmp"});
  EXPECT_TRUE(FilesIn(out, "rec_*.mp4.tmp").empty());
  const std::string recovered = recording.stem().string();  // without ".tmp"
  const auto frames = CheckVideo(out / recovered);
  ASSERT_FALSE(frames.empty());
  EXPECT_GE(*frames.front() + 30, resumed);  // the first keyframe after the switch went on again
  EXPECT_LE(*frames.front(), resumed + 30);
  EXPECT_EQ(CountLogged("recovered " + recovered + ": " + std::to_string(frames.size()) + " frames"), 1u) << Log();
  auto expected = kept;
  expected.erase(clipTmp[0].filename().string());
  for (const auto& file : recTmp) expected.erase(file.filename().string());
  expected[recovered] = ReadWhole(out / recovered);
  EXPECT_TRUE(Snapshot(out) == expected);
}

// The host killed with SIGKILL while a clip save runs: vistrel closes the recording into a whole
// file, lets the save finish, and ends with 0.
TEST_F(Faults, HostKilledMidSave) {
  SKIP_UNLESS_ROOT();
  platform::BecomeChildReaper();  // vistrel, orphaned by the host's death, becomes ours to wait for
  platform::ProcessHandle hostProcess;
  ASSERT_TRUE(platform::StartProcess(
      testing_support::TempDir::SystemPath(bin / "vistrel-host"),
      {u"--software-encoder", u"--log", u"--record", u"--fast", u"--duration", u"600", u"--request", u"key@8",
       u"--out", platform::Utf16FromUtf8(out.string())},
      hostProcess));
  const pid_t hostPid = static_cast<pid_t>(hostProcess.pid);
  pid_t liveHost = hostPid;
  pid_t vistrelPid = 0;
  // Whatever the outcome, neither process outlives the test.
  struct Reaper {
    pid_t& host;
    pid_t& vistrel;
    ~Reaper() {
      for (pid_t p : {host, vistrel}) {
        if (p > 0) ::kill(p, SIGKILL);
      }
    }
  } reaper{liveHost, vistrelPid};
  ASSERT_TRUE(WaitUntil([&] {
    const auto children = testing_support::ChildrenOf(hostPid);
    if (!children.empty()) vistrelPid = children.front();
    return vistrelPid != 0;
  }, 10000));
  OpenGate gate;
  // The save is held for a second after the host's death: the watcher must wait for it.
  ASSERT_TRUE(gate.Arm(out, "clip_*.mp4.tmp", vistrelPid, [hostPid](const fs::path&) { ::kill(hostPid, SIGKILL); },
                       1000))
      << gate.error();
  std::uint32_t hostCode = 0;
  ASSERT_TRUE(platform::WaitProcessFor(hostProcess, 60000, hostCode));
  liveHost = 0;
  EXPECT_EQ(hostCode, 128u + SIGKILL);
  ASSERT_TRUE(gate.struck());

  platform::ProcessHandle vistrel;
  ASSERT_TRUE(platform::AdoptProcess(static_cast<std::uint32_t>(vistrelPid), vistrel));
  std::uint32_t code = 99;
  EXPECT_TRUE(platform::WaitProcessFor(vistrel, 20000, code));
  EXPECT_EQ(code, 0u) << Log();
  vistrelPid = 0;
  gate.Disarm();
  // The dead host's named objects.
  platform::SharedBlock none;
  platform::CloseSharedBlock(exchange::BlockName(static_cast<std::uint32_t>(hostPid)), none);
  platform::NamedEvent noEvent;
  platform::CloseNamedEvent(exchange::EventName(static_cast<std::uint32_t>(hostPid)), noEvent);

  const auto lines = LogMessages();
  const auto closed = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("recording file closed: ok", 0) == 0;
  });
  const auto saved = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("saved clip_", 0) == 0;
  });
  ASSERT_NE(closed, lines.end()) << Log();
  ASSERT_NE(saved, lines.end()) << Log();
  EXPECT_LT(closed - lines.begin(), saved - lines.begin()) << "the save ended before the host did";
  EXPECT_NE(saved->find(": ok, "), std::string::npos) << *saved;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "stopped by the switch"), 0);

  const auto clips = FilesIn(out, "clip_*_key.mp4");
  ASSERT_EQ(clips.size(), 1u);
  EXPECT_EQ(clips[0].filename().string() + ".tmp", gate.heldFile().filename().string());
  const auto clip = CheckVideo(clips[0]);
  EXPECT_GE(clip.size(), 200u);
  const auto recs = FilesIn(out, "rec_*.mp4");
  ASSERT_EQ(recs.size(), 1u);
  const auto rec = CheckVideo(recs[0]);
  ASSERT_FALSE(rec.empty());
  EXPECT_EQ(*rec.front(), 0u);
  EXPECT_GE(rec.size(), clip.size());
  EXPECT_TRUE(FilesIn(out, "*.tmp").empty());
}

}  // namespace

namespace {

// A second vistrel, for a second host, starts on the folder where the first is recording and has
// just created its clip file: it removes a leftover of an earlier run, and neither the recording
// nor the clip of the first.
TEST_F(Faults, SecondProcessOnTheSameFolderLeavesTheFirstOnesFilesAlone) {
  SKIP_UNLESS_ROOT();
  const fs::path bin2 = dir.path() / "bin2";  // its own log
  fs::create_directories(bin2);
  for (const char* name : {"vistrel", "vistrel-host", "libvistrel-mediafw.so"}) fs::copy_file(bin / name, bin2 / name);
  ASSERT_TRUE(Start(out, /*record=*/true)) << Log();
  // A leftover of an earlier run (put there after the first one's own start had cleared leftovers).
  std::ofstream(out / "rec_20200101_000000.mp4.tmp") << "left by a run that was killed";
  Feed(90);
  ASSERT_TRUE(WaitFed(120));
  // The stale one, and A's with its journal.
  ASSERT_TRUE(WaitUntil([&] { return FilesIn(out, "rec_*.mp4.tmp").size() == 3; }, 10000));

  // The first one's clip is held just after its file was created, while the second one starts.
  OpenGate gate;
  ASSERT_TRUE(gate.Arm(out, "clip_*_death.mp4.tmp", static_cast<pid_t>(child.pid), [](const fs::path&) {}, 60000))
      << gate.error();
  ex.RaiseRequest(1);
  ASSERT_TRUE(WaitUntil([&] { return gate.struck(); }, 10000)) << Log();
  platform::ProcessHandle second;
  ASSERT_TRUE(platform::StartProcess(
      testing_support::TempDir::SystemPath(bin2 / "vistrel-host"),
      {u"--software-encoder", u"--log", u"--record", u"--fast", u"--duration", u"6", u"--request", u"key@3", u"--out",
       platform::Utf16FromUtf8(out.string())},
      second));
  ASSERT_TRUE(WaitUntil([&] { return ReadWhole(bin2 / "vistrel.log").find("  using it: ") != std::string::npos; }, 20000));
  EXPECT_FALSE(fs::exists(out / "rec_20200101_000000.mp4.tmp"));  // the second one's start ran
  gate.Release();
  std::uint32_t secondCode = 99;
  EXPECT_TRUE(platform::WaitProcessFor(second, 60000, secondCode));
  EXPECT_EQ(secondCode, 0u);
  ASSERT_TRUE(WaitLogged("saved clip_")) << Log();
  ASSERT_TRUE(WaitFed(fed.load() + 60));
  EXPECT_EQ(Stop(), 0) << Log();
  gate.Disarm();

  // Each one's log: its clip saved, its recording kept whole.
  const std::string secondLog = ReadWhole(bin2 / "vistrel.log");
  const auto lines = LogMessages();
  const auto saved = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("saved clip_", 0) == 0; });
  ASSERT_NE(saved, lines.end());
  EXPECT_NE(saved->find("_death.mp4: ok, "), std::string::npos) << Log();
  EXPECT_EQ(CountLogged("recording file closed: ok"), 1u) << Log();
  EXPECT_EQ(CountLogged("recording file closed: not kept"), 0u) << Log();
  EXPECT_NE(secondLog.find("_key.mp4: ok, "), std::string::npos) << secondLog;
  EXPECT_NE(secondLog.find("recording file closed: ok"), std::string::npos) << secondLog;

  EXPECT_TRUE(FilesIn(out, "*.tmp").empty());
  ASSERT_EQ(FilesIn(out, "clip_*_death.mp4").size(), 1u);
  ASSERT_EQ(FilesIn(out, "clip_*_key.mp4").size(), 1u);
  const auto recs = FilesIn(out, "rec_*.mp4");
  ASSERT_EQ(recs.size(), 2u);
  // The first one's recording runs from its first frame to its stop without a gap.
  std::size_t fromZero = 0;
  for (const auto& file : FilesIn(out, "*.mp4")) {
    const auto frames = CheckVideo(file);
    ASSERT_FALSE(frames.empty()) << file;
    if (file.filename().string().rfind("rec_", 0) == 0 && *frames.front() == 0) ++fromZero;
  }
  EXPECT_EQ(fromZero, 2u);
}

}  // namespace

namespace {

std::string BlockFile(pid_t pid) { return "/dev/shm/QuelvaneClip_" + std::to_string(pid); }
std::string EventFile(pid_t pid) { return "/dev/shm/sem.QuelvaneClipEv_" + std::to_string(pid); }

// Forks a child that becomes "nobody" and runs body; returns its pid (0 on failure).
pid_t StartAsNobody(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child != 0) return child < 0 ? 0 : child;
  if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(255);
  ::_exit(body());
}

// The shared block and its event are the host user's alone: created 0600, closed to another user,
// and a block that another user set up under a host's name is refused by vistrel.
TEST_F(Faults, SharedBlockIsTheHostUsersAlone) {
  SKIP_UNLESS_ROOT();
  host::HostOptions options;
  options.outputFolder = testing_support::TempDir::SystemPath(out);
  const pid_t self = ::getpid();
  ASSERT_TRUE(ex.Create(static_cast<std::uint32_t>(self), options));
  for (const std::string& file : {BlockFile(self), EventFile(self)}) {
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
    EXPECT_EQ(st.st_uid, ::geteuid()) << file;
  }

  // Another user gets at neither, for reading or for writing.
  const std::string blockName = "/QuelvaneClip_" + std::to_string(self);
  const std::string eventName = "/QuelvaneClipEv_" + std::to_string(self);
  const int opened = testing_support::RunAsNobody([&] {
    int got = 0;
    for (int flags : {O_RDWR, O_RDONLY}) {
      const int fd = ::shm_open(blockName.c_str(), flags, 0);
      if (fd >= 0) got |= flags == O_RDWR ? 1 : 2;
      else if (errno != EACCES) got |= 8;
    }
    if (::sem_open(eventName.c_str(), 0) != SEM_FAILED) got |= 4;
    else if (errno != EACCES) got |= 8;
    return got;
  });
  EXPECT_EQ(opened, 0) << "1: block read-write, 2: block read-only, 4: event, 8: another error";

  // Another user's block under a host's name (here the squatter's own pid, so that the process to
  // watch exists): vistrel started for that "host" ends with 4 and touches nothing in it.
  const fs::path lure = dir.path() / "lure";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t squatter = StartAsNobody([&] {
    ::close(ready[0]);
    host::HostOptions theirs;
    theirs.outputFolder = testing_support::TempDir::SystemPath(lure);
    theirs.log = true;
    theirs.record = true;
    host::HostExchange block;
    const char ok = block.Create(static_cast<std::uint32_t>(::getpid()), theirs) ? 1 : 0;
    (void)!::write(ready[1], &ok, 1);
    ::pause();
    return 0;
  });
  ASSERT_NE(squatter, 0);
  ::close(ready[1]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(ok, 1);
  platform::ProcessHandle vistrel;
  ASSERT_TRUE(platform::StartProcess(testing_support::TempDir::SystemPath(bin / "vistrel"),
                                     {u"--run", platform::Utf16FromUtf8(std::to_string(squatter))}, vistrel));
  std::uint32_t code = 99;
  EXPECT_TRUE(platform::WaitProcessFor(vistrel, 20000, code));
  EXPECT_EQ(code, 4u);
  const int fd = ::open(BlockFile(squatter).c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  exchange::ExchangeHeader header{};
  ASSERT_EQ(::pread(fd, &header, sizeof header, 0), static_cast<ssize_t>(sizeof header));
  ::close(fd);
  EXPECT_EQ(header.status, 0);
  EXPECT_EQ(header.heartbeat, 0u);
  EXPECT_FALSE(fs::exists(lure));
  EXPECT_FALSE(fs::exists(bin / "vistrel.log"));
  ::kill(squatter, SIGKILL);
  ::waitpid(squatter, nullptr, 0);
  ::unlink(BlockFile(squatter).c_str());
  ::unlink(EventFile(squatter).c_str());
}

}  // namespace

// Recordings that survive a kill: vistrel killed with SIGKILL at many moments of a recording (as
// it opens the file, in its first sample, anywhere in it, in a rotation, in a close), then started
// again on the same folder. The start must give back a file that decodes frame-exact from the
// recording's first frame up to no earlier than a second before the kill, with the movie box a
// clean close writes for the same samples, and change nothing else in the folder. And a start
// beside a running vistrel leaves the recording that one is writing alone.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <set>

#include "integration/vistrel_run.h"
#include "mp4/boxes.h"
#include "mp4/mp4_reader.h"

namespace {

using namespace vistrel_run;
using testing_support::OpenGate;

bool IsRoot() { return ::geteuid() == 0; }

// The time stamp of frame n: the test clock's, 1/30 s a frame, and 300 s later from frame
// jumpAt on (which makes the recording rotate at the next keyframe).
std::int64_t FrameTime(std::uint64_t n, std::uint64_t jumpAt) {
  const std::uint64_t shifted = n >= jumpAt ? n + 9000 : n;
  return static_cast<std::int64_t>(shifted) * kTicksPerSecond / 30;
}

struct Moment {
  enum Kind {
    Delay,          // delayMs after the first frame
    FirstSample,    // as soon as the recording file holds more than its header
    GateOnOpen,     // when vistrel opens a file matching pattern (root: fanotify)
    Rotation,       // delayMs after the frame that rotates the recording (or a gate, with pattern)
    Close,          // delayMs after the record switch goes off (or a gate, with pattern)
  } kind;
  int delayMs = 0;
  std::string pattern;
  std::string name;
};

// What one killed run left to check once the next start has recovered it.
struct Killed {
  Moment moment;
  std::uint64_t jumpAt = UINT64_MAX;
  std::uint64_t submitted = 0;        // frames handed to vistrel while it recorded
  std::uint64_t secondBefore = 0;     // of those, the ones handed over at least 1 s before the end
  std::size_t leftovers = 0;          // recording files left as ".tmp"
  std::map<std::string, std::string> before;  // the folder's files before the run
};

class Recovery : public VistrelRun {
 protected:
  static constexpr std::uint64_t kMaxFrames = 100000;
  std::vector<Clock::time_point> submittedAt = std::vector<Clock::time_point>(kMaxFrames);

  // Frames 0, 1, 2, ... at 30 a second of real time, each one's hand-over time noted.
  void FeedTimed(std::uint64_t jumpAt) {
    StopFeeding();
    fed = 0;
    feeding = true;
    feeder = std::thread([this, jumpAt] {
      const auto start = Clock::now();
      for (std::uint64_t n = 0; feeding.load() && n < kMaxFrames;) {
        if (Clock::now() < start + std::chrono::microseconds(n * 1000000 / 30)) {
          std::this_thread::sleep_for(std::chrono::microseconds(500));
          continue;
        }
        std::uint8_t* slot = ex.NextSlot();
        if (!slot) {
          std::this_thread::sleep_for(std::chrono::microseconds(300));
          continue;
        }
        host::DrawTestPicture(slot, exchange::kStride, static_cast<std::uint32_t>(n));
        ex.SubmitSlot(FrameTime(n, jumpAt));
        submittedAt[n] = Clock::now();
        fed = ++n;
      }
    });
  }

  std::uint64_t SubmittedBy(Clock::time_point t) const {
    std::uint64_t n = 0;
    while (n < fed.load() && submittedAt[n] <= t) ++n;
    return n;
  }

  void Kill() { ::kill(static_cast<pid_t>(child.pid), SIGKILL); }

  // Inside a close, the kill strikes as vistrel opens one of the recording's files by name (today
  // the lock taken to move the file, or to delete its journal). Should a close ever open none, the
  // kill comes right after it instead: every check holds for any moment.
  void StrikeOrKill(const OpenGate& gate) {
    if (WaitUntil([&] { return gate.struck(); }, 5000)) return;
    std::printf("  (no file opened by name inside it: killed after it)\n");
    Kill();
  }

  std::size_t RecoveryLines() {
    const auto lines = LogMessages();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
      return l.rfind("recovered ", 0) == 0 || l.rfind("could not recover ", 0) == 0;
    }));
  }

  // Recording files left behind (journals aside).
  std::size_t Leftovers() {
    std::size_t n = 0;
    for (const auto& f : FilesIn(out, "rec_*.mp4.tmp")) n += f.filename().string().find(".journal.") == std::string::npos;
    return n;
  }

  // A start, which recovers what the run before left (checked once it has); then recording, and
  // the moment's kill. Returns what is left to check.
  Killed RecordAndKill(const Moment& m, const Killed* previous) {
    EXPECT_TRUE(Start(out, /*record=*/false)) << Log();
    if (previous) {
      // The recording is switched on only once the recovery is done: a leftover of the same second
      // would otherwise keep the new file from its name.
      EXPECT_TRUE(WaitUntil([&] { return RecoveryLines() >= previous->leftovers; }, 30000)) << Log();
      Check(*previous);
    }
    Killed k;
    k.moment = m;
    k.before = Snapshot(out);
    ex.SetRecordSwitch(true);
    const pid_t pid = static_cast<pid_t>(child.pid);
    OpenGate gate;
    auto arm = [&](const std::string& pattern) {
      EXPECT_TRUE(gate.Arm(out, pattern, pid, [pid](const fs::path&) { ::kill(pid, SIGKILL); }, 300)) << gate.error();
    };
    if (m.kind == Moment::GateOnOpen) arm(m.pattern);
    if (m.kind == Moment::Rotation) k.jumpAt = 45;  // the keyframe at frame 60 rotates
    FeedTimed(k.jumpAt);
    Clock::time_point end{};
    switch (m.kind) {
      case Moment::Delay:
        EXPECT_TRUE(WaitFed(1, 20000));
        std::this_thread::sleep_for(std::chrono::milliseconds(m.delayMs));
        end = Clock::now();
        Kill();
        break;
      case Moment::FirstSample:
        EXPECT_TRUE(WaitUntil([&] {
          for (const auto& f : FilesIn(out, "rec_*.mp4.tmp")) {
            std::error_code ec;
            if (f.filename().string().find(".journal.") == std::string::npos && fs::file_size(f, ec) > 40) return true;
          }
          return false;
        }, 20000));
        end = Clock::now();
        Kill();
        break;
      case Moment::GateOnOpen:
        EXPECT_TRUE(WaitUntil([&] { return gate.struck(); }, 20000));
        end = Clock::now();
        break;
      case Moment::Rotation:
        if (!m.pattern.empty()) {
          EXPECT_TRUE(WaitFed(50, 20000));
          arm(m.pattern);
          StrikeOrKill(gate);
          end = Clock::now();
        } else {
          EXPECT_TRUE(WaitFed(61, 20000));
          std::this_thread::sleep_for(std::chrono::milliseconds(m.delayMs));
          end = Clock::now();
          Kill();
        }
        break;
      case Moment::Close:
        EXPECT_TRUE(WaitFed(45, 20000));
        if (!m.pattern.empty()) arm(m.pattern);
        end = Clock::now();  // frames after the switch goes off are not recorded
        ex.SetRecordSwitch(false);
        if (!m.pattern.empty()) {
          StrikeOrKill(gate);
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(m.delayMs));
          Kill();
        }
        break;
    }
    EXPECT_EQ(WaitExit(), 128 + SIGKILL) << m.name;
    StopFeeding();
    gate.Disarm();
    k.submitted = SubmittedBy(end);
    k.secondBefore = SubmittedBy(end - std::chrono::seconds(1));
    k.leftovers = Leftovers();
    return k;
  }

  // After the next start has recovered what k left: the files.
  void Check(const Killed& k) {
    SCOPED_TRACE(k.moment.name);
    EXPECT_TRUE(FilesIn(out, "*.tmp").empty());
    const auto now = Snapshot(out);
    for (const auto& [name, bytes] : k.before) {
      ASSERT_TRUE(now.count(name)) << name << " is gone";
      EXPECT_TRUE(now.at(name) == bytes) << name << " changed";
    }
    std::vector<fs::path> made;
    for (const auto& [name, bytes] : now) {
      if (!k.before.count(name)) made.push_back(out / name);
    }
    std::sort(made.begin(), made.end());
    const auto lines = LogMessages();
    std::uint64_t frames = 0;
    std::size_t recoveredFiles = 0;
    for (const fs::path& file : made) {
      ASSERT_EQ(file.extension(), ".mp4") << file;
      ASSERT_EQ(file.filename().string().rfind("rec_", 0), 0u) << file;
      const auto numbers = CheckVideo(file);
      ASSERT_FALSE(numbers.empty()) << file;
      EXPECT_EQ(*numbers.front(), frames) << file << ": the recording goes on where the one before ended";
      frames += numbers.size();
      ExpectCleanCloseMovieBox(file, numbers, k.jumpAt);
      const std::string recovered = "recovered " + file.filename().string() + ": " + std::to_string(numbers.size()) + " frames";
      recoveredFiles += static_cast<std::size_t>(std::count(lines.begin(), lines.end(), recovered));
    }
    // Every frame handed over a second before the kill is there, and no frame that was not handed
    // over.
    EXPECT_GE(frames, k.secondBefore);
    EXPECT_LE(frames, k.submitted);
    EXPECT_EQ(RecoveryLines(), k.leftovers);
    std::printf("  %-34s %4llu frames handed over, %4llu of them a second before the end, %4llu in %zu file(s), "
                "%zu rebuilt from %zu leftover(s)\n",
                k.moment.name.c_str(), static_cast<unsigned long long>(k.submitted),
                static_cast<unsigned long long>(k.secondBefore), static_cast<unsigned long long>(frames), made.size(),
                recoveredFiles, k.leftovers);
  }

  // The movie box is, byte for byte, the one a clean close writes for these samples: their times
  // from the frame numbers the pictures carry, every sample of 1/30 s.
  static void ExpectCleanCloseMovieBox(const fs::path& file, const std::vector<std::optional<std::uint32_t>>& numbers,
                                       std::uint64_t jumpAt) {
    const std::string bytes = ReadWhole(file);
    const std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
    mp4read::File f;
    try {
      f = mp4read::ReadFile(data);
    } catch (const mp4read::ParseError& e) {
      ADD_FAILURE() << file << ": " << e.what();
      return;
    }
    ASSERT_EQ(f.boxes.size(), 3u) << file;
    ASSERT_EQ(f.boxes[2].type, "moov") << file;
    ASSERT_EQ(f.movie.stsz.size(), numbers.size()) << file;
    SampleTable table;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      table.times.push_back(FrameTime(*numbers[i], jumpAt));
      table.keyframes.push_back(std::find(f.movie.stss.begin(), f.movie.stss.end(), i + 1) != f.movie.stss.end());
      table.sizes.push_back(f.movie.stsz[i]);
    }
    const ByteBuffer expected = BuildMoovPayload(table, 333333, f.movie.sps, f.movie.pps, 40);
    const std::vector<std::uint8_t> moov(data.begin() + static_cast<std::ptrdiff_t>(f.boxes[2].offset + 8), data.end());
    EXPECT_TRUE(moov == expected) << file << ": not the movie box of a clean close";
  }
};

// About two dozen kills, each followed by a start on the same folder that recovers what it left.
TEST_F(Recovery, KilledAnywhereInARecordingLosesAtMostItsLastSecond) {
  std::vector<Moment> moments;
  moments.push_back({Moment::FirstSample, 0, "", "first sample written"});
  moments.push_back({Moment::Delay, 0, "", "at the first frame"});
  std::random_device seedSource;
  const unsigned seed = std::getenv("VISTREL_RECOVERY_SEED") ? static_cast<unsigned>(std::atoi(std::getenv("VISTREL_RECOVERY_SEED")))
                                                            : seedSource();
  std::printf("kill moments from seed %u (VISTREL_RECOVERY_SEED)\n", seed);
  std::mt19937 random(seed);
  for (int i = 0; i < 13; ++i) {
    const int delay = 30 + static_cast<int>(random() % 2470);
    moments.push_back({Moment::Delay, delay, "", "after " + std::to_string(delay) + " ms"});
  }
  for (int delay : {0, 4, 12, 40}) {
    moments.push_back({Moment::Rotation, delay, "", "rotation + " + std::to_string(delay) + " ms"});
  }
  for (int delay : {0, 3, 8, 25}) {
    moments.push_back({Moment::Close, delay, "", "switch off + " + std::to_string(delay) + " ms"});
  }
  if (IsRoot()) {
    // Exact moments, with the opening of a file held while the kill strikes.
    moments.push_back({Moment::GateOnOpen, 0, "rec_*.mp4.tmp", "as the recording file opens"});
    moments.push_back({Moment::GateOnOpen, 0, "rec_*.journal.mp4.tmp", "as the journal opens"});
    moments.push_back({Moment::Rotation, 0, "rec_*.mp4.tmp", "inside the rotation"});
    moments.push_back({Moment::Close, 0, "rec_*.mp4.tmp", "inside the close"});
  } else {
    std::printf("not root: the moments that need fanotify are left out\n");
  }

  std::optional<Killed> last;
  for (const Moment& m : moments) {
    last = RecordAndKill(m, last ? &*last : nullptr);
    if (HasFailure()) break;
  }
  // The last one, by a start that stops at once (the stop waits for the recovery).
  ASSERT_TRUE(last);
  ASSERT_TRUE(Start(out, /*record=*/false, /*stopAtOnce=*/true));
  EXPECT_EQ(WaitExit(), 0) << Log();
  Check(*last);
}

// A second vistrel, started on the folder where a first one records, neither recovers nor deletes
// the recording in progress (nor its journal), and the first one's file ends whole.
TEST_F(Recovery, SecondProcessLeavesARecordingInProgressAlone) {
  const fs::path bin2 = dir.path() / "bin2";  // its own log
  fs::create_directories(bin2);
  for (const char* name : {"vistrel", "vistrel-host", "libvistrel-mediafw.so"}) fs::copy_file(bin / name, bin2 / name);
  ASSERT_TRUE(Start(out, /*record=*/true)) << Log();
  FeedTimed(UINT64_MAX);
  ASSERT_TRUE(WaitFed(45));
  ASSERT_EQ(FilesIn(out, "rec_*.mp4.tmp").size(), 2u);  // the file and its journal
  platform::ProcessHandle second;
  ASSERT_TRUE(platform::StartProcess(testing_support::TempDir::SystemPath(bin2 / "vistrel-host"),
                                     {u"--software-encoder", u"--log", u"--fast", u"--duration", u"1", u"--out",
                                      platform::Utf16FromUtf8(out.string())},
                                     second));
  std::uint32_t secondCode = 99;
  ASSERT_TRUE(platform::WaitProcessFor(second, 60000, secondCode));
  EXPECT_EQ(secondCode, 0u);
  const std::string secondLog = ReadWhole(bin2 / "vistrel.log");
  EXPECT_NE(secondLog.find("stopped by the switch"), std::string::npos) << secondLog;
  EXPECT_EQ(secondLog.find("recover"), std::string::npos) << secondLog;
  ASSERT_EQ(FilesIn(out, "rec_*.mp4.tmp").size(), 2u);
  const std::uint64_t handed = fed.load();
  ASSERT_TRUE(WaitFed(handed + 30));
  EXPECT_EQ(Stop(), 0) << Log();
  EXPECT_EQ(CountLogged("recording file closed: ok"), 1u) << Log();
  EXPECT_TRUE(FilesIn(out, "*.tmp").empty());
  const auto recs = FilesIn(out, "rec_*.mp4");
  ASSERT_EQ(recs.size(), 1u);
  const auto frames = CheckVideo(recs[0]);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(*frames.front(), 0u);
  EXPECT_GE(frames.size(), handed + 30 - 10);  // all but the last few on their way at the stop
}

}  // namespace

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/process_state.h"
#include "bench_samples.h"
#include "leftover.h"
#include "clips/annexb.h"
#include "clips/clip_request.h"
#include "clips/sample_history.h"
#include "mp4/boxes.h"
#include "mp4/clip_writer.h"
#include "mp4/crc32.h"
#include "mp4/recording.h"
#include "mp4/recording_journal.h"
#include "mp4/recovery.h"
#include "platform/atomic.h"
#include "platform/exclusive_file.h"

namespace {

using bench_samples::AccessUnit;

// 16 MB of access units back to back: one second of video at 8 Mbit/s is 1 MB.
const std::vector<std::uint8_t>& Stream() {
  static const std::vector<std::uint8_t> stream = [] {
    std::vector<std::uint8_t> s;
    for (std::uint32_t i = 0; s.size() < (16u << 20); ++i) {
      const std::vector<std::uint8_t> au = AccessUnit(i % 30 == 0, 33000, i);
      s.insert(s.end(), au.begin(), au.end());
    }
    return s;
  }();
  return stream;
}

void BM_ScanAnnexB(benchmark::State& state) {
  const std::vector<std::uint8_t>& s = Stream();
  for (auto _ : state) {
    std::size_t units = 0, bytes = 0;
    ScanAnnexB(s.data(), s.size(), [&](const NalUnit& u) {
      ++units;
      bytes += u.length;
    });
    benchmark::DoNotOptimize(units);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_ScanAnnexB)->Unit(benchmark::kMillisecond);

void BM_ConvertAccessUnit(benchmark::State& state) {
  const std::vector<std::uint8_t> au = AccessUnit(true, 40000, 5);
  ByteBuffer out;
  for (auto _ : state) {
    out.clear();
    ConvertAccessUnit(out, au);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * au.size()));
}
BENCHMARK(BM_ConvertAccessUnit);

void BM_ConvertedSize(benchmark::State& state) {
  const std::vector<std::uint8_t> au = AccessUnit(false, 40000, 6);
  for (auto _ : state) benchmark::DoNotOptimize(ConvertedSize(au));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * au.size()));
}
BENCHMARK(BM_ConvertedSize);

// One 40 KB access unit into a settled 15-16 s history (the trim included), recording off.
void BM_AddEncodedSample(benchmark::State& state) {
  sampleHistory = SampleHistory{};
  IMFSample* key = bench_samples::FrameworkSample(AccessUnit(true, 40000, 1), true);
  IMFSample* delta = bench_samples::FrameworkSample(AccessUnit(false, 40000, 2), false);
  std::int64_t frame = 0;
  auto add = [&] {
    IMFSample* s = frame % 30 == 0 ? key : delta;
    s->SetSampleTime(frame * 10000000 / 30);
    AddEncodedSample(s);
    ++frame;
  };
  for (int i = 0; i < 30 * 20; ++i) add();
  for (auto _ : state) add();
  state.counters["history"] = static_cast<double>(sampleHistory.samples.size());
  key->Release();
  delta->Release();
  sampleHistory = SampleHistory{};
}
BENCHMARK(BM_AddEncodedSample)->Unit(benchmark::kMicrosecond);

void FillHistory(std::size_t records, std::size_t bytes) {
  sampleHistory = SampleHistory{};
  const auto key = std::make_shared<const std::vector<std::uint8_t>>(AccessUnit(true, bytes, 1));
  const auto delta = std::make_shared<const std::vector<std::uint8_t>>(AccessUnit(false, bytes, 2));
  for (std::size_t i = 0; i < records; ++i) {
    EncodedSample s;
    s.data = i % 30 == 0 ? key : delta;
    s.time = static_cast<std::int64_t>(i) * 10000000 / 30;
    s.duration = 333333;
    s.keyframe = i % 30 == 0;
    sampleHistory.heldBytes += s.data->size();
    sampleHistory.samples.push_back(std::move(s));
  }
  parameterSets.sps = {0x67, 0x4D, 0x40, 0x1F};
  parameterSets.pps = {0x68};
}

// The snapshot of a full history (480 records): references, never bytes.
void BM_MakeClipJob(benchmark::State& state) {
  FillHistory(480, 33000);
  for (auto _ : state) benchmark::DoNotOptimize(MakeClipJob(sampleHistory, parameterSets, 2));
  sampleHistory = SampleHistory{};
}
BENCHMARK(BM_MakeClipJob)->Unit(benchmark::kMicrosecond);

// The whole main-thread part of a request: checks, snapshot, counter, thread start. The save
// thread finds a volume without free space (/proc) and ends at once; it is waited for untimed.
void BM_RequestClip(benchmark::State& state) {
  FillHistory(480, 33000);
  processState.outputFolder = u"\\proc";
  for (auto _ : state) {
    RequestClip(2);
    state.PauseTiming();
    while (platform::AtomicLoad(processState.runningSaves) > 0) std::this_thread::yield();
    state.ResumeTiming();
  }
  processState.outputFolder.clear();
  sampleHistory = SampleHistory{};
}
BENCHMARK(BM_RequestClip)->Unit(benchmark::kMicrosecond);

// 16 s at 30 frames a second, 16 MB, into a file on the local disk.
void BM_WriteClipFile(benchmark::State& state) {
  std::vector<EncodedSample> samples;
  for (int i = 0; i < 480; ++i) {
    EncodedSample s;
    s.data = std::make_shared<const std::vector<std::uint8_t>>(AccessUnit(i % 30 == 0, 34950, static_cast<std::uint32_t>(i)));
    s.time = i * 10000000LL / 30;
    s.duration = 333333;
    s.keyframe = i % 30 == 0;
    samples.push_back(std::move(s));
  }
  const std::vector<std::uint8_t> sps = {0x67, 0x4D, 0x40, 0x1F}, pps = {0x68};
  const std::filesystem::path folder = std::filesystem::current_path() / "storage_bench_clips";
  std::filesystem::create_directories(folder);
  std::u16string path = (folder / "clip.mp4").u16string();
  for (char16_t& c : path) c = c == u'/' ? u'\\' : c;
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    if (!WriteClipFile(path, samples, sps, pps)) state.SkipWithError("write failed");
    state.PauseTiming();
    bytes = std::filesystem::file_size(folder / "clip.mp4");
    std::filesystem::remove(folder / "clip.mp4");
    state.ResumeTiming();
  }
  std::filesystem::remove_all(folder);
  state.counters["MB"] = static_cast<double>(bytes) / 1e6;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_WriteClipFile)->Unit(benchmark::kMillisecond);

// The movie box of a five-minute recording: 9,000 samples.
void BM_BuildMoovPayload(benchmark::State& state) {
  SampleTable table;
  for (int i = 0; i < 9000; ++i) {
    table.times.push_back(i * 10000000LL / 30);
    table.keyframes.push_back(i % 30 == 0);
    table.sizes.push_back(33000 + static_cast<std::uint32_t>(i % 977));
  }
  const std::vector<std::uint8_t> sps = {0x67, 0x4D, 0x40, 0x1F}, pps = {0x68};
  for (auto _ : state) benchmark::DoNotOptimize(BuildMoovPayload(table, 333333, sps, pps, 40));
}
BENCHMARK(BM_BuildMoovPayload)->Unit(benchmark::kMicrosecond);

// The journal's check of every recorded sample's bytes.
void BM_Crc32(benchmark::State& state) {
  const std::vector<std::uint8_t>& s = Stream();
  for (auto _ : state) benchmark::DoNotOptimize(Crc32(s.data(), s.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_Crc32)->Unit(benchmark::kMillisecond);

std::filesystem::path BenchFolder(const char* name) {
  const std::filesystem::path folder = std::filesystem::current_path() / name;
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

// What the journal adds to the main thread for one recorded sample of 33 KB: the CRC of its bytes
// and one 32-byte write, no flush.
void BM_JournalRecord(benchmark::State& state) {
  const std::filesystem::path folder = BenchFolder("storage_bench_journal");
  ByteBuffer converted;
  ConvertAccessUnit(converted, AccessUnit(false, 33000, 3));
  RecordingJournal journal;
  const std::vector<std::uint8_t> sps = {0x67, 0x4D, 0x40, 0x1F}, pps = {0x68};
  if (!OpenRecordingJournal(journal, bench_samples::SystemFolder(folder) + u"\\rec_x.mp4", sps, pps)) {
    state.SkipWithError("journal not created");
  }
  std::int64_t time = 0;
  for (auto _ : state) {
    if (!AppendJournalRecord(journal, time, 333333, false, converted.data(), converted.size())) {
      state.SkipWithError("write failed");
    }
    time += 333333;
  }
  DiscardRecordingJournal(journal);
  std::filesystem::remove_all(folder);
  state.counters["bytes"] = static_cast<double>(kJournalRecordSize);
}
BENCHMARK(BM_JournalRecord)->Unit(benchmark::kMicrosecond);

// The whole main-thread cost of one recorded sample of 33 KB into a file on the local disk:
// conversion, the sample's write, the journal's CRC and record.
void BM_AppendToRecording(benchmark::State& state) {
  const std::filesystem::path folder = BenchFolder("storage_bench_recording");
  processState.outputFolder = bench_samples::SystemFolder(folder);
  parameterSets.sps = {0x67, 0x4D, 0x40, 0x1F};
  parameterSets.pps = {0x68};
  processState.recordingWanted = 1;
  std::vector<EncodedSample> group(30);
  for (int i = 0; i < 30; ++i) {
    group[i].data = std::make_shared<const std::vector<std::uint8_t>>(AccessUnit(i == 0, 33000, static_cast<std::uint32_t>(i)));
    group[i].duration = 333333;
    group[i].keyframe = i == 0;
  }
  std::int64_t n = 0;
  for (auto _ : state) {
    EncodedSample s = group[n % 30];
    s.time = n * 10000000 / 30;
    AppendToRecording(s);
    ++n;
  }
  {
    platform::LockHolder hold(processState.recordingLock);
    CloseRecording();
  }
  processState.recordingWanted = 0;
  processState.outputFolder.clear();
  std::filesystem::remove_all(folder);
}
// 3,000 samples: 100 MB, well inside one file (no rotation).
BENCHMARK(BM_AppendToRecording)->Unit(benchmark::kMicrosecond)->Iterations(3000);

// A 300 s recording (9,000 samples, about 300 MB) left by a kill, made once.
const std::filesystem::path& Leftover300() {
  static const std::filesystem::path folder = [] {
    const std::filesystem::path f = BenchFolder("storage_bench_leftover");
    bench_samples::MakeLeftoverRecording(f, 9000, 33000);
    return f;
  }();
  return folder;
}

struct LeftoverFiles {
  std::filesystem::path media, journal;
};

LeftoverFiles FindLeftover(const std::filesystem::path& folder) {
  LeftoverFiles files;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    (e.path().filename().string().find(".journal.") == std::string::npos ? files.media : files.journal) = e.path();
  }
  return files;
}

// Drops a file's pages from the system's cache, so that the next read comes from the disk.
void DropFromCache(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY);
  if (fd < 0) return;
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

// What the start itself spends on it: list the folder, open and lock the two files. Everything
// else runs on the recovery's own thread.
void BM_TakeLeftoverRecordings(benchmark::State& state) {
  processState.outputFolder = bench_samples::SystemFolder(Leftover300());
  for (auto _ : state) {
    LeftoverRecordings taken = TakeLeftoverRecordings([] {});
    state.PauseTiming();
    if (taken.files.size() != 1) state.SkipWithError("leftover not taken");
    for (LeftoverRecording& file : taken.files) {
      platform::CloseFile(file.media);
      platform::CloseFile(file.journal);
    }
    state.ResumeTiming();
  }
  processState.outputFolder.clear();
}
BENCHMARK(BM_TakeLeftoverRecordings)->Unit(benchmark::kMicrosecond);

// The recovery's own thread on the 300 MB leftover: read and check every record and every sample
// byte, rebuild the movie box, cut, write and patch (the rebuild is the same every time: it
// writes the file it finds). Warm: the file still in the system's cache, as after a crash of
// vistrel alone; cold: read from the disk, as after a power failure.
void BM_RecoverLeftoverRecording(benchmark::State& state) {
  const bool cold = state.range(0) != 0;
  const LeftoverFiles files = FindLeftover(Leftover300());
  std::size_t frames = 0;
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      DropFromCache(files.media);
      DropFromCache(files.journal);
      state.ResumeTiming();
    }
    platform::FileHandle media = platform::kInvalidFile, journal = platform::kInvalidFile;
    platform::OpenFileExclusive(bench_samples::SystemFolder(files.media), media);
    platform::OpenFileExclusive(bench_samples::SystemFolder(files.journal), journal);
    auto source = [](platform::FileHandle f) {
      ByteSource s;
      platform::FileSizeOf(f, s.size);
      s.read = [f](std::uint64_t offset, std::uint8_t* out, std::size_t n) { return platform::ReadFileAt(f, offset, out, n); };
      return s;
    };
    RecoveredRecording recovered;
    if (!ReadLeftoverRecording(source(journal), source(media), recovered) || !RebuildRecordingFile(media, recovered)) {
      state.SkipWithError("not recovered");
    }
    frames = recovered.table.times.size();
    platform::CloseFile(media);
    platform::CloseFile(journal);
  }
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["MB"] = static_cast<double>(std::filesystem::file_size(files.media)) / 1e6;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * std::filesystem::file_size(files.media)));
}
BENCHMARK(BM_RecoverLeftoverRecording)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(std::filesystem::current_path() / "storage_bench_leftover");
  return 0;
}

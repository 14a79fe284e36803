// Recordings rebuilt after a crash. Leftovers are made by the recorder itself and then cut the way
// a kill or a power failure cuts them (at every byte of the last samples, over with random bytes
// or zeros, records forged with valid checks): what comes back must be exactly the file a clean
// close would have written for the whole samples, or nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <random>

#include "clips/housekeeping.h"
#include "mp4/crc32.h"
#include "mp4/hex.h"
#include "mp4/mp4_reader.h"
#include "mp4/recording_fixture.h"
#include "mp4/recording_journal.h"
#include "mp4/recovery.h"
#include "platform/atomic.h"
#include "platform/exclusive_file.h"
#include "platform/thread.h"

namespace {

using namespace testing_files;
using namespace testing_samples;
using Bytes = std::vector<std::uint8_t>;

const std::string kMedia = "rec_20250314_211502.mp4.tmp";
const std::string kJournal = "rec_20250314_211502.journal.mp4.tmp";
const std::string kFinal = "rec_20250314_211502.mp4";

struct Leftover {
  Bytes media, journal;
};

// An access unit with two slices (two length-prefixed units in the media data), as the encoders
// measured give them; payload bytes are never zero, so no start code appears inside.
EncodedSample TwoSlices(std::int64_t time, bool keyframe, std::size_t payload) {
  EncodedSample s = Sample(time, keyframe, payload);
  std::vector<std::uint8_t> au = *s.data;
  au.insert(au.end(), {0, 0, 1, static_cast<std::uint8_t>(keyframe ? 0x65 : 0x41)});
  for (std::size_t i = 0; i < payload / 2 + 1; ++i) au.push_back(static_cast<std::uint8_t>(0x81 + (i * 7 + payload) % 120));
  s.data = std::make_shared<const std::vector<std::uint8_t>>(std::move(au));
  return s;
}

// count samples 1/30 s apart, a keyframe every 8, sizes and durations varying, every fifth sample
// with two slices, and one that holds only an access unit delimiter (0 bytes in the media data).
std::vector<EncodedSample> Mixed(int count) {
  std::vector<EncodedSample> out;
  for (int i = 0; i < count; ++i) {
    const std::int64_t t = i * 10000000LL / 30;
    const std::size_t payload = 40 + static_cast<std::size_t>((i * 37) % 90);
    if (i == 10) {
      EncodedSample empty;
      empty.data = std::make_shared<const std::vector<std::uint8_t>>(std::vector<std::uint8_t>{0, 0, 0, 1, 0x09, 0xF0});
      empty.time = t;
      empty.duration = 333333;
      out.push_back(empty);
    } else {
      out.push_back(i % 5 == 3 ? TwoSlices(t, i % 8 == 0, payload) : Sample(t, i % 8 == 0, payload));
    }
    out.back().duration = 333000 + 100 * i;
  }
  return out;
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

ByteSource Memory(const Bytes& bytes) {
  ByteSource source;
  source.size = bytes.size();
  source.read = [&bytes](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    if (offset > bytes.size() || n > bytes.size() - offset) return false;
    std::memcpy(out, bytes.data() + offset, n);
    return true;
  };
  return source;
}

std::size_t Recovered(const Leftover& l) {
  RecoveredRecording r;
  return ReadLeftoverRecording(Memory(l.journal), Memory(l.media), r) ? r.table.times.size() : 0;
}

class RecoveryTest : public RecordingTest {
 protected:
  // Records the samples and keeps the leftover as it stood after each append (leftovers[k] holds
  // k samples), then abandons the recording as a kill would: no close, the files left behind.
  std::vector<Leftover> RecordLeftovers(const std::vector<EncodedSample>& samples) {
    RunRecordingControl(1);
    std::vector<Leftover> out(1);
    for (const EncodedSample& s : samples) {
      AppendToRecording(s);
      clock.Advance(33);
      out.push_back({ReadFileBytes(folder / kMedia), ReadFileBytes(folder / kJournal)});
    }
    {
      platform::LockHolder hold(processState.recordingLock);
      platform::CloseFile(recordingFile.handle);
      platform::CloseFile(recordingFile.journal.handle);
      recordingFile = RecordingFile{};
    }
    RunRecordingControl(0);
    fs::remove(folder / kMedia);
    fs::remove(folder / kJournal);
    return out;
  }

  // The file a clean close makes of the first count samples.
  Bytes CleanClose(const std::vector<EncodedSample>& samples, std::size_t count) {
    RunRecordingControl(1);
    Append({samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(count)});
    RunRecordingControl(0);
    Bytes bytes = ReadFileBytes(folder / kFinal);
    fs::remove(folder / kFinal);
    return bytes;
  }

  // The same at a picture size of the stream's (which stays set afterwards).
  Bytes CleanCloseAt(const std::vector<EncodedSample>& samples, std::size_t count, std::uint32_t width,
                     std::uint32_t height) {
    processState.stream.width = width;
    processState.stream.height = height;
    return CleanClose(samples, count);
  }

  // The media-data end of each leftover: ends[k] is the file offset just after sample k - 1.
  static std::vector<std::size_t> SampleEnds(const std::vector<Leftover>& leftovers) {
    std::vector<std::size_t> ends;
    for (const Leftover& l : leftovers) ends.push_back(l.media.empty() ? 40 : l.media.size());
    return ends;
  }

  void Place(const Leftover& l) {
    WriteBytes(folder / kMedia, l.media);
    WriteBytes(folder / kJournal, l.journal);
  }

  // A start's part in it, in the main loop's order: take over, clean up, recover.
  void Start() {
    LeftoverRecordings leftovers = TakeLeftoverRecordings(RemoveLeftoverTempFiles);
    RecoverLeftoverRecordings(leftovers);
  }

  // The recovered file, or nothing when the leftover went (and then no temporary file either).
  Bytes StartAndTake() {
    Start();
    EXPECT_FALSE(fs::exists(folder / kMedia));
    EXPECT_FALSE(fs::exists(folder / kJournal));
    if (!fs::exists(folder / kFinal)) return {};
    Bytes bytes = ReadFileBytes(folder / kFinal);
    fs::remove(folder / kFinal);
    return bytes;
  }

  std::vector<std::string> RecoveryLines() {
    std::vector<std::string> lines;
    for (const std::string& m : log.Messages()) {
      if (m.rfind("recovered ", 0) == 0 || m.rfind("could not recover ", 0) == 0) lines.push_back(m);
    }
    return lines;
  }
};

TEST(Crc32, KnownValueAndContinuation) {
  const char* text = "123456789";
  EXPECT_EQ(Crc32(text, 9), 0xCBF43926u);
  EXPECT_EQ(Crc32(text + 4, 5, Crc32(text, 4)), 0xCBF43926u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
  std::vector<std::uint8_t> long_(1000);
  for (std::size_t i = 0; i < long_.size(); ++i) long_[i] = static_cast<std::uint8_t>(i * 131 + 7);
  std::uint32_t bytewise = 0;
  for (std::uint8_t b : long_) bytewise = Crc32(&b, 1, bytewise);
  EXPECT_EQ(Crc32(long_.data(), long_.size()), bytewise);
}

TEST_F(RecoveryTest, JournalLivesBesideTheOpenFileOnly) {
  RunRecordingControl(1);
  Append(Sequence(3));
  EXPECT_EQ(Files(), (std::vector<std::string>{kJournal, kMedia}));
  RunRecordingControl(0);
  EXPECT_EQ(Files(), (std::vector<std::string>{kFinal}));
  // A file that is not kept takes its journal with it.
  clock.SetSecond(9);
  {
    platform::LockHolder hold(processState.recordingLock);
    ASSERT_TRUE(OpenRecording());
  }
  RunRecordingControl(0);
  EXPECT_EQ(Files(), (std::vector<std::string>{kFinal}));
}

// A journal record that cannot be written (here: its handle gone) fails the recording as a full
// disk does: the file is closed with every sample written, the sample just written included, and
// the next keyframe waits 60 s.
TEST_F(RecoveryTest, JournalWriteFailureClosesTheRecording) {
  RunRecordingControl(1);
  Append(Sequence(4));
  {
    platform::LockHolder hold(processState.recordingLock);
    platform::CloseFile(recordingFile.journal.handle);  // later writes to it fail
  }
  Append(Sequence(2, 30, 4000000));
  EXPECT_FALSE(FileOpen());
  EXPECT_EQ(log.Messages(), (std::vector<std::string>{"recording write failed (disk full?)", "recording file closed: ok, 5 frames"}));
  EXPECT_EQ(Files(), (std::vector<std::string>{kFinal}));
  EXPECT_EQ(mp4read::ReadFile(ReadFileBytes(folder / kFinal)).movie.stsz.size(), 5u);
}

// A kill after any sample: the next start makes of the leftover exactly the file that a clean
// close of the same samples makes.
TEST_F(RecoveryTest, RecoveredFileIsTheCleanCloseOfTheSameSamples) {
  const std::vector<EncodedSample> samples = Mixed(20);
  const std::vector<Leftover> leftovers = RecordLeftovers(samples);
  std::vector<std::string> expected;
  for (std::size_t k = 1; k <= samples.size(); ++k) {
    Place(leftovers[k]);
    const Bytes recovered = StartAndTake();
    EXPECT_TRUE(recovered == CleanClose(samples, k)) << k << " samples";
    expected.push_back("recovered " + kFinal + ": " + std::to_string(k) + " frames");
  }
  EXPECT_EQ(RecoveryLines(), expected);
  EXPECT_TRUE(Files().empty());
}

// The media data cut at every byte of its last samples (a kill in the middle of a write, or the
// last writes lost): recovered up to the last whole sample, never more.
TEST_F(RecoveryTest, MediaCutAtEveryByteOfItsLastSamples) {
  const std::vector<EncodedSample> samples = Mixed(12);
  const std::vector<Leftover> leftovers = RecordLeftovers(samples);
  const std::vector<std::size_t> ends = SampleEnds(leftovers);
  std::vector<Bytes> clean(samples.size() + 1);
  for (std::size_t k = 7; k <= samples.size(); ++k) clean[k] = CleanClose(samples, k);
  const Leftover& whole = leftovers.back();
  for (std::size_t cut = ends[8] - 1; cut <= whole.media.size(); ++cut) {
    std::size_t whole_samples = 0;
    while (whole_samples < samples.size() && ends[whole_samples + 1] <= cut) ++whole_samples;
    Place({Bytes(whole.media.begin(), whole.media.begin() + static_cast<std::ptrdiff_t>(cut)), whole.journal});
    EXPECT_TRUE(StartAndTake() == clean[whole_samples]) << "cut at " << cut << ", " << whole_samples << " whole";
  }
}

// The journal cut at every byte of its last records: the samples whose records are whole.
TEST_F(RecoveryTest, JournalCutAtEveryByteOfItsLastRecords) {
  const std::vector<EncodedSample> samples = Mixed(12);
  const std::vector<Leftover> leftovers = RecordLeftovers(samples);
  std::vector<Bytes> clean(samples.size() + 1);
  for (std::size_t k = 7; k <= samples.size(); ++k) clean[k] = CleanClose(samples, k);
  const Leftover& whole = leftovers.back();
  const std::size_t header = whole.journal.size() - samples.size() * kJournalRecordSize;
  for (std::size_t cut = header + 8 * kJournalRecordSize - 1; cut <= whole.journal.size(); ++cut) {
    const std::size_t records = (cut - header) / kJournalRecordSize;
    Place({whole.media, Bytes(whole.journal.begin(), whole.journal.begin() + static_cast<std::ptrdiff_t>(cut))});
    EXPECT_TRUE(StartAndTake() == clean[records]) << "cut at " << cut;
  }
  // Not even the header: nothing to rebuild from.
  Place({whole.media, Bytes(whole.journal.begin(), whole.journal.begin() + static_cast<std::ptrdiff_t>(header - 1))});
  EXPECT_TRUE(StartAndTake().empty());
  EXPECT_EQ(RecoveryLines().back(), "could not recover " + kMedia);
}

// A power failure: either file's tail replaced by random bytes or by the zeros of blocks that
// never reached the disk, from any offset on. What is recovered is exactly the samples that lie
// wholly before the first changed byte of both files.
TEST_F(RecoveryTest, TailsOverwrittenByAPowerFailure) {
  const std::vector<EncodedSample> samples = Mixed(12);
  const std::vector<Leftover> leftovers = RecordLeftovers(samples);
  const std::vector<std::size_t> ends = SampleEnds(leftovers);
  std::vector<Bytes> clean(samples.size() + 1);
  for (std::size_t k = 1; k <= samples.size(); ++k) clean[k] = CleanClose(samples, k);
  const Leftover& whole = leftovers.back();
  const std::size_t header = whole.journal.size() - samples.size() * kJournalRecordSize;
  std::mt19937 random(20251209);
  // Overwrites bytes from at on (and perhaps a little beyond the end), randomly or with zeros;
  // returns the first byte that differs from the original.
  auto damage = [&](Bytes& bytes, std::size_t at, bool zeros) {
    const Bytes original = bytes;
    bytes.resize(bytes.size() + random() % 64);
    for (std::size_t i = at; i < bytes.size(); ++i) bytes[i] = zeros ? 0 : static_cast<std::uint8_t>(random());
    std::size_t first = at;
    while (first < original.size() && bytes[first] == original[first]) ++first;
    return first;
  };
  for (int round = 0; round < 120; ++round) {
    Leftover l = whole;
    std::size_t mediaIntact = l.media.size(), journalIntact = l.journal.size();
    const int which = round % 3;  // media, journal or both
    if (which != 1) mediaIntact = damage(l.media, 40 + random() % (l.media.size() - 40), round % 2 == 0);
    if (which != 0) journalIntact = damage(l.journal, header + random() % (l.journal.size() - header), round % 4 < 2);
    std::size_t expected = 0;
    while (expected < samples.size() && ends[expected + 1] <= mediaIntact &&
           header + (expected + 1) * kJournalRecordSize <= journalIntact) {
      ++expected;
    }
    EXPECT_EQ(Recovered(l), expected) << "round " << round;
    Place(l);
    EXPECT_TRUE(StartAndTake() == clean[expected]) << "round " << round;
  }
}

// Records with valid checks but values that no recorder writes, and damaged headers: each ends
// the file at the record it concerns (or gives nothing), never more.
TEST_F(RecoveryTest, ForgedRecordsEndTheFileWhereTheyStand) {
  const std::vector<EncodedSample> samples = Mixed(12);
  const Leftover whole = RecordLeftovers(samples).back();
  JournalHeader header;
  ASSERT_TRUE(ParseJournalHeader(whole.journal.data(), whole.journal.size(), header));
  auto record = [&](const Leftover& l, std::uint32_t i) {
    JournalSample s;
    EXPECT_TRUE(ParseJournalRecord(header.seed, i, l.journal.data() + header.size + i * kJournalRecordSize, s));
    return s;
  };
  auto forge = [&](Leftover& l, std::uint32_t i, const JournalSample& s) {
    std::uint8_t bytes[kJournalRecordSize];
    BuildJournalRecord(header.seed, i, s, bytes);
    std::memcpy(l.journal.data() + header.size + i * kJournalRecordSize, bytes, sizeof bytes);
  };
  auto with = [&](std::uint32_t i, auto change) {
    Leftover l = whole;
    JournalSample s = record(l, i);
    change(s, l);
    forge(l, i, s);
    return Recovered(l);
  };
  ASSERT_EQ(Recovered(whole), 12u);
  EXPECT_EQ(with(5, [](JournalSample& s, Leftover&) { s.time -= 333334; }), 5u);  // time not after the one before
  EXPECT_EQ(with(5, [](JournalSample&, Leftover&) {}), 12u);                       // the forging itself changes nothing
  EXPECT_EQ(with(0, [](JournalSample& s, Leftover&) { s.keyframe = false; }), 0u);  // no keyframe first
  EXPECT_EQ(with(5, [](JournalSample& s, Leftover&) { s.duration = 0; }), 5u);
  EXPECT_EQ(with(5, [](JournalSample& s, Leftover&) { s.duration = 3000000001LL; }), 5u);
  EXPECT_EQ(with(11, [](JournalSample& s, Leftover&) { s.size += 1; }), 11u);       // beyond the end of the file
  EXPECT_EQ(with(5, [](JournalSample& s, Leftover&) { s.size = 0xFFFFFFF0u; }), 5u);
  EXPECT_EQ(with(5, [](JournalSample& s, Leftover&) { s.checksum ^= 1; }), 5u);
  // A sample whose bytes match their record but whose length prefix overruns the sample.
  const std::size_t at = 40 + [&] {
    std::size_t offset = 0;
    for (std::uint32_t i = 0; i < 5; ++i) offset += record(whole, i).size;
    return offset;
  }();
  EXPECT_EQ(with(5, [&](JournalSample& s, Leftover& l) {
              l.media[at + 3] = static_cast<std::uint8_t>(l.media[at + 3] + 1);
              s.checksum = Crc32(l.media.data() + at, s.size);
            }), 5u);
  // ... or ends before it does.
  EXPECT_EQ(with(5, [&](JournalSample& s, Leftover& l) {
              l.media[at + 3] = static_cast<std::uint8_t>(l.media[at + 3] - 1);
              s.checksum = Crc32(l.media.data() + at, s.size);
            }), 5u);
  // A reserved flag bit.
  {
    Leftover l = whole;
    std::uint8_t* r = l.journal.data() + header.size + 5 * kJournalRecordSize;
    r[24] |= 0x80;
    const std::uint32_t check = Crc32(r, 28, [&] {
      const std::uint8_t place[8] = {static_cast<std::uint8_t>(header.seed >> 24), static_cast<std::uint8_t>(header.seed >> 16),
                                     static_cast<std::uint8_t>(header.seed >> 8), static_cast<std::uint8_t>(header.seed),
                                     0, 0, 0, 5};
      return Crc32(place, 8);
    }());
    r[28] = static_cast<std::uint8_t>(check >> 24);
    r[29] = static_cast<std::uint8_t>(check >> 16);
    r[30] = static_cast<std::uint8_t>(check >> 8);
    r[31] = static_cast<std::uint8_t>(check);
    EXPECT_EQ(Recovered(l), 5u);
  }
  // A record moved to another place, or from another journal, does not check.
  {
    Leftover l = whole;
    std::memcpy(l.journal.data() + header.size + 6 * kJournalRecordSize, l.journal.data() + header.size + 5 * kJournalRecordSize,
                kJournalRecordSize);
    EXPECT_EQ(Recovered(l), 6u);
  }
  {
    Leftover l = whole;
    l.journal[12] ^= 1;  // the identity: another journal, whose header checks in itself
    const std::uint32_t crc = Crc32(l.journal.data(), header.size - 4);
    for (int b = 0; b < 4; ++b) l.journal[header.size - 4 + b] = static_cast<std::uint8_t>(crc >> (24 - 8 * b));
    EXPECT_EQ(Recovered(l), 0u);
  }
  // Headers: a sequence parameter set too short for the avcC record (the records sealed anew
  // under that header), another version, a media file that is not a recording; and one whose
  // size was already patched by a close cut short.
  auto reseal = [&](const std::vector<std::uint8_t>& sps) {
    const std::uint8_t identity[kJournalIdentitySize] = {7};
    const ByteBuffer newHeader = BuildJournalHeader(identity, sps, header.pps);
    JournalHeader parsed;
    EXPECT_TRUE(ParseJournalHeader(newHeader.data(), newHeader.size(), parsed));
    Leftover l = whole;
    l.journal.assign(newHeader.begin(), newHeader.end());
    for (std::uint32_t i = 0; i < 12; ++i) {
      std::uint8_t bytes[kJournalRecordSize];
      BuildJournalRecord(parsed.seed, i, record(whole, i), bytes);
      l.journal.insert(l.journal.end(), bytes, bytes + sizeof bytes);
    }
    return Recovered(l);
  };
  EXPECT_EQ(reseal(header.sps), 12u);
  EXPECT_EQ(reseal({0x67, 0x4D, 0x40}), 0u);
  {
    Leftover l = whole;
    l.journal[7] = 2;
    EXPECT_EQ(Recovered(l), 0u);
    l = whole;
    l.media[8] = 'X';
    EXPECT_EQ(Recovered(l), 0u);
    l = whole;
    l.media[35] = 0x99;
    EXPECT_EQ(Recovered(l), 12u);
  }
}

// A recording that a running recorder (another process; here, handles of this one) holds is
// neither taken over nor deleted, nor is its journal; once the holder has gone it is recovered.
TEST_F(RecoveryTest, HeldLeftoversStay) {
  const std::vector<EncodedSample> samples = Mixed(9);
  const Leftover whole = RecordLeftovers(samples).back();
  Place(whole);
  platform::FileHandle media = platform::kInvalidFile, journal = platform::kInvalidFile;
  ASSERT_EQ(platform::OpenFileExclusive(SystemPath(folder / kMedia), media), platform::ExclusiveOpen::Opened);
  ASSERT_EQ(platform::OpenFileExclusive(SystemPath(folder / kJournal), journal), platform::ExclusiveOpen::Opened);
  Start();
  EXPECT_EQ(Files(), (std::vector<std::string>{kJournal, kMedia}));
  // Only the journal held: a recorder between closing its file and moving it to its final name.
  platform::CloseFile(media);
  Start();
  EXPECT_EQ(Files(), (std::vector<std::string>{kJournal, kMedia}));
  ASSERT_EQ(platform::OpenFileExclusive(SystemPath(folder / kMedia), media), platform::ExclusiveOpen::Opened);
  // The file held by a reader that shares nothing, its journal free: the journal is kept for it.
  platform::CloseFile(journal);
  Start();
  EXPECT_EQ(Files(), (std::vector<std::string>{kJournal, kMedia}));
  EXPECT_TRUE(RecoveryLines().empty());
  platform::CloseFile(media);
  EXPECT_EQ(ReadFileBytes(folder / kMedia), whole.media);
  EXPECT_EQ(ReadFileBytes(folder / kJournal), whole.journal);
  const Bytes recovered = StartAndTake();
  EXPECT_TRUE(recovered == CleanClose(samples, samples.size()));
  EXPECT_EQ(RecoveryLines(), (std::vector<std::string>{"recovered " + kFinal + ": 9 frames"}));
}

// The recorder's own files while it records, seen from a start on the same folder.
TEST_F(RecoveryTest, RecordingInProgressIsLeftAlone) {
  RunRecordingControl(1);
  Append(Sequence(6));
  const Bytes media = ReadFileBytes(folder / kMedia), journal = ReadFileBytes(folder / kJournal);
  Start();
  EXPECT_EQ(ReadFileBytes(folder / kMedia), media);
  EXPECT_EQ(ReadFileBytes(folder / kJournal), journal);
  EXPECT_TRUE(RecoveryLines().empty());
  Append(Sequence(4, 30, 2000000));
  RunRecordingControl(0);
  EXPECT_EQ(mp4read::ReadFile(ReadFileBytes(folder / kFinal)).movie.stsz.size(), 10u);
}

// What cannot be rebuilt goes as it always did, with a line for each recording; nothing else in
// the folder is touched.
TEST_F(RecoveryTest, LeftoversThatCannotBeRebuiltGo) {
  const Leftover whole = RecordLeftovers(Mixed(5)).back();
  WriteBytes(folder / "rec_20250101_000000.mp4.tmp", whole.media);               // no journal
  WriteBytes(folder / "rec_20250101_000001.journal.mp4.tmp", whole.journal);     // no recording
  WriteBytes(folder / "rec_notes.mp4.tmp", whole.media);                         // not a name of ours
  WriteBytes(folder / "rec_notes.journal.mp4.tmp", whole.journal);
  WriteBytes(folder / "rec_20250101_000002.mp4.tmp", {});                         // killed as it opened
  WriteBytes(folder / "rec_20250101_000002.journal.mp4.tmp", {});
  for (const char* keep : {"rec_x.mp4", "clip_x.mp4", "rec_20250101_000000.mp4.tmp.old", "notes.txt"}) {
    WriteBytes(folder / keep, {1, 2, 3});
  }
  Start();
  EXPECT_EQ(Files(), (std::vector<std::string>{"clip_x.mp4", "notes.txt", "rec_20250101_000000.mp4.tmp.old", "rec_x.mp4"}));
  std::vector<std::string> lines = RecoveryLines();
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"could not recover rec_20250101_000000.mp4.tmp",
                                             "could not recover rec_20250101_000002.mp4.tmp",
                                             "could not recover rec_notes.mp4.tmp"}));
}

// A leftover name that shares its file with another name is not rebuilt through it: the kept file
// whose temporary name a close on Windows could not take away before a kill (the final name is a
// second link until then), or a file outside the folder. The other name keeps its bytes, and no
// second copy of a kept recording appears.
TEST_F(RecoveryTest, LeftoverNameSharedWithAnotherFileIsNotRebuilt) {
  const std::vector<EncodedSample> samples = Mixed(6);
  const Leftover whole = RecordLeftovers(samples).back();
  const Bytes clean = CleanClose(samples, samples.size());
  WriteBytes(folder / kFinal, clean);
  fs::create_hard_link(folder / kFinal, folder / kMedia);
  WriteBytes(folder / kJournal, whole.journal);
  Start();
  EXPECT_EQ(Files(), (std::vector<std::string>{kFinal}));
  EXPECT_TRUE(ReadFileBytes(folder / kFinal) == clean);

  const fs::path outside = folder.path().parent_path() / (folder.path().filename().string() + ".outside");
  WriteBytes(outside, whole.media);
  fs::create_hard_link(outside, folder / "rec_20250314_211503.mp4.tmp");
  WriteBytes(folder / "rec_20250314_211503.journal.mp4.tmp", whole.journal);
  Start();
  EXPECT_EQ(Files(), (std::vector<std::string>{kFinal}));
  EXPECT_TRUE(ReadFileBytes(outside) == whole.media);
  fs::remove(outside);
}

// A recovered file never replaces a kept one, and the recording budget holds afterwards.
TEST_F(RecoveryTest, FinalNameTakenAndFolderBudget) {
  const std::vector<EncodedSample> samples = Mixed(6);
  const Leftover whole = RecordLeftovers(samples).back();
  const Bytes clean = CleanClose(samples, samples.size());
  const Bytes kept = {9, 9, 9};
  WriteBytes(folder / kFinal, kept);
  MakeSparseFile(folder / "rec_20000101_000000.mp4", 12ull << 30, 48);
  MakeSparseFile(folder / "rec_20000102_000000.mp4", 8ull << 30, 24);
  Place(whole);
  Start();
  EXPECT_EQ(ReadFileBytes(folder / kFinal), kept);
  EXPECT_TRUE(ReadFileBytes(folder / "rec_20250314_211502_2.mp4") == clean);
  EXPECT_FALSE(fs::exists(folder / "rec_20000101_000000.mp4"));  // the oldest, over 20 GiB in all
  EXPECT_TRUE(fs::exists(folder / "rec_20000102_000000.mp4"));
  const auto messages = log.Messages();
  EXPECT_NE(std::find(messages.begin(), messages.end(), "recovered rec_20250314_211502_2.mp4: 6 frames"), messages.end());
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "removed an old file to stay under the folder limit"), 1);
}

// The start hands the work to a thread of its own, counted while it runs.
TEST_F(RecoveryTest, RecoveryRunsOnAThreadOfItsOwn) {
  const std::vector<EncodedSample> samples = Mixed(7);
  const Leftover whole = RecordLeftovers(samples).back();
  const Bytes clean = CleanClose(samples, samples.size());
  Place(whole);
  LeftoverRecordings leftovers = TakeLeftoverRecordings(RemoveLeftoverTempFiles);
  ASSERT_EQ(leftovers.files.size(), 1u);
  EXPECT_EQ(Files(), (std::vector<std::string>{kJournal, kMedia}));  // spared by the clean-up
  StartRecoveringLeftoverRecordings(std::move(leftovers));
  for (int i = 0; i < 1000 && platform::AtomicLoad(processState.runningRecoveries) > 0; ++i) {
    platform::SleepMilliseconds(10);
  }
  ASSERT_EQ(platform::AtomicLoad(processState.runningRecoveries), 0);
  EXPECT_EQ(Files(), (std::vector<std::string>{kFinal}));
  EXPECT_TRUE(ReadFileBytes(folder / kFinal) == clean);
}

// A leftover is rebuilt at the picture size it was recorded at, whatever the size of the stream
// the recovering run has: a 1920x1080 recording recovered by a run of the seed's stream, and a
// 1280x720 one (a version 1 journal) by a run of 2560x1440.
TEST_F(RecoveryTest, RebuiltAtTheSizeItWasRecordedAt) {
  const std::vector<EncodedSample> samples = Mixed(14);
  processState.stream.width = 1920;
  processState.stream.height = 1080;
  const std::vector<Leftover> leftovers = RecordLeftovers(samples);
  const Bytes clean = CleanClose(samples, samples.size());
  ASSERT_EQ(mp4read::ReadFile(clean).movie.width, 1920);
  JournalHeader header;
  ASSERT_TRUE(ParseJournalHeader(leftovers.back().journal.data(), leftovers.back().journal.size(), header));
  EXPECT_TRUE(header.picture == (PictureSize{1920, 1080}));

  processState.stream = stream::SeedStreamFormat();
  Place(leftovers.back());
  const Bytes recovered = StartAndTake();
  EXPECT_TRUE(recovered == clean);
  const mp4read::File f = mp4read::ReadFile(recovered);
  EXPECT_EQ(f.movie.trackWidth, 1920u << 16);
  EXPECT_EQ(f.movie.trackHeight, 1080u << 16);
  EXPECT_EQ(f.movie.width, 1920);
  EXPECT_EQ(f.movie.height, 1080);
  // Cut in its middle, it is still rebuilt at its own size.
  const Bytes cleanNine = CleanCloseAt(samples, 9, 1920, 1080);
  processState.stream = stream::SeedStreamFormat();
  Place(leftovers[9]);
  EXPECT_TRUE(StartAndTake() == cleanNine);

  const std::vector<Leftover> seedLeftovers = RecordLeftovers(samples);
  const Bytes seedClean = CleanClose(samples, samples.size());
  processState.stream.width = 2560;
  processState.stream.height = 1440;
  Place(seedLeftovers.back());
  const Bytes seedRecovered = StartAndTake();
  EXPECT_TRUE(seedRecovered == seedClean);
  EXPECT_EQ(mp4read::ReadFile(seedRecovered).movie.width, 1280);
  EXPECT_EQ(RecoveryLines(), (std::vector<std::string>{"recovered " + kFinal + ": 14 frames",
                                                       "recovered " + kFinal + ": 9 frames",
                                                       "recovered " + kFinal + ": 14 frames"}));
}

// A version 2 header whose picture size no stream can have (0, odd, beyond the limits) is no
// journal of vistrel's even with its CRC right: nothing is rebuilt from it. The sizes at the
// limits are. A header cut anywhere is refused without a read past its end.
TEST_F(RecoveryTest, PictureSizesNoStreamHasAreNotRecovered) {
  const std::vector<EncodedSample> samples = Mixed(8);
  const Leftover whole = RecordLeftovers(samples).back();
  JournalHeader header;
  ASSERT_TRUE(ParseJournalHeader(whole.journal.data(), whole.journal.size(), header));
  auto recoveredWith = [&](PictureSize picture) {
    const std::uint8_t identity[kJournalIdentitySize] = {9};
    const ByteBuffer newHeader = BuildJournalHeader(identity, header.sps, header.pps, picture);
    const std::uint32_t seed = Crc32(newHeader.data(), newHeader.size() - 4);
    Leftover l = whole;
    l.journal.assign(newHeader.begin(), newHeader.end());
    for (std::uint32_t i = 0; i < samples.size(); ++i) {
      JournalSample s;
      EXPECT_TRUE(ParseJournalRecord(header.seed, i, whole.journal.data() + header.size + i * kJournalRecordSize, s));
      std::uint8_t bytes[kJournalRecordSize];
      BuildJournalRecord(seed, i, s, bytes);
      l.journal.insert(l.journal.end(), bytes, bytes + sizeof bytes);
    }
    RecoveredRecording r;
    const bool ok = ReadLeftoverRecording(Memory(l.journal), Memory(l.media), r);
    EXPECT_EQ(ok, JournalPictureSizeValid(picture));
    if (ok) {
      EXPECT_TRUE(r.picture == picture);
    }
    return ok ? r.table.times.size() : 0;
  };
  for (const PictureSize bad : {PictureSize{0, 0}, PictureSize{0, 720}, PictureSize{1280, 0}, PictureSize{1921, 1080},
                                PictureSize{1920, 1081}, PictureSize{318, 180}, PictureSize{320, 178},
                                PictureSize{3842, 2160}, PictureSize{3840, 2162}, PictureSize{65536, 720},
                                PictureSize{0xFFFFFFFEu, 0xFFFFFFFEu}}) {
    EXPECT_EQ(recoveredWith(bad), 0u) << bad.width << "x" << bad.height;
  }
  for (const PictureSize good : {PictureSize{320, 180}, PictureSize{3840, 2160}, PictureSize{1920, 1080},
                                 PictureSize{2560, 1440}, PictureSize{1282, 182}}) {
    EXPECT_EQ(recoveredWith(good), samples.size()) << good.width << "x" << good.height;
  }
  const std::uint8_t identity[kJournalIdentitySize] = {};
  const ByteBuffer sized = BuildJournalHeader(identity, header.sps, header.pps, PictureSize{1920, 1080});
  for (std::size_t cut = 0; cut < sized.size(); ++cut) {
    const Bytes part(sized.begin(), sized.begin() + static_cast<std::ptrdiff_t>(cut));
    JournalHeader parsed;
    EXPECT_FALSE(ParseJournalHeader(part.data(), part.size(), parsed)) << cut;
  }
  JournalHeader parsed;
  ASSERT_TRUE(ParseJournalHeader(sized.data(), sized.size(), parsed));
  EXPECT_EQ(parsed.size, sized.size());
  EXPECT_EQ(parsed.sps, header.sps);
  EXPECT_EQ(parsed.pps, header.pps);
}

// ---- Recordings with sound ----

// Frame 5 of this run begins one frame before the first picture (time 0).
constexpr std::int64_t kRunStart = -1279999;

struct RecoveredCounts {
  std::size_t pictures = 0, frames = 0;
  bool operator==(const RecoveredCounts&) const = default;
};
std::ostream& operator<<(std::ostream& out, const RecoveredCounts& c) {
  return out << c.pictures << " pictures, " << c.frames << " frames";
}

RecoveredCounts RecoveredBoth(const Leftover& l) {
  RecoveredRecording r;
  if (!ReadLeftoverRecording(Memory(l.journal), Memory(l.media), r)) return {};
  return {r.table.times.size(), r.audioSizes.size()};
}

class SoundRecoveryTest : public RecoveryTest {
 protected:
  SoundRecoveryTest() { audioStream.audioSpecificConfig = Config(); }

  // 2.5 s of pictures, and sound up to 2 s: all of it written in the chunk before the picture at
  // 2 s, so that a kill after the last picture leaves what a clean close writes.
  const std::vector<EncodedSample> samples = Mixed(75);
  const std::vector<EncodedAudio> frames = AudioRun(kRunStart, 0, 100);

  Leftover RecordSoundLeftover() {
    sampleHistory.audio.clear();
    RunRecordingControl(1);
    Interleave(samples, frames);
    Leftover l{ReadFileBytes(folder / kMedia), ReadFileBytes(folder / kJournal)};
    {
      platform::LockHolder hold(processState.recordingLock);
      platform::CloseFile(recordingFile.handle);
      platform::CloseFile(recordingFile.journal.handle);
      recordingFile = RecordingFile{};
    }
    RunRecordingControl(0);
    fs::remove(folder / kMedia);
    fs::remove(folder / kJournal);
    return l;
  }

  Bytes CleanCloseWithSound() {
    sampleHistory.audio.clear();
    RunRecordingControl(1);
    Interleave(samples, frames);
    RunRecordingControl(0);
    Bytes bytes = ReadFileBytes(folder / kFinal);
    fs::remove(folder / kFinal);
    return bytes;
  }

  // The records of a journal with sound, in order.
  static std::vector<JournalSample> Records(const Leftover& l, JournalHeader& header) {
    std::vector<JournalSample> out;
    EXPECT_TRUE(ParseJournalHeader(l.journal.data(), l.journal.size(), header));
    for (std::size_t i = 0; header.size + (i + 1) * kJournalRecordSize <= l.journal.size(); ++i) {
      JournalSample s;
      EXPECT_TRUE(ParseJournalRecord(header.seed, static_cast<std::uint32_t>(i),
                                     l.journal.data() + header.size + i * kJournalRecordSize, s, true));
      out.push_back(s);
    }
    return out;
  }
};

// The journal of a recording with sound: a version 3 header with the configuration after the
// parameter sets, and the frames' records (flag bit 1, one AAC frame long) among the pictures' in
// the order of their bytes in the media data.
TEST_F(SoundRecoveryTest, JournalHoldsTheSoundInMediaOrder) {
  const Leftover l = RecordSoundLeftover();
  EXPECT_EQ(HexText(ByteBuffer(l.journal.begin(), l.journal.begin() + 8)), HexText(Hex("'VRJL' 00 00 00 03")));
  EXPECT_EQ(HexText(ByteBuffer(l.journal.begin() + 24, l.journal.begin() + 38)),
            HexText(Hex("00 00 05 00 00 00 02 D0 00 04 00 04 00 02")));
  EXPECT_EQ(HexText(ByteBuffer(l.journal.begin() + 38, l.journal.begin() + 48)),
            HexText(Hex("67 4D 40 1F 68 EE 3C 80 11 90")));
  JournalHeader header;
  const std::vector<JournalSample> records = Records(l, header);
  EXPECT_EQ(header.audioSpecificConfig, Config());
  EXPECT_EQ(header.size, 52u);
  ASSERT_EQ(records.size(), 75u + 95u);  // frames 5..99
  std::uint64_t at = 40;
  std::size_t picture = 0, frame = 5;
  std::vector<std::size_t> runs;  // lengths of the runs of one track's records
  for (std::size_t i = 0; i < records.size(); ++i) {
    const JournalSample& r = records[i];
    if (i == 0 || records[i - 1].audio != r.audio) runs.push_back(0);
    ++runs.back();
    if (r.audio) {
      EXPECT_EQ(r.time, frames[frame].time);
      EXPECT_EQ(r.duration, kAacFrameUnits);
      EXPECT_FALSE(r.keyframe);
      EXPECT_EQ(r.size, frames[frame].data->size());
      EXPECT_EQ(r.checksum, Crc32(frames[frame].data->data(), frames[frame].data->size()));
      ++frame;
    } else {
      EXPECT_EQ(r.time, samples[picture++].time);
    }
    EXPECT_EQ(r.checksum, Crc32(l.media.data() + at, r.size)) << i;
    at += r.size;
  }
  EXPECT_EQ(at, l.media.size());
  // Pictures of the first second, the frames before 1 s, the next second's, the rest of the sound,
  // the last pictures.
  EXPECT_EQ(runs, (std::vector<std::size_t>{30, 48, 30, 47, 15}));
}

// The version 3 header read back, and refused when cut anywhere, damaged, or with a configuration
// of 0 or over 64 bytes even when its CRC is right; records of sound refused in a journal without
// sound, marked keyframes, or not one frame long.
TEST_F(SoundRecoveryTest, JournalOfVersionThreeReadBackAndRefused) {
  const std::uint8_t identity[kJournalIdentitySize] = {1, 2, 3};
  const std::vector<std::uint8_t> config = {0x12, 0x10, 0x56, 0xE5, 0x00};
  const ByteBuffer h = BuildJournalHeader(identity, kSps, kPps, PictureSize{1920, 1080}, config);
  JournalHeader parsed;
  ASSERT_TRUE(ParseJournalHeader(h.data(), h.size(), parsed));
  EXPECT_EQ(parsed.size, h.size());
  EXPECT_EQ(parsed.size, 38 + 4 + 4 + 5 + 4u);
  EXPECT_EQ(parsed.sps, kSps);
  EXPECT_EQ(parsed.pps, kPps);
  EXPECT_EQ(parsed.audioSpecificConfig, config);
  EXPECT_TRUE(parsed.picture == (PictureSize{1920, 1080}));
  EXPECT_EQ(parsed.seed, Crc32(h.data(), h.size() - 4));
  // The seed's picture size with sound is version 3 too; without sound, the header of before.
  const ByteBuffer seedSized = BuildJournalHeader(identity, kSps, kPps, PictureSize{}, config);
  ASSERT_TRUE(ParseJournalHeader(seedSized.data(), seedSized.size(), parsed));
  EXPECT_EQ(seedSized[7], 3);
  EXPECT_TRUE(parsed.picture == PictureSize{});
  const ByteBuffer without = BuildJournalHeader(identity, kSps, kPps, PictureSize{1920, 1080});
  ASSERT_TRUE(ParseJournalHeader(without.data(), without.size(), parsed));
  EXPECT_EQ(without[7], 2);
  EXPECT_TRUE(parsed.audioSpecificConfig.empty());

  for (std::size_t cut = 0; cut < h.size(); ++cut) EXPECT_FALSE(ParseJournalHeader(h.data(), cut, parsed)) << cut;
  for (std::size_t i = 0; i < h.size(); ++i) {
    ByteBuffer damaged = h;
    damaged[i] ^= 0x04;
    EXPECT_FALSE(ParseJournalHeader(damaged.data(), damaged.size(), parsed)) << i;
  }
  // Configuration lengths out of bounds, sealed with a right CRC.
  auto sealedWithLength = [&](std::uint16_t length, std::size_t bytes) {
    ByteBuffer forged(h.begin(), h.begin() + 36);
    AppendU16(forged, length);
    AppendBytes(forged, kSps);
    AppendBytes(forged, kPps);
    forged.insert(forged.end(), bytes, 0x12);
    AppendU32(forged, Crc32(forged.data(), forged.size()));
    return ParseJournalHeader(forged.data(), forged.size(), parsed);
  };
  EXPECT_TRUE(sealedWithLength(64, 64));
  EXPECT_FALSE(sealedWithLength(0, 0));
  EXPECT_FALSE(sealedWithLength(65, 65));
  EXPECT_FALSE(sealedWithLength(0xFFFF, 200));

  JournalSample frame;
  frame.time = -213333;
  frame.duration = kAacFrameUnits;
  frame.size = 371;
  frame.checksum = 0xDEADBEEF;
  frame.audio = true;
  std::uint8_t record[kJournalRecordSize];
  BuildJournalRecord(parsed.seed, 7, frame, record);
  JournalSample back;
  ASSERT_TRUE(ParseJournalRecord(parsed.seed, 7, record, back, true));
  EXPECT_TRUE(back.audio && !back.keyframe && back.time == -213333 && back.size == 371 && back.checksum == 0xDEADBEEF);
  EXPECT_FALSE(ParseJournalRecord(parsed.seed, 7, record, back, false));  // no sound in this journal
  frame.keyframe = true;
  BuildJournalRecord(parsed.seed, 7, frame, record);
  EXPECT_FALSE(ParseJournalRecord(parsed.seed, 7, record, back, true));
  frame.keyframe = false;
  frame.duration = kAacFrameUnits + 1;
  BuildJournalRecord(parsed.seed, 7, frame, record);
  EXPECT_FALSE(ParseJournalRecord(parsed.seed, 7, record, back, true));
}

// A kill after the last picture: the leftover with sound becomes exactly the clean close's file.
// Its journal cut after any record still gives a whole file of the records before the cut: the
// frames after the last picture only when they are two or more.
TEST_F(SoundRecoveryTest, RecoveredFileWithSoundIsTheCleanClose) {
  const Leftover whole = RecordSoundLeftover();
  const Bytes clean = CleanCloseWithSound();
  ASSERT_TRUE(mp4read::ReadFile(clean).movie.sound.present);
  Place(whole);
  EXPECT_TRUE(StartAndTake() == clean);
  EXPECT_EQ(RecoveryLines(), (std::vector<std::string>{"recovered " + kFinal + ": 75 frames"}));

  JournalHeader header;
  const std::vector<JournalSample> records = Records(whole, header);
  for (std::size_t k = 1; k <= records.size(); ++k) {
    RecoveredCounts expected;
    for (std::size_t i = 0; i < k; ++i) ++(records[i].audio ? expected.frames : expected.pictures);
    if (expected.frames == 1 && records[k - 1].audio) expected.frames = 0;
    const Leftover cut{whole.media, Bytes(whole.journal.begin(),
                                          whole.journal.begin() + static_cast<std::ptrdiff_t>(header.size + k * kJournalRecordSize))};
    EXPECT_EQ(RecoveredBoth(cut), expected) << k << " records";
    Place(cut);
    const Bytes recovered = StartAndTake();
    const mp4read::File f = mp4read::ReadFile(recovered);
    EXPECT_EQ(f.movie.stsz.size(), expected.pictures);
    EXPECT_EQ(f.movie.sound.stsz.size(), expected.frames < 2 ? 0 : expected.frames);
    std::uint64_t media = 0;
    for (std::size_t i = 0; i < k; ++i) media += records[i].size;
    if (expected.frames == 0 && records[k - 1].audio) media -= records[k - 1].size;
    EXPECT_EQ(f.mdatSize, 8 + media) << k << " records";
  }
}

// A damaged record or frame of sound ends the file right there, as a picture's does: bytes that do
// not match the CRC, a time that does not follow the frame before by one frame (two units either
// way are rounding), a first frame before the file's sound begins, a size of 0 or beyond the
// largest AAC frame, a frame in a journal without sound.
TEST_F(SoundRecoveryTest, DamagedSoundEndsTheFileThere) {
  const Leftover whole = RecordSoundLeftover();
  JournalHeader header;
  const std::vector<JournalSample> records = Records(whole, header);
  ASSERT_EQ(RecoveredBoth(whole), (RecoveredCounts{75, 95}));
  std::vector<std::size_t> audioIndex;
  std::vector<std::uint64_t> offsets;
  std::uint64_t at = 40;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].audio) audioIndex.push_back(i);
    offsets.push_back(at);
    at += records[i].size;
  }
  auto forge = [&](Leftover& l, std::size_t i, const JournalSample& s) {
    std::uint8_t bytes[kJournalRecordSize];
    BuildJournalRecord(header.seed, static_cast<std::uint32_t>(i), s, bytes);
    std::memcpy(l.journal.data() + header.size + i * kJournalRecordSize, bytes, sizeof bytes);
  };
  auto with = [&](std::size_t i, auto change) {
    Leftover l = whole;
    JournalSample s = records[i];
    change(s, l);
    forge(l, i, s);
    return RecoveredBoth(l);
  };
  // Frame 10 of the first chunk (record 40): 30 pictures and the 10 frames before it stay.
  const std::size_t tenth = audioIndex[10];
  ASSERT_EQ(tenth, 40u);
  const RecoveredCounts upToTenth{30, 10};
  {
    Leftover l = whole;
    l.media[offsets[tenth] + 5] ^= 0x40;
    EXPECT_EQ(RecoveredBoth(l), upToTenth);
    Place(l);
    const mp4read::File f = mp4read::ReadFile(StartAndTake());
    EXPECT_EQ(f.movie.stsz.size(), 30u);
    EXPECT_EQ(f.movie.sound.stsz.size(), 10u);
    EXPECT_EQ(f.mdatSize, 8 + offsets[tenth] - 40);
  }
  EXPECT_EQ(with(tenth, [](JournalSample&, Leftover&) {}), (RecoveredCounts{75, 95}));
  // A time off the frame's step; the rounding's two units either way are no gap.
  const std::int64_t before = records[tenth - 1].time;
  EXPECT_EQ(with(tenth, [&](JournalSample& s, Leftover&) { s.time = before + kAacFrameUnits + 3; }), upToTenth);
  EXPECT_EQ(with(tenth, [&](JournalSample& s, Leftover&) { s.time = before + kAacFrameUnits - 3; }), upToTenth);
  EXPECT_EQ(with(tenth, [&](JournalSample& s, Leftover&) { s.time = before + kAacFrameUnits + 2; }),
            (RecoveredCounts{75, 95}));
  EXPECT_EQ(with(tenth, [](JournalSample& s, Leftover&) { s.time -= kAacFrameUnits; }), upToTenth);
  // The sound two frames earlier, its first frame then too early for the file: none of the sound,
  // the pictures before it.
  {
    Leftover l = whole;
    for (std::size_t i : audioIndex) {
      JournalSample s = records[i];
      s.time -= 2 * kAacFrameUnits;
      forge(l, i, s);
    }
    EXPECT_EQ(RecoveredBoth(l), (RecoveredCounts{30, 0}));
  }
  EXPECT_EQ(with(tenth, [](JournalSample& s, Leftover&) { s.keyframe = true; }), upToTenth);
  EXPECT_EQ(with(tenth, [](JournalSample& s, Leftover&) { s.duration = 333333; }), upToTenth);
  // Sizes out of bounds, the CRCs made to match the bytes they claim.
  EXPECT_EQ(with(tenth, [&](JournalSample& s, Leftover& l) {
              s.size = 0;
              s.checksum = Crc32(l.media.data() + offsets[tenth], 0);
            }),
            upToTenth);
  EXPECT_EQ(with(tenth, [&](JournalSample& s, Leftover& l) {
              s.size = kMaxAacFrameBytes + 1;
              s.checksum = Crc32(l.media.data() + offsets[tenth], s.size);
            }),
            upToTenth);
  // A picture's record (the first of the second second, after 48 frames) turned into a frame of
  // sound, its duration made one frame's.
  ASSERT_FALSE(records[78].audio);
  EXPECT_EQ(with(78, [](JournalSample& s, Leftover&) {
              s.audio = true;
              s.keyframe = false;
              s.duration = kAacFrameUnits;
            }),
            (RecoveredCounts{30, 48}));
  // The same records under a header without sound: they end the file at the first frame.
  {
    const std::uint8_t identity[kJournalIdentitySize] = {5};
    const ByteBuffer plain = BuildJournalHeader(identity, header.sps, header.pps, header.picture);
    const std::uint32_t seed = Crc32(plain.data(), plain.size() - 4);
    Leftover l = whole;
    l.journal.assign(plain.begin(), plain.end());
    for (std::size_t i = 0; i < records.size(); ++i) {
      std::uint8_t bytes[kJournalRecordSize];
      BuildJournalRecord(seed, static_cast<std::uint32_t>(i), records[i], bytes);
      l.journal.insert(l.journal.end(), bytes, bytes + sizeof bytes);
    }
    EXPECT_EQ(RecoveredBoth(l), (RecoveredCounts{30, 0}));
  }
}

// A record of sound that cannot be written (its journal's handle gone) fails the recording as a
// full disk does: the file is closed with every sample written, the chunk just written included,
// and the next keyframe waits.
TEST_F(SoundRecoveryTest, SoundRecordWriteFailureClosesTheRecording) {
  RunRecordingControl(1);
  // Up to the last picture before 1 s: the next one first writes the frames before it.
  const std::size_t next = Interleave({samples.begin(), samples.begin() + 30}, frames);
  {
    platform::LockHolder hold(processState.recordingLock);
    platform::CloseFile(recordingFile.journal.handle);  // later writes to it fail
  }
  Interleave({samples.begin() + 30, samples.end()}, frames, next);
  EXPECT_FALSE(FileOpen());
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{"recording write failed (disk full?)", "recording file closed: ok, 30 frames"}));
  EXPECT_EQ(Files(), (std::vector<std::string>{kFinal}));
  const mp4read::File f = mp4read::ReadFile(ReadFileBytes(folder / kFinal));
  EXPECT_EQ(f.movie.stsz.size(), 30u);
  EXPECT_EQ(f.movie.sound.stsz.size(), 48u);  // frames 5..52, all before 1 s
}

}  // namespace

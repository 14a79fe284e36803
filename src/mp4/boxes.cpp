#include "mp4/boxes.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <numeric>

#include "clips/annexb.h"
#include "clips/media_time.h"

namespace {

constexpr int kNalSequenceParameterSet = 7;
constexpr int kNalPictureParameterSet = 8;
constexpr int kNalAccessUnitDelimiter = 9;

// Parameter sets travel in the avcC record and delimiters have no place in MP4 samples. An empty
// unit (two start codes back to back) would become a zero length, which strict decoders refuse.
bool KeptInMediaData(const NalUnit& unit) {
  return unit.length != 0 && unit.type != kNalSequenceParameterSet && unit.type != kNalPictureParameterSet &&
         unit.type != kNalAccessUnitDelimiter;
}

constexpr std::uint32_t kTrackId = 1;
constexpr std::uint32_t kMaxMovieSide = 65535;

}  // namespace

namespace mp4detail {

void AppendMatrix(ByteBuffer& out) {
  // Identity: a, b, u, c, d, v, x, y, w with a = d = 1.0 (16.16) and w = 1.0 (2.30).
  const std::uint32_t matrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
  for (std::uint32_t v : matrix) AppendU32(out, v);
}

ByteBuffer MovieHeader(std::uint32_t duration, std::uint32_t nextTrackId) {
  ByteBuffer b;
  b.reserve(100);
  AppendU32(b, 0);                // version 0, flags 0
  AppendU32(b, 0);                // creation time
  AppendU32(b, 0);                // modification time
  AppendU32(b, kMovieTimeScale);  // time scale
  AppendU32(b, duration);         // duration
  AppendU32(b, 0x00010000);       // rate 1.0
  AppendU16(b, 0x0100);           // volume 1.0
  AppendZeros(b, 10);             // reserved
  AppendMatrix(b);
  AppendZeros(b, 24);             // pre-defined
  AppendU32(b, nextTrackId);      // next track ID
  return b;
}

ByteBuffer DataInformation() {
  ByteBuffer url;
  AppendU32(url, 0x00000001);  // version 0, flags 1: media in this file
  ByteBuffer dref;
  AppendU32(dref, 0);  // version 0, flags 0
  AppendU32(dref, 1);  // entry count
  AppendBox(dref, "url ", url);
  ByteBuffer dinf;
  AppendBox(dinf, "dref", dref);
  return dinf;
}

ByteBuffer SampleToChunk(const std::vector<std::uint32_t>& samplesPerChunk) {
  ByteBuffer runs;
  std::uint32_t entries = 0;
  for (std::size_t c = 0; c < samplesPerChunk.size(); ++c) {
    if (c > 0 && samplesPerChunk[c] == samplesPerChunk[c - 1]) continue;  // the run goes on
    AppendU32(runs, static_cast<std::uint32_t>(c + 1));  // first chunk
    AppendU32(runs, samplesPerChunk[c]);                 // samples per chunk
    AppendU32(runs, 1);                                  // sample description index
    ++entries;
  }
  ByteBuffer stsc;
  AppendU32(stsc, 0);  // version 0, flags 0
  AppendU32(stsc, entries);
  AppendBytes(stsc, runs);
  return stsc;
}

ByteBuffer ChunkOffsets(const std::vector<std::uint32_t>& offsets) {
  ByteBuffer stco;
  stco.reserve(8 + 4 * offsets.size());
  AppendU32(stco, 0);  // version 0, flags 0
  AppendU32(stco, static_cast<std::uint32_t>(offsets.size()));
  for (std::uint32_t offset : offsets) AppendU32(stco, offset);
  return stco;
}

// "mdhd": the track's time scale and duration, language "und".
ByteBuffer MediaHeader(std::uint32_t timeScale, std::uint32_t duration) {
  ByteBuffer b;
  AppendU32(b, 0);          // version 0, flags 0
  AppendU32(b, 0);          // creation time
  AppendU32(b, 0);          // modification time
  AppendU32(b, timeScale);  // time scale
  AppendU32(b, duration);   // duration
  AppendU8(b, 0x55);        // language "und", packed 5-bit letters
  AppendU8(b, 0xC4);
  AppendU16(b, 0);          // pre-defined
  return b;
}

// "hdlr": the handler type and its name (written with its zero byte).
ByteBuffer HandlerReference(const char (&type)[5], const char* name) {
  ByteBuffer b;
  AppendU32(b, 0);         // version 0, flags 0
  AppendU32(b, 0);         // pre-defined
  AppendFourCC(b, type);   // handler type
  AppendZeros(b, 12);      // reserved
  AppendBytes(b, reinterpret_cast<const std::uint8_t*>(name), std::strlen(name) + 1);
  return b;
}

}  // namespace mp4detail

namespace {

using mp4detail::AppendMatrix;

ByteBuffer TrackHeader(std::uint32_t duration, PictureSize picture) {
  ByteBuffer b;
  b.reserve(84);
  AppendU32(b, 0x00000003);  // version 0, flags: enabled, in movie
  AppendU32(b, 0);           // creation time
  AppendU32(b, 0);           // modification time
  AppendU32(b, kTrackId);    // track ID
  AppendU32(b, 0);           // reserved
  AppendU32(b, duration);    // duration, movie time scale
  AppendZeros(b, 8);         // reserved
  AppendU16(b, 0);           // layer
  AppendU16(b, 0);           // alternate group
  AppendU16(b, 0);           // volume
  AppendU16(b, 0);           // reserved
  AppendMatrix(b);
  AppendU32(b, picture.width << 16);   // width, 16.16
  AppendU32(b, picture.height << 16);  // height, 16.16
  return b;
}

ByteBuffer VideoMediaHeader() {
  ByteBuffer b;
  AppendU32(b, 0x00000001);  // version 0, flags 1
  AppendU16(b, 0);           // graphics mode: copy
  AppendZeros(b, 6);         // opcolor
  return b;
}

ByteBuffer SampleDescription(const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                             PictureSize picture) {
  ByteBuffer avcC;
  AppendU8(avcC, 1);       // configuration version
  AppendU8(avcC, sps[1]);  // profile indication
  AppendU8(avcC, sps[2]);  // profile compatibility
  AppendU8(avcC, sps[3]);  // level indication
  AppendU8(avcC, 0xFF);    // reserved bits, length size minus one = 3
  AppendU8(avcC, 0xE1);    // reserved bits, one sequence parameter set
  AppendU16(avcC, static_cast<std::uint16_t>(sps.size()));
  AppendBytes(avcC, sps);
  AppendU8(avcC, 1);  // one picture parameter set
  AppendU16(avcC, static_cast<std::uint16_t>(pps.size()));
  AppendBytes(avcC, pps);

  ByteBuffer avc1;
  AppendZeros(avc1, 6);        // reserved
  AppendU16(avc1, 1);          // data reference index
  AppendZeros(avc1, 16);       // pre-defined and reserved
  AppendU16(avc1, static_cast<std::uint16_t>(picture.width));   // width
  AppendU16(avc1, static_cast<std::uint16_t>(picture.height));  // height
  AppendU32(avc1, 0x00480000);  // horizontal resolution, 72 dpi
  AppendU32(avc1, 0x00480000);  // vertical resolution, 72 dpi
  AppendU32(avc1, 0);          // reserved
  AppendU16(avc1, 1);          // frame count
  AppendZeros(avc1, 32);       // compressor name, empty
  AppendU16(avc1, 0x0018);     // depth
  AppendU16(avc1, 0xFFFF);     // pre-defined
  AppendBox(avc1, "avcC", avcC);

  ByteBuffer stsd;
  AppendU32(stsd, 0);  // version 0, flags 0
  AppendU32(stsd, 1);  // entry count
  AppendBox(stsd, "avc1", avc1);
  return stsd;
}

// Presentation values in ticks, relative to the first sample in file order. Times that differ get
// ticks that differ: two times less than a tick (11.1 us) apart would share one, and two frames a
// decode time. That happens when the main loop spaces frames whose host stamps are equal by a
// single 100-ns unit (a host clock coarser than its frame rate); such a time takes the tick after
// the one before it in time order instead. Equal times keep equal ticks, and times a tick or more
// apart (every frame at up to 240 frames a second) keep their own.
std::vector<std::int64_t> PresentationTicks(const std::vector<std::int64_t>& times) {
  const std::size_t n = times.size();
  std::vector<std::int64_t> relative(n), ticks(n);
  for (std::size_t i = 0; i < n; ++i) {
    relative[i] = MediaTimeDifference(times[i], times[0]);
    ticks[i] = MovieTicksFromMediaTime(relative[i]);
  }
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  if (!std::is_sorted(relative.begin(), relative.end())) {
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return relative[a] < relative[b]; });
  }
  for (std::size_t k = 1; k < n; ++k) {
    const std::size_t i = order[k], before = order[k - 1];
    if (relative[i] == relative[before]) {
      ticks[i] = ticks[before];
    } else if (ticks[i] <= ticks[before]) {
      ticks[i] = ticks[before] + 1;
    }
  }
  return ticks;
}

}  // namespace

PictureSize MoviePictureSize(PictureSize picture) {
  return PictureSize{std::clamp<std::uint32_t>(picture.width, 1, kMaxMovieSide),
                     std::clamp<std::uint32_t>(picture.height, 1, kMaxMovieSide)};
}

ByteBuffer BuildFileTypeBox() {
  ByteBuffer payload;
  AppendFourCC(payload, "isom");  // major brand
  AppendU32(payload, 0x00000200);  // minor version
  AppendFourCC(payload, "isom");  // compatible brands
  AppendFourCC(payload, "iso2");
  AppendFourCC(payload, "avc1");
  AppendFourCC(payload, "mp41");
  ByteBuffer box;
  AppendBox(box, "ftyp", payload);
  return box;
}

void ConvertAccessUnit(ByteBuffer& out, const std::uint8_t* bytes, std::size_t size) {
  ScanAnnexB(bytes, size, [&](const NalUnit& unit) {
    if (!KeptInMediaData(unit)) return;
    AppendU32(out, static_cast<std::uint32_t>(unit.length));
    AppendBytes(out, bytes + unit.start, unit.length);
  });
}

std::uint64_t ConvertedSize(const std::uint8_t* bytes, std::size_t size) {
  std::uint64_t total = 0;
  ScanAnnexB(bytes, size, [&](const NalUnit& unit) {
    if (KeptInMediaData(unit)) total += unit.length + 4;
  });
  return total;
}

mp4detail::VideoTrak mp4detail::BuildVideoTrak(const SampleTable& table, std::int64_t lastDuration,
                                                const std::vector<std::uint8_t>& sps,
                                                const std::vector<std::uint8_t>& pps, PictureSize picture,
                                                const TrackChunks& chunks) {
  assert(sps.size() >= 4);
  picture = MoviePictureSize(picture);
  assert(table.keyframes.size() == table.times.size() && table.sizes.size() == table.times.size());
  const std::size_t n = table.times.size();

  // Presentation values relative to the first sample in file order; decode values are the same
  // values in ascending order, assigned to the samples as they stand in the file.
  const std::vector<std::int64_t> presentation = PresentationTicks(table.times);
  std::vector<std::int64_t> decode = presentation;
  std::sort(decode.begin(), decode.end());
  std::int64_t shift = 0;
  bool reordered = false;
  for (std::size_t i = 0; i < n; ++i) {
    shift = std::max(shift, decode[i] - presentation[i]);
    if (decode[i] != presentation[i]) reordered = true;
  }
  // A positive duration shorter than a tick still lasts one: a last sample of no duration would
  // not be shown at all.
  std::uint32_t lastDelta = static_cast<std::uint32_t>(MovieTicksFromMediaTime(lastDuration));
  if (lastDuration > 0 && lastDelta == 0) lastDelta = 1;
  const auto duration =
      static_cast<std::uint32_t>((n == 0 ? 0 : static_cast<std::uint64_t>(decode[n - 1])) + lastDelta);

  auto deltaOf = [&](std::size_t i) -> std::uint32_t {
    if (i + 1 == n) return lastDelta;
    return static_cast<std::uint32_t>(decode[i + 1]) - static_cast<std::uint32_t>(decode[i]);
  };

  ByteBuffer stts;
  std::uint32_t sttsEntries = 0;
  ByteBuffer runs;
  for (std::size_t j = 0; j < n;) {
    const std::uint32_t delta = deltaOf(j);
    std::size_t k = j + 1;
    while (k < n && deltaOf(k) == delta) ++k;
    AppendU32(runs, static_cast<std::uint32_t>(k - j));  // sample count
    AppendU32(runs, delta);                                // sample delta
    ++sttsEntries;
    j = k;
  }
  AppendU32(stts, 0);  // version 0, flags 0
  AppendU32(stts, sttsEntries);
  AppendBytes(stts, runs);

  ByteBuffer stss;
  std::uint32_t keyframeCount = 0;
  for (std::uint8_t k : table.keyframes) keyframeCount += k != 0;
  AppendU32(stss, 0);  // version 0, flags 0
  AppendU32(stss, keyframeCount);
  for (std::size_t i = 0; i < n; ++i) {
    if (table.keyframes[i] != 0) AppendU32(stss, static_cast<std::uint32_t>(i + 1));
  }

  ByteBuffer stsz;
  stsz.reserve(12 + 4 * n);
  AppendU32(stsz, 0);                              // version 0, flags 0
  AppendU32(stsz, 0);                              // sample size: sizes vary
  AppendU32(stsz, static_cast<std::uint32_t>(n));  // sample count
  for (std::uint32_t size : table.sizes) AppendU32(stsz, size);

  ByteBuffer stbl;
  AppendBox(stbl, "stsd", SampleDescription(sps, pps, picture));
  AppendBox(stbl, "stts", stts);
  AppendBox(stbl, "stss", stss);
  if (reordered) {
    ByteBuffer ctts;
    ctts.reserve(8 + 8 * n);
    AppendU32(ctts, 0);  // version 0, flags 0
    AppendU32(ctts, static_cast<std::uint32_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
      AppendU32(ctts, 1);  // sample count
      AppendU32(ctts, static_cast<std::uint32_t>(presentation[i] - decode[i] + shift));
    }
    AppendBox(stbl, "ctts", ctts);
  }
  AppendBox(stbl, "stsc", SampleToChunk(chunks.samples));
  AppendBox(stbl, "stsz", stsz);
  AppendBox(stbl, "stco", ChunkOffsets(chunks.offsets));

  ByteBuffer minf;
  AppendBox(minf, "vmhd", VideoMediaHeader());
  AppendBox(minf, "dinf", DataInformation());
  AppendBox(minf, "stbl", stbl);

  ByteBuffer mdia;
  AppendBox(mdia, "mdhd", mp4detail::MediaHeader(kMovieTimeScale, duration));
  AppendBox(mdia, "hdlr", mp4detail::HandlerReference("vide", "VideoHandler"));
  AppendBox(mdia, "minf", minf);

  ByteBuffer trak;
  AppendBox(trak, "tkhd", TrackHeader(duration, picture));
  AppendBox(trak, "mdia", mdia);

  // The first picture's place on the track's timeline: its composition time, the shift that
  // keeps every composition offset non-negative past the first decode value.
  const std::int64_t firstPicture = n == 0 ? 0 : shift - decode[0];
  return VideoTrak{std::move(trak), duration, firstPicture, sttsEntries, keyframeCount, reordered};
}

ByteBuffer BuildMoovPayload(const SampleTable& table, std::int64_t lastDuration,
                            const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                            std::uint32_t chunkOffset, PictureSize picture) {
  const std::size_t n = table.times.size();
  const mp4detail::VideoTrak video = mp4detail::BuildVideoTrak(
      table, lastDuration, sps, pps, picture, TrackChunks{{static_cast<std::uint32_t>(n)}, {chunkOffset}});

  ByteBuffer payload;
  payload.reserve(108 + video.trak.size() + 8);
  AppendBox(payload, "mvhd", mp4detail::MovieHeader(video.duration, kTrackId + 1));
  AppendBox(payload, "trak", video.trak);

  // The size the layout promises: a mismatch means a field was added or lost above.
  assert(payload.size() == 586 + sps.size() + pps.size() + 8 * video.sttsEntries + 4 * video.keyframeCount + 4 * n +
                               (video.reordered ? 16 + 8 * n : 0));
  return payload;
}

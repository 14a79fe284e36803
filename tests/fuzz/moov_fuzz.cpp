// The movie box from arbitrary sample tables and picture sizes, read back by the independent test
// reader: it must parse whole, and hold every sample's size, every keyframe and the one chunk
// offset, with the time-to-sample runs covering every sample once, a decode delta of 0 only
// between equal times (or where 32 bits cannot hold it), a positive last duration lasting at
// least a tick, and the picture size within 1..65535 on each side (the given size where it fits).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "clips/media_time.h"
#include "mp4/boxes.h"
#include "mp4/mp4_reader.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto chunkOffset = in.ConsumeIntegral<std::uint32_t>();
  const auto lastDuration = in.ConsumeIntegral<std::int64_t>();
  std::vector<std::uint8_t> sps = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(4, 64));
  while (sps.size() < 4) sps.push_back(0x42);
  std::vector<std::uint8_t> pps = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(1, 16));
  if (pps.empty()) pps.push_back(0xCE);

  // Times either walk forward by a small step (what an encoder gives, with the odd reordering)
  // or are taken raw, anywhere in the 64-bit range.
  const bool rawTimes = in.ConsumeBool();
  SampleTable table;
  std::int64_t t = in.ConsumeIntegral<std::int64_t>() / 4;
  const auto count = in.ConsumeIntegralInRange<std::size_t>(1, 2000);
  for (std::size_t i = 0; i < count; ++i) {
    if (rawTimes) {
      t = in.ConsumeIntegral<std::int64_t>();
    } else {
      t += in.ConsumeIntegralInRange<std::int64_t>(-700000, 700000);
    }
    table.times.push_back(t);
    table.keyframes.push_back(in.ConsumeBool() ? 1 : 0);
    table.sizes.push_back(in.ConsumeIntegral<std::uint32_t>());
  }

  // Whatever is left: often nothing, which gives the size 0 x 0.
  const PictureSize picture{in.ConsumeIntegral<std::uint32_t>(), in.ConsumeIntegral<std::uint32_t>()};

  const ByteBuffer payload = BuildMoovPayload(table, lastDuration, sps, pps, chunkOffset, picture);
  mp4read::Movie movie;
  try {
    movie = mp4read::ReadMoovPayload(payload);
  } catch (const mp4read::ParseError&) {
    std::abort();  // the writer built a box the reader cannot walk
  }

  Require(movie.sps == sps && movie.pps == pps);
  Require(movie.stsz == table.sizes);
  Require(movie.stco == std::vector<std::uint32_t>{chunkOffset});
  Require(movie.stsc.size() == 1 && movie.stsc[0][1] == count);
  std::vector<std::uint32_t> keyframes;
  for (std::size_t i = 0; i < count; ++i) {
    if (table.keyframes[i] != 0) keyframes.push_back(static_cast<std::uint32_t>(i + 1));
  }
  Require(movie.stss == keyframes);
  std::uint64_t covered = 0;
  for (const mp4read::Entry& e : movie.stts) covered += e.count;
  Require(covered == count);
  std::vector<std::uint32_t> deltas;
  for (const mp4read::Entry& e : movie.stts) deltas.insert(deltas.end(), e.count, e.value);
  std::vector<std::int64_t> relative;
  for (std::int64_t time : table.times) relative.push_back(MediaTimeDifference(time, table.times[0]));
  std::sort(relative.begin(), relative.end());
  for (std::size_t k = 0; k + 1 < count; ++k) {
    // Ticks a 32-bit delta holds with room to spare: beyond, a delta is taken modulo 2^32.
    const std::int64_t apart = MovieTicksFromMediaTime(relative[k + 1]) - MovieTicksFromMediaTime(relative[k]);
    if (relative[k + 1] != relative[k] && apart < 0xFFFF0000LL) Require(deltas[k] != 0);
    if (relative[k + 1] == relative[k]) Require(deltas[k] == 0);
  }
  if (lastDuration > 0) Require(deltas.back() != 0);
  if (movie.hasCtts) {
    covered = 0;
    for (const mp4read::Entry& e : movie.ctts) covered += e.count;
    Require(covered == count);
  }
  Require(movie.movieDuration == movie.mediaDuration && movie.trackDuration == movie.mediaDuration);
  const auto side = [](std::uint32_t v) -> std::uint32_t { return v == 0 ? 1 : v > 65535 ? 65535 : v; };
  Require(movie.width == side(picture.width) && movie.height == side(picture.height));
  Require(movie.trackWidth == side(picture.width) << 16 && movie.trackHeight == side(picture.height) << 16);
  return 0;
}

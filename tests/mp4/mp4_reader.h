// An MP4 reader for tests, written from the box definitions and independent of the writer: it
// walks every box, checks sizes, nesting, reserved fields and that each box's payload is used up
// exactly, and hands back the fields for the tests to compare.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace mp4read {

struct Entry {
  std::uint32_t count = 0;
  std::uint32_t value = 0;  // delta (stts) or offset (ctts)
  friend bool operator==(const Entry&, const Entry&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Entry& e) {
    return out << "(" << e.count << ", " << e.value << ")";
  }
};

struct EditEntry {
  std::uint32_t duration = 0;  // movie time scale
  std::int32_t mediaTime = 0;  // media time scale; -1 for an empty edit
  std::uint16_t rate = 0;
};

// The second track: AAC sound.
struct SoundTrack {
  bool present = false;
  std::uint32_t trackFlags = 0, trackId = 0, trackDuration = 0, trackWidth = 0, trackHeight = 0;
  std::uint16_t volume = 0;
  std::vector<EditEntry> edits;
  std::uint32_t mediaTimeScale = 0, mediaDuration = 0;
  std::uint16_t language = 0;
  std::string handlerType, handlerName;
  std::uint32_t dataEntries = 0;
  std::uint16_t dataReferenceIndex = 0, channels = 0, sampleBits = 0;
  std::uint32_t sampleRate = 0;  // 16.16
  std::uint16_t esId = 0;
  std::uint8_t objectType = 0, streamType = 0, slPredefined = 0;
  std::uint32_t bufferSize = 0, maxBitrate = 0, averageBitrate = 0;
  std::vector<std::uint8_t> audioSpecificConfig;
  std::vector<Entry> stts;
  std::vector<std::array<std::uint32_t, 3>> stsc;
  std::uint32_t stszSampleSize = 0;
  std::vector<std::uint32_t> stsz;
  std::vector<std::uint32_t> stco;
};

struct Movie {
  std::vector<std::string> boxOrder;  // every box met, as a path: "trak/mdia/minf/stbl/stsd/avc1/avcC"

  std::uint32_t movieTimeScale = 0, movieDuration = 0, rate = 0, nextTrackId = 0;
  std::uint16_t volume = 0;
  std::array<std::uint32_t, 9> movieMatrix{};

  std::uint32_t trackFlags = 0, trackId = 0, trackDuration = 0, trackWidth = 0, trackHeight = 0;
  std::array<std::uint32_t, 9> trackMatrix{};

  std::uint32_t mediaTimeScale = 0, mediaDuration = 0;
  std::uint16_t language = 0;
  std::string handlerType, handlerName;
  std::uint32_t videoHeaderFlags = 0;
  std::uint32_t dataEntries = 0, urlFlags = 0;

  std::uint16_t dataReferenceIndex = 0, width = 0, height = 0, frameCount = 0, depth = 0, preDefined = 0;
  std::uint32_t horizontalResolution = 0, verticalResolution = 0;

  std::uint8_t configurationVersion = 0, profile = 0, compatibility = 0, level = 0;
  std::uint8_t lengthSizeByte = 0, spsCountByte = 0, ppsCount = 0;
  std::vector<std::uint8_t> sps, pps;

  std::vector<Entry> stts;
  std::vector<std::uint32_t> stss;
  bool hasCtts = false;
  std::vector<Entry> ctts;
  std::vector<std::array<std::uint32_t, 3>> stsc;
  std::uint32_t stszSampleSize = 0;
  std::vector<std::uint32_t> stsz;
  std::vector<std::uint32_t> stco;

  SoundTrack sound;  // present when the movie has a second track
};

struct TopBox {
  std::string type;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

struct File {
  std::vector<TopBox> boxes;  // top level, in file order
  Movie movie;
  std::uint64_t mdatOffset = 0;  // of the box header
  std::uint64_t mdatSize = 0;
};

class ParseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace detail {

class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size, std::string where)
      : p_(data), n_(size), where_(std::move(where)) {}

  std::size_t Left() const { return n_ - at_; }
  const std::uint8_t* Here() const { return p_ + at_; }
  void Skip(std::size_t count) { Need(count), at_ += count; }

  std::uint8_t U8() {
    Need(1);
    return p_[at_++];
  }
  std::uint16_t U16() {
    Need(2);
    std::uint16_t v = static_cast<std::uint16_t>((p_[at_] << 8) | p_[at_ + 1]);
    at_ += 2;
    return v;
  }
  std::uint32_t U32() {
    Need(4);
    std::uint32_t v = (std::uint32_t{p_[at_]} << 24) | (std::uint32_t{p_[at_ + 1]} << 16) |
                      (std::uint32_t{p_[at_ + 2]} << 8) | p_[at_ + 3];
    at_ += 4;
    return v;
  }
  std::string FourCC() {
    Need(4);
    std::string s(reinterpret_cast<const char*>(p_ + at_), 4);
    at_ += 4;
    return s;
  }
  std::vector<std::uint8_t> Bytes(std::size_t count) {
    Need(count);
    std::vector<std::uint8_t> v(p_ + at_, p_ + at_ + count);
    at_ += count;
    return v;
  }
  void Zeros(std::size_t count, const char* field) {
    for (std::size_t i = 0; i < count; ++i) {
      if (U8() != 0) Fail(std::string(field) + " not zero");
    }
  }
  void Expect32(std::uint32_t expected, const char* field) {
    const std::uint32_t v = U32();
    if (v != expected) Fail(std::string(field) + " is " + std::to_string(v) + ", not " + std::to_string(expected));
  }
  void End() {
    if (at_ != n_) Fail(std::to_string(n_ - at_) + " bytes left over");
  }
  [[noreturn]] void Fail(const std::string& what) const { throw ParseError(where_ + ": " + what); }

 private:
  void Need(std::size_t count) const {
    if (count > n_ - at_) Fail("runs past its end");
  }
  const std::uint8_t* p_;
  std::size_t n_;
  std::size_t at_ = 0;
  std::string where_;
};

// Calls child(type, payload cursor) for every box in c until its end.
template <typename Child>
void ForEachBox(Cursor& c, const std::string& parent, Child&& child) {
  while (c.Left() > 0) {
    const std::uint32_t size = c.U32();
    const std::string type = c.FourCC();
    if (size < 8) c.Fail("box " + type + " of size " + std::to_string(size));
    if (size - 8 > c.Left()) c.Fail("box " + type + " runs past its parent");
    Cursor payload(c.Here(), size - 8, parent + type);
    c.Skip(size - 8);
    child(type, payload);
  }
}

inline void VersionFlags(Cursor& c, std::uint32_t expected) { c.Expect32(expected, "version/flags"); }

inline std::array<std::uint32_t, 9> Matrix(Cursor& c) {
  std::array<std::uint32_t, 9> m{};
  for (auto& v : m) v = c.U32();
  return m;
}

inline void ReadEntries(Cursor& c, std::vector<Entry>& out) {
  VersionFlags(c, 0);
  const std::uint32_t count = c.U32();
  for (std::uint32_t i = 0; i < count; ++i) {
    Entry e;
    e.count = c.U32();
    e.value = c.U32();
    out.push_back(e);
  }
  c.End();
}

inline void ReadAvcC(Cursor& c, Movie& m) {
  m.configurationVersion = c.U8();
  m.profile = c.U8();
  m.compatibility = c.U8();
  m.level = c.U8();
  m.lengthSizeByte = c.U8();
  m.spsCountByte = c.U8();
  if ((m.spsCountByte & 0x1F) != 1) c.Fail("expected one SPS");
  m.sps = c.Bytes(c.U16());
  m.ppsCount = c.U8();
  if (m.ppsCount != 1) c.Fail("expected one PPS");
  m.pps = c.Bytes(c.U16());
  c.End();
}

inline void ReadAvc1(Cursor& c, Movie& m, const std::string& path) {
  c.Zeros(6, "reserved");
  m.dataReferenceIndex = c.U16();
  c.Zeros(16, "pre-defined");
  m.width = c.U16();
  m.height = c.U16();
  m.horizontalResolution = c.U32();
  m.verticalResolution = c.U32();
  c.Zeros(4, "reserved");
  m.frameCount = c.U16();
  c.Zeros(32, "compressor name");
  m.depth = c.U16();
  m.preDefined = c.U16();
  ForEachBox(c, path, [&](const std::string& type, Cursor& b) {
    m.boxOrder.push_back(path + type);
    if (type != "avcC") b.Fail("unexpected box");
    ReadAvcC(b, m);
  });
}

inline void ReadStbl(Cursor& c, Movie& m, const std::string& path) {
  ForEachBox(c, path, [&](const std::string& type, Cursor& b) {
    m.boxOrder.push_back(path + type);
    if (type == "stsd") {
      VersionFlags(b, 0);
      b.Expect32(1, "entry count");
      ForEachBox(b, path + "stsd/", [&](const std::string& entry, Cursor& e) {
        m.boxOrder.push_back(path + "stsd/" + entry);
        if (entry != "avc1") e.Fail("unexpected sample entry");
        ReadAvc1(e, m, path + "stsd/avc1/");
      });
    } else if (type == "stts") {
      ReadEntries(b, m.stts);
    } else if (type == "ctts") {
      m.hasCtts = true;
      ReadEntries(b, m.ctts);
    } else if (type == "stss") {
      VersionFlags(b, 0);
      const std::uint32_t count = b.U32();
      for (std::uint32_t i = 0; i < count; ++i) m.stss.push_back(b.U32());
      b.End();
    } else if (type == "stsc") {
      VersionFlags(b, 0);
      const std::uint32_t count = b.U32();
      for (std::uint32_t i = 0; i < count; ++i) {
        std::array<std::uint32_t, 3> e{};
        for (auto& v : e) v = b.U32();
        m.stsc.push_back(e);
      }
      b.End();
    } else if (type == "stsz") {
      VersionFlags(b, 0);
      m.stszSampleSize = b.U32();
      const std::uint32_t count = b.U32();
      for (std::uint32_t i = 0; i < count; ++i) m.stsz.push_back(b.U32());
      b.End();
    } else if (type == "stco") {
      VersionFlags(b, 0);
      const std::uint32_t count = b.U32();
      for (std::uint32_t i = 0; i < count; ++i) m.stco.push_back(b.U32());
      b.End();
    } else {
      b.Fail("unexpected box");
    }
  });
}

inline void ReadMinf(Cursor& c, Movie& m, const std::string& path) {
  ForEachBox(c, path, [&](const std::string& type, Cursor& b) {
    m.boxOrder.push_back(path + type);
    if (type == "vmhd") {
      m.videoHeaderFlags = b.U32();
      b.Zeros(8, "graphics mode and opcolor");
      b.End();
    } else if (type == "dinf") {
      ForEachBox(b, path + "dinf/", [&](const std::string& inner, Cursor& d) {
        m.boxOrder.push_back(path + "dinf/" + inner);
        if (inner != "dref") d.Fail("unexpected box");
        VersionFlags(d, 0);
        m.dataEntries = d.U32();
        ForEachBox(d, path + "dinf/dref/", [&](const std::string& entry, Cursor& u) {
          m.boxOrder.push_back(path + "dinf/dref/" + entry);
          if (entry != "url ") u.Fail("unexpected data entry");
          m.urlFlags = u.U32();
          u.End();
        });
      });
    } else if (type == "stbl") {
      ReadStbl(b, m, path + "stbl/");
    } else {
      b.Fail("unexpected box");
    }
  });
}

inline void ReadMdia(Cursor& c, Movie& m, const std::string& path) {
  ForEachBox(c, path, [&](const std::string& type, Cursor& b) {
    m.boxOrder.push_back(path + type);
    if (type == "mdhd") {
      VersionFlags(b, 0);
      b.Expect32(0, "creation time");
      b.Expect32(0, "modification time");
      m.mediaTimeScale = b.U32();
      m.mediaDuration = b.U32();
      m.language = b.U16();
      b.Zeros(2, "pre-defined");
      b.End();
    } else if (type == "hdlr") {
      VersionFlags(b, 0);
      b.Zeros(4, "pre-defined");
      m.handlerType = b.FourCC();
      b.Zeros(12, "reserved");
      std::vector<std::uint8_t> name = b.Bytes(b.Left());
      if (name.empty() || name.back() != 0) b.Fail("name without its zero byte");
      m.handlerName.assign(name.begin(), name.end() - 1);
    } else if (type == "minf") {
      ReadMinf(b, m, path + "minf/");
    } else {
      b.Fail("unexpected box");
    }
  });
}

// A descriptor header: its tag, then its length in one to four bytes of seven bits each.
inline Cursor Descriptor(Cursor& c, std::uint8_t tag, const std::string& where) {
  if (c.U8() != tag) c.Fail("expected descriptor tag " + std::to_string(tag));
  std::uint32_t length = 0;
  for (int i = 0;; ++i) {
    if (i == 4) c.Fail("descriptor length over four bytes");
    const std::uint8_t b = c.U8();
    length = length << 7 | (b & 0x7F);
    if ((b & 0x80) == 0) break;
  }
  if (length > c.Left()) c.Fail("descriptor runs past its parent");
  Cursor inner(c.Here(), length, where);
  c.Skip(length);
  return inner;
}

inline void ReadEsds(Cursor& c, SoundTrack& s) {
  VersionFlags(c, 0);
  Cursor es = Descriptor(c, 0x03, "esds/ES/");
  c.End();
  s.esId = es.U16();
  if (es.U8() != 0) es.Fail("stream dependence, URL or OCR flags set");
  Cursor config = Descriptor(es, 0x04, "esds/ES/config/");
  s.objectType = config.U8();
  s.streamType = config.U8();
  s.bufferSize = std::uint32_t{config.U8()} << 16;
  s.bufferSize |= config.U16();
  s.maxBitrate = config.U32();
  s.averageBitrate = config.U32();
  Cursor specific = Descriptor(config, 0x05, "esds/ES/config/specific/");
  s.audioSpecificConfig = specific.Bytes(specific.Left());
  config.End();
  Cursor sl = Descriptor(es, 0x06, "esds/ES/SL/");
  s.slPredefined = sl.U8();
  sl.End();
  es.End();
}

inline void ReadSoundStbl(Cursor& c, Movie& m, const std::string& path) {
  SoundTrack& s = m.sound;
  ForEachBox(c, path, [&](const std::string& type, Cursor& b) {
    m.boxOrder.push_back(path + type);
    if (type == "stsd") {
      VersionFlags(b, 0);
      b.Expect32(1, "entry count");
      ForEachBox(b, path + "stsd/", [&](const std::string& entry, Cursor& e) {
        m.boxOrder.push_back(path + "stsd/" + entry);
        if (entry != "mp4a") e.Fail("unexpected sample entry");
        e.Zeros(6, "reserved");
        s.dataReferenceIndex = e.U16();
        e.Zeros(8, "reserved");
        s.channels = e.U16();
        s.sampleBits = e.U16();
        e.Zeros(4, "pre-defined and reserved");
        s.sampleRate = e.U32();
        ForEachBox(e, path + "stsd/mp4a/", [&](const std::string& inner, Cursor& d) {
          m.boxOrder.push_back(path + "stsd/mp4a/" + inner);
          if (inner != "esds") d.Fail("unexpected box");
          ReadEsds(d, s);
        });
      });
    } else if (type == "stts") {
      ReadEntries(b, s.stts);
    } else if (type == "stsc") {
      VersionFlags(b, 0);
      const std::uint32_t count = b.U32();
      for (std::uint32_t i = 0; i < count; ++i) {
        std::array<std::uint32_t, 3> e{};
        for (auto& v : e) v = b.U32();
        s.stsc.push_back(e);
      }
      b.End();
    } else if (type == "stsz") {
      VersionFlags(b, 0);
      s.stszSampleSize = b.U32();
      const std::uint32_t count = b.U32();
      for (std::uint32_t i = 0; i < count; ++i) s.stsz.push_back(b.U32());
      b.End();
    } else if (type == "stco") {
      VersionFlags(b, 0);
      const std::uint32_t count = b.U32();
      for (std::uint32_t i = 0; i < count; ++i) s.stco.push_back(b.U32());
      b.End();
    } else {
      b.Fail("unexpected box");
    }
  });
}

inline void ReadSoundTrak(Cursor& c, Movie& m) {
  SoundTrack& s = m.sound;
  s.present = true;
  const std::string path = "trak[2]/";
  ForEachBox(c, path, [&](const std::string& type, Cursor& t) {
    m.boxOrder.push_back(path + type);
    if (type == "tkhd") {
      s.trackFlags = t.U32();
      t.Expect32(0, "creation time");
      t.Expect32(0, "modification time");
      s.trackId = t.U32();
      t.Zeros(4, "reserved");
      s.trackDuration = t.U32();
      t.Zeros(8, "reserved");
      t.Zeros(4, "layer and group");
      s.volume = t.U16();
      t.Zeros(2, "reserved");
      Matrix(t);
      s.trackWidth = t.U32();
      s.trackHeight = t.U32();
      t.End();
    } else if (type == "edts") {
      ForEachBox(t, path + "edts/", [&](const std::string& inner, Cursor& e) {
        m.boxOrder.push_back(path + "edts/" + inner);
        if (inner != "elst") e.Fail("unexpected box");
        VersionFlags(e, 0);
        const std::uint32_t count = e.U32();
        for (std::uint32_t i = 0; i < count; ++i) {
          EditEntry edit;
          edit.duration = e.U32();
          edit.mediaTime = static_cast<std::int32_t>(e.U32());
          edit.rate = e.U16();
          e.Zeros(2, "media rate fraction");
          s.edits.push_back(edit);
        }
        e.End();
      });
    } else if (type == "mdia") {
      ForEachBox(t, path + "mdia/", [&](const std::string& inner, Cursor& b) {
        const std::string at = path + "mdia/";
        m.boxOrder.push_back(at + inner);
        if (inner == "mdhd") {
          VersionFlags(b, 0);
          b.Expect32(0, "creation time");
          b.Expect32(0, "modification time");
          s.mediaTimeScale = b.U32();
          s.mediaDuration = b.U32();
          s.language = b.U16();
          b.Zeros(2, "pre-defined");
          b.End();
        } else if (inner == "hdlr") {
          VersionFlags(b, 0);
          b.Zeros(4, "pre-defined");
          s.handlerType = b.FourCC();
          b.Zeros(12, "reserved");
          std::vector<std::uint8_t> name = b.Bytes(b.Left());
          if (name.empty() || name.back() != 0) b.Fail("name without its zero byte");
          s.handlerName.assign(name.begin(), name.end() - 1);
        } else if (inner == "minf") {
          ForEachBox(b, at + "minf/", [&](const std::string& box, Cursor& x) {
            m.boxOrder.push_back(at + "minf/" + box);
            if (box == "smhd") {
              VersionFlags(x, 0);
              x.Zeros(4, "balance and reserved");
              x.End();
            } else if (box == "dinf") {
              ForEachBox(x, at + "minf/dinf/", [&](const std::string& d, Cursor& y) {
                if (d != "dref") y.Fail("unexpected box");
                VersionFlags(y, 0);
                s.dataEntries = y.U32();
                ForEachBox(y, at + "minf/dinf/dref/", [&](const std::string& entry, Cursor& u) {
                  if (entry != "url ") u.Fail("unexpected data entry");
                  VersionFlags(u, 1);
                  u.End();
                });
              });
            } else if (box == "stbl") {
              ReadSoundStbl(x, m, at + "minf/stbl/");
            } else {
              x.Fail("unexpected box");
            }
          });
        } else {
          b.Fail("unexpected box");
        }
      });
    } else {
      t.Fail("unexpected box");
    }
  });
}

}  // namespace detail

// Parses the payload of a "moov" box.
inline Movie ReadMoovPayload(const std::uint8_t* data, std::size_t size) {
  using namespace detail;
  Movie m;
  Cursor c(data, size, "moov/");
  int tracks = 0;
  ForEachBox(c, "", [&](const std::string& type, Cursor& b) {
    m.boxOrder.push_back(type);
    if (type == "mvhd") {
      VersionFlags(b, 0);
      b.Expect32(0, "creation time");
      b.Expect32(0, "modification time");
      m.movieTimeScale = b.U32();
      m.movieDuration = b.U32();
      m.rate = b.U32();
      m.volume = b.U16();
      b.Zeros(10, "reserved");
      m.movieMatrix = Matrix(b);
      b.Zeros(24, "pre-defined");
      m.nextTrackId = b.U32();
      b.End();
    } else if (type == "trak" && ++tracks == 2) {
      ReadSoundTrak(b, m);
    } else if (type == "trak") {
      if (tracks > 2) b.Fail("more than two tracks");
      ForEachBox(b, "trak/", [&](const std::string& inner, Cursor& t) {
        m.boxOrder.push_back("trak/" + inner);
        if (inner == "tkhd") {
          m.trackFlags = t.U32();
          t.Expect32(0, "creation time");
          t.Expect32(0, "modification time");
          m.trackId = t.U32();
          t.Zeros(4, "reserved");
          m.trackDuration = t.U32();
          t.Zeros(8, "reserved");
          t.Zeros(8, "layer, group, volume, reserved");
          m.trackMatrix = Matrix(t);
          m.trackWidth = t.U32();
          m.trackHeight = t.U32();
          t.End();
        } else if (inner == "mdia") {
          ReadMdia(t, m, "trak/mdia/");
        } else {
          t.Fail("unexpected box");
        }
      });
    } else {
      b.Fail("unexpected box");
    }
  });
  return m;
}

inline Movie ReadMoovPayload(const std::vector<std::uint8_t>& payload) {
  return ReadMoovPayload(payload.data(), payload.size());
}

// Parses a whole file: top-level boxes must cover it exactly; "moov" is read in full.
inline File ReadFile(const std::vector<std::uint8_t>& bytes) {
  using namespace detail;
  File f;
  Cursor c(bytes.data(), bytes.size(), "file/");
  std::uint64_t offset = 0;
  ForEachBox(c, "", [&](const std::string& type, Cursor& b) {
    const std::uint64_t size = b.Left() + 8;
    f.boxes.push_back(TopBox{type, offset, size});
    if (type == "moov") {
      f.movie = ReadMoovPayload(b.Here(), b.Left());
    } else if (type == "mdat") {
      f.mdatOffset = offset;
      f.mdatSize = size;
    }
    offset += size;
  });
  return f;
}

}  // namespace mp4read

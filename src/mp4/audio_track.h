// The movie box of a file that carries the game's sound beside its picture: the H.264 track as a
// video-only file has it, and an AAC track (stereo, 16-bit, 48 kHz, 1024 samples a frame) whose
// edit list removes the encoder's priming so the first audible sample plays with its picture.
// Both tracks' samples stand in the media data in chunks of about a second, taking turns.
//
// A writer plans the chunks once (PlanChunks), builds the movie box with the media data's start
// 0 to learn its size, then again with the real start, and writes the samples chunk by chunk in
// the plan's order. When the audio cannot be described (values from the encoder out of bounds,
// offsets beyond 32 bits), the builder returns nothing and the writer writes the video-only file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "clips/sample_history.h"
#include "mp4/boxes.h"

inline constexpr std::uint32_t kAudioTimeScale = 48000;
inline constexpr std::uint32_t kAudioChannels = 2;
inline constexpr std::uint32_t kAudioSampleBits = 16;
inline constexpr std::uint32_t kAacFrameSamples = 1024;

// Bounds on what the audio encoder hands over. An AudioSpecificConfig is 2 bytes for AAC-LC and
// a few more with extensions; 64 keeps every descriptor length within one byte. An AAC frame is
// at most 6144 bits per channel; 8191 bytes is the most an ADTS frame can state. The frame count
// keeps every duration within 32 bits at 90 kHz (over eleven hours). Priming beyond a second is
// no encoder's delay.
inline constexpr std::size_t kMaxAudioSpecificConfigBytes = 64;
inline constexpr std::uint32_t kMaxAacFrameBytes = 8191;
inline constexpr std::size_t kMaxAudioFrames = 2000000;
inline constexpr std::uint32_t kMaxPrimingSamples = kAudioTimeScale;
// The sound may begin up to this far (100-ns units, an hour) before or after the first picture.
inline constexpr std::int64_t kMaxAudioLead = 36000000000LL;

// What a writer collects of the sound for one file.
struct AudioTable {
  std::vector<std::uint32_t> sizes;              // one AAC frame each, bytes in the media data
  std::vector<std::uint8_t> audioSpecificConfig;  // from the encoder's output type
  std::uint32_t primingSamples = 0;              // encoder delay: samples before the first audible one
  std::int64_t firstAudibleTime = 0;             // 100-ns units after the first picture's time (may be < 0)
};

enum class ChunkTrack : std::uint8_t { kVideo, kAudio };

// One chunk of the media data: the next `samples` samples of one track, in file order.
struct PlannedChunk {
  ChunkTrack track = ChunkTrack::kVideo;
  std::uint32_t samples = 0;
};

// Both tracks' samples in chunks of about a second each, a video chunk then the audio of the same
// second: the video samples whose time is under k + 1 seconds after the first, then the audio
// frames that begin before that. No chunk is empty; every sample of both tables is in one chunk.
std::vector<PlannedChunk> PlanChunks(const SampleTable& video, const AudioTable& audio);

// The movie box payload ("mvhd", the video "trak", the sound "trak"), or an empty buffer when the
// audio cannot be described: no frame, more than kMaxAudioFrames, a frame of 0 or more than
// kMaxAacFrameBytes, an AudioSpecificConfig of 0 or more than kMaxAudioSpecificConfigBytes,
// priming above kMaxPrimingSamples or not shorter than the sound, a start more than kMaxAudioLead
// from the first picture or the sound cut away entirely by it, a plan that does not cover both
// tables exactly with non-empty chunks, or a chunk offset beyond 32 bits. mediaDataStart is the
// file offset of the first byte of the first chunk; the payload's length does not depend on it.
// The video table has the preconditions of BuildMoovPayload.
ByteBuffer BuildAudioVideoMoovPayload(const SampleTable& video, std::int64_t lastDuration,
                                      const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                                      PictureSize picture, const AudioTable& audio,
                                      const std::vector<PlannedChunk>& plan, std::uint64_t mediaDataStart);

// 100-ns units of one AAC frame (1024 samples at 48 kHz), rounded down.
inline constexpr std::int64_t kAacFrameUnits = 213333;

// Every file with sound holds the same part of it: the frames of one run that end after one frame
// before the file's first picture (videoStart) and begin before the end of its last picture
// (videoEnd). The first of them is the decoder's pre-roll: a decoder needs one frame before the
// first it plays out, so the file's priming is that whole frame and its first audible sample is the
// second frame's first.
bool AudioFrameInFile(std::int64_t frameTime, std::int64_t videoStart, std::int64_t videoEnd);

// The table of a file whose frames (consecutive, of one run, oldest first) are sizes with the
// first frame's time firstFrameTime: priming kAacFrameSamples, the first audible sample
// kAacFrameUnits after firstFrameTime, relative to videoStart.
AudioTable MakeFileAudioTable(std::vector<std::uint32_t> sizes, const std::vector<std::uint8_t>& audioSpecificConfig,
                              std::int64_t firstFrameTime, std::int64_t videoStart);

// The video-only movie box of a file whose media data also hold frames of sound that it cannot
// describe (too few, or the builder above refused them): the H.264 track exactly as
// BuildAudioVideoMoovPayload writes it, its chunks' offsets stepping over the sound's bytes, and
// no sound track. Empty when the plan does not cover both tables exactly with non-empty chunks or
// an offset lies beyond 32 bits. Files whose media data hold no sound keep BuildMoovPayload.
ByteBuffer BuildPlannedVideoMoovPayload(const SampleTable& video, std::int64_t lastDuration,
                                        const std::vector<std::uint8_t>& sps, const std::vector<std::uint8_t>& pps,
                                        PictureSize picture, const std::vector<std::uint32_t>& audioSizes,
                                        const std::vector<PlannedChunk>& plan, std::uint64_t mediaDataStart);

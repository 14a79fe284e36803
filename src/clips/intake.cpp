// Intake of the encoder's output samples into the history.
#include <cstdint>
#include <memory>
#include <vector>

#include "app/process_state.h"
#include "clips/annexb.h"
#include "clips/sample_history.h"
#include "mp4/recording.h"

namespace {

constexpr int kNalIdrSlice = 5;
constexpr int kNalSequenceParameterSet = 7;
constexpr int kNalPictureParameterSet = 8;

// Learns from the bytes whether the access unit holds an IDR slice and takes over the parameter
// sets it carries (the last of each type wins). Without any NAL unit the clean-point flag stays.
void ReadAccessUnit(EncodedSample& record, bool cleanPoint, ParameterSets& sets) {
  const std::uint8_t* bytes = record.data->data();
  bool seen = false;
  bool idr = false;
  bool haveSps = false;
  bool havePps = false;
  NalUnit sps{}, pps{};
  ScanAnnexB(bytes, record.data->size(), [&](const NalUnit& unit) {
    seen = true;
    if (unit.type == kNalIdrSlice) {
      idr = true;
    } else if (unit.type == kNalSequenceParameterSet) {
      sps = unit;
      haveSps = true;
    } else if (unit.type == kNalPictureParameterSet) {
      pps = unit;
      havePps = true;
    }
  });
  if (haveSps) sets.sps.assign(bytes + sps.start, bytes + sps.start + sps.length);
  if (havePps) sets.pps.assign(bytes + pps.start, bytes + pps.start + pps.length);
  record.keyframe = seen ? idr : cleanPoint;
}

}  // namespace

void AddEncodedSample(IMFSample* sample, ParameterSetSource fallback) {
  IMFMediaBuffer* buffer = nullptr;
  if (FAILED(sample->ConvertToContiguousBuffer(&buffer)) || buffer == nullptr) return;
  BYTE* bytes = nullptr;
  DWORD maxLength = 0;
  DWORD length = 0;
  if (FAILED(buffer->Lock(&bytes, &maxLength, &length))) {
    buffer->Release();
    return;
  }
  // A buffer that claims more current bytes than it has room for cannot be believed: copying its
  // claim would read past the encoder's memory. It is dropped like one that cannot be locked.
  if (length > maxLength) {
    buffer->Unlock();
    buffer->Release();
    return;
  }
  if (bytes == nullptr) length = 0;

  // The one copy of these bytes: history, clips and the recording share it from here on.
  EncodedSample record;
  record.data = std::make_shared<const std::vector<std::uint8_t>>(bytes, bytes + length);

  UINT32 cleanPoint = 0;
  const bool clean = SUCCEEDED(sample->GetUINT32(MFSampleExtension_CleanPoint, &cleanPoint)) && cleanPoint != 0;
  ReadAccessUnit(record, clean, parameterSets);

  LONGLONG time = 0;
  if (FAILED(sample->GetSampleTime(&time))) time = 0;
  record.time = time;
  LONGLONG duration = 0;
  if (FAILED(sample->GetSampleDuration(&duration)) || duration <= 0) duration = processState.stream.FrameDuration();
  record.duration = duration;

  buffer->Unlock();

  // An encoder may publish its parameter sets only in its output type: without them no clip and
  // no recording could be written. An encoder that sends them in its samples is never asked.
  if (record.keyframe && !ParameterSetsUsable(parameterSets) && fallback.read != nullptr) {
    fallback.read(fallback.context);
  }

  // The parameter sets of this very sample are stored already, so a recording can open on it.
  AppendToRecording(record);

  sampleHistory.heldBytes += record.data->size();
  sampleHistory.samples.push_back(std::move(record));
  TrimHistory(sampleHistory);

  buffer->Release();
}

void AddEncodedAudio(const EncodedAudio& frame) {
  // The recording first, as for the picture.
  AppendAudioToRecording(frame);
  sampleHistory.heldBytes += AudioFrameSize(frame);
  sampleHistory.audio.push_back(frame);
  TrimHistory(sampleHistory);
}

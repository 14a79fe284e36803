#include "intake_double.h"

#include "clips/sample_history.h"

std::vector<IntakeRecord> intakeRecords;
ParameterSets parameterSets;

void AddEncodedSample(IMFSample* sample, ParameterSetSource) {
  IntakeRecord record;
  sample->AddRef();
  record.referencesDuringCall = sample->Release();
  record.timeKnown = SUCCEEDED(sample->GetSampleTime(&record.time));
  IMFMediaBuffer* buffer = nullptr;
  if (SUCCEEDED(sample->ConvertToContiguousBuffer(&buffer))) {
    BYTE* bytes = nullptr;
    DWORD length = 0;
    if (SUCCEEDED(buffer->Lock(&bytes, nullptr, &length))) {
      record.bytes.assign(bytes, bytes + length);
      buffer->Unlock();
    }
    buffer->Release();
  }
  intakeRecords.push_back(record);
}

// The framework's names must carry the SDK's values in both builds: on Windows they come from the
// SDK headers, elsewhere from our declarations, and this one table checks both.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "encoder/media_framework.h"

namespace {

std::string Text(const GUID& g) {
  char s[40];
  std::snprintf(s, sizeof s, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return s;
}

TEST(MediaFramework, GuidValues) {
  EXPECT_EQ(Text(IID_IUnknown), "00000000-0000-0000-c000-000000000046");
  EXPECT_EQ(Text(IID_IMFAttributes), "2cd2d921-c447-44a7-a13c-4adabfc247e3");
  EXPECT_EQ(Text(IID_IMFMediaBuffer), "045fa593-8799-42b8-bc8d-8968c6453507");
  EXPECT_EQ(Text(IID_IMFSample), "c40a00f2-b93a-4d80-ae8c-5a1c634f58e4");
  EXPECT_EQ(Text(IID_IMFMediaType), "44ae0fa8-ea31-4109-8d2e-4cae4997c555");
  EXPECT_EQ(Text(IID_IMFMediaEvent), "df598932-f10c-4e39-bba2-c308f101daa3");
  EXPECT_EQ(Text(IID_IMFMediaEventGenerator), "2cd0bd52-bcd5-4b89-b62c-eadc0c031e7d");
  EXPECT_EQ(Text(IID_IMFActivate), "7fee9e9a-4a89-47a6-899c-b6a53a70fb67");
  EXPECT_EQ(Text(IID_IMFTransform), "bf94c121-5b05-4e6f-8000-ba598961414d");
  EXPECT_EQ(Text(IID_ICodecAPI), "901db4c7-31ce-41a2-85dc-8fa0bf41b8da");
  EXPECT_EQ(Text(MFT_CATEGORY_VIDEO_ENCODER), "f79eac7d-e545-4387-bdee-d647d7bde42a");
  EXPECT_EQ(Text(MFMediaType_Video), "73646976-0000-0010-8000-00aa00389b71");
  EXPECT_EQ(Text(MFVideoFormat_NV12), "3231564e-0000-0010-8000-00aa00389b71");
  EXPECT_EQ(Text(MFVideoFormat_H264), "34363248-0000-0010-8000-00aa00389b71");
  EXPECT_EQ(Text(MF_MT_MAJOR_TYPE), "48eba18e-f8c9-4687-bf11-0a74c9f96a8f");
  EXPECT_EQ(Text(MF_MT_SUBTYPE), "f7e34c9a-42e8-4714-b74b-cb29d72c35e5");
  EXPECT_EQ(Text(MF_MT_FRAME_SIZE), "1652c33d-d6b2-4012-b834-72030849a37d");
  EXPECT_EQ(Text(MF_MT_FRAME_RATE), "c459a2e8-3d2c-4e44-b132-fee5156c7bb0");
  EXPECT_EQ(Text(MF_MT_PIXEL_ASPECT_RATIO), "c6376a1e-8d0a-4027-be45-6d9a0ad39bb6");
  EXPECT_EQ(Text(MF_MT_INTERLACE_MODE), "e2724bb8-e676-4806-b4b2-a8d6efb44ccd");
  EXPECT_EQ(Text(MF_MT_YUV_MATRIX), "3e23d450-2c75-4d25-a00e-b91670d12327");
  EXPECT_EQ(Text(MF_MT_VIDEO_PRIMARIES), "dbfbe4d7-0740-4ee0-8192-850ab0e21935");
  EXPECT_EQ(Text(MF_MT_VIDEO_NOMINAL_RANGE), "c21b8ee5-b956-4071-8daf-325edf5cab11");
  EXPECT_EQ(Text(MF_MT_AVG_BITRATE), "20332624-fb0d-4d9e-bd0d-cbf6786c102e");
  EXPECT_EQ(Text(MF_MT_MPEG2_PROFILE), "ad76a80b-2d5c-4e0b-b375-64e520137036");
  EXPECT_EQ(Text(MF_MT_DEFAULT_STRIDE), "644b4e48-1e02-4516-b0eb-c01ca9d49ac6");
  EXPECT_EQ(Text(MF_MT_ALL_SAMPLES_INDEPENDENT), "c9173739-5e56-461c-b713-46fb995cb95f");
  EXPECT_EQ(Text(MF_MT_MPEG_SEQUENCE_HEADER), "3c036de7-3ad0-4c9e-9216-ee6d6ac21cb3");
  EXPECT_EQ(Text(MF_TRANSFORM_ASYNC), "f81a699a-649a-497d-8c73-29f8fed6ad7a");
  EXPECT_EQ(Text(MF_TRANSFORM_ASYNC_UNLOCK), "e5666d6b-3422-4eb6-a421-da7db1f8e207");
  EXPECT_EQ(Text(MFT_FRIENDLY_NAME_Attribute), "314ffbae-5b41-4c95-9c19-4e7d586face3");
  EXPECT_EQ(Text(MFSampleExtension_CleanPoint), "9cdf01d8-a0f0-43ba-b077-eaa06cbd728a");
  EXPECT_EQ(Text(CODECAPI_AVEncCommonRateControlMode), "1c0608e9-370c-4710-8a58-cb6181c42423");
  EXPECT_EQ(Text(CODECAPI_AVEncCommonMeanBitRate), "f7222374-2144-4815-b550-a37f8e12ee52");
  EXPECT_EQ(Text(CODECAPI_AVEncMPVGOPSize), "95f31b26-95a4-41aa-9303-246a7fc6eef1");
  EXPECT_EQ(Text(CODECAPI_AVEncMPVDefaultBPictureCount), "8d390aac-dc5c-4200-b57f-814d04babab2");
  EXPECT_EQ(Text(CODECAPI_AVLowLatencyMode), "9c27891a-ed7a-40e1-88e8-b22727a024ee");
}

TEST(MediaFramework, ResultCodesAndConstants) {
  EXPECT_EQ(static_cast<unsigned>(MF_E_NOTACCEPTING), 0xC00D36B5u);
  EXPECT_EQ(static_cast<unsigned>(MF_E_TRANSFORM_NEED_MORE_INPUT), 0xC00D6D72u);
  EXPECT_EQ(static_cast<unsigned>(MF_E_TRANSFORM_STREAM_CHANGE), 0xC00D6D61u);
  EXPECT_EQ(static_cast<unsigned>(MF_E_NO_EVENTS_AVAILABLE), 0xC00D3E80u);
  EXPECT_EQ(static_cast<unsigned>(E_NOTIMPL), 0x80004001u);
  EXPECT_EQ(static_cast<unsigned>(E_FAIL), 0x80004005u);
  EXPECT_EQ(static_cast<unsigned>(MF_VERSION), 0x00020070u);
  EXPECT_EQ(static_cast<unsigned>(MFSTARTUP_LITE), 1u);
  EXPECT_EQ(static_cast<unsigned>(MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER), 0x44u);
  EXPECT_EQ(static_cast<unsigned>(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING), 0x10000000u);
  EXPECT_EQ(static_cast<unsigned>(MFT_MESSAGE_NOTIFY_START_OF_STREAM), 0x10000003u);
  EXPECT_EQ(static_cast<unsigned>(METransformNeedInput), 601u);
  EXPECT_EQ(static_cast<unsigned>(METransformHaveOutput), 602u);
  EXPECT_EQ(static_cast<unsigned>(MEError), 1u);
  EXPECT_EQ(static_cast<unsigned>(MF_EVENT_FLAG_NO_WAIT), 1u);
  EXPECT_EQ(static_cast<unsigned>(MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES), 0x300u);
  EXPECT_EQ(static_cast<unsigned>(VT_UI4), 19u);
  EXPECT_EQ(static_cast<unsigned>(VT_BOOL), 11u);
  EXPECT_EQ(VARIANT_TRUE, -1);
}

}  // namespace

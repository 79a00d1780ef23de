#include <gtest/gtest.h>
#include <mferror.h>
#include "standins.h"

TEST(BitRate, FollowsTheTableRowByRow) {
    struct Row {
        int width;
        int height;
        int fps;
        UINT bitRate;
    };
    const Row rows[] = {
        {640, 360, 30, 2000000},    {1280, 720, 30, 2000000},    {1280, 720, 60, 3870720},
        {1920, 1080, 30, 4354560},  {1920, 1080, 60, 8709120},   {1920, 1080, 120, 17418240},
        {3840, 2160, 60, 34836480}, {3840, 2160, 120, 60000000},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.bitRate, ComputeBitRate(row.width, row.height, row.fps))
            << row.width << "x" << row.height << " at " << row.fps;
    }
}

TEST(BitRate, LargestCropStaysAtTheUpperBound) {
    EXPECT_EQ(60000000u, ComputeBitRate(16384, 16384, 120));
    EXPECT_EQ(2000000u, ComputeBitRate(2, 2, 10));
}

// Reads attribute `index` of `type`, which must be `key`.
static void ExpectKeyAt(IMFMediaType* type, UINT32 index, REFGUID key, const char* name) {
    GUID found = {};
    ASSERT_EQ(S_OK, type->GetItemByIndex(index, &found, nullptr)) << name;
    EXPECT_TRUE(IsEqualGUID(key, found)) << name << " expected at position " << index;
}

static UINT32 Uint32Of(IMFMediaType* type, REFGUID key) {
    UINT32 value = 0xDEADBEEF;
    EXPECT_EQ(S_OK, type->GetUINT32(key, &value));
    return value;
}

static UINT64 Uint64Of(IMFMediaType* type, REFGUID key) {
    UINT64 value = 0;
    EXPECT_EQ(S_OK, type->GetUINT64(key, &value));
    return value;
}

static GUID GuidOf(IMFMediaType* type, REFGUID key) {
    GUID value = {};
    EXPECT_EQ(S_OK, type->GetGUID(key, &value));
    return value;
}

static HRESULT WINAPI FailMediaType(IMFMediaType** type) {
    *type = nullptr;
    return E_OUTOFMEMORY;
}

static int mediaTypesCreated;

// The second media type (the input type) cannot be created.
static HRESULT WINAPI FailSecondMediaType(IMFMediaType** type) {
    if (++mediaTypesCreated == 2)
        return FailMediaType(type);
    return realMfApi.MFCreateMediaType(type);
}

class Mp4WriterTest : public ::testing::Test {
  protected:
    SeamGuard guard;
    MediaFoundationGuard mediaFoundation;
    StandInSinkWriter sinkWriter;
    Mp4Writer writer = {};
    const wchar_t* errorText = L"untouched";

    void SetUp() override {
        mediaFoundation.Start();
        UseStandInSinkWriter(&sinkWriter);
    }
    void TearDown() override {
        IUnknown* slots[] = {writer.encodingParameters, writer.inputType, writer.outputType,
                             writer.attributes, writer.sinkWriter};
        for (IUnknown* slot : slots) {
            if (slot)
                slot->Release();
        }
        EXPECT_EQ(0, sinkWriter.references);
    }
    bool Open(int fps, int width, int height) {
        return OpenMp4Writer(&writer, L"C:\\temp\\quorvel-test.mp4", fps, width, height,
                             static_cast<UINT>(width) * 4, &errorText);
    }
};

TEST_F(Mp4WriterTest, OutputTypeCarriesTheEncoderSettingsInOrder) {
    ASSERT_TRUE(Open(30, 1000, 600));
    IMFMediaType* type = sinkWriter.outputType;
    ASSERT_NE(nullptr, type);
    UINT32 count = 0;
    type->GetCount(&count);
    EXPECT_EQ(8u, count);
    ExpectKeyAt(type, 0, MF_MT_MAJOR_TYPE, "MF_MT_MAJOR_TYPE");
    ExpectKeyAt(type, 1, MF_MT_SUBTYPE, "MF_MT_SUBTYPE");
    ExpectKeyAt(type, 2, MF_MT_AVG_BITRATE, "MF_MT_AVG_BITRATE");
    ExpectKeyAt(type, 3, MF_MT_INTERLACE_MODE, "MF_MT_INTERLACE_MODE");
    ExpectKeyAt(type, 4, MF_MT_MPEG2_PROFILE, "MF_MT_MPEG2_PROFILE");
    ExpectKeyAt(type, 5, MF_MT_FRAME_SIZE, "MF_MT_FRAME_SIZE");
    ExpectKeyAt(type, 6, MF_MT_FRAME_RATE, "MF_MT_FRAME_RATE");
    ExpectKeyAt(type, 7, MF_MT_PIXEL_ASPECT_RATIO, "MF_MT_PIXEL_ASPECT_RATIO");

    EXPECT_TRUE(IsEqualGUID(MFMediaType_Video, GuidOf(type, MF_MT_MAJOR_TYPE)));
    EXPECT_TRUE(IsEqualGUID(MFVideoFormat_H264, GuidOf(type, MF_MT_SUBTYPE)));
    EXPECT_EQ(2000000u, Uint32Of(type, MF_MT_AVG_BITRATE));
    EXPECT_EQ(2u, Uint32Of(type, MF_MT_INTERLACE_MODE));
    EXPECT_EQ(100u, Uint32Of(type, MF_MT_MPEG2_PROFILE));
    EXPECT_EQ((1000ull << 32) | 600ull, Uint64Of(type, MF_MT_FRAME_SIZE));
    EXPECT_EQ((30ull << 32) | 1ull, Uint64Of(type, MF_MT_FRAME_RATE));
    EXPECT_EQ((1ull << 32) | 1ull, Uint64Of(type, MF_MT_PIXEL_ASPECT_RATIO));
    UINT32 stride = 0;
    EXPECT_NE(S_OK, type->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride)) << "no stride on the output";
}

TEST_F(Mp4WriterTest, InputTypeDeclaresPackedTopDownRgb32) {
    ASSERT_TRUE(Open(30, 1000, 600));
    IMFMediaType* type = sinkWriter.inputType;
    ASSERT_NE(nullptr, type);
    UINT32 count = 0;
    type->GetCount(&count);
    EXPECT_EQ(7u, count);
    ExpectKeyAt(type, 0, MF_MT_MAJOR_TYPE, "MF_MT_MAJOR_TYPE");
    ExpectKeyAt(type, 1, MF_MT_SUBTYPE, "MF_MT_SUBTYPE");
    ExpectKeyAt(type, 2, MF_MT_INTERLACE_MODE, "MF_MT_INTERLACE_MODE");
    ExpectKeyAt(type, 3, MF_MT_DEFAULT_STRIDE, "MF_MT_DEFAULT_STRIDE");
    ExpectKeyAt(type, 4, MF_MT_FRAME_SIZE, "MF_MT_FRAME_SIZE");
    ExpectKeyAt(type, 5, MF_MT_FRAME_RATE, "MF_MT_FRAME_RATE");
    ExpectKeyAt(type, 6, MF_MT_PIXEL_ASPECT_RATIO, "MF_MT_PIXEL_ASPECT_RATIO");

    EXPECT_TRUE(IsEqualGUID(MFMediaType_Video, GuidOf(type, MF_MT_MAJOR_TYPE)));
    EXPECT_TRUE(IsEqualGUID(MFVideoFormat_RGB32, GuidOf(type, MF_MT_SUBTYPE)));
    EXPECT_EQ(2u, Uint32Of(type, MF_MT_INTERLACE_MODE));
    EXPECT_EQ(4000u, Uint32Of(type, MF_MT_DEFAULT_STRIDE));
    EXPECT_EQ((1000ull << 32) | 600ull, Uint64Of(type, MF_MT_FRAME_SIZE));
    EXPECT_EQ((30ull << 32) | 1ull, Uint64Of(type, MF_MT_FRAME_RATE));
    EXPECT_EQ((1ull << 32) | 1ull, Uint64Of(type, MF_MT_PIXEL_ASPECT_RATIO));
    UINT32 unexpected = 0;
    EXPECT_NE(S_OK, type->GetUINT32(MF_MT_AVG_BITRATE, &unexpected)) << "no bit rate";
    EXPECT_NE(S_OK, type->GetUINT32(MF_MT_MPEG2_PROFILE, &unexpected)) << "no profile";
}

TEST_F(Mp4WriterTest, BitRateAndRateFollowTheCropAndFps) {
    ASSERT_TRUE(Open(120, 1920, 1080));
    EXPECT_EQ(17418240u, Uint32Of(sinkWriter.outputType, MF_MT_AVG_BITRATE));
    EXPECT_EQ((120ull << 32) | 1ull, Uint64Of(sinkWriter.outputType, MF_MT_FRAME_RATE));
    EXPECT_EQ((1920ull << 32) | 1080ull, Uint64Of(sinkWriter.inputType, MF_MT_FRAME_SIZE));
    EXPECT_EQ(7680u, Uint32Of(sinkWriter.inputType, MF_MT_DEFAULT_STRIDE));
}

TEST_F(Mp4WriterTest, SinkWriterIsOpenedOnThePathAndBegun) {
    sinkWriter.streamIndexToGive = 3;
    ASSERT_TRUE(Open(30, 640, 360));
    EXPECT_EQ(nullptr, errorText);
    EXPECT_EQ(L"C:\\temp\\quorvel-test.mp4", sinkWriter.url);
    EXPECT_FALSE(sinkWriter.byteStreamGiven);
    EXPECT_EQ(1u, sinkWriter.hardwareTransforms);
    EXPECT_EQ(3u, writer.streamIndex);
    EXPECT_EQ(3u, sinkWriter.inputStreamIndex) << "the index AddStream gave";
    // Fragments with a key frame every second: a crash loses at most about a second.
    EXPECT_TRUE(MFTranscodeContainerType_FMPEG4 == sinkWriter.containerType);
    EXPECT_EQ(1, writer.fragmented);
    EXPECT_EQ(30u, sinkWriter.keyFrameInterval);
    EXPECT_EQ(std::vector<std::string>({"AddStream", "SetInputMediaType", "BeginWriting"}),
              sinkWriter.calls);
    UINT32 attributeCount = 0;
    writer.attributes->GetCount(&attributeCount);
    EXPECT_EQ(2u, attributeCount);

    // Where that sink is missing, the path's ending makes an ordinary MP4 writer.
    TearDown();
    writer = Mp4Writer();
    sinkWriter.refusesFragments = true;
    sinkWriter.calls.clear();
    ASSERT_TRUE(Open(60, 640, 360));
    EXPECT_TRUE(GUID_NULL == sinkWriter.containerType);
    EXPECT_EQ(0, writer.fragmented);
    EXPECT_EQ(60u, sinkWriter.keyFrameInterval);
    EXPECT_EQ(1u, sinkWriter.hardwareTransforms);
    EXPECT_EQ(3u, sinkWriter.calls.size());
}

TEST_F(Mp4WriterTest, OutputTypeThatCannotBeCreatedEndsSetUpNamingTheCall) {
    mfApi.MFCreateMediaType = FailMediaType;
    EXPECT_FALSE(Open(30, 640, 360));
    EXPECT_STREQ(L"MFCreateMediaType failed (0x8007000E)", errorText);
    EXPECT_EQ(nullptr, writer.outputType);
    EXPECT_TRUE(sinkWriter.calls.empty()) << "no stream is added without a type";
}

TEST_F(Mp4WriterTest, InputTypeThatCannotBeCreatedEndsSetUpNamingTheCall) {
    mediaTypesCreated = 0;
    mfApi.MFCreateMediaType = FailSecondMediaType;
    EXPECT_FALSE(Open(30, 640, 360));
    EXPECT_STREQ(L"MFCreateMediaType failed (0x8007000E)", errorText);
    EXPECT_NE(nullptr, writer.outputType);
    EXPECT_EQ(nullptr, writer.inputType);
    EXPECT_EQ(std::vector<std::string>({"AddStream"}), sinkWriter.calls);
}

TEST_F(Mp4WriterTest, RefusedStreamStopsBeforeTheInputType) {
    sinkWriter.addStreamResult = MF_E_INVALIDMEDIATYPE;
    EXPECT_FALSE(Open(30, 640, 360));
    // With hardware transforms, then without: each writer stops at the refusal.
    EXPECT_EQ(std::vector<std::string>({"AddStream", "AddStream"}), sinkWriter.calls);
    EXPECT_EQ(0u, sinkWriter.hardwareTransforms) << "the second writer has the software encoder";
}

TEST_F(Mp4WriterTest, EncoderThatRefusesNamesTheSizeAndRate) {
    // An 8K crop at 120 fps, refused at each of the three steps in turn.
    HRESULT StandInSinkWriter::*steps[] = {&StandInSinkWriter::addStreamResult,
                                           &StandInSinkWriter::setInputMediaTypeResult,
                                           &StandInSinkWriter::beginWritingResult};
    for (HRESULT StandInSinkWriter::*step : steps) {
        sinkWriter.addStreamResult = S_OK;
        sinkWriter.setInputMediaTypeResult = S_OK;
        sinkWriter.beginWritingResult = S_OK;
        sinkWriter.*step = MF_E_INVALIDMEDIATYPE;
        errorText = nullptr;
        EXPECT_FALSE(Open(120, 7680, 4320));
        ASSERT_NE(nullptr, errorText);
        EXPECT_STREQ(L"The H.264 encoder refused a 7680 \u00D7 4320 picture at 120 fps.", errorText)
            << sinkWriter.calls.back();
        TearDown();
        writer = Mp4Writer();
        sinkWriter.calls.clear();
    }
}

// The libx265 compression service for real: synthetic moving pictures go through a session,
// libavcodec's HEVC decoder decodes what comes out, and the pictures are compared with what
// went in; the bit rate is measured after a change of the target.

#include "platform/linux/compression/X265Compression.h"
#include "tests/support/HevcDecoder.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <ostream>
#include <random>
#include <thread>
#include <vector>

namespace df {
namespace {

constexpr int width = 640;
constexpr int height = 360;
constexpr int fps = 30;

struct Output {
    CompressionStatus status = 0;
    bool hasSample = false;
    bool notSync = false;
    Bytes data;
    std::vector<Bytes> parameterSets;
};

// Collects outputs from the session's thread.
struct Collector {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Output> outputs;

    void add(CompressionStatus status, const CompressedSample* sample) {
        Output out;
        out.status = status;
        if (sample) {
            out.hasSample = true;
            if (sample->attachments && !sample->attachments->empty())
                out.notSync = sample->attachments->front().notSync.value_or(false);
            if (sample->data) out.data = *sample->data;
            if (sample->formatDescription) {
                size_t count = sample->formatDescription->parameterSetCount().value_or(0);
                for (size_t i = 0; i < count; ++i)
                    out.parameterSets.push_back(sample->formatDescription->parameterSet(i).value_or(Bytes{}));
            }
        }
        std::lock_guard lock(mutex);
        outputs.push_back(std::move(out));
        changed.notify_all();
    }

    bool waitFor(size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(60), [&] { return outputs.size() >= count; });
    }
};

// A test card: colour bars, a grey ramp, fine black-and-white lines and a block that moves
// with the frame number; with `noise`, a region of fresh random pixels every frame so the
// content asks for more bits than any target here.
PixelBuffer drawCard(PixelFormat format, int frame, bool noise, std::mt19937& random) {
    PixelBuffer buffer = PixelBuffer::make(format, width, height);
    bool full = format == PixelFormat::i444;
    int cw = full ? width : width / 2;
    int ch = full ? height : height / 2;
    static const uint8_t bars[8][3] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                                       {106, 202, 222}, {81, 90, 240}, {41, 240, 110}, {16, 128, 128}};
    auto& y = buffer.planes[0];
    auto& cb = buffer.planes[1];
    auto& cr = buffer.planes[2];
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
            uint8_t value;
            int bar = col * 8 / width;
            if (row < height / 2) value = bars[bar][0];
            else if (row < height * 3 / 4) value = static_cast<uint8_t>(col * 255 / width);
            else value = ((col + frame) / 2 % 2) ? 230 : 20;
            int bx = (frame * 7) % (width - 80), by = height / 4 + (frame * 3) % (height / 2);
            if (col >= bx && col < bx + 64 && row >= by && row < by + 48) value = static_cast<uint8_t>(60 + (col ^ row) % 128);
            y.bytes[row * y.stride + col] = value;
        }
    }
    for (int row = 0; row < ch; ++row) {
        for (int col = 0; col < cw; ++col) {
            int bar = col * 8 / cw;
            bool top = row < ch / 2;
            cb.bytes[row * cb.stride + col] = top ? bars[bar][1] : 128;
            cr.bytes[row * cr.stride + col] = top ? bars[bar][2] : 128;
        }
    }
    if (noise) {
        std::uniform_int_distribution<int> byte(0, 255);
        for (int row = height / 2; row < height / 2 + 180; ++row)
            for (int col = 0; col < 320; ++col) y.bytes[row * y.stride + col] = static_cast<uint8_t>(byte(random));
    }
    return buffer;
}

// Decodes one sample in length-prefixed form with its parameter sets in front; true when a
// picture came out. A parameter set inside the sample fails the test.
bool decode(testsupport::HevcDecoder& decoder, const Output& out) {
    const auto units = testsupport::splitLengthPrefixed(out.data);
    if (!units) return false;
    for (auto unit : *units) {
        const int type = testsupport::hevcNalType(unit);
        EXPECT_FALSE(type >= testsupport::hevcVps && type <= testsupport::hevcPps) << "parameter set inside a sample";
    }
    const auto annexB = testsupport::toAnnexB(out.parameterSets, out.data);
    return annexB && decoder.decode(*annexB);
}

double psnr(const PixelBuffer& input, const AVFrame* frame) {
    std::vector<testsupport::PlaneView> planes;
    for (int plane = 0; plane < 3; ++plane) {
        const bool full = plane == 0 || input.format == PixelFormat::i444;
        planes.push_back({input.planes[plane].bytes.data(), input.planes[plane].stride, full ? width : width / 2,
                          full ? height : height / 2});
    }
    return testsupport::psnr(planes, frame);
}

struct Running {
    std::unique_ptr<VideoCompression> service = createX265Compression();
    Collector collector;
    std::shared_ptr<CompressionSession> session;

    /// The tests hand over many pictures at once; in real time the encoder would skip all but
    /// the newest of them, so only the test of that sets `realTime`.
    CompressionStatus start(const std::string& profile, int64_t bitRate, bool realTime = false) {
        auto created = service->createSession(CompressionSessionSettings{.width = width, .height = height},
                                              [this](CompressionStatus status, const CompressedSample* sample) {
                                                  collector.add(status, sample);
                                              });
        if (created.status != 0) return created.status;
        session = created.session;
        std::vector<CompressionProperty> properties = {
            {CompressionPropertyKey::profileLevel, profile},
            {CompressionPropertyKey::realTime, realTime},
            {CompressionPropertyKey::allowFrameReordering, false},
            {CompressionPropertyKey::maxKeyFrameInterval, int64_t{fps * 10}},
            {CompressionPropertyKey::expectedFrameRate, int64_t{fps}},
            {CompressionPropertyKey::averageBitRate, bitRate},
        };
        for (const auto& property : properties)
            if (CompressionStatus status = session->setProperty(property); status != 0) return status;
        return session->prepareToEncodeFrames();
    }
    ~Running() {
        if (session) session->invalidate();
    }
};

struct ProfileCase {
    const char* profile;
    PixelFormat format;
    // libavcodec names full-range 4:2:0 either way
    AVPixelFormat decoded;
    AVPixelFormat decodedFullRange;
    const char* name;
};

void PrintTo(const ProfileCase& c, std::ostream* os) { *os << c.name; }

class X265CompressionProfiles : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(X265CompressionProfiles, EveryFrameDecodesAtTheRightSizeAndColoursWithPsnrOver35) {
    const ProfileCase& param = GetParam();
    Running run;
    ASSERT_EQ(run.start(param.profile, 2'000'000), 0);  // 15 Mb/s at 1080p, scaled to the pixels here
    constexpr int frames = 45;
    std::mt19937 random(1);
    std::vector<PixelBuffer> inputs;
    for (int i = 0; i < frames; ++i) {
        inputs.push_back(drawCard(param.format, i, false, random));
        ASSERT_EQ(run.session->encodeFrame(std::make_shared<PixelBuffer>(inputs.back()), MediaTime{i, fps},
                                           FrameOptions{.forceKeyFrame = i == 30 ? std::optional(true) : std::nullopt}),
                  0);
    }
    ASSERT_TRUE(run.collector.waitFor(frames));
    run.session->invalidate();

    testsupport::HevcDecoder decoder;
    double worst = 99;
    for (int i = 0; i < frames; ++i) {
        const Output& out = run.collector.outputs[i];
        ASSERT_EQ(out.status, 0);
        ASSERT_TRUE(out.hasSample) << "frame " << i;
        EXPECT_EQ(out.parameterSets.size(), 3u);
        EXPECT_EQ(out.notSync, !(i == 0 || i == 30)) << "frame " << i;
        ASSERT_TRUE(decode(decoder, out)) << "frame " << i;
        const AVFrame* frame = decoder.frame();
        EXPECT_EQ(frame->width, width);
        EXPECT_EQ(frame->height, height);
        EXPECT_TRUE(frame->format == param.decoded || frame->format == param.decodedFullRange)
            << av_get_pix_fmt_name(AVPixelFormat(frame->format));
        EXPECT_EQ(frame->color_range, AVCOL_RANGE_JPEG);
        EXPECT_EQ(frame->colorspace, AVCOL_SPC_BT709);
        EXPECT_EQ(frame->color_primaries, AVCOL_PRI_BT709);
        EXPECT_EQ(frame->color_trc, AVCOL_TRC_BT709);
        worst = std::min(worst, psnr(inputs[i], frame));
    }
    EXPECT_GE(worst, 35.0);
    std::printf("%s: worst PSNR %.1f dB\n", param.name, worst);
    RecordProperty("worst_psnr", std::to_string(worst));
}

INSTANTIATE_TEST_SUITE_P(Profiles, X265CompressionProfiles,
                         ::testing::Values(ProfileCase{"HEVC_Main_AutoLevel", PixelFormat::i420, AV_PIX_FMT_YUV420P,
                                                       AV_PIX_FMT_YUVJ420P, "Main420"},
                                           ProfileCase{"HEVC_Main444_AutoLevel", PixelFormat::i444, AV_PIX_FMT_YUV444P,
                                                       AV_PIX_FMT_YUVJ444P, "Main444"}),
                         [](const ::testing::TestParamInfo<ProfileCase>& info) { return std::string(info.param.name); });

TEST(X265Compression, InRealTimeAPictureANewerOneWaitsBehindIsSkippedKeepingItsKeyframe) {
    Running run;
    ASSERT_EQ(run.start("HEVC_Main_AutoLevel", 2'000'000, true), 0);
    constexpr int frames = 20;
    std::mt19937 random(3);
    std::vector<std::shared_ptr<PixelBuffer>> pictures;  // drawn first: handed over at once
    for (int i = 0; i < frames; ++i)
        pictures.push_back(std::make_shared<PixelBuffer>(drawCard(PixelFormat::i420, i, false, random)));
    for (int i = 0; i < frames; ++i) {
        ASSERT_EQ(run.session->encodeFrame(pictures[static_cast<size_t>(i)], MediaTime{i, fps},
                                           FrameOptions{.forceKeyFrame = i == 2 ? std::optional(true) : std::nullopt}),
                  0);
    }
    ASSERT_TRUE(run.collector.waitFor(frames));
    run.session->invalidate();

    // One output per picture, in order: the skipped ones without a sample, the newest encoded.
    const auto& outputs = run.collector.outputs;
    ASSERT_EQ(outputs.size(), size_t{frames});
    const auto encoded = std::ranges::count_if(outputs, [](const Output& o) { return o.hasSample; });
    EXPECT_LT(encoded, frames);
    EXPECT_TRUE(outputs.back().hasSample);
    testsupport::HevcDecoder decoder;
    bool checkedKeyframe = false;
    for (int i = 0; i < frames; ++i) {
        EXPECT_EQ(outputs[i].status, 0);
        if (!outputs[i].hasSample) continue;
        EXPECT_TRUE(decode(decoder, outputs[i])) << "frame " << i;
        // The first picture encoded from picture 2 on carries the keyframe asked for with it
        // (or is the stream's first).
        if (i >= 2 && !checkedKeyframe) {
            EXPECT_FALSE(outputs[i].notSync) << "picture " << i << " lost the keyframe asked for with picture 2";
            checkedKeyframe = true;
        }
    }
}

TEST(X265Compression, NewAverageBitRateHoldsInTheFirstTwoSecondWindowWithoutKeyframe) {
    Running run;
    ASSERT_EQ(run.start("HEVC_Main_AutoLevel", 8'000'000), 0);
    std::mt19937 random(2);
    int submitted = 0;
    auto submit = [&](int count) {
        for (int i = 0; i < count; ++i, ++submitted)
            ASSERT_EQ(run.session->encodeFrame(std::make_shared<PixelBuffer>(drawCard(PixelFormat::i420, submitted, true, random)),
                                               MediaTime{submitted, fps}, FrameOptions{}),
                      0);
        ASSERT_TRUE(run.collector.waitFor(static_cast<size_t>(submitted)));
    };
    submit(2 * fps);
    ASSERT_EQ(run.session->setProperty({CompressionPropertyKey::averageBitRate, int64_t{2'000'000}}), 0);
    submit(2 * fps);
    run.session->invalidate();

    auto windowBits = [&](int first) {
        double bits = 0;
        for (int i = first; i < first + 2 * fps; ++i) {
            const Output& out = run.collector.outputs[i];
            EXPECT_TRUE(out.hasSample);
            if (i > 0) {
                EXPECT_TRUE(out.notSync) << "keyframe at " << i;
            }
            bits += out.data.size() * 8.0;
        }
        return bits / 2;
    };
    double before = windowBits(0);
    double after = windowBits(2 * fps);
    RecordProperty("rate_before", std::to_string(before));
    RecordProperty("rate_after", std::to_string(after));
    std::printf("bit rate: %.2f Mb/s at 8 Mb/s, %.2f Mb/s in the first window at 2 Mb/s\n", before / 1e6, after / 1e6);
    EXPECT_NEAR(after, 2'000'000, 400'000);
}

TEST(X265Compression, KeyframesFollowTheIntervalAndAWrongFrameGetsAFailureInOrder) {
    Running run;
    ASSERT_EQ(run.start("HEVC_Main_AutoLevel", 2'000'000), 0);
    ASSERT_EQ(run.session->setProperty({CompressionPropertyKey::maxKeyFrameIntervalDuration, 0.5}), 0);
    std::mt19937 random(5);
    constexpr int frames = 40;
    for (int i = 0; i < frames; ++i) {
        PixelFormat format = i == 20 ? PixelFormat::i444 : PixelFormat::i420;  // not what the session encodes
        ASSERT_EQ(run.session->encodeFrame(std::make_shared<PixelBuffer>(drawCard(format, i, false, random)),
                                           MediaTime{i, fps}, FrameOptions{}),
                  0);
    }
    ASSERT_TRUE(run.collector.waitFor(frames));
    run.session->invalidate();
    std::vector<int> keyframes;
    for (int i = 0; i < frames; ++i) {
        const Output& out = run.collector.outputs[i];
        if (i == 20) {
            EXPECT_NE(out.status, 0);
            EXPECT_FALSE(out.hasSample);
            continue;
        }
        ASSERT_TRUE(out.hasSample) << i;
        if (!out.notSync) keyframes.push_back(i);
    }
    EXPECT_EQ(keyframes, (std::vector<int>{0, 15, 31}));  // every 15 pictures encoded
}

TEST(X265Compression, InvalidateFromTheOutputHandlerEndsTheSession) {
    auto service = createX265Compression();
    std::mutex mutex;
    int calls = 0;
    bool onCallerThread = false;
    std::shared_ptr<CompressionSession> session;
    std::thread::id caller = std::this_thread::get_id();
    auto created = service->createSession(
        CompressionSessionSettings{.width = width, .height = height},
        [&](CompressionStatus, const CompressedSample*) {
            std::lock_guard lock(mutex);
            ++calls;
            onCallerThread = onCallerThread || std::this_thread::get_id() == caller;
            session->invalidate();
            session.reset();  // the last reference, released on the output thread
        });
    ASSERT_EQ(created.status, 0);
    std::shared_ptr<CompressionSession> kept = created.session;
    {
        std::lock_guard lock(mutex);
        session = created.session;
    }
    ASSERT_EQ(kept->setProperty({CompressionPropertyKey::profileLevel, std::string("HEVC_Main_AutoLevel")}), 0);
    std::mt19937 random(6);
    for (int i = 0; i < 5; ++i)
        kept->encodeFrame(std::make_shared<PixelBuffer>(drawCard(PixelFormat::i420, i, false, random)), MediaTime{i, fps},
                          FrameOptions{});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_NE(kept->encodeFrame(std::make_shared<PixelBuffer>(PixelBuffer::make(PixelFormat::i420, width, height)),
                                MediaTime{9, fps}, FrameOptions{}),
              0);
    EXPECT_NE(kept->setProperty({CompressionPropertyKey::averageBitRate, int64_t{1'000'000}}), 0);
    kept.reset();
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(onCallerThread);
}

}  // namespace
}  // namespace df

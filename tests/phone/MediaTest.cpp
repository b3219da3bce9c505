// The client's media path on real data: the agent's frame form rebuilt into Annex B and
// decoded by libavcodec, audio packets from real encoders decoded and written as WAV.

#include "tools/phone/AudioDecoder.h"
#include "tools/phone/HevcDecoder.h"
#include "tools/phone/HevcStream.h"
#include "tools/phone/MediaReceiver.h"
#include "tools/phone/StreamStats.h"
#include "tests/phone/FixtureStream.h"

#include <gtest/gtest.h>

#include "protocol/MediaPayloads.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}
#include <opus/opus.h>
#include <png.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <utility>

namespace df::phone {
namespace {

namespace fs = std::filesystem;

using namespace testsupport;

std::vector<int16_t> tone(int frames, int offset);

const fs::path kFixture = fixturePath();

TEST(HevcStreamTest, SplitsLengthPrefixedFramesAndRejectsBrokenOnes) {
    const Bytes two = {0, 0, 0, 2, 0x26, 0x01, 0, 0, 0, 1, 0x02};
    const auto nals = splitLengthPrefixed(two);
    ASSERT_TRUE(nals);
    ASSERT_EQ(nals->size(), 2u);
    EXPECT_EQ(hevcNalType((*nals)[0]), 19);  // IDR_W_RADL
    EXPECT_TRUE(isIrapNal((*nals)[0]));

    const std::vector<Bytes> broken = {
        {0, 0, 0, 5, 1, 2},        // length runs past the end
        {0, 0, 0, 0},              // empty NAL unit
        {0, 0, 0, 1, 0x02, 0, 0},  // trailing bytes that are no whole prefix
        {0, 0, 1},                 // a 3-byte start code is not a length prefix
    };
    for (const auto& b : broken) {
        EXPECT_FALSE(splitLengthPrefixed(b)) << testing::PrintToString(b);
        EXPECT_FALSE(checkFrame(b, false).wellFormed);
        EXPECT_FALSE(AnnexBWriter().frame(b, false));
    }
}

TEST(HevcStreamTest, KeyframeFlagIsCheckedAgainstTheNalTypes) {
    const Bytes idr = {0, 0, 0, 3, 0x26, 0x01, 0xAF};    // type 19
    const Bytes trail = {0, 0, 0, 3, 0x02, 0x01, 0xD0};  // type 1
    EXPECT_TRUE(checkFrame(idr, true).flagMatches);
    EXPECT_FALSE(checkFrame(idr, false).flagMatches);
    EXPECT_TRUE(checkFrame(trail, false).flagMatches);
    EXPECT_FALSE(checkFrame(trail, true).flagMatches);
}

TEST(HevcStreamTest, KeyframesCarryTheAnnouncedParameterSets) {
    AnnexBWriter writer;
    const Bytes idr = {0, 0, 0, 3, 0x26, 0x01, 0xAF};
    EXPECT_FALSE(writer.frame(idr, true)) << "a keyframe before videoConfig cannot be decoded";
    writer.setParameterSets({{0x40, 0x01}, {0x42, 0x01}, {0x44, 0x01}});
    const Bytes expected = {0, 0, 0, 1, 0x40, 0x01, 0, 0, 0, 1, 0x42, 0x01,
                            0, 0, 0, 1, 0x44, 0x01, 0, 0, 0, 1, 0x26, 0x01, 0xAF};
    EXPECT_EQ(writer.frame(idr, true), expected);
    const Bytes trail = {0, 0, 0, 3, 0x02, 0x01, 0xD0};
    EXPECT_EQ(writer.frame(trail, false), (Bytes{0, 0, 0, 1, 0x02, 0x01, 0xD0}));
}

TEST(HevcDecoderTest, RebuiltStreamDecodesToTheEncodedPictures) {
    const auto stream = agentFormOf(readAll(kFixture));
    ASSERT_EQ(stream.frames.size(), 3u);
    ASSERT_FALSE(stream.sets.vps.empty());
    EXPECT_TRUE(stream.frames[0].second);
    EXPECT_FALSE(stream.frames[1].second);

    AnnexBWriter writer;
    writer.setParameterSets(stream.sets);
    HevcDecoder decoder;
    Bytes file;
    for (const auto& [frame, key] : stream.frames) {
        EXPECT_TRUE(checkFrame(frame, key).flagMatches);
        const auto annexB = writer.frame(frame, key);
        ASSERT_TRUE(annexB);
        file.insert(file.end(), annexB->begin(), annexB->end());
        EXPECT_EQ(decoder.decode(*annexB), 1) << "low delay: one picture per access unit";
    }
    EXPECT_EQ(decoder.picturesDecoded(), 3);
    EXPECT_EQ(decoder.errors(), 0);

    // The last picture: the square has moved to x 32..47; the ramp is grey Y = 4x.
    const RgbImage& img = decoder.lastPicture();
    ASSERT_EQ(img.width, 64);
    ASSERT_EQ(img.height, 64);
    auto luma = [&](int x, int y) {
        const uint8_t* p = &img.pixels[(static_cast<size_t>(y) * 64 + x) * 3];
        return (p[0] * 299 + p[1] * 587 + p[2] * 114) / 1000;
    };
    EXPECT_GT(luma(40, 24), 200);                       // inside the square
    EXPECT_LT(luma(20, 24), luma(40, 24) - 60);         // where it was two pictures ago
    EXPECT_LT(luma(2, 50), luma(60, 50));               // the ramp rises to the right

    // The whole file written by the client decodes again from its start.
    HevcDecoder again;
    EXPECT_EQ(again.decodeStream(file), 3);
    EXPECT_EQ(again.errors(), 0);
}

// Configs come on the control connection and frames on the media channel, so frames can
// overtake their config; they wait for it instead of being lost.
TEST(MediaReceiverTest, FramesThatOvertakeTheirConfigAreUsedWhenItArrives) {
    const auto stream = agentFormOf(readAll(kFixture));
    const fs::path dir = fs::path(testing::TempDir());
    MediaOptions options;
    options.hevcPath = (dir / "receiver.hevc").string();
    options.snapshotPath = (dir / "receiver.png").string();
    options.wavPath = (dir / "receiver.wav").string();
    std::vector<int> shownWidths;  // each picture is handed on as it comes out (the viewer)
    options.onPicture = [&](const RgbImage& p) { shownWidths.push_back(p.width); };
    double clock = 1.0;  // each reading is a millisecond later: every decode takes 1 ms
    options.clock = [&] { return std::exchange(clock, clock + 0.001); };
    std::vector<std::string> log;
    MediaReceiver receiver(options, 0.0, [&](const std::string& l) { log.push_back(l); });
    receiver.stats().heartbeatRoundTrip(2.0);

    double pts = 0;
    for (const auto& [frame, key] : stream.frames) {
        const Bytes wire = VideoFramePacket::wireEncode(pts, key, frame.data(), frame.size());
        EXPECT_TRUE(receiver.videoFrame(std::span(wire).subspan(5), pts));
        pts += 1.0 / 30;
    }
    int err = 0;
    OpusEncoder* enc = opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &err);
    for (int p = 0; p < 5; ++p) {
        const auto in = tone(960, p * 960);
        uint8_t packet[4000];
        const int n = opus_encode(enc, in.data(), 960, packet, sizeof packet);
        EXPECT_TRUE(receiver.audioFrame(AudioFramePacket(p * 0.02, Bytes(packet, packet + n)).encoded(), 0.1));
    }
    opus_encoder_destroy(enc);
    EXPECT_EQ(receiver.decoder()->picturesDecoded(), 0);

    receiver.videoConfig(VideoConfig(stream.sets.vps, stream.sets.sps, stream.sets.pps, 64, 64));
    receiver.audioConfig(AudioConfig("opus", 48000, 2));
    EXPECT_EQ(receiver.decoder()->picturesDecoded(), 3);
    EXPECT_EQ(shownWidths, (std::vector<int>{64, 64, 64}));
    EXPECT_EQ(receiver.audioSamplesDecoded(), 5 * 960);
    EXPECT_EQ(receiver.stats().badFrames(), 0);
    // The wait for the config is part of the way to the glass: the first frame arrived at 0
    // and was out of the decoder at 1.001, plus half the 2 ms round trip.
    const std::string totals = receiver.stats().totals(2.0);
    EXPECT_NE(totals.find(" pictures=3 decoded_fps=1.50 decode_ms=1.00 decode_max_ms=1.00 "), std::string::npos)
        << totals;
    EXPECT_NE(totals.find(" g2g_est_max_ms=1002.00"), std::string::npos) << totals;
    EXPECT_FALSE(receiver.finish()) << "snapshot, stream and WAV all written";
    EXPECT_TRUE(log.empty()) << log.front();
    EXPECT_EQ(fs::file_size(options.wavPath), 44u + 5 * 960 * 4);
    HevcDecoder again;
    EXPECT_EQ(again.decodeStream(readAll(options.hevcPath)), 3);
}

TEST(HevcDecoderTest, GarbageIsAnErrorNotACrash) {
    HevcDecoder decoder;
    Bytes junk(300);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 37 + 11);
    junk[0] = 0; junk[1] = 0; junk[2] = 0; junk[3] = 1;
    decoder.decode(junk);
    decoder.flush();
    EXPECT_EQ(decoder.picturesDecoded(), 0);
    EXPECT_EQ(decoder.lastPicture().width, 0);
}

TEST(PngTest, WritesAReadablePicture) {
    RgbImage img{3, 2, Bytes(18)};
    for (size_t i = 0; i < img.pixels.size(); ++i) img.pixels[i] = static_cast<uint8_t>(i * 10);
    const fs::path path = fs::path(testing::TempDir()) / "phone-snapshot.png";
    ASSERT_TRUE(writePng(path.string(), img));

    png_image read{};
    read.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&read, path.c_str()));
    read.format = PNG_FORMAT_RGB;
    Bytes back(PNG_IMAGE_SIZE(read));
    ASSERT_TRUE(png_image_finish_read(&read, nullptr, back.data(), 0, nullptr));
    EXPECT_EQ(read.width, 3u);
    EXPECT_EQ(read.height, 2u);
    EXPECT_EQ(back, img.pixels);

    std::string error;
    EXPECT_FALSE(writePng(path.string(), RgbImage{}, &error));
    EXPECT_FALSE(writePng("/nonexistent-dir/x.png", img, &error));
    EXPECT_FALSE(error.empty());
}

// A 1 kHz stereo tone, 48 kHz, as 16-bit samples.
std::vector<int16_t> tone(int frames, int offset) {
    std::vector<int16_t> pcm(static_cast<size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        const double v = 0.5 * std::sin(2 * std::numbers::pi * 1000.0 * (i + offset) / 48000.0);
        pcm[2 * i] = pcm[2 * i + 1] = static_cast<int16_t>(v * 32767);
    }
    return pcm;
}

// Strength of 1 kHz in the signal's left channel relative to its total power (Goertzel).
double toneShare(const std::vector<int16_t>& pcm, size_t skipFrames) {
    const double w = 2 * std::numbers::pi * 1000.0 / 48000.0;
    double s1 = 0, s2 = 0, energy = 0;
    size_t n = 0;
    for (size_t i = skipFrames; 2 * i < pcm.size(); ++i, ++n) {
        const double x = pcm[2 * i] / 32768.0;
        const double s = x + 2 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s;
        energy += x * x;
    }
    const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
    return energy > 0 ? power / (energy * static_cast<double>(n) / 2) : 0;
}

TEST(AudioDecoderTest, OpusPacketsFromLibopusDecodeToTheTone) {
    int err = 0;
    OpusEncoder* enc = opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &err);
    ASSERT_EQ(err, OPUS_OK);
    std::string why;
    auto dec = AudioDecoder::create("opus", 48000, 2, std::nullopt, &why);
    ASSERT_TRUE(dec) << why;
    std::vector<int16_t> out;
    for (int p = 0; p < 25; ++p) {
        const auto in = tone(960, p * 960);
        uint8_t packet[4000];
        const int n = opus_encode(enc, in.data(), 960, packet, sizeof packet);
        ASSERT_GT(n, 0);
        ASSERT_TRUE(dec->decode({packet, static_cast<size_t>(n)}, out));
    }
    opus_encoder_destroy(enc);
    EXPECT_EQ(out.size(), 25u * 960 * 2);
    EXPECT_GT(toneShare(out, 960), 0.9);
    const uint8_t bad[] = {0xFF, 0xFF, 0xFF};
    std::vector<int16_t> none;
    EXPECT_FALSE(dec->decode(bad, none));
}

TEST(AudioDecoderTest, AacLcPacketsFromLibavcodecDecodeWithTheirCookie) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) GTEST_SKIP() << "libavcodec has no AAC encoder";
    AVCodecContext* enc = avcodec_alloc_context3(codec);
    enc->sample_rate = 48000;
    enc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    enc->bit_rate = 128000;
    enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // the AudioSpecificConfig is the cookie
    av_channel_layout_default(&enc->ch_layout, 2);
    ASSERT_EQ(avcodec_open2(enc, codec, nullptr), 0);
    const Bytes cookie(enc->extradata, enc->extradata + enc->extradata_size);
    ASSERT_FALSE(cookie.empty());

    std::string why;
    auto dec = AudioDecoder::create("aac-lc", 48000, 2, cookie, &why);
    ASSERT_TRUE(dec) << why;
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    std::vector<int16_t> out;
    int packets = 0;
    for (int f = 0; f < 40; ++f) {
        frame->nb_samples = 1024;
        frame->format = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_default(&frame->ch_layout, 2);
        ASSERT_EQ(av_frame_get_buffer(frame, 0), 0);
        const auto in = tone(1024, f * 1024);
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < 1024; ++i)
                reinterpret_cast<float*>(frame->data[c])[i] = in[2 * i] / 32768.0f;
        ASSERT_EQ(avcodec_send_frame(enc, frame), 0);
        av_frame_unref(frame);
        while (avcodec_receive_packet(enc, pkt) == 0) {
            ASSERT_TRUE(dec->decode({pkt->data, static_cast<size_t>(pkt->size)}, out));
            ++packets;
            av_packet_unref(pkt);
        }
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
    ASSERT_GT(packets, 30);
    EXPECT_EQ(out.size(), static_cast<size_t>(packets) * 1024 * 2);
    EXPECT_GT(toneShare(out, 4096), 0.9);
}

TEST(AudioDecoderTest, UnusableConfigurationsAreRefusedWithAReason) {
    struct Case {
        std::string codec;
        int rate;
        int channels;
        std::optional<Bytes> cookie;
    };
    const std::vector<Case> cases = {
        {"mp3", 48000, 2, std::nullopt},
        {"opus", 48000, 0, std::nullopt},
        {"opus", 44100, 2, std::nullopt},         // libopus cannot decode at 44.1 kHz
        {"aac-eld", 48000, 2, std::nullopt},      // ELD needs the encoder's configuration
        {"aac-lc", 48000, 2, Bytes{0xFF, 0xFF}},  // not an AudioSpecificConfig
        // Elementary-stream descriptors: longer than the cookie; without a decoder configuration.
        {"aac-lc", 48000, 2, Bytes{0x03, 0x80, 0x80, 0x80, 0x7F, 0x00, 0x00, 0x00}},
        {"aac-lc", 48000, 2, Bytes{0x03, 0x06, 0x00, 0x00, 0x00, 0x06, 0x01, 0x02}},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_FALSE(AudioDecoder::create(c.codec, c.rate, c.channels, c.cookie, &why)) << c.codec;
        EXPECT_FALSE(why.empty()) << c.codec;
    }
    // AAC-LC without a cookie gets the standard configuration for its rate and channels.
    EXPECT_TRUE(AudioDecoder::create("aac-lc", 48000, 2, std::nullopt));
}

TEST(WavWriterTest, HeaderStatesWhatWasWritten) {
    const fs::path path = fs::path(testing::TempDir()) / "phone-audio.wav";
    {
        WavWriter wav;
        ASSERT_TRUE(wav.open(path.string(), 48000, 2));
        const std::vector<int16_t> s = {1, -1, 256, -32768};
        ASSERT_TRUE(wav.write(s));
        ASSERT_TRUE(wav.write(s));
        EXPECT_TRUE(wav.close());
    }
    const Bytes b = readAll(path);
    ASSERT_EQ(b.size(), 44u + 16);
    auto u32 = [&](size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; };
    auto u16 = [&](size_t at) { return b[at] | b[at + 1] << 8; };
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(u32(4), 36u + 16);
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(u16(20), 1);        // PCM
    EXPECT_EQ(u16(22), 2);        // channels
    EXPECT_EQ(u32(24), 48000u);   // rate
    EXPECT_EQ(u32(28), 192000u);  // byte rate
    EXPECT_EQ(u16(32), 4);        // block align
    EXPECT_EQ(u16(34), 16);       // bits
    EXPECT_EQ(u32(40), 16u);      // data size
    EXPECT_EQ((Bytes{b[44], b[45], b[46], b[47], b[48], b[49], b[50], b[51]}),
              (Bytes{1, 0, 0xFF, 0xFF, 0, 1, 0, 0x80}));
}

TEST(StreamStatsTest, PerSecondLinesAndTotals) {
    StreamStats stats(100.0);
    // Second 1: 30 frames 1/30 s apart by pts, arriving with 1 ms of alternating lateness.
    for (int i = 0; i < 30; ++i) {
        const double pts = i / 30.0;
        stats.videoFrame(100.0 + pts + (i % 2 ? 0.001 : 0.0), pts, 1000, i == 0);
    }
    stats.audioPacket(100.5, 7.0, 500);
    // Decoded pictures: the glass-to-glass estimate waits for a round trip to be known.
    stats.pictureDecoded(100.1, 100.101, 100.103);
    stats.heartbeatRoundTrip(2.5);
    stats.pictureDecoded(100.2, 100.2, 100.204);
    auto lines = stats.tick(100.99);
    EXPECT_TRUE(lines.empty());
    lines = stats.tick(102.5);  // the first second and an empty second
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "stats t=1 frames=30 keyframes=1 video_kbps=240.0 audio_kbps=4.0 audio_pps=1 jitter_ms=1.00 "
              "hb_rtt_ms=2.50 decoded_fps=2 decode_ms=3.00 g2g_est_ms=5.25");
    EXPECT_EQ(lines[1],
              "stats t=2 frames=0 keyframes=0 video_kbps=0.0 audio_kbps=0.0 audio_pps=0 jitter_ms=- "
              "hb_rtt_ms=2.50 decoded_fps=0 decode_ms=- g2g_est_ms=-");
    stats.badFrame();
    EXPECT_EQ(stats.totals(104.0),
              "total seconds=4.00 frames=30 keyframes=1 bad_frames=1 video_bytes=30000 "
              "video_kbps=60.0 fps=7.50 audio_packets=1 audio_bytes=500 audio_kbps=1.0 audio_pps=0.25 "
              "audio_gaps=- audio_step_max_ms=- jitter_ms=1.00 jitter_max_ms=1.00 heartbeats=1 hb_rtt_ms=2.50 hb_rtt_max_ms=2.50 "
              "pictures=2 decoded_fps=0.50 decode_ms=3.00 decode_max_ms=4.00 g2g_est_ms=5.25 g2g_est_max_ms=5.25");
}

TEST(StreamStatsTest, AudioGapsAreStepsOfMoreThanTwoPackets) {
    StreamStats stats(0.0);
    stats.audioStream(0.02);
    // Packets from one capture buffer share its time (step 0); a step of two packets is the
    // longest without a loss.
    for (const double pts : {1.0, 1.02, 1.04, 1.04, 1.08, 1.13, 1.15}) stats.audioPacket(pts, pts, 100);
    stats.audioStream(0.02);  // a new capture starts its own times: no gap
    for (const double pts : {50.0, 50.02}) stats.audioPacket(pts, pts, 100);
    EXPECT_EQ(stats.audioGaps(), 1);
    EXPECT_NE(stats.totals(2.0).find(" audio_pps=4.50 audio_gaps=1 audio_step_max_ms=50.0 "), std::string::npos)
        << stats.totals(2.0);
}

}  // namespace
}  // namespace df::phone

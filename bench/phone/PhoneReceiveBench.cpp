// The reference client's per-frame cost on the receive path, which must stay far below a
// frame interval so that the client never limits what a benchmark of the agent measures:
// checking a video frame (length prefixes, keyframe flag), rebuilding its Annex B form, and
// the whole MediaReceiver path without decoding.

#include "protocol/MediaPayloads.h"
#include "tools/phone/HevcStream.h"
#include "tools/phone/MediaReceiver.h"

#include <benchmark/benchmark.h>

namespace {

using namespace df;
using namespace df::phone;

// A P frame of `bytes` split into four slice NAL units (type 1), as an encoder might emit.
Bytes makeFrame(size_t bytes) {
    Bytes out;
    const size_t slice = bytes / 4;
    for (int s = 0; s < 4; ++s) {
        const auto n = static_cast<uint32_t>(slice);
        out.insert(out.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
        out.push_back(0x02);
        out.push_back(0x01);
        for (size_t i = 2; i < slice; ++i) out.push_back(static_cast<uint8_t>(i * 31 + 7));
    }
    return out;
}

void BM_CheckAndRebuildFrame(benchmark::State& state) {
    const Bytes frame = makeFrame(static_cast<size_t>(state.range(0)));
    AnnexBWriter writer;
    writer.setParameterSets({{0x40, 0x01}, {0x42, 0x01}, {0x44, 0x01}});
    for (auto _ : state) {
        benchmark::DoNotOptimize(checkFrame(frame, false));
        auto annexB = writer.frame(frame, false);
        benchmark::DoNotOptimize(annexB);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CheckAndRebuildFrame)->Arg(20 << 10)->Arg(200 << 10)->Arg(2 << 20);

void BM_MediaReceiverWithoutDecoding(benchmark::State& state) {
    const Bytes frame = makeFrame(static_cast<size_t>(state.range(0)));
    const Bytes payload = VideoFramePacket(0.0, false, frame).encoded();
    MediaOptions options;
    options.decodeVideo = false;
    MediaReceiver receiver(options, 0.0, [](const std::string&) {});
    receiver.videoConfig(VideoConfig({0x40, 0x01}, {0x42, 0x01}, {0x44, 0x01}, 1920, 1080));
    double now = 0;
    for (auto _ : state) {
        now += 1.0 / 60;
        benchmark::DoNotOptimize(receiver.videoFrame(payload, now));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_MediaReceiverWithoutDecoding)->Arg(20 << 10)->Arg(200 << 10);

}  // namespace

// Throughput of the wire parser, cost of the control-message codec, the video frame
// fast path against a plain copy of the same bytes, and the device authentication that
// each side does once per connection.

#include "protocol/ControlMessage.h"
#include "protocol/DeviceAuth.h"
#include "protocol/MediaPayloads.h"
#include "protocol/WireFrame.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstring>

namespace df {
namespace {

Bytes streamOfFrames(size_t frameSize, size_t totalSize) {
    Bytes stream;
    stream.reserve(totalSize + frameSize + kWireHeaderSize);
    const Bytes payload(frameSize, 0xA5);
    while (stream.size() < totalSize) {
        const Bytes frame = WireFrame::encode(WireKind::videoFrame, payload);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    return stream;
}

// 64 KiB frames arriving in 1 MiB reads: frames straddle read boundaries as on a socket.
// Each read's frames are dropped before the next read, as a session consumes them.
void parseLargeFrames(benchmark::State& state) {
    const Bytes stream = streamOfFrames(64 * 1024, 64 * 1024 * 1024);
    constexpr size_t kRead = 1024 * 1024;
    size_t frames = 0;
    for (auto _ : state) {
        WireParser parser;
        for (size_t at = 0; at < stream.size(); at += kRead) {
            auto got = parser.append(stream.data() + at, std::min(kRead, stream.size() - at));
            frames += got.size();
            benchmark::DoNotOptimize(got.data());
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["frames"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

// With glibc's default trim threshold, the megabyte of payloads freed after each read is
// handed back to the kernel and faulted in again by the next read; on a VM the page faults
// cost far more than the copy. Both figures are reported.
void BM_ParseLargeFramesInMegabyteReads(benchmark::State& state) { parseLargeFrames(state); }
BENCHMARK(BM_ParseLargeFramesInMegabyteReads)->Unit(benchmark::kMillisecond);

void BM_ParseLargeFramesInMegabyteReads_RetainedHeap(benchmark::State& state) {
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
    parseLargeFrames(state);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024);
}
BENCHMARK(BM_ParseLargeFramesInMegabyteReads_RetainedHeap)->Unit(benchmark::kMillisecond);

// One frame (a typical 200-byte control message) arriving a byte at a time.
void BM_ParseFrameByteAtATime(benchmark::State& state) {
    const Bytes frame = WireFrame::encode(WireKind::control, Bytes(static_cast<size_t>(state.range(0)), 'x'));
    for (auto _ : state) {
        WireParser parser;
        size_t frames = 0;
        for (uint8_t byte : frame) frames += parser.append(&byte, 1).size();
        benchmark::DoNotOptimize(frames);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(BM_ParseFrameByteAtATime)->Arg(200)->Arg(64 * 1024);

ControlMessage pointerMessage() {
    return PointerEvent(PointerEvent::Kind::move, 1.5, -0.25, 0.4321, 0.8765, 1234.5678);
}

ControlMessage fullHelloAck() {
    std::vector<DisplayInfo> displays{DisplayInfo(69733382, "Built-in Display", 1512, 982, true),
                                      DisplayInfo(69733383, "External Monitor", 2560, 1440, false),
                                      DisplayInfo(69733384, "Brevox Display", 1920, 1080, false)};
    return HelloAck("Ada's Workstation", 1512, 982, true, displays, Bytes(16, 0x5C), "3c:22:fb:12:34:56",
                    std::vector<std::string>{"cstats", "quic"}, uint16_t{52526});
}

void encodeBench(benchmark::State& state, const ControlMessage& message) {
    for (auto _ : state) {
        auto json = message.encode();
        benchmark::DoNotOptimize(json);
    }
}

void decodeBench(benchmark::State& state, const ControlMessage& message) {
    const std::string json = *message.encode();
    for (auto _ : state) {
        auto decoded = ControlMessage::decode(json);
        benchmark::DoNotOptimize(decoded);
    }
    state.SetLabel(std::to_string(json.size()) + " bytes");
}

void BM_EncodePointer(benchmark::State& state) { encodeBench(state, pointerMessage()); }
void BM_DecodePointer(benchmark::State& state) { decodeBench(state, pointerMessage()); }
void BM_EncodeHeartbeat(benchmark::State& state) { encodeBench(state, Heartbeat{}); }
void BM_DecodeHeartbeat(benchmark::State& state) { decodeBench(state, Heartbeat{}); }
void BM_EncodeHelloAck(benchmark::State& state) { encodeBench(state, fullHelloAck()); }
void BM_DecodeHelloAck(benchmark::State& state) { decodeBench(state, fullHelloAck()); }
BENCHMARK(BM_EncodePointer);
BENCHMARK(BM_DecodePointer);
BENCHMARK(BM_EncodeHeartbeat);
BENCHMARK(BM_DecodeHeartbeat);
BENCHMARK(BM_EncodeHelloAck);
BENCHMARK(BM_DecodeHelloAck);

// wireEncode of a 100 KiB encoded frame, against copying the same bytes into a new buffer.
constexpr size_t kVideoFrameSize = 100 * 1024;

void BM_VideoWireEncode(benchmark::State& state) {
    const Bytes frame(kVideoFrameSize, 0x3C);
    for (auto _ : state) {
        Bytes wire = VideoFramePacket::wireEncode(12.345, true, frame.data(), frame.size());
        benchmark::DoNotOptimize(wire.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kVideoFrameSize));
}
BENCHMARK(BM_VideoWireEncode);

void BM_PlainCopy(benchmark::State& state) {
    const Bytes frame(kVideoFrameSize, 0x3C);
    for (auto _ : state) {
        Bytes copy(frame.begin(), frame.end());
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kVideoFrameSize));
}
BENCHMARK(BM_PlainCopy);

// What either side computes to answer or check one challenge: the key from its own private
// key and the peer's public key, then the HMAC over the nonce.
void BM_DeviceAuthResponse(benchmark::State& state) {
    const auto own = DeviceAuth::generateKeyPair();
    const auto peer = DeviceAuth::generateKeyPair();
    const Bytes nonce = DeviceAuth::makeNonce();
    for (auto _ : state) {
        auto key = DeviceAuth::authenticationKey(own.privateKey, peer.publicKey);
        benchmark::DoNotOptimize(DeviceAuth::response(*key, nonce));
    }
}
BENCHMARK(BM_DeviceAuthResponse)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace df

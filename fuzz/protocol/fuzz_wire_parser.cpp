// WireParser.append with random chunking: a stream cut into random pieces must give the same
// frames and the same corrupted state as the whole stream in one append, and the parser
// never holds more than it has received.

#include "protocol/WireFrame.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider provider(data, size);
    // The first bytes choose the cut points; the rest is the stream.
    std::vector<size_t> cuts;
    const size_t cutCount = provider.ConsumeIntegralInRange<size_t>(0, 16);
    for (size_t i = 0; i < cutCount; ++i) cuts.push_back(provider.ConsumeIntegralInRange<size_t>(0, 64));
    const std::vector<uint8_t> stream = provider.ConsumeRemainingBytes<uint8_t>();

    df::WireParser whole;
    const auto expected = whole.append(stream);

    df::WireParser pieces;
    std::vector<df::WireFrame> got;
    size_t at = 0;
    size_t cut = 0;
    while (at < stream.size()) {
        const size_t n = std::min(stream.size() - at, cuts.empty() ? size_t{1} : cuts[cut++ % cuts.size()] + 1);
        for (auto& frame : pieces.append(stream.data() + at, n)) got.push_back(std::move(frame));
        at += n;
        if (pieces.bufferedBytes() > at) std::abort();
        if (pieces.reservedBytes() > df::kWireHeaderSize + 2 * at) std::abort();
        if (pieces.corrupted() && pieces.bufferedBytes() != 0) std::abort();
    }
    if (got != expected || pieces.corrupted() != whole.corrupted() ||
        pieces.bufferedBytes() != whole.bufferedBytes()) {
        std::abort();
    }

    // Re-encoding the frames gives back the consumed part of the stream.
    if (!whole.corrupted()) {
        df::WireParser again;
        std::vector<uint8_t> reencoded;
        for (const auto& frame : expected) {
            const auto bytes = frame.encoded();
            reencoded.insert(reencoded.end(), bytes.begin(), bytes.end());
        }
        if (again.append(reencoded) != expected) std::abort();
    }
    return 0;
}

// Video, audio and file-chunk payload parsers: never read past the payload, and what they
// accept encodes back to the same bytes (the key-frame byte normalised to 0 or 1).

#include "protocol/MediaPayloads.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> payload(data, size);

    if (auto video = df::VideoFramePacket::parse(payload)) {
        auto bytes = video->encoded();
        if (bytes.size() != size || std::memcmp(bytes.data() + 1, data + 1, size - 1) != 0) std::abort();
        if (bytes[0] != (data[0] == 1 ? 1 : 0)) std::abort();
    } else if (size >= 10) {
        std::abort();
    }

    if (auto audio = df::AudioFramePacket::parse(payload)) {
        if (audio->encoded() != df::Bytes(data, data + size)) std::abort();
    } else if (size >= 9) {
        std::abort();
    }

    if (auto chunk = df::FileChunk::decode(payload)) {
        if (df::FileChunk::encode(chunk->fileID, chunk->chunk) != df::Bytes(data, data + size)) std::abort();
    } else if (size >= 4) {
        std::abort();
    }
    return 0;
}

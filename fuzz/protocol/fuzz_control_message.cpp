// Control-message decoding: any input gives a message or a failure value; a decoded message
// encodes, and decodes back to itself.

#include "protocol/ControlMessage.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto decoded = df::ControlMessage::decode(std::span<const uint8_t>(data, size));
    if (!decoded.ok()) {
        if (decoded.error().empty()) std::abort();
        return 0;
    }
    const auto json = decoded->encode();
    if (!json.ok()) std::abort();
    const auto again = df::ControlMessage::decode(*json);
    if (!again.ok() || !(*again == *decoded)) std::abort();
    return 0;
}

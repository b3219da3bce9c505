#include "protocol/ControlMessage.h"

#include "protocol/WireFrame.h"

namespace df {

Result<std::string> ControlMessage::encode() const { return Failure{"not implemented yet"}; }

Result<Bytes> ControlMessage::encodedFrame() const {
    auto json = encode();
    if (!json) return Failure{json.error()};
    return WireFrame::encode(WireKind::control,
                             std::span(reinterpret_cast<const uint8_t*>(json->data()), json->size()));
}

Result<ControlMessage> ControlMessage::decode(std::span<const uint8_t> json) {
    return decode(std::string_view(reinterpret_cast<const char*>(json.data()), json.size()));
}

Result<ControlMessage> ControlMessage::decode(std::string_view) { return Failure{"not implemented yet"}; }

std::string_view ControlMessage::caseName(Case) { return {}; }
std::optional<ControlMessage::Case> ControlMessage::caseNamed(std::string_view) { return std::nullopt; }
ControlMessage::Direction ControlMessage::direction(Case) { return Direction::both; }

std::string_view rawValue(PointerEvent::Kind) { return {}; }
std::string_view rawValue(ScrollEvent::Phase) { return {}; }
std::string_view rawValue(SystemGesture) { return {}; }
template <>
std::optional<PointerEvent::Kind> fromRawValue<PointerEvent::Kind>(std::string_view) { return std::nullopt; }
template <>
std::optional<ScrollEvent::Phase> fromRawValue<ScrollEvent::Phase>(std::string_view) { return std::nullopt; }
template <>
std::optional<SystemGesture> fromRawValue<SystemGesture>(std::string_view) { return std::nullopt; }

}  // namespace df

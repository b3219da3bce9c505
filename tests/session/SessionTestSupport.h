#pragma once
// Shared pieces of the session and server unit tests: a phone's view of what the agent sent
// on a fake connection.

#include "platform/fake/transport/FakeTransport.h"
#include "protocol/ControlMessage.h"
#include "protocol/DeviceAuth.h"
#include "protocol/WireFrame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace df::testsupport {

/// Every control message sent on `connection`, in order (other frames are skipped).
inline std::vector<ControlMessage> sentMessages(const fake::FakeConnection& connection) {
    WireParser parser;
    std::vector<ControlMessage> out;
    for (const auto& frame : parser.append(connection.sentBytes())) {
        if (frame.kind != WireKind::control) continue;
        auto message = ControlMessage::decode(std::span<const uint8_t>(frame.payload));
        EXPECT_TRUE(message.ok()) << message.error();
        if (message) out.push_back(*message);
    }
    return out;
}

inline std::vector<ControlMessage::Case> sentCases(const fake::FakeConnection& connection) {
    std::vector<ControlMessage::Case> out;
    for (const auto& m : sentMessages(connection)) out.push_back(m.messageCase());
    return out;
}

inline Bytes frame(const ControlMessage& message) { return message.encodedFrame().value(); }

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace df::testsupport

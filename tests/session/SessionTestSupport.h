#pragma once
// Shared pieces of the session and server unit tests: a temporary HOME (trust store and
// settings), English texts, and a phone's view of what the agent sent on a fake connection.

#include "platform/fake/transport/FakeTransport.h"
#include "protocol/ControlMessage.h"
#include "protocol/DeviceAuth.h"
#include "protocol/WireFrame.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace df::test {

/// Points HOME and the XDG directories at a fresh temporary directory and asks for English.
class TempHome {
public:
    TempHome() {
        dir_ = std::filesystem::temp_directory_path() /
               ("df-session-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        ::setenv("HOME", dir_.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
        ::setenv("LANGUAGE", "en", 1);
        ::setenv("LANG", "en_US.UTF-8", 1);
    }
    ~TempHome() { std::filesystem::remove_all(dir_); }

private:
    static int& counter() {
        static int n = 0;
        return n;
    }
    std::filesystem::path dir_;
};

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

}  // namespace df::test

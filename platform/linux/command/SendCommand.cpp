#include "platform/linux/command/SendCommand.h"

#include "platform/linux/command/UnixCommandSocket.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

#include <iostream>
#include <map>

namespace df {
namespace {

/// A name as printed: control characters would act on the terminal.
std::string shown(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
    return out;
}

}  // namespace

int runSendCommand(const std::filesystem::path& socketPath, const std::vector<std::string>& files) {
    if (files.empty()) {
        std::cerr << "usage: duskferry-agent send FILE...\n";
        return 2;
    }
    std::vector<std::string> request{"send"};
    int notSent = 0;
    for (const auto& file : files) {
        std::error_code ec;
        const auto path = std::filesystem::absolute(file, ec);
        if (ec || !std::filesystem::is_regular_file(path, ec)) {
            std::cout << "Not sent: " << shown(file) << " (not a readable file)\n";
            ++notSent;
            continue;
        }
        request.push_back(path.string());
    }
    if (request.size() == 1) return 1;

    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    bool noPhone = false;
    bool midLine = false;
    std::string failure;
    std::map<std::string, int> lastShown;
    auto newline = [&] {
        if (midLine) std::cout << '\n';
        midLine = false;
    };
    auto problem = runUnixCommand(socketPath, request, [&](const std::string& text) {
        const auto line = nlohmann::json::parse(text, nullptr, false);
        if (!line.is_object()) return;
        const std::string event = line.value("event", "");
        const std::string name = shown(line.value("name", ""));
        if (event == "started") {
            newline();
            std::cout << "Sending " << name << " (" << line.value("size", int64_t{0}) << " bytes)…\n";
        } else if (event == "progress") {
            const int percent = line.value("percent", 0);
            if (terminal) {
                std::cout << '\r' << name << ": " << percent << '%' << std::flush;
                midLine = true;
            } else if (percent / 10 != lastShown[name] / 10 || percent == 100) {
                std::cout << name << ": " << percent << "%\n";
            }
            lastShown[name] = percent;
        } else if (event == "sent") {
            newline();
            std::cout << "Sent: " << name << '\n';
        } else if (event == "interrupted") {
            newline();
            std::cout << "Send interrupted: " << name << " (" << shown(line.value("reason", "")) << ")\n";
            ++notSent;
        } else if (event == "skipped") {
            newline();
            std::cout << "Not sent: " << shown(line.value("path", "")) << " (" << shown(line.value("reason", "")) << ")\n";
            ++notSent;
        } else if (event == "noPhone") {
            noPhone = true;
        } else if (event == "error") {
            failure = shown(line.value("reason", ""));
        }
        std::cout << std::flush;
    });
    newline();
    if (problem) {
        if (problem->kind == UnixCommandError::Kind::notRunning) {
            std::cerr << "duskferry-agent: no agent is running (nothing answers at " << socketPath.string()
                      << "); start duskferry-agent first\n";
            return 3;
        }
        std::cerr << "duskferry-agent: " << problem->description << '\n';
        return 2;
    }
    if (noPhone) {
        std::cerr << "duskferry-agent: no phone is connected; connect the phone to this computer and try again\n";
        return 4;
    }
    if (!failure.empty()) {
        std::cerr << "duskferry-agent: " << failure << '\n';
        return 2;
    }
    return notSent == 0 ? 0 : 1;
}

}  // namespace df

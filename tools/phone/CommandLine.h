#pragma once
// The command line of duskferry-phone, parsed into options without touching the network,
// so that mistakes are reported before anything connects. Pure; any thread.

#include "protocol/Result.h"
#include "tools/phone/PhoneClient.h"

#include <optional>
#include <string>
#include <vector>

namespace df::phone {

struct CommandLine {
    PhoneOptions phone;
    std::string host;                 ///< "" = discover
    uint16_t port = 52525;
    std::string agentName;            ///< pick this instance when discovering
    bool discoverOnly = false;
    double discoverTimeout = 3.0;
    std::optional<std::string> name;  ///< the phone's display name
    std::string identityDir;          ///< "" = the default under $XDG_DATA_HOME
    std::string scriptPath;           ///< "-" = standard input
    bool view = false;                ///< show the stream in a window that takes input
    bool help = false;
};

/// Parses argv (without the program name).
Result<CommandLine> parseCommandLine(const std::vector<std::string>& args);

/// key=value pairs separated by commas: "kind=move,dx=10,dy=-2.5".
Result<ControlMessage> parsePointer(const std::string& spec);
Result<ControlMessage> parseScroll(const std::string& spec);
Result<QualityRequest> parseQuality(const std::string& spec);

std::string usage();

}  // namespace df::phone

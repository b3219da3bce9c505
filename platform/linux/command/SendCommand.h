#pragma once
// The client side of `duskferry-agent send FILE...`: hands files to the running agent over its local command
// socket and prints what becomes of each, with progress. Exit status: 0 all sent, 1 some
// not sent, 2 usage or a local failure, 3 no agent running, 4 no phone connected.

#include <filesystem>
#include <string>
#include <vector>

namespace df {

int runSendCommand(const std::filesystem::path& socketPath, const std::vector<std::string>& files);

}  // namespace df

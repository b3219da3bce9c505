#pragma once
// Local commands over a Unix stream socket. A request is its words, each ended by a NUL
// byte, and an empty word to end it; the answer is lines ended by '\n', then the end of
// the stream. The socket lives in a folder only this user may enter (made 0700 and owner
// checked), is itself 0600, and the server serves only peers of its own user (SO_PEERCRED).

#include "platform/LocalCommands.h"
#include "platform/SerialQueue.h"
#include "protocol/Result.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <vector>

namespace df {

class UnixCommandServer {
public:
    virtual ~UnixCommandServer() = default;
    /// Stops listening and removes the socket.
    virtual void stop() = 0;
};

/// Listens at `socketPath` with its I/O on `queue`. Fails when another process already
/// listens there, or the folder is not this user's alone.
Result<std::shared_ptr<UnixCommandServer>> startUnixCommandServer(std::shared_ptr<SerialQueue> queue,
                                                                  const std::filesystem::path& socketPath,
                                                                  LocalCommandHandler handler);

struct UnixCommandError {
    enum class Kind { notRunning, refused, other };
    Kind kind = Kind::other;
    std::string description;
};

/// The client side (blocking): sends `request`, hands every line of the answer to `onLine`
/// as it arrives. Nothing when the answer ended normally.
std::optional<UnixCommandError> runUnixCommand(const std::filesystem::path& socketPath,
                                               const std::vector<std::string>& request,
                                               const std::function<void(const std::string&)>& onLine);

}  // namespace df

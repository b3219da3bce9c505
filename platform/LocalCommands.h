#pragma once
// Commands from programs of the same user on this computer (`duskferry-agent send FILE...`,
// later the desktop shell's file picker): a request is a list of words, the answer a
// stream of lines that ends when the handler finishes it.

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace df {

class LocalCommandReply {
public:
    virtual ~LocalCommandReply() = default;
    /// Queues one line (without its newline) for the caller. Any thread; nothing once
    /// finished or once the caller has gone.
    virtual void sendLine(std::string line) = 0;
    /// The answer is complete: the lines queued so far are delivered, then the caller sees
    /// the end. Any thread; idempotent.
    virtual void finish() = 0;
};

/// Handles one request; may answer later from any thread through `reply`.
using LocalCommandHandler =
    std::function<void(std::vector<std::string> request, std::shared_ptr<LocalCommandReply> reply)>;

}  // namespace df

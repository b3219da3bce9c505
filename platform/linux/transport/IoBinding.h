#pragma once
// Where a transport object's sockets run, and how its events reach the owner's queue.

#include "platform/DispatchQueue.h"
#include "platform/SerialQueue.h"
#include "platform/Transport.h"

#include <asio/io_context.hpp>
#include <system_error>

namespace df::transport {

/// The io_context that runs a transport object's sockets. Holds the context (not the
/// queue) so that it outlives every socket made on it; once its queue has shut down, work
/// handed to it is destroyed unrun, which releases the transport objects it held.
struct IoBinding {
    std::shared_ptr<QueueContext> owner;
    asio::io_context& context() const { return owner->io(); }
    /// Runs `handler` on the io thread: at once when called there, else posted. Any thread.
    template <class Handler>
    void dispatch(Handler&& handler) const {
        owner->dispatch(std::forward<Handler>(handler));
    }
    /// Runs `handler` on the io thread later, after what was posted before it. Any thread.
    template <class Handler>
    void post(Handler&& handler) const {
        owner->post(std::forward<Handler>(handler));
    }
};

/// `queue`'s own io_context when it is a SerialQueue, else the shared network thread's.
IoBinding bindingFor(const std::shared_ptr<DispatchQueue>& queue);

/// Maps a socket or TLS error to the transport's error; `handshake` marks errors that
/// happened while securing the connection.
TransportError errorFrom(const std::error_code& ec, bool handshake);
TransportError cancelledError();
TransportError makeError(TransportError::Kind kind, std::string description, int code = 0);

/// "::ffff:a.b.c.d" becomes "a.b.c.d"; anything else is unchanged.
std::string normalizedHost(const std::string& host);

}  // namespace df::transport

#include "platform/linux/transport/IoBinding.h"

#include <asio/error.hpp>
#include <asio/ssl/error.hpp>
#include <cerrno>
#include <mutex>

namespace df::transport {

IoBinding bindingFor(const std::shared_ptr<DispatchQueue>& queue) {
    if (auto serial = std::dynamic_pointer_cast<SerialQueue>(queue)) return IoBinding{serial->sharedContext()};
    // Queues without an io_context share one network thread for the life of the process.
    static std::mutex mutex;
    static std::shared_ptr<SerialQueue> shared;
    std::lock_guard lock(mutex);
    if (!shared) shared = SerialQueue::create("duskferry.net");
    return IoBinding{shared->sharedContext()};
}

TransportError makeError(TransportError::Kind kind, std::string description, int code) {
    TransportError error;
    error.kind = kind;
    error.code = code;
    error.description = std::move(description);
    return error;
}

TransportError cancelledError() {
    return makeError(TransportError::Kind::cancelled, "Operation canceled", ECANCELED);
}

TransportError errorFrom(const std::error_code& ec, bool handshake) {
    using Kind = TransportError::Kind;
    const bool tls = ec.category() == asio::error::get_ssl_category() ||
                     ec.category() == asio::ssl::error::get_stream_category();
    Kind kind = Kind::other;
    if (ec == asio::error::operation_aborted) {
        kind = Kind::cancelled;
    } else if (ec == asio::ssl::error::stream_truncated) {
        // The peer closed the connection without a TLS alert: it hung up, it did not
        // present a wrong key, so this must not count as a failed handshake.
        kind = Kind::reset;
    } else if (tls) {
        kind = handshake ? Kind::handshake : Kind::protocol;
    } else if (ec == asio::error::address_in_use) {
        kind = Kind::addressInUse;
    } else if (ec == asio::error::connection_refused) {
        kind = Kind::refused;
    } else if (ec == asio::error::timed_out) {
        kind = Kind::timedOut;
    } else if (ec == asio::error::connection_reset || ec == asio::error::eof ||
               ec == asio::error::broken_pipe || ec == asio::error::connection_aborted) {
        kind = Kind::reset;
    } else if (ec == asio::error::invalid_argument) {
        kind = Kind::invalidArgument;
    }
    std::string description = ec.message();
    if (tls && handshake) description = "TLS handshake failed: " + description;
    return makeError(kind, std::move(description), ec.value());
}

std::string normalizedHost(const std::string& host) {
    constexpr std::string_view mapped = "::ffff:";
    if (host.size() > mapped.size() && host.compare(0, mapped.size(), mapped) == 0 &&
        host.find('.') != std::string::npos) {
        return host.substr(mapped.size());
    }
    return host;
}

}  // namespace df::transport

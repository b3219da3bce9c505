#include "platform/linux/transport/LinuxTransport.h"

#include "platform/linux/transport/QuicListener.h"
#include "platform/linux/transport/QuicStream.h"
#include "platform/linux/transport/TcpTlsConnection.h"
#include "platform/linux/transport/TcpTlsListener.h"
#include "platform/linux/transport/TlsPskContext.h"

namespace df {

namespace {
class LinuxTransportFactory final : public TransportFactory {
public:
    std::shared_ptr<Listener> makeTcpTlsListener(const TcpParameters& parameters, uint16_t port,
                                                 const std::string& bindHost) override {
        return transport::TcpTlsListener::make(parameters, port, bindHost);
    }
    std::shared_ptr<Listener> makeQuicListener(const QuicParameters& parameters, uint16_t port,
                                               const std::string& bindHost) override {
        return transport::QuicListener::make(parameters, port, bindHost);
    }
    std::shared_ptr<Connection> connectTcpTls(const Endpoint& remote, const TcpParameters& parameters) override {
        return transport::TcpTlsConnection::client(remote, parameters, transport::makeClientContext(parameters.tls));
    }
    std::shared_ptr<Connection> connectQuic(const Endpoint& remote, const QuicParameters& parameters) override {
        return transport::QuicStream::client(remote, parameters);
    }
};
}  // namespace

std::shared_ptr<TransportFactory> makeLinuxTransportFactory() { return std::make_shared<LinuxTransportFactory>(); }

int linuxSocketDescriptor(const Connection& connection) {
    if (auto* tcp = dynamic_cast<const transport::TcpTlsConnection*>(&connection)) return tcp->nativeHandle();
    if (auto* quic = dynamic_cast<const transport::QuicStream*>(&connection)) return quic->nativeHandle();
    return -1;
}

}  // namespace df

// The fake transport keeps the promises of the real one, so that tests of its owners
// exercise the same orders: everything posted to the started queue, receives bounded and
// in order, each send completion exactly once, also when the connection ends first.
#include "platform/fake/queue/ManualQueue.h"
#include "platform/fake/transport/FakeTransport.h"

#include <gtest/gtest.h>

namespace df {
namespace {

using fake::FakeConnection;
using fake::ManualQueue;

struct Received {
    Bytes data;
    bool complete = false;
    std::optional<TransportError> error;
};

TEST(FakeConnection, ReceivesAreBoundedOrderedAndPostedToTheQueue) {
    auto queue = std::make_shared<ManualQueue>();
    auto connection = FakeConnection::make();
    std::vector<Received> got;
    auto receive = [&](size_t max) {
        connection->receive(1, max, [&](Bytes d, bool c, std::optional<TransportError> e) {
            got.push_back({std::move(d), c, std::move(e)});
        });
    };
    connection->start(queue);
    connection->feed({1, 2, 3, 4, 5});
    receive(2);
    EXPECT_TRUE(got.empty()) << "completions must be posted, never run inline";
    queue->runUntilIdle();
    receive(10);
    receive(10);  // a second receive while one is pending is a caller fault
    EXPECT_EQ(connection->overlappingReceives(), 1);
    queue->runUntilIdle();
    connection->feedEndOfStream();
    receive(10);
    queue->runUntilIdle();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].data, (Bytes{1, 2}));
    EXPECT_EQ(got[1].data, (Bytes{3, 4, 5}));
    EXPECT_FALSE(got[1].complete);
    EXPECT_TRUE(got[2].data.empty());
    EXPECT_TRUE(got[2].complete);
}

TEST(FakeConnection, EverySendCompletesOnceInOrderAlsoWhenCancelled) {
    auto queue = std::make_shared<ManualQueue>();
    auto connection = FakeConnection::make();
    std::vector<std::pair<int, bool>> completions;  // (send number, had error)
    std::vector<ConnectionState> states;
    connection->setStateHandler([&](ConnectionState s, const std::optional<TransportError>&) { states.push_back(s); });
    connection->start(queue);
    for (int i = 0; i < 4; ++i) {
        connection->send(Bytes{static_cast<uint8_t>(i)},
                         [&, i](std::optional<TransportError> e) { completions.emplace_back(i, e.has_value()); });
    }
    connection->completeSends(1);
    queue->runUntilIdle();
    EXPECT_EQ(connection->pendingSendCount(), 3u);
    connection->cancel();
    connection->cancel();
    connection->send(Bytes{9}, [&](std::optional<TransportError> e) { completions.emplace_back(9, e.has_value()); });
    queue->runUntilIdle();
    EXPECT_EQ(completions, (std::vector<std::pair<int, bool>>{{0, false}, {1, true}, {2, true}, {3, true}, {9, true}}));
    EXPECT_EQ(states, (std::vector<ConnectionState>{ConnectionState::cancelled}));
    EXPECT_EQ(connection->sentBytes(), (Bytes{0, 1, 2, 3, 9}));
}

TEST(FakeListener, HandsOutConnectionsAndReportsStatesOnTheQueue) {
    auto queue = std::make_shared<ManualQueue>();
    fake::FakeTransportFactory factory;
    auto listener = factory.makeQuicListener(Pairing::quicParameters("123456"), 0);
    auto* fakeListener = factory.listeners().at(0).listener.get();
    std::vector<ListenerState> states;
    std::vector<std::shared_ptr<Connection>> accepted;
    std::vector<Endpoint> failedHandshakes;
    listener->setStateHandler([&](ListenerState s, const std::optional<TransportError>&) { states.push_back(s); });
    listener->setNewConnectionHandler([&](std::shared_ptr<Connection> c) { accepted.push_back(std::move(c)); });
    listener->setHandshakeFailureHandler([&](const Endpoint& e, const TransportError&) { failedHandshakes.push_back(e); });
    listener->start(queue);
    fakeListener->setState(ListenerState::ready, std::nullopt, 40001);
    auto stream = fakeListener->injectConnection(Endpoint{"10.0.0.2", 5000});
    fakeListener->reportHandshakeFailure(Endpoint{"10.0.0.3", 5001});
    queue->runUntilIdle();
    EXPECT_EQ(states, (std::vector<ListenerState>{ListenerState::ready}));
    EXPECT_EQ(listener->port(), std::optional<uint16_t>(40001));
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(accepted[0]->remoteEndpoint().host, "10.0.0.2");
    EXPECT_EQ(failedHandshakes, (std::vector<Endpoint>{{"10.0.0.3", 5001}}));
    Pairing::applyQUICKeepalive(*accepted[0]);
    EXPECT_EQ(stream->keepaliveInterval(), std::optional<double>(2.0));

    factory.failNextListener({TransportError::Kind::addressInUse, 98, "Address already in use"});
    EXPECT_THROW(factory.makeTcpTlsListener(Pairing::parameters("123456"), 52525), TransportException);
}

TEST(QuicKeepalive, IsNotAppliedToTcpConnections) {
    auto tcp = FakeConnection::make({"10.0.0.2", 1}, TransportProtocol::tcpTls);
    Pairing::applyQUICKeepalive(*tcp);
    EXPECT_FALSE(tcp->keepaliveInterval().has_value());
}

TEST(Endpoint, DescribesIPv6WithBrackets) {
    EXPECT_EQ((Endpoint{"127.0.0.1", 52525}.description()), "127.0.0.1:52525");
    EXPECT_EQ((Endpoint{"::1", 52526}.description()), "[::1]:52526");
}

}  // namespace
}  // namespace df

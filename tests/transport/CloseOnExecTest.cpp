// The transport's sockets stay out of programs the agent starts: a child started the plain
// way (fork and exec, keeping every inheritable descriptor) sees none of them.
#include "tests/transport/TransportTestSupport.h"

#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

extern char** environ;

namespace df {
namespace {

using testsupport::Events;
using testsupport::bytesOf;

/// What a child started now inherits, as `ls -l /proc/<its pid>/fd` lists it.
std::string descriptorsOfAChild() {
    std::string script = "ls -l /proc/$$/fd";
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), script.data(), nullptr};
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    pid_t pid = 0;
    const bool spawned = posix_spawnp(&pid, "sh", &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    if (spawned) ::waitpid(pid, &status, 0);
    return out;
}

TEST(TransportDescriptors, NoListeningOrConnectedSocketReachesAProgramTheAgentStarts) {
    auto factory = makeLinuxTransportFactory();
    auto queue = SerialQueue::create("duskferry.server");
    auto listenerEvents = std::make_shared<Events>();
    std::vector<std::shared_ptr<Connection>> accepted;
    auto tcp = factory->makeTcpTlsListener(Pairing::parameters("482913"), 0, "127.0.0.1");
    tcp->setNewConnectionHandler([&, listenerEvents](std::shared_ptr<Connection> c) {
        c->setStateHandler([listenerEvents](ConnectionState s, const std::optional<TransportError>& e) { listenerEvents->state(s, e); });
        c->start(queue);
        accepted.push_back(c);
    });
    auto quic = factory->makeQuicListener(Pairing::quicParameters("482913"), 0, "127.0.0.1");
    quic->setNewConnectionHandler([&, listenerEvents](std::shared_ptr<Connection> c) {
        c->setStateHandler([listenerEvents](ConnectionState s, const std::optional<TransportError>& e) { listenerEvents->state(s, e); });
        c->start(queue);
        accepted.push_back(c);
    });
    tcp->start(queue);
    quic->start(queue);
    queue->sync([] {});
    ASSERT_TRUE(testsupport::waitUntilListening(tcp->port().value_or(0)));

    auto phoneQueue = SerialQueue::create("phone");
    auto clientEvents = std::make_shared<Events>();
    auto tcpClient = factory->connectTcpTls({"127.0.0.1", *tcp->port()}, Pairing::parameters("482913"));
    auto quicClient = factory->connectQuic({"127.0.0.1", *quic->port()}, Pairing::quicParameters("482913"));
    for (auto& c : {tcpClient, quicClient}) {
        c->setStateHandler([clientEvents](ConnectionState s, const std::optional<TransportError>& e) { clientEvents->state(s, e); });
        c->start(phoneQueue);
    }
    quicClient->send(bytesOf("hello;"), nullptr);  // the stream reaches the listener with its first bytes
    ASSERT_TRUE(clientEvents->waitFor([](Events& e) {
        return std::count(e.states_.begin(), e.states_.end(), ConnectionState::ready) == 2;
    }));
    ASSERT_TRUE(listenerEvents->waitFor([](Events& e) {
        return std::count(e.states_.begin(), e.states_.end(), ConnectionState::ready) == 2;
    }));

    const std::string listing = descriptorsOfAChild();
    EXPECT_NE(listing.find(" 1 -> "), std::string::npos) << listing;  // the child did list its descriptors
    EXPECT_EQ(listing.find("socket:"), std::string::npos) << listing;

    phoneQueue->sync([&] {
        tcpClient->cancel();
        quicClient->cancel();
    });
    phoneQueue->shutdown();
    queue->sync([&] {
        for (auto& c : accepted) c->cancel();
        tcp->cancel();
        quic->cancel();
    });
    queue->shutdown();
}

}  // namespace
}  // namespace df

// Bytes from the network into the agent server and a session, on the in-memory transport:
// classification of the first frame, the handshake, and (after a scripted, correct
// authentication) dispatch of every message and media attachment. The first input byte
// picks the path; the rest arrives in reads whose sizes the input also chooses.

#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/capture/VirtualDisplayControl.h"
#include "DuskFerryAgent/session/AgentServer.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/fake/displays/FakeDisplays.h"
#include "platform/fake/keychain/MemoryAgentKeychain.h"
#include "platform/fake/queue/ManualQueue.h"
#include "platform/fake/settings/MemorySettingsStore.h"
#include "platform/fake/transport/FakeTransport.h"
#include "protocol/DeviceAuth.h"

namespace {

using namespace df;

// Everything in memory: an input costs no disk access, and no input can change what the
// next one finds (a fresh key store and settings per input).
struct Setup {
    DeviceAuth::KeyPair phone = DeviceAuth::generateKeyPair();
    Bytes macPrivateKey;
    std::shared_ptr<fake::FakeDisplays> displays = std::make_shared<fake::FakeDisplays>();
    std::shared_ptr<const L10n> l10n = std::make_shared<L10n>(std::vector<std::string>{"en"});
    Setup() {
        displays->setDisplays({{1, "screen", {0, 0, 1280, 800}, true, 60}});
        fake::MemoryAgentKeychain keychain;
        TrustStore(keychain).macPublicKey();
        macPrivateKey = keychain.read("macPrivateKey").value();
    }
};

// The per-input services: a key store that trusts the fuzzing phone, under the one Mac key.
struct Stores {
    fake::MemoryAgentKeychain keychain;
    fake::MemorySettingsStore settings;
    std::shared_ptr<TrustStore> trust = std::make_shared<TrustStore>(keychain);
    explicit Stores(const Setup& setup) {
        keychain.set(setup.macPrivateKey, "macPrivateKey");
        trust->trust("FUZZ-PHONE", "Fuzz", setup.phone.publicKey);
    }
};

/// Feeds `data` to `c` in reads of 1 to 64 bytes chosen by the data itself.
void feedInPieces(fake::FakeConnection& c, fake::ManualQueue& q, const uint8_t* data, size_t size) {
    size_t pos = 0;
    while (pos < size) {
        size_t n = std::min<size_t>(size - pos, 1 + (data[pos] % 64));
        c.feed(Bytes(data + pos, data + pos + n));
        q.runUntilIdle();
        pos += n;
    }
}

Bytes frame(const ControlMessage& m) { return m.encodedFrame().value(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup setup;
    if (size == 0) return 0;
    const bool authenticated = data[0] & 1;
    ++data;
    --size;

    Stores stores(setup);
    auto queue = std::make_shared<fake::ManualQueue>("duskferry.server");
    auto transport = std::make_shared<fake::FakeTransportFactory>();
    ServerServices services;
    services.queue = queue;
    services.transport = transport;
    services.session.trust = stores.trust;
    services.session.l10n = setup.l10n;
    services.session.displays = std::make_shared<DisplayTarget>(setup.displays);
    services.session.virtualDisplay = std::make_shared<VirtualDisplayControl>();
    services.session.settings = &stores.settings;
    services.session.agentName = "fuzz";
    services.session.macDeviceID = "FUZZ-MAC";
    auto server = AgentServer::create("123456", nullptr, services);
    server->start();
    queue->runUntilIdle();
    auto listener = transport->listeners().at(0).listener;
    listener->setState(ListenerState::ready);
    queue->runUntilIdle();
    auto control = listener->injectConnection(Endpoint{"192.0.2.1", 1000});
    control->setAutoCompleteSends(true);
    queue->runUntilIdle();

    if (authenticated) {
        control->feed(frame(Hello("Fuzz", 1, std::nullopt, "FUZZ-PHONE", std::vector<std::string>{"quic"})));
        queue->runUntilIdle();
        Bytes nonce;
        WireParser parser;
        for (auto& f : parser.append(control->sentBytes())) {
            auto m = ControlMessage::decode(std::span<const uint8_t>(f.payload));
            if (m && m->is<AuthChallenge>()) nonce = m->get<AuthChallenge>()->nonce;
        }
        auto key = DeviceAuth::authenticationKey(setup.phone.privateKey, stores.trust->macPublicKey());
        control->feed(frame(AuthResponse(DeviceAuth::response(*key, nonce))));
        queue->runUntilIdle();
        auto session = server->session();
        if (session && !session->mediaToken().empty()) {
            // Half of the rest on a TCP media connection opened with the right token.
            auto media = listener->injectConnection(Endpoint{"192.0.2.1", 1001});
            queue->runUntilIdle();
            media->feed(WireFrame::encode(WireKind::mediaHello, session->mediaToken()));
            queue->runUntilIdle();
            size_t half = size / 2;
            feedInPieces(*media, *queue, data, half);
            data += half;
            size -= half;
        }
    }
    feedInPieces(*control, *queue, data, size);
    queue->advance(30);  // time-outs, watchdog, delayed closes
    if (auto s = server->session()) s->close();
    queue->runUntilIdle();
    server.reset();
    queue->runUntilIdle();
    return 0;
}

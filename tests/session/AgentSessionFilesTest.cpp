// The session's part in file transfer, on a fake control connection: only an authenticated
// phone's files are received, chunks on a media channel count like those on the control
// connection, the session keeps reading once the disk has caught up, and closing drops a
// file being received.

#include "DuskFerryAgent/session/AgentSession.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/fake/files/MemoryFiles.h"
#include "platform/fake/keychain/MemoryAgentKeychain.h"
#include "platform/fake/queue/ManualQueue.h"
#include "protocol/MediaPayloads.h"
#include "tests/session/SessionTestSupport.h"

#include <gtest/gtest.h>

namespace df {
namespace {

class AgentSessionFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        phoneKeys = DeviceAuth::generateKeyPair();
        conn->start(queue);
        SessionServices s;
        s.trust = trust;
        s.l10n = std::make_shared<L10n>(std::vector<std::string>{"en"});
        s.files.downloads = downloads;
        s.files.makeIOQueue = [this] { return io; };
        session = AgentSession::create(
            conn, queue, [this](const std::string& t) { statuses.push_back(t); }, [](bool) {},
            [] { return std::optional<uint16_t>(); }, s);
        session->start({});
        run();
    }
    void TearDown() override {
        session->close();
        run();
    }
    void run() {
        for (int i = 0; i < 3; ++i) {
            queue->runUntilIdle();
            io->runUntilIdle();
        }
    }
    void phoneSends(const Bytes& bytes) {
        conn->feed(bytes);
        run();
    }
    void authenticate() {
        ASSERT_TRUE(trust->trust("PHONE-1", "Phone", phoneKeys.publicKey));
        phoneSends(testsupport::frame(Hello("Phone", 1, std::nullopt, "PHONE-1")));
        Bytes nonce;
        for (auto& m : testsupport::sentMessages(*conn))
            if (auto* c = m.get<AuthChallenge>()) nonce = c->nonce;
        auto key = DeviceAuth::authenticationKey(phoneKeys.privateKey, trust->macPublicKey());
        phoneSends(testsupport::frame(AuthResponse(DeviceAuth::response(*key, nonce))));
        ASSERT_EQ(session->authState(), AgentSession::AuthState::authed);
    }
    Bytes transfer(uint32_t id, const std::string& name, const std::string& text) {
        return testsupport::concat({testsupport::frame(FileBegin(id, name, static_cast<int64_t>(text.size()))),
                                    FileChunk::wireEncode(id, Bytes(text.begin(), text.end())),
                                    testsupport::frame(FileEnd(id))});
    }

    fake::MemoryAgentKeychain keychain;
    std::shared_ptr<TrustStore> trust = std::make_shared<TrustStore>(keychain);
    std::shared_ptr<fake::ManualQueue> queue = std::make_shared<fake::ManualQueue>("duskferry.server");
    std::shared_ptr<fake::ManualQueue> io = std::make_shared<fake::ManualQueue>("duskferry.agent.fileio", queue->sharedClock());
    std::shared_ptr<fake::MemoryDownloadsFolder> downloads = std::make_shared<fake::MemoryDownloadsFolder>();
    std::shared_ptr<fake::FakeConnection> conn = fake::FakeConnection::make();
    DeviceAuth::KeyPair phoneKeys;
    std::shared_ptr<AgentSession> session;
    std::vector<std::string> statuses;
};

TEST_F(AgentSessionFilesTest, OnlyAnAuthenticatedPhonesFilesAreReceived) {
    phoneSends(transfer(1, "early.txt", "too soon"));
    EXPECT_EQ(downloads->created, 0);
    authenticate();
    phoneSends(transfer(2, "late.txt", "welcome"));
    EXPECT_EQ(downloads->files["late.txt"], Bytes({'w', 'e', 'l', 'c', 'o', 'm', 'e'}));
    EXPECT_EQ(statuses.back(), "Received: late.txt → Downloads");
}

TEST_F(AgentSessionFilesTest, ClosingDropsTheFileBeingReceived) {
    authenticate();
    phoneSends(testsupport::concat({testsupport::frame(FileBegin(3, "half.bin", 10)),
                                    FileChunk::wireEncode(3, Bytes{1, 2, 3})}));
    EXPECT_EQ(downloads->temporary.size(), 1u);
    session->close();
    run();
    EXPECT_TRUE(downloads->temporary.empty());
    EXPECT_TRUE(downloads->files.empty());
}

TEST_F(AgentSessionFilesTest, TheControlConnectionWaitsWhileChunksWaitForTheDisk) {
    authenticate();
    const size_t chunk = 1 << 20;
    Bytes all = testsupport::frame(FileBegin(4, "big.bin", 12 * static_cast<int64_t>(chunk)));
    for (int i = 0; i < 12; ++i) {
        auto more = FileChunk::wireEncode(4, Bytes(chunk, static_cast<uint8_t>(i)));
        all.insert(all.end(), more.begin(), more.end());
    }
    conn->feed(all);
    queue->runUntilIdle();  // the file queue (the disk) does not run yet
    EXPECT_FALSE(conn->receivePending()) << "no more is read while more than the bound waits";
    // Each time the disk catches up, reading goes on, until everything fed has been read.
    for (int i = 0; i < 20 && !conn->receivePending(); ++i) {
        io->runUntilIdle();
        queue->runUntilIdle();
    }
    EXPECT_TRUE(conn->receivePending());
    phoneSends(testsupport::frame(FileEnd(4)));
    EXPECT_EQ(downloads->files["big.bin"].size(), 12 * chunk);
}

}  // namespace
}  // namespace df

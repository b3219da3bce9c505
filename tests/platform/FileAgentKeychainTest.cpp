// The key store on disk tells a missing entry from one it cannot read right now, and the
// agent's key pair survives a moment without file descriptors.
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/linux/keychain/FileAgentKeychain.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <vector>

namespace df {
namespace {

/// Every descriptor taken while it lives (a soft limit lowered for the purpose, then
/// filled), as when the agent runs into EMFILE under a flood of connections.
class NoDescriptorsLeft {
public:
    NoDescriptorsLeft() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 256);
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::dup(0)) >= 0;) taken_.push_back(fd);
    }
    ~NoDescriptorsLeft() {
        for (int fd : taken_) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }

private:
    rlimit saved_{};
    std::vector<int> taken_;
};

TEST(FileAgentKeychain, AnEntryIsMissingOnlyWhenItsFileDoesNot) {
    testsupport::TempDir dir;
    FileAgentKeychain keychain(dir.keychainDir());
    Bytes data;
    EXPECT_EQ(keychain.lookup("macPrivateKey", data), AgentKeychain::Lookup::missing);
    keychain.set(Bytes{1, 2, 3}, "macPrivateKey");
    EXPECT_EQ(keychain.lookup("macPrivateKey", data), AgentKeychain::Lookup::found);
    EXPECT_EQ(data, (Bytes{1, 2, 3}));
    AgentKeychain::Lookup whileOut;
    {
        NoDescriptorsLeft out;
        whileOut = keychain.lookup("macPrivateKey", data);
    }
    EXPECT_EQ(whileOut, AgentKeychain::Lookup::unreadable);
}

TEST(FileAgentKeychain, TheAgentsKeyPairIsNotReplacedWhenItCannotBeReadForAMoment) {
    testsupport::TempDir dir;
    FileAgentKeychain keychain(dir.keychainDir());
    TrustStore store(keychain);
    const Bytes original = store.macPublicKey();
    ASSERT_EQ(original.size(), 64u);
    Bytes whileOut;
    {
        NoDescriptorsLeft out;
        whileOut = store.macPublicKey();
    }
    // No key now is fine (the session is refused); another key is not: it would be used
    // for this session and, written back, take the identity from every paired phone.
    if (!whileOut.empty()) {
        EXPECT_EQ(whileOut, original);
    }
    EXPECT_EQ(store.macPublicKey(), original);
}

}  // namespace
}  // namespace df

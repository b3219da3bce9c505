// The trust store over the file-backed key store in a temporary directory.

#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/linux/keychain/FileAgentKeychain.h"
#include "protocol/DeviceAuth.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <memory>

namespace df {
namespace {

using namespace std::chrono;
namespace fs = std::filesystem;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

mode_t modeOf(const fs::path& path) {
    struct stat st{};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

void writeRaw(const fs::path& path, std::string_view content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

class TrustStoreTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    FileAgentKeychain keychain{dir.keychainDir()};
    TrustStore store{keychain};
    DeviceAuth::KeyPair phone = DeviceAuth::generateKeyPair();

    // What the phone answers to a challenge, computed on its side with the Mac's public key.
    Bytes phoneResponse(const DeviceAuth::KeyPair& pair, const Bytes& nonce) {
        auto key = DeviceAuth::authenticationKey(pair.privateKey, store.macPublicKey());
        EXPECT_TRUE(key.has_value());
        return key ? DeviceAuth::response(*key, nonce) : Bytes{};
    }
};

TEST_F(TrustStoreTest, EmptyStoreTrustsNobodyAndCreatesAPrivateDirectory) {
    EXPECT_TRUE(store.trustedDevices().empty());
    auto nonce = DeviceAuth::makeNonce();
    EXPECT_FALSE(store.verify("PHONE-1", nonce, Bytes(32, 0)));
    EXPECT_FALSE(store.isTrusted("PHONE-1"));
    ASSERT_TRUE(fs::is_directory(dir.keychainDir()));
    EXPECT_EQ(modeOf(dir.keychainDir()), 0700u);
}

TEST_F(TrustStoreTest, TheDirectoryIsMadeAtConstructionAndAgainOnlyWhenAWriteFindsItGone) {
    ASSERT_TRUE(fs::is_directory(dir.keychainDir()));
    fs::remove_all(dir.keychainDir());
    // Reading a store whose directory is gone is a missing entry, and makes nothing.
    EXPECT_FALSE(store.isTrusted("PHONE-1"));
    EXPECT_FALSE(fs::exists(dir.keychainDir()));
    ASSERT_TRUE(store.trust("PHONE-1", "Phone", phone.publicKey));
    EXPECT_EQ(modeOf(dir.keychainDir()), 0700u);
    EXPECT_TRUE(store.isTrusted("PHONE-1"));
}

TEST(FileAgentKeychainTest, AnExistingLooserDirectoryIsTightened) {
    for (mode_t loose : {0755u, 0777u, 0711u, 0750u}) {
        testsupport::TempDir dir;
        fs::create_directories(dir.keychainDir());
        ASSERT_EQ(::chmod(dir.keychainDir().c_str(), loose), 0);
        FileAgentKeychain keychain{dir.keychainDir()};
        EXPECT_EQ(modeOf(dir.keychainDir()), 0700u) << std::oct << loose;
    }
}

TEST_F(TrustStoreTest, ConcurrentTrustAndRevokeLoseNoListUpdate) {
    // The session queue enrols while the panel revokes: every enrolment that was not revoked
    // must stay in the list.
    constexpr int kEach = 40;
    for (int i = 0; i < kEach; ++i) ASSERT_TRUE(store.trust("old" + std::to_string(i), "n", phone.publicKey));
    std::thread enrol([&] {
        for (int i = 0; i < kEach; ++i) store.trust("new" + std::to_string(i), "n", phone.publicKey);
    });
    std::thread revoke([&] {
        for (int i = 0; i < kEach; ++i) store.revoke("old" + std::to_string(i));
    });
    enrol.join();
    revoke.join();
    auto devices = store.trustedDevices();
    ASSERT_EQ(devices.size(), static_cast<size_t>(kEach));
    for (int i = 0; i < kEach; ++i) EXPECT_EQ(devices[i].id, "new" + std::to_string(i));
}

TEST_F(TrustStoreTest, EntriesAreSeparatePrivateFilesWithEncodedNames) {
    ASSERT_TRUE(store.trust("AB-12", "Anna’s iPhone", phone.publicKey));
    for (const char* name : {"trust%3AAB%2D12", "trustname%3AAB%2D12", "trustsince%3AAB%2D12", "trustedIDs"}) {
        auto file = dir.keychainDir() / name;
        ASSERT_TRUE(fs::is_regular_file(file)) << name;
        EXPECT_EQ(modeOf(file), 0600u) << name;
    }
    EXPECT_EQ(keychain.read("trust:AB-12"), phone.publicKey);
    EXPECT_EQ(keychain.read("trustname:AB-12"), bytesOf("Anna’s iPhone"));
    EXPECT_EQ(keychain.read("trustedIDs"), bytesOf("AB-12"));
    // No temporary files are left behind by the atomic writes.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.keychainDir()), fs::directory_iterator()), 4);
}

TEST_F(TrustStoreTest, FileNamesKeepLettersMarksAndDigitsAndStayInsideTheDirectory) {
    struct Case {
        std::string key;
        std::string file;
    } cases[] = {
        {"trust:AB-12", "trust%3AAB%2D12"},
        {"trust:../../etc/passwd", "trust%3A%2E%2E%2F%2E%2E%2Fetc%2Fpasswd"},
        {"..", "%2E%2E"},
        {"a b", "a%20b"},
        {"trustname:设备é", "trustname%3A设备é"},    // CJK letters and a precomposed letter kept
        {"e\xCC\x81", "e\xCC\x81"},                  // a combining mark is kept
        {"٣x", "٣x"},                                // non-ASCII digit kept
        {"€", "%E2%82%AC"},                          // a symbol becomes its UTF-8 bytes
        {std::string("a\xFF/b", 4), "a%FF%2Fb"},     // a stray byte is escaped on its own
        {std::string("k\0z", 3), "k%00z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AgentKeychain::fileName(c.key), c.file) << c.key;
        keychain.set(bytesOf("x"), c.key);
        EXPECT_TRUE(fs::is_regular_file(dir.keychainDir() / c.file)) << c.key;
        EXPECT_EQ(keychain.read(c.key), bytesOf("x")) << c.key;
    }
    // Nothing was written outside the store's directory.
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        if (entry.is_regular_file()) {
            EXPECT_EQ(entry.path().parent_path(), dir.keychainDir()) << entry.path();
        }
    }
}

TEST_F(TrustStoreTest, TrustingTwiceKeepsThePlaceAndReplacesKeyAndName) {
    auto second = DeviceAuth::generateKeyPair();
    ASSERT_TRUE(store.trust("A", "First", phone.publicKey));
    ASSERT_TRUE(store.trust("B", "Other", phone.publicKey));
    ASSERT_TRUE(store.trust("A", "Renamed", second.publicKey));

    auto devices = store.trustedDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].id, "A");
    EXPECT_EQ(devices[0].name, "Renamed");
    EXPECT_EQ(devices[1].id, "B");
    EXPECT_EQ(keychain.read("trust:A"), second.publicKey);
    EXPECT_EQ(keychain.read("trustedIDs"), bytesOf("A,B"));

    auto now = floor<seconds>(system_clock::now());
    EXPECT_LE(devices[0].since, now);
    EXPECT_GE(devices[0].since, now - seconds(30));
}

TEST_F(TrustStoreTest, RevokeForgetsTheDeviceAndRewritesTheListOtherwiseUnchanged) {
    ASSERT_TRUE(store.trust("A", "a", phone.publicKey));
    ASSERT_TRUE(store.trust("B", "b", phone.publicKey));

    store.revoke("UNKNOWN");
    EXPECT_EQ(keychain.read("trustedIDs"), bytesOf("A,B"));

    store.revoke("A");
    EXPECT_EQ(keychain.read("trustedIDs"), bytesOf("B"));
    EXPECT_FALSE(keychain.read("trust:A"));
    EXPECT_FALSE(keychain.read("trustname:A"));
    EXPECT_FALSE(keychain.read("trustsince:A"));
    EXPECT_FALSE(store.isTrusted("A"));

    store.revoke("B");
    EXPECT_EQ(keychain.read("trustedIDs"), Bytes{});  // an emptied list is an empty file
    EXPECT_TRUE(store.trustedDevices().empty());
}

TEST_F(TrustStoreTest, DamagedEntriesReadAsTheStoreRulesSay) {
    keychain.set(bytesOf("a,,b,"), "trustedIDs");
    keychain.set(bytesOf("not a date"), "trustsince:a");
    keychain.set(bytesOf("\xFF\xFE name"), "trustname:a");  // not UTF-8
    keychain.set(bytesOf("Bee"), "trustname:b");
    keychain.set(bytesOf("2026-12-05T09:55:00Z"), "trustsince:b");

    auto devices = store.trustedDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0], (TrustStore::TrustedDevice{"a", "a", TrustStore::distantPast()}));
    EXPECT_EQ(devices[1].name, "Bee");
    EXPECT_EQ(TrustStore::formatDate(devices[1].since), "2026-12-05T09:55:00Z");

    // A list that is not UTF-8 reads as empty.
    keychain.set(bytesOf("a,\xC3"), "trustedIDs");
    EXPECT_TRUE(store.trustedDevices().empty());
}

TEST_F(TrustStoreTest, DatesAreInternetDateTimesInUtcWithWholeSeconds) {
    auto date = sys_days(year(2026) / December / 5) + hours(9) + minutes(55);
    EXPECT_EQ(TrustStore::formatDate(date), "2026-12-05T09:55:00Z");
    EXPECT_EQ(TrustStore::formatDate(TrustStore::distantPast()), "0001-01-01T00:00:00Z");

    struct Case {
        const char* text;
        std::optional<sys_seconds> expected;
    } cases[] = {
        {"2026-12-05T09:55:00Z", date},
        {"2026-12-05T10:55:00+01:00", date},
        {"2026-12-05T04:25:00-05:30", date},
        {"2026-12-05t09:55:00z", date},
        {"2026-12-05T09:55:00.250Z", std::nullopt},  // fractions are not written by us
        {"2026-12-05 09:55:00Z", std::nullopt},
        {"2026-02-30T09:55:00Z", std::nullopt},
        {"2026-12-05T24:00:00Z", std::nullopt},
        {"2026-12-05T09:55:00", std::nullopt},
        {"2026-12-05T09:55:00+0100", std::nullopt},
        {"", std::nullopt},
        {"yesterday", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(TrustStore::parseDate(c.text), c.expected) << c.text;
}

TEST_F(TrustStoreTest, VerifyAcceptsTheTrustedPhonesResponseOnly) {
    ASSERT_TRUE(store.trust("PHONE", "iPhone", phone.publicKey));
    auto nonce = DeviceAuth::makeNonce();
    auto hmac = phoneResponse(phone, nonce);
    EXPECT_TRUE(store.verify("PHONE", nonce, hmac));

    auto flipped = hmac;
    flipped[5] ^= 0x01;
    EXPECT_FALSE(store.verify("PHONE", nonce, flipped));
    EXPECT_FALSE(store.verify("PHONE", DeviceAuth::makeNonce(), hmac));
    EXPECT_FALSE(store.verify("OTHER", nonce, hmac));
    auto stranger = DeviceAuth::generateKeyPair();
    EXPECT_FALSE(store.verify("PHONE", nonce, phoneResponse(stranger, nonce)));

    store.revoke("PHONE");
    EXPECT_FALSE(store.verify("PHONE", nonce, hmac));
}

TEST_F(TrustStoreTest, AStoredPhoneKeyThatIsNotAPointFailsVerification) {
    Bytes notOnCurve(64, 0x11);
    for (const Bytes& key : {Bytes{}, Bytes(63, 1), notOnCurve, Bytes(65, 4)}) {
        keychain.set(key, "trust:P");
        EXPECT_FALSE(store.verify("P", DeviceAuth::makeNonce(), Bytes(32, 0))) << key.size();
    }
}

TEST_F(TrustStoreTest, ALostOrDamagedPrivateKeyIsReplacedAndOldResponsesFail) {
    ASSERT_TRUE(store.trust("PHONE", "iPhone", phone.publicKey));
    auto nonce = DeviceAuth::makeNonce();
    auto hmac = phoneResponse(phone, nonce);
    ASSERT_TRUE(store.verify("PHONE", nonce, hmac));
    auto original = keychain.read("macPrivateKey");
    ASSERT_TRUE(original);
    ASSERT_EQ(original->size(), 32u);

    fs::remove(dir.keychainDir() / "macPrivateKey");
    EXPECT_FALSE(store.verify("PHONE", nonce, hmac));
    auto replaced = keychain.read("macPrivateKey");
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->size(), 32u);
    EXPECT_NE(*replaced, *original);
    EXPECT_EQ(modeOf(dir.keychainDir() / "macPrivateKey"), 0600u);

    // A wrong-length key file is damaged: also replaced.
    writeRaw(dir.keychainDir() / "macPrivateKey", "short");
    auto before = store.macPublicKey();
    EXPECT_EQ(keychain.read("macPrivateKey")->size(), 32u);
    EXPECT_EQ(store.macPublicKey(), before);  // and stable from then on
}

TEST_F(TrustStoreTest, NewMacKeysHaveACompactRepresentablePublicPoint) {
    using Bn = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
    std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)> group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1),
                                                              &EC_GROUP_free);
    Bn p(BN_new(), &BN_free);
    ASSERT_EQ(EC_GROUP_get_curve(group.get(), p.get(), nullptr, nullptr, nullptr), 1);
    // About half of all random keys are not compact; 24 fresh keys would all pass by
    // chance with probability 2^-24.
    for (int i = 0; i < 24; ++i) {
        keychain.remove("macPrivateKey");
        auto publicKey = store.macPublicKey();
        ASSERT_EQ(publicKey.size(), 64u);
        Bn y(BN_bin2bn(publicKey.data() + 32, 32, nullptr), &BN_free);
        Bn otherY(BN_new(), &BN_free);
        ASSERT_EQ(BN_sub(otherY.get(), p.get(), y.get()), 1);
        EXPECT_LE(BN_cmp(y.get(), otherY.get()), 0) << "key " << i;
        auto stored = keychain.read("macPrivateKey");
        ASSERT_TRUE(stored);
        EXPECT_EQ(DeviceAuth::publicKey(*stored), publicKey);
    }
}

TEST_F(TrustStoreTest, MacDeviceIDIsAnUpperCaseUuidMadeOnce) {
    auto id = store.macDeviceID();
    ASSERT_EQ(id.size(), 36u);
    for (size_t i = 0; i < id.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) EXPECT_EQ(id[i], '-');
        else EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(id[i])) || (id[i] >= 'A' && id[i] <= 'F')) << id;
    }
    EXPECT_EQ(store.macDeviceID(), id);
    EXPECT_EQ(keychain.read("macDeviceID"), bytesOf(id));

    // An existing identifier is used as stored.
    keychain.set(bytesOf("MY-MAC"), "macDeviceID");
    EXPECT_EQ(store.macDeviceID(), "MY-MAC");
}

TEST_F(TrustStoreTest, QueuesCreatingTheIdentityAtOnceGetTheSameOne) {
    // The session queue (enrolment) and the server (advertising the ID) may both be first.
    constexpr int kThreads = 4;
    std::vector<Bytes> keys(kThreads);
    std::vector<std::string> ids(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            keys[i] = store.macPublicKey();
            ids[i] = store.macDeviceID();
        });
    }
    for (auto& thread : threads) thread.join();
    for (int i = 1; i < kThreads; ++i) {
        EXPECT_EQ(keys[i], keys[0]);
        EXPECT_EQ(ids[i], ids[0]);
    }
    auto stored = keychain.read("macPrivateKey");
    ASSERT_TRUE(stored);
    EXPECT_EQ(DeviceAuth::publicKey(*stored), keys[0]);
}

TEST_F(TrustStoreTest, IdsTheListCannotKeepAreRefused) {
    struct Case {
        std::string id;
        bool storable;
    } cases[] = {
        {"6F9619FF-8B86-D011-B42D-00C04FC964FF", true},
        {"phone:/1", true},
        {"a,b", false},
        {",", false},
        {"", false},
        {std::string("\xC3\x28", 2), false},
        {std::string(200, 'x'), true},
        {std::string(300, 'x'), false},
        {std::string(80, '-'), false},  // each "-" takes three bytes of the file name
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TrustStore::canStore(c.id), c.storable) << c.id;
        EXPECT_EQ(store.trust(c.id, "n", phone.publicKey), c.storable) << c.id;
    }
    auto devices = store.trustedDevices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[1].id, "phone:/1");
}

}  // namespace
}  // namespace df

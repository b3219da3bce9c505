#include "protocol/DeviceAuth.h"

#include "protocol/SecureRandom.h"
#include "tests/support/Hex.h"
#include "tests/support/PythonCheck.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

namespace df {
namespace {

using testsupport::fromHex;
using testsupport::toHex;

// Reference: python3-cryptography. For each (our private key, our public key, nonce) given
// in hex it makes a key pair of its own and prints: its private scalar, its raw public key,
// the public key it computes from our private scalar, the ECDH secret of its private key with
// our public key, the HKDF key and the HMAC of the nonce under that key.
constexpr const char* kReferenceScript =
    "import sys\n"
    "from cryptography.hazmat.primitives.asymmetric import ec\n"
    "from cryptography.hazmat.primitives import hashes, hmac\n"
    "from cryptography.hazmat.primitives.kdf.hkdf import HKDF\n"
    "def raw(pub):\n"
    "    n = pub.public_numbers()\n"
    "    return n.x.to_bytes(32, \"big\") + n.y.to_bytes(32, \"big\")\n"
    "def public_from_raw(b):\n"
    "    return ec.EllipticCurvePublicNumbers(int.from_bytes(b[:32], \"big\"), int.from_bytes(b[32:], \"big\"), ec.SECP256R1()).public_key()\n"
    "args = sys.argv[1:]\n"
    "for i in range(0, len(args), 3):\n"
    "    ours = ec.derive_private_key(int(args[i], 16), ec.SECP256R1())\n"
    "    theirs = ec.generate_private_key(ec.SECP256R1())\n"
    "    secret = theirs.exchange(ec.ECDH(), public_from_raw(bytes.fromhex(args[i + 1])))\n"
    "    key = HKDF(algorithm=hashes.SHA256(), length=32, salt=None, info=b\"duskferry-device-auth-v1\").derive(secret)\n"
    "    h = hmac.HMAC(key, hashes.SHA256()); h.update(bytes.fromhex(args[i + 2]))\n"
    "    print(theirs.private_numbers().private_value.to_bytes(32, \"big\").hex(), raw(theirs.public_key()).hex(),\n"
    "          raw(ours.public_key()).hex(), secret.hex(), key.hex(), h.finalize().hex())\n";

TEST(DeviceAuthTest, HkdfInfo) {
    const std::string text = "duskferry-device-auth-v1";
    EXPECT_EQ(DeviceAuth::hkdfInfo(), Bytes(text.begin(), text.end()));
    EXPECT_EQ(DeviceAuth::hkdfInfo().size(), 24u);
}

// Our key pair on one side, the reference's on the other, each computing from its own view.
TEST(DeviceAuthTest, AgreesWithAnIndependentImplementation) {
    DF_REQUIRE_PYTHON_REFERENCE();
    struct Round {
        DeviceAuth::KeyPair ours;
        Bytes nonce;
    };
    std::vector<Round> rounds;
    std::string args;
    for (int i = 0; i < 4; ++i) {
        rounds.push_back({DeviceAuth::generateKeyPair(), DeviceAuth::makeNonce()});
        args += " " + toHex(rounds.back().ours.privateKey) + " " + toHex(rounds.back().ours.publicKey) + " " +
                toHex(rounds.back().nonce);
    }
    const auto out = testsupport::runPython(kReferenceScript, args);
    ASSERT_TRUE(out.has_value());
    std::istringstream lines(*out);
    for (const Round& round : rounds) {
        std::string theirPrivate, theirPublic, ourPublic, secret, key, tag;
        ASSERT_TRUE(lines >> theirPrivate >> theirPublic >> ourPublic >> secret >> key >> tag);
        ASSERT_EQ(round.ours.privateKey.size(), 32u);
        EXPECT_EQ(toHex(round.ours.publicKey), ourPublic);
        EXPECT_EQ(DeviceAuth::publicKey(fromHex(theirPrivate)), fromHex(theirPublic));

        // We compute from our private key and the reference's public key.
        EXPECT_EQ(DeviceAuth::sharedSecret(round.ours.privateKey, fromHex(theirPublic)), fromHex(secret));
        const auto ourKey = DeviceAuth::authenticationKey(round.ours.privateKey, fromHex(theirPublic));
        ASSERT_TRUE(ourKey.has_value());
        EXPECT_EQ(toHex(*ourKey), key);
        EXPECT_EQ(toHex(DeviceAuth::deriveKey(fromHex(secret))), key);
        EXPECT_EQ(toHex(DeviceAuth::response(*ourKey, round.nonce)), tag);
        EXPECT_TRUE(DeviceAuth::verify(*ourKey, round.nonce, fromHex(tag)));
    }
}

// HKDF over input keying material of any length, the empty one included (RFC 5869 allows it).
TEST(DeviceAuthTest, DeriveKeyMatchesTheReferenceForAnyLength) {
    DF_REQUIRE_PYTHON_REFERENCE();
    const std::vector<Bytes> secrets{Bytes{}, Bytes{0x01}, Bytes(31, 0xAB), Bytes(32, 0x00), Bytes(100, 0x7F)};
    std::string args;  // "h" + hex, so that the empty secret is still an argument
    for (const auto& secret : secrets) args += " h" + toHex(secret);
    const auto out = testsupport::runPython(
        "import sys\n"
        "from cryptography.hazmat.primitives import hashes\n"
        "from cryptography.hazmat.primitives.kdf.hkdf import HKDF\n"
        "for a in sys.argv[1:]:\n"
        "    print(HKDF(algorithm=hashes.SHA256(), length=32, salt=None, info=b\"duskferry-device-auth-v1\").derive(bytes.fromhex(a[1:])).hex())\n",
        args);
    ASSERT_TRUE(out.has_value());
    std::istringstream lines(*out);
    for (const auto& secret : secrets) {
        std::string expected;
        ASSERT_TRUE(lines >> expected);
        EXPECT_EQ(toHex(DeviceAuth::deriveKey(secret)), expected) << secret.size() << " bytes";
    }
}

TEST(DeviceAuthTest, BothSidesDeriveTheSameKey) {
    const auto a = DeviceAuth::generateKeyPair();
    const auto b = DeviceAuth::generateKeyPair();
    const auto ab = DeviceAuth::authenticationKey(a.privateKey, b.publicKey);
    const auto ba = DeviceAuth::authenticationKey(b.privateKey, a.publicKey);
    ASSERT_TRUE(ab.has_value());
    ASSERT_TRUE(ba.has_value());
    EXPECT_EQ(*ab, *ba);
    EXPECT_EQ(ab->size(), 32u);
    EXPECT_EQ(DeviceAuth::publicKey(a.privateKey), a.publicKey);
    const auto c = DeviceAuth::generateKeyPair();
    EXPECT_NE(DeviceAuth::authenticationKey(a.privateKey, c.publicKey), ab);
}

TEST(DeviceAuthTest, VerifyRejectsAnyFlippedBitAndWrongLengths) {
    const Bytes key = DeviceAuth::deriveKey(Bytes(32, 0x42));
    const Bytes nonce = DeviceAuth::makeNonce();
    const Bytes tag = DeviceAuth::response(key, nonce);
    ASSERT_EQ(tag.size(), 32u);
    EXPECT_TRUE(DeviceAuth::verify(key, nonce, tag));

    auto flipEachBit = [](const Bytes& value, auto check) {
        for (size_t bit = 0; bit < value.size() * 8; ++bit) {
            Bytes flipped = value;
            flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            check(flipped, bit);
        }
    };
    flipEachBit(tag, [&](const Bytes& t, size_t bit) { EXPECT_FALSE(DeviceAuth::verify(key, nonce, t)) << bit; });
    flipEachBit(nonce, [&](const Bytes& n, size_t bit) { EXPECT_FALSE(DeviceAuth::verify(key, n, tag)) << bit; });
    flipEachBit(key, [&](const Bytes& k, size_t bit) { EXPECT_FALSE(DeviceAuth::verify(k, nonce, tag)) << bit; });

    for (size_t length : {size_t{0}, size_t{31}, size_t{33}, size_t{64}}) {
        Bytes wrong(tag.begin(), tag.begin() + std::min(length, tag.size()));
        wrong.resize(length, 0);
        EXPECT_FALSE(DeviceAuth::verify(key, nonce, wrong)) << length;
    }
    // A longer value that starts with the right tag is not the tag.
    Bytes extended = tag;
    extended.push_back(0);
    EXPECT_FALSE(DeviceAuth::verify(key, nonce, extended));
}

TEST(DeviceAuthTest, NoncesAreFreshAndThirtyTwoBytes) {
    const Bytes a = DeviceAuth::makeNonce();
    const Bytes b = DeviceAuth::makeNonce();
    EXPECT_EQ(a.size(), 32u);
    EXPECT_EQ(b.size(), 32u);
    EXPECT_NE(a, b);
}

TEST(DeviceAuthTest, InvalidKeysGiveNoSecret) {
    const auto good = DeviceAuth::generateKeyPair();
    Bytes offCurve = good.publicKey;
    offCurve[63] ^= 1;  // Y changed: the point no longer satisfies the curve equation
    // Order of P-256, n: not a valid private scalar; neither is n + 1 nor zero.
    const Bytes order = fromHex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
    Bytes orderPlusOne = order;
    orderPlusOne[31] += 1;
    Bytes orderMinusOne = order;
    orderMinusOne[31] -= 1;
    Bytes sec1 = good.publicKey;
    sec1.insert(sec1.begin(), uint8_t{4});

    const struct {
        const char* what;
        Bytes privateKey;
        Bytes publicKey;
    } cases[] = {
        {"point off the curve", good.privateKey, offCurve},
        {"all-zero point", good.privateKey, Bytes(64, 0)},
        {"63-byte public key", good.privateKey, Bytes(good.publicKey.begin(), good.publicKey.end() - 1)},
        {"65-byte SEC1 form", good.privateKey, sec1},
        {"empty public key", good.privateKey, {}},
        {"zero scalar", Bytes(32, 0), good.publicKey},
        {"scalar equal to the order", order, good.publicKey},
        {"scalar above the order", orderPlusOne, good.publicKey},
        {"31-byte scalar", Bytes(31, 1), good.publicKey},
        {"33-byte scalar", Bytes(33, 1), good.publicKey},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(DeviceAuth::sharedSecret(c.privateKey, c.publicKey).has_value()) << c.what;
        EXPECT_FALSE(DeviceAuth::authenticationKey(c.privateKey, c.publicKey).has_value()) << c.what;
    }
    EXPECT_FALSE(DeviceAuth::publicKey(order).has_value());
    EXPECT_FALSE(DeviceAuth::publicKey(Bytes(32, 0)).has_value());
    // The largest valid scalar works.
    EXPECT_TRUE(DeviceAuth::sharedSecret(orderMinusOne, good.publicKey).has_value());
}

TEST(DeviceAuthTest, HkdfInfoIsSafeToReachFromManyThreads) {
    std::vector<const Bytes*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = &DeviceAuth::hkdfInfo(); });
    for (auto& t : threads) t.join();
    for (const Bytes* p : seen) EXPECT_EQ(p, seen[0]);
}

namespace {
bool brokenSource(uint8_t*, size_t) { return false; }
}  // namespace

TEST(DeviceAuthDeathTest, AFailingGeneratorNeverYieldsAZeroNonce) {
    EXPECT_DEATH(
        {
            SecureRandom::setSourceForTesting(&brokenSource);
            DeviceAuth::makeNonce();
        },
        "secure random generator failed");
}

}  // namespace
}  // namespace df

#include "protocol/DeviceAuth.h"

#include "protocol/SecureRandom.h"
#include "tests/protocol/Hex.h"
#include "tests/protocol/PythonCheck.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

namespace df {
namespace {

using testing::fromHex;
using testing::toHex;

// Reference: python3-cryptography, for keys generated on either side.
//   argv: privA pubB nonce (hex) -> privA's public key, the ECDH secret, the HKDF key and the HMAC
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
    "if sys.argv[1] == \"keypair\":\n"
    "    k = ec.generate_private_key(ec.SECP256R1())\n"
    "    print(k.private_numbers().private_value.to_bytes(32, \"big\").hex())\n"
    "    print(raw(k.public_key()).hex())\n"
    "    sys.exit(0)\n"
    "priv = ec.derive_private_key(int(sys.argv[1], 16), ec.SECP256R1())\n"
    "secret = priv.exchange(ec.ECDH(), public_from_raw(bytes.fromhex(sys.argv[2])))\n"
    "key = HKDF(algorithm=hashes.SHA256(), length=32, salt=None, info=b\"duskferry-device-auth-v1\").derive(secret)\n"
    "h = hmac.HMAC(key, hashes.SHA256()); h.update(bytes.fromhex(sys.argv[3]))\n"
    "print(raw(priv.public_key()).hex()); print(secret.hex()); print(key.hex()); print(h.finalize().hex())\n";

struct Reference {
    Bytes ownPublic, secret, key, tag;
};

std::optional<Reference> reference(const Bytes& privateKey, const Bytes& peerPublic, const Bytes& nonce) {
    const auto out = testing::runPython(kReferenceScript, toHex(privateKey) + " " + toHex(peerPublic) + " " + toHex(nonce));
    if (!out) return std::nullopt;
    std::istringstream lines(*out);
    std::string a, b, c, d;
    if (!std::getline(lines, a) || !std::getline(lines, b) || !std::getline(lines, c) || !std::getline(lines, d)) {
        return std::nullopt;
    }
    return Reference{fromHex(a), fromHex(b), fromHex(c), fromHex(d)};
}

std::optional<DeviceAuth::KeyPair> referenceKeyPair() {
    const auto out = testing::runPython(kReferenceScript, "keypair");
    if (!out) return std::nullopt;
    std::istringstream lines(*out);
    std::string priv, pub;
    if (!std::getline(lines, priv) || !std::getline(lines, pub)) return std::nullopt;
    return DeviceAuth::KeyPair{fromHex(priv), fromHex(pub)};
}

TEST(DeviceAuthTest, HkdfInfo) {
    const std::string text = "duskferry-device-auth-v1";
    EXPECT_EQ(DeviceAuth::hkdfInfo(), Bytes(text.begin(), text.end()));
    EXPECT_EQ(DeviceAuth::hkdfInfo().size(), 24u);
}

// Our key pair on one side, the reference's on the other, each computing from its own view.
TEST(DeviceAuthTest, AgreesWithAnIndependentImplementation) {
    DF_REQUIRE_PYTHON_REFERENCE();
    for (int round = 0; round < 3; ++round) {
        const DeviceAuth::KeyPair ours = DeviceAuth::generateKeyPair();
        const auto theirs = referenceKeyPair();
        ASSERT_TRUE(theirs.has_value());
        ASSERT_EQ(ours.privateKey.size(), 32u);
        ASSERT_EQ(ours.publicKey.size(), 64u);
        const Bytes nonce = DeviceAuth::makeNonce();

        // The reference computes with our public key and its own private key ...
        const auto ref = reference(theirs->privateKey, ours.publicKey, nonce);
        ASSERT_TRUE(ref.has_value());
        EXPECT_EQ(ref->ownPublic, theirs->publicKey);
        // ... and we with its public key and our private key: the same secret, key and tag.
        EXPECT_EQ(DeviceAuth::publicKey(theirs->privateKey), theirs->publicKey);
        EXPECT_EQ(DeviceAuth::sharedSecret(ours.privateKey, theirs->publicKey), ref->secret);
        const auto key = DeviceAuth::authenticationKey(ours.privateKey, theirs->publicKey);
        ASSERT_TRUE(key.has_value());
        EXPECT_EQ(*key, ref->key);
        EXPECT_EQ(DeviceAuth::deriveKey(ref->secret), ref->key);
        EXPECT_EQ(DeviceAuth::response(*key, nonce), ref->tag);
        EXPECT_TRUE(DeviceAuth::verify(*key, nonce, ref->tag));

        // The reference also agrees on our own key pair's public half.
        const auto self = reference(ours.privateKey, theirs->publicKey, nonce);
        ASSERT_TRUE(self.has_value());
        EXPECT_EQ(self->ownPublic, ours.publicKey);
        EXPECT_EQ(self->key, ref->key);
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

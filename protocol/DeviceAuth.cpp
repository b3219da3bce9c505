#include "protocol/DeviceAuth.h"

#include "protocol/SecureRandom.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <memory>

namespace df::DeviceAuth {
namespace {

constexpr size_t kScalarSize = 32;
constexpr size_t kRawPublicKeySize = 64;
constexpr size_t kKeySize = 32;
constexpr size_t kTagSize = 32;
constexpr const char* kCurveName = "prime256v1";

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Kdf = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF, EVP_KDF_free>>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;
using Num = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using ParamBuild = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using Group = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP, EC_GROUP_free>>;
using Point = std::unique_ptr<EC_POINT, Deleter<EC_POINT, EC_POINT_free>>;

/// The uncompressed SEC1 form (0x04 || X || Y) of a raw 64-byte key.
Bytes sec1FromRaw(const Bytes& raw) {
    Bytes sec1;
    sec1.reserve(1 + kRawPublicKeySize);
    sec1.push_back(0x04);
    sec1.insert(sec1.end(), raw.begin(), raw.end());
    return sec1;
}

/// The private scalar as a number, when it is a valid P-256 private key (1 <= d < n).
Num scalarFromBytes(const Bytes& privateKey, const EC_GROUP* group) {
    if (privateKey.size() != kScalarSize) return nullptr;
    Num d(BN_bin2bn(privateKey.data(), static_cast<int>(privateKey.size()), nullptr));
    if (!d || BN_is_zero(d.get()) || BN_cmp(d.get(), EC_GROUP_get0_order(group)) >= 0) return nullptr;
    return d;
}

/// The curve, built once: making a group costs more than a scalar multiplication in
/// OpenSSL 3, and a built group is only read afterwards, so threads may share it.
const EC_GROUP* p256() {
    static const Group group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    return group.get();
}

/// The raw public key d * G.
std::optional<Bytes> publicFromScalar(const BIGNUM* d, const EC_GROUP* group) {
    Point point(EC_POINT_new(group));
    if (!point || EC_POINT_mul(group, point.get(), d, nullptr, nullptr, nullptr) != 1) return std::nullopt;
    uint8_t sec1[1 + kRawPublicKeySize];
    if (EC_POINT_point2oct(group, point.get(), POINT_CONVERSION_UNCOMPRESSED, sec1, sizeof sec1, nullptr) !=
        sizeof sec1) {
        return std::nullopt;
    }
    return Bytes(sec1 + 1, sec1 + sizeof sec1);
}

/// An EVP key from OpenSSL parameters.
PKey keyFromParams(OSSL_PARAM_BLD* build, int selection) {
    Params params(OSSL_PARAM_BLD_to_param(build));
    PKeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, selection, params.get()) != 1) {
        return nullptr;
    }
    return PKey(key);
}

/// A peer's public key. Import alone does not reject every bad point in every provider, so
/// the point is checked: on the curve and not the point at infinity. P-256 has cofactor 1,
/// so every such point has the group's prime order and the quick check is the full one.
PKey peerKey(const Bytes& rawPublic) {
    if (rawPublic.size() != kRawPublicKeySize) return nullptr;
    const Bytes sec1 = sec1FromRaw(rawPublic);
    ParamBuild build(OSSL_PARAM_BLD_new());
    if (!build || OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, kCurveName, 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, sec1.data(), sec1.size()) != 1) {
        return nullptr;
    }
    PKey result = keyFromParams(build.get(), EVP_PKEY_PUBLIC_KEY);
    if (!result) return nullptr;
    PKeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, result.get(), nullptr));
    if (!check || EVP_PKEY_public_check_quick(check.get()) != 1) return nullptr;
    return result;
}

/// Our own key for key agreement: the private scalar alone (already range-checked), since
/// ECDH needs no public half of its own, and computing it would cost a multiplication.
PKey ownKey(const BIGNUM* d) {
    ParamBuild build(OSSL_PARAM_BLD_new());
    if (!build || OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, kCurveName, 0) != 1 ||
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, d) != 1) {
        return nullptr;
    }
    return keyFromParams(build.get(), EVP_PKEY_KEYPAIR);
}

}  // namespace

const Bytes& hkdfInfo() {
    // Function-local static: built once, safe when first reached from two threads.
    static const Bytes info = [] {
        constexpr std::string_view text = "duskferry-device-auth-v1";
        return Bytes(text.begin(), text.end());
    }();
    return info;
}

Bytes makeNonce() {
    Bytes nonce(32);
    SecureRandom::fill(nonce.data(), nonce.size());
    return nonce;
}

Bytes deriveKey(const Bytes& sharedSecret) {
    // RFC 5869 in its two steps. OpenSSL's HKDF refuses empty input keying material, which the
    // RFC allows, so the extract step (HMAC keyed by the salt; an empty salt is hash-length
    // zeros) is one HMAC here and OpenSSL expands the pseudorandom key.
    const Bytes zeroSalt(kKeySize, 0);
    Bytes prk = response(zeroSalt, sharedSecret);
    if (prk.size() != kKeySize) return {};

    Kdf kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    KdfCtx ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    if (!ctx) return {};
    Bytes info = hkdfInfo();  // OSSL_PARAM takes non-const pointers
    char digest[] = "SHA256";
    int mode = EVP_KDF_HKDF_MODE_EXPAND_ONLY;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, prk.data(), prk.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info.data(), info.size()),
        OSSL_PARAM_construct_end(),
    };
    Bytes key(kKeySize);
    const int ok = EVP_KDF_derive(ctx.get(), key.data(), key.size(), params);
    OPENSSL_cleanse(prk.data(), prk.size());
    if (ok != 1) return {};
    return key;
}

Bytes response(const Bytes& key, const Bytes& nonce) {
    Bytes tag(kTagSize);
    unsigned int length = 0;
    // HMAC() reads a null key or message pointer as "none given"; empty ones must still count.
    static const uint8_t kEmpty = 0;
    if (HMAC(EVP_sha256(), key.empty() ? &kEmpty : key.data(), static_cast<int>(key.size()),
             nonce.empty() ? &kEmpty : nonce.data(),
             nonce.size(), tag.data(), &length) == nullptr ||
        length != kTagSize) {
        return {};
    }
    return tag;
}

bool verify(const Bytes& key, const Bytes& nonce, const Bytes& hmac) {
    if (hmac.size() != kTagSize) return false;
    const Bytes expected = response(key, nonce);
    if (expected.size() != kTagSize) return false;
    return CRYPTO_memcmp(expected.data(), hmac.data(), kTagSize) == 0;
}

KeyPair generateKeyPair() {
    const EC_GROUP* group = p256();
    for (;;) {
        // A uniformly drawn 256-bit value is a valid scalar except with probability ~2^-32.
        Bytes scalar(kScalarSize);
        SecureRandom::fill(scalar.data(), scalar.size());
        Num d = scalarFromBytes(scalar, group);
        if (d) {
            if (auto pub = publicFromScalar(d.get(), group)) return KeyPair{std::move(scalar), std::move(*pub)};
        }
        OPENSSL_cleanse(scalar.data(), scalar.size());  // a drawn scalar does not stay in freed memory
    }
}

std::optional<Bytes> publicKey(const Bytes& privateKey) {
    const EC_GROUP* group = p256();
    Num d = group ? scalarFromBytes(privateKey, group) : nullptr;
    if (!d) return std::nullopt;
    return publicFromScalar(d.get(), group);
}

std::optional<Bytes> sharedSecret(const Bytes& privateKey, const Bytes& peerPublicKey) {
    const EC_GROUP* group = p256();
    Num d = group ? scalarFromBytes(privateKey, group) : nullptr;
    if (!d) return std::nullopt;
    PKey own = ownKey(d.get());
    PKey peer = peerKey(peerPublicKey);
    if (!own || !peer) return std::nullopt;

    PKeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own.get(), nullptr));
    size_t length = 0;
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1 ||
        EVP_PKEY_derive(ctx.get(), nullptr, &length) != 1 || length != kScalarSize) {
        return std::nullopt;
    }
    Bytes secret(length);
    if (EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1 || length != kScalarSize) return std::nullopt;
    return secret;
}

std::optional<Bytes> authenticationKey(const Bytes& privateKey, const Bytes& peerPublicKey) {
    auto secret = sharedSecret(privateKey, peerPublicKey);
    if (!secret) return std::nullopt;
    Bytes key = deriveKey(*secret);
    OPENSSL_cleanse(secret->data(), secret->size());
    if (key.empty()) return std::nullopt;
    return key;
}

}  // namespace df::DeviceAuth

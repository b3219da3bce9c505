#include "DuskFerryAgent/trust/TrustStore.h"

#include "DuskFerryAgent/shell/Utf8.h"
#include "protocol/DeviceAuth.h"
#include "protocol/SecureRandom.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>

namespace df {

namespace {
using namespace std::chrono;

constexpr std::string_view kMacDeviceID = "macDeviceID";
constexpr std::string_view kMacPrivateKey = "macPrivateKey";
constexpr std::string_view kTrustedIDs = "trustedIDs";
constexpr size_t kPrivateKeySize = 32;
constexpr size_t kPublicKeySize = 64;
// File names are limited to 255 bytes; the atomic write adds "." and ".XXXXXX".
constexpr size_t kMaxEntryFileName = 255 - 8;

std::string key(std::string_view prefix, std::string_view deviceID) {
    std::string k(prefix);
    k.append(deviceID);
    return k;
}
std::string trustKey(std::string_view id) { return key("trust:", id); }
std::string nameKey(std::string_view id) { return key("trustname:", id); }
std::string sinceKey(std::string_view id) { return key("trustsince:", id); }

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Private key bytes do not stay behind in freed memory.
void wipe(Bytes& secret) {
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
}

// --- P-256 helpers (OpenSSL) -------------------------------------------------------------

struct BnDeleter {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using Bn = std::unique_ptr<BIGNUM, BnDeleter>;
struct GroupDeleter {
    void operator()(EC_GROUP* g) const { EC_GROUP_free(g); }
};
struct PointDeleter {
    void operator()(EC_POINT* p) const { EC_POINT_free(p); }
};

const EC_GROUP* p256() {
    static std::unique_ptr<EC_GROUP, GroupDeleter> group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    return group.get();
}

Bn bnFrom(const uint8_t* data, size_t size) { return Bn(BN_bin2bn(data, static_cast<int>(size), nullptr)); }

}  // namespace

// A raw public key (X then Y) that names a point on the curve.
bool TrustStore::isValidPublicKey(const Bytes& raw) {
    if (raw.size() != kPublicKeySize || p256() == nullptr) return false;
    uint8_t encoded[1 + kPublicKeySize];
    encoded[0] = 0x04;  // uncompressed form
    std::copy(raw.begin(), raw.end(), encoded + 1);
    std::unique_ptr<EC_POINT, PointDeleter> point(EC_POINT_new(p256()));
    return point && EC_POINT_oct2point(p256(), point.get(), encoded, sizeof encoded, nullptr) == 1;
}

namespace {

// Compact representation (the X coordinate alone determines the point) needs Y to be the
// smaller of y and p - y.
bool isCompactRepresentable(const Bytes& publicKey) {
    if (publicKey.size() != kPublicKeySize || p256() == nullptr) return false;
    Bn p(BN_new());
    Bn y = bnFrom(publicKey.data() + 32, 32);
    Bn other(BN_new());
    if (!p || !y || !other || EC_GROUP_get_curve(p256(), p.get(), nullptr, nullptr, nullptr) != 1) return false;
    if (BN_sub(other.get(), p.get(), y.get()) != 1) return false;
    return BN_cmp(y.get(), other.get()) <= 0;
}

// n - d: the private key of the point with the same X and the other Y.
std::optional<Bytes> negatedScalar(const Bytes& privateKey) {
    const BIGNUM* order = p256() ? EC_GROUP_get0_order(p256()) : nullptr;
    Bn d = bnFrom(privateKey.data(), privateKey.size());
    Bn negated(BN_new());
    if (order == nullptr || !d || !negated || BN_sub(negated.get(), order, d.get()) != 1) return std::nullopt;
    Bytes out(kPrivateKeySize);
    bool ok = BN_bn2binpad(negated.get(), out.data(), static_cast<int>(out.size())) == static_cast<int>(out.size());
    BN_clear(d.get());
    BN_clear(negated.get());
    if (!ok) {
        wipe(out);
        return std::nullopt;
    }
    return out;
}

std::optional<DeviceAuth::KeyPair> generateCompactKeyPair() {
    // One draw is enough (d or n - d always works); the loop only guards odd failures.
    for (int attempt = 0; attempt < 4; ++attempt) {
        auto pair = DeviceAuth::generateKeyPair();
        if (pair.privateKey.size() == kPrivateKeySize && pair.publicKey.size() == kPublicKeySize) {
            if (isCompactRepresentable(pair.publicKey)) return pair;
            auto negated = negatedScalar(pair.privateKey);
            wipe(pair.privateKey);
            if (!negated) continue;
            auto publicKey = DeviceAuth::publicKey(*negated);
            if (publicKey && isCompactRepresentable(*publicKey)) {
                return DeviceAuth::KeyPair{std::move(*negated), std::move(*publicKey)};
            }
            wipe(*negated);
            continue;
        }
        wipe(pair.privateKey);
    }
    return std::nullopt;
}

std::string makeUuid() {
    uint8_t b[16] = {};
    SecureRandom::fill(b, sizeof b);  // checked: never a predictable identifier
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

// --- dates ---------------------------------------------------------------------------------

bool digits(std::string_view text, size_t pos, size_t count, int& value) {
    if (pos + count > text.size()) return false;
    value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}
}  // namespace

TrustStore::TrustStore(AgentKeychain& keychain) : keychain_(keychain) {}

std::optional<std::string> TrustStore::readText(std::string_view entry) const {
    auto bytes = keychain_.read(entry);
    if (!bytes) return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    if (!Utf8::isValid(text)) return std::nullopt;
    return text;
}

std::vector<std::string> TrustStore::readTrustedIDs() const {
    std::string list = readText(kTrustedIDs).value_or("");
    std::vector<std::string> ids;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        if (comma > start) ids.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return ids;
}

void TrustStore::writeTrustedIDs(const std::vector<std::string>& ids) {
    std::string list;
    for (const auto& id : ids) {
        if (!list.empty()) list.push_back(',');
        list += id;
    }
    keychain_.set(bytesOf(list), kTrustedIDs);
}

// Load-or-create of the Mac's key pair; nothing when no key could be made.
std::optional<DeviceAuth::KeyPair> TrustStore::macKeyPair() {
    std::lock_guard lock(identityMutex_);
    Bytes stored;
    switch (keychain_.lookup(kMacPrivateKey, stored)) {
        case AgentKeychain::Lookup::found:
            if (stored.size() == kPrivateKeySize) {
                if (auto publicKey = DeviceAuth::publicKey(stored)) return DeviceAuth::KeyPair{std::move(stored), *publicKey};
            }
            break;  // damaged beyond use: a new identity is all that can help
        case AgentKeychain::Lookup::unreadable:
            // Out of descriptors, say: the key is there, just not now. A new one would
            // take the Mac's identity from every paired phone.
            return std::nullopt;
        case AgentKeychain::Lookup::missing:
            break;
    }
    wipe(stored);
    auto fresh = generateCompactKeyPair();
    if (fresh) keychain_.set(fresh->privateKey, kMacPrivateKey);
    return fresh;
}

sys_seconds TrustStore::distantPast() {
    return sys_seconds(sys_days(year(1) / January / 1));
}

std::string TrustStore::formatDate(sys_seconds time) {
    auto day = floor<days>(time);
    year_month_day date(day);
    hh_mm_ss clock(time - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

std::optional<sys_seconds> TrustStore::parseDate(std::string_view text) {
    // yyyy-MM-ddTHH:mm:ss followed by Z or ±hh:mm (RFC 3339 without fractions).
    int y, mo, d, h, mi, s;
    if (!digits(text, 0, 4, y) || text.size() < 20 || text[4] != '-' || !digits(text, 5, 2, mo) || text[7] != '-' ||
        !digits(text, 8, 2, d) || (text[10] != 'T' && text[10] != 't') || !digits(text, 11, 2, h) ||
        text[13] != ':' || !digits(text, 14, 2, mi) || text[16] != ':' || !digits(text, 17, 2, s)) {
        return std::nullopt;
    }
    year_month_day date{year(y), month(static_cast<unsigned>(mo)), day(static_cast<unsigned>(d))};
    if (!date.ok() || h > 23 || mi > 59 || s > 59) return std::nullopt;
    seconds offset{0};
    auto zone = text.substr(19);
    if (zone == "Z" || zone == "z") {
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
        int oh, om;
        if (!digits(zone, 1, 2, oh) || !digits(zone, 4, 2, om) || oh > 23 || om > 59) return std::nullopt;
        offset = hours(oh) + minutes(om);
        if (zone[0] == '-') offset = -offset;
    } else {
        return std::nullopt;
    }
    return sys_seconds(sys_days(date)) + hours(h) + minutes(mi) + seconds(s) - offset;
}

std::vector<TrustStore::TrustedDevice> TrustStore::trustedDevices() const {
    std::vector<TrustedDevice> devices;
    for (auto& id : readTrustedIDs()) {
        TrustedDevice device;
        device.name = readText(nameKey(id)).value_or(id);
        auto since = readText(sinceKey(id));
        device.since = since ? parseDate(*since).value_or(distantPast()) : distantPast();
        device.id = std::move(id);
        devices.push_back(std::move(device));
    }
    return devices;
}

bool TrustStore::canStore(std::string_view deviceID) {
    return !deviceID.empty() && deviceID.find(',') == std::string_view::npos && Utf8::isValid(deviceID) &&
           AgentKeychain::fileName(sinceKey(deviceID)).size() <= kMaxEntryFileName &&
           AgentKeychain::fileName(nameKey(deviceID)).size() <= kMaxEntryFileName;
}

bool TrustStore::trust(std::string_view deviceID, std::string_view name, const Bytes& iosPublicKey) {
    if (!canStore(deviceID) || !isValidPublicKey(iosPublicKey)) return false;
    keychain_.set(iosPublicKey, trustKey(deviceID));
    keychain_.set(bytesOf(name), nameKey(deviceID));
    keychain_.set(bytesOf(formatDate(floor<seconds>(system_clock::now()))), sinceKey(deviceID));
    std::lock_guard lock(listMutex_);
    auto ids = readTrustedIDs();
    if (std::find(ids.begin(), ids.end(), deviceID) == ids.end()) {
        ids.emplace_back(deviceID);
        writeTrustedIDs(ids);
    }
    return true;
}

bool TrustStore::verify(std::string_view deviceID, const Bytes& nonce, const Bytes& hmac) {
    auto phoneKey = keychain_.read(trustKey(deviceID));
    if (!phoneKey || !isValidPublicKey(*phoneKey)) return false;
    auto mac = macKeyPair();
    if (!mac) return false;
    auto key = DeviceAuth::authenticationKey(mac->privateKey, *phoneKey);
    wipe(mac->privateKey);
    if (!key) return false;
    bool verified = DeviceAuth::verify(*key, nonce, hmac);
    wipe(*key);
    return verified;
}

void TrustStore::revoke(std::string_view deviceID) {
    keychain_.remove(trustKey(deviceID));
    keychain_.remove(nameKey(deviceID));
    keychain_.remove(sinceKey(deviceID));
    std::lock_guard lock(listMutex_);
    auto ids = readTrustedIDs();
    std::erase(ids, deviceID);
    writeTrustedIDs(ids);
}

bool TrustStore::isTrusted(std::string_view deviceID) const {
    return keychain_.read(trustKey(deviceID)).has_value();
}

std::optional<Bytes> TrustStore::storedPublicKey(std::string_view deviceID) const {
    return keychain_.read(trustKey(deviceID));
}

Bytes TrustStore::macPublicKey() {
    auto pair = macKeyPair();
    if (!pair) return {};
    wipe(pair->privateKey);
    return pair->publicKey;
}

std::string TrustStore::macDeviceID() {
    std::lock_guard lock(identityMutex_);
    if (auto stored = readText(kMacDeviceID); stored && !stored->empty()) return *stored;
    auto id = makeUuid();
    keychain_.set(bytesOf(id), kMacDeviceID);
    return id;
}

}  // namespace df

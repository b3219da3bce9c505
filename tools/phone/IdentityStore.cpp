#include "tools/phone/IdentityStore.h"

#include "platform/XdgDirs.h"
#include "protocol/Base64.h"
#include "protocol/DeviceAuth.h"

#include <nlohmann/json.hpp>
#include <openssl/rand.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace df::phone {

namespace fs = std::filesystem;

namespace {

constexpr const char* kIdentityFile = "identity.json";
constexpr const char* kComputersFile = "computers.json";

std::optional<std::string> readFile(const fs::path& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot read " + path.string();
        return std::nullopt;
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool writeFileAtomically(const fs::path& path, const std::string& text, std::string* error) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    ::chmod(path.parent_path().c_str(), 0700);
    const fs::path tmp = path.string() + ".tmp";
    const mode_t old = ::umask(077);
    FILE* f = std::fopen(tmp.c_str(), "wb");
    ::umask(old);
    bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = f && std::fflush(f) == 0 && ::fsync(fileno(f)) == 0 && ok;
    if (f) ok = std::fclose(f) == 0 && ok;
    if (ok) {
        fs::rename(tmp, path, ec);
        ok = !ec;
    }
    if (!ok) {
        fs::remove(tmp, ec);
        if (error) *error = "cannot write " + path.string();
    }
    return ok;
}

}  // namespace

std::string makeUuid() {
    uint8_t b[16] = {};
    RAND_bytes(b, sizeof b);
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);
    char s[37];
    std::snprintf(s, sizeof s,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return s;
}

fs::path IdentityStore::defaultDirectory() {
    return XdgDirs::dataHome() / "duskferry-phone";
}

Result<PhoneIdentity> IdentityStore::loadOrCreate(const std::optional<std::string>& name) {
    const fs::path path = dir_ / kIdentityFile;
    std::error_code ec;
    PhoneIdentity id;
    bool dirty = false;
    if (fs::exists(path, ec)) {
        std::string err;
        const auto text = readFile(path, &err);
        if (!text) return Failure{err};
        const auto json = nlohmann::json::parse(*text, nullptr, false);
        auto broken = [&] {
            return Failure{path.string() + " is damaged; move it away to start as a new phone "
                                           "(the computers will have to approve it again)"};
        };
        if (!json.is_object() || !json.contains("deviceID") || !json["deviceID"].is_string() ||
            !json.contains("deviceName") || !json["deviceName"].is_string() ||
            !json.contains("privateKey") || !json["privateKey"].is_string())
            return broken();
        id.deviceID = json["deviceID"].get<std::string>();
        id.deviceName = json["deviceName"].get<std::string>();
        const auto key = Base64::decode(json["privateKey"].get<std::string>());
        if (!key || id.deviceID.empty()) return broken();
        const auto pub = DeviceAuth::publicKey(*key);
        if (!pub) return broken();
        id.privateKey = *key;
        id.publicKey = *pub;
    } else {
        auto pair = DeviceAuth::generateKeyPair();
        id.deviceID = makeUuid();
        id.deviceName = "duskferry-phone";
        id.privateKey = std::move(pair.privateKey);
        id.publicKey = std::move(pair.publicKey);
        dirty = true;
    }
    if (name && !name->empty() && *name != id.deviceName) {
        id.deviceName = *name;
        dirty = true;
    }
    if (dirty) {
        const nlohmann::json json = {{"deviceID", id.deviceID},
                                     {"deviceName", id.deviceName},
                                     {"privateKey", Base64::encode(id.privateKey)}};
        std::string err;
        if (!writeFileAtomically(path, json.dump(2) + "\n", &err)) return Failure{err};
    }
    return id;
}

std::optional<Bytes> IdentityStore::macPublicKey(const std::string& macDeviceID) const {
    const auto text = readFile(dir_ / kComputersFile, nullptr);
    if (!text) return std::nullopt;
    const auto json = nlohmann::json::parse(*text, nullptr, false);
    if (!json.is_object()) return std::nullopt;
    const auto it = json.find(macDeviceID);
    if (it == json.end() || !it->is_object() || !it->contains("publicKey") ||
        !(*it)["publicKey"].is_string())
        return std::nullopt;
    auto key = Base64::decode((*it)["publicKey"].get<std::string>());
    if (!key || key->size() != 64) return std::nullopt;
    return key;
}

bool IdentityStore::storeMacPublicKey(const std::string& macDeviceID, const std::string& macName,
                                      const Bytes& publicKey, std::string* error) {
    nlohmann::json json = nlohmann::json::object();
    if (const auto text = readFile(dir_ / kComputersFile, nullptr)) {
        auto parsed = nlohmann::json::parse(*text, nullptr, false);
        // A damaged list is replaced rather than blocking a fresh enrolment.
        if (parsed.is_object()) json = std::move(parsed);
    }
    json[macDeviceID] = {{"publicKey", Base64::encode(publicKey)}, {"macName", macName}};
    return writeFileAtomically(dir_ / kComputersFile, json.dump(2) + "\n", error);
}

}  // namespace df::phone

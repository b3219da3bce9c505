// Costs of the lookups that run on every status text and every reconnecting phone:
// L10n::t (the language is worked out once, so a lookup is a table search), and the trust
// store's verification and listing over the key store on disk (no cache: files are read on
// every call).

#include "DuskFerryAgent/shell/AgentSettings.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/fake/settings/MemorySettingsStore.h"
#include "platform/linux/keychain/FileAgentKeychain.h"
#include "protocol/DeviceAuth.h"
#include "tests/support/TempDir.h"

#include <benchmark/benchmark.h>

namespace df {
namespace {

void BM_L10nLookupFollowingTheSystem(benchmark::State& state) {
    fake::MemorySettingsStore store;
    AgentSettings(store).setLanguageOverride("auto");
    L10n l10n(store, {"de-DE"});
    for (auto _ : state) benchmark::DoNotOptimize(l10n.t("已连接，等待握手…"));
}
BENCHMARK(BM_L10nLookupFollowingTheSystem);

void BM_L10nLookupWithChosenLanguage(benchmark::State& state) {
    fake::MemorySettingsStore store;
    AgentSettings(store).setLanguageOverride("ja");
    L10n l10n(store, {"de-DE"});
    for (auto _ : state) benchmark::DoNotOptimize(l10n.tf("已连接：%@", "Anna’s iPhone"));
}
BENCHMARK(BM_L10nLookupWithChosenLanguage);

void BM_TrustStoreVerify(benchmark::State& state) {
    testsupport::TempDir dir;
    FileAgentKeychain keychain(dir / "keys");
    TrustStore store(keychain);
    auto phone = DeviceAuth::generateKeyPair();
    store.trust("6F9619FF-8B86-D011-B42D-00C04FC964FF", "iPhone", phone.publicKey);
    auto nonce = DeviceAuth::makeNonce();
    auto key = DeviceAuth::authenticationKey(phone.privateKey, store.macPublicKey());
    auto hmac = DeviceAuth::response(*key, nonce);
    for (auto _ : state) {
        bool ok = store.verify("6F9619FF-8B86-D011-B42D-00C04FC964FF", nonce, hmac);
        if (!ok) state.SkipWithError("verification failed");
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(BM_TrustStoreVerify)->Unit(benchmark::kMicrosecond);

void BM_TrustedDevicesListing(benchmark::State& state) {
    testsupport::TempDir dir;
    FileAgentKeychain keychain(dir / "keys");
    TrustStore store(keychain);
    auto phone = DeviceAuth::generateKeyPair();
    for (int i = 0; i < state.range(0); ++i) store.trust("PHONE-" + std::to_string(i), "iPhone", phone.publicKey);
    for (auto _ : state) benchmark::DoNotOptimize(store.trustedDevices());
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TrustedDevicesListing)->Arg(1)->Arg(20)->Unit(benchmark::kMicrosecond);

void BM_TrustNewDevice(benchmark::State& state) {
    testsupport::TempDir dir;
    FileAgentKeychain keychain(dir / "keys");
    TrustStore store(keychain);
    auto phone = DeviceAuth::generateKeyPair();
    int i = 0;
    // Four atomic replaces with a flush each: the cost of an enrolment's bookkeeping.
    for (auto _ : state) store.trust("PHONE-" + std::to_string(i++ % 8), "iPhone", phone.publicKey);
}
BENCHMARK(BM_TrustNewDevice)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace df

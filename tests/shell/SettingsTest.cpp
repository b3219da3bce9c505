// The settings file and the rules for the agent's settings, against the real file store
// in a temporary home.

#include "DuskFerryAgent/shell/AgentSettings.h"
#include "platform/fake/settings/MemorySettingsStore.h"
#include "platform/linux/settings/FileSettingsStore.h"
#include "tests/shell/TempHome.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace df {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& path) {
    struct stat st{};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

bool isSixDigits(const std::string& code) {
    return code.size() == 6 && std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; });
}

class SettingsTest : public ::testing::Test {
protected:
    test::TempHome home;
};

TEST_F(SettingsTest, ValuesPersistInAPrivateFileSeenByEveryStore) {
    FileSettingsStore store;
    EXPECT_FALSE(store.string("app.languageOverride"));
    EXPECT_FALSE(store.boolean("lockOnDisconnect"));
    EXPECT_FALSE(fs::exists(home.settingsFile())) << "reading creates nothing";

    store.setString("app.languageOverride", "de");
    store.setBoolean("lockOnDisconnect", true);
    EXPECT_EQ(store.string("app.languageOverride"), "de");
    EXPECT_EQ(store.boolean("lockOnDisconnect"), true);
    EXPECT_EQ(modeOf(home.settingsFile()), 0600u);
    EXPECT_EQ(modeOf(home.settingsFile().parent_path()), 0700u);

    // Another store on the same file (as another process would be) sees the values, and
    // its writes are seen back here without losing ours.
    FileSettingsStore other(home.settingsFile());
    EXPECT_EQ(other.string("app.languageOverride"), "de");
    other.setString("duskferry.pairingCode", "123456");
    EXPECT_EQ(store.string("duskferry.pairingCode"), "123456");
    EXPECT_EQ(store.boolean("lockOnDisconnect"), true);

    store.remove("app.languageOverride");
    EXPECT_FALSE(other.string("app.languageOverride"));
    EXPECT_EQ(other.string("duskferry.pairingCode"), "123456");
}

TEST_F(SettingsTest, ValuesOfAnotherTypeReadAsAbsent) {
    FileSettingsStore store;
    store.setString("lockOnDisconnect", "yes");
    store.setBoolean("app.languageOverride", true);
    EXPECT_FALSE(store.boolean("lockOnDisconnect"));
    EXPECT_FALSE(store.string("app.languageOverride"));
}

TEST_F(SettingsTest, ADamagedFileReadsAsEmptyAndIsKeptAsideOnTheNextWrite) {
    fs::create_directories(home.settingsFile().parent_path());
    for (const char* damaged : {"{\"lockOnDisconnect\": tr", "[1, 2]", "\xFF\xFE", ""}) {
        std::ofstream(home.settingsFile(), std::ios::binary | std::ios::trunc) << damaged;
        FileSettingsStore store;
        EXPECT_FALSE(store.boolean("lockOnDisconnect")) << damaged;
        store.setBoolean("lockOnDisconnect", true);
        EXPECT_EQ(store.boolean("lockOnDisconnect"), true) << damaged;
        EXPECT_EQ(contentOf(home.settingsFile().string() + ".damaged"), damaged);
    }
}

TEST_F(SettingsTest, HandWrittenFileIsRead) {
    fs::create_directories(home.settingsFile().parent_path());
    std::ofstream(home.settingsFile()) << R"({"lockOnDisconnect": 1, "app.languageOverride": "ko", "other": [1]})";
    FileSettingsStore store;
    EXPECT_EQ(store.boolean("lockOnDisconnect"), true);
    EXPECT_EQ(store.string("app.languageOverride"), "ko");
    store.setString("duskferry.pairingCode", "654321");
    EXPECT_NE(contentOf(home.settingsFile()).find("\"other\""), std::string::npos) << "unknown keys are kept";
}

TEST_F(SettingsTest, WritesFromSeveralThreadsAreNotLost) {
    // The panel (main thread) and the sessions (server queue) share the one user store.
    auto& store = SettingsStore::standard();
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&store, t] {
            for (int i = 0; i < 20; ++i) store.setString("key" + std::to_string(t), std::to_string(i));
        });
    }
    for (auto& thread : threads) thread.join();
    FileSettingsStore fresh(home.settingsFile());
    for (int t = 0; t < 3; ++t) EXPECT_EQ(fresh.string("key" + std::to_string(t)), "19") << t;
}

TEST_F(SettingsTest, PairingCodeIsMadeOnceAndKeptAcrossLaunches) {
    auto code = AgentSettings::loadOrCreatePairingCode();
    EXPECT_TRUE(isSixDigits(code)) << code;
    EXPECT_EQ(AgentSettings::loadOrCreatePairingCode(), code);
    FileSettingsStore nextLaunch(home.settingsFile());
    EXPECT_EQ(AgentSettings::loadOrCreatePairingCode(nextLaunch), code);
}

TEST(AgentSettingsTest, PairingCodeOfTheWrongLengthIsReplaced) {
    struct Case {
        std::string stored;
        bool kept;
    } cases[] = {
        {"012345", true}, {"abcdef", true}, {"一二三四五六", true},  // six characters, whatever they are
        {"12345", false}, {"1234567", false}, {"", false}, {"12345\xFF", false},
    };
    for (const auto& c : cases) {
        fake::MemorySettingsStore settings;
        settings.setString(AgentSettings::kPairingCodeKey, c.stored);
        auto code = AgentSettings::loadOrCreatePairingCode(settings);
        if (c.kept) {
            EXPECT_EQ(code, c.stored);
            EXPECT_EQ(settings.writes(), 1u) << "a good code is not rewritten";
        } else {
            EXPECT_TRUE(isSixDigits(code)) << c.stored;
            EXPECT_EQ(settings.string(AgentSettings::kPairingCodeKey), code) << c.stored;
        }
    }
    fake::MemorySettingsStore wrongType;
    wrongType.setBoolean(AgentSettings::kPairingCodeKey, true);
    EXPECT_TRUE(isSixDigits(AgentSettings::loadOrCreatePairingCode(wrongType)));
}

TEST(AgentSettingsTest, LockOnDisconnectDefaultsToOff) {
    fake::MemorySettingsStore settings;
    EXPECT_FALSE(AgentSettings::lockOnDisconnect(settings));
    AgentSettings::setLockOnDisconnect(true, settings);
    EXPECT_TRUE(AgentSettings::lockOnDisconnect(settings));
    AgentSettings::setLockOnDisconnect(false, settings);
    EXPECT_FALSE(AgentSettings::lockOnDisconnect(settings));
}

TEST(AgentSettingsTest, CommandKeyIsControlUnlessSuperIsStored) {
    fake::MemorySettingsStore settings;
    EXPECT_EQ(AgentSettings::commandKey(settings), "control");
    EXPECT_TRUE(AgentSettings::setCommandKey("super", settings));
    EXPECT_EQ(AgentSettings::commandKey(settings), "super");
    EXPECT_FALSE(AgentSettings::setCommandKey("Super", settings)) << "only the exact words are taken";
    EXPECT_EQ(AgentSettings::commandKey(settings), "super");
    EXPECT_TRUE(AgentSettings::setCommandKey("control", settings));
    EXPECT_EQ(AgentSettings::commandKey(settings), "control");

    settings.setString(AgentSettings::kCommandKeyKey, "hyper");  // written by hand
    EXPECT_EQ(AgentSettings::commandKey(settings), "control");
    settings.setBoolean(AgentSettings::kCommandKeyKey, true);
    EXPECT_EQ(AgentSettings::commandKey(settings), "control");
}

}  // namespace
}  // namespace df

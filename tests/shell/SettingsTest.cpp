// The settings file and the rules for the agent's settings, against the real file store
// in a temporary directory.

#include "DuskFerryAgent/shell/AgentSettings.h"
#include "platform/fake/settings/MemorySettingsStore.h"
#include "platform/linux/settings/FileSettingsStore.h"
#include "tests/support/TempDir.h"

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
    testsupport::TempDir dir;
    const fs::path file = dir.settingsFile();
};

TEST_F(SettingsTest, ValuesPersistInAPrivateFileSeenByEveryStore) {
    FileSettingsStore store(file);
    EXPECT_FALSE(store.string("app.languageOverride"));
    EXPECT_FALSE(store.boolean("lockOnDisconnect"));
    EXPECT_FALSE(fs::exists(file)) << "reading creates nothing";

    store.setString("app.languageOverride", "de");
    store.setBoolean("lockOnDisconnect", true);
    EXPECT_EQ(store.string("app.languageOverride"), "de");
    EXPECT_EQ(store.boolean("lockOnDisconnect"), true);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(file.parent_path()), 0700u);

    // Another store on the same file (as another process would be) sees the values, and
    // its writes are seen back here without losing ours.
    FileSettingsStore other(file);
    EXPECT_EQ(other.string("app.languageOverride"), "de");
    other.setString("duskferry.pairingCode", "123456");
    EXPECT_EQ(store.string("duskferry.pairingCode"), "123456");
    EXPECT_EQ(store.boolean("lockOnDisconnect"), true);

    store.remove("app.languageOverride");
    EXPECT_FALSE(other.string("app.languageOverride"));
    EXPECT_EQ(other.string("duskferry.pairingCode"), "123456");
}

TEST_F(SettingsTest, ValuesOfAnotherTypeReadAsAbsent) {
    FileSettingsStore store(file);
    store.setString("lockOnDisconnect", "yes");
    store.setBoolean("app.languageOverride", true);
    EXPECT_FALSE(store.boolean("lockOnDisconnect"));
    EXPECT_FALSE(store.string("app.languageOverride"));
}

TEST_F(SettingsTest, ADamagedFileReadsAsEmptyAndIsKeptAsideOnTheNextWrite) {
    fs::create_directories(file.parent_path());
    for (const char* damaged : {"{\"lockOnDisconnect\": tr", "[1, 2]", "\xFF\xFE", ""}) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << damaged;
        FileSettingsStore store(file);
        EXPECT_FALSE(store.boolean("lockOnDisconnect")) << damaged;
        store.setBoolean("lockOnDisconnect", true);
        EXPECT_EQ(store.boolean("lockOnDisconnect"), true) << damaged;
        EXPECT_EQ(contentOf(file.string() + ".damaged"), damaged);
    }
}

TEST_F(SettingsTest, HandWrittenFileIsRead) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << R"({"lockOnDisconnect": 1, "app.languageOverride": "ko", "other": [1]})";
    FileSettingsStore store(file);
    EXPECT_EQ(store.boolean("lockOnDisconnect"), true);
    EXPECT_EQ(store.string("app.languageOverride"), "ko");
    store.setString("duskferry.pairingCode", "654321");
    EXPECT_NE(contentOf(file).find("\"other\""), std::string::npos) << "unknown keys are kept";
}

TEST_F(SettingsTest, WritesFromSeveralThreadsAreNotLost) {
    // The panel (main thread) and the sessions (server queue) share the one user store.
    FileSettingsStore store(file);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&store, t] {
            for (int i = 0; i < 20; ++i) store.setString("key" + std::to_string(t), std::to_string(i));
        });
    }
    for (auto& thread : threads) thread.join();
    FileSettingsStore fresh(file);
    for (int t = 0; t < 3; ++t) EXPECT_EQ(fresh.string("key" + std::to_string(t)), "19") << t;
}

TEST_F(SettingsTest, PairingCodeIsMadeOnceAndKeptAcrossLaunches) {
    FileSettingsStore store(file);
    auto code = AgentSettings(store).loadOrCreatePairingCode();
    EXPECT_TRUE(isSixDigits(code)) << code;
    EXPECT_EQ(AgentSettings(store).loadOrCreatePairingCode(), code);
    FileSettingsStore nextLaunch(file);
    EXPECT_EQ(AgentSettings(nextLaunch).loadOrCreatePairingCode(), code);
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
        auto code = AgentSettings(settings).loadOrCreatePairingCode();
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
    EXPECT_TRUE(isSixDigits(AgentSettings(wrongType).loadOrCreatePairingCode()));
}

TEST(AgentSettingsTest, LockOnDisconnectDefaultsToOff) {
    fake::MemorySettingsStore store;
    AgentSettings settings(store);
    EXPECT_FALSE(settings.lockOnDisconnect());
    settings.setLockOnDisconnect(true);
    EXPECT_TRUE(settings.lockOnDisconnect());
    settings.setLockOnDisconnect(false);
    EXPECT_FALSE(settings.lockOnDisconnect());
}

TEST(AgentSettingsTest, CommandKeyIsControlUnlessSuperIsStored) {
    fake::MemorySettingsStore store;
    AgentSettings settings(store);
    EXPECT_EQ(settings.commandKey(), "control");
    EXPECT_TRUE(settings.setCommandKey("super"));
    EXPECT_EQ(settings.commandKey(), "super");
    EXPECT_FALSE(settings.setCommandKey("Super")) << "only the exact words are taken";
    EXPECT_EQ(settings.commandKey(), "super");
    EXPECT_TRUE(settings.setCommandKey("control"));
    EXPECT_EQ(settings.commandKey(), "control");

    store.setString(AgentSettings::kCommandKeyKey, "hyper");  // written by hand
    EXPECT_EQ(settings.commandKey(), "control");
    store.setBoolean(AgentSettings::kCommandKeyKey, true);
    EXPECT_EQ(settings.commandKey(), "control");
}

TEST(AgentSettingsTest, GestureChordsAreSuperUnlessAChordIsStored) {
    fake::MemorySettingsStore store;
    AgentSettings settings(store);
    EXPECT_EQ(settings.missionControlChord(), "Super");
    EXPECT_EQ(settings.appExposeChord(), "Super");
    struct Case {
        std::string chord;
        bool taken;
    };
    const std::vector<Case> cases{
        {"Control+Alt+Down", true}, {"Super_R", true}, {"F7", true}, {"Super+w", true},
        {"", false}, {"Super+", false}, {"+Super", false}, {"Control++Up", false},
        {"Control + Up", false}, {"Super;rm", false}, {std::string(65, 'a'), false},
    };
    for (const auto& c : cases) {
        store.setString(AgentSettings::kAppExposeChordKey, "F9");
        EXPECT_EQ(settings.setAppExposeChord(c.chord), c.taken) << c.chord;
        EXPECT_EQ(settings.appExposeChord(), c.taken ? c.chord : "F9") << c.chord;
    }
    EXPECT_TRUE(settings.setMissionControlChord("Super_L"));
    EXPECT_EQ(settings.missionControlChord(), "Super_L");
    EXPECT_EQ(settings.appExposeChord(), "F9") << "each gesture has its own setting";
    store.setString(AgentSettings::kMissionControlChordKey, "Super key");  // written by hand
    EXPECT_EQ(settings.missionControlChord(), "Super");
}

}  // namespace
}  // namespace df

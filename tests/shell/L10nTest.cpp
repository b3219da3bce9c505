// Localisation: the tables, the choice of language, the lookup with its fallbacks and
// the filling of "%@" and "%d".

#include "DuskFerryAgent/shell/AgentSettings.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "platform/fake/settings/MemorySettingsStore.h"
#include "platform/linux/sysinfo/LinuxSystemInfo.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace df {
namespace {

const std::vector<std::string> kAllLanguages = {"zh-Hans", "zh-Hant", "en", "ja", "ko", "de", "fr", "es"};

TEST(L10nTest, SupportedLanguagesInPickerOrder) {
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& language : L10n::supported()) got.emplace_back(language.code, language.name);
    EXPECT_EQ(got, (std::vector<std::pair<std::string, std::string>>{{"zh-Hans", "简体中文"},
                                                                     {"zh-Hant", "繁體中文"},
                                                                     {"en", "English"},
                                                                     {"ja", "日本語"},
                                                                     {"ko", "한국어"},
                                                                     {"de", "Deutsch"},
                                                                     {"fr", "Français"},
                                                                     {"es", "Español"}}));
}

TEST(L10nTest, SevenTablesWithTheSameKeysAndPlaceholders) {
    const auto& tables = L10n::tables();
    ASSERT_EQ(tables.size(), 7u);
    const auto& en = tables.at("en");
    ASSERT_EQ(en.size(), 65u);  // the 60 texts of the agent and its panel, the DNS-SD status, the virtual
                               // display the display server cannot add and three guards
    auto placeholders = [](std::string_view text) {
        std::string out;
        for (size_t i = 0; i + 1 < text.size(); ++i) {
            if (text[i] == '%') out.push_back(text[++i]);
        }
        return out;
    };
    for (const char* code : {"en", "zh-Hant", "ja", "ko", "de", "fr", "es"}) {
        ASSERT_TRUE(tables.contains(code)) << code;
        const auto& table = tables.at(code);
        ASSERT_EQ(table.size(), 65u) << code;
        for (const auto& [key, text] : table) {
            EXPECT_TRUE(en.contains(key)) << code << ": " << key;
            EXPECT_FALSE(text.empty()) << code << ": " << key;
            // Filling happens after lookup, so a translation must take the same arguments.
            EXPECT_EQ(placeholders(text), placeholders(key)) << code << ": " << text;
        }
    }
    EXPECT_EQ(en.at("允许「%@」连接吗？"), "Allow “%@” to connect?");
    EXPECT_EQ(en.at("显示器 %d"), "Display %d");
    EXPECT_EQ(en.at("这台 iPhone 首次请求控制你的 Mac。\n仅在你本人发起、且确认设备名无误时点“信任”。\n\n设备标识：%@…"),
              "This iPhone is requesting to control your computer for the first time.\nClick “Trust” only if you initiated "
              "this and the device name is correct.\n\nDevice ID: %@…");
}

TEST(L10nTest, ConnectionStatusRowsAreFixedInEveryLanguage) {
    struct Row {
        const char* language;
        const char* waiting;
        const char* connected;
        const char* handshake;
        const char* connectedTo;
    } rows[] = {
        {"zh-Hans", "等待连接…", "已连接", "已连接，等待握手…", "已连接：%@"},
        {"en", "Waiting for connection…", "Connected", "Connected, waiting for handshake…", "Connected: %@"},
        {"zh-Hant", "等待連線…", "已連線", "已連線，等待握手…", "已連線：%@"},
        {"ja", "接続を待機中…", "接続済み", "接続済み、ハンドシェイク待機中…", "接続済み：%@"},
        {"ko", "연결 대기 중…", "연결됨", "연결됨, 핸드셰이크 대기 중…", "연결됨: %@"},
        {"de", "Warte auf Verbindung…", "Verbunden", "Verbunden, warte auf Handshake…", "Verbunden: %@"},
        {"fr", "En attente de connexion…", "Connecté", "Connecté, en attente du handshake…", "Connecté : %@"},
        {"es", "Esperando conexión…", "Conectado", "Conectado, esperando el handshake…", "Conectado: %@"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(L10n::t("等待连接…", row.language), row.waiting);
        EXPECT_EQ(L10n::t("已连接", row.language), row.connected);
        EXPECT_EQ(L10n::t("已连接，等待握手…", row.language), row.handshake);
        EXPECT_EQ(L10n::t("已连接：%@", row.language), row.connectedTo);
    }
}

TEST(L10nTest, ConnectedPrefixInvariantHoldsInAllEightLanguages) {
    for (const auto& language : kAllLanguages) {
        auto prefix = L10n::t("已连接", language);
        EXPECT_TRUE(L10n::t("已连接，等待握手…", language).starts_with(prefix)) << language;
        EXPECT_TRUE(L10n::format(L10n::t("已连接：%@", language), "Anna").starts_with(prefix)) << language;
        EXPECT_FALSE(L10n::t("等待连接…", language).starts_with(prefix)) << language;
        // No other text may look like a connected status to the panel.
        for (const auto& [key, unused] : L10n::tables().at("en")) {
            if (key == "已连接" || key == "已连接，等待握手…" || key == "已连接：%@") continue;
            EXPECT_FALSE(L10n::t(key, language).starts_with(prefix)) << language << ": " << key;
        }
    }
}

TEST(L10nTest, LanguageFromPreferredList) {
    struct Case {
        std::vector<std::string> preferred;
        const char* expected;
    } cases[] = {
        {{"fr-CA", "en-US"}, "fr"},
        {{"pt-BR", "de-AT"}, "de"},
        {{"pt-BR"}, "en"},
        {{}, "en"},
        {{"zh-Hant-TW"}, "zh-Hant"},
        {{"zh-TW"}, "zh-Hant"},
        {{"zh-HK"}, "zh-Hant"},
        {{"zh-MO"}, "zh-Hant"},
        {{"zh-SG"}, "zh-Hans"},
        {{"zh-Hans-CN"}, "zh-Hans"},
        {{"zh"}, "zh-Hans"},
        {{"en-US", "zh-Hant-TW"}, "en"},
        {{"pt-BR", "zh-CN", "zh-TW"}, "zh-Hans"},  // the first Chinese identifier decides
        {{"ja-JP"}, "ja"},
        {{"ko-KR"}, "ko"},
        {{"es-419"}, "es"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(L10n::lang("auto", c.preferred), c.expected) << ::testing::PrintToString(c.preferred);
    }
    EXPECT_EQ(L10n::lang("ja", {"de-DE"}), "ja");
    EXPECT_EQ(L10n::lang("pt", {"de-DE"}), "pt");  // kept even without a table
}

TEST(L10nTest, OverrideReadsTheStoredChoice) {
    fake::MemorySettingsStore settings;
    EXPECT_EQ(L10n::override(settings), "auto");
    for (auto [stored, read] : std::map<std::string, std::string>{
             {"zh", "zh-Hans"}, {"ja", "ja"}, {"auto", "auto"}, {"zh-Hant", "zh-Hant"}, {"xx", "xx"}}) {
        settings.setString(L10n::kOverrideKey, stored);
        EXPECT_EQ(L10n::override(settings), read) << stored;
    }
}

TEST(L10nTest, LookupFallsBackToEnglishThenToTheKey) {
    EXPECT_EQ(L10n::t("没有这个键", "en"), "没有这个键");
    EXPECT_EQ(L10n::t("没有这个键", "de"), "没有这个键");
    EXPECT_EQ(L10n::t("配对码", "pt"), "Pairing Code");
    EXPECT_EQ(L10n::t("配对码", "xx"), "Pairing Code");
    // Simplified Chinese shows the key itself, except where the key speaks of a Mac.
    for (const auto& [key, unused] : L10n::tables().at("en")) {
        if (key.find("Mac") == std::string::npos) {
            EXPECT_EQ(L10n::t(key, "zh-Hans"), key);
        }
    }
}

// On this host the agent runs on a computer that is no Mac: no text a person sees says so,
// in any language, while the keys (what stored files and callers use) stay as they are.
TEST(L10nTest, NoTextSpeaksOfAMac) {
    for (const auto& [key, unused] : L10n::tables().at("en")) {
        for (const auto& language : kAllLanguages)
            EXPECT_EQ(L10n::t(key, language).find("Mac"), std::string::npos) << language << ": " << key;
    }
    struct Case {
        const char* language;
        const char* key;
        const char* text;
    } cases[] = {
        {"en", "等待你在 Mac 上批准：%@", "Waiting for approval on this computer: %@"},
        {"zh-Hans", "等待你在 Mac 上批准：%@", "等待你在这台电脑上批准：%@"},
        {"de", "会话结束自动锁屏；再次远程连入需输入密码解锁",
         "Sperrt diesen Computer, wenn eine Sitzung endet; zum Entsperren ist das Passwort nötig"},
        {"zh-Hans", "采集 Mac 画面所需", "采集屏幕画面所需"},
        {"ja", "此 Mac 不支持 4:4:4 编码，已回退标准画质", "このコンピュータは 4:4:4 でエンコードできません。標準画質に戻しました"},
    };
    for (const auto& c : cases) EXPECT_EQ(L10n::t(c.key, c.language), c.text) << c.language;
}

// The shell's own texts of this host come in all eight languages with their placeholders.
TEST(L10nTest, HostTextsCoverEveryLanguage) {
    const auto& host = L10n::hostTexts();
    for (const auto& language : kAllLanguages) ASSERT_TRUE(host.contains(language)) << language;
    for (const auto& [key, text] : host.at("en")) {
        for (const auto& language : kAllLanguages) {
            const std::string shown = L10n::t(key, language);
            EXPECT_FALSE(shown.empty()) << language << ": " << key;
            if (language != "en" && language != "zh-Hans") {
                EXPECT_NE(shown, text) << language << ": " << key;
            }
        }
    }
    EXPECT_EQ(L10n::t("声音服务器", "de"), "Soundserver");
    EXPECT_EQ(L10n::t("声音服务器", "zh-Hans"), "声音服务器");
}

TEST(L10nTest, TheLanguageIsWorkedOutAtStartAndWhenTheChoiceChanges) {
    fake::MemorySettingsStore store;
    AgentSettings settings(store);
    L10n l10n(store, {"ko-KR", "en-US"});
    settings.setLanguageObserver([&l10n] { l10n.refresh(); });
    EXPECT_EQ(l10n.language(), "ko");
    EXPECT_EQ(l10n.t("等待连接…"), "연결 대기 중…");

    // A lookup does not go back to the store: a value written behind the settings' back
    // applies from the next change (or start).
    store.setString(L10n::kOverrideKey, "fr");
    EXPECT_EQ(l10n.t("等待连接…"), "연결 대기 중…");

    struct Step {
        const char* choice;
        const char* text;
    } steps[] = {
        {"en", "Waiting for connection…"},
        {"de", "Warte auf Verbindung…"},
        {"zh", "等待连接…"},
        {"auto", "연결 대기 중…"},
    };
    for (const auto& step : steps) {
        settings.setLanguageOverride(step.choice);
        EXPECT_EQ(l10n.t("等待连接…"), step.text) << step.choice;
    }

    // Without a store the preferred list alone decides.
    EXPECT_EQ(L10n(std::vector<std::string>{"zh-TW", "en"}).t("等待连接…"), "等待連線…");
    EXPECT_EQ(L10n(std::vector<std::string>{}).language(), "en");
}

TEST(L10nTest, PreferredLanguagesFromTheLocaleEnvironment) {
    struct Case {
        std::map<std::string, std::string> env;
        std::vector<std::string> expected;
    } cases[] = {
        {{}, {}},
        {{{"LANG", "de_AT.UTF-8"}}, {"de-AT"}},
        {{{"LANG", "C.UTF-8"}}, {}},
        {{{"LANG", "POSIX"}}, {}},
        {{{"LANG", "fr_FR.UTF-8"}, {"LC_MESSAGES", "ja_JP.UTF-8"}}, {"ja-JP"}},
        {{{"LANG", "fr_FR"}, {"LC_MESSAGES", "ja_JP"}, {"LC_ALL", "zh_TW.UTF-8"}}, {"zh-TW"}},
        {{{"LANG", "fr_FR"}, {"LC_ALL", ""}}, {"fr-FR"}},
        {{{"LANGUAGE", "pt_BR:de_AT:"}, {"LANG", "en_US.UTF-8"}}, {"pt-BR", "de-AT", "en-US"}},
        {{{"LANG", "sr_RS@latin"}}, {"sr-RS"}},
    };
    for (const auto& c : cases) {
        LinuxSystemInfo info("/", [&c](const char* name) -> const char* {
            auto it = c.env.find(name);
            return it == c.env.end() ? nullptr : it->second.c_str();
        });
        EXPECT_EQ(info.preferredLanguages(), c.expected) << ::testing::PrintToString(c.env);
    }
    EXPECT_EQ(L10n::lang("auto", {"zh-TW"}), "zh-Hant");
}

TEST(L10nTest, FormatFillsTextAndIntegerArgumentsInTurn) {
    EXPECT_EQ(L10n::format("已连接：%@", "Anna’s iPhone"), "已连接：Anna’s iPhone");
    EXPECT_EQ(L10n::format("Display %d", 2), "Display 2");
    EXPECT_EQ(L10n::format("%@ → %@", "a.txt", std::string("Downloads")), "a.txt → Downloads");
    EXPECT_EQ(L10n::format("%d%% of %@", -5, "x"), "-5% of x");
    EXPECT_EQ(L10n::format("Display %d", "two"), "Display two");  // the argument as it is
    EXPECT_EQ(L10n::format("%@ and %@", "one"), "one and %@");    // nothing read past the arguments
    EXPECT_EQ(L10n::format("plain", "unused"), "plain");
    EXPECT_EQ(L10n::format("100%", 1), "100%");
    EXPECT_EQ(L10n::format("%s %@", "x"), "%s x");
    EXPECT_EQ(L10n::format("%@", "%d"), "%d");  // arguments are not formats
    L10n english(std::vector<std::string>{"en"});
    EXPECT_EQ(english.tf("显示器 %d", 3), "Display 3");
}

}  // namespace
}  // namespace df

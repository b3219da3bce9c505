// The control panel window on a real X server (a private Xvfb): screenshots in English,
// German and Japanese saved beside the build as artefacts, nothing cut off in any of them,
// every text produced again when the language changes, and every control reachable by
// keyboard with a name for assistive technologies.

#include "DuskFerryAgent/shell/AgentSettings.h"
#include "DuskFerryAgent/shell/views/ControlPanelView.h"
#include "platform/fake/settings/MemorySettingsStore.h"
#include "tests/support/PrivateXvfb.h"
#include "tests/support/RequireService.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QPixmap>
#include <QToolButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

namespace df {
namespace {

using testsupport::Xvfb;

// The words that stay the same in every language: names, numbers, symbols.
const std::set<QString> kNeutral = {"Brevox", "Tailscale", "482913", "192.168.1.20", "●", "✔", "✖", "✕",
                                    "Ctrl",   "Super",     "Deutsch", "English", "日本語", "简体中文", "繁體中文",
                                    "한국어", "Français", "Español"};

QString textOf(QWidget* w) {
    if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
    if (auto* combo = qobject_cast<QComboBox*>(w)) return combo->currentText();
    return {};
}

bool visibleIn(QWidget* w, QWidget* window) {
    return w->isVisibleTo(window) && w->isVisible();
}

// Widgets whose size hint does not fit their geometry: a label that wraps needs its height
// for its width; anything else its whole size hint.
std::vector<std::string> cutOff(QWidget* window) {
    std::vector<std::string> out;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!visibleIn(w, window)) continue;
        if (!qobject_cast<QLabel*>(w) && !qobject_cast<QAbstractButton*>(w) && !qobject_cast<QComboBox*>(w)) continue;
        const QSize hint = w->sizeHint();
        const auto* label = qobject_cast<QLabel*>(w);
        const bool fits = label && label->wordWrap()
                              ? label->heightForWidth(w->width()) <= w->height()
                              : hint.width() <= w->width() && hint.height() <= w->height();
        const QRect inWindow(w->mapTo(window, QPoint(0, 0)), w->size());
        if (!fits || !window->rect().contains(inWindow))
            out.push_back(textOf(w).toStdString() + " (hint " + std::to_string(hint.width()) + "x" +
                          std::to_string(hint.height()) + ", has " + std::to_string(w->width()) + "x" +
                          std::to_string(w->height()) + ")");
    }
    return out;
}

class ControlPanelViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        xvfb = std::make_unique<Xvfb>(testsupport::Size{1280, 1024});
        DF_REQUIRE_SERVICE(!xvfb->name().empty(), "Xvfb");
        displayName = xvfb->name();
        argStore = {"panel-test", "-platform", "xcb", "-display", displayName};
        args.clear();
        for (auto& a : argStore) args.push_back(a.data());
        argc = static_cast<int>(args.size());
        app = std::make_unique<QApplication>(argc, args.data());

        settings = std::make_unique<AgentSettings>(store);
        l10n = std::make_shared<L10n>(store, std::vector<std::string>{"en-US"});
        settings->setLanguageObserver([l = l10n] { l->refresh(); });

        state.pairingCode = "482913";
        state.lanIP = "192.168.1.20";
        state.status = l10n->t("等待连接…");
        state.permissions[2].granted = false;  // no sound server: its hint shows
        state.permissions[3].granted = false;  // no DNS-SD daemon
        state.trustedDevices = {{"AAAA-1", "Ada’s iPhone", TrustStore::distantPast()},
                                {"BBBB-2", "Ben’s iPhone 15 Pro Max", TrustStore::distantPast()}};
        state.onSetLanguage = [this](const std::string& code) {
            settings->setLanguageOverride(code);
            state.languageOverride = code;
            state.status = l10n->t("等待连接…");
            state.publish();
        };
        state.onRevokeDevice = [this](const std::string& id) { revoked.push_back(id); };
    }
    void TearDown() override {
        view.reset();
        app.reset();
    }

    void show() {
        view = std::make_unique<ControlPanelView>(state, *l10n);
        view->window()->show();
        for (int i = 0; i < 20; ++i) QApplication::processEvents();
    }

    std::unique_ptr<Xvfb> xvfb;
    std::string displayName;
    std::vector<std::string> argStore;
    std::vector<char*> args;
    int argc = 0;
    std::unique_ptr<QApplication> app;
    fake::MemorySettingsStore store;
    std::unique_ptr<AgentSettings> settings;
    std::shared_ptr<L10n> l10n;
    PanelState state;
    std::unique_ptr<ControlPanelView> view;
    std::vector<std::string> revoked;
};

TEST_F(ControlPanelViewTest, ScreenshotsInThreeLanguagesWithNothingCutOff) {
    show();
    const std::filesystem::path dir = DF_SCREENSHOT_DIR;
    std::filesystem::create_directories(dir);
    std::map<QWidget*, QString> english;
    for (const char* language : {"en", "de", "ja"}) {
        state.onSetLanguage(language);
        for (int i = 0; i < 20; ++i) QApplication::processEvents();
        QWidget* window = view->window();
        EXPECT_EQ(cutOff(window), std::vector<std::string>{}) << language << " window " << window->width() << "x"
                                                              << window->height() << " needs "
                                                              << window->layout()->totalHeightForWidth(window->width())
                                                              << " min " << window->minimumSizeHint().height();
        const auto file = dir / ("panel-" + std::string(language) + ".png");
        ASSERT_TRUE(window->grab().save(QString::fromStdString(file.string()), "PNG")) << file;
        EXPECT_GT(std::filesystem::file_size(file), 5000u) << file;

        // Every text that is not a name or a number was produced again in the new language.
        for (QWidget* w : window->findChildren<QWidget*>()) {
            if (!visibleIn(w, window)) continue;
            const QString text = textOf(w);
            if (text.isEmpty()) continue;
            if (std::string(language) == "en") {
                english[w] = text;
            } else if (english.contains(w) && !kNeutral.contains(text) && !text.contains("iPhone")) {
                EXPECT_NE(text, english[w]) << language << ": " << text.toStdString();
            }
        }
    }
    EXPECT_GE(english.size(), 25u);
}

TEST_F(ControlPanelViewTest, ShowsTheStateAndCallsBack) {
    show();
    QWidget* window = view->window();
    auto* code = window->findChild<QLabel*>("pairingCode");
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->text(), "482913");
    EXPECT_TRUE(code->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_GE(code->font().pointSizeF(), 22.0);
    EXPECT_EQ(window->findChild<QLabel*>("tailscaleIP")->text(), "Not installed");
    EXPECT_FALSE(window->findChild<QAbstractButton*>("sendFiles")->isEnabled()) << "nobody connected";

    // Revoking calls back with the device's ID; the list follows the state, not the click.
    std::vector<QToolButton*> revokes;
    for (auto* b : window->findChildren<QToolButton*>())
        if (b->toolTip() == "Revoke this device's access") revokes.push_back(b);
    ASSERT_EQ(revokes.size(), 2u);
    revokes[1]->click();
    EXPECT_EQ(revoked, std::vector<std::string>{"BBBB-2"});
    state.trustedDevices.clear();
    state.connected = true;
    state.tailscaleIP = "100.101.102.103";
    state.publish();
    QApplication::processEvents();
    EXPECT_TRUE(window->findChild<QAbstractButton*>("sendFiles")->isEnabled());
    EXPECT_EQ(window->findChild<QLabel*>("tailscaleIP")->text(), "100.101.102.103");
    int revokeButtons = 0;
    for (auto* b : window->findChildren<QToolButton*>())
        if (b->toolTip() == "Revoke this device's access" && b->isVisibleTo(window)) ++revokeButtons;
    EXPECT_EQ(revokeButtons, 0) << "the trusted devices group goes with the last device";
}

TEST_F(ControlPanelViewTest, EveryControlIsReachableByKeyboardAndNamed) {
    state.connected = true;
    show();
    QWidget* window = view->window();
    window->activateWindow();
    std::set<QWidget*> reached;
    QWidget* w = window;
    for (int i = 0; i < 100; ++i) {
        w = w->nextInFocusChain();
        if (w == window) break;
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(window) && w->isEnabled()) reached.insert(w);
    }
    int controls = 0;
    for (QWidget* c : window->findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(c) || qobject_cast<QComboBox*>(c);
        if (!control || !c->isVisibleTo(window)) continue;
        ++controls;
        EXPECT_TRUE(reached.contains(c)) << textOf(c).toStdString();
        EXPECT_FALSE(c->accessibleName().isEmpty()) << textOf(c).toStdString();
    }
    // copy, virtual display, send, launch at login, lock, language, Command key, 2 revokes, quit
    EXPECT_EQ(controls, 10);
}

}  // namespace
}  // namespace df

#include "DuskFerryAgent/shell/views/ControlPanelView.h"

#include "DuskFerryAgent/shell/BrandOutline.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QIcon>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <functional>
#include <utility>
#include <vector>

namespace df {

QPainterPath brandPath(double size) {
    const double s = size / 24.0;
    QPainterPath path;
    const auto& p = BrandOutline::kPoints;
    path.moveTo(p[0].x * s, p[0].y * s);
    for (size_t i = 1; i < p.size(); ++i) path.lineTo(p[i].x * s, p[i].y * s);
    path.closeSubpath();
    return path;
}

namespace {

constexpr int kPanelWidth = 340;
// How long the copy button shows its check mark after a copy.
constexpr int kCopiedMs = 1200;

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

// The logo in the header: the outline filled with a vertical gradient.
class Logo final : public QWidget {
public:
    Logo() { setFixedSize(26, 26); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QLinearGradient fill(0, 0, 0, height());
        fill.setColorAt(0, QColor::fromRgbF(1.0f, 0.42f, 0.30f));
        fill.setColorAt(1, QColor::fromRgbF(0.86f, 0.15f, 0.12f));
        painter.fillPath(brandPath(height()), fill);
    }
};

// Small line symbols drawn here, so that they look the same whatever icon theme and fonts
// the desktop has: "copy", "check", "phone", "power", "share".
QIcon symbol(const char* name, const QColor& colour) {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(colour, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    const std::string n = name;
    if (n == "copy") {
        p.drawRoundedRect(QRectF(11, 4, 15, 18), 3, 3);
        p.drawPolyline(QPolygonF({QPointF(7, 9), QPointF(6, 9), QPointF(6, 27), QPointF(21, 27), QPointF(21, 26)}));
    } else if (n == "check") {
        p.drawPolyline(QPolygonF({QPointF(6, 17), QPointF(13, 24), QPointF(26, 8)}));
    } else if (n == "phone") {
        p.drawRoundedRect(QRectF(9, 3, 14, 26), 3, 3);
        p.drawLine(QPointF(14, 25), QPointF(18, 25));
    } else if (n == "power") {
        p.drawArc(QRectF(6, 6, 20, 20), 120 * 16, 300 * 16);
        p.drawLine(QPointF(16, 3), QPointF(16, 15));
    } else if (n == "share") {
        p.drawPolyline(QPolygonF({QPointF(11, 13), QPointF(7, 13), QPointF(7, 28), QPointF(25, 28), QPointF(25, 13),
                                  QPointF(21, 13)}));
        p.drawLine(QPointF(16, 3), QPointF(16, 20));
        p.drawPolyline(QPolygonF({QPointF(11, 8), QPointF(16, 3), QPointF(21, 8)}));
    }
    p.end();
    return QIcon(pixmap);
}

QLabel* secondary(QLabel* label) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
    return label;
}

QLabel* wrapping(QLabel* label) {
    label->setWordWrap(true);
    return label;
}

QFrame* divider() {
    auto* line = new QFrame();
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

// A title with an optional subtitle beneath it, and a control at the row's end.
struct Row {
    QWidget* widget = nullptr;
    QLabel* title = nullptr;
    QLabel* subtitle = nullptr;
};

Row makeRow(QWidget* control) {
    Row row;
    row.widget = new QWidget();
    auto* line = new QHBoxLayout(row.widget);
    line->setContentsMargins(0, 0, 0, 0);
    auto* texts = new QVBoxLayout();
    texts->setSpacing(1);
    row.title = wrapping(new QLabel());
    row.subtitle = secondary(wrapping(new QLabel()));
    QFont small = row.subtitle->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    row.subtitle->setFont(small);
    texts->addWidget(row.title);
    texts->addWidget(row.subtitle);
    line->addLayout(texts, 1);
    if (control) line->addWidget(control, 0, Qt::AlignVCenter);
    return row;
}

struct PermissionRow {
    HostPermission::Kind kind;
    const char* title;
    const char* subtitle;
    const char* hint;
    Row row;
    QLabel* state = nullptr;
    QLabel* hintLabel = nullptr;
};

}  // namespace

struct ControlPanelView::Parts {
    PanelState& state;
    const L10n& l10n;
    QWidget* window = nullptr;

    QLabel* statusDot = nullptr;
    QLabel* status = nullptr;
    QLabel* codeCaption = nullptr;
    QLabel* code = nullptr;
    QToolButton* copy = nullptr;
    QLabel* lanLabel = nullptr;
    QLabel* lanValue = nullptr;
    QLabel* tailscaleValue = nullptr;
    std::vector<PermissionRow> permissions;
    Row virtualDisplay;
    QCheckBox* virtualDisplaySwitch = nullptr;
    QPushButton* send = nullptr;
    Row launchAtLogin;
    QCheckBox* launchAtLoginSwitch = nullptr;
    Row lockOnDisconnect;
    QCheckBox* lockSwitch = nullptr;
    QLabel* languageLabel = nullptr;
    QComboBox* language = nullptr;
    Row commandKey;
    QComboBox* commandKeyChoice = nullptr;
    QGroupBox* devicesBox = nullptr;
    QLabel* devicesCaption = nullptr;
    QVBoxLayout* devicesList = nullptr;
    std::vector<TrustStore::TrustedDevice> shownDevices;
    std::vector<QWidget*> deviceRows;
    QPushButton* quit = nullptr;

    Parts(PanelState& s, const L10n& l) : state(s), l10n(l) {}

    std::string t(const char* key) const { return l10n.t(key); }

    void build();
    void render();
    void renderDevices();
    void fit();
    void fitNow();
};

void ControlPanelView::Parts::build() {
    window = new QWidget(nullptr, Qt::Window);
    window->setWindowTitle(QStringLiteral("Brevox"));
    window->setObjectName(QStringLiteral("controlPanel"));
    window->setFixedWidth(kPanelWidth);
    auto* column = new QVBoxLayout(window);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(12);

    // Header: logo, product name, status line.
    {
        auto* header = new QHBoxLayout();
        header->addWidget(new Logo(), 0, Qt::AlignTop);
        auto* stack = new QVBoxLayout();
        stack->setSpacing(2);
        auto* name = new QLabel(QStringLiteral("Brevox"));
        QFont bold = name->font();
        bold.setPointSizeF(15);
        bold.setWeight(QFont::DemiBold);
        name->setFont(bold);
        stack->addWidget(name);
        auto* line = new QHBoxLayout();
        statusDot = new QLabel(QStringLiteral("●"));
        status = secondary(wrapping(new QLabel()));
        status->setObjectName(QStringLiteral("status"));
        line->addWidget(statusDot, 0, Qt::AlignTop);
        line->setSpacing(4);
        line->addWidget(status, 1);
        stack->addLayout(line);
        header->addLayout(stack, 1);
        column->addLayout(header);
    }

    // The pairing code, large and selectable, with its copy button.
    {
        auto* box = new QGroupBox();
        auto* layout = new QVBoxLayout(box);
        codeCaption = secondary(new QLabel());
        QFont caption = codeCaption->font();
        caption.setPointSizeF(caption.pointSizeF() * 0.8);
        codeCaption->setFont(caption);
        layout->addWidget(codeCaption);
        auto* line = new QHBoxLayout();
        code = new QLabel();
        code->setObjectName(QStringLiteral("pairingCode"));
        QFont big = code->font();
        big.setPointSizeF(22);
        big.setWeight(QFont::Medium);
        big.setLetterSpacing(QFont::AbsoluteSpacing, 3);
        code->setFont(big);
        code->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        code->setFocusPolicy(Qt::StrongFocus);
        copy = new QToolButton();
        copy->setAutoRaise(true);
        copy->setFocusPolicy(Qt::StrongFocus);
        QObject::connect(copy, &QToolButton::clicked, copy, [this] {
            QApplication::clipboard()->setText(q(state.pairingCode));
            // Each copy takes its own check mark back 1.2 s later; the first one's reset
            // does not wait for a later copy.
            copy->setIcon(symbol("check", QColor(0x2e, 0xa0, 0x43)));
            QTimer::singleShot(kCopiedMs, copy, [this] { copy->setIcon(symbol("copy", copy->palette().color(QPalette::ButtonText))); });
        });
        copy->setIcon(symbol("copy", copy->palette().color(QPalette::ButtonText)));
        line->addWidget(code, 1);
        line->addWidget(copy);
        layout->addLayout(line);
        column->addWidget(box);
    }

    // The addresses.
    {
        auto* box = new QGroupBox();
        auto* grid = new QGridLayout(box);
        lanLabel = new QLabel();
        lanValue = new QLabel();
        lanValue->setObjectName(QStringLiteral("lanIP"));
        tailscaleValue = new QLabel();
        tailscaleValue->setObjectName(QStringLiteral("tailscaleIP"));
        for (QLabel* value : {lanValue, tailscaleValue}) {
            value->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
            value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        }
        grid->addWidget(lanLabel, 0, 0);
        grid->addWidget(lanValue, 0, 1);
        grid->addWidget(divider(), 1, 0, 1, 2);
        grid->addWidget(new QLabel(QStringLiteral("Tailscale")), 2, 0);
        grid->addWidget(tailscaleValue, 2, 1);
        grid->setColumnStretch(0, 1);
        column->addWidget(box);
    }

    // What the host provides, each with its state and what to do when it is missing.
    {
        auto* box = new QGroupBox();
        auto* layout = new QVBoxLayout(box);
        using K = HostPermission::Kind;
        permissions = {
            {K::displayInput, "X 显示器与 XTest", "注入键盘鼠标操作所需", "请在桌面会话中启动（需要 DISPLAY 与 XTest 扩展）", {}},
            {K::screenCapture, "屏幕采集", "采集 Mac 画面所需", "X 服务器缺少 MIT-SHM 或 DAMAGE 扩展", {}},
            {K::soundServer, "声音服务器", "传送这台电脑的声音所需", "请启动 PulseAudio 或 PipeWire（pipewire-pulse）", {}},
            {K::dnsSd, "DNS-SD 服务（Avahi）", "让手机找到这台电脑", "请启动 avahi-daemon，或在手机上输入地址", {}},
        };
        for (size_t i = 0; i < permissions.size(); ++i) {
            auto& p = permissions[i];
            if (i > 0) layout->addWidget(divider());
            p.state = new QLabel();
            p.state->setFocusPolicy(Qt::TabFocus);
            p.row = makeRow(p.state);
            layout->addWidget(p.row.widget);
            p.hintLabel = wrapping(new QLabel());
            QPalette palette = p.hintLabel->palette();
            palette.setColor(QPalette::WindowText, QColor(0xc0, 0x30, 0x20));
            p.hintLabel->setPalette(palette);
            p.hintLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
            layout->addWidget(p.hintLabel);
        }
        column->addWidget(box);
    }

    // The virtual display and sending files.
    {
        auto* box = new QGroupBox();
        auto* layout = new QVBoxLayout(box);
        virtualDisplaySwitch = new QCheckBox();
        virtualDisplay = makeRow(virtualDisplaySwitch);
        QObject::connect(virtualDisplaySwitch, &QCheckBox::clicked, virtualDisplaySwitch, [this](bool on) {
            // Only the callback: the switch follows the state when it is written back.
            virtualDisplaySwitch->setChecked(state.virtualDisplayOn);
            if (state.onToggleVirtualDisplay) state.onToggleVirtualDisplay(on);
        });
        layout->addWidget(virtualDisplay.widget);
        layout->addWidget(divider());
        send = new QPushButton();
        send->setObjectName(QStringLiteral("sendFiles"));
        send->setFlat(true);
        send->setIcon(symbol("share", send->palette().color(QPalette::ButtonText)));
        QObject::connect(send, &QPushButton::clicked, send, [this] {
            if (state.onSendFile) state.onSendFile();
        });
        layout->addWidget(send);
        column->addWidget(box);
    }

    // Settings.
    {
        auto* box = new QGroupBox();
        auto* layout = new QVBoxLayout(box);
        auto bindSwitch = [](QCheckBox* box, std::function<bool()> value, std::function<void(bool)> call) {
            QObject::connect(box, &QCheckBox::clicked, box, [box, value, call](bool on) {
                box->setChecked(value());
                call(on);
            });
        };
        launchAtLoginSwitch = new QCheckBox();
        launchAtLogin = makeRow(launchAtLoginSwitch);
        bindSwitch(launchAtLoginSwitch, [this] { return state.launchAtLogin; },
                   [this](bool on) {
                       if (state.onToggleLaunchAtLogin) state.onToggleLaunchAtLogin(on);
                   });
        layout->addWidget(launchAtLogin.widget);
        layout->addWidget(divider());
        lockSwitch = new QCheckBox();
        lockOnDisconnect = makeRow(lockSwitch);
        bindSwitch(lockSwitch, [this] { return state.lockOnDisconnect; },
                   [this](bool on) {
                       if (state.onToggleLockOnDisconnect) state.onToggleLockOnDisconnect(on);
                   });
        layout->addWidget(lockOnDisconnect.widget);
        layout->addWidget(divider());
        auto* languageLine = new QHBoxLayout();
        languageLabel = new QLabel();
        language = new QComboBox();
        language->addItem(QString(), QStringLiteral("auto"));
        for (const auto& entry : L10n::supported())
            language->addItem(QString::fromUtf8(entry.name.data(), static_cast<qsizetype>(entry.name.size())),
                              QString::fromUtf8(entry.code.data(), static_cast<qsizetype>(entry.code.size())));
        languageLabel->setBuddy(language);
        QObject::connect(language, &QComboBox::activated, language, [this](int index) {
            const std::string code = language->itemData(index).toString().toStdString();
            if (state.onSetLanguage) state.onSetLanguage(code);
            render();
        });
        languageLine->addWidget(languageLabel, 1);
        languageLine->addWidget(language);
        layout->addLayout(languageLine);
        layout->addWidget(divider());
        commandKeyChoice = new QComboBox();
        commandKeyChoice->addItem(QStringLiteral("Ctrl"), QStringLiteral("control"));
        commandKeyChoice->addItem(QStringLiteral("Super"), QStringLiteral("super"));
        commandKey = makeRow(commandKeyChoice);
        commandKey.title->setBuddy(commandKeyChoice);
        QObject::connect(commandKeyChoice, &QComboBox::activated, commandKeyChoice, [this](int index) {
            const std::string key = commandKeyChoice->itemData(index).toString().toStdString();
            if (state.onSetCommandKey) state.onSetCommandKey(key);
            render();
        });
        layout->addWidget(commandKey.widget);
        column->addWidget(box);
    }

    // Trusted devices, present only while there are some.
    {
        devicesBox = new QGroupBox();
        auto* layout = new QVBoxLayout(devicesBox);
        devicesCaption = secondary(new QLabel());
        layout->addWidget(devicesCaption);
        devicesList = new QVBoxLayout();
        layout->addLayout(devicesList);
        column->addWidget(devicesBox);
    }

    quit = new QPushButton();
    quit->setObjectName(QStringLiteral("quit"));
    quit->setFlat(true);
    quit->setIcon(symbol("power", quit->palette().color(QPalette::PlaceholderText)));
    QObject::connect(quit, &QPushButton::clicked, quit, [this] {
        if (state.onQuit) state.onQuit();
    });
    column->addWidget(quit, 0, Qt::AlignLeft);

    // Escape closes the panel (it is only hidden; the tray opens it again).
    auto* close = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    QObject::connect(close, &QShortcut::activated, window, [w = window] { w->close(); });
}

void ControlPanelView::Parts::renderDevices() {
    if (state.trustedDevices == shownDevices && !deviceRows.empty() == !shownDevices.empty()) {
        for (size_t i = 0; i < deviceRows.size(); ++i) {
            auto* revoke = deviceRows[i]->findChild<QToolButton*>();
            revoke->setToolTip(q(t("吊销该设备的连接权限")));
            revoke->setAccessibleName(q(t("吊销该设备的连接权限") + ": " + shownDevices[i].name));
        }
        return;
    }
    for (QWidget* row : deviceRows) delete row;
    deviceRows.clear();
    shownDevices = state.trustedDevices;
    for (const auto& device : shownDevices) {
        auto* row = new QWidget();
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        auto* icon = new QLabel();
        icon->setPixmap(symbol("phone", icon->palette().color(QPalette::WindowText)).pixmap(16, 16));
        line->addWidget(icon);
        auto* name = wrapping(new QLabel(q(device.name)));
        auto* revoke = new QToolButton();
        revoke->setAutoRaise(true);
        revoke->setFocusPolicy(Qt::StrongFocus);
        revoke->setText(QStringLiteral("✕"));
        revoke->setToolTip(q(t("吊销该设备的连接权限")));
        revoke->setAccessibleName(q(t("吊销该设备的连接权限") + ": " + device.name));
        QObject::connect(revoke, &QToolButton::clicked, revoke, [this, id = device.id] {
            if (state.onRevokeDevice) state.onRevokeDevice(id);
        });
        line->addWidget(name, 1);
        line->addWidget(revoke);
        devicesList->addWidget(row);
        deviceRows.push_back(row);
    }
}

void ControlPanelView::Parts::render() {
    QPalette dotPalette = statusDot->palette();
    dotPalette.setColor(QPalette::WindowText,
                        state.connected ? QColor(0x2e, 0xa0, 0x43) : dotPalette.color(QPalette::PlaceholderText));
    statusDot->setPalette(dotPalette);
    statusDot->setAccessibleName(q(state.connected ? t("已连接") : t("等待连接…")));
    status->setText(q(state.status));
    status->setAccessibleName(q(state.status));

    codeCaption->setText(q(t("配对码")));
    code->setText(q(state.pairingCode));
    code->setAccessibleName(q(t("配对码") + " " + state.pairingCode));
    copy->setToolTip(q(t("复制配对码")));
    copy->setAccessibleName(q(t("复制配对码")));

    lanLabel->setText(q(t("局域网")));
    lanValue->setText(q(state.lanIP));
    lanValue->setAccessibleName(q(t("局域网") + " " + state.lanIP));
    const std::string tailscale = state.tailscaleIP.value_or(t("未安装"));
    tailscaleValue->setText(q(tailscale));
    tailscaleValue->setAccessibleName(q("Tailscale " + tailscale));

    for (auto& p : permissions) {
        bool granted = true;
        for (const auto& s : state.permissions)
            if (s.kind == p.kind) granted = s.granted;
        p.row.title->setText(q(t(p.title)));
        p.row.subtitle->setText(q(t(p.subtitle)));
        p.state->setText(granted ? QStringLiteral("✔") : QStringLiteral("✖"));
        QPalette palette = p.state->palette();
        palette.setColor(QPalette::WindowText, granted ? QColor(0x2e, 0xa0, 0x43) : QColor(0xd0, 0x30, 0x20));
        p.state->setPalette(palette);
        p.state->setAccessibleName(q(t(p.title) + ": " + t(granted ? "已就绪" : "缺失")));
        p.hintLabel->setText(q(t(p.hint)));
        p.hintLabel->setVisible(!granted);
    }

    virtualDisplay.title->setText(q(t("虚拟显示器")));
    virtualDisplay.subtitle->setText(q(t("5K 采集 · 120Hz · 不接显示器也能用")));
    virtualDisplaySwitch->setChecked(state.virtualDisplayOn);
    virtualDisplaySwitch->setAccessibleName(q(t("虚拟显示器")));
    send->setText(q(t("发送文件到 iPhone…")));
    send->setAccessibleName(q(t("发送文件到 iPhone…")));
    send->setEnabled(state.connected);

    launchAtLogin.title->setText(q(t("开机自启动")));
    launchAtLogin.subtitle->hide();
    launchAtLoginSwitch->setChecked(state.launchAtLogin);
    launchAtLoginSwitch->setAccessibleName(q(t("开机自启动")));
    lockOnDisconnect.title->setText(q(t("断开后锁定屏幕")));
    lockOnDisconnect.subtitle->setText(q(t("会话结束自动锁屏；再次远程连入需输入密码解锁")));
    lockSwitch->setChecked(state.lockOnDisconnect);
    lockSwitch->setAccessibleName(q(t("断开后锁定屏幕")));
    languageLabel->setText(q(t("语言")));
    language->setItemText(0, q(t("跟随系统")));
    language->setAccessibleName(q(t("语言")));
    language->setCurrentIndex(language->findData(q(state.languageOverride)));
    commandKey.title->setText(q(t("Command 键对应")));
    commandKey.subtitle->setText(q(t("下次启动时生效")));
    commandKeyChoice->setAccessibleName(q(t("Command 键对应")));
    commandKeyChoice->setCurrentIndex(commandKeyChoice->findData(q(state.commandKey)));

    devicesCaption->setText(q(t("已信任的设备")));
    renderDevices();
    devicesBox->setVisible(!state.trustedDevices.empty());

    quit->setText(q(t("退出 Brevox")));
    quit->setAccessibleName(q(t("退出 Brevox")));
    window->setAccessibleName(QStringLiteral("Brevox"));
    fit();
}

void ControlPanelView::Parts::fit() {
    // The column decides the height at the fixed width: wrapped labels grow downwards, so
    // the longest translation fits without cutting anything off. Labels report their new
    // heights only once the layout requests posted by the text changes have run, so the
    // height is taken again on the next turn of the event loop.
    fitNow();
    QTimer::singleShot(0, window, [this] { fitNow(); });
}

void ControlPanelView::Parts::fitNow() {
    window->layout()->invalidate();
    window->layout()->activate();
    const int height = window->layout()->hasHeightForWidth() ? window->layout()->totalHeightForWidth(kPanelWidth)
                                                             : window->sizeHint().height();
    window->resize(kPanelWidth, std::max(height, window->minimumSizeHint().height()));
}

ControlPanelView::ControlPanelView(PanelState& state, const L10n& l10n)
    : parts_(std::make_shared<Parts>(state, l10n)) {
    parts_->build();
    state.observe([weak = std::weak_ptr<Parts>(parts_)] {
        if (auto parts = weak.lock()) parts->render();
    });
    parts_->render();
}

ControlPanelView::~ControlPanelView() {
    delete parts_->window;
}

QWidget* ControlPanelView::window() const {
    return parts_->window;
}

void ControlPanelView::render() {
    parts_->render();
}

}  // namespace df

#include "DuskFerryAgent/shell/views/QtShellViews.h"

#include "DuskFerryAgent/shell/views/ControlPanelView.h"

#include <QApplication>
#include <QFileDialog>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>

namespace df {

QIcon statusIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        // The outline's box (x 5..18, y 2..22) centred in the square with a small margin.
        const double k = size / 24.0;
        painter.translate(size / 2.0, size / 2.0);
        painter.scale(1.0, 1.0);
        painter.translate(-11.5 * k, -12.0 * k);
        QPainterPath path = brandPath(size);
        QLinearGradient fill(0, 0, 0, size);
        fill.setColorAt(0, QColor::fromRgbF(1.0f, 0.42f, 0.30f));
        fill.setColorAt(1, QColor::fromRgbF(0.86f, 0.15f, 0.12f));
        painter.fillPath(path, fill);
        QPen pen(QColor(0x40, 0x10, 0x08));
        pen.setWidthF(std::max(1.0, 1.6 * k * 0.6));
        pen.setJoinStyle(Qt::RoundJoin);
        pen.setCapStyle(Qt::RoundCap);
        painter.strokePath(path, pen);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

struct QtShellViews::Parts {
    PanelState& state;
    const L10n& l10n;
    std::unique_ptr<QSystemTrayIcon> tray;
    std::unique_ptr<ControlPanelView> panel;
    std::string title;
};

QtShellViews::QtShellViews(PanelState& state, const L10n& l10n)
    : parts_(std::make_unique<Parts>(Parts{state, l10n, nullptr, nullptr, {}})) {}

QtShellViews::~QtShellViews() = default;

bool QtShellViews::installStatusItem() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
    parts_->tray = std::make_unique<QSystemTrayIcon>(statusIcon());
    parts_->tray->setToolTip(QStringLiteral("Brevox"));
    // No menu: a click (or a double click, which some trays send instead) opens the panel.
    QObject::connect(parts_->tray.get(), &QSystemTrayIcon::activated, parts_->tray.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick ||
                             reason == QSystemTrayIcon::MiddleClick) {
                             if (hooks_.activated) hooks_.activated();
                         }
                     });
    parts_->tray->show();
    return true;
}

void QtShellViews::showPanel() {
    if (!parts_->panel) parts_->panel = std::make_unique<ControlPanelView>(parts_->state, parts_->l10n);
    QWidget* window = parts_->panel->window();
    parts_->panel->render();
    // Centred on the primary screen on every open (the first screen when there is none).
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen && !QGuiApplication::screens().isEmpty()) screen = QGuiApplication::screens().front();
    if (screen) {
        const QRect area = screen->availableGeometry();
        window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
    }
    window->show();
    window->raise();
    window->activateWindow();
}

bool QtShellViews::panelVisible() const {
    return parts_->panel && parts_->panel->window()->isVisible();
}

void QtShellViews::setStatusTitle(const std::string& title) {
    // Tray icons have no text beside them on this desktop: the progress goes into the
    // tooltip instead.
    parts_->title = title;
    if (parts_->tray) parts_->tray->setToolTip(QString::fromStdString("Brevox" + title));
}

void QtShellViews::chooseFiles(const std::string& title, std::function<void(std::vector<std::string>)> chosen) {
    QWidget* parent = parts_->panel ? parts_->panel->window() : nullptr;
    auto* dialog = new QFileDialog(parent, QString::fromStdString(title));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setModal(false);
    dialog->setWindowModality(Qt::NonModal);
    QObject::connect(dialog, &QFileDialog::filesSelected, dialog, [chosen](const QStringList& files) {
        std::vector<std::string> paths;
        for (const QString& file : files) paths.push_back(file.toStdString());
        chosen(std::move(paths));
    });
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

void QtShellViews::notify(const std::string& title, const std::string& body) {
    if (hooks_.notify) return hooks_.notify(title, body);
    if (parts_->tray) parts_->tray->showMessage(QString::fromStdString(title), QString::fromStdString(body));
}

void QtShellViews::quit() {
    QApplication::quit();
}

QWidget* QtShellViews::panelWindow() const {
    return parts_->panel ? parts_->panel->window() : nullptr;
}

}  // namespace df

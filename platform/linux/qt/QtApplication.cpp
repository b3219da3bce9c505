#include "platform/linux/qt/QtApplication.h"

#include "platform/linux/qt/QtAlertPresenter.h"
#include "platform/linux/qt/QtMainQueue.h"

#include <QApplication>
#include <QMetaObject>

namespace df {

struct QtApplication::App {
    QApplication application;
    App(int& argc, char** argv) : application(argc, argv) {}
};

QtApplication::QtApplication(int& argc, char** argv) : app_(std::make_unique<App>(argc, argv)) {
    QApplication::setApplicationName(QStringLiteral("Brevox"));
    QApplication::setDesktopFileName(QStringLiteral("duskferry-agent"));
    // The agent lives in the tray: closing the panel must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    mainQueue_ = createQtMainQueue();
    alerts_ = createQtAlertPresenter(mainQueue_);
}

QtApplication::~QtApplication() {
    alerts_.reset();
    mainQueue_->shutdown();
}

int QtApplication::exec() {
    return QApplication::exec();
}

void QtApplication::quitSoon() {
    QMetaObject::invokeMethod(&app_->application, [] { QApplication::quit(); }, Qt::QueuedConnection);
}

}  // namespace df

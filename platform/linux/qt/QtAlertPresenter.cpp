#include "platform/linux/qt/QtAlertPresenter.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QString>

namespace df {

namespace {

QMessageBox::Icon iconOf(AlertContent::Style style) {
    switch (style) {
        case AlertContent::Style::informational: return QMessageBox::Information;
        case AlertContent::Style::warning: return QMessageBox::Warning;
        case AlertContent::Style::critical: return QMessageBox::Critical;
    }
    return QMessageBox::Warning;
}

class QtAlertPresenter final : public AlertPresenter {
public:
    explicit QtAlertPresenter(std::shared_ptr<DispatchQueue> mainQueue) : mainQueue_(std::move(mainQueue)) {}

    void present(AlertContent content, Completion completion) override {
        auto* box = new QMessageBox();
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setIcon(iconOf(content.style));
        box->setWindowTitle(QStringLiteral("Brevox"));
        box->setText(QString::fromStdString(content.messageText));
        box->setInformativeText(QString::fromStdString(content.informativeText));
        box->setAccessibleName(QString::fromStdString(content.messageText));
        std::vector<QPushButton*> buttons;
        for (size_t i = 0; i < content.buttons.size(); ++i) {
            // The buttons keep the order they were given in: the approving one comes first.
            auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
            auto* button = box->addButton(QString::fromStdString(content.buttons[i]), role);
            button->setAccessibleName(QString::fromStdString(content.buttons[i]));
            buttons.push_back(button);
        }
        if (!buttons.empty()) box->setDefaultButton(buttons.front());
        if (buttons.size() > 1) box->setEscapeButton(buttons[1]);
        box->setWindowFlag(Qt::WindowStaysOnTopHint);
        auto answered = std::make_shared<bool>(false);
        auto finish = [queue = mainQueue_, completion, answered](int response) {
            if (*answered) return;
            *answered = true;
            queue->post([completion, response] { completion(response); });
        };
        QObject::connect(box, &QMessageBox::buttonClicked, box, [buttons, finish](QAbstractButton* clicked) {
            for (size_t i = 0; i < buttons.size(); ++i) {
                if (buttons[i] == clicked) return finish(kAlertFirstButtonReturn + static_cast<int>(i));
            }
            finish(kAlertDismissed);
        });
        // Closed without a button (window manager, Escape without an escape button).
        QObject::connect(box, &QObject::destroyed, [finish] { finish(kAlertDismissed); });
        open_ = box;
        box->show();
        box->raise();
        box->activateWindow();
    }

    // Withdraws the open dialog (its asker went away): it ends as if closed without a
    // button.
    void dismiss() override {
        if (open_) open_->close();
    }

private:
    std::shared_ptr<DispatchQueue> mainQueue_;
    QPointer<QMessageBox> open_;  // the dialog shown now, if any
};

}  // namespace

std::shared_ptr<AlertPresenter> createQtAlertPresenter(std::shared_ptr<DispatchQueue> mainQueue) {
    return std::make_shared<QtAlertPresenter>(std::move(mainQueue));
}

}  // namespace df

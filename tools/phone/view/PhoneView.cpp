#include "tools/phone/view/PhoneView.h"

#include "tools/phone/view/ViewInput.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>
#include <QScreen>
#include <QTimer>
#include <QWheelEvent>
#include <QWidget>
#include <libyuv/convert_argb.h>

#include <mutex>
#include <utility>
#include <vector>

namespace df::phone {

namespace {

class StreamWidget;

// A picture as the window draws it: 32-bit pixels (QImage::Format_RGB32), which Qt scales
// several times faster than 24-bit ones.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  ///< width * height * 4
};

// Where the session's queue leaves pictures for the window. `window` is cleared (under the
// lock) before the window goes, so nothing is posted to it afterwards.
struct Mailbox {
    std::mutex mutex;
    Picture newest;
    bool waiting = false;  ///< a picture has been left and the window was told
    StreamWidget* window = nullptr;
};

ViewInput::Button buttonOf(Qt::MouseButton button) {
    if (button == Qt::LeftButton) return ViewInput::Button::left;
    if (button == Qt::RightButton) return ViewInput::Button::right;
    return ViewInput::Button::other;
}

uint8_t modifiersOf(Qt::KeyboardModifiers held) {
    uint8_t m = 0;
    if (held & Qt::ShiftModifier) m |= ViewInput::shift;
    if (held & Qt::ControlModifier) m |= ViewInput::control;
    if (held & Qt::AltModifier) m |= ViewInput::alt;
    if (held & Qt::MetaModifier) m |= ViewInput::meta;
    return m;
}

class StreamWidget : public QWidget {
public:
    StreamWidget(std::shared_ptr<Mailbox> box, std::function<void(const std::string&)> out)
        : box_(std::move(box)), out_(std::move(out)) {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setMouseTracking(true);
        setFocusPolicy(Qt::StrongFocus);
        resize(640, 360);
    }

    void setHooks(PhoneView::Hooks hooks) { hooks_ = std::move(hooks); }

    // On the window's thread, once per notice from the mailbox: the window's buffer and the
    // mailbox's change places, so the newest picture is drawn and the old buffer is reused.
    void takePicture() {
        {
            std::lock_guard lock(box_->mutex);
            std::swap(picture_, box_->newest);
            box_->waiting = false;
        }
        if (picture_.width <= 0 || picture_.height <= 0) return;
        image_ = QImage(picture_.pixels.data(), picture_.width, picture_.height, picture_.width * 4,
                        QImage::Format_RGB32);
        if (!sized_) {
            // The first picture sets the window's size: its own, or as much as the screen has room for.
            sized_ = true;
            QSize want(picture_.width, picture_.height);
            if (const QScreen* s = screen()) {
                const QSize room = s->availableGeometry().size() * 9 / 10;
                if (want.width() > room.width() || want.height() > room.height())
                    want.scale(room, Qt::KeepAspectRatio);
            }
            resize(want);
        }
        input_.setPicture(picture_.width, picture_.height);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const PictureRect r = input_.pictureRect();
        if (image_.isNull() || r.width <= 0) {
            painter.fillRect(rect(), Qt::black);
            painter.setPen(Qt::gray);
            painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("waiting for the picture"));
            return;
        }
        const QRect target(r.x, r.y, r.width, r.height);
        for (const QRect& bar : QRegion(rect()).subtracted(target)) painter.fillRect(bar, Qt::black);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, target.size() != image_.size());
        painter.drawImage(target, image_);
        if (!announced_) {
            announced_ = true;
            out_("view: showing the picture, " + std::to_string(image_.width()) + "x" +
                 std::to_string(image_.height()));
        }
    }
    void resizeEvent(QResizeEvent*) override { input_.setView(width(), height()); }

    void mouseMoveEvent(QMouseEvent* e) override {
        send(input_.mouseMove(e->position().x(), e->position().y()));
    }
    void mousePressEvent(QMouseEvent* e) override {
        send(input_.mousePress(buttonOf(e->button()), e->position().x(), e->position().y()));
    }
    // The second press of a double click: the computer counts clicks itself.
    void mouseDoubleClickEvent(QMouseEvent* e) override { mousePressEvent(e); }
    void mouseReleaseEvent(QMouseEvent* e) override {
        send(input_.mouseRelease(buttonOf(e->button()), e->position().x(), e->position().y()));
    }
    void wheelEvent(QWheelEvent* e) override { send(input_.wheel(e->angleDelta().x(), e->angleDelta().y())); }

    void keyPressEvent(QKeyEvent* e) override {
        send(input_.keyPress(e->nativeVirtualKey(), e->text().toStdString(), modifiersOf(e->modifiers()),
                             e->isAutoRepeat()));
    }
    void keyReleaseEvent(QKeyEvent* e) override {
        send(input_.keyRelease(e->nativeVirtualKey(), modifiersOf(e->modifiers()), e->isAutoRepeat()));
    }
    void focusOutEvent(QFocusEvent*) override { send(input_.focusLost()); }
    // Tab and Shift+Tab are keys for the computer, not focus moves between widgets.
    bool focusNextPrevChild(bool) override { return false; }

    void closeEvent(QCloseEvent* e) override {
        send(input_.focusLost());
        if (hooks_.closed) hooks_.closed();
        e->accept();
    }

private:
    void send(ViewInput::Messages messages) {
        if (!hooks_.send) return;
        for (auto& m : messages) hooks_.send(std::move(m));
    }

    std::shared_ptr<Mailbox> box_;
    std::function<void(const std::string&)> out_;
    PhoneView::Hooks hooks_;
    ViewInput input_;
    Picture picture_;
    QImage image_;  ///< wraps picture_'s pixels
    bool sized_ = false;
    bool announced_ = false;
};

class QtPhoneView final : public PhoneView {
public:
    QtPhoneView(const std::string& title, std::function<void(const std::string&)> out)
        : app_(argc_, argv_), box_(std::make_shared<Mailbox>()) {
        // The session ends the loop (through quit()), also after the window was closed.
        QApplication::setQuitOnLastWindowClosed(false);
        window_ = std::make_unique<StreamWidget>(box_, std::move(out));
        window_->setWindowTitle(QString::fromStdString(title));
        std::lock_guard lock(box_->mutex);
        box_->window = window_.get();
    }
    ~QtPhoneView() override {
        {
            std::lock_guard lock(box_->mutex);
            box_->window = nullptr;
        }
        window_.reset();
    }

    void showPicture(const RgbImage& picture) override {
        if (picture.width <= 0 || picture.height <= 0 ||
            picture.pixels.size() != static_cast<size_t>(picture.width) * picture.height * 3)
            return;
        // The conversion is the copy the window needs anyway, made here, off its thread and
        // outside the lock; the filled buffer then changes places with the mailbox's.
        staging_.width = picture.width;
        staging_.height = picture.height;
        staging_.pixels.resize(static_cast<size_t>(picture.width) * picture.height * 4);
        libyuv::RAWToARGB(picture.pixels.data(), picture.width * 3, staging_.pixels.data(), picture.width * 4,
                          picture.width, picture.height);
        std::lock_guard lock(box_->mutex);
        if (!box_->window) return;
        std::swap(staging_, box_->newest);
        if (box_->waiting) return;
        box_->waiting = true;
        StreamWidget* w = box_->window;
        QMetaObject::invokeMethod(w, [w] { w->takePicture(); }, Qt::QueuedConnection);
    }

    void quit() override {
        QMetaObject::invokeMethod(&app_, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    }

    void run(Hooks hooks) override {
        QTimer ticker;
        if (hooks.tick) QObject::connect(&ticker, &QTimer::timeout, hooks.tick);
        ticker.start(100);
        window_->setHooks(std::move(hooks));
        window_->show();
        QApplication::exec();
        window_->hide();
    }

private:
    char name_[16] = "duskferry-phone";
    int argc_ = 1;
    char* argv_[2] = {name_, nullptr};
    QApplication app_;
    std::shared_ptr<Mailbox> box_;
    std::unique_ptr<StreamWidget> window_;
    Picture staging_;  ///< filled by showPicture()'s caller only
};

}  // namespace

std::unique_ptr<PhoneView> PhoneView::open(const std::string& title, std::function<void(const std::string&)> out) {
    return std::make_unique<QtPhoneView>(title, std::move(out));
}

}  // namespace df::phone

#include "platform/linux/capture/X11ScreenCapture.h"

#include "platform/linux/x11/RandRMonitorID.h"
#include "platform/linux/x11/XConnection.h"
#include "platform/linux/yuv/BgraToYuv.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xrandr.h>
#include <libyuv/scale_argb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

namespace df {
namespace {

struct MonitorRect {
    uint32_t id = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The monitors as the display service reports them, with the same IDs.
std::vector<MonitorRect> monitors(Display* dpy) {
    std::vector<MonitorRect> out;
    int count = 0;
    XRRMonitorInfo* list = XRRGetMonitors(dpy, DefaultRootWindow(dpy), True, &count);
    if (!list) return out;
    for (int i = 0; i < count; ++i) {
        const XRRMonitorInfo& m = list[i];
        if (m.width <= 0 || m.height <= 0) continue;
        out.push_back({randrMonitorDisplayID(m), m.x, m.y, m.width, m.height});
    }
    XRRFreeMonitors(list);
    return out;
}

bool validConfiguration(const StreamConfiguration& c) {
    return c.width > 0 && c.height > 0 && c.queueDepth > 0 &&
           (c.pixelFormat == PixelFormat::i420 || c.pixelFormat == PixelFormat::bgra);
}

ScreenCaptureError unavailable(std::string message) { return {screenCaptureDisplayUnavailable, std::move(message)}; }

class X11Stream final : public ScreenCaptureStream, public std::enable_shared_from_this<X11Stream> {
public:
    X11Stream(std::string displayName, uint32_t displayID, StreamConfiguration configuration,
              std::shared_ptr<DispatchQueue> queue, ScreenCapture::SampleHandler onSample,
              ScreenCapture::ErrorHandler onError)
        : displayName_(std::move(displayName)),
          displayID_(displayID),
          configuration_(configuration),
          queue_(std::move(queue)),
          delivery_(std::make_shared<Delivery>()),
          onError_(std::move(onError)) {
        delivery_->onSample = std::move(onSample);
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }

    ~X11Stream() override {
        shutdown();
        if (wake_ >= 0) ::close(wake_);
    }

    std::optional<ScreenCaptureError> start() override {
        std::lock_guard lock(controlMutex_);
        if (thread_.joinable() || stopping_) return ScreenCaptureError{screenCaptureDisplayUnavailable, "already started"};
        if (wake_ < 0) return unavailable("no event descriptor");
        std::promise<std::optional<ScreenCaptureError>> started;
        auto result = started.get_future();
        thread_ = std::thread([this, &started] { run(started); });
        auto error = result.get();
        if (error) {
            thread_.join();
        }
        return error;
    }

    void updateConfiguration(const StreamConfiguration& configuration, Completion completion) override {
        if (!validConfiguration(configuration)) {
            if (completion) completion(ScreenCaptureError{screenCaptureDisplayUnavailable, "unsupported configuration"});
            return;
        }
        {
            std::lock_guard lock(configMutex_);
            if (running_) {
                // The capture thread applies it before its next frame and answers from there.
                pending_ = Pending{configuration, std::move(completion)};
                signal();
                return;
            }
            configuration_ = configuration;
        }
        if (completion) completion(std::nullopt);
    }

    void stop(Completion completion) override {
        shutdown();
        if (completion) completion(std::nullopt);
    }

private:
    struct Pending {
        StreamConfiguration configuration;
        Completion completion;
    };
    // What the posted deliveries share with the stream: the handler runs under the lock, so
    // once stop() has taken it and cleared `live`, no sample reaches the handler. Recursive
    // because the handler may stop the stream from within.
    struct Delivery {
        std::recursive_mutex mutex;
        bool live = true;
        ScreenCapture::SampleHandler onSample;
    };

    void shutdown() {
        {
            std::lock_guard lock(delivery_->mutex);
            delivery_->live = false;
        }
        stopping_ = true;
        signal();
        std::lock_guard lock(controlMutex_);
        if (thread_.joinable()) {
            if (thread_.get_id() == std::this_thread::get_id()) {
                thread_.detach();  // stopped from its own error handler; it returns right after
            } else {
                thread_.join();
            }
        }
    }

    void signal() {
        uint64_t one = 1;
        if (wake_ >= 0) [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
    }

    void drainWake() {
        uint64_t value = 0;
        [[maybe_unused]] auto n = ::read(wake_, &value, sizeof value);
    }

    // The capture thread: owns its own X connection, the shared-memory image and the damage
    // object; nothing else touches them.
    void run(std::promise<std::optional<ScreenCaptureError>>& started) {
        XConnection connection(displayName_);
        Display* dpy = connection.get();
        if (!dpy) {
            started.set_value(ScreenCaptureError{screenCaptureNoDisplay, "cannot open the X display"});
            return;
        }
        int damageEvent = 0, damageError = 0, randrEvent = 0, randrError = 0;
        if (!XShmQueryExtension(dpy) || !XDamageQueryExtension(dpy, &damageEvent, &damageError) ||
            !XRRQueryExtension(dpy, &randrEvent, &randrError)) {
            started.set_value(unavailable("the X server lacks MIT-SHM or DAMAGE"));
            return;
        }
        std::optional<MonitorRect> monitor;
        for (const auto& m : monitors(dpy)) {
            if (m.id == displayID_) monitor = m;
        }
        if (!monitor) {
            started.set_value(unavailable("no such display"));
            return;
        }
        Visual* visual = DefaultVisual(dpy, DefaultScreen(dpy));
        const int depth = DefaultDepth(dpy, DefaultScreen(dpy));
        XShmSegmentInfo shm{};
        XImage* image = XShmCreateImage(dpy, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &shm,
                                        static_cast<unsigned>(monitor->width), static_cast<unsigned>(monitor->height));
        if (!image || image->bits_per_pixel != 32 || image->byte_order != LSBFirst) {
            if (image) XDestroyImage(image);
            started.set_value(unavailable("the screen is not 32 bits per pixel"));
            return;
        }
        shm.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(image->bytes_per_line) * static_cast<size_t>(image->height),
                           IPC_CREAT | 0600);
        shm.shmaddr = image->data = shm.shmid >= 0 ? static_cast<char*>(shmat(shm.shmid, nullptr, 0)) : nullptr;
        shm.readOnly = False;
        if (shm.shmid < 0 || shm.shmaddr == reinterpret_cast<char*>(-1) || !XShmAttach(dpy, &shm)) {
            if (shm.shmid >= 0) shmctl(shm.shmid, IPC_RMID, nullptr);
            image->data = nullptr;
            XDestroyImage(image);
            started.set_value(unavailable("cannot share memory with the X server"));
            return;
        }
        XSync(dpy, False);
        shmctl(shm.shmid, IPC_RMID, nullptr);  // freed once both sides detached
        Damage damage = XDamageCreate(dpy, DefaultRootWindow(dpy), XDamageReportRawRectangles);
        // A change of the screen or outputs makes the loop check that its display is still
        // there; monitors set or deleted by clients send nothing, so it also checks now and then.
        XRRSelectInput(dpy, DefaultRootWindow(dpy), RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        XSync(dpy, False);
        {
            std::lock_guard lock(configMutex_);
            running_ = true;
        }
        started.set_value(std::nullopt);

        std::optional<ScreenCaptureError> lost = loop(dpy, connection, damageEvent, randrEvent, *monitor, image);

        {
            std::lock_guard lock(configMutex_);
            running_ = false;
            if (pending_) {
                if (pending_->completion) pending_->completion(ScreenCaptureError{screenCaptureDisplayUnavailable, "stream ended"});
                pending_.reset();
            }
        }
        if (!connection.broken()) {
            XDamageDestroy(dpy, damage);
            XShmDetach(dpy, &shm);
            XSync(dpy, False);
        }
        shmdt(shm.shmaddr);
        image->data = nullptr;
        XDestroyImage(image);
        if (lost) {
            // Last: the owner may let go of the stream from within the handler.
            auto handler = onError_;
            if (handler) handler(*lost);
        }
    }

    // Captures until stopped; the error when the host ended the stream on its own.
    std::optional<ScreenCaptureError> loop(Display* dpy, XConnection& connection, int damageEvent, int randrEvent,
                                           const MonitorRect& monitor, XImage* image) {
        std::optional<ScreenCaptureError> lost;
        std::vector<DirtyRect> dirty{{0, 0, static_cast<double>(monitor.width), static_cast<double>(monitor.height)}};
        bool idleSent = true;  // the first frame is complete
        double lastFrame = -1e9;
        double lastMonitorCheck = Clock::system().uptime();
        const Clock& clock = Clock::system();
        while (!stopping_) {
            StreamConfiguration config;
            {
                std::lock_guard lock(configMutex_);
                if (pending_) {
                    configuration_ = pending_->configuration;
                    if (pending_->completion) pending_->completion(std::nullopt);
                    pending_.reset();
                    dirty.assign(1, {0, 0, static_cast<double>(monitor.width), static_cast<double>(monitor.height)});
                    previous_.reset();
                }
                config = configuration_;
            }
            const double interval = std::max(config.minimumFrameInterval.seconds(), 0.001);
            const double now = clock.uptime();
            if (!dirty.empty() && now - lastFrame >= interval && held_.load() < config.queueDepth) {
                // With the picture before still at hand in this size and format, only the rows
                // the changes touch are grabbed and converted; the rest is copied from it.
                std::shared_ptr<const PixelBuffer> previous = previous_.lock();
                if (previous && (previous->width != monitor.width || previous->height != monitor.height ||
                                 previous->width != config.width || previous->height != config.height ||
                                 previous->format != config.pixelFormat)) {
                    previous.reset();
                }
                const auto [first, end] = previous ? changedRows(dirty, monitor.height, config.pixelFormat == PixelFormat::i420)
                                                   : std::pair{0, monitor.height};
                if (!grabRows(dpy, image, monitor, first, end)) {
                    if (connection.broken()) break;
                    // The screen shrank under the monitor, or the monitor went away.
                    if (!stillThere(dpy, monitor)) {
                        lost = unavailable("the display is gone");
                        break;
                    }
                } else {
                    deliverFrame(image, config, std::move(dirty), previous, first, end);
                    dirty.clear();
                    lastFrame = now;
                    idleSent = false;
                }
            }
            if (connection.broken()) break;
            // Wait for damage, a stop or a new configuration; with damage pending, only until
            // the next frame is due.
            double wait = interval;
            if (!dirty.empty() && held_.load() >= config.queueDepth) wait = interval;  // until a picture comes back
            else if (!dirty.empty()) wait = std::max(0.0, lastFrame + interval - clock.uptime());
            // Idle already reported: nothing to do until damage arrives or the monitor check.
            else if (idleSent) wait = std::max(0.0, lastMonitorCheck + 1.0 - clock.uptime());
            XFlush(dpy);
            if (XPending(dpy) == 0) {
                pollfd fds[2] = {{ConnectionNumber(dpy), POLLIN, 0}, {wake_, POLLIN, 0}};
                const int ms = static_cast<int>(std::ceil(wait * 1000));
                const int ready = ::poll(fds, 2, dirty.empty() ? ms : std::max(ms, 1));
                if (ready > 0 && (fds[1].revents & POLLIN)) drainWake();
                if (ready == 0 && dirty.empty() && !idleSent) {
                    // A whole interval without change after a frame: the screen is still.
                    deliverStatus(ScreenFrameStatus::idle);
                    idleSent = true;
                }
            }
            bool monitorsChanged = false;
            while (!connection.broken() && XPending(dpy) > 0) {
                XEvent event;
                XNextEvent(dpy, &event);
                if (event.type == randrEvent + RRScreenChangeNotify || event.type == randrEvent + RRNotify) {
                    XRRUpdateConfiguration(&event);
                    monitorsChanged = true;
                }
                if (event.type != damageEvent + XDamageNotify) continue;
                const auto& d = reinterpret_cast<const XDamageNotifyEvent&>(event);
                const int x0 = std::max<int>(d.area.x, monitor.x), y0 = std::max<int>(d.area.y, monitor.y);
                const int x1 = std::min<int>(d.area.x + d.area.width, monitor.x + monitor.width);
                const int y1 = std::min<int>(d.area.y + d.area.height, monitor.y + monitor.height);
                if (x1 > x0 && y1 > y0) {
                    dirty.push_back({static_cast<double>(x0 - monitor.x), static_cast<double>(y0 - monitor.y),
                                     static_cast<double>(x1 - x0), static_cast<double>(y1 - y0)});
                }
            }
            if (clock.uptime() - lastMonitorCheck >= 1.0) monitorsChanged = true;
            if (monitorsChanged && !connection.broken()) lastMonitorCheck = clock.uptime();
            if (monitorsChanged && !connection.broken() && !stillThere(dpy, monitor)) {
                lost = unavailable("the display is gone");
                break;
            }
            if (dirty.size() > 64) {
                // Many small changes: one rectangle around them all is cheaper to hand on.
                double x0 = 1e9, y0 = 1e9, x1 = -1e9, y1 = -1e9;
                for (const auto& r : dirty) {
                    x0 = std::min(x0, r.x), y0 = std::min(y0, r.y);
                    x1 = std::max(x1, r.x + r.width), y1 = std::max(y1, r.y + r.height);
                }
                dirty.assign(1, {x0, y0, x1 - x0, y1 - y0});
            }
        }
        if (connection.broken()) lost = ScreenCaptureError{screenCaptureNoDisplay, "the X server went away"};
        if (!lost || stopping_) return std::nullopt;
        std::lock_guard lock(delivery_->mutex);
        delivery_->live = false;
        return lost;
    }

    bool stillThere(Display* dpy, const MonitorRect& monitor) {
        for (const auto& m : monitors(dpy)) {
            if (m.id == monitor.id && m.x == monitor.x && m.y == monitor.y && m.width == monitor.width &&
                m.height == monitor.height) {
                return true;
            }
        }
        return false;
    }

    static MediaTime now() {
        return {static_cast<int64_t>(std::llround(Clock::system().uptime() * 1e9)), 1000000000};
    }

    // The rows [first, end) the rectangles touch, even-aligned for 4:2:0 (its chroma rows
    // cover two picture rows).
    static std::pair<int, int> changedRows(const std::vector<DirtyRect>& dirty, int height, bool evenRows) {
        double top = height, bottom = 0;
        for (const auto& r : dirty) {
            top = std::min(top, r.y);
            bottom = std::max(bottom, r.y + r.height);
        }
        int first = std::clamp(static_cast<int>(std::floor(top)), 0, height);
        int end = std::clamp(static_cast<int>(std::ceil(bottom)), first, height);
        if (evenRows) {
            first &= ~1;
            end = std::min(height, (end + 1) & ~1);
        }
        if (first >= end) return {0, height};
        return {first, end};
    }

    // Grabs the rows [first, end) of the monitor into the same rows of `image`: the request
    // names the shared-memory offset from the image's data, and the width (hence the row
    // length) stays the image's own.
    static bool grabRows(Display* dpy, XImage* image, const MonitorRect& monitor, int first, int end) {
        char* const data = image->data;
        const int height = image->height;
        image->data = data + static_cast<ptrdiff_t>(first) * image->bytes_per_line;
        image->height = end - first;
        const bool ok = XShmGetImage(dpy, DefaultRootWindow(dpy), image, monitor.x, monitor.y + first, AllPlanes);
        image->data = data;
        image->height = height;
        return ok;
    }

    void deliverFrame(XImage* image, const StreamConfiguration& config, std::vector<DirtyRect> dirty,
                      const std::shared_ptr<const PixelBuffer>& previous, int first, int end) {
        const auto* src = reinterpret_cast<const uint8_t*>(image->data);
        size_t stride = static_cast<size_t>(image->bytes_per_line);
        std::vector<uint8_t> scaled;
        if (config.width != image->width || config.height != image->height) {
            scaled.resize(static_cast<size_t>(config.width) * static_cast<size_t>(config.height) * 4);
            libyuv::ARGBScale(src, static_cast<int>(stride), image->width, image->height, scaled.data(),
                              config.width * 4, config.width, config.height, libyuv::kFilterBilinear);
            src = scaled.data();
            stride = static_cast<size_t>(config.width) * 4;
        }
        // Only an unscaled picture has a `previous` (and rows other than all of them).
        if (!previous) first = 0, end = config.height;
        auto* buffer = previous ? new PixelBuffer(*previous)
                                : new PixelBuffer(PixelBuffer::make(config.pixelFormat, config.width, config.height));
        if (config.pixelFormat == PixelFormat::bgra) {
            auto& plane = buffer->planes[0];
            for (int row = first; row < end; ++row) {
                uint8_t* out = plane.bytes.data() + static_cast<size_t>(row) * plane.stride;
                std::memcpy(out, src + static_cast<size_t>(row) * stride, static_cast<size_t>(config.width) * 4);
                // X leaves the padding byte undefined; the pictures are opaque.
                for (size_t i = 3; i < static_cast<size_t>(config.width) * 4; i += 4) out[i] = 0xff;
            }
        } else {
            bgraToYuv(src, stride, config.width, config.height, *buffer, first, end);
        }
        // Counts the pictures the owner holds, for the queue depth.
        held_.fetch_add(1);
        auto self = weak_from_this();
        std::shared_ptr<const PixelBuffer> picture(buffer, [self](const PixelBuffer* p) {
            delete p;
            if (auto stream = self.lock()) {
                stream->held_.fetch_sub(1);
            }
        });
        previous_ = picture;
        ScreenSample sample;
        sample.status = ScreenFrameStatus::complete;
        sample.image = std::move(picture);
        sample.presentationTime = now();
        sample.dirtyRects = std::move(dirty);
        post(std::move(sample));
    }

    void deliverStatus(ScreenFrameStatus status) {
        ScreenSample sample;
        sample.status = status;
        sample.presentationTime = now();
        post(std::move(sample));
    }

    void post(ScreenSample sample) {
        queue_->post([delivery = delivery_, sample = std::move(sample)] {
            std::lock_guard lock(delivery->mutex);
            if (delivery->live && delivery->onSample) delivery->onSample(sample);
        });
    }

    const std::string displayName_;
    const uint32_t displayID_;
    std::mutex controlMutex_;  // start and stop
    std::mutex configMutex_;
    StreamConfiguration configuration_;
    std::optional<Pending> pending_;
    bool running_ = false;
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<Delivery> delivery_;
    ScreenCapture::ErrorHandler onError_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int32_t> held_{0};
    // Capture thread only: the last picture handed out, while its owner still holds it (it
    // is not held here, so it does not count against the queue depth).
    std::weak_ptr<const PixelBuffer> previous_;
    int wake_ = -1;
};

class X11ScreenCapture final : public ScreenCapture {
public:
    explicit X11ScreenCapture(std::string displayName)
        : displayName_(std::move(displayName)), connection_(displayName_, [](Display* dpy) {
              int major = 0, minor = 0;
              return XRRQueryVersion(dpy, &major, &minor) && (major > 1 || (major == 1 && minor >= 5));
          }) {}

    Content shareableContent() override {
        std::lock_guard lock(mutex_);
        Display* dpy = connection_.get();
        if (!dpy) return {std::nullopt, ScreenCaptureError{screenCaptureNoDisplay, "cannot open the X display"}};
        ShareableContent content;
        for (const auto& m : monitors(dpy)) {
            ShareableDisplay d;
            d.id = m.id;
            d.width = m.width;
            d.height = m.height;
            d.active = true;  // RandR lists only monitors that show part of the screen
            d.mode = ScreenDisplayMode{m.width, m.width};
            content.displays.push_back(d);
        }
        if (connection_.broken()) return {std::nullopt, ScreenCaptureError{screenCaptureNoDisplay, "the X server went away"}};
        if (content.displays.empty()) return {std::nullopt, ScreenCaptureError{screenCaptureNoDisplay, "no monitors"}};
        return {std::move(content), std::nullopt};
    }

    Created createStream(uint32_t displayID, const StreamConfiguration& configuration,
                         std::shared_ptr<DispatchQueue> sampleQueue, SampleHandler onSample,
                         ErrorHandler onStoppedWithError) override {
        if (!sampleQueue || !validConfiguration(configuration)) {
            return {nullptr, ScreenCaptureError{screenCaptureDisplayUnavailable, "unsupported configuration"}};
        }
        return {std::make_shared<X11Stream>(displayName_, displayID, configuration, std::move(sampleQueue),
                                            std::move(onSample), std::move(onStoppedWithError)),
                std::nullopt};
    }

private:
    const std::string displayName_;
    std::mutex mutex_;  // one thread at a time on connection_
    XConnection connection_;
};

}  // namespace

std::shared_ptr<ScreenCapture> createX11ScreenCapture(std::string displayName) {
    return std::make_shared<X11ScreenCapture>(std::move(displayName));
}

}  // namespace df

// The capture engine's life: construction, display choice, start, quality changes, stop.
#include "DuskFerryAgent/capture/CaptureEngine.h"

#include "DuskFerryAgent/capture/DisplayTarget.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace df {

PrewarmedContent::PrewarmedContent(std::shared_ptr<ScreenCapture> capture, std::shared_ptr<DispatchQueue> background)
    : capture_(std::move(capture)), background_(std::move(background)) {}

void PrewarmedContent::prewarm() {
    if (!capture_ || !background_) return;
    background_->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        auto answer = self->capture_->shareableContent();
        std::lock_guard lock(self->lock_);
        self->content_ = std::move(answer.content);
    });
}

std::optional<ShareableContent> PrewarmedContent::take() {
    std::lock_guard lock(lock_);
    return std::exchange(content_, std::nullopt);
}

std::shared_ptr<CaptureEngine> CaptureEngine::create(Services services, Settings settings,
                                                     VideoEncoder::ConfigHandler onConfig,
                                                     VideoEncoder::FrameHandler onFrame, Audio audio) {
    return std::shared_ptr<CaptureEngine>(new CaptureEngine(std::move(services), settings, std::move(onConfig),
                                                            std::move(onFrame), std::move(audio)));
}

CaptureEngine::CaptureEngine(Services services, Settings settings, VideoEncoder::ConfigHandler onConfig,
                             VideoEncoder::FrameHandler onFrame, Audio audio)
    : services_(std::move(services)),
      settings_(settings),
      onConfig_(std::move(onConfig)),
      onFrame_(std::move(onFrame)),
      audio_(std::move(audio)),
      videoQueue_(services_.videoQueue),
      lastOutputAt_(videoQueue_->now()) {}

CaptureEngine::~CaptureEngine() {
    // The timer holds the engine weakly; a timer that outlives it must not keep ticking.
    if (idleTimer_) idleTimer_->cancel();
}

std::pair<int32_t, int32_t> CaptureEngine::clamp(int32_t width, int32_t height, int32_t maxLongEdge) {
    const int32_t longer = std::max(width, height);
    if (longer <= maxLongEdge) return {width / 2 * 2, height / 2 * 2};
    const double s = static_cast<double>(maxLongEdge) / longer;
    const auto side = [s](int32_t value) { return static_cast<int32_t>(s * value) / 2 * 2; };
    return {side(width), side(height)};
}

int32_t CaptureEngine::scaleFactor(const ShareableDisplay& display) {
    if (!display.mode || display.mode->pointWidth < 1) return 2;
    return std::max(1, display.mode->pixelWidth / display.mode->pointWidth);
}

std::optional<ShareableDisplay> CaptureEngine::chooseDisplay(const ShareableContent& content,
                                                             std::optional<uint32_t> virtualDisplayID,
                                                             std::optional<uint32_t> selectedDisplayID) {
    const auto& displays = content.displays;
    if (const auto preferred = virtualDisplayID ? virtualDisplayID : selectedDisplayID) {
        auto found = std::find_if(displays.begin(), displays.end(), [&](const auto& d) { return d.id == *preferred; });
        if (found != displays.end()) return *found;
    }
    auto active = std::find_if(displays.begin(), displays.end(), [](const auto& d) { return d.active; });
    if (active != displays.end()) return *active;
    if (!displays.empty()) return displays.front();
    return std::nullopt;
}

StreamConfiguration CaptureEngine::makeStreamConfiguration(int32_t width, int32_t height, int fps, bool chroma444) {
    StreamConfiguration configuration;
    configuration.width = width;
    configuration.height = height;
    // A rate below 1 would make an interval of 1/0 s.
    configuration.minimumFrameInterval = MediaTime{1, std::max(fps, 1)};
    configuration.pixelFormat = chroma444 ? PixelFormat::bgra : PixelFormat::i420;
    configuration.queueDepth = queueDepth(fps);
    configuration.showsCursor = false;
    return configuration;
}

std::shared_ptr<VideoEncoder> CaptureEngine::currentEncoder() const {
    std::lock_guard lock(lifecycleLock_);
    return encoder_;
}

std::shared_ptr<VideoEncoder> CaptureEngine::makeEncoder(int32_t width, int32_t height, int fps,
                                                         double bitrateMbps) const {
    return VideoEncoder::create(services_.compression, width, height, fps, bitrateMbps, settings_.chroma444, onConfig_,
                                onFrame_, services_.encoderClock);
}

ShareableContent CaptureEngine::enumerateContent() {
    if (!services_.capture) throw CaptureStartError::noDisplay();
    auto answer = services_.capture->shareableContent();
    if (answer.content) return std::move(*answer.content);
    const auto error = answer.error.value_or(ScreenCaptureError{screenCaptureNoDisplay, {}});
    if (error.code == screenCaptureNoDisplay || error.code == screenCaptureDisplayUnavailable)
        throw CaptureStartError::noDisplay();
    throw ScreenCaptureFailure(error);
}

void CaptureEngine::start() {
    {
        std::lock_guard lock(lifecycleLock_);
        if (stopped_) return;
    }
    const auto virtualID = services_.displays ? services_.displays->virtualDisplayID() : std::nullopt;
    const auto selectedID = services_.displays ? services_.displays->selectedDisplayID() : std::nullopt;

    std::optional<ShareableDisplay> display;
    if (services_.prewarmed) {
        if (auto snapshot = services_.prewarmed->take()) {
            services_.prewarmed->prewarm();
            display = chooseDisplay(*snapshot, virtualID, selectedID);
            if (display && !display->active) display.reset();
        }
    }
    if (!display) {
        display = chooseDisplay(enumerateContent(), virtualID, selectedID);
        if (!display || !display->active) throw CaptureStartError::noDisplay();
    }

    const int32_t k = scaleFactor(*display);
    const int32_t nativeWidth = display->width * k;
    const int32_t nativeHeight = display->height * k;
    const double pointArea = static_cast<double>(display->width) * display->height;
    const auto [width, height] = clamp(nativeWidth, nativeHeight, settings_.maxLongEdge);
    const auto configuration = makeStreamConfiguration(width, height, settings_.fps, settings_.chroma444);

    auto encoder = makeEncoder(width, height, settings_.fps, settings_.bitrateMbps);
    {
        std::lock_guard lock(lifecycleLock_);
        if (stopped_) {
            encoder->invalidate();
            return;
        }
        encoder_ = encoder;
        nativePixelWidth_ = nativeWidth;
        nativePixelHeight_ = nativeHeight;
    }
    // The area is the video queue's; posted before the stream exists, it is in place before
    // the first sample.
    videoQueue_->post([weak = weak_from_this(), pointArea] {
        if (auto self = weak.lock()) self->displayPointArea_ = pointArea;
    });

    auto audioStream = makeAudioStream();

    if (!services_.capture) throw CaptureStartError::noDisplay();
    auto created = services_.capture->createStream(
        display->id, configuration, videoQueue_,
        [weak = weak_from_this()](const ScreenSample& sample) {
            if (auto self = weak.lock()) self->handleScreenSample(sample);
        },
        [weak = weak_from_this()](const ScreenCaptureError&) {
            if (auto self = weak.lock()) self->streamStoppedWithError();
        });
    if (!created.stream) throw ScreenCaptureFailure(created.error.value_or(ScreenCaptureError{}));
    if (auto error = created.stream->start()) throw ScreenCaptureFailure(*error);
    // Returns at once: the sound server is reached on the capture service's own thread.
    if (audioStream) audioStream->start();

    {
        std::unique_lock lock(lifecycleLock_);
        if (stopped_) {
            lock.unlock();
            created.stream->stop(nullptr);
            if (audioStream) audioStream->stop();
            return;
        }
        stream_ = created.stream;
        audioStream_ = audioStream;
        lastOutputAt_ = now();
    }
    videoQueue_->post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->startIdleTimer();
    });
}

void CaptureEngine::stop() {
    std::shared_ptr<ScreenCaptureStream> stream;
    std::shared_ptr<VideoEncoder> encoder;
    std::shared_ptr<AudioCaptureStream> audioStream;
    {
        std::lock_guard lock(lifecycleLock_);
        stopped_ = true;
        stream = std::exchange(stream_, nullptr);
        encoder = std::exchange(encoder_, nullptr);
        audioStream = std::exchange(audioStream_, nullptr);
    }
    if (stream) stream->stop(nullptr);
    // The audio encoder stays; no buffer reaches it once its stream stopped.
    if (audioStream) audioStream->stop();
    if (encoder) encoder->invalidate();
    videoQueue_->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        if (self->idleTimer_) self->idleTimer_->cancel();
        self->idleTimer_.reset();
        self->lastCompleteBuffer_.reset();
    });
}

void CaptureEngine::requestKeyframe() {
    videoQueue_->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        if (auto encoder = self->currentEncoder()) encoder->setForceKeyframe(true);
        self->refineStage_ = 0;
    });
}

void CaptureEngine::updateQuality(int fps, double bitrateMbps, int maxLongEdge, std::function<void(bool)> completion) {
    std::shared_ptr<ScreenCaptureStream> stream;
    int32_t nativeWidth = 0;
    int32_t nativeHeight = 0;
    {
        std::lock_guard lock(lifecycleLock_);
        stream = stream_;
        nativeWidth = nativePixelWidth_;
        nativeHeight = nativePixelHeight_;
    }
    if (!stream || nativeWidth < 1) return completion(false);
    const auto [width, height] = clamp(nativeWidth, nativeHeight, maxLongEdge);
    if (width < 1 || height < 1) return completion(false);
    std::shared_ptr<VideoEncoder> next;
    try {
        next = makeEncoder(width, height, fps, bitrateMbps);
    } catch (const EncoderError&) {
        return completion(false);
    }
    stream->updateConfiguration(
        makeStreamConfiguration(width, height, fps, settings_.chroma444),
        [weak = weak_from_this(), next, completion = std::move(completion)](std::optional<ScreenCaptureError> error) {
            auto self = weak.lock();
            if (!self) {
                next->invalidate();
                return completion(false);
            }
            self->videoQueue_->post([self, next, completion, error = std::move(error)] {
                self->swapEncoder(next, error, completion);
            });
        });
}

std::optional<double> CaptureEngine::averageEncodeMs() const {
    const auto encoder = currentEncoder();
    if (!encoder) return std::nullopt;
    const double ms = encoder->encodeMsEWMA();
    if (!(ms > 0)) return std::nullopt;
    return ms;
}

CaptureEngine::Liveness CaptureEngine::liveness() const {
    std::lock_guard lock(lifecycleLock_);
    return Liveness{streamFailed_, lastOutputAt_};
}

std::pair<int32_t, int32_t> CaptureEngine::nativePixelSize() const {
    std::lock_guard lock(lifecycleLock_);
    return {nativePixelWidth_, nativePixelHeight_};
}

std::shared_ptr<AudioCaptureStream> CaptureEngine::makeAudioStream() {
    if (!audio_.codec || !audio_.onConfig || !audio_.onPacket) return nullptr;
    if (!services_.audioCapture || !services_.audioConversion || !services_.audioQueue) return nullptr;
    audioEncoder_ = AudioEncoder::create(services_.audioConversion, *audio_.codec, audio_.onConfig, audio_.onPacket);
    if (!audioEncoder_) return nullptr;
    const auto standard = AudioEncoder::standardPcmFormat();
    return services_.audioCapture->createStream(
        AudioCaptureConfiguration{standard.sampleRate, standard.channels}, services_.audioQueue,
        [weak = weak_from_this()](const AudioSample& sample) {
            auto self = weak.lock();
            if (self && sample.valid && self->audioEncoder_) self->audioEncoder_->handle(sample);
        },
        [](const AudioCaptureError& error) {
            // The stream reports this once; the screen goes on streaming without sound.
            std::fprintf(stderr, "duskferry: system audio unavailable: %s\n", error.message.c_str());
        });
}

void CaptureEngine::streamStoppedWithError() {
    std::lock_guard lock(lifecycleLock_);
    streamFailed_ = true;
}

}  // namespace df

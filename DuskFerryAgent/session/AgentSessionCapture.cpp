// Capture generations and the video send path: starting a capture engine for the phone's
// quality request, what its callbacks do, how a failed start is answered, and how encoded
// frames leave under the in-flight limit with keyframe recovery.
//
// Session queue only. The engine's callbacks arrive on the compression service's threads and
// its start runs on the capture start queue; each carries the generation it was made for and
// hops onto the session queue, where it does nothing unless that generation is still the
// current one.

#include "DuskFerryAgent/capture/AudioEncoder.h"
#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/capture/VirtualDisplayControl.h"
#include "DuskFerryAgent/session/AgentSession.h"
#include "DuskFerryAgent/shell/L10n.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace df {

namespace {

int clampToInt(int64_t value, int64_t upper) { return static_cast<int>(std::clamp<int64_t>(value, INT_MIN, upper)); }

}  // namespace

int AgentSession::maxInFlightFor(int fps) {
    return static_cast<int>(std::clamp<long>(std::lround(fps * 0.066), 4, 8));
}

void AgentSession::startCapture(const std::optional<QualityRequest>& q, bool preserveAdaptation) {
    if (closed_) return;
    auto& v = video_;
    // The old engine stays referenced until the new one replaces it below.
    if (capture_) capture_->stop();
    if (!activity_ && services_.displayActivity) {
        activity_ = services_.displayActivity->begin(services_.l10n->t("Brevox 屏幕串流中"));
    }

    const double requested = std::min(q ? q->bitrateMbps : defaultBitrate, maxBitrate);
    v.adaptiveEnabled = q ? q->adaptive : true;
    v.requestedBitrate = requested;
    if (!preserveAdaptation) {
        v.currentBitrate = requested;
        v.resolutionTier = 0;
        v.floorCongestedWindows = 0;
        v.tierRecoveryWindows = 0;
    }
    v.currentBitrate = std::min(v.currentBitrate, requested);

    v.windowStart = queue_->now();
    v.windowSent = v.windowDropped = 0;
    v.windowSendLatency = 0;
    v.windowLatencySamples = 0;
    v.stableWindows = 0;
    v.needKeyframeRecovery = v.keyframePending = false;

    v.requestedFPSClamped = clampToInt(q && q->maxFPS != 0 ? q->maxFPS : defaultFrameRate(), maxFPS);
    v.requestedLongEdgeClamped = clampToInt(q ? q->maxLongEdge : defaultLongEdge, maxLongEdge);
    std::tie(v.appliedLongEdge, v.appliedFPS) =
        tierValues(v.resolutionTier, v.requestedLongEdgeClamped, v.requestedFPSClamped);
    v.maxInFlight = maxInFlightFor(v.appliedFPS);

    const double engineBitrate = preserveAdaptation ? v.currentBitrate : requested;
    const int64_t generation = ++v.captureGeneration;
    // Frames of the old engine that waited for their configuration have no decoder to go to.
    heldFrames_.clear();

    const auto& services = services_.capture;
    CaptureEngine::Audio audio;
    if (services.audio && services.audioConversion && services.audioQueue) {
        audio.codec = AudioEncoder::negotiate(q && q->audioCodecs ? *q->audioCodecs : std::vector<std::string>{},
                                              *services.audioConversion);
    }
    if (audio.codec) audioMuted_ = false;
    const bool chroma444 = q && q->chroma444.value_or(false) && !v.chroma444Blocked;

    if (!services.screen || !services.compression || !services.videoQueue || !services.startQueue) {
        capture_.reset();
        return;
    }
    std::weak_ptr<AgentSession> weak = weak_from_this();
    auto queue = queue_;
    auto onConfig = [weak, queue, generation](const VideoConfig& config) {
        queue->post([weak, generation, config] {
            auto self = weak.lock();
            if (self && self->video_.captureGeneration == generation) self->captureConfig(config);
        });
    };
    auto onFrame = [weak, queue, generation](Bytes wireFrame, bool isKeyframe) {
        queue->post([weak, generation, wireFrame = std::move(wireFrame), isKeyframe]() mutable {
            auto self = weak.lock();
            if (self && self->video_.captureGeneration == generation) {
                self->captureFrame(std::move(wireFrame), isKeyframe);
            }
        });
    };
    if (audio.codec) {
        audio.onConfig = [weak, queue, generation](const AudioConfig& config) {
            queue->post([weak, generation, config] {
                auto self = weak.lock();
                if (self && self->video_.captureGeneration == generation) self->captureAudioConfig(config);
            });
        };
        audio.onPacket = [weak, queue, generation](const AudioFramePacket& packet) {
            queue->post([weak, generation, packet] {
                auto self = weak.lock();
                if (self && self->video_.captureGeneration == generation) self->captureAudioPacket(packet);
            });
        };
    }
    CaptureEngine::Services engineServices{services.screen,       services.compression,     services_.displays,
                                           services.videoQueue,   services.prewarmed,       services.encoderClock,
                                           services.audio,        services.audioConversion, services.audioQueue};
    CaptureEngine::Settings settings{v.appliedFPS, engineBitrate, v.appliedLongEdge, chroma444};
    capture_ = CaptureEngine::create(std::move(engineServices), settings, std::move(onConfig), std::move(onFrame),
                                     std::move(audio));
    services.startQueue->post([engine = capture_, weak, queue, generation] {
        try {
            engine->start();
        } catch (...) {
            queue->post([weak, generation, error = std::current_exception()] {
                if (auto self = weak.lock()) self->captureStartFailed(generation, error);
            });
        }
    });
}

int AgentSession::defaultFrameRate() const {
    const auto& target = services_.displays;
    if (!target || !target->service()) return fallbackFPS;
    const auto displays = target->service()->activeDisplays(DisplayTarget::maxDisplays);
    const auto find = [&displays](DisplayTarget::DisplayID id) -> const DisplayDescription* {
        auto it = std::ranges::find_if(displays, [id](const auto& d) { return d.id == id; });
        return it == displays.end() ? nullptr : &*it;
    };
    const DisplayDescription* chosen = nullptr;
    auto preferred = target->virtualDisplayID();
    if (!preferred) preferred = target->selectedDisplayID();
    if (preferred) {
        if (const auto* d = find(*preferred); d && d->bounds.width > 1) chosen = d;
    }
    if (!chosen && !displays.empty()) {
        auto main = std::ranges::find_if(displays, [](const auto& d) { return d.isMain; });
        chosen = main != displays.end() ? &*main : &displays.front();
    }
    if (!chosen || !(chosen->refreshRate > 0)) return fallbackFPS;
    return static_cast<int>(std::lround(chosen->refreshRate));
}

void AgentSession::captureStartFailed(int64_t generation, std::exception_ptr error) {
    if (closed_ || generation != video_.captureGeneration) return;
    auto& v = video_;
    const L10n& l10n = *services_.l10n;
    const auto failed = [&](const std::string& description) {
        report(l10n.tf("采集失败：%@（请检查屏幕录制权限）", description));
        sendControl(CaptureError(description));
    };
    try {
        std::rethrow_exception(error);
    } catch (const EncoderError& e) {
        if (e.kind() != EncoderError::Kind::chroma444Unsupported) return failed(e.what());
        v.chroma444Blocked = true;
        report(l10n.t("此 Mac 不支持 4:4:4 编码，已回退标准画质"));
        startCapture(clientQuality_, true);
    } catch (const CaptureStartError&) {
        const bool virtualExists = services_.displays && services_.displays->virtualDisplayID().has_value();
        if (!v.headlessVDRetried && !userDisabledVD_ && !virtualExists) {
            v.headlessVDRetried = true;
            report(l10n.t("未检测到显示器，正在开启虚拟显示器…"));
            if (auto vd = services_.virtualDisplay) onMain([vd] { vd->enableAuto(); });
            scheduleScreenResync(2.0, true);
        } else if (virtualExists && !v.vdRegistrationRetried) {
            // The virtual display may not be known to the capture service yet.
            v.vdRegistrationRetried = true;
            scheduleScreenResync(2.0, true);
        } else {
            const std::string text = l10n.t("未检测到可采集的显示器：请掀开 MacBook 盖子或接一台显示器。");
            report(text);
            sendControl(CaptureError(text, std::string(CaptureError::kindNoDisplay)));
        }
    } catch (const std::exception& e) {
        failed(e.what());
    } catch (...) {
        failed("unknown error");
    }
}

void AgentSession::captureConfig(const VideoConfig& config) {
    if (closed_) return;
    video_.headlessVDRetried = false;
    // The configuration goes on the control connection and the frames on a media channel:
    // frames wait until the configuration's send has completed, so that a keyframe never
    // reaches its connection before the parameter sets it needs reached theirs.
    auto frame = ControlMessage(config).encodedFrame();
    if (!frame) return;
    ++configsInFlight_;
    std::weak_ptr<AgentSession> weak = weak_from_this();
    connection_->send(std::move(frame.value()), [weak](std::optional<TransportError>) {
        auto self = weak.lock();
        if (!self) return;
        --self->configsInFlight_;
        while (self->configsInFlight_ == 0 && !self->heldFrames_.empty()) {
            auto [wireFrame, isKeyframe] = std::move(self->heldFrames_.front());
            self->heldFrames_.pop_front();
            self->sendVideo(std::move(wireFrame), isKeyframe);
        }
    });
}

void AgentSession::captureFrame(Bytes wireFrame, bool isKeyframe) {
    if (closed_) return;
    if (configsInFlight_ == 0) return sendVideo(std::move(wireFrame), isKeyframe);
    if (heldFrames_.size() >= maxHeldFrames) return dropVideo(isKeyframe);
    heldFrames_.emplace_back(std::move(wireFrame), isKeyframe);
}

void AgentSession::captureAudioConfig(const AudioConfig& config) { sendControl(config); }

void AgentSession::captureAudioPacket(const AudioFramePacket& packet) {
    if (audioMuted_ || closed_) return;
    // Audio is not counted in flight, and its send completion is not looked at.
    sendMedia(WireKind::audioFrame, packet.encoded());
}

void AgentSession::sendVideo(Bytes wireFrame, bool isKeyframe) {
    if (closed_) return;
    auto& v = video_;
    if (v.videoInFlight >= v.maxInFlight) return dropVideo(isKeyframe);
    if (v.needKeyframeRecovery && !isKeyframe) {
        ++v.windowDropped;
        evaluateAdaptation();
        return;
    }
    if (isKeyframe) v.needKeyframeRecovery = v.keyframePending = false;
    ++v.windowSent;
    ++v.framesSentTotal;
    evaluateAdaptation();
    ++v.videoInFlight;
    const double sentAt = queue_->now();
    std::weak_ptr<AgentSession> weak = weak_from_this();
    // The encoder made a complete wire frame: it goes as it is. Send errors are not looked
    // at; a failed channel shows up as a state change, and the count still goes down.
    outgoingMediaConnection()->send(std::move(wireFrame), [weak, sentAt](std::optional<TransportError>) {
        if (auto self = weak.lock()) self->videoSent(sentAt);
    });
}

void AgentSession::dropVideo(bool isKeyframe) {
    auto& v = video_;
    ++v.windowDropped;
    v.needKeyframeRecovery = true;
    if (isKeyframe) v.keyframePending = false;  // so that it is asked for again
    evaluateAdaptation();
}

void AgentSession::videoSent(double sentAt) {
    auto& v = video_;
    --v.videoInFlight;
    v.windowSendLatency += queue_->now() - sentAt;
    ++v.windowLatencySamples;
    if (v.needKeyframeRecovery && !v.keyframePending && v.videoInFlight < v.maxInFlight) {
        v.keyframePending = true;
        if (capture_) capture_->requestKeyframe();
    }
}

void AgentSession::requestKeyframe() {
    if (capture_) capture_->requestKeyframe();
}

CaptureAlive AgentSession::captureAlive() const {
    if (!capture_) return CaptureAlive(false);
    return CaptureAlive(CaptureEngine::isAlive(capture_->liveness(), queue_->now()), capture_->averageEncodeMs());
}

void AgentSession::stopCapture() {
    if (capture_) {
        capture_->stop();
        capture_.reset();
    }
    heldFrames_.clear();
    activity_.reset();
}

}  // namespace df

// The adaptive controller: every 2 s (and only over windows of more than 10 frames) it
// judges the frames sent and dropped and the send latency, lowers the bit rate fast under
// congestion and raises it slowly when the stream is good; at the bit-rate floor it steps
// down the resolution ladder, and at full bit rate it climbs back up. The phone's own
// flush reports cut the bit rate as congestion does. Session queue only.

#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "DuskFerryAgent/session/AgentSession.h"
#include "DuskFerryAgent/shell/L10n.h"

#include <algorithm>

namespace df {

namespace {

struct Rung {
    int longEdge;
    int fps;
};
// Rung 0 caps nothing.
constexpr Rung kLadder[] = {{AgentSession::maxLongEdge, AgentSession::maxFPS}, {1920, 30}, {1440, 30}};
constexpr int kTopTier = 2;

}  // namespace

std::pair<int, int> AgentSession::tierValues(int tier, int requestedLongEdge, int requestedFPS) {
    const Rung& rung = kLadder[std::clamp(tier, 0, kTopTier)];
    return {std::min(rung.longEdge, requestedLongEdge), std::min(rung.fps, requestedFPS)};
}

void AgentSession::evaluateAdaptation() {
    auto& v = video_;
    if (!v.adaptiveEnabled) return;
    const double now = queue_->now();
    if (now - v.windowStart < adaptationWindow) return;

    const int total = v.windowSent + v.windowDropped;
    const double dropRate = total > 0 ? static_cast<double>(v.windowDropped) / total : 0;
    const double latency = v.windowLatencySamples > 0 ? v.windowSendLatency / v.windowLatencySamples : 0;
    v.windowStart = now;
    v.windowSent = v.windowDropped = 0;
    v.windowSendLatency = 0;
    v.windowLatencySamples = 0;
    if (total <= smallestJudgedWindow) return;

    if (dropRate > 0.2) {  // heavy congestion
        v.stableWindows = 0;
        applyBitrate(std::max(v.currentBitrate * 0.5, minBitrate));
        noteFloorCongestion();
        return;
    }
    if (dropRate > 0.05 || latency > 0.08) {  // congestion
        v.stableWindows = 0;
        applyBitrate(std::max(v.currentBitrate * 0.7, minBitrate));
        noteFloorCongestion();
        return;
    }
    if (dropRate > 0.02 || latency >= 0.05) return;  // neutral: nothing changes

    v.floorCongestedWindows = 0;
    ++v.stableWindows;
    if (v.currentBitrate < 0.5 * v.requestedBitrate) {  // far below the request: climb at once
        v.stableWindows = 0;
        applyBitrate(std::min(v.currentBitrate * 1.35, v.requestedBitrate));
        return;
    }
    if (v.stableWindows < 2) return;
    v.stableWindows = 0;
    if (v.currentBitrate < v.requestedBitrate) {
        applyBitrate(std::min(v.currentBitrate * 1.2, v.requestedBitrate));
        return;
    }

    // Full bit rate: two such steps raise the resolution by one rung that changes anything.
    if (v.resolutionTier == 0) return;
    if (++v.tierRecoveryWindows < 2) return;
    v.tierRecoveryWindows = 0;
    const std::pair applied{v.appliedLongEdge, v.appliedFPS};
    const auto values = [&](int tier) { return tierValues(tier, v.requestedLongEdgeClamped, v.requestedFPSClamped); };
    --v.resolutionTier;
    while (v.resolutionTier > 0 && values(v.resolutionTier) == applied) --v.resolutionTier;
    if (values(v.resolutionTier) == applied) return;
    report(services_.l10n->t("网络恢复，提升画质档位…"));
    applyTierChange();
}

void AgentSession::applyBitrate(double mbps) {
    if (mbps == video_.currentBitrate) return;
    video_.currentBitrate = mbps;
    if (!capture_) return;
    if (auto encoder = capture_->encoder()) encoder->update(mbps);
}

void AgentSession::noteFloorCongestion() {
    auto& v = video_;
    if (v.currentBitrate > minBitrate + 0.01) {
        v.floorCongestedWindows = 0;
        return;
    }
    ++v.floorCongestedWindows;
    v.tierRecoveryWindows = 0;
    if (v.floorCongestedWindows < 2) return;
    if (v.resolutionTier == kTopTier) return;
    v.floorCongestedWindows = 0;
    if (tierValues(v.resolutionTier + 1, v.requestedLongEdgeClamped, v.requestedFPSClamped) ==
        std::pair{v.appliedLongEdge, v.appliedFPS}) {
        // The request is already as small as the next rung: nothing left to lower.
        v.resolutionTier = kTopTier;
        return;
    }
    ++v.resolutionTier;
    report(services_.l10n->t("网络拥塞，降低分辨率保流畅…"));
    applyTierChange();
}

void AgentSession::applyTierChange() {
    if (!capture_) return startCapture(clientQuality_, true);
    const auto values = tierValues(video_.resolutionTier, video_.requestedLongEdgeClamped, video_.requestedFPSClamped);
    const int longEdge = values.first;
    const int fps = values.second;
    std::weak_ptr<AgentSession> weak = weak_from_this();
    auto queue = queue_;
    const int64_t generation = video_.captureGeneration;
    // The completion comes on the capture queue.
    capture_->updateQuality(fps, video_.currentBitrate, longEdge,
                            [weak, queue, generation, fps, longEdge](bool success) {
                                queue->post([weak, generation, success, fps, longEdge] {
                                    if (auto self = weak.lock())
                                        self->tierChangeApplied(generation, success, fps, longEdge);
                                });
                            });
}

void AgentSession::tierChangeApplied(int64_t generation, bool success, int fps, int longEdge) {
    if (closed_ || generation != video_.captureGeneration) return;
    if (!success) return startCapture(clientQuality_, true);
    auto& v = video_;
    v.appliedFPS = fps;
    v.appliedLongEdge = longEdge;
    v.maxInFlight = maxInFlightFor(fps);
    // A stream that sends nothing after the change is restarted in full.
    const int64_t sent = v.framesSentTotal;
    std::weak_ptr<AgentSession> weak = weak_from_this();
    queue_->postAfter(stallAfterTierChange, [weak, generation, sent] {
        auto self = weak.lock();
        if (!self || self->closed_ || self->video_.captureGeneration != generation) return;
        if (self->video_.framesSentTotal == sent) self->startCapture(self->clientQuality_, true);
    });
}

void AgentSession::handleClientStats(const ClientStats& stats) {
    if (!video_.adaptiveEnabled || stats.flushes <= 0) return;
    video_.stableWindows = 0;
    applyBitrate(std::max(video_.currentBitrate * 0.7, minBitrate));
    noteFloorCongestion();
}

}  // namespace df

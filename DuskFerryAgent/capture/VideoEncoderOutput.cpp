// The encoder's output side: runs on the compression service's output thread, one output
// at a time.
#include "DuskFerryAgent/capture/VideoEncoder.h"
#include "protocol/MediaPayloads.h"

namespace df {

void VideoEncoder::handleOutput(CompressionStatus status, const CompressedSample* sample) {
    {
        std::lock_guard lock(timingLock_);
        if (!submitTimes_.empty()) {
            double submitted = submitTimes_.front();
            submitTimes_.pop_front();
            double ms = (clock_->uptime() - submitted) * 1000.0;
            encodeMsEWMA_ = encodeMsEWMA_ > 0 ? (1.0 - encodeTimeWeight) * encodeMsEWMA_ + encodeTimeWeight * ms : ms;
        }
    }
    if (status == compressionSuccess && sample) emit(*sample);
}

void VideoEncoder::emit(const CompressedSample& sample) {
    // A sample is a keyframe unless its first attachment says it is not a sync sample.
    bool isKeyframe = true;
    if (sample.attachments && !sample.attachments->empty() && sample.attachments->front().notSync == true)
        isKeyframe = false;

    // The phone must have the parameter sets before the keyframe that uses them.
    if (isKeyframe && sample.formatDescription) sendParameterSetsIfChanged(*sample.formatDescription);

    if (!sample.data) return;
    const Bytes& bytes = *sample.data;
    Bytes wire = VideoFramePacket::wireEncode(sample.presentationTime.seconds(), isKeyframe, bytes.data(), bytes.size());
    if (onFrame_) onFrame_(std::move(wire), isKeyframe);
}

void VideoEncoder::sendParameterSetsIfChanged(const HevcFormatDescription& format) {
    std::optional<size_t> count = format.parameterSetCount();
    if (!count || *count < 3) return;
    std::vector<Bytes> sets;
    sets.reserve(*count);
    for (size_t index = 0; index < *count; ++index) {
        std::optional<Bytes> set = format.parameterSet(index);
        if (!set) return;
        sets.push_back(std::move(*set));
    }
    // Compared set by set, so that moving a boundary between two sets counts as a change.
    if (sets == lastParameterSets_) return;
    lastParameterSets_ = sets;
    if (onConfig_) onConfig_(VideoConfig(sets[0], sets[1], sets[2], width_, height_));
}

}  // namespace df

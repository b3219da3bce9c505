#pragma once
// In-memory compression service for unit tests. The test plays the host: it decides what
// each session creation and each property returns, reads back the properties set and the
// frames submitted, and delivers outputs (samples with or without the not-sync flag and with
// given parameter sets, empty outputs, failures) by calling deliver…() on the session, which
// runs the output handler inline on the test's thread as if it were the service's thread.
// Nothing is encoded; no thread of its own.

#include "platform/VideoCompression.h"

#include <deque>
#include <map>
#include <mutex>

namespace df::fake {

/// Parameter sets with scriptable read failures.
class FakeFormatDescription final : public HevcFormatDescription {
public:
    explicit FakeFormatDescription(std::vector<Bytes> parameterSets) : sets_(std::move(parameterSets)) {}

    /// parameterSetCount() answers nothing.
    void failCount() { failCount_ = true; }
    /// parameterSet(index) answers nothing.
    void failSet(size_t index) { failedSet_ = index; }

    std::optional<size_t> parameterSetCount() const override;
    std::optional<Bytes> parameterSet(size_t index) const override;

private:
    std::vector<Bytes> sets_;
    bool failCount_ = false;
    std::optional<size_t> failedSet_;
};

/// A sample whose first attachment dictionary holds `notSync` (when given), with a format
/// description of `parameterSets` (none when the list is empty).
CompressedSample makeSample(Bytes data, std::optional<bool> notSync, std::vector<Bytes> parameterSets = {},
                            MediaTime presentationTime = {});

class FakeVideoCompression;

class FakeCompressionSession final : public CompressionSession {
public:
    struct SetProperty {
        CompressionProperty property;
        CompressionStatus result = compressionSuccess;
    };
    struct Submitted {
        std::shared_ptr<const PixelBuffer> buffer;
        MediaTime presentationTime;
        FrameOptions options;
    };

    FakeCompressionSession(CompressionSessionSettings settings, OutputHandler output,
                           std::shared_ptr<const std::map<CompressionPropertyKey, CompressionStatus>> propertyResults);

    const CompressionSessionSettings& settings() const { return settings_; }

    // CompressionSession
    CompressionStatus setProperty(const CompressionProperty& property) override;
    CompressionStatus prepareToEncodeFrames() override;
    CompressionStatus encodeFrame(std::shared_ptr<const PixelBuffer> buffer, MediaTime presentationTime,
                                  const FrameOptions& options) override;
    void invalidate() override;

    // What the caller did.
    std::vector<SetProperty> properties() const;
    /// The keys in the order they were set.
    std::vector<CompressionPropertyKey> propertyKeys() const;
    /// The last accepted value of `key`.
    std::optional<CompressionProperty::Value> value(CompressionPropertyKey key) const;
    /// The values set for `key`, accepted or not, in order.
    std::vector<CompressionProperty::Value> values(CompressionPropertyKey key) const;
    int prepareCount() const;
    bool isInvalidated() const;
    /// Frames taken (submissions that returned 0), in order.
    std::vector<Submitted> frames() const;

    // Scripting.
    /// The next encodeFrame returns `status` and takes nothing.
    void failNextSubmit(CompressionStatus status);
    /// Runs the output handler with `status` and `sample` (null: no output).
    void deliver(CompressionStatus status, const CompressedSample* sample);
    void deliver(const CompressedSample& sample) { deliver(compressionSuccess, &sample); }
    void deliverFailure(CompressionStatus status) { deliver(status, nullptr); }

private:
    const CompressionSessionSettings settings_;
    const OutputHandler output_;
    const std::shared_ptr<const std::map<CompressionPropertyKey, CompressionStatus>> propertyResults_;

    mutable std::mutex mutex_;
    std::vector<SetProperty> properties_;
    std::vector<Submitted> frames_;
    std::optional<CompressionStatus> nextSubmitFailure_;
    int prepareCount_ = 0;
    bool invalidated_ = false;
};

class FakeVideoCompression final : public VideoCompression {
public:
    /// Status the host gives for an invalidated session's calls.
    static constexpr CompressionStatus invalidatedStatus = -12903;

    Created createSession(const CompressionSessionSettings& settings,
                          CompressionSession::OutputHandler output) override;

    /// The next creations fail with these statuses, in order (0 in the list lets that one
    /// succeed); later creations succeed.
    void scriptCreateResults(std::vector<CompressionStatus> statuses);
    /// Every session made from now on answers `status` when `key` is set.
    void setPropertyResult(CompressionPropertyKey key, CompressionStatus status);

    /// Every creation asked for, successful or not.
    std::vector<CompressionSessionSettings> creations() const;
    /// The sessions made, oldest first.
    std::vector<std::shared_ptr<FakeCompressionSession>> sessions() const;
    /// The newest session; null before the first.
    std::shared_ptr<FakeCompressionSession> lastSession() const;

private:
    mutable std::mutex mutex_;
    std::deque<CompressionStatus> createResults_;
    std::map<CompressionPropertyKey, CompressionStatus> propertyResults_;
    std::vector<CompressionSessionSettings> creations_;
    std::vector<std::shared_ptr<FakeCompressionSession>> sessions_;
};

}  // namespace df::fake

#pragma once
// In-memory screen-capture service for unit tests. The test plays the host: it sets the
// displays and the answers of content requests, stream creations and starts, reads back the
// configurations asked for, and delivers samples (complete with dirty rectangles, idle, ...)
// through the stream, which posts them on the stream's sample queue as the host would.
// Configuration updates wait for the test to answer them. No thread of its own.

#include "platform/ScreenCapture.h"

#include <deque>
#include <mutex>

namespace df::fake {

class FakeScreenCaptureStream final : public ScreenCaptureStream {
public:
    FakeScreenCaptureStream(uint32_t displayID, StreamConfiguration configuration,
                            std::shared_ptr<DispatchQueue> sampleQueue, ScreenCapture::SampleHandler onSample,
                            ScreenCapture::ErrorHandler onStoppedWithError, std::optional<ScreenCaptureError> startError,
                            std::function<void()> duringStart);

    // ScreenCaptureStream
    std::optional<ScreenCaptureError> start() override;
    void updateConfiguration(const StreamConfiguration& configuration, Completion completion) override;
    void stop(Completion completion) override;

    uint32_t displayID() const { return displayID_; }
    /// The configuration at creation, then each one an update was asked for.
    std::vector<StreamConfiguration> configurations() const;
    bool isStarted() const;
    bool isStopped() const;
    int stopCount() const;
    size_t pendingUpdates() const;

    // Scripting.
    /// Posts `sample` to the sample queue (dropped once stopped).
    void deliver(ScreenSample sample);
    /// Answers the oldest waiting configuration update, inline on the test's thread.
    void answerUpdate(std::optional<ScreenCaptureError> error = std::nullopt);
    /// The host ends the stream with `error`.
    void failWith(const ScreenCaptureError& error);

private:
    const uint32_t displayID_;
    const std::shared_ptr<DispatchQueue> sampleQueue_;
    const ScreenCapture::SampleHandler onSample_;
    const ScreenCapture::ErrorHandler onStoppedWithError_;
    const std::optional<ScreenCaptureError> startError_;
    const std::function<void()> duringStart_;
    mutable std::mutex mutex_;
    std::vector<StreamConfiguration> configurations_;
    std::deque<Completion> updates_;
    bool started_ = false;
    bool stopped_ = false;
    int stopCount_ = 0;
};

class FakeScreenCapture final : public ScreenCapture {
public:
    /// Content requests answer these displays.
    void setDisplays(std::vector<ShareableDisplay> displays);
    /// The next content request fails with `error`.
    void failNextContent(ScreenCaptureError error);
    /// The next stream creation fails with `error`.
    void failNextCreate(ScreenCaptureError error);
    /// The next stream's start fails with `error`.
    void failNextStart(ScreenCaptureError error);
    /// Runs inside the next stream's start(), on the starting thread, before it answers.
    void duringNextStart(std::function<void()> action);

    int contentRequests() const;
    std::vector<std::shared_ptr<FakeScreenCaptureStream>> streams() const;
    std::shared_ptr<FakeScreenCaptureStream> lastStream() const;

    // ScreenCapture
    Content shareableContent() override;
    Created createStream(uint32_t displayID, const StreamConfiguration& configuration,
                         std::shared_ptr<DispatchQueue> sampleQueue, SampleHandler onSample,
                         ErrorHandler onStoppedWithError) override;

private:
    mutable std::mutex mutex_;
    std::vector<ShareableDisplay> displays_;
    std::optional<ScreenCaptureError> contentError_;
    std::optional<ScreenCaptureError> createError_;
    std::optional<ScreenCaptureError> startError_;
    std::function<void()> duringStart_;
    int contentRequests_ = 0;
    std::vector<std::shared_ptr<FakeScreenCaptureStream>> streams_;
};

}  // namespace df::fake

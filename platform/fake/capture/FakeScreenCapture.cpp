#include "platform/fake/capture/FakeScreenCapture.h"

#include <utility>

namespace df::fake {

FakeScreenCaptureStream::FakeScreenCaptureStream(uint32_t displayID, StreamConfiguration configuration,
                                                 std::shared_ptr<DispatchQueue> sampleQueue,
                                                 ScreenCapture::SampleHandler onSample,
                                                 ScreenCapture::ErrorHandler onStoppedWithError,
                                                 std::optional<ScreenCaptureError> startError,
                                                 std::function<void()> duringStart)
    : displayID_(displayID),
      sampleQueue_(std::move(sampleQueue)),
      onSample_(std::move(onSample)),
      onStoppedWithError_(std::move(onStoppedWithError)),
      startError_(std::move(startError)),
      duringStart_(std::move(duringStart)),
      configurations_{configuration} {}

std::optional<ScreenCaptureError> FakeScreenCaptureStream::start() {
    if (duringStart_) duringStart_();
    if (startError_) return startError_;
    std::lock_guard lock(mutex_);
    started_ = true;
    return std::nullopt;
}

void FakeScreenCaptureStream::updateConfiguration(const StreamConfiguration& configuration, Completion completion) {
    std::lock_guard lock(mutex_);
    configurations_.push_back(configuration);
    updates_.push_back(std::move(completion));
}

void FakeScreenCaptureStream::stop(Completion completion) {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        ++stopCount_;
    }
    if (completion) completion(std::nullopt);
}

std::vector<StreamConfiguration> FakeScreenCaptureStream::configurations() const {
    std::lock_guard lock(mutex_);
    return configurations_;
}

bool FakeScreenCaptureStream::isStarted() const {
    std::lock_guard lock(mutex_);
    return started_;
}

bool FakeScreenCaptureStream::isStopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

int FakeScreenCaptureStream::stopCount() const {
    std::lock_guard lock(mutex_);
    return stopCount_;
}

size_t FakeScreenCaptureStream::pendingUpdates() const {
    std::lock_guard lock(mutex_);
    return updates_.size();
}

void FakeScreenCaptureStream::deliver(ScreenSample sample) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
    }
    sampleQueue_->post([handler = onSample_, sample = std::move(sample)] { handler(sample); });
}

void FakeScreenCaptureStream::answerUpdate(std::optional<ScreenCaptureError> error) {
    Completion completion;
    {
        std::lock_guard lock(mutex_);
        if (updates_.empty()) return;
        completion = std::move(updates_.front());
        updates_.pop_front();
        if (error && configurations_.size() > 1) configurations_.pop_back();
    }
    if (completion) completion(std::move(error));
}

void FakeScreenCaptureStream::failWith(const ScreenCaptureError& error) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
    }
    if (onStoppedWithError_) onStoppedWithError_(error);
}

void FakeScreenCapture::setDisplays(std::vector<ShareableDisplay> displays) {
    std::lock_guard lock(mutex_);
    displays_ = std::move(displays);
}

void FakeScreenCapture::failNextContent(ScreenCaptureError error) {
    std::lock_guard lock(mutex_);
    contentError_ = std::move(error);
}

void FakeScreenCapture::failNextCreate(ScreenCaptureError error) {
    std::lock_guard lock(mutex_);
    createError_ = std::move(error);
}

void FakeScreenCapture::failNextStart(ScreenCaptureError error) {
    std::lock_guard lock(mutex_);
    startError_ = std::move(error);
}

void FakeScreenCapture::duringNextStart(std::function<void()> action) {
    std::lock_guard lock(mutex_);
    duringStart_ = std::move(action);
}

int FakeScreenCapture::contentRequests() const {
    std::lock_guard lock(mutex_);
    return contentRequests_;
}

std::vector<std::shared_ptr<FakeScreenCaptureStream>> FakeScreenCapture::streams() const {
    std::lock_guard lock(mutex_);
    return streams_;
}

std::shared_ptr<FakeScreenCaptureStream> FakeScreenCapture::lastStream() const {
    std::lock_guard lock(mutex_);
    return streams_.empty() ? nullptr : streams_.back();
}

ScreenCapture::Content FakeScreenCapture::shareableContent() {
    std::lock_guard lock(mutex_);
    ++contentRequests_;
    if (contentError_) return Content{std::nullopt, std::exchange(contentError_, std::nullopt)};
    return Content{ShareableContent{displays_}, std::nullopt};
}

ScreenCapture::Created FakeScreenCapture::createStream(uint32_t displayID, const StreamConfiguration& configuration,
                                                       std::shared_ptr<DispatchQueue> sampleQueue,
                                                       SampleHandler onSample, ErrorHandler onStoppedWithError) {
    std::lock_guard lock(mutex_);
    if (createError_) return Created{nullptr, std::exchange(createError_, std::nullopt)};
    auto stream = std::make_shared<FakeScreenCaptureStream>(
        displayID, configuration, std::move(sampleQueue), std::move(onSample), std::move(onStoppedWithError),
        std::exchange(startError_, std::nullopt), std::exchange(duringStart_, nullptr));
    streams_.push_back(stream);
    return Created{stream, std::nullopt};
}

}  // namespace df::fake

#include "platform/fake/compression/FakeVideoCompression.h"

namespace df::fake {

std::optional<size_t> FakeFormatDescription::parameterSetCount() const {
    if (failCount_) return std::nullopt;
    return sets_.size();
}

std::optional<Bytes> FakeFormatDescription::parameterSet(size_t index) const {
    if (index >= sets_.size() || failedSet_ == index) return std::nullopt;
    return sets_[index];
}

CompressedSample makeSample(Bytes data, std::optional<bool> notSync, std::vector<Bytes> parameterSets,
                            MediaTime presentationTime) {
    CompressedSample sample;
    if (notSync) sample.attachments = std::vector<SampleAttachments>{SampleAttachments{notSync}};
    if (!parameterSets.empty())
        sample.formatDescription = std::make_shared<FakeFormatDescription>(std::move(parameterSets));
    sample.data = std::move(data);
    sample.presentationTime = presentationTime;
    return sample;
}

FakeCompressionSession::FakeCompressionSession(
    CompressionSessionSettings settings, OutputHandler output,
    std::shared_ptr<const std::map<CompressionPropertyKey, CompressionStatus>> propertyResults)
    : settings_(settings), output_(std::move(output)), propertyResults_(std::move(propertyResults)) {}

CompressionStatus FakeCompressionSession::setProperty(const CompressionProperty& property) {
    std::lock_guard lock(mutex_);
    if (invalidated_) return FakeVideoCompression::invalidatedStatus;
    CompressionStatus result = compressionSuccess;
    if (auto it = propertyResults_->find(property.key); it != propertyResults_->end()) result = it->second;
    properties_.push_back(SetProperty{property, result});
    return result;
}

CompressionStatus FakeCompressionSession::prepareToEncodeFrames() {
    std::lock_guard lock(mutex_);
    if (invalidated_) return FakeVideoCompression::invalidatedStatus;
    ++prepareCount_;
    return compressionSuccess;
}

CompressionStatus FakeCompressionSession::encodeFrame(std::shared_ptr<const PixelBuffer> buffer,
                                                      MediaTime presentationTime, const FrameOptions& options) {
    std::lock_guard lock(mutex_);
    if (invalidated_) return FakeVideoCompression::invalidatedStatus;
    if (nextSubmitFailure_) {
        CompressionStatus status = *nextSubmitFailure_;
        nextSubmitFailure_.reset();
        return status;
    }
    frames_.push_back(Submitted{std::move(buffer), presentationTime, options});
    return compressionSuccess;
}

void FakeCompressionSession::invalidate() {
    std::lock_guard lock(mutex_);
    invalidated_ = true;
}

std::vector<FakeCompressionSession::SetProperty> FakeCompressionSession::properties() const {
    std::lock_guard lock(mutex_);
    return properties_;
}

std::vector<CompressionPropertyKey> FakeCompressionSession::propertyKeys() const {
    std::lock_guard lock(mutex_);
    std::vector<CompressionPropertyKey> keys;
    for (const auto& set : properties_) keys.push_back(set.property.key);
    return keys;
}

std::optional<CompressionProperty::Value> FakeCompressionSession::value(CompressionPropertyKey key) const {
    std::lock_guard lock(mutex_);
    for (auto it = properties_.rbegin(); it != properties_.rend(); ++it)
        if (it->property.key == key && it->result == compressionSuccess) return it->property.value;
    return std::nullopt;
}

std::vector<CompressionProperty::Value> FakeCompressionSession::values(CompressionPropertyKey key) const {
    std::lock_guard lock(mutex_);
    std::vector<CompressionProperty::Value> found;
    for (const auto& set : properties_)
        if (set.property.key == key) found.push_back(set.property.value);
    return found;
}

int FakeCompressionSession::prepareCount() const {
    std::lock_guard lock(mutex_);
    return prepareCount_;
}

bool FakeCompressionSession::isInvalidated() const {
    std::lock_guard lock(mutex_);
    return invalidated_;
}

std::vector<FakeCompressionSession::Submitted> FakeCompressionSession::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

void FakeCompressionSession::failNextSubmit(CompressionStatus status) {
    std::lock_guard lock(mutex_);
    nextSubmitFailure_ = status;
}

void FakeCompressionSession::deliver(CompressionStatus status, const CompressedSample* sample) {
    {
        std::lock_guard lock(mutex_);
        if (invalidated_) return;
    }
    if (output_) output_(status, sample);
}

VideoCompression::Created FakeVideoCompression::createSession(const CompressionSessionSettings& settings,
                                                              CompressionSession::OutputHandler output) {
    std::lock_guard lock(mutex_);
    creations_.push_back(settings);
    CompressionStatus status = compressionSuccess;
    if (!createResults_.empty()) {
        status = createResults_.front();
        createResults_.pop_front();
    }
    if (status != compressionSuccess) return Created{nullptr, status};
    auto session = std::make_shared<FakeCompressionSession>(
        settings, std::move(output),
        std::make_shared<const std::map<CompressionPropertyKey, CompressionStatus>>(propertyResults_));
    sessions_.push_back(session);
    return Created{session, compressionSuccess};
}

void FakeVideoCompression::scriptCreateResults(std::vector<CompressionStatus> statuses) {
    std::lock_guard lock(mutex_);
    createResults_.assign(statuses.begin(), statuses.end());
}

void FakeVideoCompression::setPropertyResult(CompressionPropertyKey key, CompressionStatus status) {
    std::lock_guard lock(mutex_);
    propertyResults_[key] = status;
}

std::vector<CompressionSessionSettings> FakeVideoCompression::creations() const {
    std::lock_guard lock(mutex_);
    return creations_;
}

std::vector<std::shared_ptr<FakeCompressionSession>> FakeVideoCompression::sessions() const {
    std::lock_guard lock(mutex_);
    return sessions_;
}

std::shared_ptr<FakeCompressionSession> FakeVideoCompression::lastSession() const {
    std::lock_guard lock(mutex_);
    return sessions_.empty() ? nullptr : sessions_.back();
}

}  // namespace df::fake

#include "platform/linux/compression/X265Compression.h"

#include "platform/linux/compression/FrameQpControl.h"
#include "platform/linux/yuv/BgraToYuv.h"

#include <x265.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace df {

namespace {

// Host statuses, negative as the host's own failures are.
constexpr CompressionStatus statusInvalidated = -12903;
constexpr CompressionStatus statusBadProperty = -12900;
constexpr CompressionStatus statusUnsupported = -12910;
constexpr CompressionStatus statusEncoderFailed = -12911;
constexpr CompressionStatus statusBadFrame = -12912;

constexpr int nalVps = 32;
constexpr int nalSps = 33;
constexpr int nalPps = 34;

class ParameterSets final : public HevcFormatDescription {
public:
    explicit ParameterSets(std::vector<Bytes> sets) : sets_(std::move(sets)) {}
    std::optional<size_t> parameterSetCount() const override { return sets_.size(); }
    std::optional<Bytes> parameterSet(size_t index) const override {
        if (index >= sets_.size()) return std::nullopt;
        return sets_[index];
    }

private:
    std::vector<Bytes> sets_;
};

struct X265Deleter {
    void operator()(x265_encoder* encoder) const { x265_encoder_close(encoder); }
    void operator()(x265_param* param) const { x265_param_free(param); }
};

// What the properties asked for; read by the encoder thread under the session's mutex.
struct Settings {
    bool main444 = false;
    int64_t keyFrameInterval = 0;        // frames, 0: none given
    double keyFrameIntervalSeconds = 0;  // 0: none given
    double frameRate = 30;
    int64_t bitRate = 2'000'000;
    int64_t limitBitRate = 0;  // from the data-rate limit; 0: none
    // Real time: a picture that a newer one already waits behind is not encoded, so a
    // capture faster than the encoder never builds up a queue (and a delay) of its own.
    bool realTime = false;
};

// Everything a session shares with its encoder thread; the thread holds it too, so the
// session may be released from inside its own output handler.
class SessionCore final : public std::enable_shared_from_this<SessionCore> {
public:
    using OutputHandler = CompressionSession::OutputHandler;

    SessionCore(const CompressionSessionSettings& spec, OutputHandler output)
        : width_(spec.width), height_(spec.height), output_(std::move(output)) {}

    CompressionStatus setProperty(const CompressionProperty& property) {
        std::lock_guard lock(mutex_);
        if (invalidated_) return statusInvalidated;
        const auto& v = property.value;
        auto integer = [&]() -> std::optional<int64_t> {
            if (auto p = std::get_if<int64_t>(&v)) return *p;
            return std::nullopt;
        };
        switch (property.key) {
            case CompressionPropertyKey::profileLevel: {
                auto name = std::get_if<std::string>(&v);
                if (!name) return statusBadProperty;
                bool main444 = *name == "HEVC_Main444_AutoLevel";
                if (!main444 && *name != "HEVC_Main_AutoLevel") return statusUnsupported;
                if (encoder_) return main444 == settings_.main444 ? compressionSuccess : statusUnsupported;
                if (main444 && !libraryHas444()) return statusUnsupported;
                settings_.main444 = main444;
                return compressionSuccess;
            }
            case CompressionPropertyKey::realTime: {
                auto on = std::get_if<bool>(&v);
                if (!on) return statusBadProperty;
                settings_.realTime = *on;
                return compressionSuccess;
            }
            case CompressionPropertyKey::prioritizeEncodingSpeedOverQuality:
                return std::holds_alternative<bool>(v) ? compressionSuccess : statusBadProperty;
            case CompressionPropertyKey::allowFrameReordering: {
                // Frames are never reordered (no B-frames); asking for reordering is allowed,
                // it just does not happen.
                return std::holds_alternative<bool>(v) ? compressionSuccess : statusBadProperty;
            }
            case CompressionPropertyKey::maxFrameDelayCount: {
                auto n = integer();
                return n && *n >= 0 ? compressionSuccess : statusBadProperty;
            }
            case CompressionPropertyKey::maxKeyFrameInterval: {
                auto n = integer();
                if (!n || *n < 0) return statusBadProperty;
                settings_.keyFrameInterval = *n;
                return compressionSuccess;
            }
            case CompressionPropertyKey::maxKeyFrameIntervalDuration: {
                auto s = std::get_if<double>(&v);
                if (!s || !(*s >= 0)) return statusBadProperty;
                settings_.keyFrameIntervalSeconds = *s;
                return compressionSuccess;
            }
            case CompressionPropertyKey::expectedFrameRate: {
                auto n = integer();
                if (!n || *n <= 0) return statusBadProperty;
                settings_.frameRate = static_cast<double>(*n);
                return compressionSuccess;
            }
            case CompressionPropertyKey::averageBitRate: {
                auto n = integer();
                if (!n || *n <= 0) return statusBadProperty;
                settings_.bitRate = *n;
                return compressionSuccess;
            }
            case CompressionPropertyKey::dataRateLimits: {
                auto limit = std::get_if<DataRateLimit>(&v);
                if (!limit || limit->bytes < 0 || !(limit->seconds >= 0)) return statusBadProperty;
                settings_.limitBitRate =
                    limit->bytes > 0 && limit->seconds > 0 ? std::llround(double(limit->bytes) * 8 / limit->seconds) : 0;
                return compressionSuccess;
            }
        }
        return statusBadProperty;
    }

    CompressionStatus prepareToEncodeFrames() {
        std::lock_guard lock(mutex_);
        if (invalidated_) return statusInvalidated;
        return openLocked();
    }

    CompressionStatus encodeFrame(std::shared_ptr<const PixelBuffer> buffer, MediaTime presentationTime,
                                  const FrameOptions& options) {
        if (!buffer) return statusBadFrame;
        std::lock_guard lock(mutex_);
        if (invalidated_) return statusInvalidated;
        if (CompressionStatus status = openLocked(); status != compressionSuccess) return status;
        if (!thread_.joinable()) thread_ = std::thread([self = shared_from_this()] { self->run(); });
        jobs_.push_back(Job{std::move(buffer), presentationTime, options.forceKeyFrame.value_or(false)});
        wake_.notify_one();
        return compressionSuccess;
    }

    void stopThread() {
        std::thread thread;
        {
            std::lock_guard lock(mutex_);
            invalidated_ = true;
            jobs_.clear();
            thread = std::move(thread_);
            wake_.notify_all();
        }
        if (!thread.joinable()) return;
        // The output handler may end the session from the encoder thread itself.
        if (thread.get_id() == std::this_thread::get_id()) thread.detach();
        else thread.join();
    }

private:
    struct Job {
        std::shared_ptr<const PixelBuffer> buffer;
        MediaTime time;
        bool forceKey = false;
    };

    static bool libraryHas444() {
        const x265_api* api = x265_api_get(8);
        if (!api) return false;
        std::unique_ptr<x265_param, X265Deleter> param(api->param_alloc());
        if (!param) return false;
        api->param_default(param.get());
        return api->param_apply_profile(param.get(), "main444-8") == 0;
    }

    CompressionStatus openLocked() {
        if (encoder_) return compressionSuccess;
        if (width_ <= 0 || height_ <= 0) return statusBadFrame;
        std::unique_ptr<x265_param, X265Deleter> param(x265_param_alloc());
        if (!param || x265_param_default_preset(param.get(), "ultrafast", "zerolatency") < 0) return statusEncoderFailed;
        param->sourceWidth = width_;
        param->sourceHeight = height_;
        param->internalCsp = settings_.main444 ? X265_CSP_I444 : X265_CSP_I420;
        param->internalBitDepth = 8;
        param->fpsNum = static_cast<uint32_t>(std::max(1L, std::lround(settings_.frameRate)));
        param->fpsDenom = 1;
        param->bframes = 0;
        param->bOpenGOP = 0;
        // Keyframes are placed here, so the interval can change while encoding.
        param->keyframeMax = -1;
        param->keyframeMin = 0;
        param->scenecutThreshold = 0;
        param->bRepeatHeaders = 0;
        param->bAnnexB = 0;  // 4-byte big-endian length in front of each NAL unit
        param->bEmitInfoSEI = 0;
        param->logLevel = X265_LOG_ERROR;
        param->frameNumThreads = 1;
        param->rc.rateControlMode = X265_RC_CQP;
        param->rc.qp = 30;
        // Full-range BT.709, as the capture converts.
        param->vui.bEnableVideoSignalTypePresentFlag = 1;
        param->vui.videoFormat = 5;
        param->vui.bEnableVideoFullRangeFlag = 1;
        param->vui.bEnableColorDescriptionPresentFlag = 1;
        param->vui.colorPrimaries = 1;
        param->vui.transferCharacteristics = 1;
        param->vui.matrixCoeffs = 1;
        if (x265_param_apply_profile(param.get(), settings_.main444 ? "main444-8" : "main") < 0) return statusUnsupported;
        x265_encoder* encoder = x265_encoder_open(param.get());
        if (!encoder) return statusUnsupported;
        std::unique_ptr<x265_encoder, X265Deleter> owned(encoder);

        x265_nal* nals = nullptr;
        uint32_t count = 0;
        if (x265_encoder_headers(encoder, &nals, &count) < 0) return statusEncoderFailed;
        Bytes vps, sps, pps;
        for (uint32_t i = 0; i < count; ++i) {
            const x265_nal& nal = nals[i];
            if (nal.sizeBytes <= 4) continue;
            Bytes body(nal.payload + 4, nal.payload + nal.sizeBytes);
            if (nal.type == nalVps) vps = std::move(body);
            else if (nal.type == nalSps) sps = std::move(body);
            else if (nal.type == nalPps) pps = std::move(body);
        }
        if (vps.empty() || sps.empty() || pps.empty()) return statusEncoderFailed;
        format_ = std::make_shared<ParameterSets>(std::vector<Bytes>{std::move(vps), std::move(sps), std::move(pps)});
        encoder_ = std::move(owned);
        return compressionSuccess;
    }

    // The encoder thread: one job at a time, its output delivered before the next is taken.
    void run() {
        x265_picture* pictureIn = x265_picture_alloc();
        x265_picture pictureOut;
        std::unique_ptr<PixelBuffer> converted;
        int64_t sinceKeyframe = -1;  // -1: no keyframe yet
        for (;;) {
            Job job;
            Settings settings;
            bool skip = false;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return invalidated_ || !jobs_.empty(); });
                if (invalidated_) break;
                job = std::move(jobs_.front());
                jobs_.pop_front();
                settings = settings_;
                skip = settings.realTime && !jobs_.empty();
                // The newer picture inherits a keyframe asked for with the skipped one.
                if (skip) jobs_.front().forceKey = jobs_.front().forceKey || job.forceKey;
            }
            if (skip) {
                output_(compressionSuccess, nullptr);  // taken, and dropped
                continue;
            }
            CompressionStatus status = compressionSuccess;
            std::optional<CompressedSample> sample;
            PixelFormat expected = settings.main444 ? PixelFormat::i444 : PixelFormat::i420;
            const PixelBuffer* planar = job.buffer.get();
            if (planar->format == PixelFormat::bgra && planar->width == width_ && planar->height == height_ &&
                planar->planes.size() == 1) {
                // The capture hands over BGRA when it keeps full chroma; the planes are made
                // here, into a picture the thread keeps for the next frame.
                if (!converted || converted->format != expected)
                    converted = std::make_unique<PixelBuffer>(PixelBuffer::make(expected, width_, height_));
                bgraToYuv(planar->planes[0].bytes.data(), planar->planes[0].stride, width_, height_, *converted);
                planar = converted.get();
            }
            const PixelBuffer& buffer = *planar;
            if (buffer.format != expected || buffer.width != width_ || buffer.height != height_ ||
                buffer.planes.size() != 3) {
                status = statusBadFrame;
            } else {
                int64_t interval = keyInterval(settings);
                bool key = job.forceKey || sinceKeyframe < 0 || (interval > 0 && sinceKeyframe + 1 >= interval);
                // The QP control keeps the average; a stricter data-rate limit lowers it.
                int64_t target = settings.limitBitRate > 0 ? std::min(settings.bitRate, settings.limitBitRate) : settings.bitRate;
                control_.setTarget(target, settings.frameRate);
                int qp = control_.nextQp(job.time.seconds(), key);

                x265_picture_init(encoderParam(), pictureIn);
                pictureIn->colorSpace = settings.main444 ? X265_CSP_I444 : X265_CSP_I420;
                pictureIn->bitDepth = 8;
                for (int plane = 0; plane < 3; ++plane) {
                    pictureIn->planes[plane] = const_cast<uint8_t*>(buffer.planes[plane].bytes.data());
                    pictureIn->stride[plane] = static_cast<int>(buffer.planes[plane].stride);
                }
                pictureIn->pts = job.time.value;
                pictureIn->sliceType = key ? X265_TYPE_IDR : X265_TYPE_P;
                pictureIn->forceqp = qp + 1;  // 0 means "not forced"

                x265_nal* nals = nullptr;
                uint32_t count = 0;
                int produced = x265_encoder_encode(encoder_.get(), &nals, &count, pictureIn, &pictureOut);
                if (produced < 0) {
                    status = statusEncoderFailed;
                } else if (produced > 0) {
                    Bytes data;
                    for (uint32_t i = 0; i < count; ++i) {
                        const x265_nal& nal = nals[i];
                        if (nal.type == nalVps || nal.type == nalSps || nal.type == nalPps) continue;
                        data.insert(data.end(), nal.payload, nal.payload + nal.sizeBytes);
                    }
                    bool sync = pictureOut.sliceType == X265_TYPE_IDR || pictureOut.sliceType == X265_TYPE_I;
                    control_.encoded(static_cast<int64_t>(data.size()), sync);
                    sinceKeyframe = sync ? 0 : sinceKeyframe + 1;
                    sample.emplace();
                    sample->attachments = std::vector<SampleAttachments>{SampleAttachments{.notSync = !sync}};
                    sample->formatDescription = format_;
                    sample->data = std::move(data);
                    sample->presentationTime = MediaTime{pictureOut.pts, job.time.timescale};
                }
            }
            {
                std::lock_guard lock(mutex_);
                if (invalidated_) break;
            }
            output_(status, status == compressionSuccess && sample ? &*sample : nullptr);
        }
        x265_picture_free(pictureIn);
    }

    x265_param* encoderParam() {
        if (!param_) {
            param_.reset(x265_param_alloc());
            x265_encoder_parameters(encoder_.get(), param_.get());
        }
        return param_.get();
    }

    static int64_t keyInterval(const Settings& settings) {
        int64_t frames = settings.keyFrameInterval;
        if (settings.keyFrameIntervalSeconds > 0) {
            auto fromSeconds = static_cast<int64_t>(std::lround(settings.keyFrameIntervalSeconds * settings.frameRate));
            fromSeconds = std::max<int64_t>(fromSeconds, 1);
            frames = frames > 0 ? std::min(frames, fromSeconds) : fromSeconds;
        }
        return frames;
    }

    const int32_t width_;
    const int32_t height_;
    const OutputHandler output_;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool invalidated_ = false;
    Settings settings_;
    std::deque<Job> jobs_;
    std::thread thread_;
    std::unique_ptr<x265_encoder, X265Deleter> encoder_;
    std::shared_ptr<const HevcFormatDescription> format_;

    // Encoder thread only.
    std::unique_ptr<x265_param, X265Deleter> param_;
    FrameQpControl control_;
};

class X265Session final : public CompressionSession {
public:
    X265Session(const CompressionSessionSettings& spec, OutputHandler output)
        : core_(std::make_shared<SessionCore>(spec, std::move(output))) {}
    ~X265Session() override { core_->stopThread(); }

    CompressionStatus setProperty(const CompressionProperty& property) override { return core_->setProperty(property); }
    CompressionStatus prepareToEncodeFrames() override { return core_->prepareToEncodeFrames(); }
    CompressionStatus encodeFrame(std::shared_ptr<const PixelBuffer> buffer, MediaTime presentationTime,
                                  const FrameOptions& options) override {
        return core_->encodeFrame(std::move(buffer), presentationTime, options);
    }
    void invalidate() override { core_->stopThread(); }

private:
    std::shared_ptr<SessionCore> core_;
};

class X265Compression final : public VideoCompression {
public:
    Created createSession(const CompressionSessionSettings& settings,
                          CompressionSession::OutputHandler output) override {
        if (settings.width <= 0 || settings.height <= 0 || !output) return {nullptr, statusBadProperty};
        return {std::make_shared<X265Session>(settings, std::move(output)), compressionSuccess};
    }
};

}  // namespace

std::unique_ptr<VideoCompression> createX265Compression() { return std::make_unique<X265Compression>(); }

}  // namespace df

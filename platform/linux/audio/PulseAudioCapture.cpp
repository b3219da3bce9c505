// System audio through libpulse: a record stream on the monitor source of the default sink,
// run by a threaded main loop of its own. Everything that talks to the server (connecting,
// following the default sink, reading) happens on that loop's thread; the owner's calls only
// start and stop the loop.
#include "platform/linux/audio/LinuxAudio.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>

namespace df::linux_audio {

namespace {

/// What a posted buffer needs to reach the owner, kept alive by the buffers in flight.
struct Delivery {
    std::atomic<bool> stopped{false};
    AudioCapture::SampleHandler onSample;
};

class PulseAudioStream final : public AudioCaptureStream {
public:
    PulseAudioStream(std::optional<std::string> server, const AudioCaptureConfiguration& configuration,
                     std::shared_ptr<DispatchQueue> queue, AudioCapture::SampleHandler onSample,
                     AudioCapture::UnavailableHandler onUnavailable)
        : server_(std::move(server)),
          spec_{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(std::lround(configuration.sampleRate)),
                static_cast<uint8_t>(configuration.channels)},
          format_{static_cast<double>(spec_.rate), spec_.channels, PcmFormat::SampleType::float32},
          queue_(std::move(queue)),
          delivery_(std::make_shared<Delivery>()),
          onUnavailable_(std::move(onUnavailable)) {
        delivery_->onSample = std::move(onSample);
    }

    ~PulseAudioStream() override { stop(); }

    void start() override {
        std::lock_guard lock(mutex_);
        if (started_ || stopped_) return;
        started_ = true;
        if (!pa_sample_spec_valid(&spec_) || !(mainloop_ = pa_threaded_mainloop_new())) {
            // Reported from a thread of our own, as a failure to connect would be.
            failEarly("cannot set up the PulseAudio client");
            return;
        }
        pa_threaded_mainloop_set_name(mainloop_, "duskferry.pulse");
        if (pa_threaded_mainloop_start(mainloop_) < 0) {
            pa_threaded_mainloop_free(mainloop_);
            mainloop_ = nullptr;
            failEarly("cannot start the PulseAudio client thread");
            return;
        }
        pa_threaded_mainloop_lock(mainloop_);
        pa_mainloop_api_once(pa_threaded_mainloop_get_api(mainloop_), &PulseAudioStream::connectOnLoop, this);
        pa_threaded_mainloop_unlock(mainloop_);
    }

    void stop() override {
        {
            std::lock_guard lock(mutex_);
            if (stopped_) return;
            stopped_ = true;
        }
        delivery_->stopped = true;
        if (earlyFailure_.joinable()) earlyFailure_.join();
        if (!mainloop_) return;
        pa_threaded_mainloop_lock(mainloop_);
        closeRecordStream();
        if (context_) {
            // Disconnecting is no loss of the server: nothing is reported for it.
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_set_subscribe_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
            context_ = nullptr;
        }
        pa_threaded_mainloop_unlock(mainloop_);
        pa_threaded_mainloop_stop(mainloop_);
        pa_threaded_mainloop_free(mainloop_);
        mainloop_ = nullptr;
    }

private:
    void failEarly(std::string message) {
        earlyFailure_ = std::thread([this, message = std::move(message)] { reportUnavailable(message); });
    }

    // ---- Main-loop thread from here on.

    void reportUnavailable(const std::string& message) {
        if (reported_ || delivery_->stopped) return;
        reported_ = true;
        if (onUnavailable_) onUnavailable_(AudioCaptureError{message});
    }

    static void connectOnLoop(pa_mainloop_api*, void* self) { static_cast<PulseAudioStream*>(self)->connect(); }

    void connect() {
        context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), "DuskFerry");
        if (!context_) return reportUnavailable("cannot create a PulseAudio context");
        pa_context_set_state_callback(context_, &PulseAudioStream::contextStateChanged, this);
        // No autospawn: a computer without a sound server streams its screen without sound.
        if (pa_context_connect(context_, server_ ? server_->c_str() : nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            reportUnavailable(std::string("no sound server: ") + pa_strerror(pa_context_errno(context_)));
    }

    static void contextStateChanged(pa_context* context, void* userdata) {
        auto* self = static_cast<PulseAudioStream*>(userdata);
        switch (pa_context_get_state(context)) {
            case PA_CONTEXT_READY:
                pa_context_set_subscribe_callback(context, &PulseAudioStream::serverEvent, self);
                pa_operation_unref(pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr));
                self->lookUpDefaultSink();
                break;
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED:
                self->closeRecordStream();
                self->reportUnavailable(std::string(self->everReady_ ? "the sound server went away: "
                                                                     : "no sound server: ") +
                                        pa_strerror(pa_context_errno(context)));
                break;
            default:
                break;
        }
        if (pa_context_get_state(context) == PA_CONTEXT_READY) self->everReady_ = true;
    }

    /// The default sink changes with a server event; anything else of the server is ignored.
    static void serverEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* userdata) {
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER)
            static_cast<PulseAudioStream*>(userdata)->lookUpDefaultSink();
    }

    void lookUpDefaultSink() {
        if (auto* op = pa_context_get_server_info(context_, &PulseAudioStream::serverInfo, this)) pa_operation_unref(op);
    }

    static void serverInfo(pa_context* context, const pa_server_info* info, void* userdata) {
        auto* self = static_cast<PulseAudioStream*>(userdata);
        if (!info || !info->default_sink_name || self->sink_ == info->default_sink_name) return;
        self->sink_ = info->default_sink_name;
        if (auto* op = pa_context_get_sink_info_by_name(context, info->default_sink_name, &PulseAudioStream::sinkInfo,
                                                        self))
            pa_operation_unref(op);
    }

    static void sinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* self = static_cast<PulseAudioStream*>(userdata);
        if (eol || !info || !info->monitor_source_name) return;
        // An answer for a sink that is no longer the default comes too late.
        if (self->sink_ != info->name) return;
        self->record(info->monitor_source_name);
    }

    void record(const char* source) {
        closeRecordStream();
        nextPts_.reset();
        stream_ = pa_stream_new(context_, "system audio", &spec_, nullptr);
        if (!stream_) return;
        pa_stream_set_read_callback(stream_, &PulseAudioStream::readable, this);
        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
        // 10 ms fragments: the encoder gets its input soon after it was played.
        attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(10000, &spec_));
        const auto flags = PA_STREAM_ADJUST_LATENCY;
        if (pa_stream_connect_record(stream_, source, &attr, flags) < 0) closeRecordStream();
    }

    void closeRecordStream() {
        if (!stream_) return;
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }

    static void readable(pa_stream* stream, size_t, void* userdata) {
        auto* self = static_cast<PulseAudioStream*>(userdata);
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
            if (data)
                self->deliver(pa_stream_readable_size(stream), static_cast<const uint8_t*>(data), bytes);
            else
                self->nextPts_.reset();  // a hole: the times start again after it
            pa_stream_drop(stream);
        }
    }

    void deliver(size_t waiting, const uint8_t* data, size_t bytes) {
        const uint32_t frameBytes = format_.bytesPerFrame();
        AudioSample sample;
        sample.format = format_;
        sample.frames = static_cast<uint32_t>(bytes / frameBytes);
        if (sample.frames == 0) return;
        sample.data.assign(data, data + size_t{sample.frames} * frameBytes);
        // The first frame at the read position was recorded about as long ago as what waits
        // in our buffer from there on lasts (`waiting`, this fragment included), on the clock
        // the screen frames carry. The server hands fragments over in bursts, late ones
        // followed by quick ones, so the times follow the sample count and lean gently towards
        // that estimate, never so far back that they would run backwards. An estimate well
        // ahead means audio was lost (a stall, a new source): the times start again there.
        const double duration = sample.frames / format_.sampleRate;
        const double estimate =
            Clock::system().uptime() - static_cast<double>(waiting) / format_.sampleRate / frameBytes;
        if (!nextPts_ || estimate - *nextPts_ > kMaxDrift)
            nextPts_ = estimate;
        else
            *nextPts_ += std::max((estimate - *nextPts_) * kDriftCorrection, -duration / 2);
        const double pts = *nextPts_;
        *nextPts_ += duration;
        sample.presentationTime = MediaTime{static_cast<int64_t>(std::llround(pts * 1e9)), 1000000000};
        queue_->post([delivery = delivery_, sample = std::move(sample)] {
            if (!delivery->stopped && delivery->onSample) delivery->onSample(sample);
        });
    }

    const std::optional<std::string> server_;
    const pa_sample_spec spec_;
    const PcmFormat format_;
    const std::shared_ptr<DispatchQueue> queue_;
    const std::shared_ptr<Delivery> delivery_;
    const AudioCapture::UnavailableHandler onUnavailable_;

    std::mutex mutex_;
    bool started_ = false;
    bool stopped_ = false;
    std::thread earlyFailure_;
    pa_threaded_mainloop* mainloop_ = nullptr;

    // Main-loop thread only (or under its lock).
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    std::string sink_;
    bool everReady_ = false;
    /// Presentation time of the next frame when it follows the last one without a break.
    std::optional<double> nextPts_;
    static constexpr double kMaxDrift = 0.2;
    static constexpr double kDriftCorrection = 0.02;
    bool reported_ = false;
};

class PulseAudioCapture final : public AudioCapture {
public:
    explicit PulseAudioCapture(std::optional<std::string> server) : server_(std::move(server)) {}

    std::shared_ptr<AudioCaptureStream> createStream(const AudioCaptureConfiguration& configuration,
                                                     std::shared_ptr<DispatchQueue> sampleQueue,
                                                     SampleHandler onSample,
                                                     UnavailableHandler onUnavailable) override {
        return std::make_shared<PulseAudioStream>(server_, configuration, std::move(sampleQueue), std::move(onSample),
                                                  std::move(onUnavailable));
    }

private:
    const std::optional<std::string> server_;
};

}  // namespace

std::shared_ptr<AudioCapture> makePulseAudioCapture(std::optional<std::string> server) {
    return std::make_shared<PulseAudioCapture>(std::move(server));
}

}  // namespace df::linux_audio

// Figures of the libx265 compression service on synthetic moving content:
//  - encode time (submit to output) p50 and p95 at 720p, 1080p and 1440p;
//  - bit rate of each 2-second window while the target goes 8 -> 2 -> 8 Mb/s at 1080p,
//    and whether any keyframe was needed.
// Frames are submitted one at a time and each output is awaited, so the time is the
// encoder's own, not queueing.

#include "platform/linux/compression/X265Compression.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace df;
using Clock = std::chrono::steady_clock;

constexpr int fps = 30;

// A textured canvas twice the picture's width, scrolled by a few pixels per frame, with a
// block of fresh noise so the content asks for more than the highest target.
class Content {
public:
    Content(int width, int height) : width_(width), height_(height), canvas_(size_t(width) * 2 * height) {
        std::mt19937 random(3);
        std::uniform_int_distribution<int> byte(0, 255);
        for (int row = 0; row < height; ++row)
            for (int col = 0; col < width * 2; ++col) {
                int cell = (row / 16 + col / 12) % 5;
                canvas_[size_t(row) * width * 2 + col] =
                    static_cast<uint8_t>(cell == 0 ? byte(random) : 40 + cell * 40 + (col * 3 + row) % 17);
            }
    }

    std::shared_ptr<PixelBuffer> frame(int index) {
        auto buffer = std::make_shared<PixelBuffer>(PixelBuffer::make(PixelFormat::i420, width_, height_));
        int shift = (index * 4) % width_;
        auto& y = buffer->planes[0];
        for (int row = 0; row < height_; ++row)
            std::copy_n(&canvas_[size_t(row) * width_ * 2 + shift], width_, &y.bytes[row * y.stride]);
        std::uniform_int_distribution<int> byte(0, 255);
        for (int row = 0; row < height_ / 4; ++row)
            for (int col = 0; col < width_ / 4; ++col) y.bytes[row * y.stride + col] = static_cast<uint8_t>(byte(random_));
        for (int plane = 1; plane < 3; ++plane)
            std::fill(buffer->planes[plane].bytes.begin(), buffer->planes[plane].bytes.end(), uint8_t(100 + plane * 30));
        return buffer;
    }

private:
    int width_, height_;
    std::vector<uint8_t> canvas_;
    std::mt19937 random_{4};
};

struct Result {
    size_t bytes = 0;
    bool keyframe = false;
};

class Runner {
public:
    Runner(int width, int height, int64_t bitRate) {
        service_ = createX265Compression();
        auto created = service_->createSession(CompressionSessionSettings{.width = width, .height = height},
                                               [this](CompressionStatus, const CompressedSample* sample) {
                                                   std::lock_guard lock(mutex_);
                                                   Result result;
                                                   if (sample && sample->data) result.bytes = sample->data->size();
                                                   if (sample && sample->attachments && !sample->attachments->empty())
                                                       result.keyframe = !sample->attachments->front().notSync.value_or(false);
                                                   results_.push_back(result);
                                                   done_.notify_all();
                                               });
        session_ = created.session;
        session_->setProperty({CompressionPropertyKey::profileLevel, std::string("HEVC_Main_AutoLevel")});
        session_->setProperty({CompressionPropertyKey::realTime, true});
        session_->setProperty({CompressionPropertyKey::allowFrameReordering, false});
        session_->setProperty({CompressionPropertyKey::maxKeyFrameIntervalDuration, 60.0});
        session_->setProperty({CompressionPropertyKey::expectedFrameRate, int64_t{fps}});
        session_->setProperty({CompressionPropertyKey::averageBitRate, bitRate});
        session_->prepareToEncodeFrames();
    }
    ~Runner() { session_->invalidate(); }

    // Encodes one frame and waits for it; returns milliseconds from submit to output.
    double encode(std::shared_ptr<PixelBuffer> buffer, int index) {
        auto start = Clock::now();
        std::unique_lock lock(mutex_);
        size_t before = results_.size();
        lock.unlock();
        session_->encodeFrame(std::move(buffer), MediaTime{index, fps}, FrameOptions{});
        lock.lock();
        done_.wait(lock, [&] { return results_.size() > before; });
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
    void setBitRate(int64_t bitRate) { session_->setProperty({CompressionPropertyKey::averageBitRate, bitRate}); }
    std::vector<Result> results() {
        std::lock_guard lock(mutex_);
        return results_;
    }

private:
    std::unique_ptr<VideoCompression> service_;
    std::shared_ptr<CompressionSession> session_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::vector<Result> results_;
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

}  // namespace

int main() {
    std::string load;
    std::getline(std::ifstream("/proc/loadavg"), load);
    std::printf("load average at start: %s\n", load.c_str());

    struct Size { const char* name; int width, height; };
    for (Size size : {Size{"720p", 1280, 720}, Size{"1080p", 1920, 1080}, Size{"1440p", 2560, 1440}}) {
        Content content(size.width, size.height);
        Runner runner(size.width, size.height, 15'000'000);
        std::vector<double> times;
        for (int i = 0; i < 90; ++i) {
            double ms = runner.encode(content.frame(i), i);
            if (i >= 5) times.push_back(ms);  // the first frames include the encoder's start
        }
        std::printf("encode %-5s p50 %6.1f ms  p95 %6.1f ms  (%zu frames)\n", size.name, percentile(times, 0.5),
                    percentile(times, 0.95), times.size());
    }

    Content content(1920, 1080);
    Runner runner(1920, 1080, 8'000'000);
    const int64_t targets[] = {8'000'000, 2'000'000, 8'000'000};
    int index = 0;
    for (int phase = 0; phase < 3; ++phase) {
        runner.setBitRate(targets[phase]);
        for (int i = 0; i < 4 * fps; ++i, ++index) runner.encode(content.frame(index), index);
    }
    auto results = runner.results();
    std::printf("1080p bit rate per 2 s window (target 8 Mb/s, 2 Mb/s from 4 s, 8 Mb/s from 8 s):\n");
    for (size_t start = 0; start + 2 * fps <= results.size(); start += 2 * fps) {
        double bits = 0;
        int keyframes = 0;
        for (size_t i = start; i < start + 2 * fps; ++i) {
            bits += double(results[i].bytes) * 8;
            keyframes += results[i].keyframe ? 1 : 0;
        }
        double target = double(targets[start / (4 * fps)]);
        std::printf("  %4.1f-%4.1f s  %6.2f Mb/s  target %4.1f  (%+5.1f %%)  keyframes %d\n", double(start) / fps,
                    double(start) / fps + 2, bits / 2e6, target / 1e6, (bits / 2 - target) / target * 100, keyframes);
    }
    std::getline(std::ifstream("/proc/loadavg"), load);
    std::printf("load average at end: %s\n", load.c_str());
    return 0;
}

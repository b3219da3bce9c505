#include "platform/VideoCompression.h"

namespace df {

PixelBuffer PixelBuffer::make(PixelFormat format, int32_t width, int32_t height) {
    PixelBuffer buffer;
    buffer.format = format;
    buffer.width = width;
    buffer.height = height;
    size_t w = width > 0 ? static_cast<size_t>(width) : 0;
    size_t h = height > 0 ? static_cast<size_t>(height) : 0;
    auto addPlane = [&buffer](size_t stride, size_t rows) {
        buffer.planes.push_back(Plane{Bytes(stride * rows), stride});
    };
    switch (format) {
        case PixelFormat::i420:
            addPlane(w, h);
            addPlane((w + 1) / 2, (h + 1) / 2);
            addPlane((w + 1) / 2, (h + 1) / 2);
            break;
        case PixelFormat::i444:
            for (int plane = 0; plane < 3; ++plane) addPlane(w, h);
            break;
        case PixelFormat::bgra:
            addPlane(w * 4, h);
            break;
    }
    return buffer;
}

const char* toString(CompressionPropertyKey key) {
    switch (key) {
        case CompressionPropertyKey::profileLevel: return "profileLevel";
        case CompressionPropertyKey::realTime: return "realTime";
        case CompressionPropertyKey::allowFrameReordering: return "allowFrameReordering";
        case CompressionPropertyKey::maxFrameDelayCount: return "maxFrameDelayCount";
        case CompressionPropertyKey::maxKeyFrameInterval: return "maxKeyFrameInterval";
        case CompressionPropertyKey::maxKeyFrameIntervalDuration: return "maxKeyFrameIntervalDuration";
        case CompressionPropertyKey::expectedFrameRate: return "expectedFrameRate";
        case CompressionPropertyKey::averageBitRate: return "averageBitRate";
        case CompressionPropertyKey::prioritizeEncodingSpeedOverQuality: return "prioritizeEncodingSpeedOverQuality";
        case CompressionPropertyKey::dataRateLimits: return "dataRateLimits";
    }
    return "unknown";
}

}  // namespace df

#include "platform/linux/yuv/BgraToYuv.h"

#include <algorithm>

namespace df {
namespace {

// Y = 0.2126 R + 0.7152 G + 0.0722 B, Cb = (B - Y) / 1.8556, Cr = (R - Y) / 1.5748, each
// scaled by 2^16 (the chroma rows sum to 0, the luma row to 2^16).
constexpr int kYr = 13933, kYg = 46871, kYb = 4732;
constexpr int kCbR = -7508, kCbG = -25260, kCbB = 32768;
constexpr int kCrR = 32768, kCrG = -29763, kCrB = -3005;

inline uint8_t clamp8(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

void lumaRows(const uint8_t* src, size_t stride, int width, int firstRow, int endRow, PixelBuffer& out) {
    uint8_t* yPlane = out.planes[0].bytes.data();
    const size_t yStride = out.planes[0].stride;
    for (int row = firstRow; row < endRow; ++row) {
        const uint8_t* p = src + static_cast<size_t>(row) * stride;
        uint8_t* y = yPlane + static_cast<size_t>(row) * yStride;
        // Non-negative coefficients: no clamp needed, and the loop vectorises.
        for (int col = 0; col < width; ++col, p += 4)
            y[col] = static_cast<uint8_t>((kYr * p[2] + kYg * p[1] + kYb * p[0] + 32768) >> 16);
    }
}

void chroma444Rows(const uint8_t* src, size_t stride, int width, int firstRow, int endRow, PixelBuffer& out) {
    for (int row = firstRow; row < endRow; ++row) {
        const uint8_t* p = src + static_cast<size_t>(row) * stride;
        uint8_t* cb = out.planes[1].bytes.data() + static_cast<size_t>(row) * out.planes[1].stride;
        uint8_t* cr = out.planes[2].bytes.data() + static_cast<size_t>(row) * out.planes[2].stride;
        for (int col = 0; col < width; ++col, p += 4) {
            const int b = p[0], g = p[1], r = p[2];
            cb[col] = clamp8(128 + ((kCbR * r + kCbG * g + kCbB * b + 32768) >> 16));
            cr[col] = clamp8(128 + ((kCrR * r + kCrG * g + kCrB * b + 32768) >> 16));
        }
    }
}

void chroma420Rows(const uint8_t* src, size_t stride, int width, int height, int firstRow, int endRow,
                   PixelBuffer& out) {
    uint8_t* uPlane = out.planes[1].bytes.data();
    uint8_t* vPlane = out.planes[2].bytes.data();
    const size_t cStride = out.planes[1].stride;
    for (int row = firstRow & ~1; row < endRow; row += 2) {
        const uint8_t* top = src + static_cast<size_t>(row) * stride;
        const uint8_t* bottom = src + static_cast<size_t>(std::min(row + 1, height - 1)) * stride;
        uint8_t* u = uPlane + static_cast<size_t>(row / 2) * cStride;
        uint8_t* v = vPlane + static_cast<size_t>(row / 2) * cStride;
        for (int col = 0; col < width; col += 2) {
            const size_t a = static_cast<size_t>(col) * 4;
            const size_t c = static_cast<size_t>(std::min(col + 1, width - 1)) * 4;
            // Sums of the four samples; the coefficients then carry two more bits of scale.
            const int b = top[a] + top[c] + bottom[a] + bottom[c];
            const int g = top[a + 1] + top[c + 1] + bottom[a + 1] + bottom[c + 1];
            const int r = top[a + 2] + top[c + 2] + bottom[a + 2] + bottom[c + 2];
            u[col / 2] = clamp8(128 + ((kCbR * r + kCbG * g + kCbB * b + 131072) >> 18));
            v[col / 2] = clamp8(128 + ((kCrR * r + kCrG * g + kCrB * b + 131072) >> 18));
        }
    }
}

}  // namespace

void bgraToYuv(const uint8_t* bgra, size_t stride, int width, int height, PixelBuffer& out, int firstRow, int endRow) {
    if (endRow < 0 || endRow > height) endRow = height;
    firstRow = std::max(firstRow, 0);
    if (firstRow >= endRow || width <= 0 || out.planes.size() != 3) return;
    lumaRows(bgra, stride, width, firstRow, endRow, out);
    if (out.format == PixelFormat::i444)
        chroma444Rows(bgra, stride, width, firstRow, endRow, out);
    else
        chroma420Rows(bgra, stride, width, height, firstRow, endRow, out);
}

}  // namespace df

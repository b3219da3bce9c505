#pragma once
// BGRA (blue first, 4 bytes per pixel, the padding byte ignored) to three-plane full-range
// BT.709 YCbCr, the colours the video streams declare. libyuv's full-range conversions use
// the BT.601 matrix, so the matrix is applied here, in 16-bit fixed point.

#include "platform/VideoCompression.h"

#include <cstddef>
#include <cstdint>

namespace df {

/// Rows [firstRow, endRow) of a `width` × `height` BGRA picture into `out` (PixelFormat::i420
/// or PixelFormat::i444, at least that size). For i420 both rows must be even (or endRow the
/// height): chroma is the mean of each 2×2 block.
void bgraToYuv(const uint8_t* bgra, size_t stride, int width, int height, PixelBuffer& out, int firstRow = 0,
               int endRow = -1);

}  // namespace df

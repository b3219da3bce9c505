#pragma once
// The video-compression service on libx265: software HEVC at the ultrafast preset with zero
// latency and no B-frames, one encoder thread per session delivering outputs in order, and a
// frame-level QP control (FrameQpControl) so a new average bit rate takes effect at once.
// A session takes planar pictures of its own chroma format (i420 for Main, i444 for Main
// 4:4:4) or BGRA, which it converts to that format on its encoder thread.

#include "platform/VideoCompression.h"

#include <memory>

namespace df {

/// Built by the programs' main and by integration tests.
std::unique_ptr<VideoCompression> createX265Compression();

}  // namespace df

#pragma once
// Decodes the rebuilt Annex B stream with libavcodec's HEVC decoder, so that the client
// checks for real that what the agent sends is a decodable picture, and keeps the latest
// picture for a PNG snapshot. Single-threaded: used on the client's session queue only.

#include "protocol/Bytes.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace df::phone {

/// A decoded picture converted to 8-bit RGB, rows top to bottom, no padding.
struct RgbImage {
    int width = 0;
    int height = 0;
    Bytes pixels;  ///< width * height * 3
};

class HevcDecoder {
public:
    /// Throws std::runtime_error when libavcodec has no HEVC decoder.
    HevcDecoder();
    ~HevcDecoder();
    HevcDecoder(const HevcDecoder&) = delete;
    HevcDecoder& operator=(const HevcDecoder&) = delete;

    /// Feeds one access unit in Annex B form; returns how many pictures came out (the
    /// decoder runs without delay, so normally one). Negative on a decoding error.
    int decode(std::span<const uint8_t> annexB);
    /// Feeds a whole Annex B stream (a .hevc file), cut into access units by libavcodec's
    /// HEVC parser, and drains the decoder; returns how many pictures came out, negative
    /// when any access unit failed to decode.
    int decodeStream(std::span<const uint8_t> annexB);
    /// Drains pictures still held by the decoder; returns how many came out.
    int flush();

    int64_t picturesDecoded() const { return pictures_; }
    int64_t errors() const { return errors_; }
    /// The latest picture, converted to RGB; width 0 while none was decoded.
    const RgbImage& lastPicture() const { return last_; }

private:
    int receiveAll();
    struct Av;
    std::unique_ptr<Av> av_;
    int64_t pictures_ = 0;
    int64_t errors_ = 0;
    RgbImage last_;
};

/// Writes an 8-bit RGB PNG; false (with `error`) when the file cannot be written.
bool writePng(const std::string& path, const RgbImage& image, std::string* error = nullptr);

}  // namespace df::phone

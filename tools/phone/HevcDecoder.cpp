#include "tools/phone/HevcDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}
#include <png.h>

#include <cstdio>
#include <stdexcept>

namespace df::phone {

struct HevcDecoder::Av {
    AVCodecContext* ctx = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* sws = nullptr;
    ~Av() {
        sws_freeContext(sws);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&ctx);
    }
};

HevcDecoder::HevcDecoder() : av_(std::make_unique<Av>()) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    if (!codec) throw std::runtime_error("libavcodec has no HEVC decoder");
    av_->ctx = avcodec_alloc_context3(codec);
    av_->packet = av_packet_alloc();
    av_->frame = av_frame_alloc();
    if (!av_->ctx || !av_->packet || !av_->frame) throw std::runtime_error("out of memory");
    // One thread and no frame delay: every access unit comes out as soon as it goes in,
    // which is what a phone showing a live screen does too.
    av_->ctx->thread_count = 1;
    av_->ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    // Strict: a damaged or mismatched picture is an error, not a concealed picture; the
    // client is there to find faults in what the agent sends.
    av_->ctx->err_recognition |= AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER;
    if (avcodec_open2(av_->ctx, codec, nullptr) < 0)
        throw std::runtime_error("cannot open the HEVC decoder");
}

HevcDecoder::~HevcDecoder() = default;

int HevcDecoder::decode(std::span<const uint8_t> annexB) {
    if (annexB.empty()) return 0;
    if (av_new_packet(av_->packet, static_cast<int>(annexB.size())) < 0) return -1;
    std::copy(annexB.begin(), annexB.end(), av_->packet->data);
    const int sent = avcodec_send_packet(av_->ctx, av_->packet);
    av_packet_unref(av_->packet);
    if (sent < 0 && sent != AVERROR(EAGAIN)) {
        ++errors_;
        return -1;
    }
    return receiveAll();
}

int HevcDecoder::decodeStream(std::span<const uint8_t> annexB) {
    AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_HEVC);
    if (!parser) return -1;
    int pictures = 0;
    bool failed = false;
    const uint8_t* data = annexB.data();
    int left = static_cast<int>(annexB.size());
    // A final call with no input makes the parser give up the last access unit.
    for (bool draining = false;;) {
        uint8_t* unit = nullptr;
        int unitSize = 0;
        const int used = av_parser_parse2(parser, av_->ctx, &unit, &unitSize, draining ? nullptr : data,
                                          draining ? 0 : left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (!draining) {
            data += used;
            left -= used;
        }
        if (unitSize > 0) {
            const int n = decode(std::span<const uint8_t>(unit, static_cast<size_t>(unitSize)));
            if (n < 0) failed = true;
            else pictures += n;
        }
        if (draining && unitSize == 0) break;
        if (!draining && left == 0) draining = true;
    }
    av_parser_close(parser);
    pictures += flush();
    return failed ? -1 : pictures;
}

int HevcDecoder::flush() {
    avcodec_send_packet(av_->ctx, nullptr);
    const int n = receiveAll();
    avcodec_flush_buffers(av_->ctx);
    return n < 0 ? 0 : n;
}

int HevcDecoder::receiveAll() {
    int count = 0;
    for (;;) {
        const int r = avcodec_receive_frame(av_->ctx, av_->frame);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) {
            ++errors_;
            return -1;
        }
        ++count;
        ++pictures_;
        AVFrame* f = av_->frame;
        av_->sws = sws_getCachedContext(av_->sws, f->width, f->height,
                                        static_cast<AVPixelFormat>(f->format), f->width,
                                        f->height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr,
                                        nullptr, nullptr);
        if (av_->sws) {
            last_.width = f->width;
            last_.height = f->height;
            last_.pixels.resize(static_cast<size_t>(f->width) * f->height * 3);
            uint8_t* dst[4] = {last_.pixels.data(), nullptr, nullptr, nullptr};
            int dstStride[4] = {f->width * 3, 0, 0, 0};
            sws_scale(av_->sws, f->data, f->linesize, 0, f->height, dst, dstStride);
        }
        av_frame_unref(f);
    }
    return count;
}

bool writePng(const std::string& path, const RgbImage& image, std::string* error) {
    auto fail = [&](const char* why) {
        if (error) *error = why;
        return false;
    };
    if (image.width <= 0 || image.height <= 0 ||
        image.pixels.size() != static_cast<size_t>(image.width) * image.height * 3)
        return fail("no picture to write");
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return fail("cannot open the file for writing");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return fail("libpng failed to start");
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return fail("libpng failed while writing");
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < image.height; ++y)
        png_write_row(png, image.pixels.data() + static_cast<size_t>(y) * image.width * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(file) != 0) return fail("cannot finish the file");
    return true;
}

}  // namespace df::phone

#include "protocol/WireFrame.h"

#include "protocol/BigEndian.h"

#include <algorithm>
#include <cstring>

namespace df {

Bytes WireFrame::encode(WireKind kind, std::span<const uint8_t> payload) {
    // One allocation at the final size; header then payload appended (no zero-fill pass).
    const uint32_t length = BigEndian::frameLength(payload.size());
    Bytes out;
    out.reserve(kWireHeaderSize + payload.size());
    out.resize(kWireHeaderSize);
    out[0] = rawValue(kind);
    BigEndian::put32(out.data() + 1, length);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes WireFrame::encoded() const { return encode(kind, payload); }

void WireParser::reset() {
    headerSize_ = 0;
    pendingLength_ = 0;
    Bytes().swap(pending_);
    corrupted_ = false;
}

void WireParser::corrupt() {
    corrupted_ = true;
    headerSize_ = 0;
    pendingLength_ = 0;
    Bytes().swap(pending_);
}

std::vector<WireFrame> WireParser::append(std::span<const uint8_t> data) {
    std::vector<WireFrame> frames;
    if (corrupted_) return frames;

    const uint8_t* in = data.data();
    size_t left = data.size();

    // Emits a frame of the given kind byte unless the kind is unknown, in which case the
    // frame's bytes are consumed and nothing is reported.
    auto emit = [&frames](uint8_t kindByte, Bytes&& payload) {
        if (auto kind = wireKind(kindByte)) frames.emplace_back(*kind, std::move(payload));
    };

    while (left > 0 || headerSize_ == kWireHeaderSize) {
        if (headerSize_ < kWireHeaderSize) {
            if (headerSize_ == 0 && left >= kWireHeaderSize) {
                // Fast path: a whole header in the new data.
                const uint32_t length = BigEndian::get32(in + 1);
                if (length > payloadLimit_) {
                    corrupt();
                    return frames;
                }
                if (left - kWireHeaderSize >= length) {
                    // The whole frame is in the new data: copy its payload straight out.
                    emit(in[0], Bytes(in + kWireHeaderSize, in + kWireHeaderSize + length));
                    in += kWireHeaderSize + length;
                    left -= kWireHeaderSize + length;
                    continue;
                }
                std::memcpy(header_, in, kWireHeaderSize);
                headerSize_ = kWireHeaderSize;
                pendingLength_ = length;
                in += kWireHeaderSize;
                left -= kWireHeaderSize;
            } else {
                // A header split across appends: collect it byte by byte.
                const size_t take = std::min(kWireHeaderSize - headerSize_, left);
                std::memcpy(header_ + headerSize_, in, take);
                headerSize_ += take;
                in += take;
                left -= take;
                if (headerSize_ < kWireHeaderSize) break;
                pendingLength_ = BigEndian::get32(header_ + 1);
                if (pendingLength_ > payloadLimit_) {
                    corrupt();
                    return frames;
                }
            }
        }

        // A header is complete; gather its payload. Capacity grows with what has arrived,
        // never with the length the header announces.
        const size_t missing = pendingLength_ - pending_.size();
        const size_t take = std::min(missing, left);
        if (take > 0) {
            const size_t needed = pending_.size() + take;
            if (needed > pending_.capacity()) {
                pending_.reserve(std::min<size_t>(pendingLength_, std::max(needed, pending_.capacity() * 2)));
            }
            pending_.insert(pending_.end(), in, in + take);
            in += take;
            left -= take;
        }
        if (pending_.size() < pendingLength_) break;

        const uint8_t kindByte = header_[0];
        headerSize_ = 0;
        pendingLength_ = 0;
        Bytes payload;
        payload.swap(pending_);
        emit(kindByte, std::move(payload));
    }
    return frames;
}

}  // namespace df

#include "protocol/framereader.h"

#include <algorithm>
#include <cstring>

#include "protocol/frames.h"

size_t ScanFrames(const uint8_t* bytes, size_t count, const std::function<bool(const uint8_t* frame)>& take,
                  bool* taken)
{
    static constexpr uint8_t header[3] = { FrameHeader0, FrameHeader1, FrameHeader2 };
    size_t p = 0;
    while (p < count) {
        const size_t left = count - p;
        // A header cut off by the end of the bytes may still become a frame.
        if (left < 3) {
            if (std::equal(bytes + p, bytes + count, header))
                return p;
            ++p;
            continue;
        }
        if (!std::equal(header, header + 3, bytes + p) || (left >= 4 && (bytes[p + 3] & 0xF0) != 0xE0)) {
            ++p;
            continue;
        }
        if (left < size_t(ShortFrameLength))
            return p; // the beginning of a frame: the rest may follow
        uint8_t frame[ShortFrameLength];
        std::memcpy(frame, bytes + p, ShortFrameLength);
        if (take(frame)) {
            *taken = true;
            return count;
        }
        p += DecodeFrame(frame).checksumOk() ? size_t(ShortFrameLength) : 1;
    }
    return count;
}

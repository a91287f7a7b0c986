#pragma once
// Shared transmit state and the two encoders. Production binds the write
// function to Comm1.WriteData; tests bind a recorder.

#include <cstdint>
#include <functional>

#include "protocol/frames.h"

class TxChannel {
public:
    using WriteFn = std::function<bool(const uint8_t* buffer, uint16_t length)>;

    explicit TxChannel(WriteFn write);

    // One frame at a time, overwritten from offset 0; bytes past a shorter
    // frame keep what a longer one left there.
    uint8_t TxBuffer[TxBufferSize] = {};
    // Set by the caller before each send: 9 before sendShort, 12 before sendMedium.
    int16_t TxLength = 0;

    // Encodes a short frame into TxBuffer and hands TxLength bytes to write.
    // False when the port refused the frame (closed): it never left, so the
    // caller must not log it as sent.
    bool sendShort(const CmdRecord& r);
    // Same for a medium frame.
    bool sendMedium(const CmdRecord& r);
    // Takes back every frame the port holds but has not begun to send; returns how many.
    // Unset: nothing can be taken back.
    std::function<size_t()> Purge;

private:
    bool flush();

    WriteFn m_write;
};

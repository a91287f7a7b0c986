#include "protocol/txchannel.h"

#include <utility>

TxChannel::TxChannel(WriteFn write)
    : m_write(std::move(write))
{
}

void TxChannel::SendCMD1(const CmdRecord& r)
{
    EncodeShortFrame(r, TxBuffer);
    flush();
}

void TxChannel::SendCMD2(const CmdRecord& r)
{
    EncodeMediumFrame(r, TxBuffer);
    flush();
}

void TxChannel::flush()
{
    // A closed port refuses the frame; callers have nothing to do about it,
    // so the result is ignored. A length outside the buffer is clamped
    // rather than read past its end.
    if (!m_write)
        return;
    int16_t n = TxLength;
    if (n < 0)
        n = 0;
    if (n > TxBufferSize)
        n = TxBufferSize;
    (void)m_write(TxBuffer, static_cast<uint16_t>(n));
}

#include "protocol/txchannel.h"

#include <utility>

TxChannel::TxChannel(WriteFn write)
    : m_write(std::move(write))
{
}

bool TxChannel::sendShort(const CmdRecord& r)
{
    EncodeShortFrame(r, TxBuffer);
    return flush();
}

bool TxChannel::sendMedium(const CmdRecord& r)
{
    EncodeMediumFrame(r, TxBuffer);
    return flush();
}

bool TxChannel::flush()
{
    // A closed port refuses the frame and the caller learns it from the
    // result. A length outside the buffer is clamped rather than read past
    // its end.
    if (!m_write)
        return false;
    int16_t n = TxLength;
    if (n < 0)
        n = 0;
    if (n > TxBufferSize)
        n = TxBufferSize;
    return m_write(TxBuffer, static_cast<uint16_t>(n));
}

#include "protocol/frames.h"

const char* CommandName(uint8_t code)
{
    switch (code) {
    case CmdAskState: return "CmdAskState";
    case CmdUp: return "CmdUp";
    case CmdDown: return "CmdDown";
    case CmdStop: return "CmdStop";
    case CmdForward: return "CmdForward";
    case CmdBackward: return "CmdBackward";
    case CmdReaddress: return "CmdReaddress";
    default: return nullptr;
    }
}

uint8_t AddressByte(uint8_t group)
{
    if (group == BroadcastGroup)
        return BroadcastGroup;
    return static_cast<uint8_t>(0xE0 | (group & 0x0F));
}

uint16_t FrameChecksum(const uint8_t* bytes, int count)
{
    uint16_t sum = 0;
    for (int i = 0; i < count; ++i)
        sum = static_cast<uint16_t>(sum + bytes[i]);
    return sum;
}

namespace {

// Header, address, ID and code byte are common to both frame lengths.
void encodeHead(const CmdRecord& r, uint8_t* out)
{
    out[0] = FrameHeader0;
    out[1] = FrameHeader1;
    out[2] = FrameHeader2;
    out[3] = AddressByte(r.group);
    out[4] = static_cast<uint8_t>(r.id >> 8);
    out[5] = static_cast<uint8_t>(r.id & 0xFF);
    out[6] = r.command;
}

void putChecksum(uint8_t* out, int summed)
{
    const uint16_t sum = FrameChecksum(out + 3, summed);
    out[3 + summed] = static_cast<uint8_t>(sum >> 8);
    out[4 + summed] = static_cast<uint8_t>(sum & 0xFF);
}

} // namespace

void EncodeShortFrame(const CmdRecord& r, uint8_t* out)
{
    encodeHead(r, out);
    putChecksum(out, 4);
}

void EncodeMediumFrame(const CmdRecord& r, uint8_t* out)
{
    encodeHead(r, out);
    out[7] = r.data1;
    out[8] = r.data2;
    out[9] = r.data3;
    putChecksum(out, 7);
}

DecodedFrame DecodeFrame(const uint8_t* rx9)
{
    DecodedFrame f;
    f.headerOk = rx9[0] == FrameHeader0 && rx9[1] == FrameHeader1 && rx9[2] == FrameHeader2
        && (rx9[3] & 0xF0) == 0xE0;
    f.group = rx9[3] & 0x0F;
    f.id = static_cast<uint16_t>(rx9[4] << 8 | rx9[5]);
    f.code = rx9[6];
    f.receivedChecksum = static_cast<uint16_t>(rx9[7] << 8 | rx9[8]);
    f.computedChecksum = FrameChecksum(rx9 + 3, 4);
    return f;
}

std::string HexLine(const uint8_t* bytes, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        line += digits[bytes[i] >> 4];
        line += digits[bytes[i] & 0x0F];
        line += ' ';
    }
    return line;
}

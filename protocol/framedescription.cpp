#include "protocol/framedescription.h"

#include <cstdio>

#include "protocol/frames.h"

namespace {

const uint8_t Header[3] = {FrameHeader0, FrameHeader1, FrameHeader2};

std::string number(unsigned value)
{
    return std::to_string(value);
}

std::string hexByte(uint8_t value)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", value);
    return buf;
}

std::string count(size_t n, const char* what)
{
    return number(static_cast<unsigned>(n)) + " " + what + (n == 1 ? "" : "s");
}

// The first offset from which the bytes match the header, or as much of it as is left; n if none.
size_t headerAt(const uint8_t* b, size_t n)
{
    for (size_t k = 0; k < n; ++k) {
        size_t i = 0;
        while (i < 3 && k + i < n && b[k + i] == Header[i])
            ++i;
        if (i == 3 || k + i == n)
            return k;
    }
    return n;
}

// A header with one of its three bytes wrong, as line noise leaves it.
bool damagedHeader(const uint8_t* b, size_t n)
{
    if (n < ShortFrameLength)
        return false;
    int wrong = 0;
    for (int i = 0; i < 3; ++i)
        wrong += b[i] != Header[i];
    return wrong == 1;
}

bool validAddress(uint8_t address)
{
    return address == BroadcastGroup || (address & 0xF0) == 0xE0;
}

// Whom a command addresses: one device, a whole group, every device, or one ID in every group.
std::string target(uint8_t address, uint16_t id)
{
    if (address == BroadcastGroup)
        return id == 0 ? "all devices" : "ID " + number(id) + " in all groups";
    const std::string group = "group " + number(address & 0x0F);
    return id == 0 ? "whole " + group : group + " ID " + number(id);
}

const char* motionWords(uint8_t code)
{
    switch (code) {
    case CmdUp: return "up";
    case CmdDown: return "down";
    case CmdStop: return "stop";
    case CmdForward: return "tilt forward";
    case CmdBackward: return "tilt backward";
    default: return nullptr;
    }
}

// The meaning of one whole frame whose header and address byte are sound, checksum aside.
std::string meaning(const uint8_t* b, const DecodedFrame& f, bool checksumOk)
{
    const uint8_t address = b[3];
    if (f.isStatusReply()) {
        const std::string who = "group " + number(f.group) + " ID " + number(f.id);
        return checksumOk ? "reply: " + who + " on line" : "reply: " + who;
    }
    if (f.code == CmdAskState) {
        if (address == BroadcastGroup && f.id != 0)
            return "search probe ID " + number(f.id);
        return "status query " + target(address, f.id);
    }
    if (const char* motion = motionWords(f.code))
        return std::string(motion) + " " + target(address, f.id);
    if (f.code == CmdReaddress)
        return "re-address " + target(address, f.id) + " → group " + number(b[7]) + " ID "
            + number(static_cast<unsigned>(b[8] << 8 | b[9]));
    return "unknown command " + hexByte(f.code) + " " + target(address, f.id);
}

std::string describe(const uint8_t* b, size_t n, bool afterFrame)
{
    if (n == 0)
        return "empty";

    const size_t start = headerAt(b, n);
    if (start == n) {
        if (afterFrame)
            return count(n, "noise byte");
        if (damagedHeader(b, n))
            return "wrong header (" + HexLine(b, 3) + "…)";
        return "not a frame (" + count(n, "byte") + ")";
    }
    if (start > 0)
        return count(start, "noise byte") + ", then " + describe(b + start, n - start, false);

    // A header at offset 0: the code byte decides the length of the frame.
    size_t length = ShortFrameLength;
    if (n > 6 && b[6] == CmdReaddress)
        length = MediumFrameLength;
    if (n < length)
        return "too short (" + number(static_cast<unsigned>(n)) + " of " + number(static_cast<unsigned>(length))
            + " bytes)";

    const DecodedFrame f = DecodeFrame(b);
    std::string text;
    if (!validAddress(b[3]) || (f.isStatusReply() && !f.headerOk)) {
        // The reply parser takes no frame whose address byte lacks the high nibble 0xE.
        text = "wrong header (address byte " + hexByte(b[3]) + ")";
    } else {
        bool checksumOk = f.checksumOk();
        if (length == MediumFrameLength)
            checksumOk = FrameChecksum(b + 3, 7) == static_cast<uint16_t>(b[10] << 8 | b[11]);
        text = meaning(b, f, checksumOk);
        if (!checksumOk)
            text = "bad checksum (" + text + ")";
    }
    if (n > length)
        text += "; " + describe(b + length, n - length, true);
    return text;
}

} // namespace

std::string FrameDescription(const uint8_t* bytes, size_t n)
{
    return describe(bytes, n, false);
}

#include <gtest/gtest.h>

#include <vector>

#include "protocol/framedescription.h"
#include "protocol/frames.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frame(uint8_t group, uint16_t id, uint8_t code)
{
    Bytes b(ShortFrameLength);
    EncodeShortFrame({group, id, code}, b.data());
    return b;
}

Bytes readdress(uint8_t group, uint16_t id, uint8_t newGroup, uint16_t newId)
{
    Bytes b(MediumFrameLength);
    EncodeMediumFrame({group, id, CmdReaddress, newGroup, uint8_t(newId >> 8), uint8_t(newId & 0xFF)}, b.data());
    return b;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The frame with one byte changed by `delta`; -1 is the last byte (the checksum's low byte).
Bytes changed(Bytes b, int at, int delta)
{
    uint8_t& byte = at < 0 ? b.back() : b[size_t(at)];
    byte = uint8_t(byte + delta);
    return b;
}

Bytes cut(const Bytes& b, size_t from, size_t to)
{
    return Bytes(b.begin() + from, b.begin() + to);
}

TEST(FrameDescription, EveryCommandReplyAndFaultKind)
{
    const Bytes reply = frame(2, 5, 0xFF);
    const struct {
        Bytes bytes;
        const char* expected;
    } cases[] = {
        {frame(2, 15, CmdAskState), "status query group 2 ID 15"},
        {frame(BroadcastGroup, 37, CmdAskState), "search probe ID 37"},
        {frame(2, 0, CmdAskState), "status query whole group 2"},
        {frame(BroadcastGroup, 0, CmdAskState), "status query all devices"},
        {frame(0, 999, CmdUp), "up group 0 ID 999"},
        {frame(15, 0, CmdDown), "down whole group 15"},
        {frame(BroadcastGroup, 0, CmdStop), "stop all devices"},
        {frame(3, 12, CmdForward), "tilt forward group 3 ID 12"},
        {frame(BroadcastGroup, 12, CmdBackward), "tilt backward ID 12 in all groups"},
        {readdress(1, 7, 3, 9), "re-address group 1 ID 7 → group 3 ID 9"},
        {readdress(1, 300, 3, 300), "re-address group 1 ID 300 → group 3 ID 300"},
        {readdress(BroadcastGroup, 0, 0, 1), "re-address all devices → group 0 ID 1"},
        {readdress(4, 0, 5, 999), "re-address whole group 4 → group 5 ID 999"},
        {reply, "reply: group 2 ID 5 on line"},
        {frame(2, 15, 0xFE), "reply: group 2 ID 15 on line"},
        {frame(0, 1, StateReplyBase), "reply: group 0 ID 1 on line"},
        // faults
        {frame(2, 15, 0xFC), "unknown command 0xFC group 2 ID 15"}, // one below the reply codes
        {frame(2, 15, 0x42), "unknown command 0x42 group 2 ID 15"},
        {changed(reply, -1, 1), "bad checksum (reply: group 2 ID 5)"},
        {changed(frame(2, 15, CmdUp), -1, -1), "bad checksum (up group 2 ID 15)"},
        {changed(readdress(1, 7, 3, 9), -1, 1), "bad checksum (re-address group 1 ID 7 → group 3 ID 9)"},
        {changed(reply, 2, 1), "wrong header (FF AC E2 …)"},
        {changed(reply, 3, 0x45 - 0xE2), "wrong header (address byte 0x45)"},
        {frame(BroadcastGroup, 5, 0xFF), "wrong header (address byte 0xFF)"}, // a reply names its group
        {cut(reply, 0, 4), "too short (4 of 9 bytes)"},
        {cut(reply, 0, 2), "too short (2 of 9 bytes)"},
        {cut(readdress(1, 7, 3, 9), 0, 10), "too short (10 of 12 bytes)"},
        {cut(reply, 4, 9), "not a frame (5 bytes)"}, // second half of a split reply
        {{0x31}, "not a frame (1 byte)"},
        {{}, "empty"},
        // noise and several frames in one chunk
        {Bytes{0x00, 0x55, 0xAA} + reply, "3 noise bytes, then reply: group 2 ID 5 on line"},
        {Bytes{0x55} + changed(reply, -1, 1), "1 noise byte, then bad checksum (reply: group 2 ID 5)"},
        {reply + frame(2, 6, 0xFE), "reply: group 2 ID 5 on line; reply: group 2 ID 6 on line"},
        {reply + Bytes{0x01, 0x02}, "reply: group 2 ID 5 on line; 2 noise bytes"},
        {reply + cut(reply, 0, 3), "reply: group 2 ID 5 on line; too short (3 of 9 bytes)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FrameDescription(c.bytes.data(), c.bytes.size()), c.expected)
            << "bytes " << HexLine(c.bytes.data(), c.bytes.size());
}

} // namespace

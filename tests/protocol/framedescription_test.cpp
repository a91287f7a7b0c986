#include <gtest/gtest.h>

#include <vector>

#include "protocol/framedescription.h"
#include "protocol/frames.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes shortFrame(uint8_t group, uint16_t id, uint8_t code)
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

Bytes withLastByte(Bytes b, int delta)
{
    b.back() = uint8_t(b.back() + delta);
    return b;
}

Bytes cut(const Bytes& b, size_t n)
{
    return Bytes(b.begin(), b.begin() + n);
}

struct Case {
    Bytes bytes;
    const char* expected;
};

void expectAll(const std::vector<Case>& cases)
{
    for (const Case& c : cases)
        EXPECT_EQ(FrameDescription(c.bytes.data(), c.bytes.size()), c.expected)
            << "bytes " << HexLine(c.bytes.data(), c.bytes.size());
}

TEST(FrameDescription, EveryCommandAndAddressing)
{
    expectAll({
        {shortFrame(2, 15, CmdAskState), "status query group 2 ID 15"},
        {shortFrame(BroadcastGroup, 37, CmdAskState), "search probe ID 37"},
        {shortFrame(2, 0, CmdAskState), "status query whole group 2"},
        {shortFrame(BroadcastGroup, 0, CmdAskState), "status query all devices"},
        {shortFrame(0, 999, CmdUp), "up group 0 ID 999"},
        {shortFrame(15, 0, CmdDown), "down whole group 15"},
        {shortFrame(BroadcastGroup, 0, CmdStop), "stop all devices"},
        {shortFrame(3, 12, CmdForward), "tilt forward group 3 ID 12"},
        {shortFrame(BroadcastGroup, 12, CmdBackward), "tilt backward ID 12 in all groups"},
        {readdress(1, 7, 3, 9), "re-address group 1 ID 7 → group 3 ID 9"},
        {readdress(1, 300, 3, 300), "re-address group 1 ID 300 → group 3 ID 300"},
        {readdress(BroadcastGroup, 0, 0, 1), "re-address all devices → group 0 ID 1"},
        {readdress(4, 0, 5, 999), "re-address whole group 4 → group 5 ID 999"},
    });
}

TEST(FrameDescription, StatusRepliesOfEveryCode)
{
    expectAll({
        {shortFrame(2, 15, 0xFF), "reply: group 2 ID 15 on line"},
        {shortFrame(2, 15, 0xFE), "reply: group 2 ID 15 on line"},
        {shortFrame(0, 1, StateReplyBase), "reply: group 0 ID 1 on line"},
        // one below the reply codes is no reply, and no command either
        {shortFrame(2, 15, 0xFC), "unknown command 0xFC group 2 ID 15"},
    });
}

TEST(FrameDescription, FaultKinds)
{
    const Bytes reply = shortFrame(2, 5, 0xFF);
    Bytes damaged = reply;
    damaged[2] = 0xE2;
    Bytes badAddress = reply;
    badAddress[3] = 0x45;
    expectAll({
        {withLastByte(reply, 1), "bad checksum (reply: group 2 ID 5)"},
        {withLastByte(shortFrame(2, 15, CmdUp), -1), "bad checksum (up group 2 ID 15)"},
        {withLastByte(readdress(1, 7, 3, 9), 1), "bad checksum (re-address group 1 ID 7 → group 3 ID 9)"},
        {damaged, "wrong header (FF AC E2 …)"},
        {badAddress, "wrong header (address byte 0x45)"},
        // a reply must name a group: the broadcast address is no sender
        {shortFrame(BroadcastGroup, 5, 0xFF), "wrong header (address byte 0xFF)"},
        {shortFrame(2, 15, 0x42), "unknown command 0x42 group 2 ID 15"},
        {cut(reply, 4), "too short (4 of 9 bytes)"},
        {cut(reply, 2), "too short (2 of 9 bytes)"},
        {cut(readdress(1, 7, 3, 9), 10), "too short (10 of 12 bytes)"},
        {{0xAA, 0xBB}, "not a frame (2 bytes)"},
        {{0x31}, "not a frame (1 byte)"},
        // the second half of a reply split over two chunks
        {Bytes(reply.begin() + 4, reply.end()), "not a frame (5 bytes)"},
        {{}, "empty"},
    });
}

TEST(FrameDescription, NoiseAndSeveralFramesInOneChunk)
{
    const Bytes a = shortFrame(2, 5, 0xFF), b = shortFrame(2, 6, 0xFE);
    expectAll({
        {Bytes{0x00, 0x55, 0xAA} + a, "3 noise bytes, then reply: group 2 ID 5 on line"},
        {Bytes{0x00} + a, "1 noise byte, then reply: group 2 ID 5 on line"},
        {a + b, "reply: group 2 ID 5 on line; reply: group 2 ID 6 on line"},
        {a + Bytes{0x01, 0x02}, "reply: group 2 ID 5 on line; 2 noise bytes"},
        {a + cut(b, 3), "reply: group 2 ID 5 on line; too short (3 of 9 bytes)"},
        {Bytes{0x55} + withLastByte(a, 1), "1 noise byte, then bad checksum (reply: group 2 ID 5)"},
    });
}

TEST(FrameDescription, NeverReadsPastTheGivenLength)
{
    // A whole reply in the buffer, but only a part of it handed over: the rest must not count.
    const Bytes reply = shortFrame(2, 5, 0xFF);
    for (size_t n = 0; n < reply.size(); ++n)
        EXPECT_EQ(FrameDescription(reply.data(), n).rfind("reply", 0), std::string::npos) << n;
}

} // namespace

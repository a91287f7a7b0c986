#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "protocol/framereader.h"
#include "protocol/frames.h"
#include "protocol/txchannel.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes shortFrame(const CmdRecord& r)
{
    Bytes b(ShortFrameLength);
    EncodeShortFrame(r, b.data());
    return b;
}

Bytes mediumFrame(const CmdRecord& r)
{
    Bytes b(MediumFrameLength);
    EncodeMediumFrame(r, b.data());
    return b;
}

// Records every write the channel makes.
struct Recorder {
    std::vector<Bytes> writes;
    bool result = true;
    TxChannel::WriteFn fn()
    {
        return [this](const uint8_t* b, uint16_t n) {
            writes.emplace_back(b, b + n);
            return result;
        };
    }
};

TEST(Frames, WorkedExamplesOnTheWire)
{
    struct Case {
        const char* what;
        CmdRecord record;
        bool medium;
        Bytes expected;
    };
    const Case cases[] = {
        {"status query to group 2, ID 5", {2, 5, CmdAskState}, false,
         {0xFF, 0xAC, 0xE1, 0xE2, 0x00, 0x05, 0x0D, 0x00, 0xF4}},
        {"CmdUp to all devices", {BroadcastGroup, 0, CmdUp}, false,
         {0xFF, 0xAC, 0xE1, 0xFF, 0x00, 0x00, 0xDD, 0x01, 0xDC}},
        {"search probe for ID 37", {BroadcastGroup, 37, CmdAskState}, false,
         {0xFF, 0xAC, 0xE1, 0xFF, 0x00, 0x25, 0x0D, 0x01, 0x31}},
        {"re-address group 1 ID 300 into group 3", {1, 300, CmdReaddress, 3, 0x01, 0x2C}, true,
         {0xFF, 0xAC, 0xE1, 0xE1, 0x01, 0x2C, 0x6D, 0x03, 0x01, 0x2C, 0x01, 0xAB}},
        {"status reply of group 2, ID 5", {2, 5, 0xFF}, false,
         {0xFF, 0xAC, 0xE1, 0xE2, 0x00, 0x05, 0xFF, 0x01, 0xE6}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.medium ? mediumFrame(c.record) : shortFrame(c.record), c.expected);

        // The same bytes leave through the channel, exactly TxLength of them.
        Recorder rec;
        TxChannel tx(rec.fn());
        tx.TxLength = c.medium ? MediumFrameLength : ShortFrameLength;
        c.medium ? tx.sendMedium(c.record) : tx.sendShort(c.record);
        ASSERT_EQ(rec.writes.size(), 1u);
        EXPECT_EQ(rec.writes[0], c.expected);
    }
}

TEST(Frames, AddressByteAndIdBytes)
{
    const std::pair<uint8_t, uint8_t> groups[] = {
        {0xFF, 0xFF}, {0, 0xE0}, {15, 0xEF}, {16, 0xE0}, {0xFE, 0xEE}, {0x1F, 0xEF}};
    for (auto [group, address] : groups) {
        SCOPED_TRACE(int(group));
        EXPECT_EQ(AddressByte(group), address);
        EXPECT_EQ(shortFrame({group, 1, CmdStop})[3], address);
        EXPECT_EQ(mediumFrame({group, 1, CmdReaddress})[3], address);
    }
    const std::pair<uint16_t, std::array<uint8_t, 2>> ids[] = {{0, {0x00, 0x00}}, {999, {0x03, 0xE7}}};
    for (const auto& [id, hiLo] : ids) {
        const Bytes f = shortFrame({2, id, CmdDown});
        EXPECT_EQ(f[4], hiLo[0]);
        EXPECT_EQ(f[5], hiLo[1]);
        const DecodedFrame d = DecodeFrame(f.data());
        EXPECT_EQ(d.id, id);
        EXPECT_TRUE(d.checksumOk());
    }
}

TEST(Frames, ChecksumIsSixteenBitsAndWraps)
{
    // Largest medium-frame sum: seven bytes of 0xFF.
    const Bytes m = mediumFrame({0xFF, 0xFFFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(m[10], 0x06);
    EXPECT_EQ(m[11], 0xF9);

    const Bytes many(300, 0xFF); // 76500 = 65536 + 10964
    EXPECT_EQ(FrameChecksum(many.data(), int(many.size())), 10964);
    EXPECT_EQ(FrameChecksum(many.data(), 0), 0);
}

TEST(TxChannelTest, ShortFrameAfterMediumLeavesTailAndWritesTxLength)
{
    Recorder rec;
    TxChannel tx(rec.fn());
    tx.TxLength = MediumFrameLength;
    EXPECT_TRUE(tx.sendMedium({1, 300, CmdReaddress, 3, 0x01, 0x2C}));
    const Bytes tail(tx.TxBuffer + 9, tx.TxBuffer + 12);

    rec.result = false; // a closed port: the frame is lost and the sender is told so
    tx.TxLength = ShortFrameLength;
    EXPECT_FALSE(tx.sendShort({2, 5, CmdAskState}));

    ASSERT_EQ(rec.writes.size(), 2u);
    EXPECT_EQ(rec.writes[1], shortFrame({2, 5, CmdAskState}));
    EXPECT_EQ(Bytes(tx.TxBuffer + 9, tx.TxBuffer + 12), tail);
    EXPECT_EQ(tail, (Bytes{0x2C, 0x01, 0xAB}));
    EXPECT_EQ(tx.TxBuffer[12], 0); // never touched
}

TEST(TxChannelTest, LengthOutsideTheBufferIsClamped)
{
    Recorder rec;
    TxChannel tx(rec.fn());
    for (int16_t len : {int16_t(40), int16_t(-1)}) {
        tx.TxLength = len;
        tx.sendShort({2, 5, CmdUp});
    }
    ASSERT_EQ(rec.writes.size(), 2u);
    EXPECT_EQ(rec.writes[0].size(), size_t(TxBufferSize));
    EXPECT_TRUE(rec.writes[1].empty());
}

TEST(Frames, DecodeReply)
{
    struct Case {
        const char* what;
        Bytes bytes;
        bool header, checksum, status;
        uint8_t group;
        uint16_t id;
    };
    const Case cases[] = {
        {"valid, code FF", {0xFF, 0xAC, 0xE1, 0xE2, 0x00, 0x05, 0xFF, 0x01, 0xE6}, true, true, true, 2, 5},
        {"valid, code FD", {0xFF, 0xAC, 0xE1, 0xEF, 0x03, 0xE7, 0xFD, 0x02, 0xD6}, true, true, true, 15, 999},
        {"checksum wrong by one", {0xFF, 0xAC, 0xE1, 0xE2, 0x00, 0x05, 0xFF, 0x01, 0xE7}, true, false, true, 2, 5},
        {"code FC", {0xFF, 0xAC, 0xE1, 0xE2, 0x00, 0x05, 0xFC, 0x01, 0xE3}, true, true, false, 2, 5},
        {"bad header", {0xFF, 0xAD, 0xE1, 0xE2, 0x00, 0x05, 0xFF, 0x01, 0xE6}, false, true, true, 2, 5},
        {"broadcast address", {0xFF, 0xAC, 0xE1, 0xFF, 0x00, 0x05, 0xFF, 0x02, 0x03}, false, true, true, 15, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const DecodedFrame d = DecodeFrame(c.bytes.data());
        EXPECT_EQ(d.headerOk, c.header);
        EXPECT_EQ(d.checksumOk(), c.checksum);
        EXPECT_EQ(d.isStatusReply(), c.status);
        EXPECT_EQ(d.isValidReply(), c.header && c.checksum && c.status);
        EXPECT_EQ(d.group, c.group);
        EXPECT_EQ(d.id, c.id);
    }
}

TEST(Frames, HexLine)
{
    const Bytes reply{0xFF, 0xAC, 0xE1, 0xE2, 0x00, 0x05, 0xFF, 0x01, 0xE6};
    EXPECT_EQ(HexLine(reply.data(), reply.size()), "FF AC E1 E2 00 05 FF 01 E6 ");
    const Bytes small{0x0a, 0xbb};
    EXPECT_EQ(HexLine(small.data(), small.size()), "0A BB ");
    EXPECT_EQ(HexLine(nullptr, 0), "");
}

} // namespace

// The frames found in a chunk: noise before one, a header inside a frame whose checksum fails, a
// frame cut off by the chunk's end (its start is where the rest begins), and a kept frame, after
// which nothing more is looked at.
TEST(ScanFrames, FindsEachFrameAndWhereTheUnfinishedRestBegins)
{
    uint8_t a[ShortFrameLength], b[ShortFrameLength];
    EncodeShortFrame(CmdRecord{ 1, 5, 0xFD }, a);
    EncodeShortFrame(CmdRecord{ 2, 7, 0xFE }, b);
    const auto chunk = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> out;
        for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    const std::vector<uint8_t> A(a, a + ShortFrameLength), B(b, b + ShortFrameLength);
    std::vector<uint8_t> broken = A;
    broken[8] ^= 0x55;
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        int keep;                    // the frame (by its ID) kept, 0: none
        std::vector<int> seen;       // the IDs handed over, in order
        size_t rest;                 // where the unfinished rest begins
    } cases[] = {
        { "noise, then two frames", chunk({ { 0x00, 0xFF, 0x13 }, A, B }), 0, { 5, 7 }, 21 },
        { "a frame cut off", chunk({ A, std::vector<uint8_t>(b, b + 5) }), 0, { 5 }, 9 },
        { "a header cut off", chunk({ A, { 0xFF, 0xAC } }), 0, { 5 }, 9 },
        { "a broken frame is looked into", chunk({ broken, B }), 0, { 5, 7 }, 18 },
        { "the first kept ends the scan", chunk({ A, B }), 5, { 5 }, 18 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int> seen;
        bool taken = false;
        const size_t rest = ScanFrames(c.bytes.data(), c.bytes.size(), [&](const uint8_t* frame) {
            seen.push_back(DecodeFrame(frame).id);
            return DecodeFrame(frame).id == c.keep;
        }, &taken);
        EXPECT_EQ(seen, c.seen);
        EXPECT_EQ(rest, c.rest);
        EXPECT_EQ(taken, c.keep != 0);
    }
}

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include <sys/ioctl.h>

#include "protocol/frames.h"
#include "sim/bus_simulator.h"
#include "pty_port.h"

namespace {

Bytes query(uint8_t group, uint16_t id, uint8_t command = CmdAskState)
{
    Bytes b(ShortFrameLength);
    EncodeShortFrame({group, id, command}, b.data());
    return b;
}

Bytes readdress(uint8_t group, uint16_t id, uint8_t newGroup, uint16_t newId)
{
    Bytes b(MediumFrameLength);
    EncodeMediumFrame({group, id, CmdReaddress, newGroup, uint8_t(newId >> 8), uint8_t(newId & 0xFF)}, b.data());
    return b;
}

Bytes reply(uint8_t group, uint16_t id, uint8_t code = 0xFF)
{
    return query(group, id, code);
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim.addDevice(2, 5);
        sim.addDevice(2, 6, 0xFD);
        sim.addDevice(3, 37, 0xFE);
        sim.addDevice(15, 999);
        sim.start();
        port = std::make_unique<PtyPort>(sim.slavePath());
        ASSERT_TRUE(port->isOpen());
    }

    // Sends frames and waits until the simulator has taken them all in and
    // finished any answer, so that what the port holds is the whole answer.
    Bytes exchange(const Bytes& frames, size_t frameCount = 1)
    {
        const size_t before = sim.frameCount();
        EXPECT_TRUE(port->send(frames));
        EXPECT_TRUE(sim.waitForFrames(before + frameCount, 2000ms));
        EXPECT_TRUE(sim.waitIdle(2000ms));
        return port->pending();
    }

    Motion motionOf(uint8_t group, uint16_t id)
    {
        auto d = sim.device(group, id);
        EXPECT_TRUE(d.has_value()) << int(group) << ":" << id;
        return d ? d->motion : Motion::Stopped;
    }

    BusSimulator sim;
    std::unique_ptr<PtyPort> port;
};

TEST_F(SimTest, QueriesAndProbesGetTheDevicesReply)
{
    struct Case {
        Bytes frame;
        Bytes expected;
    };
    const Case cases[] = {
        {query(2, 5), {0xFF, 0xAC, 0xE1, 0xE2, 0x00, 0x05, 0xFF, 0x01, 0xE6}},
        {query(2, 6), reply(2, 6, 0xFD)},
        {query(15, 999), reply(15, 999)},
        {query(BroadcastGroup, 37), reply(3, 37, 0xFE)}, // a probe finds any group
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(HexLine(c.frame.data(), c.frame.size()));
        EXPECT_EQ(exchange(c.frame), c.expected);
    }
    EXPECT_EQ(sim.replyCount(), 4u);
}

TEST_F(SimTest, FramesThatGetNoAnswer)
{
    Bytes badSum = query(2, 5);
    badSum[8] ^= 1;
    const Bytes silent[] = {
        query(BroadcastGroup, 38), // probe for an absent ID
        query(3, 5),               // right ID, wrong group
        query(2, 0),               // a query to every device of a group
        badSum,
        query(2, 5, CmdUp),        // motion is not answered
        query(2, 5, 0x42),         // unknown code
    };
    for (const auto& f : silent) {
        SCOPED_TRACE(HexLine(f.data(), f.size()));
        EXPECT_TRUE(exchange(f).empty());
    }
    EXPECT_EQ(sim.replyCount(), 0u);
    const auto log = sim.frames();
    ASSERT_EQ(log.size(), std::size(silent));
    EXPECT_FALSE(log[3].checksumOk);
    EXPECT_EQ(motionOf(2, 5), Motion::Up);
}

TEST_F(SimTest, ReaddressingMovesDevices)
{
    // One device: 2:5 becomes 4:77; its neighbour 2:6 stays.
    EXPECT_TRUE(exchange(readdress(2, 5, 4, 77)).empty());
    EXPECT_FALSE(sim.hasDevice(2, 5));
    EXPECT_TRUE(sim.hasDevice(2, 6));
    EXPECT_TRUE(exchange(query(2, 5)).empty());
    EXPECT_EQ(exchange(query(4, 77)), reply(4, 77));
    const auto f = sim.frames().front();
    EXPECT_EQ(f.bytes.size(), size_t(MediumFrameLength));
    EXPECT_EQ(f.data1, 4);

    // Broadcast with ID 0: every device that hears it takes the new address,
    // an off-line device does not.
    sim.setOffline(15, 999);
    exchange(readdress(BroadcastGroup, 0, 7, 123));
    int moved = 0;
    for (const auto& d : sim.devices())
        moved += d.group == 7 && d.id == 123;
    EXPECT_EQ(moved, 3);
    EXPECT_TRUE(sim.hasDevice(15, 999));
}

TEST_F(SimTest, MotionReachesTheAddressedDevices)
{
    sim.addDevice(3, 5);
    exchange(query(2, 6, CmdDown)); // one device
    EXPECT_EQ(motionOf(2, 6), Motion::Down);
    EXPECT_EQ(motionOf(2, 5), Motion::Stopped);

    exchange(query(2, 0, CmdForward)); // all of group 2
    EXPECT_EQ(motionOf(2, 5), Motion::TiltedForward);
    EXPECT_EQ(motionOf(2, 6), Motion::TiltedForward);
    EXPECT_EQ(motionOf(3, 5), Motion::Stopped);
    EXPECT_EQ(motionOf(3, 37), Motion::Stopped);

    sim.setOffline(3, 37);
    exchange(query(BroadcastGroup, 0, CmdBackward)); // everybody listening
    for (const auto& d : sim.devices())
        EXPECT_EQ(d.motion, d.id == 37 ? Motion::Stopped : Motion::TiltedBackward) << d.id;

    exchange(query(BroadcastGroup, 0, CmdStop));
    EXPECT_EQ(motionOf(2, 5), Motion::Stopped);
}

TEST_F(SimTest, FaultsChangeTheReplyAndCanBeCleared)
{
    sim.setOffline(2, 5);
    EXPECT_TRUE(exchange(query(2, 5)).empty());
    sim.setOffline(2, 5, false);
    EXPECT_EQ(exchange(query(2, 5)), reply(2, 5));

    sim.setBadChecksum(2, 5);
    const Bytes bad = exchange(query(2, 5));
    ASSERT_EQ(bad.size(), 9u);
    const DecodedFrame d = DecodeFrame(bad.data());
    EXPECT_TRUE(d.headerOk);
    EXPECT_EQ(d.receivedChecksum, d.computedChecksum + 1);
    sim.setBadChecksum(2, 5, false);

    sim.setWrongGroup(2, 5);
    sim.setWrongGroup(15, 999);
    EXPECT_EQ(exchange(query(2, 5)), reply(3, 5));
    EXPECT_EQ(exchange(query(15, 999)), reply(0, 999)); // wraps to group 0
    sim.setWrongGroup(2, 5, false);

    sim.setNoise(2, 5);
    sim.setNoiseBytes({0x12, 0xFF});
    Bytes noisy{0x12, 0xFF};
    const Bytes r = reply(2, 5);
    noisy.insert(noisy.end(), r.begin(), r.end());
    EXPECT_EQ(exchange(query(2, 5)), noisy);
}

TEST_F(SimTest, SplitReplyComesInTwoChunksWithAGap)
{
    sim.setSplit(2, 6);
    sim.setSplitGap(250ms);
    ASSERT_TRUE(port->send(query(2, 6)));
    const auto got = port->arrivals(9, 2000ms);
    Bytes all;
    Clock::duration widest{};
    for (size_t i = 0; i < got.size(); ++i) {
        all.insert(all.end(), got[i].bytes.begin(), got[i].bytes.end());
        if (i > 0)
            widest = std::max(widest, got[i].time - got[i - 1].time);
    }
    EXPECT_EQ(all, reply(2, 6, 0xFD));
    // A reader that ends a chunk after 100 ms of silence sees two chunks.
    EXPECT_GE(widest, 100ms);
}

TEST_F(SimTest, RepliesArePacedAtTheBaudRate)
{
    struct Case {
        uint32_t baud;
        std::chrono::milliseconds minSpan; // nine bytes: eight byte times between first and last
    };
    for (const Case c : {Case{4800, 15ms}, Case{1200, 60ms}}) {
        sim.setBaud(c.baud);
        sim.clearLog();
        const auto sent = Clock::now();
        ASSERT_TRUE(port->send(query(2, 5)));
        const auto got = port->arrivals(9, 2000ms);
        ASSERT_FALSE(got.empty());
        ASSERT_TRUE(sim.waitForReplies(1, 2000ms));
        const SentReply r = sim.replies().front();
        const auto ms = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
        std::printf("[ pacing   ] %u baud: written over %.2f ms, read over %.2f ms, last byte %.2f ms after the query\n",
                    c.baud, ms(r.lastByte - r.firstByte), ms(got.back().time - got.front().time),
                    ms(got.back().time - sent));
        EXPECT_EQ(r.bytes, reply(2, 5));
        EXPECT_GE(r.lastByte - r.firstByte, c.minSpan);
        // Turnaround (20 ms) plus nine whole byte times at least.
        EXPECT_GE(got.back().time - sent, 20ms + c.minSpan);
    }
}

TEST_F(SimTest, TwoWireFrameDuringAReplyCollidesWithIt)
{
    // A motion frame to 2:6 against the reply of 2:5, 75 ms on the line at 1200 baud.
    enum When { Before, During, After };
    struct Case { bool twoWire; When when; bool collides; };
    const Case cases[] = {{false, During, false}, {true, Before, false}, {true, During, true}, {true, After, false}};
    sim.setBaud(1200);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "two-wire " << c.twoWire << ", when " << c.when);
        sim.setTwoWire(c.twoWire);
        sim.setMotion(2, 6, Motion::Stopped);
        sim.clearLog();
        ASSERT_TRUE(port->send(query(2, 5)));
        ASSERT_TRUE(sim.waitForFrames(1, 2000ms)); // Before: its reply is waiting for its time
        Bytes got = c.when == Before ? Bytes{} : port->read(c.when == During ? 1 : 9, 2000ms);
        ASSERT_TRUE(port->send(query(2, 6, CmdUp)));
        ASSERT_TRUE(sim.waitForFrames(2, 2000ms) && sim.waitIdle(2000ms));
        const Bytes rest = port->pending();
        got.insert(got.end(), rest.begin(), rest.end());
        ASSERT_EQ(got.size(), 9u);
        EXPECT_EQ(got.front(), FrameHeader0); // a byte out before the collision stays
        EXPECT_EQ(DecodeFrame(got.data()).isValidReply(), !c.collides) << HexLine(got.data(), got.size());
        EXPECT_EQ(motionOf(2, 6), c.collides ? Motion::Stopped : Motion::Up);
        EXPECT_EQ(sim.collisions(), c.collides ? 1u : 0u);
        EXPECT_EQ(sim.frames().back().collided, c.collides);
        EXPECT_EQ(sim.replies().front().collided, c.collides);
    }
}

TEST_F(SimTest, EchoReturnsWhatWasSentAheadOfTheReply)
{
    sim.setEcho(true);
    struct Case { Bytes sent, answer; bool twoWire; };
    const Case cases[] = {
        {query(2, 5), reply(2, 5), false},
        {query(2, 5, CmdDown), {}, false},
        {query(2, 5), reply(2, 5), true}, // its own echo is no collision
    };
    for (const auto& c : cases) {
        sim.setTwoWire(c.twoWire);
        sim.clearLog();
        Bytes expected = c.sent;
        expected.insert(expected.end(), c.answer.begin(), c.answer.end());
        EXPECT_EQ(exchange(c.sent), expected);
        EXPECT_EQ(sim.frameCount(), 1u); // the echo is not heard as a frame
        EXPECT_EQ(sim.collisions(), 0u);
    }
}

TEST_F(SimTest, FramesAreReassembledAndGarbageDropped)
{
    // A frame in two writes.
    const Bytes q = query(2, 5);
    ASSERT_TRUE(port->send(Bytes(q.begin(), q.begin() + 4)));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(exchange(Bytes(q.begin() + 4, q.end())), reply(2, 5));
    EXPECT_EQ(sim.garbageBytes(), 0u);

    // Noise ahead of a frame, and two frames in one write.
    Bytes burst{0x01, 0x02, 0xFF};
    for (const Bytes& f : {query(2, 5), query(2, 6)})
        burst.insert(burst.end(), f.begin(), f.end());
    Bytes both = reply(2, 5);
    const Bytes second = reply(2, 6, 0xFD);
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(exchange(burst, 2), both);
    EXPECT_EQ(sim.garbageBytes(), 3u);

    // A frame cut short is thrown away after a silence; the next one counts.
    ASSERT_TRUE(port->send(Bytes(q.begin(), q.begin() + 6)));
    const auto deadline = Clock::now() + 2s;
    while (sim.garbageBytes() < 9 && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(sim.garbageBytes(), 9u);
    EXPECT_EQ(exchange(q), reply(2, 5));
}

TEST_F(SimTest, PortCanBeReopenedAfterAnExclusiveClose)
{
    ASSERT_EQ(ioctl(port->fd(), TIOCEXCL), 0);
    ASSERT_TRUE(port->send(query(2, 5)));
    port->close(); // the reply goes out to nobody

    ASSERT_TRUE(sim.waitForReplies(1, 2000ms));
    PtyPort again(sim.slavePath());
    ASSERT_TRUE(again.isOpen());
    int exclusive = 1;
    const auto deadline = Clock::now() + 2s;
    while (Clock::now() < deadline && ioctl(again.fd(), TIOCGEXCL, &exclusive) == 0 && exclusive)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(exclusive, 0);
    EXPECT_TRUE(again.pending().empty()) << "stale reply handed to the next user";
    ASSERT_TRUE(again.send(query(2, 6)));
    EXPECT_EQ(again.read(9), reply(2, 6, 0xFD));
}

TEST_F(SimTest, VanishingPortHangsUpTheReader)
{
    sim.vanish();
    EXPECT_TRUE(sim.vanished());
    pollfd p{port->fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    EXPECT_NE(p.revents & (POLLHUP | POLLERR), 0);
    uint8_t b;
    EXPECT_LE(::read(port->fd(), &b, 1), 0);
    sim.stop(); // still clean after vanishing
}

} // namespace

// Data through an open port: order, chunking, write-empty pacing, closing and hang-up.
#include "pty_support.h"

#include <gtest/gtest.h>

#include <iostream>
#include <numeric>
#include <unistd.h>

namespace {

constexpr uint8_t Xon = 17, Xoff = 19;

class OpenPort : public ::testing::Test {
protected:
    void SetUp() override {
        ApplyComm1Defaults(comm);  // binary transfer: no XON/XOFF taken out of the data
        comm.setCommName(pty.slavePath());
        comm.OpenPort();
        ASSERT_TRUE(RunUntil([&] { return events.sendEmpty == 1; }));
    }
    Bytes pattern(size_t size, uint8_t seed) {
        Bytes b(size);
        std::iota(b.begin(), b.end(), seed);
        return b;
    }
    // Turns output flow control on (on the open port) and holds the output with XOFF; the
    // trailing marker byte, once received, shows the XOFF has been taken in.
    void holdOutput() {
        comm.setOutx_XonXoffFlow(true);
        const size_t before = events.received().size();
        pty.send({Xoff, 0x7E});
        ASSERT_TRUE(RunUntil([&] { return events.received().size() > before; }));
    }

    PseudoTerminal pty;
    TComm comm;
    EventRecorder events{comm};
};

}  // namespace

TEST_F(OpenPort, WrittenBytesArriveInOrderAndTheCallerMayReuseItsBuffer) {
    comm.setBaudRate(1000000);  // the pseudo-terminal keeps the line's pace: 10 us a byte
    Bytes expected;
    Bytes buffer = pattern(9, 1);
    for (const size_t size : {9, 12, 1, 3000, 65535}) {
        buffer = pattern(size, uint8_t(size));
        ASSERT_TRUE(comm.WriteData(buffer.data(), uint16_t(buffer.size())));
        expected.insert(expected.end(), buffer.begin(), buffer.end());
        std::fill(buffer.begin(), buffer.end(), 0xEE);  // overwritten at once
    }
    EXPECT_EQ(pty.readExactly(expected.size(), 5000), expected);
    EXPECT_TRUE(RunUntil([&] { return comm.SendDataEmpty() && events.sendEmpty >= 2; }));
}

TEST_F(OpenPort, WriteDataRefusesEmptyRequestsAndClosedPorts) {
    const uint8_t byte = 1;
    EXPECT_FALSE(comm.WriteData(&byte, 0));
    EXPECT_FALSE(comm.WriteData(nullptr, 1));
    comm.ClosePort();
    EXPECT_FALSE(comm.WriteData(&byte, 1));
    EXPECT_TRUE(comm.PurgeOutput().empty());
    EXPECT_TRUE(comm.SendDataEmpty());
    EXPECT_TRUE(pty.readAvailable().empty());
}

TEST_F(OpenPort, ABurstWithShortGapsIsOneChunkAndAPauseSplitsIt) {
    comm.setReadIntervalTimeout(200);  // applied to the open port at once
    for (int i = 0; i < 4; ++i) {
        pty.send(pattern(10, uint8_t(10 * i)));
        usleep(10 * 1000);
    }
    usleep(600 * 1000);
    pty.send({0xA0, 0x00, 0xA1});
    ASSERT_TRUE(RunUntil([&] { return events.chunks.size() >= 2; }));
    RunFor(300);
    ASSERT_EQ(events.chunks.size(), 2u);
    EXPECT_EQ(events.chunks[0], pattern(40, 0));
    EXPECT_EQ(events.chunks[1], (Bytes{0xA0, 0x00, 0xA1}));
    EXPECT_TRUE(events.chunksNulTerminated);
}

TEST_F(OpenPort, AChunkEndsOneReadIntervalAfterTheLastByte) {
    std::vector<double> delays;
    for (int round = 0; round < 3; ++round) {
        const size_t before = events.chunks.size();
        pty.send(pattern(9, uint8_t(round)));
        const auto sent = SteadyClock::now();
        ASSERT_TRUE(RunUntil([&] { return events.chunks.size() > before; }));
        delays.push_back(std::chrono::duration<double, std::milli>(events.chunkTimes.back() - sent).count());
        EXPECT_EQ(events.chunks.back(), pattern(9, uint8_t(round)));
    }
    for (double d : delays) {
        EXPECT_GE(d, 95.0);
        EXPECT_LT(d, 2000.0);
    }
    std::cout << "[ measure  ] last byte to chunk event (read interval 100 ms):";
    for (double d : delays) std::cout << ' ' << d << " ms";
    std::cout << std::endl;
}

TEST_F(OpenPort, ALongBurstComesInFullChunksInOrder) {
    pty.send(pattern(5000, 3));
    ASSERT_TRUE(RunUntil([&] { return events.received().size() >= 5000; }));
    ASSERT_EQ(events.chunks.size(), 3u);
    EXPECT_EQ(events.chunks[0].size(), 2048u);
    EXPECT_EQ(events.chunks[1].size(), 2048u);
    EXPECT_EQ(events.received(), pattern(5000, 3));
}

TEST_F(OpenPort, NullCharactersAreDroppedOnRequest) {
    comm.setIgnoreNullChar(true);
    pty.send({0, 1, 0, 0, 2, 0});
    pty.send({0, 0});
    ASSERT_TRUE(RunUntil([&] { return !events.chunks.empty(); }));
    RunFor(250);
    ASSERT_EQ(events.chunks.size(), 1u);
    EXPECT_EQ(events.chunks[0], (Bytes{1, 2}));
}

TEST_F(OpenPort, RequestsQueuedBehindAHeldWriteGiveOneWriteEmptyAfterAll) {
    holdOutput();
    const Bytes first = pattern(9, 0x40), second = pattern(12, 0x80);
    ASSERT_TRUE(comm.WriteData(first.data(), uint16_t(first.size())));
    ASSERT_TRUE(comm.WriteData(second.data(), uint16_t(second.size())));
    EXPECT_FALSE(comm.SendDataEmpty());
    RunFor(150);
    EXPECT_TRUE(pty.readAvailable().empty());
    EXPECT_EQ(events.sendEmpty, 1);  // only the one right after opening

    pty.send({Xon});
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(pty.readExactly(expected.size(), 3000), expected);
    ASSERT_TRUE(RunUntil([&] { return events.sendEmpty == 2; }));
    RunFor(200);
    EXPECT_EQ(events.sendEmpty, 2);
    EXPECT_TRUE(comm.SendDataEmpty());
}

TEST_F(OpenPort, ClosingDropsHeldAndQueuedWritesPromptlyWithoutHangup) {
    holdOutput();
    const Bytes frame = pattern(9, 1);
    ASSERT_TRUE(comm.WriteData(frame.data(), uint16_t(frame.size())));
    ASSERT_TRUE(comm.WriteData(frame.data(), uint16_t(frame.size())));
    RunFor(50);
    const auto start = SteadyClock::now();
    comm.ClosePort();
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    EXPECT_LT(ms, 1000.0);
    std::cout << "[ measure  ] close with a held write: " << ms << " ms" << std::endl;
    pty.send({Xon});
    RunFor(100);
    EXPECT_TRUE(pty.readAvailable().empty());
    EXPECT_EQ(events.hangups, 0);
    EXPECT_TRUE(comm.SendDataEmpty());
}

TEST_F(OpenPort, ClosingWithAReadOutstandingIsPromptAndQuiet) {
    pty.send({1, 2});  // a chunk under way as well
    const auto start = SteadyClock::now();
    comm.ClosePort();
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    EXPECT_LT(ms, 1000.0);
    std::cout << "[ measure  ] close with a read outstanding: " << ms << " ms" << std::endl;
    RunFor(200);
    EXPECT_EQ(events.hangups, 0);
    EXPECT_TRUE(events.chunks.empty());
}

TEST_F(OpenPort, AVanishedDeviceRequestsHangupOnceAndThreadsDoNotSpin) {
    pty.send({9, 8, 7});
    RunFor(20);
    pty.closeMaster();
    ASSERT_TRUE(RunUntil([&] { return events.hangups == 1; }));
    EXPECT_EQ(events.received(), (Bytes{9, 8, 7}));  // what came before is still delivered
    EXPECT_TRUE(comm.isOpen());                       // until the owner closes it

    const double cpuBefore = ProcessCpuSeconds();
    RunFor(300);
    EXPECT_LT(ProcessCpuSeconds() - cpuBefore, 0.15);
    EXPECT_EQ(events.hangups, 1);

    // The writer meets the dead line at its next write, reports it and ends; after that
    // nothing more is accepted.
    const uint8_t byte = 0x33;
    EXPECT_TRUE(comm.WriteData(&byte, 1));
    ASSERT_TRUE(RunUntil([&] { return events.hangups == 2; }));
    EXPECT_FALSE(comm.WriteData(&byte, 1));

    const auto start = SteadyClock::now();
    comm.ClosePort();
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    EXPECT_LT(ms, 1000.0);
    EXPECT_FALSE(comm.isOpen());
}

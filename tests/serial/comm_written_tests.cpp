// What leaves the port: each buffer reported written in order, buffers taken back before they
// begin, and a pseudo-terminal kept at the pace of the line it stands for.
#include "pty_support.h"

#include <gtest/gtest.h>

#include <iostream>

namespace {

class Written : public ::testing::Test {
protected:
    void SetUp() override { open(); }
    void open() {
        ApplyComm1Defaults(comm);  // 4800 baud 8N1: a 9-byte frame is 18.75 ms on the line
        comm.setCommName(pty.slavePath());
        // Buffers written and write-empties (an empty entry) in the order they were raised.
        comm.OnDataWritten = [&](TComm*, const uint8_t* b, uint16_t n) { log.emplace_back(b, b + n); };
        comm.OnSendDataEmpty = [&](TComm*) { log.emplace_back(); };
        comm.OpenPort();
        ASSERT_TRUE(RunUntil([&] { return !log.empty(); }));
        log.clear();
    }
    void write(const Bytes& b) { ASSERT_TRUE(comm.WriteData(b.data(), uint16_t(b.size()))); }
    // The last buffer written is b, and a write-empty has followed it.
    bool endsWith(const Bytes& b) const { return log.size() >= 2 && log[log.size() - 2] == b && log.back().empty(); }

    PseudoTerminal pty;
    TComm comm;
    EventRecorder events{comm};
    std::vector<Bytes> log;
};

}  // namespace

// Whatever the moment of the purge, every buffer is either written (reported once, in order) or
// returned, in the order handed over; the buffer under way still leaves, a write-empty follows
// the last write, and the buffer written next is the next on the line.
TEST_F(Written, EachBufferIsWrittenOrReturnedInOrderAndTheNextWriteIsNext) {
    enum class When { Never, HeldByXoff, AtTheFirstWrittenEvent, RightAfterQueuing };
    struct Case {
        const char* what;
        When when;
        size_t frameSize, writtenMin, writtenMax;  // written: before the purge, written or under way
    };
    const Case cases[] = {
        {"no purge", When::Never, 9, 6, 6},
        {"the first held by XOFF", When::HeldByXoff, 9, 1, 1},
        // 48 bytes are 100 ms on the line: the second is under way when the first is reported.
        {"from the first written event", When::AtTheFirstWrittenEvent, 48, 1, 2},
        {"at once, the writer maybe not yet begun", When::RightAfterQueuing, 9, 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.when == When::HeldByXoff) {
            comm.setOutx_XonXoffFlow(true);
            pty.send({19, 0x7E});  // XOFF, and a marker that shows it has been taken in
            ASSERT_TRUE(RunUntil([&] { return !events.chunks.empty(); }));
        }
        std::vector<Bytes> queued, purged;
        bool purgedYet = c.when == When::Never;
        auto purge = [&] {
            purged = comm.PurgeOutput();
            purgedYet = true;
        };
        if (c.when == When::AtTheFirstWrittenEvent) {
            comm.OnDataWritten = [&](TComm*, const uint8_t* b, uint16_t n) {
                log.emplace_back(b, b + n);
                if (!purgedYet) purge();
            };
        }
        for (uint8_t i = 1; i <= 6; ++i) {
            queued.emplace_back(c.frameSize, uint8_t(0x10 * i));
            write(queued.back());
        }
        if (c.when == When::HeldByXoff) RunFor(100);  // the writer takes the first and is held
        if (!purgedYet && c.when != When::AtTheFirstWrittenEvent) purge();
        ASSERT_TRUE(RunUntil([&] { return purgedYet; }));
        if (c.when == When::HeldByXoff) {
            EXPECT_FALSE(comm.SendDataEmpty()) << "the first is still under way";
        } else {
            ASSERT_TRUE(RunUntil([&] { return !log.empty() && log.back().empty() && comm.SendDataEmpty(); }));
        }
        const Bytes next(9, 0x5A);
        write(next);
        if (c.when == When::HeldByXoff) pty.send({17});  // XON
        ASSERT_TRUE(RunUntil([&] { return endsWith(next); }, 5000));
        RunFor(60);  // nothing more comes
        EXPECT_TRUE(endsWith(next));

        std::vector<Bytes> written;
        Bytes expected;
        for (const Bytes& e : log) {
            if (!e.empty() && e != next) written.push_back(e);
            expected.insert(expected.end(), e.begin(), e.end());
        }
        EXPECT_GE(written.size(), c.writtenMin);
        EXPECT_LE(written.size(), c.writtenMax);
        std::vector<Bytes> all = written;
        all.insert(all.end(), purged.begin(), purged.end());
        EXPECT_EQ(all, queued);
        EXPECT_EQ(pty.readExactly(expected.size(), 2000), expected);
        EXPECT_TRUE(pty.readAvailable().empty());
        comm.ClosePort();  // and afresh, as after a port change
        events.chunks.clear();
        open();
    }
}

// A pseudo-terminal takes every byte at once; the line it stands for does not. Frames queued
// together reach the other side one by one at the line's pace, not as one burst.
TEST_F(Written, APseudoTerminalKeepsThePaceOfItsLine) {
    constexpr int Frames = 40;
    for (int i = 0; i < Frames; ++i) write(Bytes(9, uint8_t(i)));
    // Read as the bytes come, without running the event loop: the writer needs none.
    int arrivals = 0;
    const auto start = SteadyClock::now();
    for (size_t got = 0; got < Frames * 9u; ++arrivals) {
        const size_t more = pty.readExactly(1, 2000).size();
        ASSERT_GT(more, 0u) << "the line stopped after " << got << " bytes";
        got += more;
    }
    std::cout << "[ measure  ] 40 frames of 9 bytes at 4800 baud: " << arrivals << " arrivals over "
              << std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count()
              << " ms (the last is due 731.25 ms after the first)" << std::endl;
    EXPECT_GE(arrivals, Frames / 4) << "the frames came in a burst";
    ASSERT_TRUE(RunUntil([&] { return !log.empty() && log.back().empty(); }));
    EXPECT_EQ(log.size(), size_t(Frames + 1));

    // Closing during a buffer's line time ends the wait at once (at 50 baud this one would take
    // over three hours), and the buffer is not reported.
    comm.setBaudRate(50);
    log.clear();
    write(Bytes(65535, 0x33));
    ASSERT_EQ(pty.readExactly(65535, 5000).size(), 65535u);
    comm.ClosePort();
    RunFor(100);
    EXPECT_TRUE(log.empty());
}

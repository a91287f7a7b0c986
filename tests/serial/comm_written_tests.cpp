// What leaves the port: each buffer reported written in order, buffers taken back before they
// begin, and a pseudo-terminal kept at the pace of the line it stands for.
#include "pty_support.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <iostream>
#include <string>

namespace {

constexpr uint8_t Xon = 17, Xoff = 19;

// Written buffers and write-empties in the order the component raised them; "empty" stands for
// a write-empty, anything else is the buffer reported written.
struct WriteLog {
    explicit WriteLog(TComm& comm) { attach(comm); }
    void attach(TComm& comm) {
        comm.OnDataWritten = [this](TComm*, const uint8_t* buffer, uint16_t length) {
            entries.emplace_back(buffer, buffer + length);
            ++written;
        };
        comm.OnSendDataEmpty = [this](TComm*) {
            entries.push_back(Empty());
            ++empties;
        };
    }
    void clear() {
        entries.clear();
        written = empties = 0;
    }
    // The last buffer written is b, and a write-empty has followed it.
    bool endsWith(const Bytes& b) const {
        return entries.size() >= 2 && entries[entries.size() - 2] == b && entries.back().empty();
    }
    static Bytes Empty() { return {}; }
    std::vector<Bytes> entries;
    int written = 0;
    int empties = 0;
};

Bytes frame(size_t size, uint8_t tag) {
    Bytes b(size, tag);
    b.front() = 0xFF;  // a frame header, as on the bus
    return b;
}

Bytes joined(const std::vector<Bytes>& buffers) {
    Bytes all;
    for (const Bytes& b : buffers) all.insert(all.end(), b.begin(), b.end());
    return all;
}

class Written : public ::testing::Test {
protected:
    void SetUp() override {
        ApplyComm1Defaults(comm);  // 4800 baud 8N1: a 9-byte frame is 18.75 ms on the line
        comm.setCommName(pty.slavePath());
        comm.OpenPort();
        ASSERT_TRUE(RunUntil([&] { return log.empties == 1; }));
        log.clear();
    }
    void write(const Bytes& b) { ASSERT_TRUE(comm.WriteData(b.data(), uint16_t(b.size()))); }
    // Holds the output with XOFF; the marker after it, once received, shows it has been taken in.
    void holdOutput() {
        bool marked = false;
        comm.OnReceiveData = [&](TComm*, const uint8_t*, uint16_t) { marked = true; };
        comm.setOutx_XonXoffFlow(true);
        pty.send({Xoff, 0x7E});
        ASSERT_TRUE(RunUntil([&] { return marked; }));
        comm.OnReceiveData = nullptr;
    }

    PseudoTerminal pty;
    TComm comm;
    WriteLog log{comm};
};

}  // namespace

TEST_F(Written, EachBufferIsReportedOnceInOrderBeforeTheWriteEmptyAfterIt) {
    const std::vector<Bytes> frames{frame(9, 1), frame(12, 2), frame(1, 3), frame(9, 4), frame(40, 5)};
    holdOutput();  // all are queued before the first leaves
    for (const Bytes& f : frames) write(f);
    pty.send({Xon});
    EXPECT_EQ(pty.readExactly(joined(frames).size(), 3000), joined(frames));
    ASSERT_TRUE(RunUntil([&] { return log.empties == 1; }));
    std::vector<Bytes> expected = frames;
    expected.push_back(WriteLog::Empty());
    EXPECT_EQ(log.entries, expected);
    EXPECT_TRUE(comm.SendDataEmpty());
}

// Buffers queued behind one under way are taken back; the one under way still leaves and is
// reported, and the buffer written next is the next to leave. Whatever the moment, every buffer
// is either returned or written, in the order handed over, and a write-empty ends it all.
TEST_F(Written, PurgedBuffersNeverLeaveAndTheNextWriteIsNextOnTheLine) {
    enum class When { HeldByXoff, AtTheFirstWrittenEvent, RightAfterQueuing };
    struct Case {
        const char* what;
        When when;
        size_t frameSize;
        size_t beganAtMost;  // buffers written or under way when the purge comes
    };
    const Case cases[] = {
        {"the first held by XOFF", When::HeldByXoff, 9, 1},
        // 48 bytes are 100 ms on the line: the second frame is still under way when the first
        // one's event arrives.
        {"paced, from the first written event", When::AtTheFirstWrittenEvent, 48, 2},
        {"at once, the writer maybe not yet begun", When::RightAfterQueuing, 9, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        if (c.when == When::HeldByXoff) holdOutput();
        std::vector<Bytes> queued;
        for (uint8_t i = 1; i <= 6; ++i) queued.push_back(frame(c.frameSize, uint8_t(0x10 * i)));
        std::vector<Bytes> purged;
        bool purgedYet = false;
        auto purge = [&] {
            purged = comm.PurgeOutput();
            purgedYet = true;
        };
        if (c.when == When::AtTheFirstWrittenEvent) {
            auto record = comm.OnDataWritten;
            comm.OnDataWritten = [&, record](TComm* sender, const uint8_t* b, uint16_t n) {
                record(sender, b, n);
                if (!purgedYet) purge();
            };
        }
        for (const Bytes& f : queued) write(f);
        if (c.when == When::HeldByXoff) RunFor(100);  // the writer takes the first and is held
        if (c.when != When::AtTheFirstWrittenEvent) purge();
        ASSERT_TRUE(RunUntil([&] { return purgedYet; }));

        const Bytes stop = frame(9, 0x5A);
        write(stop);
        if (c.when == When::HeldByXoff) pty.send({Xon});
        ASSERT_TRUE(RunUntil([&] { return log.endsWith(stop); }));
        RunFor(60);  // nothing more comes

        // Written before the purge: the oldest buffers, each reported once, none of those taken back.
        std::vector<Bytes> written;
        for (const Bytes& e : log.entries)
            if (!e.empty()) written.push_back(e);
        ASSERT_FALSE(written.empty());
        ASSERT_EQ(written.back(), stop);
        written.pop_back();
        EXPECT_LE(written.size(), c.beganAtMost);
        std::vector<Bytes> all = written;
        all.insert(all.end(), purged.begin(), purged.end());
        EXPECT_EQ(all, queued) << "each buffer is written or returned, in the order handed over";
        if (c.when == When::HeldByXoff) {
            EXPECT_EQ(written, std::vector<Bytes>{queued.front()});
        }

        // The other end sees the buffers written and then the next one, nothing of the rest.
        Bytes expected = joined(written);
        expected.insert(expected.end(), stop.begin(), stop.end());
        EXPECT_EQ(pty.readExactly(expected.size(), 2000), expected);
        EXPECT_TRUE(pty.readAvailable().empty());
        EXPECT_TRUE(log.endsWith(stop)) << "a write-empty follows the last write";
        EXPECT_TRUE(comm.SendDataEmpty());
        log.attach(comm);
        comm.setOutx_XonXoffFlow(false);
    }
}

// A pseudo-terminal takes every byte at once; the line it stands for does not. Frames queued
// together reach the other side one by one at the line's pace, not as one burst.
TEST_F(Written, APseudoTerminalKeepsThePaceOfItsLine) {
    struct Case {
        uint32_t baud;
        size_t frameSize;
    };
    for (const Case c : {Case{4800, 9}, Case{19200, 12}}) {
        SCOPED_TRACE(c.baud);
        comm.setBaudRate(c.baud);
        log.clear();
        constexpr int Frames = 40;
        for (int i = 0; i < Frames; ++i) write(frame(c.frameSize, uint8_t(i)));

        // Read as the bytes come, without running the event loop: the writer needs none.
        const size_t total = Frames * c.frameSize;
        size_t got = 0;
        int batches = 0;
        const auto start = SteadyClock::now();
        while (got < total) {
            const Bytes more = pty.readExactly(1, 2000);
            ASSERT_FALSE(more.empty()) << "the line stopped after " << got << " bytes";
            got += more.size();
            ++batches;
        }
        const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
        std::cout << "[ measure  ] " << Frames << " frames of " << c.frameSize << " bytes at " << c.baud
                  << " baud: " << batches << " arrivals over " << ms << " ms (the last is due "
                  << (Frames - 1) * c.frameSize * 10 * 1000.0 / c.baud << " ms after the first)" << std::endl;
        EXPECT_GE(batches, Frames / 4) << "the frames came in a burst";

        ASSERT_TRUE(RunUntil([&] { return log.empties == 1; }));
        EXPECT_EQ(log.written, Frames);
        EXPECT_TRUE(log.entries.back().empty());
    }
}

// Closing during a buffer's line time ends the wait at once, and the buffer is not reported: at
// 50 baud this one would take over three hours to leave.
TEST_F(Written, ClosingDuringTheLineTimeEndsItAndReportsNothing) {
    comm.setBaudRate(50);
    const Bytes big(65535, 0x33);
    write(big);
    ASSERT_EQ(pty.readExactly(big.size(), 5000).size(), big.size());
    const auto start = SteadyClock::now();
    comm.ClosePort();
    std::cout << "[ measure  ] close during a line time: "
              << std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count() << " ms" << std::endl;
    RunFor(100);
    EXPECT_EQ(log.written, 0);
    EXPECT_FALSE(comm.isOpen());
}

// A chunk handed over at its expected size, the count of bytes received, the adapter's latency.
#include "pty_support.h"

#include "serial/adapterlatency.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

TEST(CommChunkBytes, AChunkGoesAtItsCountOrAtTheReadIntervalAndItsBytesAreCountedFirst) {
    // Bytes written 30 ms apart; the chunk sizes handed over; the first well before the interval.
    const struct { const char* label; uint16_t count; std::vector<Bytes> sends;
                   std::vector<size_t> chunks; bool early; } cases[] = {
        {"a whole frame at once", 9, {Bytes(9, 1)}, {9}, true},
        {"a frame paced byte by byte", 9, {{1}, {2}, {3}, {4}, {5}, {6}, {7}, {8}, {9}}, {9}, true},
        {"one read that brings more keeps it all", 9, {Bytes(12, 1)}, {12}, true},
        {"the bytes after it start the next chunk", 9, {Bytes(9, 1), {1, 2, 3}}, {9, 3}, true},
        {"dropped nulls count for nothing", 3, {{0, 1, 0, 2, 0, 3}}, {3}, true},
        {"a short frame waits for the interval", 9, {{1, 2, 3, 4}}, {4}, false},
        {"count 0: the interval alone", 0, {Bytes(9, 1)}, {9}, false},
    };
    for (const auto& c : cases) {
        PseudoTerminal pty;
        TComm comm;
        EventRecorder events{comm};
        comm.setCommName(pty.slavePath());
        comm.setIgnoreNullChar(true);
        comm.OpenPort();
        comm.setReadIntervalTimeout(600);  // both count on the open port
        comm.setChunkBytes(c.count);
        for (const Bytes& b : c.sends) { usleep(30000); pty.send(b); }
        const auto sent = SteadyClock::now();
        ASSERT_TRUE(RunUntil([&] { return comm.receivedBytes() > 0; }, 400)) << c.label;
        EXPECT_TRUE(c.early || events.chunks.empty()) << c.label;  // the reader still holds them
        ASSERT_TRUE(RunUntil([&] { return events.chunks.size() >= c.chunks.size(); }, 5000)) << c.label;
        std::vector<size_t> sizes;
        for (const Bytes& chunk : events.chunks) sizes.push_back(chunk.size());
        EXPECT_EQ(sizes, c.chunks) << c.label;
        EXPECT_EQ(events.chunkTimes[0] - sent < std::chrono::milliseconds(400), c.early) << c.label;
        EXPECT_EQ(comm.receivedBytes(), events.received().size()) << c.label;
        comm.ClosePort();
        EXPECT_EQ(comm.receivedBytes(), 0u);
    }
}

TEST(AdapterLatency, TheTimerOfTheTtyBehindThePathIsRead) {
    QTemporaryDir root;
    const QString dev = root.path() + "/dev/", sys = root.path() + "/sys", timers = sys + "/bus/usb-serial/devices/";
    for (const char* tty : {"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyS0"}) QDir().mkpath(dev + tty);  // stand-ins
    for (auto [tty, text] : {std::pair{"ttyUSB0", "16\n"}, {"ttyUSB1", "sixteen"}, {"ttyUSB2", "256"}}) {
        QDir().mkpath(timers + tty);
        QFile timer(timers + tty + "/latency_timer");
        ASSERT_TRUE(timer.open(QIODevice::WriteOnly) && timer.write(text) > 0);
    }
    ASSERT_TRUE(QFile::link("ttyUSB0", dev + "usb-FTDI-if00") && QFile::link("ttyUSB9", dev + "unplugged"));
    const std::optional<int> none;
    const std::pair<QString, std::optional<int>> cases[] = {
        {dev + "ttyUSB0", 16},   {dev + "usb-FTDI-if00", 16}, {dev + "ttyS0", none},     {dev + "ttyUSB1", none},
        {dev + "ttyUSB2", none}, {dev + "unplugged", none},   {"tcp://10.0.0.5:4001", none},
    };
    for (const auto& [path, ms] : cases) EXPECT_EQ(UsbSerialLatencyMs(path, sys), ms) << path.toStdString();
}

// Opening and closing: the exact failure texts, exclusivity, and nothing left behind.
#include "pty_support.h"

#include <QTemporaryFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

std::string OpenError(TComm& comm) {
    try {
        comm.OpenPort();
    } catch (const ECommsError& e) {
        return e.what();
    }
    return {};
}

struct BadName {
    const char* label;
    QString path;
    const char* message;
};

}  // namespace

TEST(CommOpen, NamesThatAreNoSerialPortFailCleanly) {
    QTemporaryFile regular;
    ASSERT_TRUE(regular.open());
    const std::vector<BadName> cases = {
        {"null device", QStringLiteral("/dev/null"), "File handle is not a comm handle "},
        {"regular file", regular.fileName(), "File handle is not a comm handle "},
        {"absent device", QStringLiteral("/dev/tarvello-no-such-port"), "Error opening serial port"},
        {"directory", QStringLiteral("/"), "Error opening serial port"},
        {"COM name without a device", QStringLiteral("COM99999"), "Error opening serial port"},
    };
    for (const BadName& c : cases) {
        SCOPED_TRACE(c.label);
        const int fdsBefore = OpenDescriptorCount();
        const int threadsBefore = ThreadCount();
        TComm comm;
        comm.setCommName(c.path);
        EXPECT_EQ(OpenError(comm), c.message);
        EXPECT_FALSE(comm.isOpen());
        EXPECT_EQ(OpenDescriptorCount(), fdsBefore);
        EXPECT_EQ(ThreadCount(), threadsBefore);
        const uint8_t byte = 0x55;
        EXPECT_FALSE(comm.WriteData(&byte, 1));
    }
}

TEST(CommOpen, APortInUseIsRefusedToEveryoneElse) {
    PseudoTerminal pty;
    TComm first;
    first.setCommName(pty.slavePath());
    EventRecorder events(first);
    first.OpenPort();

    EXPECT_EQ(OpenError(first), "This serial port already opened");
    TComm second;
    second.setCommName(pty.slavePath());
    EXPECT_EQ(OpenError(second), "Error opening serial port");
    EXPECT_FALSE(second.isOpen());

    // The refused attempts left the open port as it was.
    ASSERT_TRUE(first.isOpen());
    const Bytes frame = {0xFF, 0xAC, 0xE1, 0xE0, 0x00, 0x01, 0x0D, 0x02, 0xDB};
    ASSERT_TRUE(first.WriteData(frame.data(), uint16_t(frame.size())));
    EXPECT_EQ(pty.readExactly(frame.size(), 3000), frame);

    first.ClosePort();
    second.OpenPort();
    EXPECT_TRUE(second.isOpen());
    second.ClosePort();

    // Someone outside the component holding the port (with a lock) keeps it out as well.
    const int other = ::open(pty.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(OpenError(second), "Error opening serial port");
    ::close(other);
    second.OpenPort();
    EXPECT_TRUE(second.isOpen());
}

// Descriptors run out at each step of the open: whatever was made up to there is undone.
TEST(CommOpen, FailuresHalfWayThroughLeaveNothingBehind) {
    PseudoTerminal pty;
    struct Step {
        int freeDescriptors;
        const char* message;
    };
    const Step steps[] = {
        {0, "Error opening serial port"},
        {1, "Unable to create event"},
        {2, "Unable to create write thread"},  // after the reader has already started
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.message);
        TComm comm;
        comm.setCommName(pty.slavePath());
        EventRecorder events(comm);
        const int fdsBefore = OpenDescriptorCount();
        const int threadsBefore = ThreadCount();

        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit tight = saved;
        tight.rlim_cur = rlim_t(fdsBefore + 64);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
        std::vector<int> fillers;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
        ASSERT_GE(fillers.size(), size_t(step.freeDescriptors));
        for (int i = 0; i < step.freeDescriptors; ++i) {
            ::close(fillers.back());
            fillers.pop_back();
        }

        const std::string error = OpenError(comm);

        for (int fd : fillers) ::close(fd);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

        EXPECT_EQ(error, step.message);
        EXPECT_FALSE(comm.isOpen());
        EXPECT_EQ(OpenDescriptorCount(), fdsBefore);
        EXPECT_EQ(ThreadCount(), threadsBefore);
        RunFor(50);
        EXPECT_EQ(events.sendEmpty + events.hangups + int(events.chunks.size()), 0);

        // The port was released: it opens normally afterwards.
        comm.OpenPort();
        EXPECT_TRUE(comm.isOpen());
        comm.ClosePort();
    }
}

TEST(CommOpen, ReopensAfterCloseAndDropsWhatTheFormerOpenLeftQueued) {
    PseudoTerminal pty;
    TComm comm;
    comm.setCommName(pty.slavePath());
    comm.setReadIntervalTimeout(20);
    EventRecorder events(comm);
    const int fdsBefore = OpenDescriptorCount();
    const int threadsBefore = ThreadCount();

    comm.ClosePort();  // closed already: nothing happens
    comm.OpenPort();
    // A chunk and the first write-empty are posted but not yet handled when the port closes.
    pty.send({1, 2, 3});
    usleep(300 * 1000);
    comm.ClosePort();
    comm.ClosePort();
    EXPECT_EQ(OpenDescriptorCount(), fdsBefore);
    EXPECT_EQ(ThreadCount(), threadsBefore);
    RunFor(100);
    EXPECT_TRUE(events.chunks.empty());
    EXPECT_EQ(events.sendEmpty, 0);

    // The same across a reopen: the new open reports only its own events.
    comm.OpenPort();
    pty.send({4, 5});
    usleep(300 * 1000);
    comm.ClosePort();
    comm.OpenPort();
    ASSERT_TRUE(RunUntil([&] { return events.sendEmpty == 1; }));
    pty.send({6});
    ASSERT_TRUE(RunUntil([&] { return !events.chunks.empty(); }));
    EXPECT_EQ(events.received(), Bytes{6});
    const Bytes frame = {0x10, 0x20};
    ASSERT_TRUE(comm.WriteData(frame.data(), 2));
    EXPECT_EQ(pty.readExactly(2, 3000), frame);
}

TEST(CommOpen, DestroyingAnOpenComponentClosesIt) {
    PseudoTerminal pty;
    const int fdsBefore = OpenDescriptorCount();
    const int threadsBefore = ThreadCount();
    {
        TComm comm;
        comm.setCommName(pty.slavePath());
        comm.OpenPort();
    }
    EXPECT_EQ(OpenDescriptorCount(), fdsBefore);
    EXPECT_EQ(ThreadCount(), threadsBefore);
    RunFor(20);  // events the threads posted die with the component
}

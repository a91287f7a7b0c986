// Line settings as the port sees them, and when they are (re-)applied.
// A pseudo-terminal keeps every setting but two: it always reports eight data bits and no
// parity enable, so data size and PARENB cannot be seen here (odd/mark/space still can).
#include "pty_support.h"

#include "serial/posix_baud.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct LineCase {
    const char* label;
    std::function<void(TComm&)> change;
    std::function<bool(const termios&)> holds;
};

bool Raw(const termios& t) {
    return !(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(t.c_oflag & OPOST) &&
           !(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP)) && (t.c_cflag & CREAD) && (t.c_cflag & CLOCAL) &&
           t.c_cc[VMIN] == 1 && t.c_cc[VTIME] == 0;
}

}  // namespace

TEST(CommSettings, ComponentAndComm1DefaultsReachTheLine) {
    PseudoTerminal pty;
    TComm comm;
    comm.setCommName(pty.slavePath());
    comm.OpenPort();
    termios t = pty.slaveSettings();
    EXPECT_TRUE(Raw(t));
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD | CSTOPB | CRTSCTS), tcflag_t(0));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), tcflag_t(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 17);
    EXPECT_EQ(t.c_cc[VSTOP], 19);
    comm.ClosePort();

    TComm comm1;
    ApplyComm1Defaults(comm1);
    EXPECT_EQ(comm1.CommName(), QStringLiteral("COM1"));
    EXPECT_EQ(comm1.ReadIntervalTimeout(), 100u);
    comm1.setCommName(pty.slavePath());
    comm1.OpenPort();
    t = pty.slaveSettings();
    EXPECT_TRUE(Raw(t));
    EXPECT_EQ(cfgetospeed(&t), speed_t(B4800));
    EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD | CSTOPB | CRTSCTS), tcflag_t(0));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), tcflag_t(0));
}

TEST(CommSettings, ChangesOnAnOpenPortAreAppliedAtOnce) {
    const std::vector<LineCase> cases = {
        {"baud 19200", [](TComm& c) { c.setBaudRate(19200); },
         [](const termios& t) { return cfgetospeed(&t) == B19200 && cfgetispeed(&t) == B19200; }},
        {"baud 115200", [](TComm& c) { c.setBaudRate(115200); },
         [](const termios& t) { return cfgetospeed(&t) == B115200; }},
        {"two stop bits", [](TComm& c) { c.setStopBits(TStopBits::_2); },
         [](const termios& t) { return (t.c_cflag & CSTOPB) != 0; }},
        {"one and a half stop bits", [](TComm& c) { c.setStopBits(TStopBits::_1_5); },
         [](const termios& t) { return (t.c_cflag & CSTOPB) != 0; }},
        {"CTS flow", [](TComm& c) { c.setOutx_CtsFlow(true); },
         [](const termios& t) { return (t.c_cflag & CRTSCTS) != 0; }},
        {"RTS handshake", [](TComm& c) { c.setRtsControl(TRtsControl::RtsHandshake); },
         [](const termios& t) { return (t.c_cflag & CRTSCTS) != 0; }},
        {"parity check", [](TComm& c) { c.setParityCheck(true); },
         [](const termios& t) { return (t.c_iflag & INPCK) != 0; }},
        {"no output flow", [](TComm& c) { c.setOutx_XonXoffFlow(false); },
         [](const termios& t) { return (t.c_iflag & (IXON | IXOFF)) == IXOFF; }},
        {"no input flow", [](TComm& c) { c.setInx_XonXoffFlow(false); },
         [](const termios& t) { return (t.c_iflag & (IXON | IXOFF)) == IXON; }},
        {"flow characters", [](TComm& c) { c.setXonChar(0x05); c.setXoffChar(0x06); },
         [](const termios& t) { return t.c_cc[VSTART] == 0x05 && t.c_cc[VSTOP] == 0x06; }},
    };
    PseudoTerminal pty;
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.label);
        TComm comm;
        comm.setCommName(pty.slavePath());
        comm.OpenPort();
        ASSERT_FALSE(c.holds(pty.slaveSettings()));
        c.change(comm);
        EXPECT_TRUE(c.holds(pty.slaveSettings()));
        EXPECT_TRUE(Raw(pty.slaveSettings()));
    }
}

TEST(CommSettings, ARateWithoutAConstantIsSetExactly) {
    PseudoTerminal pty;
    // Opened first: once the component has the port, only root may open it besides.
    const int slave = ::open(pty.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    TComm comm;
    comm.setCommName(pty.slavePath());
    comm.setBaudRate(14400);
    comm.OpenPort();
    EXPECT_EQ(tarvello::posix::OutputBaud(slave), 14400u);
    comm.setBaudRate(9600);
    EXPECT_EQ(tarvello::posix::OutputBaud(slave), 9600u);
    ::close(slave);
}

TEST(CommSettings, SettingTheCurrentValueChangesNothing) {
    PseudoTerminal pty;
    TComm comm;
    comm.setCommName(pty.slavePath());
    comm.OpenPort();
    // Someone else alters the line; storing the same values must not put ours back.
    termios altered = pty.slaveSettings();
    cfsetospeed(&altered, B1200);
    cfsetispeed(&altered, B1200);
    altered.c_cc[VSTART] = 0x01;
    pty.setSlaveSettings(altered);
    comm.setBaudRate(comm.BaudRate());
    comm.setXonChar(comm.XonChar());
    comm.setParityCheck(comm.ParityCheck());
    comm.setReadIntervalTimeout(comm.ReadIntervalTimeout());
    termios t = pty.slaveSettings();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B1200));
    EXPECT_EQ(t.c_cc[VSTART], 0x01);
    // A real change re-applies the whole group.
    comm.setXonLimit(400);
    t = pty.slaveSettings();
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_EQ(t.c_cc[VSTART], 17);
}

TEST(CommSettings, ParityCountsFromTheNextOpen) {
    struct ParityCase {
        TParity parity;
        tcflag_t flags;
    };
    // Even shows as None here (see the note at the top).
    const ParityCase cases[] = {
        {TParity::Odd, PARODD},
        {TParity::Mark, PARODD | CMSPAR},
        {TParity::None, 0},
        {TParity::Space, CMSPAR},
    };
    constexpr tcflag_t parityBits = PARODD | CMSPAR;
    PseudoTerminal pty;
    TComm comm;
    comm.setCommName(pty.slavePath());
    for (const ParityCase& c : cases) {
        SCOPED_TRACE(int(c.parity));
        comm.setParity(c.parity);
        comm.OpenPort();
        EXPECT_EQ(pty.slaveSettings().c_cflag & parityBits, c.flags);

        // Changed while open: not even a re-apply of the other settings brings it in.
        comm.setParity(c.parity == TParity::Mark ? TParity::Space : TParity::Mark);
        comm.setBaudRate(comm.BaudRate() == 9600 ? 19200 : 9600);
        EXPECT_EQ(pty.slaveSettings().c_cflag & parityBits, c.flags);
        comm.ClosePort();
    }
    comm.setParity(TParity::Odd);
    comm.OpenPort();
    EXPECT_EQ(pty.slaveSettings().c_cflag & parityBits, tcflag_t(PARODD));
}

TEST(CommSettings, TheNameCountsFromTheNextOpen) {
    PseudoTerminal first, second;
    TComm comm;
    comm.setCommName(first.slavePath());
    comm.OpenPort();
    comm.setCommName(second.slavePath());
    const uint8_t byte = 0x42;
    ASSERT_TRUE(comm.WriteData(&byte, 1));
    EXPECT_EQ(first.readExactly(1, 3000), Bytes{byte});
    comm.ClosePort();
    comm.OpenPort();
    ASSERT_TRUE(comm.WriteData(&byte, 1));
    EXPECT_EQ(second.readExactly(1, 3000), Bytes{byte});
}

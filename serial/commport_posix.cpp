// The port layer on Linux: a tty file descriptor configured through termios.
#include "serial/commport.h"
#include "serial/netlink.h"
#include "serial/posix_baud.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <linux/major.h>
#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace tarvello {

namespace {

speed_t speedConstant(uint32_t baud) {
    switch (baud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1152000: return B1152000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    case 2500000: return B2500000;
    case 3000000: return B3000000;
    case 3500000: return B3500000;
    case 4000000: return B4000000;
    default: return B0;
    }
}

tcflag_t sizeFlag(TByteSize size) {
    switch (size) {
    case TByteSize::_5: return CS5;
    case TByteSize::_6: return CS6;
    case TByteSize::_7: return CS7;
    case TByteSize::_8: return CS8;
    }
    return CS8;
}

tcflag_t parityFlags(TParity parity) {
    switch (parity) {
    case TParity::None: return 0;
    case TParity::Odd: return PARENB | PARODD;
    case TParity::Even: return PARENB;
    case TParity::Mark: return PARENB | CMSPAR | PARODD;
    case TParity::Space: return PARENB | CMSPAR;
    }
    return 0;
}

void setModemLine(int fd, int line, bool on) {
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);  // not every driver has modem lines
}

// Told by the device number the kernel gave the opened terminal, not by its name: a port name may
// be a link (socat's, or one made for [PORTS]) and devpts may be mounted elsewhere. Unix98
// pseudo-terminal slaves (/dev/pts/N) have majors 136 to 143, the old BSD ones (/dev/ttyXY)
// major 3. Masters are not ports anybody opens.
bool isPseudoTerminalDevice(int fd) {
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned int number = major(st.st_rdev);
    return (number >= UNIX98_PTY_SLAVE_MAJOR && number < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT) ||
           number == PTY_SLAVE_MAJOR;
}

}  // namespace

static_assert(NetLink::OpenTimeLimitMs == TComm::NetworkOpenLimitMs, "one time limit for a network open");

CommPort::CommPort(int fd) : m_fd(fd) {}
CommPort::CommPort(std::unique_ptr<NetLink> net) : m_fd(net->fd()), m_net(std::move(net)) {}

CommPort::OpenStatus CommPort::open(const QString& path, std::unique_ptr<CommPort>& port, QString* failure) {
    if (NetLink::isNetworkName(path)) return openNetwork(path, port, failure);
    const QByteArray native = path.toLocal8Bit();
    const int fd = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return OpenStatus::Failed;

    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        ::close(fd);
        return OpenStatus::NotAComm;
    }
    // The port is ours alone. TIOCEXCL turns away other openers (except root); the lock also
    // catches root and a second open from this very process.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return OpenStatus::Failed;
    }
    ioctl(fd, TIOCEXCL);
    port.reset(new CommPort(fd));
    port->m_pseudoTerminal = isPseudoTerminalDevice(fd);
    return OpenStatus::Opened;
}

CommPort::~CommPort() {
    if (m_net) return;  // the link closes its socket
    // Exclusivity is a property of the tty, not of our descriptor: give it up explicitly, or
    // the device stays barred while anyone else still holds it open.
    ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);  // also drops the lock
}

bool CommPort::setupQueues(uint32_t, uint32_t) {
    return true;  // tty buffers are sized by the kernel; nothing to ask for
}

ssize_t CommPort::readSome(uint8_t* buffer, size_t size) {
    return m_net ? m_net->readSome(buffer, size) : ::read(m_fd, buffer, size);
}

ssize_t CommPort::writeSome(const uint8_t* buffer, size_t size) {
    return ::write(m_fd, buffer, size);
}

ssize_t CommPort::writeWhole(const uint8_t* buffer, size_t size, net::Socket stopFd) {
    return m_net->writeWhole(buffer, size, stopFd);
}

int CommPort::unsentBytes() const {
    return m_net ? m_net->unsentBytes() : 0;
}

void CommPort::purge(bool input, bool output) {
    // Bytes already in a device server cannot be called back; what the threads hold is
    // dropped by the threads themselves.
    if (m_net) return;
    // An output queue that is already empty has nothing to drop. Flushing it anyway harms on a
    // pseudo-terminal, whose output flush discards what the other side has not read yet: a last
    // frame written and reported sent would be lost when the port closes.
    if (output) {
        int queued = 0;
        if (ioctl(m_fd, TIOCOUTQ, &queued) == 0 && queued == 0) output = false;
    }
    if (input && output)
        tcflush(m_fd, TCIOFLUSH);
    else if (input)
        tcflush(m_fd, TCIFLUSH);
    else if (output)
        tcflush(m_fd, TCOFLUSH);
}

void CommPort::applyTimeouts(const CommTimeouts& timeouts) {
    // Reads are timed by the reader itself; write time-outs have nothing to act on, since every
    // write is completed in full.
    m_readInterval = timeouts.readInterval;
    m_readTotalMultiplier = timeouts.readTotalMultiplier;
    m_readTotalConstant = timeouts.readTotalConstant;
    m_chunkBytes = timeouts.chunkBytes;
}

void CommPort::applyLineSettings(const LineSettings& s) {
    // A setting the driver refuses is not reported, as on Windows.
    m_ignoreNull = s.ignoreNullChar;
    m_baudRate = s.baudRate;
    m_byteTimeMicros = LineByteTimeMicros(s);
    if (m_net) {
        m_net->applyLineSettings(s);
        return;
    }

    termios tio{};
    if (tcgetattr(m_fd, &tio) != 0) return;
    // Raw, binary transfer: no translation, no echo, no signals, bytes handed over as they come.
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                     INPCK | IGNPAR | IMAXBEL | IUCLC);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    // Modem status lines do not gate the port (carrier loss neither blocks nor hangs it up).
    tio.c_cflag |= CREAD | CLOCAL | sizeFlag(s.byteSize) | parityFlags(s.parity);
    if (s.stopBits != TStopBits::_1) tio.c_cflag |= CSTOPB;  // one and a half is sent as two
    if (s.outxCtsFlow || s.rtsControl == TRtsControl::RtsHandshake) tio.c_cflag |= CRTSCTS;
    if (s.parityCheck) tio.c_iflag |= INPCK;  // a byte with a parity error is then passed as 0
    if (s.outxXonXoffFlow) tio.c_iflag |= IXON;
    if (s.inxXonXoffFlow) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
    // A non-blocking read then answers EAGAIN when nothing is there, and 0 only at hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    const speed_t speed = speedConstant(s.baudRate);
    if (speed != B0) {
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }
    tcsetattr(m_fd, TCSANOW, &tio);
    if (speed == B0 && s.baudRate != 0) posix::SetArbitraryBaud(m_fd, s.baudRate);

    // DTR handshake has no equivalent here; the line is simply kept up.
    setModemLine(m_fd, TIOCM_DTR, s.dtrControl != TDtrControl::DtrDisable);
    switch (s.rtsControl) {
    case TRtsControl::RtsEnable:
        setModemLine(m_fd, TIOCM_RTS, true);
        break;
    case TRtsControl::RtsDisable:
        setModemLine(m_fd, TIOCM_RTS, false);
        break;
    case TRtsControl::RtsHandshake:
        break;  // driven by the driver under CRTSCTS
    case TRtsControl::RtsTransmissionAvailable: {
        // RTS up only while sending: the driver's RS-485 mode, where it has one.
        serial_rs485 rs485{};
        if (ioctl(m_fd, TIOCGRS485, &rs485) == 0) {
            rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
            rs485.flags &= ~SER_RS485_RTS_AFTER_SEND;
            ioctl(m_fd, TIOCSRS485, &rs485);
        }
        break;
    }
    }
}

StopSignal::~StopSignal() {
    if (m_fd >= 0) ::close(m_fd);
}

bool StopSignal::create() {
    m_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return m_fd >= 0;
}

void StopSignal::signal() {
    if (m_signalled.exchange(true)) return;
    // Never read back: the descriptor stays readable, so every later wait sees the signal.
    const uint64_t one = 1;
    while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

}  // namespace tarvello

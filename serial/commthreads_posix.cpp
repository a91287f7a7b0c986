// The reader and writer threads on Linux: poll() on the port and on the close event.
#include "serial/commthreads.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

using tarvello::CommEventKind;
using Clock = std::chrono::steady_clock;

namespace {

// How often line-error and modem counters are looked at, where the driver keeps them.
constexpr int CounterPollMs = 100;
// The longest single sleep while waiting for the transmitter to empty.
constexpr int DrainStepMaxMs = 100;

int msUntil(Clock::time_point deadline) {
    // Rounded up, so that the wait never ends just short of the deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Line errors and modem changes, from the counters the serial core keeps. A driver without them
// (a pseudo-terminal, for one) is simply not watched.
class CounterWatch {
public:
    explicit CounterWatch(int fd) : m_fd(fd) { m_active = ioctl(m_fd, TIOCGICOUNT, &m_last) == 0; }
    bool active() const { return m_active; }

    // Line-error bits and modem bits that changed since the last look.
    void poll(uint32_t& errors, uint32_t& modem) {
        errors = modem = 0;
        if (!m_active) return;
        serial_icounter_struct now{};
        if (ioctl(m_fd, TIOCGICOUNT, &now) != 0) {
            m_active = false;  // the port itself going away is seen by the read side
            return;
        }
        if (now.buf_overrun != m_last.buf_overrun) errors |= tarvello::LineErrorInputOverflow;
        if (now.overrun != m_last.overrun) errors |= tarvello::LineErrorOverrun;
        if (now.parity != m_last.parity) errors |= tarvello::LineErrorParity;
        if (now.frame != m_last.frame) errors |= tarvello::LineErrorFraming;
        if (now.brk != m_last.brk) errors |= tarvello::LineErrorBreak;
        if (now.rng != m_last.rng) modem |= tarvello::ModemRing;
        if (now.dcd != m_last.dcd) modem |= tarvello::ModemCarrierDetect;
        m_last = now;
    }

private:
    int m_fd;
    bool m_active = false;
    serial_icounter_struct m_last{};
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Reader

// A chunk ends when the read interval passes without a further byte, when the read total (from
// the chunk's first byte) has run out, when it holds the chunk count's bytes (at once, and with
// all that the read brought), or when the buffer is full. With an interval of MAXDWORD
// and no totals, whatever one read brings is a chunk; with neither interval nor totals, only a
// full buffer ends one, as on Windows.
void TReadThread::run() {
    const int fd = m_port.fd();
    uint8_t buffer[tarvello::ReadBufferSize];
    size_t count = 0;
    Clock::time_point firstByte, lastByte;
    CounterWatch counters(fd);

    auto flushChunk = [&] {
        if (count > 0) deliver(buffer, count);
        count = 0;
    };
    auto chunkDeadline = [&](bool& immediate) {
        const uint16_t wanted = m_port.chunkBytes();
        immediate = wanted != 0 && count >= wanted;
        if (immediate) return Clock::time_point::max();
        const uint32_t interval = m_port.readInterval();
        const uint64_t total = uint64_t(m_port.readTotalMultiplier()) * tarvello::ReadBufferSize +
                               m_port.readTotalConstant();
        if (interval == UINT32_MAX && total == 0) {
            immediate = true;
            return Clock::time_point::max();
        }
        Clock::time_point deadline = Clock::time_point::max();
        if (interval != 0 && interval != UINT32_MAX) deadline = lastByte + std::chrono::milliseconds(interval);
        if (total != 0) deadline = std::min(deadline, firstByte + std::chrono::milliseconds(total));
        return deadline;
    };

    for (;;) {
        int timeout = -1;
        if (count > 0) {
            bool immediate = false;
            const Clock::time_point deadline = chunkDeadline(immediate);
            if (immediate || (deadline != Clock::time_point::max() && Clock::now() >= deadline)) {
                flushChunk();
                continue;
            }
            if (deadline != Clock::time_point::max()) timeout = msUntil(deadline);
        }
        if (counters.active()) timeout = timeout < 0 ? CounterPollMs : std::min(timeout, CounterPollMs);

        pollfd fds[2] = {{m_stop.fd(), POLLIN, 0}, {fd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            m_sink.post(CommEventKind::Hangup);
            break;
        }
        if (fds[0].revents != 0 || m_stop.isSignalled()) break;  // the close event wins

        if (counters.active()) {
            uint32_t errors = 0, modem = 0;
            counters.poll(errors, modem);
            if (errors != 0) m_sink.post(CommEventKind::ReceiveError, errors);
            if (modem != 0) m_sink.post(CommEventKind::ModemState, modem);
        }

        const short revents = fds[1].revents;
        if (revents & POLLIN) {
            const ssize_t n = m_port.readSome(buffer + count, tarvello::ReadBufferSize - count);
            if (n > 0) {
                const Clock::time_point now = Clock::now();
                size_t got = static_cast<size_t>(n);
                if (m_port.ignoreNullChar()) {
                    uint8_t* begin = buffer + count;
                    got = static_cast<size_t>(std::remove(begin, begin + got, uint8_t{0}) - begin);
                }
                if (got > 0) {
                    m_receivedBytes += got;  // before the chunk goes: the owner may look at once
                    if (count == 0) firstByte = now;
                    lastByte = now;
                    count += got;
                    if (count == tarvello::ReadBufferSize) flushChunk();
                }
                continue;
            }
            const bool gone = revents & (POLLHUP | POLLERR);
            if (n < 0 && (errno == EAGAIN || errno == EINTR) && !gone) continue;
            if (n < 0 && errno == EBADF) break;  // the port was closed beneath us: end quietly
            // Read 0 (hung up) or a device error: the port is gone.
            flushChunk();
            m_sink.post(CommEventKind::Hangup);
            break;
        }
        if (revents & POLLNVAL) break;
        if (revents & (POLLHUP | POLLERR)) {
            flushChunk();
            m_sink.post(CommEventKind::Hangup);
            break;
        }
    }
    m_port.purge(true, false);
}

// ---------------------------------------------------------------------------------------------
// Writer

TWriteThread::~TWriteThread() {
    wait();
    if (m_wakeFd >= 0) ::close(m_wakeFd);
}

bool TWriteThread::start() {
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) return false;
    try {
        m_thread = std::thread(&TWriteThread::run, this);
    } catch (const std::system_error&) {
        ::close(m_wakeFd);
        m_wakeFd = -1;
        return false;
    }
    return true;
}

void TWriteThread::wakeUp() {
    const uint64_t one = 1;
    while (::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

TWriteThread::Wake TWriteThread::waitForWork() {
    m_lineFreeAt = {};  // the queue ran dry: the line has gone quiet
    pollfd fds[2] = {{m_stop.fd(), POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) return errno == EINTR ? Wake::Work : Wake::Failed;
    if (fds[0].revents != 0 || m_stop.isSignalled()) return Wake::Stop;
    uint64_t counter;
    [[maybe_unused]] const ssize_t ignored = ::read(m_wakeFd, &counter, sizeof counter);
    return Wake::Work;
}

bool TWriteThread::waitForStop(int timeoutMs) {
    pollfd stop{m_stop.fd(), POLLIN, 0};
    int ready;
    while ((ready = ::poll(&stop, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return ready > 0 || m_stop.isSignalled();
}

// Writes every byte, then waits until the line is idle, so that write-empty paces the sender
// at the speed of the line. False: stopped, or a failure (failed set: the writer must give up).
bool TWriteThread::writeAll(const std::vector<uint8_t>& buffer, bool& failed) {
    const Clock::time_point started = Clock::now();
    if (m_port.isNetwork()) {
        if (m_port.writeWhole(buffer.data(), buffer.size(), m_stop.fd()) < 0) {
            failed = errno != ECANCELED && !m_stop.isSignalled();
            return false;
        }
        return waitUntilSentOverNetwork(started, buffer.size());
    }
    const int fd = m_port.fd();
    size_t offset = 0;
    while (offset < buffer.size()) {
        const ssize_t n = m_port.writeSome(buffer.data() + offset, buffer.size() - offset);
        if (n > 0) {
            offset += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EBADF) return false;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            failed = true;
            return false;
        }
        // The driver is full (or output is held by flow control): wait for room or the close event.
        pollfd fds[2] = {{m_stop.fd(), POLLIN, 0}, {fd, POLLOUT, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            failed = true;
            return false;
        }
        if (fds[0].revents != 0 || m_stop.isSignalled()) return false;
        if (fds[1].revents & POLLNVAL) return false;
        if (fds[1].revents & (POLLHUP | POLLERR)) {  // a tty reports these only once it is gone
            failed = true;
            return false;
        }
    }
    if (m_port.isPseudoTerminal()) return waitOutLineTime(started, buffer.size());
    return waitUntilSent();
}

// As waitForStop, to the microsecond: a 9-byte frame's line time is not a whole number of
// milliseconds, and a rounded wait would add up over a queue of frames.
bool TWriteThread::waitForStopUntil(Clock::time_point deadline) {
    pollfd stop{m_stop.fd(), POLLIN, 0};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
        if (left <= 0) return m_stop.isSignalled();
        const timespec wait{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        const int ready = ::ppoll(&stop, 1, &wait, nullptr);
        if (ready > 0 || m_stop.isSignalled()) return true;
        if (ready < 0 && errno != EINTR) return false;  // cannot wait: the line time is taken as passed
    }
}

// tcdrain() cannot be interrupted by the close event, so the output queue is watched instead,
// then the transmitter itself where the driver tells its state.
bool TWriteThread::waitUntilSent() {
    const int fd = m_port.fd();
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) break;
        const uint32_t baud = std::max<uint32_t>(m_port.baudRate(), 50);
        const uint64_t ms = uint64_t(queued) * 10 * 1000 / baud;  // 10 bits a byte on the line
        if (waitForStop(static_cast<int>(std::clamp<uint64_t>(ms, 1, DrainStepMaxMs)))) return false;
    }
    for (;;) {
        unsigned int lsr = 0;
        if (ioctl(fd, TIOCSERGETLSR, &lsr) != 0 || (lsr & TIOCSER_TEMT)) break;
        if (waitForStop(1)) return false;
    }
    return !m_stop.isSignalled();
}

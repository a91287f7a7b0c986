#include "pty_support.h"

#include <thread>

#include <QDir>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
        throw std::runtime_error("cannot create a pseudo-terminal");
    m_slavePath = QString::fromLocal8Bit(ptsname(m_master));
}

PseudoTerminal::~PseudoTerminal() {
    closeMaster();
}

void PseudoTerminal::send(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_master, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            throw std::runtime_error("cannot write to the pseudo-terminal");
        }
    }
}

Bytes PseudoTerminal::readAvailable() {
    Bytes out;
    uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0) break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

Bytes PseudoTerminal::readExactly(size_t count, int timeoutMs) {
    Bytes out;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count && SteadyClock::now() < deadline) {
        pollfd p{m_master, POLLIN, 0};
        ::poll(&p, 1, 20);
        const Bytes more = readAvailable();
        out.insert(out.end(), more.begin(), more.end());
    }
    return out;
}

// On Linux the master side answers the terminal-settings requests for its slave.
termios PseudoTerminal::slaveSettings() const {
    termios tio{};
    EXPECT_EQ(tcgetattr(m_master, &tio), 0);
    return tio;
}

void PseudoTerminal::setSlaveSettings(const termios& settings) {
    ASSERT_EQ(tcsetattr(m_master, TCSANOW, &settings), 0);
}

void PseudoTerminal::closeMaster() {
    if (m_master >= 0) ::close(m_master);
    m_master = -1;
}

bool RunUntil(const std::function<bool()>& done, int timeoutMs) {
    if (done()) return true;
    QEventLoop loop;
    QTimer check;
    QTimer deadline;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) loop.quit();
    });
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.setSingleShot(true);
    check.start(2);
    deadline.start(timeoutMs);
    loop.exec();
    return done();
}

void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int OpenDescriptorCount() {
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

int ThreadCount() {
    // ThreadSanitizer starts a thread of its own once the process has made its first thread: one
    // thread made and ended before the first count puts it there, so counts compare our threads.
    static const bool sanitizerThreadStarted = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)sanitizerThreadStarted;
    return static_cast<int>(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

EventRecorder::EventRecorder(TComm& comm) {
    comm.OnReceiveData = [this](TComm*, const uint8_t* buffer, uint16_t length) {
        chunks.emplace_back(buffer, buffer + length);
        chunkTimes.push_back(SteadyClock::now());
        if (buffer[length] != 0) chunksNulTerminated = false;
    };
    comm.OnSendDataEmpty = [this](TComm*) { ++sendEmpty; };
    comm.OnRequestHangup = [this](TComm*) { ++hangups; };
}

Bytes EventRecorder::received() const {
    Bytes all;
    for (const Bytes& c : chunks) all.insert(all.end(), c.begin(), c.end());
    return all;
}

#include "core/endrequests.h"

#include <atomic>

#ifdef _WIN32
#include <QMetaObject>

#include <windows.h>

#include <mutex>

namespace {

std::mutex endMutex;
EndRequests* endReceiver = nullptr; // guarded by endMutex
std::atomic<long> firstEvent { -1 };
std::atomic<unsigned long long> firstAtMs { 0 };
int hardLimitMs = EndRequests::HardLimitMs;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    {
        const std::lock_guard lock(endMutex);
        if (!endReceiver)
            return FALSE;
        if (firstEvent.load() < 0) {
            firstAtMs = GetTickCount64();
            firstEvent = long(event);
            // Windows calls this on a thread of its own: the end is left to the event loop.
            QMetaObject::invokeMethod(endReceiver, "deliver", Qt::QueuedConnection);
        } else if (GetTickCount64() - firstAtMs.load() >= static_cast<unsigned long long>(hardLimitMs)) {
            return FALSE; // the orderly end has hung: this one ends the process as it would have
        }
    }
    // A closed console, a log-off or a shut-down ends the process as soon as this returns: it
    // waits instead, so that the program sends what it owes and closes the port first. The
    // process's own end ends this thread (and Windows ends it after a few seconds in any case).
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

} // namespace

EndRequests::EndRequests(QObject* parent, int hardLimit)
    : QObject(parent)
{
    const std::lock_guard lock(endMutex);
    endReceiver = this;
    firstEvent = -1;
    hardLimitMs = hardLimit;
    m_watching = SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

EndRequests::~EndRequests()
{
    const std::lock_guard lock(endMutex);
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    endReceiver = nullptr;
}

bool EndRequests::arrived()
{
    return firstEvent.load() >= 0;
}

QString EndRequests::arrivedName()
{
    switch (firstEvent.load()) {
    case -1: return QString();
    case CTRL_C_EVENT: return QStringLiteral("Ctrl+C");
    case CTRL_BREAK_EVENT: return QStringLiteral("Ctrl+Break");
    case CTRL_CLOSE_EVENT: return QStringLiteral("the console closing");
    case CTRL_LOGOFF_EVENT: return QStringLiteral("the log-off");
    default: return QStringLiteral("the shut-down");
    }
}

#else
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int EndSignals[] = { SIGINT, SIGTERM, SIGHUP };
struct sigaction previousActions[std::size(EndSignals)];

int endPipe[2] = { -1, -1 };
volatile sig_atomic_t firstSignal = 0;
volatile sig_atomic_t hardLimitMs = EndRequests::HardLimitMs;
std::atomic<long long> firstAtMs { 0 };
static_assert(std::atomic<long long>::is_always_lock_free, "read and written in a signal handler");

long long monotonicMs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now); // async-signal-safe
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

void onEndSignal(int signalNumber)
{
    const int savedErrno = errno; // the code this handler interrupted may be about to read it
    if (firstSignal == 0) {
        firstAtMs = monotonicMs();
        firstSignal = signalNumber;
        const char c = 1;
        if (endPipe[1] >= 0) {
            [[maybe_unused]] ssize_t w = ::write(endPipe[1], &c, 1);
        }
    } else if (monotonicMs() - firstAtMs.load() >= hardLimitMs) {
        // The orderly end has hung: this request ends the process as it would have. The signal is
        // blocked while its handler runs, and is taken as soon as the handler returns.
        ::signal(signalNumber, SIG_DFL);
        ::raise(signalNumber);
    }
    errno = savedErrno;
}

} // namespace

EndRequests::EndRequests(QObject* parent, int hardLimit)
    : QObject(parent)
{
    firstSignal = 0;
    hardLimitMs = hardLimit;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, endPipe) == 0) {
        auto* notifier = new QSocketNotifier(endPipe[0], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            char c[16];
            while (::read(endPipe[0], c, sizeof c) > 0) {
            }
            deliver();
        });
    } else {
        // No descriptor left for the pipe: the handler's mark is looked at instead.
        endPipe[0] = endPipe[1] = -1;
        auto* look = new QTimer(this);
        connect(look, &QTimer::timeout, this, [this] {
            if (firstSignal != 0)
                deliver();
        });
        look->start(20);
    }
    struct sigaction action {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    for (int s : EndSignals)
        sigaddset(&action.sa_mask, s); // one handler at a time
    action.sa_flags = SA_RESTART;
    m_watching = true;
    for (size_t i = 0; i < std::size(EndSignals); ++i)
        m_watching = sigaction(EndSignals[i], &action, &previousActions[i]) == 0 && m_watching;
}

EndRequests::~EndRequests()
{
    for (size_t i = 0; i < std::size(EndSignals); ++i)
        sigaction(EndSignals[i], &previousActions[i], nullptr);
    const int reader = endPipe[0], writer = endPipe[1];
    endPipe[0] = endPipe[1] = -1;
    if (reader >= 0) {
        ::close(reader);
        ::close(writer);
    }
}

bool EndRequests::arrived()
{
    return firstSignal != 0;
}

QString EndRequests::arrivedName()
{
    switch (firstSignal) {
    case 0: return QString();
    case SIGINT: return QStringLiteral("SIGINT");
    case SIGTERM: return QStringLiteral("SIGTERM");
    case SIGHUP: return QStringLiteral("SIGHUP");
    }
    return QStringLiteral("signal %1").arg(int(firstSignal));
}

#endif

void EndRequests::deliver()
{
    if (m_delivered)
        return;
    m_delivered = true;
    emit requested();
}

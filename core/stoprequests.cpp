#include "core/stoprequests.h"

#ifndef _WIN32
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int requestPipe[2] = { -1, -1 };
volatile sig_atomic_t requestArrived = 0;

void onStopRequest(int)
{
    const int savedErrno = errno; // the code this handler interrupted may be about to read it
    requestArrived = 1;
    const char c = 1;
    if (requestPipe[1] >= 0) {
        [[maybe_unused]] ssize_t w = ::write(requestPipe[1], &c, 1);
    }
    errno = savedErrno;
}

} // namespace

StopRequests::StopRequests(QObject* parent)
    : QObject(parent)
{
    if (requestPipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, requestPipe) == 0) {
        m_notifier = new QSocketNotifier(requestPipe[0], QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] {
            char c[16];
            while (::read(requestPipe[0], c, sizeof c) > 0) {
            }
            requestArrived = 0;
            emit requested();
        });
    } else {
        // No descriptor left for the pipe: the handler's mark is looked at instead. A request
        // must never end the process, whatever else fails.
        requestPipe[0] = requestPipe[1] = -1;
        auto* look = new QTimer(this);
        connect(look, &QTimer::timeout, this, [this] {
            if (requestArrived) {
                requestArrived = 0;
                emit requested();
            }
        });
        look->start(20);
    }
    struct sigaction action {};
    action.sa_handler = onStopRequest;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
}

StopRequests::~StopRequests()
{
    // A request arriving later is ignored rather than ending the process.
    signal(SIGUSR1, SIG_IGN);
}

bool RequestStopFrom(qint64 pid)
{
    if (pid <= 0)
        return false;
#ifdef __linux__
    // A lock left by a program that died may name a process id given since to another program,
    // which SIGUSR1 would end: only a Tarvello program is asked.
    const QString program = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
    if (!program.isEmpty() && !QFileInfo(program).fileName().startsWith(QLatin1String("tarvello")))
        return false;
#endif
    return ::kill(pid_t(pid), SIGUSR1) == 0;
}

#else
#include <QWinEventNotifier>

#include <windows.h>

#include <string>

namespace {

// Windows has no SIGUSR1: each program holds an event named after its process, and the request
// is that event set.
std::wstring requestEventName(qint64 pid)
{
    return L"Local\\TarvelloStopRequest-" + std::to_wstring(pid);
}

} // namespace

StopRequests::StopRequests(QObject* parent)
    : QObject(parent)
{
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, requestEventName(GetCurrentProcessId()).c_str());
    if (!event)
        return;
    m_event = event;
    auto* notifier = new QWinEventNotifier(event, this);
    connect(notifier, &QWinEventNotifier::activated, this, &StopRequests::requested);
}

StopRequests::~StopRequests()
{
    // The notifier (a child) lets go of the event before it is closed.
    qDeleteAll(findChildren<QWinEventNotifier*>());
    if (m_event)
        CloseHandle(m_event);
}

bool RequestStopFrom(qint64 pid)
{
    if (pid <= 0)
        return false;
    const HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, requestEventName(pid).c_str());
    if (!event)
        return false;
    const bool set = SetEvent(event) != 0;
    CloseHandle(event);
    return set;
}

#endif

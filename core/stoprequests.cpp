#include "core/stoprequests.h"

#ifndef _WIN32
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int requestPipe[2] = { -1, -1 };

void onStopRequest(int)
{
    const char c = 1;
    [[maybe_unused]] ssize_t w = ::write(requestPipe[1], &c, 1);
}

} // namespace

StopRequests::StopRequests(QObject* parent)
    : QObject(parent)
{
    if (requestPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, requestPipe) != 0)
        return;
    m_notifier = new QSocketNotifier(requestPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char c[16];
        while (::read(requestPipe[0], c, sizeof c) > 0) {
        }
        emit requested();
    });
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
    return pid > 0 && ::kill(pid_t(pid), SIGUSR1) == 0;
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

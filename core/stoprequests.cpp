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

namespace {

bool signalStop(qint64 pid)
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

} // namespace

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

namespace {

bool signalStop(qint64 pid)
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

} // namespace

#endif

// Both systems: who asks is left in the data directory beside the holder's lock.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace {

constexpr char RequesterPrefix[] = "tarvello.stop-";
constexpr qint64 StaleRequestSeconds = 60;

} // namespace

bool RequestStopFrom(qint64 pid, const QString& dataDir, const StopRequester& requester)
{
    QString left;
    if (!dataDir.isEmpty() && requester.pid > 0) {
        left = QDir(dataDir).filePath(QLatin1String(RequesterPrefix) + QString::number(requester.pid));
        QSaveFile file(left);
        const QByteArray text = QStringLiteral("level=%1\nsource=%2\n").arg(requester.level).arg(requester.source).toUtf8();
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
            left.clear(); // the holder credits the stop to nobody in particular
    }
    const bool asked = signalStop(pid);
    if (!asked && !left.isEmpty())
        QFile::remove(left);
    return asked;
}

std::vector<StopRequester> TakeStopRequesters(const QString& dataDir)
{
    std::vector<std::pair<QDateTime, StopRequester>> found;
    const QDir dir(dataDir);
    for (const QFileInfo& info : dir.entryInfoList({ QLatin1String(RequesterPrefix) + QLatin1Char('*') }, QDir::Files | QDir::Hidden)) {
        bool isNumber = false;
        StopRequester r;
        r.pid = info.fileName().mid(int(sizeof RequesterPrefix) - 1).toLongLong(&isNumber);
        QFile file(info.filePath());
        // A request left by a holder that ended before it took it speaks for no stop of now.
        if (info.lastModified().secsTo(QDateTime::currentDateTime()) > StaleRequestSeconds) {
            QFile::remove(info.filePath());
            continue;
        }
        if (!isNumber || !file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (line.startsWith("level="))
                r.level = line.mid(6).toInt();
            else if (line.startsWith("source="))
                r.source = QString::fromUtf8(line.mid(7));
        }
        file.close();
        QFile::remove(info.filePath());
        found.emplace_back(info.lastModified(), r);
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<StopRequester> out;
    for (auto& [when, r] : found)
        out.push_back(std::move(r));
    return out;
}

#include "console.h"

#ifdef _WIN32
#include <QMetaObject>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <iterator>
#include <mutex>
#else
#include <QSocketNotifier>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#endif

#ifdef _WIN32

namespace {

// The console behind a standard stream, or nothing when it goes to a file or a pipe.
HANDLE consoleOf(FILE* stream)
{
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : nullptr;
}

void writeConsole(HANDLE console, const QString& text)
{
    DWORD written = 0;
    WriteConsoleW(console, reinterpret_cast<const wchar_t*>(text.utf16()), DWORD(text.size()), &written, nullptr);
}

// The echo is given back when Ctrl+C or a closed console ends the program at the prompt.
HANDLE promptInput = INVALID_HANDLE_VALUE;
DWORD promptSavedMode = 0;

BOOL WINAPI restoreEchoOnEnd(DWORD)
{
    if (promptInput != INVALID_HANDLE_VALUE)
        SetConsoleMode(promptInput, promptSavedMode);
    return FALSE; // the program ends as it would have
}

} // namespace

void SetUpStandardStreams()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

void WriteText(FILE* to, const QByteArray& utf8)
{
    if (const HANDLE console = consoleOf(to)) {
        std::fflush(to); // what went out through the stream before comes first
        writeConsole(console, QString::fromUtf8(utf8));
        return;
    }
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), to);
}

std::optional<QString> ReadPasswordFromTerminal(const char* prompt)
{
    // CONIN$ and CONOUT$ are the console itself, even when the standard streams are redirected.
    const HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE)
        return std::nullopt;
    DWORD saved = 0;
    if (!GetConsoleMode(in, &saved)) {
        CloseHandle(in);
        return std::nullopt;
    }
    const HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    promptInput = in;
    promptSavedMode = saved;
    SetConsoleCtrlHandler(restoreEchoOnEnd, TRUE);
    SetConsoleMode(in, (saved | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~DWORD(ENABLE_ECHO_INPUT));
    if (out != INVALID_HANDLE_VALUE)
        writeConsole(out, QString::fromLatin1(prompt));
    QString typed;
    wchar_t chunk[128];
    DWORD got = 0;
    bool ended = false;
    while (!ended && ReadConsoleW(in, chunk, DWORD(std::size(chunk)), &got, nullptr) && got > 0) {
        for (DWORD i = 0; i < got && !ended; ++i) {
            if (chunk[i] == L'\r' || chunk[i] == L'\n')
                ended = true;
            else
                typed.append(QChar(chunk[i]));
        }
    }
    SetConsoleMode(in, saved);
    SetConsoleCtrlHandler(restoreEchoOnEnd, FALSE);
    promptInput = INVALID_HANDLE_VALUE;
    if (out != INVALID_HANDLE_VALUE) {
        writeConsole(out, QStringLiteral("\r\n")); // the line the typed password would have ended
        CloseHandle(out);
    }
    CloseHandle(in);
    return typed;
}

bool InputIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

namespace {

std::mutex endMutex;
EndRequests* endReceiver = nullptr; // guarded by endMutex

BOOL WINAPI onConsoleEvent(DWORD event)
{
    {
        const std::lock_guard lock(endMutex);
        if (!endReceiver)
            return FALSE;
        EndRequests* receiver = endReceiver;
        // Windows calls this on a thread of its own: the end is left to the event loop.
        QMetaObject::invokeMethod(receiver, [receiver] { receiver->end(); }, Qt::QueuedConnection);
    }
    // A closed console, a log-off or a shut-down ends the process as soon as this returns: it
    // waits instead, so that the watch closes the port and says goodbye first. The process's own
    // end ends this thread (and Windows ends it after a few seconds in any case).
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

} // namespace

EndRequests::EndRequests(std::function<void()> onEnd)
    : m_onEnd(std::move(onEnd))
{
    const std::lock_guard lock(endMutex);
    endReceiver = this;
    m_watching = SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

EndRequests::~EndRequests()
{
    const std::lock_guard lock(endMutex);
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    endReceiver = nullptr;
}

#else

namespace {

int signalPipe[2] = { -1, -1 };

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] ssize_t w = ::write(signalPipe[1], &c, 1);
}

} // namespace

void SetUpStandardStreams() {}

void WriteText(FILE* to, const QByteArray& utf8)
{
    std::fwrite(utf8.constData(), 1, size_t(utf8.size()), to);
}

std::optional<QString> ReadPasswordFromTerminal(const char* prompt)
{
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0)
        return std::nullopt;
    termios saved {};
    const bool terminal = tcgetattr(tty, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(tty, TCSANOW, &quiet);
    }
    [[maybe_unused]] ssize_t w = ::write(tty, prompt, std::strlen(prompt));
    QByteArray typed;
    char c = 0;
    while (::read(tty, &c, 1) == 1 && c != '\n' && c != '\r')
        typed.append(c);
    if (terminal)
        tcsetattr(tty, TCSANOW, &saved);
    ::close(tty);
    return QString::fromLocal8Bit(typed);
}

bool InputIsTerminal()
{
    return isatty(STDIN_FILENO);
}

EndRequests::EndRequests(std::function<void()> onEnd)
    : m_onEnd(std::move(onEnd))
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char c;
        [[maybe_unused]] ssize_t r = ::read(signalPipe[0], &c, 1);
        end();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    m_watching = true;
}

EndRequests::~EndRequests()
{
    if (!m_watching)
        return;
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

#endif

void EndRequests::end()
{
    if (m_onEnd)
        m_onEnd();
}

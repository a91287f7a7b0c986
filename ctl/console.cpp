#include "console.h"

#include "core/endrequests.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <iterator>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
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
    if (EndRequests::arrived())
        return std::nullopt;
    return typed;
}

bool InputIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

std::optional<QByteArray> ReadInputLine()
{
    char line[256] = {};
    if (!std::fgets(line, sizeof line, stdin) || EndRequests::arrived())
        return std::nullopt;
    QByteArray typed(line);
    while (typed.endsWith('\n') || typed.endsWith('\r'))
        typed.chop(1);
    return typed;
}

#else

namespace {

// Waits until fd can be read: false when a request to end the program comes first, or fd fails.
bool waitForInput(int fd)
{
    for (;;) {
        if (EndRequests::arrived())
            return false;
        pollfd p { fd, POLLIN, 0 };
        const int ready = ::poll(&p, 1, 50); // a signal ends the wait at once; 50 ms if it came just before
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
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
    bool ended = false;
    while (!(ended = !waitForInput(tty)) && ::read(tty, &c, 1) == 1 && c != '\n' && c != '\r')
        typed.append(c);
    if (terminal)
        tcsetattr(tty, TCSANOW, &saved);
    if (ended) { // the line the typed password would have ended
        [[maybe_unused]] ssize_t n = ::write(tty, "\n", 1);
    }
    ::close(tty);
    if (ended)
        return std::nullopt;
    return QString::fromLocal8Bit(typed);
}

bool InputIsTerminal()
{
    return isatty(STDIN_FILENO);
}

std::optional<QByteArray> ReadInputLine()
{
    QByteArray typed;
    char c = 0;
    for (;;) {
        if (!waitForInput(STDIN_FILENO))
            return std::nullopt;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return typed.isEmpty() ? std::nullopt : std::optional<QByteArray>(typed);
        if (c == '\n')
            return typed;
        if (c != '\r')
            typed.append(c);
    }
}

#endif

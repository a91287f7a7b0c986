// The terminal under tarvello-ctl: what differs between a Linux terminal and a Windows console
// (the password typed without echo, a question asked only of a person, text that reaches the
// screen as it is written, the keys and signals that end a watch) is kept here.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdio>
#include <functional>
#include <optional>

// Once, before anything is printed. On Windows the standard streams carry the same bytes as on
// Linux (no \n turned into \r\n), whether they go to a console, a file or a pipe.
void SetUpStandardStreams();

// Writes UTF-8 text to stdout or stderr. A Windows console is given it as characters, so that
// names in Chinese show as such whatever its code page; a file or pipe gets the bytes.
void WriteText(FILE* to, const QByteArray& utf8);

// The password typed on the terminal (Linux: /dev/tty; Windows: the console) after prompt,
// without echo. Nothing when the program has no terminal to ask on.
std::optional<QString> ReadPasswordFromTerminal(const char* prompt);

// Whether standard input is a terminal a person types on.
bool InputIsTerminal();

// While it lives, the requests to end a long run call onEnd from the event loop (never from a
// signal handler or another thread): SIGINT and SIGTERM on Linux; Ctrl+C, Ctrl+Break and the
// console window closing on Windows. Afterwards they end the program as they normally do.
class EndRequests : public QObject {
public:
    explicit EndRequests(std::function<void()> onEnd);
    ~EndRequests() override;
    // False when the requests could not be caught: the caller must not run without them.
    bool watching() const { return m_watching; }
    // Calls onEnd (in the thread this object lives in).
    void end();

private:
    std::function<void()> m_onEnd;
    bool m_watching = false;
};

// The terminal under tarvello-ctl: what differs between a Linux terminal and a Windows console
// (the password typed without echo, a question asked only of a person, text that reaches the
// screen as it is written) is kept here.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <optional>

// Once, before anything is printed. On Windows the standard streams carry the same bytes as on
// Linux (no \n turned into \r\n), whether they go to a console, a file or a pipe.
void SetUpStandardStreams();

// Writes UTF-8 text to stdout or stderr. A Windows console is given it as characters, so that
// names in Chinese show as such whatever its code page; a file or pipe gets the bytes.
void WriteText(FILE* to, const QByteArray& utf8);

// The password typed on the terminal (Linux: /dev/tty; Windows: the console) after prompt,
// without echo. Nothing when the program has no terminal to ask on, or when a request to end the
// program came while it waited (on Windows: once the line is ended).
std::optional<QString> ReadPasswordFromTerminal(const char* prompt);

// Whether standard input is a terminal a person types on.
bool InputIsTerminal();

// A line typed on standard input, without its end; nothing at the end of the input, or when a
// request to end the program (core/endrequests.h) came while it waited.
std::optional<QByteArray> ReadInputLine();

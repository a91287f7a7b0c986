// The requests to end the program that come from outside it: SIGINT, SIGTERM and SIGHUP on Linux
// (Ctrl+C, a kill, a shut-down, a closed terminal); Ctrl+C, Ctrl+Break and the console window
// closing (a log-off, a shut-down) on Windows.
//
// While an object lives, none of them ends the process by default termination: the first one is
// handed to the event loop as requested() (never from a signal handler or another thread), and the
// program ends in order: what it still owes the bus is sent, its audit record flushed. Further
// requests are ignored for hardLimitMs after the first, so that a second Ctrl+C does not cut a stop
// off on the line; after that, one ends the process as it normally would, for a program whose
// orderly end has hung.
#pragma once

#include <QObject>
#include <QString>

class EndRequests : public QObject {
    Q_OBJECT
public:
    static constexpr int HardLimitMs = 3000;

    // One at a time in a process: the requests are the process's.
    explicit EndRequests(QObject* parent = nullptr, int hardLimitMs = HardLimitMs);
    ~EndRequests() override; // the requests end the process again as they did before

    // False when the requests could not be caught: the caller must not run without them.
    bool watching() const { return m_watching; }

    // Whether a request has come since this object was made: true from the moment the signal
    // arrived, before requested() has been emitted (a blocking read may ask it).
    static bool arrived();
    // The request that came first ("SIGTERM", "Ctrl+C", ...); empty while none has.
    static QString arrivedName();

signals:
    // Once, for the first request.
    void requested();

private:
    Q_INVOKABLE void deliver(); // invoked by name from Windows's own thread

    bool m_watching = false;
    bool m_delivered = false;
};

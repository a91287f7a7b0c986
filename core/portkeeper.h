#pragma once
// The port a session works on: opened at the start, another one picked, a lost one tried again
// until it is back. Whatever ran against a port ends before the port closes: the stops to what it
// drove leave it first, and nothing queued for one bus goes out on another. What the operator
// sees of it (the port panel, a message, the traffic record) is the face's.

#include <QObject>
#include <QString>
#include <QTimer>

#include "protocol/targets.h"

class Session;

class PortKeeper : public QObject {
    Q_OBJECT
public:
    static constexpr int RetryMs = 2000;         // a lost port is tried again this often

    enum class State { Open, Failed, Connecting, ConnectionLost };

    explicit PortKeeper(Session& session, QObject* parent = nullptr);

    // Opens the port named. A port on a device server is connected in the background: false is
    // returned at once, and the port counts as open once it answers (opened()).
    bool open(const QString& name);
    // The operator picked a port. Another port: the work on the old one ends first, whether the
    // new one opens or not. The same port again while it is away: what is owed to it stays, and
    // goes once it opens (it is still tried again when it does not). Only a port that opened is
    // remembered (opened(true)).
    void pick(const QString& name);
    // Ends what runs against the port in use (owed stops, stops to what it drives and, with
    // stopMoving, to everything set moving) and closes it; what may still move on that bus is
    // forgotten and said (oldBusMayBeMoving).
    void endWork(bool stopMoving = false);
    // The port's device went away: closed, and tried again every RetryMs.
    void hungUp();
    // The retry timer's turn.
    void retryTick();
    // The run ends: no more retries, everything set moving gets its stop and the port closes.
    void close();
    // Whether `name` is the port in use (or lost), after port names and links are resolved.
    bool isCurrentPort(const QString& name) const;

    // Whether the port counts as open (a device server's once it has answered).
    bool counted() const { return m_counted; }
    bool retrying() const { return m_retry.isActive(); }
    bool connecting() const;

signals:
    void stateChanged(PortKeeper::State state);
    // A port that did not open when the operator or the start-up asked for it.
    void openFailed();
    void connectFailed(const QString& name, const QString& error);
    // The port opened; `picked`: the operator chose it (it is remembered for the next start).
    void opened(bool picked);
    // The port was lost, or is back after a loss.
    void lost();
    void back();
    // A fresh poll may begin.
    void pollDue();
    // The port is given up while devices on its bus may still be moving (their stops could not
    // leave it): named so that the operator can stop them another way.
    void oldBusMayBeMoving(const QString& port, const Targets& devices);

private:
    void connectInBackground(bool picked, bool quiet);
    void openedLater(bool picked);
    // The port opened (again): what it owes goes first.
    void sendWhatIsOwed();

    Session& m_session;
    QTimer m_retry;
    bool m_counted = false;
    bool m_closed = false;
};

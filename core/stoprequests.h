// A stop asked for from outside. A second Tarvello program that finds the port held by this one
// (tarvello-ctl stop-all while the window or tarvello-ctl watch runs) cannot send the stop itself:
// it sends this process SIGUSR1 (on Windows: sets the event named after this process), and this
// process sends its own stop-all on the port it holds.
#pragma once

#include <QObject>
#include <QString>

#include <vector>

class QSocketNotifier;

class StopRequests : public QObject {
    Q_OBJECT
public:
    // Takes SIGUSR1 over for this process while it lives (on Windows: holds the request event).
    explicit StopRequests(QObject* parent = nullptr);
    ~StopRequests() override;

signals:
    void requested();

private:
    QSocketNotifier* m_notifier = nullptr;
    void* m_event = nullptr; // Windows: the request event's handle
};

// Who asks for the stop, so that the holder's audit row credits the stop to it: its access level
// (ModeNone for a stop-all, which needs no password), its face and its process.
struct StopRequester {
    int level = 15;
    QString source;
    qint64 pid = 0;
};

// Asks process pid, a Tarvello program on this computer, to send the stop to every device. False
// when the request cannot be delivered (the process is gone, or belongs to another account).
// With a data directory, who asks is left there first (a file tarvello.stop-<pid> of the asking
// process), for the holder to take.
bool RequestStopFrom(qint64 pid, const QString& dataDir = {}, const StopRequester& requester = {});

// The askers left in dataDir, oldest first; their files are removed.
std::vector<StopRequester> TakeStopRequesters(const QString& dataDir);

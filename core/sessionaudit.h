#pragma once
// What the session puts in the audit record: every action, whichever face asked for it, with the
// level logged in and the face it came from, and each change of a device's on-line state. The
// engine, the password store and the port say what happened; the faces add only what they alone
// see (the editor's changes, a backup, a conversion).

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "audit/auditlog.h"
#include "protocol/targets.h"

class ControlEngine;
class TPasswordStore;

class SessionAudit : public QObject {
    Q_OBJECT
public:
    static constexpr size_t MaxPressesWaiting = 16;
    SessionAudit(AuditLog& log, TPasswordStore& passwords, ControlEngine& engine, QObject* parent = nullptr);
    ~SessionAudit() override;

    // "window" or "tarvello-ctl".
    void setSource(const QString& source) { m_source = source; }
    const QString& source() const { return m_source; }

    void record(const QString& action, const QString& detail, std::vector<AuditDevice> devices = {});
    // A frame left the line: the press it belongs to is recorded now.
    void frameLeft(const QByteArray& bytes);
    // The port: opened (its name and device), lost, back after it was lost.
    void portOpened(const QString& name);
    void portLost();
    // Nothing can be asked through the port (lost, or it did not open): every device is unknown.
    void allUnknown();
    void portBack();
    // The device list was built again: its rows are unknown until asked.
    void rowsRebuilt(const std::vector<AuditDevice>& devices);

    // Words for a motion command and for what a press reaches.
    static QString commandName(uint8_t command);
    static QString describe(const Targets& targets, std::vector<AuditDevice>* devices = nullptr);

private:
    void state(int group, int id, DeviceState state);
    void readdressOver(int group, int id, const QString& outcome);

    AuditLog& m_log;
    TPasswordStore& m_passwords;
    ControlEngine& m_engine;
    QString m_source = QStringLiteral("window");
    // Presses whose first frame has not left yet, in the order they were made. Frames leave in
    // the order they were handed over, so a press passed over by a later one's frame never had
    // one leave (a stop-all or the next press took it back).
    struct Press {
        uint8_t command = 0;
        Targets targets;
    };
    std::deque<Press> m_presses;
    // The search running: its range and what it found.
    int m_searchFrom = 0, m_searchTo = 0;
    std::vector<AuditDevice> m_found;
    bool m_searching = false;
    // Re-addressed devices waiting for their check, by their new address: the old one.
    std::map<AuditDevice, AuditDevice> m_readdressed;
    // The state last recorded of each device.
    std::map<AuditDevice, DeviceState> m_states;
};

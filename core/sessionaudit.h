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

    // A row at the level logged in, from this face. A row about a device whose re-address is still
    // waiting for its check (a rename that came with the re-address) follows the re-address's row.
    void record(const QString& action, const QString& detail, std::vector<AuditDevice> devices = {});
    // The next stop-all this session sends was asked for by another program (tarvello-ctl stop-all
    // that found the port held): its row carries that program's level and face, and names it.
    void creditNextStopAll(int level, const QString& source, const QString& requester);
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
    AuditEntry entry(const QString& action, const QString& detail, std::vector<AuditDevice> devices = {}) const;

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
    // Rows held back until the re-address of their device is recorded, by its new address.
    std::multimap<AuditDevice, AuditEntry> m_afterReaddress;
    // Stop-alls asked for by other programs and not yet sent, oldest first.
    struct StopCredit {
        int level = 15;
        QString source;
        QString requester;
    };
    std::deque<StopCredit> m_stopCredits;
    // The state last recorded of each device.
    std::map<AuditDevice, DeviceState> m_states;
};

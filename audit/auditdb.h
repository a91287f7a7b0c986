#pragma once
// Audit.DB on SQLite: the connection, the schema, the hash chain, the keep-time purge and the
// reading queries. Private to tarvello_audit: AuditLog's writer thread and its readers use it,
// each on a connection of its own.

#include "auditlog.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace auditdb {

// "2026-12-07T22:40:30.123Z": UTC with milliseconds, so the text sorts as the time does.
QString TimeText(const QDateTime& time);
QDateTime ParseTime(const QString& text);

// "2:5 2:6": group and ID of each device, separated by single spaces.
QString DevicesText(const std::vector<AuditDevice>& devices);
std::vector<AuditDevice> ParseDevices(const QString& text);

// The hash of a row: lower-case hex SHA-256 over the previous row's hash (its hex text, empty
// for the first row of a chain) followed by each field as "<length in UTF-8 bytes>:<bytes>;"
// in the order seq, time, level, source, user, action, detail, devices.
QByteArray ChainHash(const QByteArray& previous, qint64 seq, const QString& time, int level, const QString& source,
                     const QString& user, const QString& action, const QString& detail, const QString& devices);

// What a keep row says it removed: the rows, the actions with their seq range, the on-line
// changes. KeepRemovedUpTo reads the range back, for the keep rows of records written before
// the record's end was kept.
QString KeepDetail(qint64 rowsRemoved, const QDateTime& cutoff, qint64 actionsRemoved, qint64 firstRemoved,
                   qint64 lastRemoved, qint64 changesRemoved);
std::optional<qint64> KeepRemovedUpTo(const QString& detail);

class Connection {
public:
    // write: creates the schema when missing and takes part in writing; else opens the file as it
    // is (never creates it). *error: the reason in English when it fails.
    Connection(const QString& path, bool write);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool ok() const { return m_db != nullptr; }
    QString error() const { return m_error; }
    // Whether the failure that error() tells of was a full disk.
    bool diskFull() const { return m_diskFull; }

    // The keep-time purge in one transaction: removes actions older than cutoff (the oldest rows
    // up to the first that is not, never the newest row) together with the on-line changes older
    // than cutoff, and puts the keep row in the place of the last action removed, carrying its
    // hash. Nothing is done while no action is old enough.
    bool purge(const QDateTime& cutoff, const QString& user);

    // Appends the rows in one transaction, chained to the newest row the writers kept (table
    // Anchor), which then names the last of them.
    bool append(const std::vector<AuditEntry>& entries, const std::vector<StateChange>& changes);

    std::vector<AuditRow> rows(const AuditFilter& filter);
    std::vector<StateChange> history(const std::vector<AuditDevice>& devices, const QDateTime& since,
                                     const QDateTime& until);
    // The times of the oldest and the newest row, actions and on-line changes alike.
    std::optional<std::pair<QDateTime, QDateTime>> span();
    // The chain from the first row to the kept end (the rules are in docs/data-files.md).
    AuditCheck verify();

private:
    bool exec(const char* sql);
    bool hasAnchorTable();
    bool fail(const QString& what);
    bool insertChained(const std::vector<AuditEntry>& entries);

    sqlite3* m_db = nullptr;
    QString m_path;
    QString m_error;
    bool m_diskFull = false;
};

} // namespace auditdb

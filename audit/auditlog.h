#pragma once
// The audit record, DFiles/Audit.DB: who did what, from which face, and when, and each change of a
// device's on-line state as the status answers show it. Rows are appended by a thread of its own as
// they come (nothing that records waits for the disk); each row carries a SHA-256 chained over the
// row before it, so a row changed or removed by hand shows (verify()). The only deletion is of rows
// older than the keep time, at open, and it is itself recorded (a keep row carries the chain on).

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// A device as the record names it: (group, ID).
using AuditDevice = std::pair<int, int>;

struct AuditEntry {
    QDateTime time;          // UTC; set by record() when not valid
    int level = 15;          // the access level at the time (ModeSuperUser 0 .. ModeNone 15)
    QString source;          // "window" or "tarvello-ctl"
    QString user;            // the account of the process (set by record() when empty)
    QString action;          // log-in, move, stop-all, search, readdress, add, delete, rename, backup,
                             // restore, convert, port, password-change, self-check, keep
    QString detail;          // what the action was, in English words and numbers (never a password)
    std::vector<AuditDevice> devices; // the devices it concerns, for the device filter
};

struct AuditRow : AuditEntry {
    qint64 seq = 0;          // its place in the record, 1 for the first row
    QByteArray hash;         // hex SHA-256 over the row before's hash and this row's fields
};

enum class DeviceState { Unknown = 0, Online = 1, Offline = 2 };

struct StateChange {
    QDateTime time;          // UTC; set by recordState() when not valid
    int group = 0;
    int id = 0;
    DeviceState state = DeviceState::Unknown;
};

struct AuditFilter {
    std::optional<QDateTime> since, until; // inclusive, UTC
    QStringList actions;                   // empty: every action
    std::optional<AuditDevice> device;     // rows that name this device
};

struct AuditCheck {
    bool intact = true;
    qint64 rows = 0;         // rows checked
    qint64 firstBad = 0;     // seq of the first row whose hash does not follow (0: none)
    QString problem;         // in English, for tarvello-ctl and the log
};

class AuditLog : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultKeepDays = 730;
    // The record of DFiles/Audit.DB in dataDir. A file there is opened now and the rows older
    // than keepDays removed (recording that it did); a file not there yet is made by the writer
    // at the first row (readable and writable by its owner and group only, in WAL mode), so a
    // run that records nothing leaves the data directory as it was. A file that cannot be opened
    // or written is said through writeFailed (once) and the rows of the failed write are dropped
    // and counted; the program goes on, and each later write tries the file again. The first
    // that succeeds is said through writeRecovered (once). keepDays 0 (or less) removes
    // nothing: for a reader that is not to apply a keep time of its own.
    explicit AuditLog(const QString& dataDir, int keepDays = DefaultKeepDays, QObject* parent = nullptr);
    ~AuditLog() override; // writes what is queued, then stops the writer

    QString fileName() const;
    // False from a failure until the file takes rows again.
    bool writable() const;
    // The rows (actions and on-line changes) that did not reach the file in this run.
    qint64 droppedRows() const;

    // From any thread; returns at once. A row reaches the file within 100 ms.
    void record(AuditEntry entry);
    void recordState(StateChange change);
    // Waits until every row recorded so far is in the file (or the file failed).
    void flush();

    // Reading, on a connection of its own (safe while the writer runs). Newest first.
    std::vector<AuditRow> rows(const AuditFilter& filter) const;
    // The on-line history of the devices between the two times, oldest first.
    std::vector<StateChange> history(const std::vector<AuditDevice>& devices, const QDateTime& since,
                                     const QDateTime& until) const;
    AuditCheck verify() const;
    // The times of the oldest and the newest row (actions and on-line changes); nothing while the
    // record holds none.
    std::optional<std::pair<QDateTime, QDateTime>> span() const;

    // The account of this process as the system names it (not as the environment says): on
    // Linux the login name of the real user ID, on Windows the name GetUserNameW gives.
    static QString processUser();
    // The Windows account name as a call shaped like GetUserNameW gives it (buffer, and its size
    // in characters in, the characters written with the closing null out): the name, or "unknown"
    // when the call fails or names nobody. Never the USERNAME variable, which anyone can set.
    using UserNameCall = std::function<bool(wchar_t* buffer, unsigned long* size)>;
    static QString windowsAccountName(const UserNameCall& getUserName);

signals:
    // A row was recorded (emitted by the thread that recorded it, whether the file takes it or not).
    void recorded(const AuditEntry& entry);
    // The record could not be written (opened, or a write failed): said once, with the reason in
    // English and whether the disk was full, until writeRecovered.
    void writeFailed(const QString& reason, bool diskFull);
    // The record takes rows again after writeFailed; droppedRows of them were lost in between.
    void writeRecovered(qint64 droppedRows);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The name of an access level as the record's readers print it: "super-user", "administrator",
// "operator", "none" (ModeNone), else the number.
QString AuditLevelName(int level);

// A time as the record's readers print it: ISO 8601 in local time with milliseconds and the
// offset from UTC ("2026-12-07T23:40:30.123+01:00", "...Z" where local time is UTC).
QString AuditLocalTime(const QDateTime& time);

// The rows as CSV: UTF-8 with a byte order mark, a header line, a cell that begins with =, +, - or @
// quoted and led by an apostrophe so that no spreadsheet runs it, times in local time (ISO 8601).
QByteArray AuditCsv(const std::vector<AuditRow>& rows);

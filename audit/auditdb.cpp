#include "auditdb.h"

#include "common/state.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRegularExpression>
#include <QTimeZone>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace auditdb {

namespace {

// Another program (the window beside tarvello-ctl) may be committing: wait for it this long.
constexpr int BusyTimeoutMs = 5000;

const char SchemaSql[] =
    "CREATE TABLE IF NOT EXISTS Actions ("
    " seq INTEGER PRIMARY KEY,"
    " time TEXT NOT NULL,"
    " level INTEGER NOT NULL,"
    " source TEXT NOT NULL,"
    " user TEXT NOT NULL,"
    " action TEXT NOT NULL,"
    " detail TEXT NOT NULL,"
    " devices TEXT NOT NULL,"
    " prev TEXT NOT NULL,"
    " hash TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS Actions_time ON Actions (time);"
    "CREATE TABLE IF NOT EXISTS OnlineHistory ("
    " time TEXT NOT NULL,"
    " grp INTEGER NOT NULL,"
    " id INTEGER NOT NULL,"
    " state INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS OnlineHistory_device ON OnlineHistory (grp, id, time);"
    "CREATE TABLE IF NOT EXISTS Anchor ("
    " seq INTEGER NOT NULL,"
    " hash TEXT NOT NULL,"
    " legacy INTEGER NOT NULL);";

// A record made before the end was kept gets its anchor at its newest row, and its rows up to
// there are checked by the rules they were written under.
const char StartAnchorSql[] =
    "INSERT INTO Anchor (seq, hash, legacy)"
    " SELECT coalesce(max(seq), 0), coalesce((SELECT hash FROM Actions ORDER BY seq DESC LIMIT 1), ''),"
    " coalesce(max(seq), 0) FROM Actions";

const char ActionColumns[] = "seq, time, level, source, user, action, detail, devices, prev, hash";

class Statement {
public:
    Statement(sqlite3* db, const QString& sql)
    {
        const QByteArray text = sql.toUtf8();
        if (sqlite3_prepare_v2(db, text.constData(), int(text.size()), &m_stmt, nullptr) != SQLITE_OK)
            m_stmt = nullptr;
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return m_stmt != nullptr; }
    void bind(int index, const QString& text)
    {
        const QByteArray bytes = text.toUtf8();
        sqlite3_bind_text(m_stmt, index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
    }
    void bind(int index, const QByteArray& bytes)
    {
        sqlite3_bind_text(m_stmt, index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
    }
    void bind(int index, qint64 value) { sqlite3_bind_int64(m_stmt, index, value); }
    // SQLITE_ROW, SQLITE_DONE or an error
    int step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_MISUSE; }
    void reset()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    bool isNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    qint64 integer(int column) const { return sqlite3_column_int64(m_stmt, column); }
    QByteArray bytes(int column) const
    {
        return QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column)),
                          sqlite3_column_bytes(m_stmt, column));
    }
    QString text(int column) const { return QString::fromUtf8(bytes(column)); }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

// One row of Actions as read, with the stored chain fields.
struct StoredRow {
    AuditRow row;
    QString time; // as stored, the hashed text
    QString devices;
    QByteArray prev;
};

StoredRow ReadRow(const Statement& s)
{
    StoredRow r;
    r.row.seq = s.integer(0);
    r.time = s.text(1);
    r.row.time = ParseTime(r.time);
    r.row.level = int(s.integer(2));
    r.row.source = s.text(3);
    r.row.user = s.text(4);
    r.row.action = s.text(5);
    r.row.detail = s.text(6);
    r.devices = s.text(7);
    r.row.devices = ParseDevices(r.devices);
    r.prev = s.bytes(8);
    r.row.hash = s.bytes(9);
    return r;
}

// The newest row as the writers kept it, beside the rows (table Anchor), and the newest row of
// a record made before they did: the rows up to it were written under the earlier rules.
struct ChainEnd {
    qint64 seq = 0;
    QByteArray hash;
    qint64 legacy = 0;
};

void AppendField(QByteArray& out, const QByteArray& field)
{
    out += QByteArray::number(field.size());
    out += ':';
    out += field;
    out += ';';
}

} // namespace

QString TimeText(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

QDateTime ParseTime(const QString& text)
{
    QDateTime t = QDateTime::fromString(text, Qt::ISODateWithMs);
    return t.toUTC();
}

QString DevicesText(const std::vector<AuditDevice>& devices)
{
    QStringList parts;
    for (const auto& [group, id] : devices)
        parts << QStringLiteral("%1:%2").arg(group).arg(id);
    return parts.join(QLatin1Char(' '));
}

std::vector<AuditDevice> ParseDevices(const QString& text)
{
    std::vector<AuditDevice> out;
    for (const QString& part : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList gi = part.split(QLatin1Char(':'));
        if (gi.size() == 2)
            out.emplace_back(gi[0].toInt(), gi[1].toInt());
    }
    return out;
}

QByteArray ChainHash(const QByteArray& previous, qint64 seq, const QString& time, int level, const QString& source,
                     const QString& user, const QString& action, const QString& detail, const QString& devices)
{
    QByteArray data = previous;
    AppendField(data, QByteArray::number(seq));
    AppendField(data, time.toUtf8());
    AppendField(data, QByteArray::number(level));
    AppendField(data, source.toUtf8());
    AppendField(data, user.toUtf8());
    AppendField(data, action.toUtf8());
    AppendField(data, detail.toUtf8());
    AppendField(data, devices.toUtf8());
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

QString KeepDetail(qint64 rowsRemoved, const QDateTime& cutoff, qint64 actionsRemoved, qint64 firstRemoved,
                   qint64 lastRemoved, qint64 changesRemoved)
{
    return QStringLiteral("removed %1 rows older than %2 (%3 actions, seq %4 to %5, and %6 on-line changes); this row "
                          "carries the hash of row %5, which the chain goes on from")
        .arg(rowsRemoved)
        .arg(cutoff.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")))
        .arg(actionsRemoved)
        .arg(firstRemoved)
        .arg(lastRemoved)
        .arg(changesRemoved);
}

std::optional<qint64> KeepRemovedUpTo(const QString& detail)
{
    static const QRegularExpression range(QStringLiteral("\\bseq (\\d+) to (\\d+)\\b"));
    const QRegularExpressionMatch m = range.match(detail);
    if (!m.hasMatch())
        return std::nullopt;
    return m.captured(2).toLongLong();
}

Connection::Connection(const QString& path, bool write)
    : m_path(path)
{
    const QByteArray name = QFile::encodeName(path);
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (write) {
#ifdef Q_OS_WIN
        flags |= SQLITE_OPEN_CREATE;
#else
        // Readable and writable by the owner and the group only, whatever the umask: created here
        // with O_EXCL, then set with fchmod (the umask may have taken the group's bits). SQLite
        // gives its -wal and -shm files the mode of the database.
        const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
        if (fd >= 0) {
            const bool moded = ::fchmod(fd, 0660) == 0;
            const int saved = errno;
            ::close(fd);
            if (!moded) {
                m_error = QStringLiteral("cannot set the mode of %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(saved)));
                return;
            }
        } else if (errno != EEXIST) {
            m_error = QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
#endif
    }
    if (sqlite3_open_v2(name.constData(), &m_db, flags, nullptr) != SQLITE_OK) {
        m_error = QStringLiteral("cannot open %1: %2").arg(path, QString::fromUtf8(m_db ? sqlite3_errmsg(m_db) : "out of memory"));
        sqlite3_close(m_db);
        m_db = nullptr;
        return;
    }
    sqlite3_busy_timeout(m_db, BusyTimeoutMs);
    if (write) {
        bool walSet = false;
        {
            Statement wal(m_db, QStringLiteral("PRAGMA journal_mode=WAL"));
            walSet = wal.step() == SQLITE_ROW && wal.text(0).compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0;
        }
        if (!walSet) {
            fail(QStringLiteral("cannot open %1 in WAL mode").arg(path));
            return;
        }
        if (sqlite3_db_readonly(m_db, "main") == 1) {
            fail(QStringLiteral("cannot write %1: the file is read-only").arg(path));
            return;
        }
        // A commit is on disk when it returns, as the register's writes are.
        if (!exec("PRAGMA synchronous=FULL") || !exec("BEGIN IMMEDIATE"))
            return;
        const bool anchored = hasAnchorTable();
        if (!exec(SchemaSql) || (!anchored && !exec(StartAnchorSql)) || !exec("COMMIT"))
            return;
    }
    // Not our file, or not a database at all: said, and never touched.
    for (const QString& probe : { QStringLiteral("SELECT %1 FROM Actions LIMIT 0").arg(QLatin1String(ActionColumns)),
                                  QStringLiteral("SELECT time, grp, id, state FROM OnlineHistory LIMIT 0") }) {
        if (!m_db)
            return;
        Statement s(m_db, probe);
        if (!s.ok()) {
            fail(QStringLiteral("%1 is not an audit record").arg(path));
            return;
        }
    }
}

Connection::~Connection()
{
    sqlite3_close(m_db);
}

bool Connection::fail(const QString& what)
{
    m_error = m_db ? QStringLiteral("%1: %2").arg(what, QString::fromUtf8(sqlite3_errmsg(m_db))) : what;
    m_diskFull = m_db && (sqlite3_extended_errcode(m_db) & 0xff) == SQLITE_FULL;
    if (m_db) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(m_db);
        m_db = nullptr;
    }
    return false;
}

bool Connection::exec(const char* sql)
{
    if (!m_db)
        return false;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        return fail(QStringLiteral("cannot write %1").arg(m_path));
    return true;
}

bool Connection::hasAnchorTable()
{
    Statement s(m_db, QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'Anchor'"));
    return s.step() == SQLITE_ROW;
}

bool Connection::insertChained(const std::vector<AuditEntry>& entries)
{
    if (entries.empty())
        return true;
    qint64 seq = 0;
    QByteArray previous;
    {
        Statement last(m_db, QStringLiteral("SELECT seq, hash FROM Actions ORDER BY seq DESC LIMIT 1"));
        const int rc = last.step();
        if (rc == SQLITE_ROW) {
            seq = last.integer(0);
            previous = last.bytes(1);
        } else if (rc != SQLITE_DONE) {
            return fail(QStringLiteral("cannot read %1").arg(m_path));
        }
    }
    {
        // The chain goes on from the end the writers kept, not from whatever row is last now:
        // rows cut from the end stay a gap in the seq. Rows beyond the kept end (written by an
        // earlier version beside this one) are taken in.
        Statement kept(m_db, QStringLiteral("SELECT seq, hash FROM Anchor LIMIT 1"));
        if (kept.step() == SQLITE_ROW && kept.integer(0) >= seq) {
            seq = kept.integer(0);
            previous = kept.bytes(1);
        }
    }
    Statement insert(m_db, QStringLiteral("INSERT INTO Actions (%1) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)")
                               .arg(QLatin1String(ActionColumns)));
    for (const AuditEntry& e : entries) {
        ++seq;
        const QString time = TimeText(e.time);
        const QString devices = DevicesText(e.devices);
        const QByteArray hash = ChainHash(previous, seq, time, e.level, e.source, e.user, e.action, e.detail, devices);
        insert.bind(1, seq);
        insert.bind(2, time);
        insert.bind(3, qint64(e.level));
        insert.bind(4, e.source);
        insert.bind(5, e.user);
        insert.bind(6, e.action);
        insert.bind(7, e.detail);
        insert.bind(8, devices);
        insert.bind(9, previous);
        insert.bind(10, hash);
        if (insert.step() != SQLITE_DONE)
            return fail(QStringLiteral("cannot write %1").arg(m_path));
        insert.reset();
        previous = hash;
    }
    // A table emptied by hand stays empty: verify() goes on saying so.
    Statement end(m_db, QStringLiteral("UPDATE Anchor SET seq = ?1, hash = ?2"));
    end.bind(1, seq);
    end.bind(2, previous);
    if (end.step() != SQLITE_DONE)
        return fail(QStringLiteral("cannot write %1").arg(m_path));
    return true;
}

bool Connection::append(const std::vector<AuditEntry>& entries, const std::vector<StateChange>& changes)
{
    if (!exec("BEGIN IMMEDIATE") || !insertChained(entries))
        return false;
    if (!changes.empty()) {
        Statement insert(m_db, QStringLiteral("INSERT INTO OnlineHistory (time, grp, id, state) VALUES (?1, ?2, ?3, ?4)"));
        for (const StateChange& c : changes) {
            insert.bind(1, TimeText(c.time));
            insert.bind(2, qint64(c.group));
            insert.bind(3, qint64(c.id));
            insert.bind(4, qint64(c.state));
            if (insert.step() != SQLITE_DONE)
                return fail(QStringLiteral("cannot write %1").arg(m_path));
            insert.reset();
        }
    }
    return exec("COMMIT");
}

bool Connection::purge(const QDateTime& cutoff, const QString& user)
{
    if (!exec("BEGIN IMMEDIATE"))
        return false;
    const QString cut = TimeText(cutoff);
    // ?1 the cutoff, ?2 and ?3 seq values
    auto number = [&](const QString& sql, qint64 from = 0, qint64 to = 0, bool* isNull = nullptr) -> qint64 {
        Statement s(m_db, sql);
        s.bind(1, cut);
        s.bind(2, from);
        s.bind(3, to);
        const bool row = s.step() == SQLITE_ROW;
        if (isNull)
            *isNull = !row || s.isNull(0);
        return row ? s.integer(0) : 0;
    };
    bool empty = false, noneKept = false;
    const qint64 lowest = number(QStringLiteral("SELECT min(seq) FROM Actions"), 0, 0, &empty);
    if (empty)
        return exec("COMMIT");
    const qint64 highest = number(QStringLiteral("SELECT max(seq) FROM Actions"));
    // The keep row of an earlier purge leads the record with the time it was made: it neither
    // holds back what follows it nor counts as removed.
    const bool keepFirst = number(QStringLiteral("SELECT count(*) FROM Actions WHERE seq = ?2 AND action = 'keep'"), lowest) > 0;
    const qint64 firstRemoved = keepFirst ? lowest + 1 : lowest;
    // The oldest rows up to the first one within the keep time, so the rows left follow each
    // other without a gap; the newest row always stays, for the chain to go on from.
    const qint64 firstKept = number(QStringLiteral("SELECT min(seq) FROM Actions WHERE time >= ?1 AND seq >= ?2"),
                                    firstRemoved, 0, &noneKept);
    const qint64 removeUpTo = (noneKept ? highest : firstKept) - 1;
    const qint64 actionsRemoved = number(QStringLiteral("SELECT count(*) FROM Actions WHERE seq >= ?2 AND seq <= ?3"),
                                         firstRemoved, removeUpTo);
    // On-line changes go with the actions, so that every removal has its keep row.
    if (actionsRemoved == 0)
        return exec("COMMIT");

    // The keep row takes the place of the last row it removed and carries that row's hash, which
    // the row after it holds as its prev: the chain runs through it unbroken.
    QByteArray lastRemovedHash;
    {
        Statement s(m_db, QStringLiteral("SELECT hash FROM Actions WHERE seq <= ?1 ORDER BY seq DESC LIMIT 1"));
        s.bind(1, removeUpTo);
        if (s.step() != SQLITE_ROW)
            return fail(QStringLiteral("cannot read %1").arg(m_path));
        lastRemovedHash = s.bytes(0);
    }
    {
        Statement del(m_db, QStringLiteral("DELETE FROM Actions WHERE seq <= ?1"));
        del.bind(1, removeUpTo);
        if (del.step() != SQLITE_DONE)
            return fail(QStringLiteral("cannot write %1").arg(m_path));
    }
    qint64 changesRemoved = 0;
    {
        Statement del(m_db, QStringLiteral("DELETE FROM OnlineHistory WHERE time < ?1"));
        del.bind(1, cut);
        if (del.step() != SQLITE_DONE)
            return fail(QStringLiteral("cannot write %1").arg(m_path));
        changesRemoved = sqlite3_changes(m_db);
    }
    AuditEntry keep;
    keep.time = QDateTime::currentDateTimeUtc();
    keep.level = ModeNone;
    keep.source = QStringLiteral("audit");
    keep.user = user;
    keep.action = QStringLiteral("keep");
    keep.detail = KeepDetail(actionsRemoved + changesRemoved, cutoff, actionsRemoved, firstRemoved, removeUpTo, changesRemoved);
    const QString time = TimeText(keep.time);
    Statement insert(m_db, QStringLiteral("INSERT INTO Actions (%1) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, '', ?8, ?9)")
                               .arg(QLatin1String(ActionColumns)));
    insert.bind(1, removeUpTo);
    insert.bind(2, time);
    insert.bind(3, qint64(keep.level));
    insert.bind(4, keep.source);
    insert.bind(5, keep.user);
    insert.bind(6, keep.action);
    insert.bind(7, keep.detail);
    insert.bind(8, lastRemovedHash);
    insert.bind(9, ChainHash(lastRemovedHash, removeUpTo, time, keep.level, keep.source, keep.user, keep.action,
                             keep.detail, QString()));
    if (insert.step() != SQLITE_DONE)
        return fail(QStringLiteral("cannot write %1").arg(m_path));
    return exec("COMMIT");
}

std::vector<AuditRow> Connection::rows(const AuditFilter& filter)
{
    std::vector<AuditRow> out;
    if (!m_db)
        return out;
    QStringList where;
    int next = 1;
    std::vector<std::pair<int, QString>> binds;
    auto parameter = [&](const QString& value) {
        binds.emplace_back(next, value);
        return QStringLiteral("?%1").arg(next++);
    };
    if (filter.since && filter.since->isValid())
        where << QStringLiteral("time >= ") + parameter(TimeText(*filter.since));
    if (filter.until && filter.until->isValid())
        where << QStringLiteral("time <= ") + parameter(TimeText(*filter.until));
    if (!filter.actions.isEmpty()) {
        QStringList any;
        for (const QString& action : filter.actions)
            any << parameter(action);
        where << QStringLiteral("action IN (%1)").arg(any.join(QStringLiteral(", ")));
    }
    if (filter.device) {
        // Whole names only: " 2:5 " is not found in " 2:55 ".
        where << QStringLiteral("instr(' ' || devices || ' ', %1) > 0")
                     .arg(parameter(QStringLiteral(" %1:%2 ").arg(filter.device->first).arg(filter.device->second)));
    }
    QString sql = QStringLiteral("SELECT %1 FROM Actions").arg(QLatin1String(ActionColumns));
    if (!where.isEmpty())
        sql += QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND "));
    sql += QStringLiteral(" ORDER BY time DESC, seq DESC");
    Statement s(m_db, sql);
    for (const auto& [index, value] : binds)
        s.bind(index, value);
    while (s.step() == SQLITE_ROW)
        out.push_back(ReadRow(s).row);
    return out;
}

std::vector<StateChange> Connection::history(const std::vector<AuditDevice>& devices, const QDateTime& since,
                                             const QDateTime& until)
{
    std::vector<StateChange> out;
    if (!m_db)
        return out;
    const QString from = since.isValid() ? TimeText(since) : QString();
    const QString to = until.isValid() ? TimeText(until) : QStringLiteral("9999");
    Statement within(m_db, QStringLiteral("SELECT time, state FROM OnlineHistory WHERE grp = ?1 AND id = ?2 "
                                          "AND time >= ?3 AND time <= ?4 ORDER BY time, rowid"));
    Statement before(m_db, QStringLiteral("SELECT time, state FROM OnlineHistory WHERE grp = ?1 AND id = ?2 "
                                          "AND time < ?3 ORDER BY time DESC, rowid DESC LIMIT 1"));
    auto take = [&](Statement& s, const AuditDevice& device) {
        while (s.step() == SQLITE_ROW)
            out.push_back({ ParseTime(s.text(0)), device.first, device.second, DeviceState(s.integer(1)) });
        s.reset();
    };
    for (const AuditDevice& device : devices) {
        if (since.isValid()) {
            before.bind(1, qint64(device.first));
            before.bind(2, qint64(device.second));
            before.bind(3, from);
            take(before, device);
        }
        within.bind(1, qint64(device.first));
        within.bind(2, qint64(device.second));
        within.bind(3, from);
        within.bind(4, to);
        take(within, device);
    }
    std::stable_sort(out.begin(), out.end(), [](const StateChange& a, const StateChange& b) { return a.time < b.time; });
    return out;
}

std::optional<std::pair<QDateTime, QDateTime>> Connection::span()
{
    if (!m_db)
        return std::nullopt;
    // Each table's ends come from its time index; the text sorts as the times do.
    Statement ends(m_db, QStringLiteral("SELECT min(first), max(last) FROM ("
                                        "SELECT min(time) AS first, max(time) AS last FROM Actions UNION ALL "
                                        "SELECT min(time), max(time) FROM OnlineHistory)"));
    if (ends.step() != SQLITE_ROW || ends.text(0).isEmpty())
        return std::nullopt;
    return std::pair { ParseTime(ends.text(0)), ParseTime(ends.text(1)) };
}

AuditCheck Connection::verify()
{
    AuditCheck check;
    if (!m_db) {
        check.intact = false;
        check.problem = m_error;
        return check;
    }
    auto bad = [&](qint64 seq, const QString& problem) {
        check.intact = false;
        check.firstBad = seq;
        check.problem = problem;
        return check;
    };
    // The end the writers kept. A record no program of this version has written has no table
    // for it: all its rows are of the earlier rules.
    std::optional<ChainEnd> end;
    qint64 ends = 0;
    {
        Statement s(m_db, QStringLiteral("SELECT seq, hash, legacy FROM Anchor"));
        if (s.ok()) {
            end.emplace();
            while (s.step() == SQLITE_ROW)
                if (ends++ == 0)
                    *end = { s.integer(0), s.bytes(1), s.integer(2) };
        }
    }
    const qint64 legacy = !end ? std::numeric_limits<qint64>::max() : ends == 1 ? end->legacy : 0;

    // Rows written before the end was kept restarted the chain at a keep row wherever the keep
    // time had removed rows, and such a row named the seq range it removed.
    std::vector<qint64> removedUpTo;
    {
        Statement keeps(m_db, QStringLiteral("SELECT detail FROM Actions WHERE action = 'keep' AND prev = '' AND seq <= ?1"));
        keeps.bind(1, legacy);
        while (keeps.step() == SQLITE_ROW)
            if (const auto upTo = KeepRemovedUpTo(keeps.text(0)))
                removedUpTo.push_back(*upTo);
    }
    Statement s(m_db, QStringLiteral("SELECT %1 FROM Actions ORDER BY seq").arg(QLatin1String(ActionColumns)));
    if (!s.ok())
        return bad(0, QStringLiteral("cannot read %1: %2").arg(m_path, QString::fromUtf8(sqlite3_errmsg(m_db))));
    qint64 lastSeq = 0;
    QByteArray follows;    // the prev the next row must hold
    QByteArray endRowHash; // the hash of the row at the kept end, when there is one
    int rc;
    while ((rc = s.step()) == SQLITE_ROW) {
        const StoredRow r = ReadRow(s);
        const qint64 seq = r.row.seq;
        const bool keep = r.row.action == QLatin1String("keep");
        const bool earlierKeep = keep && r.prev.isEmpty() && seq <= legacy;
        if (check.rows == 0) {
            if (keep && !earlierKeep && r.prev.isEmpty())
                return bad(seq, QStringLiteral("row %1 is a keep row without the hash of the last row it removed").arg(seq));
            if (!keep && !r.prev.isEmpty()) {
                if (seq > legacy || std::find(removedUpTo.begin(), removedUpTo.end(), seq - 1) == removedUpTo.end())
                    return bad(seq, QStringLiteral("the rows before row %1 are missing, and no keep row says they were "
                                                   "removed").arg(seq));
            } else if (!keep && seq != 1) {
                return bad(seq, QStringLiteral("row %1 starts a chain of its own, which only a keep row may; the rows "
                                               "before it are missing").arg(seq));
            }
        } else if (seq != lastSeq + 1) {
            return bad(seq, seq == lastSeq + 2
                                ? QStringLiteral("row %1 is missing (before row %2)").arg(lastSeq + 1).arg(seq)
                                : QStringLiteral("rows %1 to %2 are missing (before row %3)").arg(lastSeq + 1).arg(seq - 1).arg(seq));
        } else if (keep && !earlierKeep) {
            return bad(seq, QStringLiteral("row %1 is a keep row, which only the first row of the record may be").arg(seq));
        } else if (r.prev != follows && !earlierKeep) {
            return bad(seq, r.prev.isEmpty()
                                ? QStringLiteral("row %1 starts a chain of its own, which only a keep row may").arg(seq)
                                : QStringLiteral("row %1 does not follow row %2: its previous hash is not that row's hash")
                                      .arg(seq).arg(lastSeq));
        }
        const QByteArray expected = ChainHash(r.prev, seq, r.time, r.row.level, r.row.source, r.row.user, r.row.action,
                                              r.row.detail, r.devices);
        if (expected != r.row.hash)
            return bad(seq, QStringLiteral("row %1 has been changed: its hash does not match its fields").arg(seq));
        // A keep row leading the record stands in for the last row it removed: the row after it
        // holds that row's hash.
        follows = check.rows == 0 && keep && !earlierKeep ? r.prev : r.row.hash;
        if (end && seq == end->seq)
            endRowHash = r.row.hash;
        ++check.rows;
        lastSeq = seq;
    }
    if (rc != SQLITE_DONE)
        return bad(lastSeq + 1, QStringLiteral("cannot read %1 after row %2: %3").arg(m_path).arg(lastSeq)
                                    .arg(QString::fromUtf8(sqlite3_errmsg(m_db))));
    if (!end)
        return check;
    if (ends != 1)
        return bad(0, QStringLiteral("the end of the record is not known: table Anchor holds %1 rows instead of one")
                          .arg(ends));
    if (lastSeq < end->seq)
        return bad(lastSeq + 1, lastSeq + 1 == end->seq
                                    ? QStringLiteral("row %1 is missing at the end (the record ended with it)").arg(end->seq)
                                    : QStringLiteral("rows %1 to %2 are missing at the end (the record ended with row %2)")
                                          .arg(lastSeq + 1).arg(end->seq));
    if (end->seq > 0 && endRowHash != end->hash)
        return bad(end->seq, QStringLiteral("row %1 is not the row the record ended with: its hash is not the one kept "
                                            "for the end").arg(end->seq));
    return check;
}

} // namespace auditdb

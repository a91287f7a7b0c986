// What a reader of the record sees: the rows a filter picks, a device's on-line history, what the
// keep time removes, the CSV a spreadsheet opens, and a file that cannot be written or read by
// anyone outside the owner's group.

#include "support.h"

#include <QCoreApplication>

#include <algorithm>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

namespace {

const QDateTime Base = QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);
QDateTime At(double hours) { return Base.addMSecs(qint64(hours * 3600000.0)); }

TEST(AuditRows, FiltersPickByTimeActionAndWholeDeviceName)
{
    QTemporaryDir dir;
    AuditLog log(dir.path(), 0);
    ASSERT_TRUE(log.writable());
    log.record(Entry(At(0), QStringLiteral("log-in"), QStringLiteral("r1")));
    log.record(Entry(At(1), QStringLiteral("move"), QStringLiteral("r2"), { { 2, 5 } }));
    log.record(Entry(At(2), QStringLiteral("move"), QStringLiteral("r3"), { { 2, 55 } }));
    log.record(Entry(At(3), QStringLiteral("readdress"), QStringLiteral("r4"), { { 2, 5 }, { 3, 1 } }));
    log.record(Entry(At(4), QStringLiteral("stop-all"), QStringLiteral("r5")));
    log.record(Entry(At(5), QStringLiteral("move"), QStringLiteral("r6"), { { 12, 5 } }));
    log.flush();

    struct Case {
        const char* name;
        AuditFilter filter;
        QStringList details; // newest first
    };
    auto since = [](const QDateTime& t) { AuditFilter f; f.since = t; return f; };
    auto device = [](int g, int id) { AuditFilter f; f.device = AuditDevice { g, id }; return f; };
    AuditFilter window;
    window.since = At(1);
    window.until = At(3);
    AuditFilter moveOn25 = device(2, 5);
    moveOn25.actions = QStringList { QStringLiteral("move") };
    AuditFilter moves;
    moves.actions = QStringList { QStringLiteral("move") };
    AuditFilter movesOrReaddress;
    movesOrReaddress.actions = QStringList { QStringLiteral("move"), QStringLiteral("readdress") };
    const std::vector<Case> cases {
        { "everything", {}, { "r6", "r5", "r4", "r3", "r2", "r1" } },
        { "both ends inclusive", window, { "r4", "r3", "r2" } },
        { "a millisecond later", since(At(1).addMSecs(1)), { "r6", "r5", "r4", "r3" } },
        { "one action", moves, { "r6", "r3", "r2" } },
        { "any of two actions", movesOrReaddress, { "r6", "r4", "r3", "r2" } },
        { "2:5, not 2:55 or 12:5", device(2, 5), { "r4", "r2" } },
        { "2:55", device(2, 55), { "r3" } },
        { "second device of a row", device(3, 1), { "r4" } },
        { "a device never named", device(5, 5), {} },
        { "device and action", moveOn25, { "r2" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Details(log.rows(c.filter)), c.details);
    }

    // A row reads back as it was recorded; the account is the process's when none was given.
    const std::vector<AuditRow> r4 = log.rows(device(3, 1));
    ASSERT_EQ(r4.size(), 1u);
    EXPECT_EQ(r4[0].time, At(3));
    EXPECT_EQ(r4[0].devices, (std::vector<AuditDevice> { { 2, 5 }, { 3, 1 } }));
    EXPECT_EQ(r4[0].user, AuditLog::processUser());
    EXPECT_FALSE(r4[0].user.isEmpty());
    EXPECT_EQ(r4[0].seq, 4);
}

TEST(AuditRows, HistoryStartsWithTheStateAtTheLeftEdge)
{
    QTemporaryDir dir;
    AuditLog log(dir.path(), 0);
    using S = DeviceState;
    const std::vector<StateChange> changes {
        { At(-2), 2, 5, S::Online }, { At(-1), 2, 5, S::Offline }, { At(0.5), 2, 55, S::Online },
        { At(1), 2, 5, S::Online },  { At(2), 3, 1, S::Online },   { At(3), 2, 5, S::Offline },
    };
    for (const StateChange& c : changes)
        log.recordState(c);
    log.flush();

    struct Case {
        const char* name;
        std::vector<AuditDevice> devices;
        double since, until;
        std::vector<std::tuple<double, int, int, DeviceState>> expected; // hours, group, id, state
    };
    const std::vector<Case> cases {
        { "the change before since, then those within", { { 2, 5 }, { 3, 1 } }, 0, 2,
          { { -1, 2, 5, S::Offline }, { 1, 2, 5, S::Online }, { 2, 3, 1, S::Online } } },
        { "nothing before the first change", { { 2, 5 } }, -3, 4,
          { { -2, 2, 5, S::Online }, { -1, 2, 5, S::Offline }, { 1, 2, 5, S::Online }, { 3, 2, 5, S::Offline } } },
        { "no change within: the state before only", { { 3, 1 } }, 2.5, 4, { { 2, 3, 1, S::Online } } },
        { "until inclusive", { { 2, 55 } }, 0, 0.5, { { 0.5, 2, 55, S::Online } } },
        { "a device never seen", { { 9, 9 } }, -5, 5, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::tuple<double, int, int, DeviceState>> got;
        for (const StateChange& s : log.history(c.devices, At(c.since), At(c.until)))
            got.emplace_back(Base.msecsTo(s.time) / 3600000.0, s.group, s.id, s.state);
        EXPECT_EQ(got, c.expected);
    }
}

// Rows older than the keep time go at open, those within stay; the removal is itself a row.
// The account a Windows row names comes from the system call alone: a failing or empty answer, or
// one that claims more than the buffer, gives "unknown" whatever USERNAME says.
TEST(AuditAccount, WindowsNameComesFromTheSystemCallOrIsUnknown)
{
    qputenv("USERNAME", "from-environment");
    struct Case {
        const char* name;
        bool succeeds;
        std::wstring written;   // what the call puts into the buffer (a closing null follows)
        long sizeAdjustment;    // added to the size it reports (which counts the closing null)
        QString expected;
    };
    const Case cases[] = {
        { "an ASCII account", true, L"operator", 0, QStringLiteral("operator") },
        { "a Chinese account", true, L"\x64CD\x4F5C\x5458", 0, QString::fromUtf8("操作员") },
        { "the call fails", false, L"", 0, QStringLiteral("unknown") },
        { "a failure that still wrote a name", false, L"stale", 0, QStringLiteral("unknown") },
        { "an empty name", true, L"", 0, QStringLiteral("unknown") },
        { "a size beyond the buffer", true, L"operator", 1000, QStringLiteral("unknown") },
        { "a size that does not end at the null", true, L"operator", -2, QStringLiteral("unknown") },
    };
    for (const Case& c : cases) {
        const QString got = AuditLog::windowsAccountName([&](wchar_t* buffer, unsigned long* size) {
            if (c.written.size() + 1 > *size)
                return false;
            std::copy(c.written.begin(), c.written.end(), buffer);
            buffer[c.written.size()] = L'\0';
            *size = static_cast<unsigned long>(long(c.written.size() + 1) + c.sizeAdjustment);
            return c.succeeds;
        });
        EXPECT_EQ(got, c.expected) << c.name;
    }
    qunsetenv("USERNAME");
}

TEST(AuditKeep, RemovesOnlyWhatIsOlderThanTheKeepTime)
{
    for (const int keepDays : { 1, 30, 730 }) {
        SCOPED_TRACE(keepDays);
        QTemporaryDir dir;
        {
            AuditLog log(dir.path(), 0);
            log.record(Entry(DaysAgo(keepDays + 1), QStringLiteral("move"), QStringLiteral("older")));
            log.record(Entry(DaysAgo(keepDays - 1), QStringLiteral("move"), QStringLiteral("within")));
            log.recordState({ DaysAgo(keepDays + 1), 1, 1, DeviceState::Online });
            log.recordState({ DaysAgo(keepDays - 1), 1, 1, DeviceState::Offline });
        }
        {
            AuditLog log(dir.path(), keepDays);
            const std::vector<AuditRow> rows = log.rows({});
            ASSERT_EQ(Details(rows).mid(1), QStringList { QStringLiteral("within") });
            EXPECT_EQ(rows[0].action, QStringLiteral("keep"));
            EXPECT_TRUE(rows[0].detail.startsWith(QStringLiteral("removed 2 rows older than "))) << rows[0].detail.toStdString();
            EXPECT_TRUE(rows[0].detail.endsWith(QStringLiteral("(1 actions, seq 1 to 1, and 1 on-line changes); this row "
                                                               "carries the hash of row 1, which the chain goes on from")))
                << rows[0].detail.toStdString();
            EXPECT_EQ(rows[0].seq, 1);
            const std::vector<StateChange> history = log.history({ { 1, 1 } }, DaysAgo(keepDays + 5), DaysAgo(0));
            ASSERT_EQ(history.size(), 1u);
            EXPECT_EQ(history[0].state, DeviceState::Offline);
            EXPECT_TRUE(log.verify().intact) << log.verify().problem.toStdString();
        }
        // Nothing more to remove: no second keep row.
        AuditLog again(dir.path(), keepDays);
        EXPECT_EQ(again.rows({}).size(), 2u);
    }
}

// Each line as a spreadsheet takes it: RFC 4180 quoting, UTF-8 behind a byte order mark, no
// formula, times it reads back.
TEST(AuditCsvFile, SpreadsheetReadsEveryCellAsTextAndRunsNone)
{
    struct Case {
        QString detail;
        QByteArray written; // the cell as it is in the file
    };
    const std::vector<Case> cases {
        { "plain words", "plain words" },
        { "=SUM(A1:A9)", "\"'=SUM(A1:A9)\"" },
        { "+1", "\"'+1\"" },
        { "-2+3", "\"'-2+3\"" },
        { "@cmd", "\"'@cmd\"" },
        { "吊杆 A 上升到 3 米", "吊杆 A 上升到 3 米" },
        { "up, \"fast\"", "\"up, \"\"fast\"\"\"" },
        { "two\nlines", "\"two\nlines\"" },
        { "a = b", "a = b" },
    };
    QTemporaryDir dir;
    AuditLog log(dir.path(), 0);
    for (size_t i = 0; i < cases.size(); ++i)
        log.record(Entry(At(double(i)), QStringLiteral("move"), cases[i].detail, { { 2, int(i) + 1 } }));
    AuditEntry named = Entry(At(100), QStringLiteral("log-in"), QStringLiteral("by name"));
    named.user = QStringLiteral("=cmd|' /C calc'!A0");
    log.record(named);
    log.flush();
    std::vector<AuditRow> rows = log.rows({});
    std::reverse(rows.begin(), rows.end()); // oldest first, as the cases

    const QByteArray csv = AuditCsv(rows);
    ASSERT_TRUE(csv.startsWith("\xEF\xBB\xBF" "time,level,source,user,action,detail,devices\r\n"));
    const QList<QByteArray> lines = csv.split('\r'); // a line break within a cell is a bare \n
    ASSERT_EQ(lines.size(), qsizetype(cases.size()) + 3); // header, rows, after the last \r\n
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].detail.toStdString());
        const QByteArray line = lines[qsizetype(i) + 1].mid(1); // after the \n
        const QByteArray time = line.left(line.indexOf(','));
        EXPECT_EQ(QDateTime::fromString(QString::fromUtf8(time), Qt::ISODateWithMs), At(double(i))) << time.toStdString();
        EXPECT_EQ(line.mid(time.size()), ",operator,window," + AuditLog::processUser().toUtf8() + ",move," + cases[i].written
                                             + ",2:" + QByteArray::number(int(i) + 1));
    }
    EXPECT_TRUE(lines[qsizetype(cases.size()) + 1].contains(",\"'=cmd|' /C calc'!A0\",log-in,"));
}

// Whatever is wrong with the file, the program goes on: said once, every row dropped, nothing
// thrown, no flush that waits.
TEST(AuditFailure, AFileThatCannotBeWrittenIsSaidOnce)
{
    enum class When { AtOpen, WhileRunning };
    struct Case {
        const char* name;
        When when;
        std::function<QString(const QString&)> prepare; // the temporary folder -> the data directory
    };
    const QByteArray notADatabase(4096, 'x');
    const std::vector<Case> cases {
        { "a data directory that does not exist", When::AtOpen, [](const QString& t) { return t + "/missing"; } },
        { "a data directory that is a file", When::AtOpen,
          [](const QString& t) {
              QFile f(t + "/file");
              f.open(QIODevice::WriteOnly);
              return f.fileName();
          } },
        { "Audit.DB that is a folder", When::AtOpen,
          [](const QString& t) {
              QDir(t).mkdir(QStringLiteral("Audit.DB"));
              return t;
          } },
        { "Audit.DB that is no database", When::AtOpen,
          [&](const QString& t) {
              QFile f(t + "/Audit.DB");
              f.open(QIODevice::WriteOnly);
              f.write(notADatabase);
              return t;
          } },
        { "a disk that takes no more", When::WhileRunning, [](const QString& t) { return t; } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir tmp;
        const QString dataDir = c.prepare(tmp.path());
        AuditLog log(dataDir, 30);
        QStringList said;
        QObject::connect(&log, &AuditLog::writeFailed, [&](const QString& reason) { said << reason; });
        rlimit saved {};
        if (c.when == When::WhileRunning) {
            ASSERT_TRUE(log.writable());
            // Files may grow no further, as on a full disk.
            std::signal(SIGXFSZ, SIG_IGN);
            ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
            rlimit full = saved;
            full.rlim_cur = 1;
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
        }
        for (int i = 0; i < 3; ++i) {
            EXPECT_NO_THROW(log.record(Entry({}, QStringLiteral("move"), QString(2000, QLatin1Char('m')))));
            EXPECT_NO_THROW(log.recordState({ {}, 1, i, DeviceState::Online }));
            log.flush();
        }
        if (c.when == When::WhileRunning) {
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
        }
        QCoreApplication::processEvents();
        EXPECT_FALSE(log.writable());
        ASSERT_EQ(said.size(), 1);
        EXPECT_TRUE(said[0].contains(QStringLiteral("Audit.DB"))) << said[0].toStdString();
        EXPECT_TRUE(log.rows({}).empty());
        if (QByteArray(c.name).contains("no database")) {
            QFile f(dataDir + "/Audit.DB");
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            EXPECT_EQ(f.readAll(), notADatabase) << "the file was touched";
        }
    }
}

// A record that fails takes rows again once the cause is gone: the rows in between are dropped
// and counted, the failure and the recovery are each said once, and the chain goes on whole.
TEST(AuditFailure, ARecordThatFailsTakesTheNextRowsOnceItCan)
{
    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const rlimit full { 1, saved.rlim_max };
    std::signal(SIGXFSZ, SIG_IGN);
    struct Case {
        const char* dataDir; // in the temporary folder: made only later; "": there, on a disk full for a while
        qint64 dropped;
        QStringList details; // newest first
    };
    for (const Case& c : { Case { "/later", 7, { "after" } }, Case { "", 6, { "after", "before" } } }) {
        SCOPED_TRACE(c.dataDir);
        QTemporaryDir tmp;
        const QString dataDir = tmp.path() + c.dataDir;
        AuditLog log(dataDir, 0);
        int failures = 0;
        std::vector<qint64> recoveries;
        QObject::connect(&log, &AuditLog::writeFailed, [&] { ++failures; });
        QObject::connect(&log, &AuditLog::writeRecovered, [&](qint64 dropped) { recoveries.push_back(dropped); });
        log.record(Entry({}, QStringLiteral("move"), QStringLiteral("before")));
        log.flush();
        if (!*c.dataDir)
            ::setrlimit(RLIMIT_FSIZE, &full);
        for (int i = 0; i < 3; ++i) {
            log.record(Entry({}, QStringLiteral("move"), QString(2000, QLatin1Char('m'))));
            log.recordState({ {}, 1, i, DeviceState::Online });
            log.flush();
        }
        if (!*c.dataDir)
            ::setrlimit(RLIMIT_FSIZE, &saved);
        QDir().mkpath(dataDir);
        log.record(Entry({}, QStringLiteral("move"), QStringLiteral("after")));
        log.flush();
        QCoreApplication::processEvents();

        EXPECT_EQ(log.droppedRows(), c.dropped);
        EXPECT_EQ(failures, 1);
        EXPECT_EQ(recoveries, std::vector<qint64> { c.dropped });
        EXPECT_EQ(Details(log.rows({})), c.details);
        EXPECT_TRUE(log.verify().intact) << log.verify().problem.toStdString();
    }
}

// Owner and group read and write, nobody else, whatever the umask; the WAL beside it alike.
TEST(AuditFile, ModeIs0660WhateverTheUmask)
{
    for (const mode_t mask : { 0022, 0077, 0002, 0000 }) {
        SCOPED_TRACE(mask);
        QTemporaryDir dir;
        const mode_t before = ::umask(mask);
        {
            AuditLog log(dir.path(), 0);
            log.record(Entry({}, QStringLiteral("log-in"), QStringLiteral("mode")));
            log.flush();
            for (const char* file : { "/Audit.DB", "/Audit.DB-wal" }) {
                struct stat st {};
                ASSERT_EQ(::stat(QFile::encodeName(dir.path() + file).constData(), &st), 0) << file;
                EXPECT_EQ(st.st_mode & 07777, 0660u) << file;
            }
        }
        ::umask(before);
    }
}

} // namespace

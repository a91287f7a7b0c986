// The chain shows a row changed or removed by hand, the end of the record cut off, and a keep row
// anywhere but at the front.

#include "support.h"

#include <functional>

namespace {

TEST(AuditChain, VerifyFindsTheFirstRowChangedOrRemoved)
{
    struct Case {
        const char* name;
        std::string before; // SQL run on the file before the keep time is applied
        bool keep;          // opened once with a keep time of 30 days: rows 1 and 2 go, the keep row takes row 3's place
        int keepAgain;      // then opened with a keep time of this many days (0: not)
        std::string after;  // SQL run on the file at the end
        qint64 rehash;      // the row whose hash is then made to fit its fields (0: none)
        bool intact;
        qint64 rows;        // rows checked when intact
        qint64 firstBad;
        const char* says;
    };
    // The first rows removed by hand, and a keep row saying so put at the end.
    const std::string forgedKeep = "DELETE FROM Actions WHERE seq <= 3; INSERT INTO Actions VALUES (7, "
        "'2026-02-01T00:00:00.000Z', 15, 'audit', 'ana', 'keep', 'removed 3 rows older than 2026-01-01T00:00:00Z "
        "(3 actions, seq 1 to 3, and 0 on-line changes); the chain starts again here', '', '', '')";
    const std::vector<Case> cases {
        { "untouched", "", false, 0, "", 0, true, 6, 0, "" },
        { "a detail changed", "", false, 0, "UPDATE Actions SET detail = 'down' WHERE seq = 5", 0, false, 0, 5, "row 5 has been changed" },
        { "a device changed", "", false, 0, "UPDATE Actions SET devices = '2:6' WHERE seq = 2", 0, false, 0, 2, "row 2 has been changed" },
        { "the level changed", "", false, 0, "UPDATE Actions SET level = 1 WHERE seq = 6", 0, false, 0, 6, "row 6 has been changed" },
        { "a row removed", "", false, 0, "DELETE FROM Actions WHERE seq = 5", 0, false, 0, 6, "row 5 is missing" },
        { "two rows removed", "", false, 0, "DELETE FROM Actions WHERE seq IN (3, 4)", 0, false, 0, 5, "rows 3 to 4 are missing" },
        { "the first rows removed", "", false, 0, "DELETE FROM Actions WHERE seq <= 2", 0, false, 0, 3, "before row 3 are missing" },
        { "a row made to start a chain", "", false, 0, "UPDATE Actions SET prev = '' WHERE seq = 4", 0, false, 0, 4,
          "only a keep row may" },
        { "a row passed off as a keep row", "", false, 0, "UPDATE Actions SET prev = '', action = 'keep' WHERE seq = 4", 0, false, 0, 4,
          "keep row, which only the first row of the record may be" },
        // The end of the record.
        { "the last row removed", "", false, 0, "DELETE FROM Actions WHERE seq = 6", 0, false, 0, 6,
          "row 6 is missing at the end (the record ended with it)" },
        { "the last rows removed after the keep time", "", true, 0, "DELETE FROM Actions WHERE seq >= 5", 0, false, 0, 5,
          "rows 5 to 6 are missing at the end (the record ended with row 6)" },
        { "the last row changed, its hash made to fit", "", false, 0, "UPDATE Actions SET detail = 'x' WHERE seq = 6", 6, false, 0, 6,
          "row 6 is not the row the record ended with" },
        { "the kept end removed", "", false, 0, "DELETE FROM Anchor", 0, false, 0, 0, "table Anchor holds 0 rows instead of one" },
        // Keep rows.
        { "after the keep time", "", true, 0, "", 0, true, 4, 0, "" },
        { "a keep time again, the keep row taking row 4's place", "", true, 3, "", 0, true, 3, 0, "" },
        { "a changed row gone with the keep time", "UPDATE Actions SET detail = 'x' WHERE seq = 2", true, 0, "", 0, true, 4, 0, "" },
        { "the first row after the keep time removed", "", true, 0, "DELETE FROM Actions WHERE seq = 4", 0, false, 0, 5,
          "row 4 is missing (before row 5)" },
        { "the keep row removed", "", true, 0, "DELETE FROM Actions WHERE seq = 3", 0, false, 0, 4, "before row 4 are missing" },
        { "the keep row's range changed", "", true, 0,
          "UPDATE Actions SET detail = replace(detail, 'seq 1 to 3', 'seq 1 to 2') WHERE seq = 3", 0, false, 0, 3,
          "row 3 has been changed" },
        { "a row after the keep row changed", "", true, 0, "UPDATE Actions SET user = 'someone' WHERE seq = 5", 0, false, 0, 5,
          "row 5 has been changed" },
        { "the keep row carrying another row's hash", "", true, 0,
          "UPDATE Actions SET prev = (SELECT hash FROM Actions WHERE seq = 4) WHERE seq = 3", 3, false, 0, 4,
          "row 4 does not follow row 3" },
        { "a keep row made in the middle, its hash made to fit", "", true, 0,
          "UPDATE Actions SET action = 'keep', source = 'audit', prev = hash WHERE seq = 5", 5, false, 0, 5,
          "row 5 is a keep row, which only the first row of the record may be" },
        { "the first rows removed and a keep row for them put at the end", "", false, 0, forgedKeep, 7, false, 0, 4,
          "the rows before row 4 are missing, and no keep row says they were removed" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("Audit.DB"));
        {
            AuditLog log(dir.path(), 0);
            for (int i = 1; i <= 3; ++i)
                log.record(Entry(DaysAgo(40 - i), QStringLiteral("move"), QStringLiteral("old %1").arg(i), { { 2, i } }));
            for (int i = 4; i <= 6; ++i)
                log.record(Entry(DaysAgo(7.5 - i), QStringLiteral("move"), QStringLiteral("new %1").arg(i), { { 2, i } }));
        }
        if (!c.before.empty())
            RawSql(file, c.before);
        if (c.keep)
            AuditLog(dir.path(), 30);
        if (c.keepAgain)
            AuditLog(dir.path(), c.keepAgain);
        if (c.rehash)
            EditRow(file, c.rehash, c.after);
        else if (!c.after.empty())
            RawSql(file, c.after);

        const AuditCheck check = AuditLog(dir.path(), 0).verify();
        EXPECT_EQ(check.intact, c.intact) << check.problem.toStdString();
        EXPECT_EQ(check.firstBad, c.firstBad);
        if (c.intact) {
            EXPECT_EQ(check.rows, c.rows);
        }
        EXPECT_TRUE(check.problem.contains(QLatin1String(c.says))) << check.problem.toStdString();
    }
}

// A record written before its end was kept: its keep rows restarted the chain at the end of the
// record. It verifies as it was; from the first open on, its end is kept and the rows that follow
// are held to the rules of today.
TEST(AuditChain, ARecordFromBeforeTheKeptEndStillVerifies)
{
    struct Case {
        const char* name;
        int keepDays;                                        // when the record is opened again
        std::function<void(AuditLog&, const QString&)> then; // with the record open again, and its file
        qint64 rows;                                         // intact: the rows checked; else 0
        qint64 firstBad;
        const char* says;
    };
    const std::vector<Case> cases {
        { "as it was left", 0, nullptr, 5, 0, "" },
        { "the keep time applied since", 30, nullptr, 3, 0, "" },
        { "its last row cut since", 0, [](AuditLog&, const QString& file) { RawSql(file, "DELETE FROM Actions WHERE seq = 8"); },
          0, 8, "row 8 is missing at the end" },
        { "a keep row of the old form made among the rows added since", 0,
          [](AuditLog& log, const QString& file) {
              log.record(Entry({}, QStringLiteral("move"), QStringLiteral("since 1")));
              log.record(Entry({}, QStringLiteral("move"), QStringLiteral("since 2")));
              log.flush();
              EditRow(file, 10, "UPDATE Actions SET action = 'keep', prev = '' WHERE seq = 10");
          },
          0, 10, "row 10 is a keep row, which only the first row of the record may be" },
    };
    auto daysAgo = [](int days) { return DaysAgo(days).toString(Qt::ISODateWithMs).toStdString(); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("Audit.DB"));
        {
            AuditLog log(dir.path(), 0);
            for (int i = 1; i <= 6; ++i)
                log.record(Entry(DaysAgo(46 - i), QStringLiteral("move"), QStringLiteral("old %1").arg(i)));
        }
        // As the earlier version left it: rows 1 to 3 removed by its keep time, its keep row 7
        // starting the chain again at the end, row 8 after it, and no kept end.
        EditRow(file, 7, "DELETE FROM Actions WHERE seq <= 3; INSERT INTO Actions VALUES (7, '" + daysAgo(20)
                    + "', 15, 'audit', 'ana', 'keep', 'removed 3 rows older than 2026-01-01T00:00:00Z (3 actions, "
                      "seq 1 to 3, and 0 on-line changes); the chain starts again here', '', '', '')");
        EditRow(file, 8, "INSERT INTO Actions SELECT 8, '" + daysAgo(10)
                    + "', 2, 'window', 'ana', 'move', 'up', '2:5', hash, '' FROM Actions WHERE seq = 7");
        RawSql(file, "DROP TABLE Anchor");
        {
            AuditLog log(dir.path(), c.keepDays);
            if (c.then)
                c.then(log, file);
        }
        const AuditCheck check = AuditLog(dir.path(), 0).verify();
        EXPECT_EQ(check.intact, c.rows > 0) << check.problem.toStdString();
        if (c.rows > 0) {
            EXPECT_EQ(check.rows, c.rows);
        }
        EXPECT_EQ(check.firstBad, c.firstBad);
        EXPECT_TRUE(check.problem.contains(QLatin1String(c.says))) << check.problem.toStdString();
    }
}

// The window and tarvello-ctl write the same file at once: their rows form one chain.
TEST(AuditChain, TwoWritersOnOneFileKeepOneChain)
{
    QTemporaryDir dir;
    {
        AuditLog window(dir.path(), 0);
        AuditLog ctl(dir.path(), 0);
        for (int i = 0; i < 200; ++i) {
            (i % 2 ? window : ctl).record(Entry({}, QStringLiteral("move"), QString::number(i)));
            if (i % 50 == 0)
                window.flush();
        }
    }
    const AuditCheck check = AuditLog(dir.path(), 0).verify();
    EXPECT_TRUE(check.intact) << check.problem.toStdString();
    EXPECT_EQ(check.rows, 200);
}

} // namespace

// The chain shows a row changed or removed by hand, the end of the record cut off, and a keep row
// anywhere but at the front; a record of the earlier version still verifies.

#include "support.h"

namespace {

TEST(AuditChain, VerifyFindsTheFirstRowChangedOrRemoved)
{
    struct Case {
        const char* name;
        std::string before; // SQL run on the file before the keep time is applied
        bool keep;          // opened once with a keep time of 30 days: rows 1 and 2 go, the keep row takes row 3's place
        std::string after;  // SQL run on the file at the end
        bool intact;
        qint64 rows;        // rows checked when intact
        qint64 firstBad;
        const char* says;
        qint64 rehash = 0;  // the row whose hash is made to fit its fields after `after`
        int keepAgain = 0;  // then opened with a keep time of this many days
    };
    // Rows 1 to 3 removed and a keep row saying so put at the end: forged, or without Anchor, an earlier version's.
    const std::string laterKeep = "DELETE FROM Actions WHERE seq <= 3; INSERT INTO Actions VALUES (7, '"
        + DaysAgo(1).toString(Qt::ISODateWithMs).toStdString() + "', 15, 'audit', 'ana', 'keep', 'removed 3 rows older "
        "than 2026-01-01T00:00:00Z (3 actions, seq 1 to 3, and 0 on-line changes); the chain starts again here', '', '', '')";
    const std::vector<Case> cases {
        { "untouched", "", false, "", true, 6, 0, "" },
        { "a detail changed", "", false, "UPDATE Actions SET detail = 'down' WHERE seq = 5", false, 0, 5, "row 5 has been changed" },
        { "a device changed", "", false, "UPDATE Actions SET devices = '2:6' WHERE seq = 2", false, 0, 2, "row 2 has been changed" },
        { "the level changed", "", false, "UPDATE Actions SET level = 1 WHERE seq = 6", false, 0, 6, "row 6 has been changed" },
        { "a row removed", "", false, "DELETE FROM Actions WHERE seq = 5", false, 0, 6, "row 5 is missing" },
        { "two rows removed", "", false, "DELETE FROM Actions WHERE seq IN (3, 4)", false, 0, 5, "rows 3 to 4 are missing" },
        { "the first rows removed", "", false, "DELETE FROM Actions WHERE seq <= 2", false, 0, 3, "before row 3 are missing" },
        { "a row made to start a chain", "", false, "UPDATE Actions SET prev = '' WHERE seq = 4", false, 0, 4,
          "only a keep row may" },
        { "a row passed off as a keep row", "", false, "UPDATE Actions SET prev = '', action = 'keep' WHERE seq = 4", false, 0, 4,
          "keep row, which only the first row of the record may be" },
        { "after the keep time", "", true, "", true, 4, 0, "" },
        { "a changed row gone with the keep time", "UPDATE Actions SET detail = 'x' WHERE seq = 2", true, "", true, 4, 0, "" },
        { "the first row after the keep time removed", "", true, "DELETE FROM Actions WHERE seq = 4", false, 0, 5,
          "row 4 is missing (before row 5)" },
        { "the keep row removed", "", true, "DELETE FROM Actions WHERE seq = 3", false, 0, 4, "before row 4 are missing" },
        { "the keep row's range changed", "", true,
          "UPDATE Actions SET detail = replace(detail, 'seq 1 to 3', 'seq 1 to 2') WHERE seq = 3", false, 0, 3,
          "row 3 has been changed" },
        { "a row after the keep row changed", "", true, "UPDATE Actions SET user = 'someone' WHERE seq = 5", false, 0, 5,
          "row 5 has been changed" },
        { "a keep time again, the keep row taking row 4's place", "", true, "", true, 3, 0, "", 0, 3 },
        { "the last row removed", "", false, "DELETE FROM Actions WHERE seq = 6", false, 0, 6, "row 6 is missing at the end" },
        { "the last rows removed after the keep time", "", true, "DELETE FROM Actions WHERE seq >= 5", false, 0, 5,
          "rows 5 to 6 are missing at the end (the record ended with row 6)" },
        { "the last row changed, its hash made to fit", "", false, "UPDATE Actions SET detail = 'x' WHERE seq = 6", false, 0, 6,
          "row 6 is not the row the record ended with", 6 },
        { "the kept end removed", "", false, "DELETE FROM Anchor", false, 0, 0, "table Anchor holds 0 rows instead of one" },
        { "the keep row carrying another row's hash", "", true,
          "UPDATE Actions SET prev = (SELECT hash FROM Actions WHERE seq = 4) WHERE seq = 3", false, 0, 4,
          "row 4 does not follow row 3", 3 },
        { "a keep row made in the middle, its hash made to fit", "", true,
          "UPDATE Actions SET action = 'keep', source = 'audit', prev = hash WHERE seq = 5", false, 0, 5,
          "row 5 is a keep row, which only the first row of the record may be", 5 },
        { "a keep row put at the end", "", false, laterKeep, false, 0, 4, "before row 4 are missing, and no keep row says", 7 },
        { "a record of the earlier version", "", false, laterKeep + "; DROP TABLE Anchor", true, 4, 0, "", 7 },
        { "a record of the earlier version after a keep time", "", false, laterKeep + "; DROP TABLE Anchor", true, 4, 0, "", 7, 3 },
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
        if (c.rehash)
            EditRow(file, c.rehash, c.after);
        else if (!c.after.empty())
            RawSql(file, c.after);
        if (c.keepAgain)
            AuditLog(dir.path(), c.keepAgain);

        const AuditCheck check = AuditLog(dir.path(), 0).verify();
        EXPECT_EQ(check.intact, c.intact) << check.problem.toStdString();
        EXPECT_EQ(check.firstBad, c.firstBad);
        if (c.intact) {
            EXPECT_EQ(check.rows, c.rows);
        }
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

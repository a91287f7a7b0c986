// The chain shows a row changed or removed by hand, and only a keep row may start it again.

#include "support.h"

namespace {

TEST(AuditChain, VerifyFindsTheFirstRowChangedOrRemoved)
{
    struct Case {
        const char* name;
        std::string before; // SQL run on the file before the keep time is applied
        bool keep;          // opened once with a keep time of 30 days: rows 1 to 3 go, keep row 7 comes
        std::string after;  // SQL run on the file at the end
        bool intact;
        qint64 rows;        // rows checked when intact
        qint64 firstBad;
        const char* says;
    };
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
          "row 4 has been changed" },
        { "after the keep time", "", true, "", true, 4, 0, "" },
        { "a changed row gone with the keep time", "UPDATE Actions SET detail = 'x' WHERE seq = 2", true, "", true, 4, 0, "" },
        { "the first row after the keep time removed", "", true, "DELETE FROM Actions WHERE seq = 4", false, 0, 5,
          "before row 5 are missing" },
        { "the keep row removed", "", true, "DELETE FROM Actions WHERE seq = 7", false, 0, 4, "before row 4 are missing" },
        { "the keep row's range changed", "", true,
          "UPDATE Actions SET detail = replace(detail, 'seq 1 to 3', 'seq 1 to 2') WHERE seq = 7", false, 0, 4,
          "before row 4 are missing" },
        { "a row after the keep row changed", "", true, "UPDATE Actions SET user = 'someone' WHERE seq = 5", false, 0, 5,
          "row 5 has been changed" },
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
                log.record(Entry(DaysAgo(7 - i), QStringLiteral("move"), QStringLiteral("new %1").arg(i), { { 2, i } }));
        }
        if (!c.before.empty())
            RawSql(file, c.before);
        if (c.keep)
            AuditLog(dir.path(), 30);
        if (!c.after.empty())
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

// The table cursor against real SQLite files.

#include "helpers.h"

namespace {

class TableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath(QStringLiteral("Member1.DB"));
        ASSERT_TRUE(TTable::CreateTable(path, MemberSchema(), {}));
        table.setTableName(path);
        table.Open();
    }

    // Appends in a scrambled order: 5, 1, 999, 3, 2, 42.
    void Fill()
    {
        for (int id : {5, 1, 999, 3, 2, 42})
            AppendDevice(table, id, QStringLiteral("dev%1").arg(id), id % 16);
    }

    QTemporaryDir dir;
    QString path;
    TTable table{MemberSchema()};
};

TEST_F(TableTest, KeepsAscendingIdOrderAndPostedRecordIsCurrent)
{
    for (int id : {5, 1, 999, 3, 2, 42}) {
        AppendDevice(table, id, QStringLiteral("dev%1").arg(id), id % 16);
        // After Post the new record is current, at its place in ID order.
        EXPECT_EQ(table.FieldByName(QStringLiteral("ID")).AsInteger(), id);
        EXPECT_FALSE(table.Eof());
    }
    const std::vector<int> expected{1, 2, 3, 5, 42, 999};
    EXPECT_EQ(ScanIds(table), expected);
    EXPECT_EQ(table.RecordCount(), 6);

    ASSERT_TRUE(table.Locate(QStringLiteral("ID"), 42));
    EXPECT_EQ(table.RecNo(), 5);

    // Another connection (a later run) sees the same records in the same order.
    table.Close();
    TTable again(MemberSchema());
    again.setTableName(path);
    again.Open();
    EXPECT_EQ(again.RecNo(), 1);
    EXPECT_EQ(ScanIds(again), expected);
    ASSERT_TRUE(again.Locate(QStringLiteral("ID"), 999));
    EXPECT_EQ(again.Field(1).AsString(), QStringLiteral("dev999"));
    EXPECT_EQ(again.Field(2).AsInteger(), 999 % 16);
}

TEST_F(TableTest, LocateAndRecordNumbers)
{
    Fill();
    ASSERT_TRUE(table.Locate(QStringLiteral("ID"), 3));
    EXPECT_EQ(table.RecNo(), 3);
    EXPECT_EQ(table.FieldByName(QStringLiteral("Name")).AsString(), QStringLiteral("dev3"));

    // Not found: the position stays.
    for (const TFieldValue& missing : {TFieldValue(4), TFieldValue(1000), TFieldValue("abc"), TFieldValue("")})
        EXPECT_FALSE(table.Locate(QStringLiteral("ID"), missing));
    EXPECT_EQ(table.RecNo(), 3);

    EXPECT_TRUE(table.Locate(QStringLiteral("ID"), "42"));
    EXPECT_EQ(table.RecNo(), 5);
    EXPECT_TRUE(table.Locate(QStringLiteral("name"), QStringLiteral("dev1")));
    EXPECT_EQ(table.FieldByName(QStringLiteral("ID")).AsInteger(), 1);
    EXPECT_FALSE(table.Locate(QStringLiteral("Name"), QStringLiteral("DEV5")));  // exact, case included
    EXPECT_TRUE(table.Locate(QStringLiteral("Group_ID"), 999 % 16));
    EXPECT_EQ(table.FieldByName(QStringLiteral("ID")).AsInteger(), 999);

    const std::vector<int> sorted{1, 2, 3, 5, 42, 999};
    for (int n = 1; n <= 6; ++n) {
        table.setRecNo(n);
        EXPECT_EQ(table.RecNo(), n);
        EXPECT_EQ(table.Field(0).AsInteger(), sorted[static_cast<size_t>(n - 1)]);
    }
    for (int bad : {0, 7, -1}) {
        try {
            table.setRecNo(bad);
            ADD_FAILURE() << "record number " << bad << " accepted";
        } catch (const ETableError& e) {
            EXPECT_EQ(e.kind(), ETableError::Kind::InvalidOperation);
        }
    }
    EXPECT_EQ(table.RecNo(), 6);

    // Next on the last record: Eof, and the last record stays readable.
    table.Next();
    EXPECT_TRUE(table.Eof());
    EXPECT_EQ(table.Field(0).AsInteger(), 999);
}

TEST_F(TableTest, DeleteMovesToFollowingRecordThenToNewLast)
{
    Fill();  // 1 2 3 5 42 999
    ASSERT_TRUE(table.Locate(QStringLiteral("ID"), 3));
    table.Delete();
    EXPECT_EQ(table.Field(0).AsInteger(), 5);
    EXPECT_EQ(table.RecNo(), 3);

    table.Last();
    table.Delete();  // 999, the last
    EXPECT_FALSE(table.Eof());
    EXPECT_EQ(table.Field(0).AsInteger(), 42);
    EXPECT_EQ(table.RecordCount(), 4);

    // The scan-and-delete loop every caller writes visits each record once.
    table.First();
    while (!table.Eof()) {
        if (table.FieldByName(QStringLiteral("ID")).AsInteger() % 2 == 1)
            table.Delete();
        else
            table.Next();
    }
    EXPECT_EQ(ScanIds(table), (std::vector<int>{2, 42}));

    table.First();
    while (!table.Eof())
        table.Delete();
    EXPECT_EQ(table.RecordCount(), 0);
    EXPECT_EQ(table.RecNo(), 0);
    EXPECT_THROW(table.Delete(), ETableError);
}

TEST_F(TableTest, EmptyTableWhetherOpenOrClosed)
{
    Fill();
    table.EmptyTable();
    EXPECT_EQ(table.RecordCount(), 0);
    EXPECT_TRUE(table.Eof());
    AppendDevice(table, 7);
    table.Close();

    table.EmptyTable();
    EXPECT_FALSE(table.Active());
    table.Open();
    EXPECT_EQ(table.RecordCount(), 0);
}

TEST_F(TableTest, FieldsByNameAndPositionAndEmptyValues)
{
    // Nothing set but the ID: the name reads empty and 0, the group 0.
    table.Append();
    table.SetField(0, 17);
    table.Post();
    EXPECT_EQ(table.Field(1).AsString(), QString());
    EXPECT_EQ(table.Field(1).AsInteger(), 0);
    EXPECT_EQ(table.FieldByName(QStringLiteral("Group_ID")).AsInteger(), 0);

    table.Edit();
    table.SetField(1, QStringLiteral("升降机 A"));
    table.SetField(2, "3");  // text into an integer field
    EXPECT_EQ(table.Field(1).AsString(), QStringLiteral("升降机 A"));  // pending value reads back
    table.Post();
    EXPECT_EQ(table.FieldByName(QStringLiteral("NAME")).AsString(), QStringLiteral("升降机 A"));
    EXPECT_EQ(table.Field(2).AsInteger(), 3);
    EXPECT_EQ(table.Field(0).AsString(), QStringLiteral("17"));

    EXPECT_THROW(table.SetField(1, QStringLiteral("x")), ETableError);  // not editing
    EXPECT_THROW(table.FieldByName(QStringLiteral("Nope")), ETableError);
    EXPECT_THROW(table.Field(3), ETableError);

    // A record on the empty table reads as empty values; Edit there starts an append.
    table.EmptyTable();
    EXPECT_EQ(table.Field(1).AsString(), QString());
    EXPECT_EQ(table.Field(0).AsInteger(), 0);
    table.Edit();
    table.SetField(0, 9);
    table.Post();
    EXPECT_EQ(ScanIds(table), std::vector<int>{9});
}

TEST_F(TableTest, DuplicateIdAtPostIsRefusedAndTableIntact)
{
    Fill();
    const std::vector<int> before = ScanIds(table);

    ASSERT_TRUE(table.Locate(QStringLiteral("ID"), 3));
    table.Append();
    table.SetFieldByName(QStringLiteral("ID"), 5);
    table.SetFieldByName(QStringLiteral("Name"), QStringLiteral("intruder"));
    try {
        table.Post();
        FAIL() << "duplicate ID posted";
    } catch (const ETableError& e) {
        EXPECT_EQ(e.kind(), ETableError::Kind::KeyViolation);
        EXPECT_TRUE(e.Text(1).contains(path));
    }
    EXPECT_FALSE(table.Editing());
    EXPECT_EQ(table.Field(0).AsInteger(), 3);  // position as before the append

    // Changing a record's ID onto another's is refused the same way.
    table.Edit();
    table.SetFieldByName(QStringLiteral("ID"), 999);
    EXPECT_THROW(table.Post(), ETableError);
    ASSERT_TRUE(table.Locate(QStringLiteral("ID"), 5));
    EXPECT_EQ(table.FieldByName(QStringLiteral("Name")).AsString(), QStringLiteral("dev5"));
    EXPECT_EQ(ScanIds(table), before);

    // Changing it to a free ID moves the record to its new place.
    ASSERT_TRUE(table.Locate(QStringLiteral("ID"), 3));
    table.Edit();
    table.SetFieldByName(QStringLiteral("ID"), 500);
    table.Post();
    EXPECT_EQ(table.RecNo(), 5);
    EXPECT_EQ(table.FieldByName(QStringLiteral("Name")).AsString(), QStringLiteral("dev3"));
    EXPECT_EQ(ScanIds(table), (std::vector<int>{1, 2, 5, 42, 500, 999}));
}

TEST_F(TableTest, CancelAndNavigationWhileEditing)
{
    Fill();
    ASSERT_TRUE(table.Locate(QStringLiteral("ID"), 1));
    table.Edit();
    table.SetFieldByName(QStringLiteral("Name"), QStringLiteral("changed"));
    table.Cancel();
    EXPECT_EQ(table.FieldByName(QStringLiteral("Name")).AsString(), QStringLiteral("dev1"));

    // Moving away from a pending change posts it, as a dataset does.
    table.Edit();
    table.SetFieldByName(QStringLiteral("Name"), QStringLiteral("kept"));
    table.Next();
    ASSERT_TRUE(table.Locate(QStringLiteral("ID"), 1));
    EXPECT_EQ(table.FieldByName(QStringLiteral("Name")).AsString(), QStringLiteral("kept"));

    // Closing discards it.
    table.Append();
    table.SetFieldByName(QStringLiteral("ID"), 77);
    table.Close();
    table.Open();
    EXPECT_FALSE(table.Locate(QStringLiteral("ID"), 77));
}

TEST_F(TableTest, NameLimitsInGbkBytesAreEnforcedOnWrite)
{
    const QString forty = QString(20, QChar(0x4E2D));  // 20 Chinese characters, 40 bytes
    AppendDevice(table, 1, forty);
    EXPECT_EQ(table.FieldByName(QStringLiteral("Name")).AsString(), forty);

    table.Edit();
    for (const QString& tooLong : {forty + QLatin1Char('a'), QString(41, QLatin1Char('a'))}) {
        try {
            table.SetFieldByName(QStringLiteral("Name"), tooLong);
            FAIL() << "over-long name accepted";
        } catch (const ETableError& e) {
            EXPECT_EQ(e.kind(), ETableError::Kind::NameTooLong);
            EXPECT_EQ(e.limit(), DeviceNameMaxBytes);
            EXPECT_TRUE(e.Text(0).contains(QStringLiteral("40")));
        }
    }
    table.Post();
    EXPECT_EQ(table.FieldByName(QStringLiteral("Name")).AsString(), forty);
}

TEST(TableBlob, PasswordRecordsKeepEveryByte)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("SysSet.DB"));
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(static_cast<char>(b));
    ASSERT_TRUE(TTable::CreateTable(path, SysSetSchema(),
                                    {{1, all.left(8)}, {2, all.mid(248, 8)}, {3, QByteArray(8, '\0')}}));
    TTable t(SysSetSchema());
    t.setTableName(path);
    t.Open();
    t.setRecNo(2);
    EXPECT_EQ(t.Field(1).AsBytes(), all.mid(248, 8));
    EXPECT_EQ(t.Field(1).AsString().toLatin1(), all.mid(248, 8));
    t.setRecNo(3);
    t.Edit();
    t.SetField(1, all.mid(0x7c, 8));
    t.Post();
    t.Close();
    t.Open();
    t.setRecNo(3);
    EXPECT_EQ(t.Field(1).AsBytes(), all.mid(0x7c, 8));
    t.setRecNo(1);
    EXPECT_EQ(t.FieldByName(QStringLiteral("PSW")).AsBytes(), all.left(8));
}

}  // namespace

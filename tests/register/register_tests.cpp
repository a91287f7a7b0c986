// The register of a scene: defaults, refusal of foreign or damaged files, name limits,
// backup and restore.

#include "helpers.h"

#include <QFileInfo>

#include <functional>

namespace {

class RegisterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        data = dir.filePath(QStringLiteral("DFiles"));
        reg.setDataDir(data);
    }

    QString File(const QString& name) const { return QDir(data).filePath(name); }

    std::vector<QString> GroupNames()
    {
        std::vector<QString> names;
        TTable& g = reg.Group_Table;
        for (g.First(); !g.Eof(); g.Next()) {
            EXPECT_EQ(g.Field(0).AsInteger(), g.RecNo() - 1);  // record k holds ID k-1
            names.push_back(g.Field(1).AsString());
        }
        return names;
    }

    QTemporaryDir dir;
    QString data;
    TRegister reg;
};

TEST_F(RegisterTest, FirstOpenCreatesDefaultsLaterOpensKeepThem)
{
    reg.SetScene(3);
    reg.Open();
    EXPECT_EQ(reg.MemberFileName(), File(QStringLiteral("Member3.DB")));
    EXPECT_TRUE(QFileInfo::exists(File(QStringLiteral("Group3.DB"))));
    // A new register takes the usual mode, so that other users of the machine can work with it.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    for (const char* name : {"Member3.DB", "Group3.DB"}) {
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(File(QString::fromLatin1(name))).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << name;
    }
    EXPECT_EQ(reg.Member_Table.RecordCount(), 0);
    EXPECT_TRUE(reg.Member_Table.Eof());
    std::vector<QString> expected(DefaultGroupCount);
    expected[0] = QStringLiteral("未编组");
    EXPECT_EQ(GroupNames(), expected);

    reg.Group_Table.setRecNo(4);
    reg.Group_Table.Edit();
    reg.Group_Table.SetFieldByName(QStringLiteral("Name"), QStringLiteral("Hall"));
    reg.Group_Table.Post();
    EXPECT_EQ(GroupLabel(reg.Group_Table.Field(0).AsInteger(), reg.Group_Table.Field(1).AsString()),
              QStringLiteral("3-Hall"));
    AppendDevice(reg.Member_Table, 12, QStringLiteral("A"), 3);
    EXPECT_THROW(reg.SetScene(4), ETableError);  // open tables keep their scene
    reg.Close();

    // Existing files are opened as they are, a missing one alone is created.
    ASSERT_TRUE(QFile::remove(File(QStringLiteral("Member3.DB"))));
    TRegister next(data);
    next.SetScene(3);
    next.Open();
    EXPECT_EQ(next.Member_Table.RecordCount(), 0);
    next.Group_Table.setRecNo(4);
    EXPECT_EQ(next.Group_Table.FieldByName(QStringLiteral("Name")).AsString(), QStringLiteral("Hall"));
    EXPECT_FALSE(QFileInfo::exists(File(QStringLiteral("Member1.DB"))));
    // Only the two tables are left in the directory: no temporary or journal files.
    EXPECT_EQ(DirEntries(data), (QStringList{QStringLiteral("Group3.DB"), QStringLiteral("Member3.DB")}));
}

// A file that is there but is not a register of ours.
struct BadFile {
    const char* label;
    std::function<void(const QString& path)> make;
};

void PrintTo(const BadFile& f, std::ostream* os)
{
    *os << f.label;
}

void MakeFullMemberTable(const QString& path)
{
    std::vector<std::vector<TFieldValue>> rows;
    for (int id = 1; id <= 999; ++id)
        rows.push_back({id, QStringLiteral("Device name long enough to fill pages %1").arg(id), id % 16});
    ASSERT_TRUE(TTable::CreateTable(path, MemberSchema(), rows));
}

class BadFileTest : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadFileTest, IsRefusedByNameAndLeftUntouched)
{
    QTemporaryDir dir;
    const QString data = dir.filePath(QStringLiteral("DFiles"));
    ASSERT_TRUE(QDir().mkpath(data));
    const QString path = QDir(data).filePath(QStringLiteral("Member1.DB"));
    GetParam().make(path);
    const QByteArray before = ReadBytes(path);

    TRegister reg(data);
    try {
        reg.Open();
        FAIL() << "opened";
    } catch (const ETableError& e) {
        EXPECT_EQ(e.kind(), ETableError::Kind::InvalidRegister) << e.what();
        EXPECT_EQ(e.fileName(), path);
        EXPECT_EQ(e.Text(0), QStringLiteral("数据文件 %1 不是有效的登记表，未作任何改动。").arg(path));
        EXPECT_TRUE(e.Text(1).contains(path));
        EXPECT_TRUE(e.Text(2).isEmpty());
    }
    // Emptying it (as a search does) is refused too, and so is backing it up.
    EXPECT_THROW(reg.Member_Table.EmptyTable(), ETableError);
    EXPECT_THROW(reg.Backup(), ETableError);
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_FALSE(QFileInfo::exists(QDir(data).filePath(QStringLiteral("Member1.dbk"))));
    EXPECT_FALSE(QFileInfo::exists(path + QStringLiteral("-journal")));
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadFileTest,
    ::testing::Values(
        BadFile{"NotSqlite",
                [](const QString& p) { WriteBytes(p, QByteArray("Paradox table header\x03\x00", 22).repeated(300)); }},
        BadFile{"ZeroBytes", [](const QString& p) { WriteBytes(p, {}); }},
        BadFile{"WrongColumns",
                [](const QString& p) {
                    RawSql(p, "CREATE TABLE Member (ID INTEGER PRIMARY KEY, Group_ID INTEGER, Name TEXT);"
                              "INSERT INTO Member VALUES (1, 0, 'x');");
                }},
        BadFile{"OtherTable",
                [](const QString& p) { RawSql(p, "CREATE TABLE Groups (ID INTEGER PRIMARY KEY, Name TEXT)"); }},
        BadFile{"KeyNotPrimary",
                [](const QString& p) {
                    RawSql(p, "CREATE TABLE Member (ID INTEGER, Name TEXT NOT NULL DEFAULT '', "
                              "Group_ID INTEGER NOT NULL DEFAULT 0)");
                }},
        BadFile{"Truncated",
                [](const QString& p) {
                    MakeFullMemberTable(p);
                    QFile f(p);
                    ASSERT_TRUE(f.resize(f.size() / 3));
                }},
        BadFile{"ScribbledPage",
                [](const QString& p) {
                    MakeFullMemberTable(p);
                    QByteArray bytes = ReadBytes(p);
                    ASSERT_GT(bytes.size(), 6 * 4096);
                    for (int i = 4 * 4096; i < 4 * 4096 + 300; ++i)
                        bytes[i] = static_cast<char>(0xA5);
                    WriteBytes(p, bytes);
                }}),
    [](const auto& info) { return std::string(info.param.label); });

class BackupTest : public RegisterTest {
protected:
    void SetUp() override
    {
        RegisterTest::SetUp();
        reg.Open();
        AppendDevice(reg.Member_Table, 10, QStringLiteral("first"), 1);
        AppendDevice(reg.Member_Table, 20, QStringLiteral("second"), 2);
        RenameGroup(1, QStringLiteral("North"));
    }

    void RenameGroup(int id, const QString& name)
    {
        reg.Group_Table.setRecNo(id + 1);
        reg.Group_Table.Edit();
        reg.Group_Table.SetFieldByName(QStringLiteral("Name"), name);
        reg.Group_Table.Post();
    }

    std::vector<int> Devices() { return ScanIds(reg.Member_Table); }
};

TEST_F(BackupTest, RoundTripAndSecondBackupReplacesFirst)
{
    reg.Backup();
    EXPECT_TRUE(reg.Member_Table.Active());
    EXPECT_TRUE(reg.Group_Table.Active());
    {
        // The backup holds the records; both of its files carry one stamp.
        TTable copy(MemberSchema());
        copy.setTableName(File(QStringLiteral("Member1.dbk")));
        copy.Open();
        EXPECT_EQ(ScanIds(copy), (std::vector<int>{10, 20}));
        const qint32 stamp = TTable::ReadStamp(File(QStringLiteral("Member1.dbk")), {});
        EXPECT_NE(stamp, 0);
        EXPECT_EQ(TTable::ReadStamp(File(QStringLiteral("Group1.dbk")), {}), stamp);
    }

    AppendDevice(reg.Member_Table, 30);
    reg.Backup();  // replaces the first backup
    reg.Member_Table.EmptyTable();
    RenameGroup(1, QStringLiteral("South"));

    EXPECT_TRUE(reg.Restore());
    EXPECT_EQ(reg.Member_Table.RecNo(), 1);  // reopened, current on the first record
    EXPECT_EQ(Devices(), (std::vector<int>{10, 20, 30}));
    EXPECT_EQ(GroupNames()[1], QStringLiteral("North"));
    EXPECT_EQ(DirEntries(data), (QStringList{QStringLiteral("Group1.DB"), QStringLiteral("Group1.dbk"),
                                             QStringLiteral("Member1.DB"), QStringLiteral("Member1.dbk")}));
}

TEST_F(BackupTest, RestoreBeforeAnyBackupChangesNothing)
{
    reg.Close();
    const QByteArray member = ReadBytes(File(QStringLiteral("Member1.DB")));
    const QByteArray group = ReadBytes(File(QStringLiteral("Group1.DB")));
    reg.Open();
    EXPECT_FALSE(reg.Restore());
    EXPECT_EQ(ReadBytes(File(QStringLiteral("Member1.DB"))), member);
    EXPECT_EQ(ReadBytes(File(QStringLiteral("Group1.DB"))), group);
    EXPECT_EQ(Devices(), (std::vector<int>{10, 20}));
}

TEST_F(BackupTest, DamagedBackupIsRefusedAndLiveTablesUntouched)
{
    reg.Backup();
    AppendDevice(reg.Member_Table, 40);
    reg.Close();
    const QByteArray member = ReadBytes(File(QStringLiteral("Member1.DB")));
    const QByteArray group = ReadBytes(File(QStringLiteral("Group1.DB")));
    // The device backup is fine, the group backup is not: nothing at all is restored.
    const QString bad = File(QStringLiteral("Group1.dbk"));
    WriteBytes(bad, ReadBytes(bad).left(100));
    reg.Open();

    try {
        reg.Restore();
        FAIL() << "restored";
    } catch (const ETableError& e) {
        EXPECT_EQ(e.kind(), ETableError::Kind::InvalidBackup);
        EXPECT_EQ(e.fileName(), bad);
        EXPECT_EQ(e.Text(1), QStringLiteral("The backup file %1 is not a valid register; nothing was restored.").arg(bad));
    }
    EXPECT_TRUE(reg.Member_Table.Active());
    EXPECT_EQ(Devices(), (std::vector<int>{10, 20, 40}));
    reg.Close();
    EXPECT_EQ(ReadBytes(File(QStringLiteral("Member1.DB"))), member);
    EXPECT_EQ(ReadBytes(File(QStringLiteral("Group1.DB"))), group);
    EXPECT_EQ(DirEntries(data).size(), 4);  // no temporary files left
}

TEST_F(BackupTest, CompanionFilesTravelWhenPresent)
{
    WriteBytes(File(QStringLiteral("Member1.PX")), "index");
    reg.Backup();
    EXPECT_EQ(ReadBytes(File(QStringLiteral("Member1.pbk"))), QByteArray("index"));
    EXPECT_FALSE(QFileInfo::exists(File(QStringLiteral("Member1.vbk"))));
    WriteBytes(File(QStringLiteral("Member1.PX")), "changed");
    reg.Restore();
    EXPECT_EQ(ReadBytes(File(QStringLiteral("Member1.PX"))), QByteArray("index"));
}

TEST_F(BackupTest, RestoreReplacesADamagedLiveTable)
{
    reg.Backup();
    reg.Close();
    WriteBytes(File(QStringLiteral("Member1.DB")), "garbage");
    EXPECT_THROW(reg.Open(), ETableError);
    EXPECT_TRUE(reg.Restore());
    EXPECT_EQ(Devices(), (std::vector<int>{10, 20}));
}

}  // namespace

namespace {

std::string TableSql(const char* file, const char* values)
{
    return std::string(file[0] == 'M' ? "CREATE TABLE Member (ID INTEGER PRIMARY KEY, Name TEXT NOT NULL DEFAULT '', "
                                        "Group_ID INTEGER NOT NULL DEFAULT 0); INSERT INTO Member VALUES "
                                      : "CREATE TABLE Groups (ID INTEGER PRIMARY KEY, Name TEXT NOT NULL DEFAULT ''); "
                                        "INSERT INTO Groups VALUES ") + values;
}

// A record that would make a frame reach more than its device (device ID 0 is the whole group,
// group -1 the broadcast): the file is refused by name and record and left as it is.
TEST(RegisterRanges, AFileWithARecordOutsideWhatAFrameAddressesIsRefusedByRecord)
{
    const struct {
        const char* file;
        const char* values;
        TBadRecord expected;
    } cases[] = {
        {"Group1.DB", "(0,'a'),(1,''),(2,''),(16,'x')", {4, 16, "ID", "16", 0, 15}},
        {"Group1.DB", "(-1,'x'),(0,'a')", {1, -1, "ID", "-1", 0, 15}},
        {"Member1.DB", "(3,'a',0),(12,'b',17),(20,'c',-1)", {2, 12, "Group_ID", "17", 0, 15}},
        {"Member1.DB", "(3,'a',-1)", {1, 3, "Group_ID", "-1", 0, 15}},
        {"Member1.DB", "(3,'a','2a')", {1, 3, "Group_ID", "2a", 0, 15}},
        {"Member1.DB", "(0,'a',1),(5,'b',1)", {1, 0, "ID", "0", 1, 999}},
        {"Member1.DB", "(999,'a',15),(1000,'b',1)", {2, 1000, "ID", "1000", 1, 999}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.values);
        QTemporaryDir dir;
        const QString path = dir.filePath(QString::fromLatin1(c.file));
        RawSql(path, TableSql(c.file, c.values).c_str());
        const QByteArray before = ReadBytes(path);
        TRegister reg(dir.path());
        try {
            reg.Open();
            ADD_FAILURE() << "opened";
        } catch (const ETableError& e) {
            EXPECT_EQ(e.kind(), ETableError::Kind::ValueOutOfRange) << e.what();
            const TBadRecord& r = e.badRecord();
            const TBadRecord& x = c.expected;
            EXPECT_EQ(std::tie(r.recNo, r.key, r.field, r.value, r.low, r.high),
                      std::tie(x.recNo, x.key, x.field, x.value, x.low, x.high));
            EXPECT_TRUE(e.Text(0).contains(path + " 不是有效的登记表：") && e.Text(0).contains(x.field + " 为 " + x.value));
            EXPECT_TRUE(e.Text(1).contains(path + " is not") && e.Text(1).contains(x.field + " is " + x.value));
        }
        EXPECT_THROW(reg.Backup(), ETableError);
        EXPECT_EQ(ReadBytes(path), before);
    }
}

TEST(RegisterRanges, GroupsWithGapsAndDevicesOfMissingGroupsOpenButABackupOutOfRangeIsNotRestored)
{
    QTemporaryDir dir;
    RawSql(dir.filePath("Group1.DB"), TableSql("Group1.DB", "(0,'u'),(1,'a'),(2,'b'),(5,'e')").c_str());
    RawSql(dir.filePath("Member1.DB"), TableSql("Member1.DB", "(1,'a',5),(2,'b',9),(999,'c',15)").c_str());
    TRegister reg(dir.path());
    reg.Open();
    EXPECT_EQ(ScanIds(reg.Group_Table), (std::vector<int>{0, 1, 2, 5}));
    EXPECT_EQ(ScanIds(reg.Member_Table), (std::vector<int>{1, 2, 999}));
    reg.Backup();
    const QString backup = dir.filePath("Group1.dbk");
    RawSql(backup, "UPDATE Groups SET ID = 16 WHERE ID = 5");
    try {
        reg.Restore();
        ADD_FAILURE() << "restored";
    } catch (const ETableError& e) {
        EXPECT_EQ(e.Text(1), QStringLiteral("The backup file %1 is not a valid register: in record 4 (ID 16), ID is 16, "
                                            "outside 0 to 15; nothing was restored.").arg(backup));
    }
    EXPECT_EQ(ScanIds(reg.Group_Table), (std::vector<int>{0, 1, 2, 5}));
}

}  // namespace

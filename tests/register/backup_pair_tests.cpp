// Backup and restore stopped half-way, pairs of backup files from different backups,
// file modes and the temporary files a killed copy leaves behind.

#include "helpers.h"

#include "register/safefile.h"

#include <optional>

namespace {

// Set in a child process: the file after whose replacement the process is killed.
QString g_killAfter;

void KillAfterReplacing(const QString& target)
{
    if (QFileInfo(target).fileName() == g_killAfter)
        ::raise(SIGKILL);
}

class PairTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        data = dir.filePath(QStringLiteral("DFiles"));
        reg.setDataDir(data);
        reg.Open();
        AppendDevice(reg.Member_Table, 10, QStringLiteral("first"), 1);
        AppendDevice(reg.Member_Table, 20, QStringLiteral("second"), 1);
        RenameGroup(1, QStringLiteral("North"));
    }

    QString File(const QString& name) const { return QDir(data).filePath(name); }

    void RenameGroup(int id, const QString& name)
    {
        reg.Group_Table.setRecNo(id + 1);
        reg.Group_Table.Edit();
        reg.Group_Table.SetFieldByName(QStringLiteral("Name"), name);
        reg.Group_Table.Post();
    }

    QString GroupName(int id)
    {
        reg.Group_Table.setRecNo(id + 1);
        return reg.Group_Table.FieldByName(QStringLiteral("Name")).AsString();
    }

    // The register after the backup: one more device, group 1 renamed.
    void ChangeAfterBackup()
    {
        AppendDevice(reg.Member_Table, 30, QStringLiteral("third"), 1);
        RenameGroup(1, QStringLiteral("South"));
    }

    // Runs `step` on a register of its own in a child process killed right after
    // `fileName` was put in place; expects the kill to have happened there.
    void KilledAfter(const QString& fileName, const std::function<void(TRegister&)>& step)
    {
        reg.Close();
        std::fflush(stdout);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            try {
                TRegister other(data);
                other.Open();
                g_killAfter = fileName;
                tarvello::SetReplaceHook(&KillAfterReplacing);
                step(other);
            } catch (...) {
                ::_exit(2);
            }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;
    }

    QStringList TempFiles() const { return DirEntries(data).filter(QStringLiteral(".tmp-")); }

    QTemporaryDir dir;
    QString data;
    TRegister reg;
};

const QStringList PairFiles{QStringLiteral("Group1.DB"), QStringLiteral("Group1.dbk"), QStringLiteral("Member1.DB"),
                            QStringLiteral("Member1.dbk")};

TEST_F(PairTest, BackupKilledBetweenItsTwoFilesIsNeverRestored)
{
    reg.Backup();
    ChangeAfterBackup();
    KilledAfter(QStringLiteral("Member1.dbk"), [](TRegister& r) { r.Backup(); });

    // The new device backup beside the old group backup, and the group copy the kill
    // left, complete and never renamed.
    const QStringList temps = TempFiles();
    ASSERT_EQ(temps.size(), 1) << temps.join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(temps.front().startsWith(QStringLiteral(".Group1.dbk.tmp-")));
    EXPECT_EQ(QFileInfo(File(temps.front())).size(), QFileInfo(File(QStringLiteral("Group1.DB"))).size());
    const QByteArray member = ReadBytes(File(QStringLiteral("Member1.DB")));
    const QByteArray group = ReadBytes(File(QStringLiteral("Group1.DB")));

    reg.Open();
    EXPECT_EQ(DirEntries(data), PairFiles);  // the leftover copy is gone
    try {
        reg.Restore();
        FAIL() << "a torn backup was restored";
    } catch (const ETableError& e) {
        EXPECT_EQ(e.kind(), ETableError::Kind::TornBackup);
        EXPECT_EQ(e.fileName(), File(QStringLiteral("Member1.dbk")));
        EXPECT_EQ(e.otherFileName(), File(QStringLiteral("Group1.dbk")));
        EXPECT_EQ(e.Text(1), QStringLiteral("The backup files %1 and %2 were not made by the same backup; nothing "
                                            "was restored.")
                                 .arg(e.fileName(), e.otherFileName()));
        EXPECT_EQ(e.Text(0),
                  QStringLiteral("备份文件 %1 和 %2 不是同一次备份的，未恢复任何数据。").arg(e.fileName(), e.otherFileName()));
    }
    EXPECT_TRUE(reg.Member_Table.Active());
    EXPECT_TRUE(reg.Group_Table.Active());
    EXPECT_EQ(ScanIds(reg.Member_Table), (std::vector<int>{10, 20, 30}));
    reg.Close();
    EXPECT_EQ(ReadBytes(File(QStringLiteral("Member1.DB"))), member);
    EXPECT_EQ(ReadBytes(File(QStringLiteral("Group1.DB"))), group);
    EXPECT_EQ(DirEntries(data), PairFiles);

    // A complete backup restores again.
    reg.Open();
    reg.Backup();
    EXPECT_TRUE(reg.Restore());
}

TEST_F(PairTest, RestoreKilledBetweenItsTwoFilesIsCompletedAtNextOpen)
{
    reg.Backup();
    ChangeAfterBackup();
    KilledAfter(QStringLiteral("Member1.DB"), [](TRegister& r) { r.Restore(); });

    // On disk the devices are restored and the groups are not.
    EXPECT_TRUE(QFileInfo::exists(reg.RestoreMarkerFileName()));
    {
        TTable members(MemberSchema());
        members.setTableName(File(QStringLiteral("Member1.DB")));
        members.Open();
        EXPECT_EQ(ScanIds(members), (std::vector<int>{10, 20}));
        TTable groups(GroupSchema());
        groups.setTableName(File(QStringLiteral("Group1.DB")));
        groups.Open();
        groups.setRecNo(2);
        EXPECT_EQ(groups.Field(1).AsString(), QStringLiteral("South"));
    }

    reg.Open();
    EXPECT_EQ(ScanIds(reg.Member_Table), (std::vector<int>{10, 20}));
    EXPECT_EQ(GroupName(1), QStringLiteral("North"));
    EXPECT_FALSE(QFileInfo::exists(reg.RestoreMarkerFileName()));
    EXPECT_EQ(DirEntries(data), PairFiles);
}

TEST_F(PairTest, InterruptedRestoreWhoseBackupChangedIsReportedAndLeftAsIs)
{
    reg.Backup();
    ChangeAfterBackup();
    KilledAfter(QStringLiteral("Member1.DB"), [](TRegister& r) { r.Restore(); });
    RawSql(File(QStringLiteral("Group1.dbk")), "PRAGMA user_version=77");  // not the backup it was
    const QByteArray group = ReadBytes(File(QStringLiteral("Group1.DB")));

    try {
        reg.Open();
        FAIL() << "opened";
    } catch (const ETableError& e) {
        EXPECT_EQ(e.kind(), ETableError::Kind::InterruptedRestore);
        EXPECT_EQ(e.fileName(), reg.RestoreMarkerFileName());
        EXPECT_EQ(e.otherFileName(), File(QStringLiteral("Group1.dbk")));
        EXPECT_TRUE(e.Text(0).contains(e.otherFileName()));
        EXPECT_TRUE(e.Text(1).contains(e.fileName()));
    }
    EXPECT_FALSE(reg.Member_Table.Active());
    EXPECT_EQ(ReadBytes(File(QStringLiteral("Group1.DB"))), group);
    EXPECT_TRUE(QFileInfo::exists(reg.RestoreMarkerFileName()));

    // The operator's way out: remove the marker and keep the files as they are.
    ASSERT_TRUE(QFile::remove(reg.RestoreMarkerFileName()));
    reg.Open();
    EXPECT_EQ(GroupName(1), QStringLiteral("South"));
}

// Stamps of the two backup files (none: the file is missing), and whether restoring
// them is allowed.
struct StampCase {
    const char* label;
    std::optional<int> member;
    std::optional<int> group;
    bool restored;
};

void PrintTo(const StampCase& c, std::ostream* os)
{
    *os << c.label;
}

class StampTest : public PairTest, public ::testing::WithParamInterface<StampCase> {};

TEST_P(StampTest, OnlyFilesOfOneBackupAreRestoredTogether)
{
    const StampCase& c = GetParam();
    reg.Backup();
    ChangeAfterBackup();
    reg.Close();
    for (const auto& [name, stamp] : {std::pair{QStringLiteral("Member1.dbk"), c.member},
                                      std::pair{QStringLiteral("Group1.dbk"), c.group}}) {
        if (!stamp)
            ASSERT_TRUE(QFile::remove(File(name)));
        else
            RawSql(File(name), ("PRAGMA user_version=" + std::to_string(*stamp)).c_str());
    }
    const QByteArray member = ReadBytes(File(QStringLiteral("Member1.DB")));
    const QByteArray group = ReadBytes(File(QStringLiteral("Group1.DB")));
    reg.Open();

    if (c.restored) {
        EXPECT_TRUE(reg.Restore());
        const std::vector<int> devices = c.member ? std::vector<int>{10, 20} : std::vector<int>{10, 20, 30};
        EXPECT_EQ(ScanIds(reg.Member_Table), devices);
        EXPECT_EQ(GroupName(1), c.group ? QStringLiteral("North") : QStringLiteral("South"));
        return;
    }
    try {
        reg.Restore();
        FAIL() << "restored";
    } catch (const ETableError& e) {
        EXPECT_EQ(e.kind(), ETableError::Kind::TornBackup);
        EXPECT_EQ(e.fileName(), File(QStringLiteral("Member1.dbk")));
        EXPECT_EQ(e.otherFileName(), File(QStringLiteral("Group1.dbk")));
    }
    reg.Close();
    EXPECT_EQ(ReadBytes(File(QStringLiteral("Member1.DB"))), member);
    EXPECT_EQ(ReadBytes(File(QStringLiteral("Group1.DB"))), group);
}

INSTANTIATE_TEST_SUITE_P(
    Backups, StampTest,
    ::testing::Values(StampCase{"SameStamp", 5, 5, true},
                      StampCase{"BothUnstampedAsOlderVersionsWroteThem", 0, 0, true},
                      StampCase{"LoneUnstampedDeviceBackup", 0, std::nullopt, true},
                      StampCase{"DifferentStamps", 5, 6, false},
                      StampCase{"StampedBesideUnstamped", 5, 0, false},
                      StampCase{"UnstampedBesideStamped", 0, 6, false},
                      StampCase{"LoneStampedGroupBackup", std::nullopt, 6, false}),
    [](const auto& info) { return std::string(info.param.label); });

class ModeTest : public PairTest, public ::testing::WithParamInterface<int> {};

TEST_P(ModeTest, ReplacedFilesKeepTheirModeNewBackupsTakeTheLiveOne)
{
    const int mode = GetParam();
    const int backupMode = 0604;
    for (const char* name : {"Member1.DB", "Group1.DB"})
        SetMode(File(QLatin1String(name)), mode);

    reg.Backup();
    for (const char* name : {"Member1.dbk", "Group1.dbk"}) {
        EXPECT_EQ(FileMode(File(QLatin1String(name))), mode) << name;
        SetMode(File(QLatin1String(name)), backupMode);
    }
    ASSERT_TRUE(reg.Restore());
    reg.Backup();
    for (const char* name : {"Member1.DB", "Group1.DB"})
        EXPECT_EQ(FileMode(File(QLatin1String(name))), mode) << name;
    for (const char* name : {"Member1.dbk", "Group1.dbk"})
        EXPECT_EQ(FileMode(File(QLatin1String(name))), backupMode) << name;

    // A live file that was lost takes its backup's mode when restored.
    reg.Close();
    ASSERT_TRUE(QFile::remove(File(QStringLiteral("Group1.DB"))));
    ASSERT_TRUE(reg.Restore());
    EXPECT_EQ(FileMode(File(QStringLiteral("Group1.DB"))), backupMode);
    EXPECT_EQ(GroupName(1), QStringLiteral("North"));
}

INSTANTIATE_TEST_SUITE_P(Modes, ModeTest, ::testing::Values(0644, 0640),
                         [](const auto& info) { return "Mode0" + std::to_string(info.param / 64) +
                                                       std::to_string(info.param / 8 % 8) +
                                                       std::to_string(info.param % 8); });

TEST_F(PairTest, OpenRemovesOurLeftoverTemporaryFilesOnly)
{
    reg.Close();
    const QByteArray full = ReadBytes(File(QStringLiteral("Member1.DB")));
    const QStringList ours{QStringLiteral(".Member1.DB.tmp-a1B2c3"),         QStringLiteral(".Group1.dbk.tmp-Zz9Yy8"),
                           QStringLiteral(".Group1.dbk.tmp-Zz9Yy8-journal"), QStringLiteral(".SysSet.DB.tmp-000000"),
                           QStringLiteral(".Member2.before-search.DB.tmp-AbCdEf"),
                           QStringLiteral(".Restore1.pending.tmp-qwerty"),   QStringLiteral(".Group12.vbk.tmp-X1y2Z3")};
    const QStringList foreign{QStringLiteral(".Member1.DB.tmp-keep"),    QStringLiteral("Member1.DB.tmp-a1B2c3"),
                              QStringLiteral(".notes.txt.tmp-a1B2c3"),   QStringLiteral(".Member1.DB.tmp-a1B2c3.bak"),
                              QStringLiteral(".Member1.DB.tmp-a1B2_3"),  QStringLiteral(".Member1.DB.tmp-a1B2c3d"),
                              QStringLiteral(".Member1.DB.tmp-a1B2c3-wal"), QStringLiteral("Member1.DB.bak")};
    for (const QString& name : ours + foreign)
        WriteBytes(File(name), full);

    reg.Open();
    QStringList expected = PairFiles.filter(QStringLiteral(".DB")) + foreign;
    expected.sort();
    QStringList left = DirEntries(data);
    left.sort();
    EXPECT_EQ(left, expected);
    EXPECT_EQ(ReadBytes(File(foreign.front())), full);
}

}  // namespace

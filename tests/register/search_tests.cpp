// What a search needs of the register before and while it empties the device table:
// the check that the table can be written, the copy kept before emptying, emptying that
// leaves the table open, and a short wait for a lock another program holds.

#include "helpers.h"

#include <chrono>
#include <memory>
#include <optional>

namespace {

class SearchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        data = dir.filePath(QStringLiteral("DFiles"));
        member = QDir(data).filePath(QStringLiteral("Member1.DB"));
        TRegister reg(data);
        reg.Open();
        AppendDevice(reg.Member_Table, 10, QStringLiteral("升降机 A"), 1);
        AppendDevice(reg.Member_Table, 20, QStringLiteral("Hall left"), 2);
        AppendDevice(reg.Member_Table, 30, QStringLiteral("Hall right"), 2);
    }

    void TearDown() override { ::chmod(QFile::encodeName(data).constData(), 0755); }

    QTemporaryDir dir;
    QString data;
    QString member;
};

const std::vector<int> Devices{10, 20, 30};

// Something that stands in the way of writing the device table, set up before or
// after the register is opened; the returned object keeps it in place while alive.
using Obstacle = std::function<std::shared_ptr<void>(const QString& data, TRegister& reg)>;

struct BlockedCase {
    const char* label;
    bool asPlainUser;  // a permission the test process itself would override as root
    Obstacle beforeOpen;
    Obstacle afterOpen;
    std::optional<ETableError::Kind> refused;
};

void PrintTo(const BlockedCase& c, std::ostream* os)
{
    *os << c.label;
}

std::shared_ptr<void> Nothing(const QString&, TRegister&)
{
    return {};
}

std::shared_ptr<void> ReadOnlyFile(const QString&, TRegister& reg)
{
    SetMode(reg.MemberFileName(), 0444);
    return {};
}

std::shared_ptr<void> ReadOnlyDirectory(const QString& data, TRegister&)
{
    SetMode(data, 0555);
    return {};
}

std::shared_ptr<void> DamagedFile(const QString&, TRegister& reg)
{
    QByteArray bytes = ReadBytes(reg.MemberFileName());
    bytes.replace(0, 16, "not a database!!");
    WriteBytes(reg.MemberFileName(), bytes);
    return {};
}

std::shared_ptr<void> TableClosed(const QString&, TRegister& reg)
{
    reg.Member_Table.Close();
    return {};
}

std::shared_ptr<void> AnotherProgramWriting(const QString&, TRegister& reg)
{
    return std::make_shared<LockHolder>(reg.MemberFileName(), "IMMEDIATE");
}

// Runs `body` in this process, or where permissions hold, in a child; false when that
// cannot be arranged.
bool RunBlocked(bool asPlainUser, const std::function<void()>& body)
{
    if (asPlainUser)
        return AsPlainUser(body);
    body();
    return true;
}

class WritableTest : public SearchTest, public ::testing::WithParamInterface<BlockedCase> {};

TEST_P(WritableTest, CheckNamesTheDeviceFileAndChangesNothing)
{
    const BlockedCase& c = GetParam();
    const bool ran = RunBlocked(c.asPlainUser, [&] {
        TRegister reg(data);
        auto before = c.beforeOpen(data, reg);
        try {
            reg.Open();
        } catch (const ETableError&) {
            // a damaged file is refused here already
        }
        const QByteArray bytes = ReadBytes(member);
        const QStringList entries = DirEntries(data);
        auto after = c.afterOpen(data, reg);
        const bool open = reg.Member_Table.Active();

        if (!c.refused) {
            EXPECT_NO_THROW(reg.CheckDevicesWritable());
        } else {
            try {
                reg.CheckDevicesWritable();
                ADD_FAILURE() << "no error";
            } catch (const ETableError& e) {
                EXPECT_EQ(e.kind(), *c.refused) << e.what();
                EXPECT_EQ(e.fileName(), member);
                EXPECT_TRUE(e.Text(0).contains(member));
            }
        }
        after.reset();
        EXPECT_EQ(ReadBytes(member), bytes);
        EXPECT_EQ(DirEntries(data), entries);
        EXPECT_EQ(reg.Member_Table.Active(), open);
        if (open) {
            EXPECT_EQ(ScanIds(reg.Member_Table), Devices);
        }
    });
    if (!ran)
        GTEST_SKIP() << "this process cannot give up overriding file permissions";
}

INSTANTIATE_TEST_SUITE_P(
    Devices, WritableTest,
    ::testing::Values(BlockedCase{"Healthy", false, Nothing, Nothing, std::nullopt},
                      BlockedCase{"ReadOnlyFile", true, ReadOnlyFile, Nothing, ETableError::Kind::WriteFailed},
                      BlockedCase{"ReadOnlyDirectory", true, Nothing, ReadOnlyDirectory,
                                  ETableError::Kind::WriteFailed},
                      BlockedCase{"DamagedFile", false, DamagedFile, Nothing, ETableError::Kind::InvalidRegister},
                      BlockedCase{"TableNotOpen", false, Nothing, TableClosed, ETableError::Kind::InvalidOperation},
                      BlockedCase{"LockedByAnotherProgram", false, Nothing, AnotherProgramWriting,
                                  ETableError::Kind::Busy}),
    [](const auto& info) { return std::string(info.param.label); });

class EmptyTest : public SearchTest, public ::testing::WithParamInterface<BlockedCase> {};

TEST_P(EmptyTest, DeviceTableStaysOpenWhetherEmptyingWorksOrNot)
{
    const BlockedCase& c = GetParam();
    const bool ran = RunBlocked(c.asPlainUser, [&] {
        TRegister reg(data);
        auto before = c.beforeOpen(data, reg);
        reg.Open();
        auto after = c.afterOpen(data, reg);
        if (!c.refused) {
            EXPECT_NO_THROW(reg.EmptyDevices());
            EXPECT_TRUE(reg.Member_Table.Active());
            EXPECT_EQ(reg.Member_Table.RecordCount(), 0);
            AppendDevice(reg.Member_Table, 7);  // the search goes on appending
            EXPECT_EQ(ScanIds(reg.Member_Table), std::vector<int>{7});
            return;
        }
        try {
            reg.EmptyDevices();
            ADD_FAILURE() << "emptied";
        } catch (const ETableError& e) {
            EXPECT_EQ(e.kind(), *c.refused) << e.what();
            EXPECT_EQ(e.fileName(), member);
        }
        after.reset();
        ASSERT_TRUE(reg.Member_Table.Active());
        EXPECT_EQ(ScanIds(reg.Member_Table), Devices);
        ASSERT_TRUE(reg.Member_Table.Locate(QStringLiteral("ID"), 10));
        EXPECT_EQ(reg.Member_Table.FieldByName(QStringLiteral("Name")).AsString(), QStringLiteral("升降机 A"));
    });
    if (!ran)
        GTEST_SKIP() << "this process cannot give up overriding file permissions";
}

INSTANTIATE_TEST_SUITE_P(
    Devices, EmptyTest,
    ::testing::Values(BlockedCase{"Healthy", false, Nothing, Nothing, std::nullopt},
                      BlockedCase{"ReadOnlyFile", true, ReadOnlyFile, Nothing, ETableError::Kind::WriteFailed},
                      BlockedCase{"ReadOnlyDirectory", true, Nothing, ReadOnlyDirectory,
                                  ETableError::Kind::WriteFailed},
                      BlockedCase{"LockedByAnotherProgram", false, Nothing, AnotherProgramWriting,
                                  ETableError::Kind::Busy}),
    [](const auto& info) { return std::string(info.param.label); });

// An operation on the device table while another program holds a lock on its file.
struct BusyCase {
    const char* label;
    const char* lock;
    std::function<void(TTable&)> operation;
};

void PrintTo(const BusyCase& c, std::ostream* os)
{
    *os << c.label;
}

class BusyTest : public SearchTest, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(BusyTest, GivesUpSoonAndNamesTheFile)
{
    TRegister reg(data);
    reg.Open();
    {
        LockHolder other(member, GetParam().lock);
        const auto start = std::chrono::steady_clock::now();
        try {
            GetParam().operation(reg.Member_Table);
            ADD_FAILURE() << "done in spite of the lock";
        } catch (const ETableError& e) {
            EXPECT_EQ(e.kind(), ETableError::Kind::Busy) << e.what();
            EXPECT_EQ(e.fileName(), member);
            EXPECT_EQ(e.Text(1),
                      QStringLiteral("The data file %1 is in use by another program; the operation was not done.")
                          .arg(member));
        }
        // A generous bound: the user interface must not hang for seconds.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    }
    reg.Member_Table.Open();
    EXPECT_EQ(ScanIds(reg.Member_Table), Devices);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, BusyTest,
    ::testing::Values(BusyCase{"AppendWhileAnotherProgramCommits", "EXCLUSIVE",
                               [](TTable& t) { AppendDevice(t, 40); }},
                      BusyCase{"AppendWhileAnotherProgramWrites", "IMMEDIATE",
                               [](TTable& t) { AppendDevice(t, 40); }},
                      BusyCase{"OpenWhileAnotherProgramCommits", "EXCLUSIVE",
                               [](TTable& t) {
                                   t.Close();
                                   t.Open();
                               }}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(SearchTest, CopyBeforeSearchKeepsTheNamesOfTheLastSearchOnly)
{
    TRegister reg(data);
    reg.Open();
    SetMode(member, 0640);
    const QString copy = reg.BeforeSearchFileName();
    EXPECT_EQ(copy, QDir(data).filePath(QStringLiteral("Member1.before-search.DB")));

    // First search: the names typed in are kept beside the register.
    reg.SaveBeforeSearch();
    reg.EmptyDevices();
    AppendDevice(reg.Member_Table, 5);
    EXPECT_EQ(FileMode(copy), 0640);
    {
        TTable kept(MemberSchema());
        kept.setTableName(copy);
        kept.Open();
        EXPECT_EQ(ScanIds(kept), Devices);
        ASSERT_TRUE(kept.Locate(QStringLiteral("ID"), 10));
        EXPECT_EQ(kept.Field(1).AsString(), QStringLiteral("升降机 A"));
    }

    // The operator brings them back: program closed, the copy over the device file.
    reg.Close();
    ASSERT_TRUE(QFile::remove(member));
    ASSERT_TRUE(QFile::copy(copy, member));
    reg.Open();
    EXPECT_EQ(ScanIds(reg.Member_Table), Devices);

    // The next search replaces the copy; no temporary file stays.
    reg.EmptyDevices();
    AppendDevice(reg.Member_Table, 5);
    reg.SaveBeforeSearch();
    TTable kept(MemberSchema());
    kept.setTableName(copy);
    kept.Open();
    EXPECT_EQ(ScanIds(kept), std::vector<int>{5});
    EXPECT_EQ(DirEntries(data), (QStringList{QStringLiteral("Group1.DB"), QStringLiteral("Member1.DB"),
                                             QStringLiteral("Member1.before-search.DB")}));
}

TEST_F(SearchTest, CopyBeforeSearchThatFailsKeepsThePreviousOne)
{
    const QString copy = QDir(data).filePath(QStringLiteral("Member1.before-search.DB"));
    {
        TRegister reg(data);
        reg.Open();
        reg.SaveBeforeSearch();
    }
    RawSql(member, "WITH RECURSIVE n(i) AS (SELECT 100 UNION ALL SELECT i + 1 FROM n WHERE i < 400) "
                   "INSERT INTO Member SELECT i, 'Device with a fairly long name ' || i, 0 FROM n");
    const QByteArray previous = ReadBytes(copy);
    ASSERT_GT(QFileInfo(member).size(), 8192);

    // The disk fills up while the new copy is written.
    const int result = WithFileSizeLimit(8192, [&] {
        TRegister reg(data);
        reg.Open();
        try {
            reg.SaveBeforeSearch();
        } catch (const ETableError& e) {
            return e.kind() == ETableError::Kind::WriteFailed && e.fileName() == copy ? 0 : 1;
        }
        return 2;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadBytes(copy), previous);
    EXPECT_EQ(DirEntries(data), (QStringList{QStringLiteral("Group1.DB"), QStringLiteral("Member1.DB"),
                                             QStringLiteral("Member1.before-search.DB")}));
}

}  // namespace

// Converting data directories of Paradox tables: tables are made here with pxlib's own writer.
#include "access/encode.h"
#include "app/conversion_prompt.h"
#include "app/mainwindow.h"
#include "audit/auditlog.h"
#include "core/session.h"
#include "common/state.h"
#include "ui/messages.h"
#include "access/passwordstore.h"
#include "common/gbk.h"
#include "register/conversion.h"
#include "register/safefile.h"

#include "helpers.h"
#include "paradox_writer.h"

#include <QElapsedTimer>
#include <QRegularExpression>

#include <cstring>
#include <map>
#include <variant>


namespace {

void WriteParadox(const QString& path, const std::vector<PxField>& fields, const std::vector<std::vector<PxCell>>& rows)
{
    ASSERT_TRUE(WriteParadoxTable(path, fields, rows)) << path.toStdString();
}

QByteArray Gbk(const char* utf8)
{
    return EncodeGbk(QString::fromUtf8(utf8));
}

// Twenty Chinese characters: 40 GBK bytes, the full width of a device name.
const char FullName[] = "一号舞台左侧升降吊杆前排灯光控制单元甲乙";

std::vector<std::vector<PxCell>> Devices(int count, int firstId = 1)
{
    std::vector<std::vector<PxCell>> rows;
    for (int i = 0; i < count; ++i)
        rows.push_back({qint64(firstId + i), i % 2 ? Gbk(FullName) : QByteArray("Dev") + QByteArray::number(i),
                        qint64(i % 16)});
    return rows;
}

std::vector<std::vector<PxCell>> Groups()
{
    std::vector<std::vector<PxCell>> rows{{qint64(0), Gbk("未编组")}};
    for (int id = 1; id < 16; ++id)
        rows.push_back({qint64(id), id == 7 ? QByteArray() : Gbk("组") + QByteArray::number(id)});
    return rows;
}

// Passwords whose encodings hold a NUL, bytes of 0x80 and above, and (the locked record) bytes
// that are no GBK text: decoding any of them would change them.
const char AdminPassword[] = "IxH7";
const char OperatorPassword[] = "操作员";
QByteArray PasswordBytes(int record)
{
    // A lone GBK lead byte before a NUL, then bytes no decoder keeps as they are.
    return record == 1 ? QByteArray("\x81\x00\xff\x80\x7f\xa1\x0a\x00", 8) : EnCode(QString::fromUtf8(record == 2 ? AdminPassword : OperatorPassword));
}

std::map<QString, QByteArray> Snapshot(const QString& dir)
{
    std::map<QString, QByteArray> files;
    for (const QString& name : DirEntries(dir))
        files[name] = ReadBytes(QDir(dir).filePath(name));
    return files;
}

class ParadoxTest : public ::testing::Test {
public:
    void SetUp() override
    {
        data = QDir(dir.path()).filePath(QStringLiteral("DFiles"));
        ASSERT_TRUE(QDir().mkpath(data));
    }
    QString At(const QString& name) const { return QDir(data).filePath(name); }

    // Scene 1 and 3, the password store, and the .PX and .VAL files of the device table.
    void MakeDirectory(int devices = 12)
    {
        WriteParadox(At("Member1.DB"), MemberFields, Devices(devices));
        WriteParadox(At("Group1.DB"), GroupFields, Groups());
        WriteParadox(At("Member3.DB"), MemberFields, Devices(3, 500));
        std::vector<std::vector<PxCell>> passwords;
        for (int r = 1; r <= 3; ++r)
            passwords.push_back({qint64(r), PasswordBytes(r)});
        WriteParadox(At("SysSet.DB"), SysSetFields, passwords);
        WriteBytes(At("Member1.PX"), QByteArray("index\0\1\2", 8));
        WriteBytes(At("Member1.VAL"), QByteArray("\xff\x00validity", 10));
    }

    QTemporaryDir dir;
    QString data;
};

std::vector<std::vector<QByteArray>> ReadAll(const QString& path, const TTableSchema& schema)
{
    TTable t(schema);
    t.setTableName(path);
    t.Open();
    std::vector<std::vector<QByteArray>> rows;
    for (t.First(); !t.Eof(); t.Next()) {
        rows.emplace_back();
        for (int i = 0; i < t.FieldCount(); ++i)
            rows.back().push_back(t.Field(i).AsBytes());
    }
    return rows;
}

TEST_F(ParadoxTest, EveryRecordAndPasswordByteComesOverAndTheOriginalsAreKept)
{
    for (int r = 1; r <= 3; ++r) {
        const QByteArray code = PasswordBytes(r);
        ASSERT_TRUE(std::any_of(code.begin(), code.end(), [](char c) { return static_cast<quint8>(c) >= 0x80; }));
    }
    ASSERT_TRUE(PasswordBytes(2).contains('\0'));
    bool gbk = true;
    DecodeGbk(PasswordBytes(1), &gbk);
    ASSERT_FALSE(gbk);
    ASSERT_EQ(Gbk(FullName).size(), 40);
    MakeDirectory();
    const auto before = Snapshot(data);
    ASSERT_EQ(ParadoxTablesOfScene(data, 1), (QStringList{"Member1.DB", "Group1.DB", "SysSet.DB"}));

    const TConversion result = ConvertParadoxDirectory(data);
    ASSERT_TRUE(result.problems.empty()) << result.problems.front().Text(1).toStdString();
    ASSERT_TRUE(result.converted);
    EXPECT_EQ(result.tables.size(), 4u);
    EXPECT_TRUE(ParadoxTablesOfScene(data, 1).isEmpty());

    const auto devices = ReadAll(At("Member1.DB"), MemberSchema());
    ASSERT_EQ(devices.size(), 12u);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(devices[i][0], QByteArray::number(i + 1));
        EXPECT_EQ(devices[i][1], i % 2 ? QByteArray(FullName) : QByteArray("Dev") + QByteArray::number(i));
        EXPECT_EQ(devices[i][2], QByteArray::number(i % 16));
    }
    EXPECT_EQ(ReadAll(At("Member3.DB"), MemberSchema()).front()[0], "500");
    const auto groups = ReadAll(At("Group1.DB"), GroupSchema());
    ASSERT_EQ(groups.size(), 16u);
    EXPECT_EQ(groups[0][1], QByteArray("未编组"));
    EXPECT_EQ(groups[7][1], QByteArray());
    EXPECT_EQ(groups[15][1], QByteArray("组15"));

    const auto passwords = ReadAll(At("SysSet.DB"), SysSetSchema());
    ASSERT_EQ(passwords.size(), 3u);
    for (int r = 1; r <= 3; ++r)
        EXPECT_EQ(passwords[r - 1][1], PasswordBytes(r)) << r;
    TPasswordStore store(data);
    store.Open();
    EXPECT_TRUE(store.Matches(AdministratorRecord, QString::fromUtf8(AdminPassword)));
    EXPECT_TRUE(store.Matches(OperatorRecord, QString::fromUtf8(OperatorPassword)));
    EXPECT_FALSE(store.Matches(OperatorRecord, QStringLiteral("操作")));
    store.Close();

    // The register opens as it is; the originals keep every byte under their new names.
    TRegister reg(data);
    reg.Open();
    EXPECT_EQ(reg.Member_Table.RecordCount(), 12);
    reg.Close();
    for (const char* name : {"Member1.DB", "Member1.PX", "Member1.VAL", "Group1.DB", "Member3.DB", "SysSet.DB"})
        EXPECT_EQ(ReadBytes(At(KeptName(name))), before.at(name)) << name;
    EXPECT_FALSE(QFileInfo::exists(At("Member1.PX")));
    EXPECT_FALSE(QFileInfo::exists(ConversionMarkerFileName(data)));
    EXPECT_TRUE(DirEntries(data).filter(".tmp-").isEmpty());
}

TEST_F(ParadoxTest, NumericFieldsOfEveryTypeReadAsIntegers)
{
    const struct {
        char type;
        int len;
    } types[] = {{pxfShort, 2}, {pxfLong, 4}, {pxfNumber, 8}, {pxfAutoInc, 4}};
    for (const auto& t : types) {
        SCOPED_TRACE(int(t.type));
        const QString path = At(QStringLiteral("types%1.DB").arg(int(t.type)));
        WriteParadox(path, {{"Group_ID", t.type, t.len}, {"name", pxfAlpha, 10}, {"id", t.type, t.len}},
                     {{qint64(15), QByteArray("a"), qint64(999)}, {std::monostate{}, QByteArray(), qint64(1)}});
        const TParadoxRead read = ReadParadoxTable(path, TParadoxKind::Devices, path);
        ASSERT_TRUE(read.problems.empty()) << read.problems.front().Text(1).toStdString();
        ASSERT_EQ(read.rows.size(), 2u);
        // In ID order, with the empty Group_ID read as 0.
        EXPECT_EQ(read.rows[0][0].AsLargeInt(), 1);
        EXPECT_EQ(read.rows[0][2].AsLargeInt(), 0);
        EXPECT_EQ(read.rows[1][0].AsLargeInt(), 999);
        EXPECT_EQ(read.rows[1][1].AsString(), QStringLiteral("a"));
        EXPECT_EQ(read.rows[1][2].AsLargeInt(), 15);
    }
}

TEST_F(ParadoxTest, AnUnreadableTableIsRefusedByFileAndRecordAndNothingIsConverted)
{
    const struct {
        const char* what;
        std::function<void(ParadoxTest&)> spoil;
        const char* file;
        int record;
        TParadoxProblem::Kind kind;
    } cases[] = {
        {"damaged header", [](ParadoxTest& t) {
             QByteArray b = ReadBytes(t.At("Group1.DB"));
             b[0x21] = 0;  // no fields
             WriteBytes(t.At("Group1.DB"), b);
         }, "Group1.DB", 0, TParadoxProblem::Kind::Unreadable},
        {"encrypted table", [](ParadoxTest& t) {  // pxlib would read it for ever
             QByteArray b = ReadBytes(t.At("Group1.DB"));
             b[0x5C] = 0x42;  // the key of a newer header
             WriteBytes(t.At("Group1.DB"), b);
         }, "Group1.DB", 0, TParadoxProblem::Kind::Unreadable},
        {"data blocks in a circle", [](ParadoxTest& t) {  // the first block names itself as the next
             QByteArray b = ReadBytes(t.At("Group1.DB"));
             const int firstBlockAt = static_cast<uchar>(b[2]) | static_cast<uchar>(b[3]) << 8;  // after the header
             b[firstBlockAt] = 1;
             b[firstBlockAt + 1] = 0;
             WriteBytes(t.At("Group1.DB"), b);
         }, "Group1.DB", 0, TParadoxProblem::Kind::Unreadable},
        {"truncated file", [](ParadoxTest& t) {
             WriteBytes(t.At("Group1.DB"), ReadBytes(t.At("Group1.DB")).left(0x400));
         }, "Group1.DB", 0, TParadoxProblem::Kind::Unreadable},
        {"duplicate ID", [](ParadoxTest& t) {
             auto rows = Devices(5);
             rows[3][0] = qint64(2);
             WriteParadox(t.At("Member7.DB"), MemberFields, rows);
         }, "Member7.DB", 4, TParadoxProblem::Kind::DuplicateId},
        {"ID outside 1 to 999", [](ParadoxTest& t) {
             WriteParadox(t.At("Member2.DB"), MemberFields, Devices(2, 999));
         }, "Member2.DB", 2, TParadoxProblem::Kind::IdOutOfRange},
        {"device ID 0, every device of its group in a frame", [](ParadoxTest& t) {
             WriteParadox(t.At("Member2.DB"), MemberFields, Devices(2, 0));
         }, "Member2.DB", 1, TParadoxProblem::Kind::IdOutOfRange},
        {"device in group 17", [](ParadoxTest& t) {
             WriteParadox(t.At("Member8.DB"), MemberFields, {{qint64(4), QByteArray(), qint64(1)}, {qint64(5), QByteArray(), qint64(17)}});
         }, "Member8.DB", 2, TParadoxProblem::Kind::GroupOfDeviceOutOfRange},
        {"device in group -3", [](ParadoxTest& t) {
             WriteParadox(t.At("Member8.DB"), MemberFields, {{qint64(4), QByteArray(), qint64(-3)}});
         }, "Member8.DB", 1, TParadoxProblem::Kind::GroupOfDeviceOutOfRange},
        {"group ID 16", [](ParadoxTest& t) {
             WriteParadox(t.At("Group4.DB"), GroupFields, {{qint64(0), QByteArray()}, {qint64(16), QByteArray()}});
         }, "Group4.DB", 2, TParadoxProblem::Kind::GroupIdOutOfRange},
        {"duplicate group ID", [](ParadoxTest& t) {
             WriteParadox(t.At("Group4.DB"), GroupFields, {{qint64(0), QByteArray()}, {qint64(3), QByteArray()}, {qint64(3), QByteArray()}});
         }, "Group4.DB", 3, TParadoxProblem::Kind::DuplicateId},
        {"name of the wrong type", [](ParadoxTest& t) {
             WriteParadox(t.At("Member12.DB"), {{"ID", pxfLong, 4}, {"Name", pxfLong, 4}, {"Group_ID", pxfShort, 2}},
                          {{qint64(1), qint64(5), qint64(0)}});
         }, "Member12.DB", 0, TParadoxProblem::Kind::WrongFieldType},
        {"missing field", [](ParadoxTest& t) {
             WriteParadox(t.At("Member4.DB"), {{"ID", pxfLong, 4}, {"Name", pxfAlpha, 40}}, {{qint64(1), QByteArray()}});
         }, "Member4.DB", 0, TParadoxProblem::Kind::MissingField},
        {"unexpected field", [](ParadoxTest& t) {
             WriteParadox(t.At("Group2.DB"), {{"ID", pxfShort, 2}, {"Name", pxfAlpha, 16}, {"Colour", pxfShort, 2}},
                          {{qint64(0), QByteArray(), qint64(3)}});
         }, "Group2.DB", 0, TParadoxProblem::Kind::UnexpectedField},
        {"17 groups", [](ParadoxTest& t) {
             auto rows = Groups();
             rows.push_back({qint64(16), QByteArray("x")});
             WriteParadox(t.At("Group5.DB"), GroupFields, rows);
         }, "Group5.DB", 0, TParadoxProblem::Kind::TooManyGroups},
        {"fractional ID", [](ParadoxTest& t) {
             WriteParadox(t.At("Group6.DB"), {{"ID", pxfNumber, 8}, {"Name", pxfAlpha, 16}}, {{2.5, QByteArray()}});
         }, "Group6.DB", 1, TParadoxProblem::Kind::NotWhole},
        {"two password records", [](ParadoxTest& t) {
             WriteParadox(t.At("SysSet.DB"), SysSetFields, {{qint64(1), PasswordBytes(1)}, {qint64(2), PasswordBytes(2)}});
         }, "SysSet.DB", 0, TParadoxProblem::Kind::TooFewPasswords},
        {"a kept original already there", [](ParadoxTest& t) {
             WriteBytes(t.At("Member1.paradox.VAL"), "older");
         }, "Member1.DB", 0, TParadoxProblem::Kind::KeptExists},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QDir(data).removeRecursively();
        QDir().mkpath(data);
        MakeDirectory();
        c.spoil(*this);
        const auto before = Snapshot(data);
        const TConversion result = ConvertParadoxDirectory(data);
        EXPECT_FALSE(result.converted);
        ASSERT_FALSE(result.problems.empty());
        const TParadoxProblem& p = result.problems.front();
        EXPECT_EQ(p.file, At(c.file));
        EXPECT_EQ(p.record, c.record);
        EXPECT_EQ(p.kind, c.kind) << p.Text(1).toStdString();
        EXPECT_TRUE(p.Text(0).contains(At(c.file)));
        EXPECT_EQ(Snapshot(data), before);
    }
}

// Groups are addressed by their ID: IDs with a gap come over as they are, and a device may name a
// group the table lacks.
TEST_F(ParadoxTest, GroupIdsWithGapsAndDevicesOfMissingGroupsConvert)
{
    WriteParadox(At("Group1.DB"), GroupFields,
                 {{qint64(5), Gbk("五")}, {qint64(0), Gbk("未编组")}, {qint64(1), QByteArray()}, {qint64(2), QByteArray()}});
    WriteParadox(At("Member1.DB"), MemberFields, {{qint64(1), QByteArray(), qint64(5)}, {qint64(999), QByteArray(), qint64(9)}});
    const TConversion result = ConvertParadoxDirectory(data);
    ASSERT_TRUE(result.converted) << result.problems.front().Text(1).toStdString();
    TRegister reg(data);
    reg.Open();
    EXPECT_EQ(ScanIds(reg.Group_Table), (std::vector<int>{0, 1, 2, 5}));
    ASSERT_TRUE(reg.Member_Table.Locate(QStringLiteral("ID"), 999));
    EXPECT_EQ(reg.Member_Table.FieldByName(QStringLiteral("Group_ID")).AsInteger(), 9);
}

// The kept password table is for its owner only, its encoding being easily undone; the other kept
// files keep their modes. A conversion that cannot set the mode leaves every mode as it was.
TEST_F(ParadoxTest, TheKeptPasswordFilesAreForTheirOwnerOnly)
{
    const auto make = [this] {
        MakeDirectory();
        WriteBytes(At("SysSet.PX"), "index");
        WriteBytes(At("SysSet.VAL"), "checks");
        for (const QString& name : DirEntries(data))
            SetMode(At(name), 0644);
    };
    make();
    ASSERT_TRUE(ConvertParadoxDirectory(data).converted);
    const QStringList kept = DirEntries(data).filter(".paradox.");
    ASSERT_EQ(kept.size(), 8);  // Member1, Group1, Member3 and SysSet, the .PX and .VAL of Member1 and SysSet
    for (const QString& name : kept)
        EXPECT_EQ(FileMode(At(name)), name.startsWith("SysSet") ? 0600 : 0644) << name.toStdString();

    // Another owner's file is the one whose mode cannot be set (without the capability to override it).
    QDir(data).removeRecursively();
    QDir().mkpath(data);
    make();
    if (::geteuid() != 0 || ::chown(QFile::encodeName(At("SysSet.VAL")).constData(), 4321, 4321) != 0)
        GTEST_SKIP() << "making a file of another owner needs root";
    const auto before = Snapshot(data);
    const bool ran = AsPlainUser([&] {
        EXPECT_THROW(ConvertParadoxDirectory(data), ETableError);
        EXPECT_EQ(Snapshot(data), before);
        for (const QString& name : DirEntries(data))
            EXPECT_EQ(FileMode(At(name)), 0644) << name.toStdString();
    });
    if (!ran)
        GTEST_SKIP() << "the capabilities that override file permissions cannot be given up here";
}

std::atomic<int> g_replacements{0};
int g_killAt = 0;
void KillAtReplacement(const QString&)
{
    if (++g_replacements == g_killAt)
        ::kill(::getpid(), SIGKILL);
}

// Kills a conversion after each of its renames in turn; the next start finds either the
// converted directory or (when a new file was lost meanwhile) the old one, never a mix.
TEST_F(ParadoxTest, AConversionKilledHalfWayIsCompletedOrRolledBackAtTheNextStart)
{
    MakeDirectory();
    ASSERT_TRUE(ConvertParadoxDirectory(data).converted);
    QStringList convertedNames;
    for (const auto& [name, bytes] : Snapshot(data))
        convertedNames << name;
    // 4 tables: marker + 6 originals kept + 4 new files.
    const int renames = 11;
    for (int killAt = 1; killAt <= renames; ++killAt) {
        for (const bool loseANewFile : {false, true}) {
            SCOPED_TRACE(killAt * 10 + loseANewFile);
            QDir(data).removeRecursively();
            QDir().mkpath(data);
            MakeDirectory();
            const auto original = Snapshot(data);  // pxlib stamps each new table: take them anew
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                g_killAt = killAt;
                tarvello::SetReplaceHook(&KillAtReplacement);
                try {
                    ConvertParadoxDirectory(data);
                } catch (...) {
                    ::_exit(2);
                }
                ::_exit(0);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFSIGNALED(status)) << status;
            const QStringList waiting = DirEntries(data).filter(QRegularExpression("^\\.(Member|Group|SysSet).*\\.tmp-"));
            if (loseANewFile && !waiting.isEmpty())
                QFile::remove(At(waiting.front()));

            if (loseANewFile) {
                FinishInterruptedConversion(data);
            } else {
                TRegister reg(data);  // a start: opening the register finishes the conversion first
                reg.Open();
                reg.Close();
            }
            const auto after = Snapshot(data);
            EXPECT_FALSE(QFileInfo::exists(ConversionMarkerFileName(data)));
            if (loseANewFile && !waiting.isEmpty()) {
                EXPECT_EQ(after, original);
            } else {
                QStringList names;
                for (const auto& [name, bytes] : after)
                    names << name;
                ASSERT_EQ(names, convertedNames);
                for (const auto& [name, bytes] : original)
                    EXPECT_EQ(after.at(KeptName(name)), bytes) << name.toStdString();
                EXPECT_EQ(ReadAll(At("Member1.DB"), MemberSchema()).size(), 12u);
                EXPECT_EQ(ReadAll(At("SysSet.DB"), SysSetSchema())[1][1], PasswordBytes(2));
            }
        }
    }
}

TEST_F(ParadoxTest, ADryRunAndAnSqliteDirectoryChangeNothing)
{
    MakeDirectory();
    const auto before = Snapshot(data);
    const TConversion dry = ConvertParadoxDirectory(data, true);
    EXPECT_EQ(dry.tables.size(), 4u);
    EXPECT_FALSE(dry.converted);
    EXPECT_EQ(Snapshot(data), before);

    ASSERT_TRUE(ConvertParadoxDirectory(data).converted);
    const auto converted = Snapshot(data);
    const TConversion again = ConvertParadoxDirectory(data);
    EXPECT_TRUE(again.tables.empty());
    EXPECT_EQ(Snapshot(data), converted);
}

// 999 devices in each of the 12 scenes: every record comes over; the time is printed.
TEST_F(ParadoxTest, AFullRegisterOfTwelveScenesConvertsCompletely)
{
    for (int scene = 1; scene <= 12; ++scene) {
        WriteParadox(At(QStringLiteral("Member%1.DB").arg(scene)), MemberFields, Devices(999));
        WriteParadox(At(QStringLiteral("Group%1.DB").arg(scene)), GroupFields, Groups());
    }
    std::vector<std::vector<PxCell>> passwords;
    for (int r = 1; r <= 3; ++r)
        passwords.push_back({qint64(r), PasswordBytes(r)});
    WriteParadox(At("SysSet.DB"), SysSetFields, passwords);
    QElapsedTimer timer;
    timer.start();
    const TConversion result = ConvertParadoxDirectory(data);
    const qint64 ms = timer.elapsed();
    ASSERT_TRUE(result.converted);
    ASSERT_EQ(result.tables.size(), 25u);
    for (int scene = 1; scene <= 12; ++scene) {
        const auto devices = ReadAll(At(QStringLiteral("Member%1.DB").arg(scene)), MemberSchema());
        ASSERT_EQ(devices.size(), 999u);
        for (int i = 0; i < 999; ++i)
            ASSERT_EQ(devices[i][1], i % 2 ? QByteArray(FullName) : QByteArray("Dev") + QByteArray::number(i));
        ASSERT_EQ(ReadAll(At(QStringLiteral("Group%1.DB").arg(scene)), GroupSchema()).size(), 16u);
    }
    std::printf("converted 12 scenes of 999 devices, 16 groups each, and the password store in %lld ms\n",
                static_cast<long long>(ms));
}

// Answers every question with `answer` and keeps what was shown.
class Answering : public MessageSink {
public:
    explicit Answering(bool answer) : m_answer(answer) { SetMessageSink(this); }
    ~Answering() override { SetMessageSink(nullptr); }
    bool show(QWidget*, Kind kind, const QString& text) override
    {
        shown.push_back({kind, text});
        return m_answer;
    }
    std::vector<std::pair<Kind, QString>> shown;

private:
    bool m_answer;
};

TEST_F(ParadoxTest, TheStartAsksOnceNamingTheFilesAndTheCommandReportsByExitStatus)
{
    MakeDirectory();
    const auto before = Snapshot(data);
    {
        Answering no(false);
        EXPECT_FALSE(OfferParadoxConversion(data, 3, nullptr));
        ASSERT_EQ(no.shown.size(), 1u);
        EXPECT_EQ(no.shown[0].first, MessageSink::Kind::Confirmation);
        EXPECT_TRUE(no.shown[0].second.contains("Member3.DB, SysSet.DB")) << no.shown[0].second.toStdString();
        EXPECT_EQ(Snapshot(data), before);
    }
    WriteParadox(At("Group9.DB"), GroupFields, {{qint64(0), QByteArray()}, {qint64(0), QByteArray()}});
    const auto spoilt = Snapshot(data);
    {
        Answering yes(true);
        EXPECT_FALSE(OfferParadoxConversion(data, 1, nullptr));
        ASSERT_EQ(yes.shown.size(), 2u);
        EXPECT_EQ(yes.shown[1].first, MessageSink::Kind::Error);
        EXPECT_TRUE(yes.shown[1].second.contains(At("Group9.DB"))) << yes.shown[1].second.toStdString();
        EXPECT_EQ(Snapshot(data), spoilt);
    }
    EXPECT_EQ(RunConversionCommand(data, false), 1);
    EXPECT_EQ(Snapshot(data), spoilt);
    QFile::remove(At("Group9.DB"));
    EXPECT_EQ(RunConversionCommand(data, true), 0);
    EXPECT_EQ(Snapshot(data), before);
    {
        Answering yes(true);
        EXPECT_TRUE(OfferParadoxConversion(data, 1, nullptr));
        ASSERT_EQ(yes.shown.size(), 2u);
        EXPECT_EQ(yes.shown[1].first, MessageSink::Kind::Information);
        EXPECT_TRUE(OfferParadoxConversion(data, 1, nullptr));  // converted: no second question
        EXPECT_EQ(yes.shown.size(), 2u);
    }
    EXPECT_EQ(RunConversionCommand(data, false), 0);
    EXPECT_EQ(RunConversionCommand(QDir(data).filePath("missing"), false), 1);
}

// Through the main window: the question comes before the log-in; No ends the program untouched,
// Yes converts, and the log-in then takes the password the operator always had.
TEST_F(ParadoxTest, TheWindowAsksBeforeTheLogInAndLogsInWithTheOldPasswordAfterwards)
{
    MakeDirectory();
    const auto before = Snapshot(data);
    const auto nowhere = [](const QString&) { return QStringLiteral("/nonexistent/tarvello-port"); };
    int logIns = 0;
    {
        Answering no(false);
        MainWindow f(data, nullptr, nowhere);
        f.LogIn = [&](MainWindow& form) {
            ++logIns;
            form.passwordStore().setLevel(ModeOperator);
            return true;
        };
        EXPECT_FALSE(f.startUp());
        EXPECT_EQ(logIns, 0);
        EXPECT_FALSE(f.isVisible());
    }
    EXPECT_EQ(Snapshot(data), before);
    {
        Answering yes(true);
        MainWindow f(data, nullptr, nowhere);
        f.LogIn = [&](MainWindow& form) {
            ++logIns;
            form.passwordStore().Open();
            form.passwordStore().setLevel(
                form.passwordStore().Matches(OperatorRecord, QString::fromUtf8(OperatorPassword)) ? ModeOperator : ModeNone);
            return form.passwordStore().level() != ModeNone;
        };
        EXPECT_TRUE(f.startUp());
        EXPECT_EQ(logIns, 1);
        EXPECT_EQ(f.passwordStore().level(), ModeOperator);
        EXPECT_EQ(f.session().deviceRegister().Member_Table.RecordCount(), 12);
        EXPECT_EQ(f.controls().deviceList->rowCount(), 12);
        // The conversion is in the audit record, as the window's, before anybody logged in.
        f.session().audit().flush();
        const std::vector<AuditRow> converted = f.session().audit().rows({std::nullopt, std::nullopt, {"convert"}, std::nullopt});
        ASSERT_EQ(converted.size(), 1u);
        EXPECT_EQ(converted[0].source, QString("window"));
        EXPECT_EQ(converted[0].level, ModeNone);
    }
}

}  // namespace

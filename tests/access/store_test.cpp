#include <gtest/gtest.h>

#include <ostream>

#include <QDir>

#include <sqlite3.h>

#include <map>

#include "access/login.h"
#include "support.h"

namespace {

void RawSql(const QString& file, const char* sql)
{
    sqlite3* db = nullptr;
    sqlite3_open(QFile::encodeName(file).constData(), &db);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    sqlite3_close(db);
}

// The stored passwords by record, read as another tool would.
std::map<int, QByteArray> StoredPasswords(const QString& file)
{
    std::map<int, QByteArray> rows;
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    sqlite3_open_v2(QFile::encodeName(file).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_prepare_v2(db, "SELECT RecNo, PSW FROM SysSet", -1, &stmt, nullptr);
    while (stmt && sqlite3_step(stmt) == SQLITE_ROW)
        rows[sqlite3_column_int(stmt, 0)] =
            QByteArray(static_cast<const char*>(sqlite3_column_blob(stmt, 1)), sqlite3_column_bytes(stmt, 1));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
}

}  // namespace

TEST(PasswordStore, NewStoreIsPrivateHoldsOnlyEncodingsAndIsNeverReplaced)
{
    StoreDir dir;
    TPasswordStore store(dir.path());
    ASSERT_TRUE(store.Create(QStringLiteral("12345678"), QStringLiteral("密码"), QStringLiteral("I")));
    EXPECT_EQ(FileMode(dir.file()), 0600u);
    const std::map<int, QByteArray> expected{{1, QByteArray::fromHex("00 72 41 75 62 63 66 6D")},
                                             {2, QByteArray::fromHex("79 53 74 38 33 02 17 F0")},
                                             {3, QByteArray::fromHex("58 BD 6D CB 62 63 66 6D")}};
    EXPECT_EQ(StoredPasswords(dir.file()), expected);
    const QByteArray bytes = ReadBytes(dir.file());
    for (const QByteArray& plain : {QByteArray("12345678"), QByteArray::fromHex("c3dcc2eb"), QByteArray("密码")})
        EXPECT_FALSE(bytes.contains(plain));

    EXPECT_FALSE(store.Create(QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("z")));
    EXPECT_EQ(ReadBytes(dir.file()), bytes);
}

namespace {

struct Damage {
    const char* name;
    void (*make)(const QString& file);
    bool cannotOpen;
};

void PrintTo(const Damage& c, std::ostream* os) { *os << c.name; }

const Damage Damages[] = {
    {"not_a_database", [](const QString& f) {
         QFile out(f);
         out.open(QIODevice::WriteOnly);
         out.write(QByteArray("SQLite format 3\0 then garbage", 30).repeated(200));
     }, false},
    {"empty_file", [](const QString& f) { QFile(f).open(QIODevice::WriteOnly); }, false},
    {"register_instead", [](const QString& f) {
         RawSql(f, "CREATE TABLE Groups (ID INTEGER PRIMARY KEY, Name TEXT NOT NULL DEFAULT ''); "
                   "INSERT INTO Groups VALUES (0, 'a'), (1, 'b'), (2, 'c')");
     }, false},
    {"two_records", [](const QString& f) {
         RawSql(f, "CREATE TABLE SysSet (RecNo INTEGER PRIMARY KEY, PSW BLOB NOT NULL); "
                   "INSERT INTO SysSet VALUES (1, x'0102030405060708'), (2, x'0102030405060708')");
     }, false},
    {"a_directory", [](const QString& f) { QDir().mkpath(f); }, true},
};

class DamagedStore : public ::testing::TestWithParam<Damage> {};

}  // namespace

// A store that cannot be used is reported by name, left exactly as it was, and ends the start
// without a first-start or log-in dialog.
TEST_P(DamagedStore, IsReportedByNameAndLeftAsItWas)
{
    // Each says how to start afresh.
    const QString expected[2][2] = {
        {QStringLiteral("密码文件 %1 不是有效的密码表，未作任何改动。\n"
                        "如要重新开始，请把该文件移到别处（例如改名为 SysSet.DB.old），下次启动时程序会要求设置新密码。"),
         QStringLiteral("无法打开密码文件 %1。\n请检查该文件是否可读；如要重新开始，请把它移到别处"
                        "（例如改名为 SysSet.DB.old），下次启动时程序会要求设置新密码。")},
        {QStringLiteral("The password file %1 is not a valid password table; it was left untouched.\n"
                        "To start afresh, move the file aside (rename it to SysSet.DB.old, for example): "
                        "the next start then asks for new passwords."),
         QStringLiteral("The password file %1 cannot be opened.\nCheck that it can be read; to start afresh "
                        "instead, move it aside (rename it to SysSet.DB.old, for example): the next start then "
                        "asks for new passwords.")}};
    for (int16_t language : {0, 1}) {
        StoreDir dir;
        setCurrentLanguage(language);
        QDir().mkpath(dir.path());
        GetParam().make(dir.file());
        const QByteArray before = ReadBytes(dir.file());
        ModalScript noDialog;
        TPasswordStore store(dir.path());

        EXPECT_EQ(LogInAtStart(store, nullptr), StartLogIn::StoreUnusable);
        EXPECT_EQ(store.level(), ModeNone);
        EXPECT_EQ(ReadBytes(dir.file()), before);
        EXPECT_FALSE(QFile::exists(dir.file() + QStringLiteral("-journal")));
        EXPECT_EQ(dir.messages.texts, QStringList{expected[language][GetParam().cannotOpen].arg(dir.file())});
        EXPECT_EQ(dir.messages.kinds, QList<MessageSink::Kind>{MessageSink::Kind::Error});
    }
}

INSTANTIATE_TEST_SUITE_P(Table, DamagedStore, ::testing::ValuesIn(Damages),
                         [](const auto& info) { return std::string(info.param.name); });

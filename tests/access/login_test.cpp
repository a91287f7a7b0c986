#include <gtest/gtest.h>

#include <ostream>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "access/adminpassworddialog.h"
#include "access/firststartdialog.h"
#include "access/login.h"
#include "access/logindialog.h"
#include "support.h"

namespace {

struct LevelCase {
    const char* name;
    const char* superUser;
    const char* administrator;
    const char* operatorPassword;
    int32_t edition;
    const char* typed;
    int32_t level;  // ModeNone: refused
    const char* said = nullptr;  // told at a granted log-in: two levels share a password
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.name; }

const LevelCase LevelCases[] = {
    {"operator", "su", "adm", "op", EditionCustomer, "op", ModeOperator},
    {"administrator", "su", "adm", "op", EditionCustomer, "adm", ModeAdministrator},
    {"both_operator_and_administrator", "su", "same", "same", EditionCustomer, "same", ModeAdministrator,
     "操作员和管理员的密码相同：用这个密码登录的都会成为管理员，没有人能以操作员身份登录。\n"
     "请点击“修改密码”，在“操作员”页为操作员另设一个密码。"},
    {"super_user_advanced", "su", "adm", "op", EditionAdvanced, "su", ModeSuperUser},
    {"super_user_customer_refused", "su", "adm", "op", EditionCustomer, "su", ModeNone},
    {"super_user_customer_also_operator", "op", "adm", "op", EditionCustomer, "op", ModeOperator},
    {"super_user_advanced_also_administrator", "x", "x", "op", EditionAdvanced, "x", ModeSuperUser,
     "管理员和超级用户的密码相同：用这个密码登录的都会成为超级用户，没有人能以管理员身份登录。\n"
     "请点击“修改密码”，在“管理员”页为管理员另设一个密码。"},
    // The administrator may give the operator another password; the super user's is not theirs to change.
    {"administrator_while_operator_is_super_user", "op", "adm", "op", EditionAdvanced, "adm", ModeAdministrator,
     "操作员和超级用户的密码相同：用这个密码登录的都会成为超级用户，没有人能以操作员身份登录。\n"
     "请点击“修改密码”，在“操作员”页为操作员另设一个密码。"},
    {"wrong", "su", "adm", "op", EditionAdvanced, "nope", ModeNone},
    {"case_matters", "su", "adm", "op", EditionCustomer, "OP", ModeNone},
    {"empty_password", "su", "adm", "", EditionCustomer, "", ModeOperator},
    {"empty_is_not_any_password", "su", "adm", "op", EditionAdvanced, "", ModeNone},
    {"first_eight_bytes_count", "su", "adm", "超级用户", EditionCustomer, "超级用户密码", ModeOperator},
};

class LogInLevel : public ::testing::TestWithParam<LevelCase> {};

}  // namespace

TEST_P(LogInLevel, GrantsTheLevelOfTheLastMatchingRecord)
{
    const LevelCase& c = GetParam();
    StoreDir dir;
    dir.create(c.superUser, c.administrator, c.operatorPassword);
    TPasswordStore store(dir.path());
    store.setEdition(c.edition);
    LoginDialog dialog(store);
    dialog.show();
    dialog.passwordEdit()->setText(QString::fromUtf8(c.typed));
    QTest::mouseClick(dialog.enterButton(), Qt::LeftButton);

    EXPECT_EQ(store.level(), c.level);
    EXPECT_EQ(dialog.isVisible(), c.level == ModeNone);
    if (c.level != ModeNone) {
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_EQ(dir.messages.texts, c.said ? QStringList{QString::fromUtf8(c.said)} : QStringList());
        EXPECT_TRUE(store.Active());
    } else {
        EXPECT_EQ(dir.messages.texts, QStringList{"密码输入不正确，请重新输入。"});
        EXPECT_EQ(dir.messages.kinds, QList<MessageSink::Kind>{MessageSink::Kind::Information});
        EXPECT_TRUE(dialog.passwordEdit()->text().isEmpty());
        EXPECT_EQ(dialog.focusWidget(), dialog.passwordEdit());
    }
}

INSTANTIATE_TEST_SUITE_P(Table, LogInLevel, ::testing::ValuesIn(LevelCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LogIn, AbandonedAfterAnyNumberOfTriesLeavesNobodyLoggedInAndWritesNothing)
{
    StoreDir dir;
    dir.create("su", "adm", "op");
    const QByteArray before = ReadBytes(dir.file());
    setCurrentLanguage(1);
    const std::function<void(LoginDialog&)> ways[] = {
        [](LoginDialog& d) { QTest::mouseClick(d.cancelButton(), Qt::LeftButton); },
        [](LoginDialog& d) { QTest::keyClick(d.passwordEdit(), Qt::Key_Escape); },
        [](LoginDialog& d) { d.close(); },
    };
    for (const auto& abandon : ways) {
        TPasswordStore store(dir.path());
        LoginDialog dialog(store);
        dialog.show();
        EXPECT_EQ(QStringList({dialog.promptLabel()->text(), dialog.enterButton()->text(), dialog.cancelButton()->text()}),
                  QStringList({"Password: ", "Enter", "Cancel"}));
        for (const char* wrong : {"a", "b", "c"}) {
            dialog.passwordEdit()->setText(QString::fromLatin1(wrong));
            QTest::keyClick(dialog.passwordEdit(), Qt::Key_Return);
        }
        EXPECT_TRUE(dialog.isVisible());
        dialog.passwordEdit()->setText(QStringLiteral("adm"));  // typed, never entered
        abandon(dialog);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
        EXPECT_EQ(store.level(), ModeNone);
        EXPECT_FALSE(store.Active());
    }
    EXPECT_EQ(ReadBytes(dir.file()), before);
    EXPECT_EQ(dir.messages.texts, QStringList(9, "The password is WRONG, please input the correct password."));
}

namespace {

void Fill(TFirstPasswordRow& row, const char* password, const char* repeat)
{
    row.passwordEdit->setText(QString::fromUtf8(password));
    row.repeatEdit->setText(QString::fromUtf8(repeat));
}

}  // namespace

TEST(FirstStart, AdvancedEditionSetsAllThreePasswordsThenLogsIn)
{
    StoreDir dir;
    TPasswordStore store(dir.path());
    store.setEdition(EditionAdvanced);
    ModalScript script;
    script
        .then<FirstStartDialog>([](FirstStartDialog* d) {
            Fill(d->operatorRow(), "op", "op");
            Fill(d->administratorRow(), "adm", "amd");
            Fill(d->superUserRow(), "", "");
            QTest::mouseClick(d->createButton(), Qt::LeftButton);
        })
        .then<FirstStartDialog>([](FirstStartDialog* d) {
            EXPECT_TRUE(d->administratorRow().passwordEdit->text().isEmpty());
            EXPECT_EQ(d->focusWidget(), d->administratorRow().passwordEdit);
            Fill(d->administratorRow(), "adm", "adm");
            QTest::mouseClick(d->createButton(), Qt::LeftButton);
        })
        .then<FirstStartDialog>([](FirstStartDialog* d) {
            Fill(d->superUserRow(), "su", "su");
            QTest::mouseClick(d->createButton(), Qt::LeftButton);
        })
        .then<LoginDialog>([](LoginDialog* d) {
            d->passwordEdit()->setText(QStringLiteral("su"));
            QTest::mouseClick(d->enterButton(), Qt::LeftButton);
        });
    EXPECT_EQ(LogInAtStart(store, nullptr), StartLogIn::LoggedIn);
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(store.level(), ModeSuperUser);
    EXPECT_EQ(dir.messages.texts, QStringList({"两次输入的管理员密码不同，请重新输入。", "请输入超级用户密码。"}));
    EXPECT_EQ(FileMode(dir.file()), 0600u);
    EXPECT_TRUE(store.Matches(OperatorRecord, QStringLiteral("op")));
    EXPECT_TRUE(store.Matches(AdministratorRecord, QStringLiteral("adm")));
}

// The customer edition asks for no super-user password, and then no text, the empty one
// included, makes anybody a super-user through the administrator password either.
TEST(FirstStart, CustomerEditionLeavesTheSuperUserLocked)
{
    StoreDir dir;
    setCurrentLanguage(1);
    TPasswordStore store(dir.path());
    ModalScript script;
    script
        .then<FirstStartDialog>([](FirstStartDialog* d) {
            EXPECT_FALSE(d->superUserRow().passwordEdit->isVisible());
            QTest::mouseClick(d->createButton(), Qt::LeftButton);
        })
        .then<FirstStartDialog>([](FirstStartDialog* d) {
            Fill(d->operatorRow(), "op", "op");
            Fill(d->administratorRow(), "adm", "adm");
            QTest::mouseClick(d->createButton(), Qt::LeftButton);
        })
        .then<LoginDialog>([](LoginDialog* d) {
            d->passwordEdit()->setText(QStringLiteral("op"));
            QTest::mouseClick(d->enterButton(), Qt::LeftButton);
        });
    ASSERT_EQ(LogInAtStart(store, nullptr), StartLogIn::LoggedIn);
    EXPECT_EQ(dir.messages.texts, QStringList{"Please type a password for the operator."});
    EXPECT_EQ(store.level(), ModeOperator);

    AdminPasswordDialog administrator(store);
    administrator.showAdmPSW();
    // U+F8F5 is what a GBK converter turns into the byte 0xFF.
    for (const QString& typed : {QString(), QStringLiteral("op"), QStringLiteral("?"), QString(8, QChar(0xF8F5))}) {
        administrator.passwordEdit()->setText(typed);
        QTest::mouseClick(administrator.enterButton(), Qt::LeftButton);
        EXPECT_EQ(store.level(), ModeOperator) << typed.toStdString();
    }
    administrator.passwordEdit()->setText(QStringLiteral("adm"));
    QTest::mouseClick(administrator.enterButton(), Qt::LeftButton);
    EXPECT_EQ(store.level(), ModeAdministrator);
}

TEST(FirstStart, CancelEndsTheStartWithoutAStore)
{
    StoreDir dir;
    TPasswordStore store(dir.path());
    ModalScript script;
    script.then<FirstStartDialog>([](FirstStartDialog* d) {
        Fill(d->operatorRow(), "op", "op");
        Fill(d->administratorRow(), "adm", "adm");
        QTest::mouseClick(d->cancelButton(), Qt::LeftButton);
    });
    EXPECT_EQ(LogInAtStart(store, nullptr), StartLogIn::Abandoned);
    EXPECT_TRUE(script.finished());
    EXPECT_EQ(store.level(), ModeNone);
    EXPECT_FALSE(QFile::exists(dir.file()));
}

// Two levels never share a password (a log-in with it would always reach the higher one); only the
// first 8 bytes of a password count. The higher level's row is asked again.
TEST(FirstStart, RefusesAPasswordTwoLevelsWouldShare)
{
    const std::tuple<int32_t, const char*, const char*, const char*, const char*> cases[] = {
        {EditionCustomer, "密码一二三", "密码一二四", "",
         "操作员和管理员的密码不能相同（否则用这个密码登录的都会成为管理员），请为管理员另设一个密码。"},
        {EditionAdvanced, "op", "same", "same",
         "管理员和超级用户的密码不能相同（否则用这个密码登录的都会成为超级用户），请为超级用户另设一个密码。"},
    };
    for (const auto& [edition, operatorPassword, administrator, superUser, said] : cases) {
        SCOPED_TRACE(said);
        StoreDir dir;
        TPasswordStore store(dir.path());
        store.setEdition(edition);
        FirstStartDialog dialog(store);
        dialog.show();
        Fill(dialog.operatorRow(), operatorPassword, operatorPassword);
        Fill(dialog.administratorRow(), administrator, administrator);
        Fill(dialog.superUserRow(), superUser, superUser);
        QTest::mouseClick(dialog.createButton(), Qt::LeftButton);
        EXPECT_EQ(dir.messages.texts, QStringList{QString::fromUtf8(said)});
        EXPECT_FALSE(QFile::exists(dir.file()));
        TFirstPasswordRow& asked = *superUser ? dialog.superUserRow() : dialog.administratorRow();
        EXPECT_EQ(dialog.focusWidget(), asked.passwordEdit);
    }
}

#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>

#include "access/adminpassworddialog.h"
#include "access/firststartdialog.h"
#include "access/passwordchangedialog.h"
#include "support.h"
#include "ui/language.h"

namespace {

struct RaiseCase {
    const char* name;
    int32_t edition;
    const char* typed;
    int32_t level;  // ModeOperator: refused
};

void PrintTo(const RaiseCase& c, std::ostream* os) { *os << c.name; }

const RaiseCase RaiseCases[] = {
    {"administrator", EditionCustomer, "adm", ModeAdministrator},
    {"super_user_customer", EditionCustomer, "su", ModeSuperUser},
    {"super_user_advanced", EditionAdvanced, "su", ModeSuperUser},
    {"operator_password_refused", EditionCustomer, "op", ModeOperator},
    {"empty_refused", EditionCustomer, "", ModeOperator},
};

class AdministratorPassword : public ::testing::TestWithParam<RaiseCase> {};

}  // namespace

TEST_P(AdministratorPassword, RaisesAnOperator)
{
    const RaiseCase& c = GetParam();
    StoreDir dir;
    dir.create("su", "adm", "op");
    TPasswordStore store(dir.path());
    store.Open();
    store.setEdition(c.edition);
    store.setLevel(ModeOperator);
    AdminPasswordDialog dialog(store);
    QSignalSpy raised(&dialog, &AdminPasswordDialog::levelRaised);
    dialog.showAdmPSW();
    dialog.passwordEdit()->setText(QString::fromUtf8(c.typed));
    QTest::mouseClick(dialog.enterButton(), Qt::LeftButton);

    EXPECT_EQ(store.level(), c.level);
    const bool refused = c.level == ModeOperator;
    EXPECT_EQ(raised.count(), refused ? 0 : 1);
    EXPECT_EQ(dialog.isVisible(), refused);
    EXPECT_EQ(dir.messages.texts, refused ? QStringList{"密码输入不正确，请重新输入。"} : QStringList());
    if (refused) {
        EXPECT_TRUE(dialog.passwordEdit()->text().isEmpty());
        EXPECT_EQ(dialog.focusWidget(), dialog.passwordEdit());
    }
}

INSTANTIATE_TEST_SUITE_P(Table, AdministratorPassword, ::testing::ValuesIn(RaiseCases),
                         [](const auto& info) { return std::string(info.param.name); });

// What was typed and then cancelled is not there for the next person to enter.
TEST(AdministratorPasswordDialog, CancelForgetsTheTypedText)
{
    StoreDir dir;
    dir.create("su", "adm", "op");
    TPasswordStore store(dir.path());
    store.Open();
    store.setLevel(ModeOperator);
    setCurrentLanguage(1);
    AdminPasswordDialog dialog(store);
    dialog.showAdmPSW();
    EXPECT_EQ(dialog.promptLabel()->text(), QStringLiteral("Administrator's Password: "));
    dialog.passwordEdit()->setText(QStringLiteral("adm"));
    QTest::mouseClick(dialog.cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());

    dialog.showAdmPSW();
    QTest::mouseClick(dialog.enterButton(), Qt::LeftButton);
    EXPECT_EQ(store.level(), ModeOperator);
    EXPECT_EQ(dir.messages.texts, QStringList{"The password is WRONG, please input the correct password."});
}

// Every open window follows a switch of the language, both ways: one without an owner, and two
// owned by a window that stands in for the main window and passes the change on.
TEST(LanguageSwitch, EveryOpenWindowFollowsBothWays)
{
    StoreDir dir;
    TPasswordStore store(dir.path());
    store.setLevel(ModeOperator);
    QWidget owner;
    FirstStartDialog firstStart(store);
    AdminPasswordDialog administrator(store, &owner);
    PasswordChangeDialog change(store, &owner);
    firstStart.show();
    administrator.showAdmPSW();
    change.showModPSW();

    struct Shown {
        const char* window;
        std::function<QString()> text;
        const char* zh;
        const char* en;
    };
    const Shown rows[] = {
        {"first start", [&] { return firstStart.operatorRow().levelLabel->text(); }, "操作员：", "Operator:"},
        {"administrator", [&] { return administrator.promptLabel()->text(); }, "请输入管理员密码：",
         "Administrator's Password: "},
        {"password change", [&] { return change.tabWidget()->tabText(0); }, "操作员", "Operator"},
    };
    for (const int16_t language : {1, 0}) {
        switchLanguage(language);
        for (const Shown& row : rows)
            EXPECT_EQ(row.text(), QString::fromUtf8(language == 1 ? row.en : row.zh))
                << row.window << " after the switch to " << language;
    }
}

#include <gtest/gtest.h>

#include <ostream>

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>

#include <memory>

#include "access/passwordchangedialog.h"
#include "support.h"

namespace {

const QString SuccessZh = QStringLiteral("新密码修改成功。");
const QString DifferZh = QStringLiteral("两次输入的新密码不同，请重新输入。");
const QString WrongZh = QStringLiteral("密码输入不正确，请重新输入。");
const char* const EmptyQuestionZh = "新密码为空：任何人不输入密码即可以这一级别登录。\n仍要使用空密码吗？";
const char* const SharedZh =
    "这个密码已是另一级用户的密码。各级用户的密码不能相同（否则登录时只会进入较高的级别），请另选一个新密码。";

// A store of su / adm / op, open as it is from the log-in on, and the dialog on it.
struct ModifyFixture : StoreDir {
    std::unique_ptr<TPasswordStore> store;
    std::unique_ptr<PasswordChangeDialog> dialog;

    ModifyFixture()
    {
        create("su", "adm", "op");
        store = std::make_unique<TPasswordStore>(path());
        store->Open();
        dialog = std::make_unique<PasswordChangeDialog>(*store);
    }
    void show(int32_t level)
    {
        store->setLevel(level);
        dialog->showModPSW();
    }
    TPasswordTab& tab(int index)
    {
        return index == 0 ? dialog->operatorTab() : index == 1 ? dialog->administratorTab() : dialog->superUserTab();
    }
    static void type(TPasswordTab& tab, const char* old, const char* fresh, const char* repeat)
    {
        tab.oldPasswordEdit->setText(QString::fromUtf8(old));
        tab.newPasswordEdit->setText(QString::fromUtf8(fresh));
        tab.repeatEdit->setText(QString::fromUtf8(repeat));
    }
    static bool empty(const TPasswordTab& tab)
    {
        return tab.oldPasswordEdit->text().isEmpty() && tab.newPasswordEdit->text().isEmpty()
               && tab.repeatEdit->text().isEmpty();
    }
    static void click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
};

struct ModifyTest : ::testing::Test, ModifyFixture {};

struct ChangeCase {
    const char* name;
    int32_t level;
    int tab;  // 0 operator, 1 administrator, 2 super-user
    const char* old;
    const char* fresh;
    const char* repeat;
    const char* message;  // nullptr: none after the question
    const char* asked = nullptr;  // the question before it
    bool goOn = true;             // its answer
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.name; }

const ChangeCase ChangeCases[] = {
    {"own_password", ModeOperator, 0, "op", "new", "new", "新密码修改成功。"},
    {"lower_level_needs_its_old_password", ModeAdministrator, 0, "op", "new", "new", "新密码修改成功。"},
    {"own_password_is_not_the_lower_ones", ModeAdministrator, 0, "adm", "new", "new", "密码输入不正确，请重新输入。"},
    {"super_user_changes_administrator", ModeSuperUser, 1, "adm", "新密码", "新密码", "新密码修改成功。"},
    {"super_user_own", ModeSuperUser, 2, "su", "new", "new", "新密码修改成功。"},
    {"new_passwords_differ", ModeAdministrator, 1, "adm", "new", "neW", "两次输入的新密码不同，请重新输入。"},
    {"empty_new_password", ModeOperator, 0, "op", "", "", "新密码修改成功。", EmptyQuestionZh},
    {"empty_new_password_not_wanted", ModeAdministrator, 1, "adm", "", "", nullptr, EmptyQuestionZh, false},
    // Two levels never share a password: the higher one's would win every log-in with it.
    {"administrator_takes_the_operators", ModeAdministrator, 1, "adm", "op", "op", SharedZh},
    {"operator_takes_the_administrators", ModeOperator, 0, "op", "adm", "adm", SharedZh},
    {"super_user_takes_the_administrators", ModeSuperUser, 2, "su", "adm", "adm", SharedZh},
};

class ChangeTable : public ::testing::TestWithParam<ChangeCase>, public ModifyFixture {};

}  // namespace

TEST_F(ModifyTest, TabsFollowTheLevel)
{
    const std::pair<int32_t, std::vector<bool>> levels[] = {{ModeSuperUser, {true, true, true}},
                                                            {ModeAdministrator, {true, true, false}},
                                                            {ModeOperator, {true, false, false}}};
    for (const auto& [level, visible] : levels) {
        show(level);
        QTabWidget* tabs = dialog->tabWidget();
        EXPECT_EQ((std::vector<bool>{tabs->isTabVisible(0), tabs->isTabVisible(1), tabs->isTabVisible(2)}), visible);
        EXPECT_EQ(tabs->currentWidget(), dialog->operatorTab().page);
        dialog->close();
    }
}

TEST_P(ChangeTable, ApplyStoresOnlyAGoodChange)
{
    const ChangeCase& c = GetParam();
    const bool stored = c.message && QString::fromUtf8(c.message) == SuccessZh;
    QSignalSpy changed(dialog.get(), &PasswordChangeDialog::passwordChanged);
    messages.answer = c.goOn;
    show(c.level);
    dialog->tabWidget()->setCurrentIndex(c.tab);
    const QByteArray before = ReadBytes(file());
    type(tab(c.tab), c.old, c.fresh, c.repeat);
    click(dialog->applyButton());

    QStringList said;
    if (c.asked)
        said << QString::fromUtf8(c.asked);
    if (c.message)
        said << QString::fromUtf8(c.message);
    EXPECT_EQ(messages.texts, said);
    if (c.asked) {
        EXPECT_EQ(messages.kinds.value(0), MessageSink::Kind::Confirmation);
    }
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->changed(), stored);
    EXPECT_EQ(changed.count(), stored ? 1 : 0);
    const char* olds[] = {"op", "adm", "su"};
    const int records[] = {OperatorRecord, AdministratorRecord, SuperUserRecord};
    TPasswordStore reread(path());
    reread.Open();
    for (int other = 0; other < 3; ++other)
        EXPECT_EQ(reread.Matches(records[other], QString::fromLatin1(olds[other])), !stored || other != c.tab);
    if (stored) {
        EXPECT_TRUE(reread.Matches(records[c.tab], QString::fromUtf8(c.fresh)));
        EXPECT_TRUE(empty(tab(c.tab)));
        EXPECT_EQ(dialog->focusWidget(), tab(c.tab).oldPasswordEdit);
    } else {
        EXPECT_EQ(ReadBytes(file()), before);
    }
    if (!c.message || QString::fromUtf8(c.message) == DifferZh || QString::fromUtf8(c.message) == SharedZh) {
        EXPECT_EQ(dialog->focusWidget(), tab(c.tab).newPasswordEdit);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ChangeTable, ::testing::ValuesIn(ChangeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// OK closes at once without an old password, stays after a refused change (Cancel then writes
// nothing) and closes after a stored one.
TEST_F(ModifyTest, OkClosesOnlyWithoutAnOldPasswordOrAfterAStoredChange)
{
    const QByteArray before = ReadBytes(file());
    show(ModeAdministrator);
    type(dialog->operatorTab(), "", "new", "new");
    click(dialog->okButton());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(messages.texts.isEmpty());

    show(ModeAdministrator);
    type(dialog->operatorTab(), "wrong", "new", "new");
    click(dialog->okButton());
    EXPECT_TRUE(dialog->isVisible());
    click(dialog->cancelButton());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(ReadBytes(file()), before);

    show(ModeAdministrator);
    EXPECT_TRUE(empty(dialog->operatorTab()));
    type(dialog->operatorTab(), "op", "new", "new");
    QTest::keyClick(dialog->operatorTab().repeatEdit, Qt::Key_Return);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(messages.texts, QStringList({WrongZh, SuccessZh}));
    EXPECT_TRUE(store->Matches(OperatorRecord, QStringLiteral("new")));
}

TEST_F(ModifyTest, SwitchingTabsEmptiesWhatWasTyped)
{
    show(ModeSuperUser);
    type(dialog->operatorTab(), "op", "a", "a");
    type(dialog->superUserTab(), "su", "b", "b");
    dialog->tabWidget()->setCurrentIndex(1);
    EXPECT_TRUE(empty(tab(0)) && empty(tab(1)) && empty(tab(2)));
    EXPECT_EQ(dialog->focusWidget(), dialog->administratorTab().oldPasswordEdit);
}

TEST_F(ModifyTest, EnglishTexts)
{
    setCurrentLanguage(1);
    show(ModeSuperUser);
    QTabWidget* tabs = dialog->tabWidget();
    TPasswordTab& admin = dialog->administratorTab();
    EXPECT_EQ(QStringList({tabs->tabText(0), tabs->tabText(1), tabs->tabText(2), dialog->okButton()->text(),
                           dialog->applyButton()->text(), dialog->cancelButton()->text(), admin.oldPasswordLabel->text(),
                           admin.newPasswordLabel->text(), admin.repeatLabel->text()}),
              QStringList({"Operator", "Administrator", "Super User", "&OK", "&Apply", "&Cancel", "Old password: ",
                           "New password: ", "Repeat New: "}));
    tabs->setCurrentIndex(1);
    type(admin, "adm", "x", "y");
    click(dialog->applyButton());
    type(admin, "adm", "x", "x");
    click(dialog->applyButton());
    EXPECT_EQ(messages.texts, QStringList({"It NOT same between the two new passwords, please input again.",
                                           "The new password is modified successfully."}));
}

// A change that cannot be written is reported by name and never announced as done.
TEST_F(ModifyTest, AChangeThatCannotBeWrittenIsNotReportedAsDone)
{
    show(ModeOperator);
    QSignalSpy changed(dialog.get(), &PasswordChangeDialog::passwordChanged);
    ASSERT_TRUE(QDir(path()).removeRecursively());  // no place for the write's journal
    type(dialog->operatorTab(), "op", "new", "new");
    click(dialog->okButton());
    ASSERT_EQ(messages.texts.size(), 1);
    EXPECT_EQ(messages.kinds.front(), MessageSink::Kind::Error);
    EXPECT_TRUE(messages.texts.front().contains(file()));
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->changed());
    EXPECT_EQ(changed.count(), 0);
}

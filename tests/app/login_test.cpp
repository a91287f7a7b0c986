// The log-in at start and the buttons whose windows depend on the access level.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include "access/adminpassworddialog.h"
#include "access/passwordchangedialog.h"
#include "access/logindialog.h"
#include "app/mainwindow.h"
#include "testsupport.h"

namespace {

struct LogInTest : ::testing::Test {
    DataDir dir;
    RecordingMessages messages;
    void SetUp() override
    {
        setCurrentLanguage(1);
        dir.writeIni("[LANGUAGE]\nLanguage=English\n");
        TPasswordStore store(dir.path());
        ASSERT_TRUE(store.Create("admin", "oper", std::nullopt));
    }
    void TearDown() override
    {
        setCurrentLanguage(0);
    }
    // Answers the modal log-in dialog as soon as it is up.
    void typeAtLogIn(const QString& password, bool cancel = false)
    {
        QTimer::singleShot(0, [password, cancel] {
            auto* dialog = qobject_cast<LoginDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            if (cancel) {
                dialog->cancelButton()->click();
                return;
            }
            dialog->passwordEdit()->setText(password);
            dialog->enterButton()->click();
        });
    }
};

} // namespace

TEST_F(LogInTest, TheLevelOfTheTypedPasswordDecidesWhatTheWindowShows)
{
    struct Case {
        const char* password;
        int32_t mode;
        const char* panel;
    };
    const Case cases[] = {{"oper", ModeOperator, "Operator Mode"}, {"admin", ModeAdministrator, "Administrator Mode"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.password);
        MainWindow f(dir.path(), nullptr, NowherePort);
        typeAtLogIn(c.password);
        ASSERT_TRUE(f.startUp());
        EXPECT_EQ(f.passwordStore().level(), c.mode);
        EXPECT_TRUE(f.isVisible());
        EXPECT_EQ(f.controls().statusBar->panelText(ModePanel), QString(c.panel));
        EXPECT_FALSE(f.controls().selfCheckButton->isVisible());
    }
}

TEST_F(LogInTest, CancellingEndsWithTablesAndPortClosedAndNothingWritten)
{
    const QByteArray store = [&] {
        QFile f(dir.path() + "/SysSet.DB");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    MainWindow f(dir.path(), nullptr, NowherePort);
    typeAtLogIn(QString(), true);
    EXPECT_FALSE(f.startUp());
    EXPECT_EQ(f.passwordStore().level(), ModeNone);
    EXPECT_FALSE(f.isVisible());
    EXPECT_FALSE(f.session().port().isOpen());
    EXPECT_FALSE(f.session().deviceRegister().Member_Table.Active());
    EXPECT_FALSE(f.passwordStore().Active());
    EXPECT_FALSE(QFile::exists(dir.path() + "/Member1.DB")); // the register was never touched
    QFile after(dir.path() + "/SysSet.DB");
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), store);
}

TEST_F(LogInTest, TheGroupsAndPasswordButtonsOpenWhatTheLevelAllows)
{
    struct Case {
        int32_t mode;
        bool administratorDialog;
        bool selfCheck;
    };
    const Case cases[] = {{ModeOperator, true, false}, {ModeAdministrator, false, false}, {ModeSuperUser, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        MainWindow f(dir.path(), nullptr, NowherePort);
        f.passwordStore().Open();
        LogInAs(f, c.mode);
        ASSERT_TRUE(f.startUp());
        EXPECT_EQ(f.controls().selfCheckButton->isVisible(), c.selfCheck);
        f.controls().groupsButton->click();
        EXPECT_EQ(f.administratorDialog()->isVisible(), c.administratorDialog);
        f.controls().passwordButton->click();
        EXPECT_TRUE(f.passwordDialog()->isVisible());
        EXPECT_EQ(f.passwordDialog()->tabWidget()->isTabVisible(2),
                  c.mode == ModeSuperUser);
    }
}

TEST_F(LogInTest, TheAdministratorPasswordRaisesAnOperatorAndTheWindowFollows)
{
    MainWindow f(dir.path(), nullptr, NowherePort);
    typeAtLogIn("oper");
    ASSERT_TRUE(f.startUp());
    f.controls().groupsButton->click();
    ASSERT_TRUE(f.administratorDialog()->isVisible());
    f.administratorDialog()->passwordEdit()->setText("admin");
    f.administratorDialog()->enterButton()->click();
    EXPECT_FALSE(f.administratorDialog()->isVisible());
    EXPECT_EQ(f.passwordStore().level(), ModeAdministrator);
    EXPECT_EQ(f.controls().statusBar->panelText(ModePanel), QString("Administrator Mode"));
}

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QAccessible>
#include <QTest>
#include <QToolButton>

#include "app/about.h"
#include "app/mainwindow.h"
#include "editor/editorwidgets.h"
#include "editor/groupeditor.h"
#include "register/register.h"
#include "ui/language.h"
#include "common/inifile.h"
#include "common/state.h"
#include "testsupport.h"

namespace {

// Every test starts from a data directory of its own; its ports lead nowhere, so no real port is touched.
struct MainFormTest : ::testing::Test {
    DataDir dir;
    RecordingMessages messages;
    void SetUp() override { setCurrentLanguage(0); }
    void writeIni(const QByteArray& extra)
    {
        dir.writeIni(extra);
    }
    std::unique_ptr<MainWindow> create()
    {
        auto form = std::make_unique<MainWindow>(dir.path(), nullptr, NowherePort);
        return form;
    }
};

QStringList toolTexts(const MainWindow& f)
{
    return {f.controls().refreshButton->text(), f.controls().groupsButton->text(), f.controls().passwordButton->text(), f.controls().aboutButton->text(),
            f.controls().exitButton->text(), f.controls().searchButton->text(), f.controls().selfCheckButton->text(), f.controls().clearButton->text(),
            f.controls().portFrame->title(), f.controls().periodLabel->text(), f.controls().deviceList->headerText(2)};
}

} // namespace

// Without DB.ini the desktop's locale decides the language; nothing is written until the settings
// are first saved, and the language goes along then. A language in DB.ini wins over the locale.
TEST_F(MainFormTest, FirstStartWithoutSettingsFollowsTheDesktopLocaleOnCom1AndWritesNoFile)
{
    const std::tuple<const char*, const char*, int16_t> cases[] = {
        {"zh_CN", nullptr, 0}, {"zh_TW", nullptr, 0}, {"en_US", nullptr, 1}, {"C", nullptr, 1},
        {"en_US", "[LANGUAGE]\nLanguage=简体中文\n", 0}, {"zh_CN", "[LANGUAGE]\nLanguage=English\n", 1}};
    const QLocale desktop;
    for (const auto& [locale, ini, language] : cases) {
        SCOPED_TRACE(std::string(locale) + (ini ? " with DB.ini" : ""));
        QFile::remove(dir.ini());
        if (ini) writeIni(ini);
        QLocale::setDefault(QLocale(QString::fromLatin1(locale)));
        auto f = create();
        EXPECT_EQ(currentLanguage(), language);
        EXPECT_EQ(f->controls().groupsButton->text(), language ? "Groups" : "编组设置");
        EXPECT_EQ(f->controls().languageSelector->currentIndex(), language);
        EXPECT_EQ(f->controls().portSelector->currentText(), QString("COM1"));
        EXPECT_EQ(QFile::exists(dir.ini()), ini != nullptr);
        ASSERT_TRUE(f->SettingsFile().WriteString("BUS", "Fast", "0"));
        EXPECT_EQ(TIniFile(dir.ini()).ReadString("LANGUAGE", "Language", QString()), language ? "English" : "简体中文");
    }
    QLocale::setDefault(desktop);
}

TEST_F(MainFormTest, LanguageFromTheSettingsFile)
{
    writeIni("[LANGUAGE]\nLanguage=English\n");
    auto f = create();
    EXPECT_EQ(currentLanguage(), 1);
    EXPECT_EQ(f->windowTitle(), QString("Tarvello V2.0 (Customer)"));
    EXPECT_EQ(toolTexts(*f), QStringList({"Refresh", "Groups", "Password", "About", "Exit", "Search", "Start",
                                          "Clear", "Serial Port", "SelfCheck", "Name"}));
    EXPECT_EQ(f->controls().upButton->toolTip(), QString("Up"));
    // The tilt buttons say that they tilt, not that they travel sideways.
    EXPECT_EQ(f->controls().forwardButton->toolTip(), QString("Tilt forward"));
    EXPECT_EQ(f->controls().backwardButton->accessibleName(), QString("Tilt backward"));
    f.reset();

    writeIni("[LANGUAGE]\nLanguage=Deutsch\n");
    f = create();
    EXPECT_EQ(currentLanguage(), 0);
    EXPECT_EQ(f->controls().groupsButton->text(), QString("编组设置"));
}

TEST_F(MainFormTest, UnknownPortNameSelectsTheFirstEntry)
{
    writeIni("[COM]\nnum=COM12\n");
    auto f = create();
    EXPECT_EQ(f->controls().portSelector->currentIndex(), 0);
    writeIni("[COM]\nnum=COM7\n");
    f = create();
    EXPECT_EQ(f->controls().portSelector->currentText(), QString("COM7"));
}

TEST_F(MainFormTest, SceneOutsideOneToTwelveIsRepairedInTheFile)
{
    for (const char* bad : {"0", "13", "-4"}) {
        writeIni(QByteArray("[SCENE]\nCurrent=") + bad + "\n");
        auto f = create();
        f->openScene();
        TIniFile ini(dir.ini());
        EXPECT_EQ(ini.ReadInteger("SCENE", "Current", -1), 1) << bad;
        EXPECT_EQ(f->scene(), 1);
    }
    writeIni("[SCENE]\nCurrent=12\n");
    auto f = create();
    f->openScene();
    EXPECT_EQ(f->scene(), 12);
    EXPECT_EQ(TIniFile(dir.ini()).ReadInteger("SCENE", "Current", -1), 12);
}

TEST_F(MainFormTest, LanguageSwitchRenamesTextsFixedEntriesAndModePanelAndIsStored)
{
    auto f = create();
    f->controls().groupList->addEntry("   所有装置");
    f->controls().groupList->addEntry("   未编组");
    f->controls().groupList->addEntry("  1-Hall");
    f->showAccessLevel();
    EXPECT_EQ(f->controls().statusBar->panelText(ModePanel), QString("非法模式"));

    f->controls().languageSelector->setCurrentIndex(1);
    f->languageSelected(1);
    EXPECT_EQ(currentLanguage(), 1);
    EXPECT_EQ(f->controls().exitButton->text(), QString("Exit"));
    EXPECT_EQ(f->controls().groupList->item(0)->text(), QString("   All Units"));
    EXPECT_EQ(f->controls().groupList->item(1)->text(), QString("   Ungrouped"));
    EXPECT_EQ(f->controls().groupList->item(2)->text(), QString("  1-Hall"));
    EXPECT_EQ(f->controls().statusBar->panelText(ModePanel), QString("Illicit Mode"));
    EXPECT_EQ(TIniFile(dir.ini()).ReadString("LANGUAGE", "Language", ""), QString("English"));

    f->controls().languageSelector->setCurrentIndex(0);
    f->languageSelected(0);
    EXPECT_EQ(f->controls().groupList->item(0)->text(), QString("   所有装置"));
    EXPECT_EQ(TIniFile(dir.ini()).ReadString("LANGUAGE", "Language", ""), QString("简体中文"));
}

TEST_F(MainFormTest, ModePanelFollowsTheLevelAndLanguage)
{
    auto f = create();
    struct Case {
        int32_t mode;
        int16_t language;
        const char* text;
    } cases[] = {{ModeOperator, 0, "操作员模式"},       {ModeOperator, 1, "Operator Mode"},
                 {ModeAdministrator, 0, "管理员模式"},  {ModeAdministrator, 1, "Administrator Mode"},
                 {ModeSuperUser, 0, "超级用户模式"},    {ModeSuperUser, 1, "Super-user Mode"},
                 {ModeNone, 1, "Illicit Mode"},         {7, 0, "非法模式"},
                 {ModeOperator, 2, ""}};
    for (const Case& c : cases) {
        f->passwordStore().setLevel(c.mode);
        setCurrentLanguage(c.language);
        f->showAccessLevel();
        EXPECT_EQ(f->controls().statusBar->panelText(ModePanel), QString(c.text)) << c.mode << " " << c.language;
    }
    setCurrentLanguage(0);
}

TEST_F(MainFormTest, LanguageIndexOtherThanZeroOrOneSetsNothing)
{
    auto f = create();
    const QStringList before = toolTexts(*f);
    const QString title = f->windowTitle();
    for (int16_t language : { 2, -1 }) {
        switchLanguage(language);
        EXPECT_EQ(toolTexts(*f), before);
        EXPECT_EQ(f->windowTitle(), title);
    }
    setCurrentLanguage(0);
}

TEST_F(MainFormTest, PanelsAndBoxesHoldTheirTextsInBothLanguages)
{
    auto f = create();
    LogInAs(*f, ModeSuperUser);
    f->startUp();
    f->show();
    TStatusBar* bar = f->controls().statusBar;
    ASSERT_EQ(bar->panelCount(), 6);
    const QFontMetrics metrics = bar->fontMetrics();
    // Fixed panels keep their widths; the hints take what the others leave.
    EXPECT_EQ(bar->panelWidth(ProgressPanel), 150);
    EXPECT_EQ(bar->panelWidth(SpacerPanel), 10);
    int sum = 0;
    for (int i = 0; i < bar->panelCount(); ++i) sum += bar->panelWidth(i);
    EXPECT_EQ(sum, bar->width());
    EXPECT_GE(bar->panelWidth(HintPanel), 220);

    struct Case {
        const char* name;
        int panel;
        QString text;
    };
    const Case cases[] = {
        {"administrator, English", ModePanel, "Administrator Mode"},
        {"super-user, Chinese", ModePanel, "超级用户模式"},
        {"a long port path", PortPanel, "/dev/serial/by-id/usb-FTDI-port0，4800，8，N，1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.panel == PortPanel) bar->paintPanelText(PortPanel, c.text, Qt::black);
        EXPECT_GE(bar->panelWidth(c.panel), metrics.horizontalAdvance(c.text) + 10);
    }
    // A hint longer than its panel is said whole in the bar's tool tip.
    const QString longHint = QString("Fast bus ").repeated(40);
    bar->setPanelText(HintPanel, longHint);
    EXPECT_EQ(bar->toolTip(), longHint);
    bar->setPanelText(HintPanel, "Exit the software.");
    EXPECT_TRUE(bar->toolTip().isEmpty());

    // The self-check row holds its texts in either language (the super-user sees it), and the tool
    // bar is whole: the port box is not folded away behind the bar's extension arrow.
    for (int16_t language : {0, 1}) {
        switchLanguage(language);
        QApplication::processEvents();
        EXPECT_TRUE(f->controls().portSelector->isVisible()) << f->width();
        for (QWidget* w : std::initializer_list<QWidget*>{f->controls().periodLabel, f->controls().selfCheckButton}) {
            const QString text = w->property("text").toString();
            EXPECT_GE(w->width(), w->fontMetrics().horizontalAdvance(text)) << text.toStdString();
        }
    }
    setCurrentLanguage(0);
    // The traffic log's panel grows with the window.
    const int narrow = f->controls().controlPanel->width();
    f->resize(f->width() + 400, f->height());
    QApplication::processEvents();
    EXPECT_GT(f->controls().controlPanel->width(), narrow + 50);

    // A box with a short text is still wide enough for its title.
    QApplication::setApplicationName("Tarvello V2.0");
    std::unique_ptr<QMessageBox> box = MakeMessageBox(f.get(), MessageSink::Kind::Information, "OK.");
    box->show();
    EXPECT_GE(box->width(), box->fontMetrics().horizontalAdvance("Tarvello V2.0") + 100);
}

TEST_F(MainFormTest, HintsFollowTheMouseAndTheLanguage)
{
    writeIni("[LANGUAGE]\nLanguage=English\n");
    auto f = create();
    f->show();
    f->session().devices().setDevices(std::vector<DeviceRow>(12));
    QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), QPointF(5, 5), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(f->controls().deviceList->viewport(), &move);
    EXPECT_EQ(f->controls().statusBar->panelText(HintPanel), QString("There're 12 devices in total."));

    QApplication::sendEvent(f->controls().clearButton, &move);
    EXPECT_EQ(f->controls().statusBar->panelText(HintPanel), QString("Clear the memo of Communication codes."));
    QApplication::sendEvent(f->controls().aboutButton, &move);
    EXPECT_EQ(f->controls().statusBar->panelText(HintPanel), QString("Display the information about the product."));

    f->languageSelected(0);
    f->session().devices().clear();
    QApplication::sendEvent(f->controls().trafficLog->viewport(), &move);
    EXPECT_EQ(f->controls().statusBar->panelText(HintPanel), QString("当前共计 0 台设备。"));
    QApplication::sendEvent(f->controls().portFrame, &move);
    EXPECT_EQ(f->controls().statusBar->panelText(HintPanel), QString("选择串口。"));
}

TEST_F(MainFormTest, TrafficLogLinesAndClear)
{
    auto f = create();
    const uint8_t frame[] = {0xFF, 0xAC, 0xE1, 0xE2, 0x00, 0x05, 0x0D, 0x00, 0xF4};
    const uint8_t chunk[] = {0xAA, 0xBB};
    f->logFrame(true, frame, 9);
    f->logFrame(false, chunk, 2);
    EXPECT_EQ(f->controls().trafficLog->toPlainText(), QString("Tx:\nFF AC E1 E2 00 05 0D 00 F4 \nRx:\nAA BB "));
    f->controls().clearButton->click();
    EXPECT_TRUE(f->controls().trafficLog->toPlainText().isEmpty());
}

TEST_F(MainFormTest, WindowSnapsBackToItsDesignSize)
{
    auto f = create();
    f->show();
    for (QSize s : {QSize(800, 500), QSize(600, 700), QSize(300, 200)}) {
        f->resize(s);
        EXPECT_EQ(f->size(), QSize(MainWindow::DesignWidth, MainWindow::DesignHeight)) << s.width() << "x" << s.height();
    }
    f->resize(900, 700);
    EXPECT_EQ(f->size(), QSize(900, 700));
}

TEST_F(MainFormTest, AboutBoxTakesTheLanguageWhenShownAndClosesOnClick)
{
    auto f = create();
    AboutBox* about = f->aboutForm();
    f->controls().aboutButton->click();
    ASSERT_TRUE(about->isVisible());
    EXPECT_EQ(about->size(), QSize(322, 282));
    EXPECT_TRUE(about->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(about->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(about->windowTitle(), QString("关于..."));
    EXPECT_EQ(about->editionLabel->text(), QString("客户版 "));
    EXPECT_EQ(about->versionCaption->text(), QString("版本信息："));
    EXPECT_EQ(about->dataFolderLabel->toolTip(), "数据文件夹：" + QDir::toNativeSeparators(QDir(dir.path()).absolutePath()));
    EXPECT_EQ(about->productLabel->font().pointSize(), 15);

    // An open box follows a switch at once.
    f->languageSelected(1);
    EXPECT_EQ(about->versionCaption->text(), QString("Version: "));

    QTest::mouseClick(about->versionLabel, Qt::LeftButton);
    EXPECT_FALSE(about->isVisible());
    f->controls().aboutButton->click();
    EXPECT_EQ(about->windowTitle(), QString("About Tarvello Tool V2.0"));
    EXPECT_EQ(about->productLabel->text(), QString("Tarvello"));
    EXPECT_EQ(about->editionLabel->text(), QString("Customer "));
    EXPECT_EQ(about->versionCaption->text(), QString("Version: "));
    EXPECT_EQ(about->versionLabel->text(), QString("2.1.01.10"));
    EXPECT_EQ(about->productLabel->font().pointSize(), 10);
    QTest::mouseClick(about, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_FALSE(about->isVisible());
}

TEST_F(MainFormTest, AboutBoxIsWhiteWithAFrameLineAlongItsEdges)
{
    auto f = create();
    for (int16_t language : {0, 1}) {
        setCurrentLanguage(language);
        f->aboutForm()->close();
        f->aboutForm()->showAbout();
        const QImage image = f->aboutForm()->grab().toImage();
        ASSERT_EQ(image.size(), QSize(322, 282));
        EXPECT_EQ(QColor(image.pixel(160, 100)), QColor(Qt::white));
        for (QPoint edge : {QPoint(0, 100), QPoint(321, 100), QPoint(160, 0), QPoint(160, 281)})
            EXPECT_EQ(QColor(image.pixel(edge)), QColor(Qt::black)) << edge.x() << "," << edge.y();
        // The licences line is read whole, inside the frame.
        const QLabel* licences = f->aboutForm()->licencesLabel;
        EXPECT_LE(licences->heightForWidth(licences->width()), licences->height()) << language;
        EXPECT_LT(licences->geometry().bottom(), image.height() - 1) << language;
        if (const QByteArray dir = qgetenv("TARVELLO_SCREENSHOT_DIR"); !dir.isEmpty()) {
            image.save(QString::fromLocal8Bit(dir) + (language ? "/about-en.png" : "/about-zh.png"));
            f->grab().save(QString::fromLocal8Bit(dir) + (language ? "/main-en-empty.png" : "/main-zh-empty.png"));
        }
        f->languageSelected(language == 0 ? 1 : 0);
    }
}

TEST_F(MainFormTest, NumberFieldsTakeDigitsOnlyAndSayWhatTheyExpect)
{
    writeIni("[LANGUAGE]\nLanguage=English\n");
    auto f = create();
    f->show();
    messages.texts.clear();
    messages.kinds.clear();
    struct Case {
        QLineEdit* edit;
        const char* reset;
        const char* message;
    } cases[] = {{f->controls().rangeStartEdit, "1", "Please input numbers between 1～999."},
                 {f->controls().rangeEndEdit, "999", "Please input numbers."},
                 {f->controls().periodEdit, "60", "Please input numbers between 60～360."}};
    for (const Case& c : cases) {
        c.edit->setText("");
        QTest::keyClicks(c.edit, "12");
        EXPECT_EQ(c.edit->text(), QString("12"));
        QTest::keyClick(c.edit, Qt::Key_Backspace);
        EXPECT_EQ(c.edit->text(), QString("1"));
        EXPECT_TRUE(messages.texts.isEmpty());

        QTest::keyClick(c.edit, Qt::Key_A);
        EXPECT_EQ(c.edit->text(), QString(c.reset));
        ASSERT_EQ(messages.texts.size(), 1);
        EXPECT_EQ(messages.texts.at(0), QString(c.message));
        EXPECT_EQ(messages.kinds.at(0), MessageSink::Kind::Information);
        messages.texts.clear();
        messages.kinds.clear();
    }
    EXPECT_EQ(f->controls().rangeStartEdit->maxLength(), 3);
    EXPECT_EQ(f->controls().rangeEndEdit->maxLength(), 3);
    EXPECT_EQ(f->controls().periodEdit->maxLength(), 3);
}

TEST_F(MainFormTest, SelfCheckControlsAreHiddenUntilASuperUserLogsIn)
{
    auto f = create();
    f->show();
    EXPECT_FALSE(f->controls().periodLabel->isVisible());
    EXPECT_FALSE(f->controls().periodEdit->isVisible());
    EXPECT_FALSE(f->controls().selfCheckButton->isVisible());
    EXPECT_TRUE(f->controls().searchButton->isVisible());
}

TEST_F(MainFormTest, SelectorsActOnTheUsersChoiceOnly)
{
    auto f = create();
    f->show();
    f->controls().languageSelector->setCurrentIndex(1); // set by the program: no switch
    EXPECT_EQ(currentLanguage(), 0);
    f->controls().languageSelector->setCurrentIndex(0);
    QTest::keyClick(f->controls().languageSelector, Qt::Key_Down); // picked by the user
    EXPECT_EQ(currentLanguage(), 1);
    EXPECT_EQ(f->controls().exitButton->text(), QString("Exit"));
    EXPECT_EQ(TIniFile(dir.ini()).ReadString("LANGUAGE", "Language", ""), QString("English"));

    messages.texts.clear();
    QTest::keyClick(f->controls().portSelector, Qt::Key_Down); // COM2, which leads nowhere here
    EXPECT_EQ(f->session().port().CommName(), QString("COM2"));
    EXPECT_EQ(messages.texts.size(), 1);
    EXPECT_EQ(f->controls().statusBar->paintedText(), QString("Error opening COM2"));
}

TEST_F(MainFormTest, TabMovesOnFromANumberFieldWithoutComplaint)
{
    auto f = create();
    f->show();
    f->activateWindow();
    f->controls().rangeStartEdit->setFocus();
    f->controls().rangeStartEdit->setText("12");
    messages.texts.clear();
    QTest::keyClick(f->controls().rangeStartEdit, Qt::Key_Tab);
    QTest::keyClick(f->controls().rangeStartEdit, Qt::Key_Delete);
    EXPECT_EQ(f->controls().rangeStartEdit->text(), QString("12"));
    EXPECT_TRUE(messages.texts.isEmpty());
}

TEST_F(MainFormTest, ASettingsFileThatCannotBeSavedIsSaidOnceAndLeftAsItWas)
{
    const QByteArray utf16("\xFF\xFE[\0L\0]\0", 8);
    writeIni(utf16);
    auto f = create();
    messages.texts.clear();
    f->controls().languageSelector->setCurrentIndex(1);
    f->languageSelected(1);
    EXPECT_EQ(f->controls().exitButton->text(), QString("Exit")); // the switch holds for the run
    f->controls().languageSelector->setCurrentIndex(0);
    f->languageSelected(0);
    f->portSelected(0);
    ASSERT_EQ(messages.texts.size(), 2); // the port leads nowhere: its own message
    EXPECT_EQ(messages.kinds.at(0), MessageSink::Kind::Error);
    EXPECT_TRUE(messages.texts.at(0).startsWith("The settings file ")) << messages.texts.at(0).toStdString();
    EXPECT_TRUE(messages.texts.at(0).contains("DB.ini"));
    EXPECT_EQ(dir.readIni(), utf16);
}

TEST_F(MainFormTest, QtsOwnTextsFollowTheLanguage)
{
    auto f = create();
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes"), QString("是(&Y)"));
    f->controls().languageSelector->setCurrentIndex(1);
    f->languageSelected(1);
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes"), QString("&Yes"));
    f->controls().languageSelector->setCurrentIndex(0);
    f->languageSelected(0);
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "OK"), QString("确定"));
}

TEST_F(MainFormTest, ShortcutsInANumberFieldAreNotTypedCharacters)
{
    auto f = create();
    f->show();
    QLineEdit* field = f->controls().rangeStartEdit;
    field->setText("12");
    messages.texts.clear();
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(field->text(), QString("12"));
    field->setText("");
    QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
    EXPECT_TRUE(messages.texts.isEmpty());
    EXPECT_EQ(field->text(), QString("12"));
    // Pasted text that is not a number does not get in either.
    field->setText("");
    field->insert("4x");
    EXPECT_EQ(field->text(), QString());
}

TEST_F(MainFormTest, EscapeClosesTheAboutBox)
{
    auto f = create();
    f->show();
    f->aboutClicked();
    ASSERT_TRUE(f->aboutForm()->isVisible());
    QTest::keyClick(f->aboutForm(), Qt::Key_Escape);
    EXPECT_FALSE(f->aboutForm()->isVisible());
}

TEST_F(MainFormTest, EveryControlHasANameInTheCurrentLanguage)
{
    auto f = create();
    f->show();
    for (int language : {0, 1}) {
        f->controls().languageSelector->setCurrentIndex(language);
        f->languageSelected(language);
        QStringList unnamed;
        for (QWidget* w : f->findChildren<QWidget*>()) {
            const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w)
                                 || qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractItemView*>(w)
                                 || qobject_cast<QPlainTextEdit*>(w) || w == f->controls().statusBar;
            if (!control || !w->isVisibleTo(f.get()) || w->objectName().startsWith("qt_")) continue;
            if (qobject_cast<QLineEdit*>(w) && qobject_cast<QComboBox*>(w->parentWidget())) continue;
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
            if (!a || a->text(QAccessible::Name).trimmed().isEmpty())
                unnamed << QString("%1 (%2)").arg(w->objectName(), w->metaObject()->className());
        }
        EXPECT_TRUE(unnamed.isEmpty()) << "language " << language << ": " << unnamed.join(", ").toStdString();
    }
    EXPECT_EQ(f->controls().upButton->accessibleName(), QString("Up"));
    EXPECT_EQ(f->controls().upButton->accessibleDescription(), QString("Lift up the selected devices."));
}

TEST_F(MainFormTest, TheTrafficLogKeepsTheNewestFiveThousandLines)
{
    auto f = create();
    const uint8_t frame[9] = {0xFF, 0xAC, 0xE1, 0xE1, 0x00, 0x05, 0x0D, 0x00, 0x00};
    for (int i = 0; i < 4000; ++i) f->logFrame(i % 2 == 0, frame, 9); // 8,000 lines offered
    EXPECT_EQ(f->controls().trafficLog->blockCount(), MainWindow::MaxLogLines);
    EXPECT_TRUE(f->controls().trafficLog->toPlainText().endsWith("FF AC E1 E1 00 05 0D 00 00 "));
}

TEST_F(MainFormTest, FramesThroughTheReceiveHandlerStayWithinTheLogAndRecordBounds)
{
    auto f = create();
    const uint8_t reply[9] = {0xFF, 0xAC, 0xE1, 0xE1, 0x00, 0x05, 0xFF, 0x01, 0xE5};
    const int frames = TrafficRecord::Capacity + 10000;
    for (int i = 0; i < frames; ++i) f->session().engine().receive(reply, sizeof reply);
    EXPECT_EQ(f->trafficRecord().size(), TrafficRecord::Capacity);
    EXPECT_EQ(f->controls().trafficLog->blockCount(), MainWindow::MaxLogLines);
    EXPECT_EQ(f->trafficRecord().entry(0).description, QString("reply: group 1 ID 5 on line"));
}

// A device file of random bytes: the opening names it, and so does Groups (the group file is
// sound), in a box over the editor; a restore there mends it.
TEST_F(MainFormTest, ADamagedDeviceFileIsNamedOverTheEditor)
{
    TRegister reg(dir.path());
    reg.Open();
    reg.Member_Table.Append();
    reg.Member_Table.SetFieldByName("ID", 4);
    reg.Member_Table.SetFieldByName("Group_ID", 0);
    reg.Member_Table.Post();
    reg.Backup();
    reg.Close();
    QFile member(reg.MemberFileName());
    ASSERT_TRUE(member.open(QIODevice::WriteOnly | QIODevice::Truncate) && member.write(QByteArray(8192, 'x')) > 0);
    member.close();
    auto f = create();
    LogInAs(*f, ModeAdministrator);
    ASSERT_TRUE(f->startUp());
    f->controls().groupsButton->click();
    EXPECT_EQ(messages.texts.filter("Member1.DB").size(), 2) << messages.texts.join('|').toStdString();
    EXPECT_TRUE(messages.texts.filter("Group1.DB").isEmpty()) << messages.texts.join('|').toStdString();
    EXPECT_EQ(messages.parents.last(), f->groupEditor());
    EXPECT_TRUE(f->groupEditor()->isVisible());

    messages.texts.clear();
    f->groupEditor()->controls().restoreButton->click();
    EXPECT_TRUE(messages.texts.isEmpty()) << messages.texts.join('|').toStdString();
    EXPECT_EQ(f->controls().deviceList->rowCount(), 1);
}

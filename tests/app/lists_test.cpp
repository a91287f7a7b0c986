#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

#include <sqlite3.h>

#include "app/mainwindow.h"
#include "common/state.h"
#include "testsupport.h"

namespace {

// A register written through the table layer, then a main window shown on it.
struct ListTest : ::testing::Test {
    DataDir dir;
    RecordingMessages messages;
    std::unique_ptr<MainWindow> form;

    void SetUp() override
    {
        setCurrentLanguage(0);
        TRegister reg(dir.path());
        reg.Open(); // creates the defaults of a new scene
    }
    void nameGroup(int id, const QString& name)
    {
        TRegister reg(dir.path());
        reg.Open();
        ASSERT_TRUE(reg.Group_Table.Locate("ID", id));
        reg.Group_Table.Edit();
        reg.Group_Table.SetFieldByName("Name", name);
        reg.Group_Table.Post();
    }
    void deleteGroups(std::initializer_list<int> ids)
    {
        TRegister reg(dir.path());
        reg.Open();
        for (int id : ids) {
            ASSERT_TRUE(reg.Group_Table.Locate("ID", id));
            reg.Group_Table.Delete();
        }
    }
    void addDevice(int id, const QString& name, int group)
    {
        TRegister reg(dir.path());
        reg.Open();
        reg.Member_Table.Append();
        reg.Member_Table.SetFieldByName("ID", id);
        reg.Member_Table.SetFieldByName("Name", name);
        reg.Member_Table.SetFieldByName("Group_ID", group);
        reg.Member_Table.Post();
    }
    MainWindow& show()
    {
        form = std::make_unique<MainWindow>(dir.path(), nullptr, NowherePort);
        form->session().engine().Pause = [](int) {};
        LogInAs(*form, ModeOperator);
        form->startUp();
        return *form;
    }
    QStringList column(int col)
    {
        QStringList out;
        for (int r = 0; r < form->controls().deviceList->rowCount(); ++r) {
            out << form->controls().deviceList->cellText(r, col);
        }
        return out;
    }
    QStringList entries()
    {
        QStringList out;
        for (int i = 0; i < form->controls().groupList->count(); ++i) out << form->controls().groupList->item(i)->text();
        return out;
    }
    void clickEntry(int index)
    {
        QListWidget* list = form->controls().groupList;
        const QRect r = list->visualItemRect(list->item(index));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(r.right() - 5, r.center().y()));
    }
};

} // namespace

TEST_F(ListTest, EntriesFollowTheRecordOrderForTwelveNamedGroups)
{
    const QString names = "ABCDEFGHIJKL";
    for (int i = 0; i < 12; ++i) nameGroup(i + 1, names.mid(i, 1));
    show();
    QStringList expected{"   所有装置", "   未编组"};
    for (int i = 0; i < 12; ++i) expected << QString("%1-%2").arg(i + 1, 3).arg(names.at(i));
    expected << " 13-" << " 14-" << " 15-";
    EXPECT_EQ(entries(), expected);
    EXPECT_EQ(form->controls().groupList->currentRow(), 0);
}

TEST_F(ListTest, AllUnitsShowsGroupTextsAndEachGroupItsOwnDevices)
{
    nameGroup(3, "Hall");
    addDevice(7, "Lift seven", 3);
    addDevice(2, "Lift two", 0);
    addDevice(11, QString(), 5); // unnamed group 5
    addDevice(4, "Orphan", 9);   // a group without record in a 16-record table still has one...
    show();
    EXPECT_EQ(column(1), QStringList({"2", "4", "7", "11"}));
    EXPECT_EQ(column(2), QStringList({"Lift two", "Orphan", "Lift seven", ""}));
    EXPECT_EQ(column(3), QStringList({"未编组", "9-", "3-Hall", "5-"}));
    EXPECT_EQ(form->controls().deviceList->headerText(3), QString("         组  名"));

    clickEntry(1); // the ungrouped group
    EXPECT_EQ(form->shownGroupEntry(), 1);
    EXPECT_EQ(column(1), QStringList({"2"}));
    EXPECT_EQ(column(3), QStringList({""}));
    EXPECT_EQ(form->controls().deviceList->headerText(3), QString("         组  名"));

    clickEntry(4); // group 3
    EXPECT_EQ(column(1), QStringList({"7"}));
    EXPECT_EQ(column(2), QStringList({"Lift seven"}));

    // The filter survives a rebuild.
    form->refreshLists();
    EXPECT_EQ(column(1), QStringList({"7"}));
    EXPECT_EQ(form->controls().groupList->currentRow(), 4);
}

TEST_F(ListTest, DeviceOfAGroupWithoutRecordShowsAsUngrouped)
{
    deleteGroups({9});
    addDevice(5, "Lost", 9);
    show();
    EXPECT_EQ(column(3), QStringList({"未编组"}));
    setCurrentLanguage(1);
    form->refreshLists();
    EXPECT_EQ(column(3), QStringList({"Ungrouped"}));
}

// Groups {0, 1, 2, 5}: the fourth group entry is group 5, named and addressed as 5.
TEST_F(ListTest, GroupEntriesAreNumberedAndAddressedByTheirId)
{
    deleteGroups({3, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
    addDevice(7, "five", 5);
    addDevice(8, "three", 3); // a group with no record: shown as ungrouped
    MainWindow& f = show();
    ASSERT_EQ(f.controls().groupList->count(), 5);
    EXPECT_TRUE(f.controls().groupList->item(4)->text().startsWith("  5-"));
    EXPECT_EQ(f.controls().groupList->groupOf(4), 5);
    clickEntry(4);
    EXPECT_EQ(column(1), QStringList({"7"}));
    clickEntry(1);
    EXPECT_TRUE(column(1).isEmpty());
}

TEST_F(ListTest, LanguageSwitchRenamesUngroupedRowsOnlyInTheAllUnitsView)
{
    addDevice(1, "a", 0);
    addDevice(2, "b", 2);
    show();
    form->languageSelected(1);
    EXPECT_EQ(column(3), QStringList({"Ungrouped", "2-"}));
    EXPECT_EQ(form->controls().deviceList->headerText(3), QString("         Group"));
    form->languageSelected(0);
    EXPECT_EQ(column(3), QStringList({"未编组", "2-"}));

    clickEntry(3); // group 2
    form->languageSelected(1);
    EXPECT_EQ(form->controls().deviceList->headerText(3), QString("         Group"));
    EXPECT_EQ(column(1), QStringList({"2"}));
}

TEST_F(ListTest, CheckMarksFollowTheSelectionOfTheRows)
{
    addDevice(1, "a", 1);
    addDevice(2, "b", 1);
    addDevice(3, "c", 2);
    show();
    clickEntry(2); // group 1: two rows
    ASSERT_EQ(form->controls().deviceList->rowCount(), 2);
    form->controls().deviceList->selectAll();
    EXPECT_TRUE(form->controls().groupList->checked(2));

    // Clicking one row leaves a partial selection and clears the mark.
    const QRect r = form->controls().deviceList->visualRect(form->controls().deviceList->model()->index(0, 1));
    QTest::mouseClick(form->controls().deviceList->viewport(), Qt::LeftButton, {}, r.center());
    EXPECT_EQ(static_cast<int>(form->controls().deviceList->selectionModel()->selectedRows().size()), 1);
    EXPECT_FALSE(form->controls().groupList->checked(2));

    // A double-click on the unchecked entry checks it and selects the whole group; again, clears both.
    form->groupDoubleClicked();
    EXPECT_TRUE(form->controls().groupList->checked(2));
    EXPECT_EQ(static_cast<int>(form->controls().deviceList->selectionModel()->selectedRows().size()), 2);
    form->groupDoubleClicked();
    EXPECT_FALSE(form->controls().groupList->checked(2));
    EXPECT_EQ(static_cast<int>(form->controls().deviceList->selectionModel()->selectedRows().size()), 0);
}

TEST_F(ListTest, AllUnitsCheckedKeepsOnlyItselfChecked)
{
    addDevice(1, "a", 1);
    show();
    form->controls().groupList->setCurrentRow(0);
    form->groupDoubleClicked();
    ASSERT_TRUE(form->controls().groupList->checked(0));

    form->controls().groupList->setCurrentRow(3);
    form->groupClicked();
    form->groupDoubleClicked();
    EXPECT_FALSE(form->controls().groupList->checked(3));
    EXPECT_TRUE(form->controls().groupList->checked(0));
    EXPECT_EQ(static_cast<int>(form->controls().deviceList->selectionModel()->selectedRows().size()), 0);

    // Clicking the check box itself toggles the mark after the click handler ran.
    TCheckListBox* list = form->controls().groupList;
    const QRect r = list->visualItemRect(list->item(2));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(r.left() + 8, r.center().y()));
    EXPECT_EQ(list->currentRow(), 2);
    EXPECT_TRUE(list->checked(2));
}

TEST_F(ListTest, ADamagedTableIsReportedByNameAndLeftUntouched)
{
    QFile f(dir.path() + "/Member1.DB");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("this is not a register");
    f.close();
    show();
    ASSERT_FALSE(messages.texts.isEmpty());
    EXPECT_TRUE(messages.texts.last().contains("Member1.DB")) << messages.texts.last().toStdString();
    QFile again(dir.path() + "/Member1.DB");
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    EXPECT_EQ(again.readAll(), QByteArray("this is not a register"));
    EXPECT_EQ(form->controls().deviceList->rowCount(), 0);
}

TEST_F(ListTest, ANewSceneIsCreatedWithItsDefaults)
{
    dir.writeIni("[SCENE]\nCurrent=4\n");
    show();
    EXPECT_TRUE(QFile::exists(dir.path() + "/Member4.DB"));
    EXPECT_TRUE(QFile::exists(dir.path() + "/Group4.DB"));
    EXPECT_EQ(form->controls().groupList->count(), 17); // two fixed entries and 15 groups
    EXPECT_EQ(form->controls().deviceList->rowCount(), 0);
}

TEST_F(ListTest, OnlyALeftClickPicksAGroup)
{
    addDevice(1, "a", 1);
    addDevice(2, "b", 4);
    show();
    clickEntry(2);
    ASSERT_EQ(column(1), QStringList({"1"}));
    TCheckListBox* list = form->controls().groupList;
    const QRect r = list->visualItemRect(list->item(5));
    QTest::mouseClick(list->viewport(), Qt::RightButton, {}, r.center());
    EXPECT_EQ(list->currentRow(), 2);
    // Pressed on one entry, released on another: no click, the shown group stays highlighted.
    QTest::mousePress(list->viewport(), Qt::LeftButton, {}, r.center());
    QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(6)).center());
    EXPECT_EQ(list->currentRow(), 2);
    EXPECT_EQ(column(1), QStringList({"1"}));
}

TEST_F(ListTest, ATableErrorWhileShowingAGroupIsReportedAndTheListStaysUsable)
{
    addDevice(1, "a", 1);
    show();
    ASSERT_EQ(form->controls().deviceList->rowCount(), 1);
    // Another program holds the device table locked while the operator picks a group.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir.path() + "/Member1.DB").toUtf8().constData(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE; DELETE FROM Member;", nullptr, nullptr, nullptr), SQLITE_OK);
    messages.texts.clear();
    form->controls().groupList->setCurrentRow(2);
    form->groupClicked();
    EXPECT_EQ(messages.texts.size(), 1);
    EXPECT_EQ(messages.kinds.value(0), MessageSink::Kind::Error);
    EXPECT_TRUE(form->controls().deviceList->updatesEnabled());
    sqlite3_exec(other, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    form->groupClicked();
    EXPECT_EQ(form->controls().deviceList->rowCount(), 1);
}

// The line under the motion buttons says what a press moves, for each combination of ticks and
// selection, and follows every change at once.
TEST_F(ListTest, TheTargetLineSaysWhatAPressMoves)
{
    addDevice(7, "a", 3);
    addDevice(8, "b", 3);
    addDevice(9, "c", 3);
    addDevice(20, "d", 2);
    addDevice(21, "e", 5);
    dir.writeIni("[LANGUAGE]\nLanguage=English\n");
    MainWindow& f = show();
    QLabel* line = f.controls().targetLine;
    TCheckListBox* groups = f.controls().groupList;
    auto select = [&](std::initializer_list<int> rows) {
        TListView* list = f.controls().deviceList;
        list->clearSelection();
        for (int row : rows)
            list->selectionModel()->select(list->model()->index(row, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
    };
    struct Case {
        const char* name;
        int view;                       // the entry whose devices are listed
        std::vector<int> ticked;        // entries
        std::initializer_list<int> rows; // selected rows
        QString expected;
        QStringList tinted;             // the IDs of the listed rows a press moves
    };
    const Case cases[] = {
        {"nothing", 0, {}, {}, "Nothing selected — Stop stops all", {}},
        {"all devices", 0, {0}, {}, "All devices", {"7", "8", "9", "20", "21"}},
        {"two groups", 0, {3, 6}, {}, "Groups 2, 5", {"20", "21"}},
        {"devices of one group", 4, {}, {0, 2}, "Devices 7, 9 (group 3)", {"7", "9"}},
        {"devices of two groups", 0, {}, {0, 3}, "Devices 2:20, 3:7", {"7", "20"}},
        {"a group ticked, another listed", 6, {3}, {}, "Groups 2", {}},
        {"a group and devices", 4, {6}, {0, 2}, "Groups 5; Devices 7, 9 (group 3)", {"7", "9"}},
    };
    TListView* list = f.controls().deviceList;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clickEntry(c.view);
        for (int i = 0; i < groups->count(); ++i) groups->setChecked(i, false);
        for (int entry : c.ticked) groups->setChecked(entry, true);
        select(c.rows);
        EXPECT_EQ(line->text(), c.expected);
        QStringList tinted;
        for (int row = 0; row < list->rowCount(); ++row) {
            const bool tint = list->cellData(row, 2, Qt::BackgroundRole).isValid();
            EXPECT_EQ(list->cellData(row, 2, Qt::ToolTipRole).toString().endsWith("Moves when Up, Down or a tilt is pressed"), tint);
            // The ball is ringed too, as a selected row shows no tint.
            const qint64 shown = list->cellData(row, 0, Qt::DecorationRole).value<QIcon>().cacheKey();
            EXPECT_TRUE(shown == StateBallIcon(std::nullopt, tint).cacheKey() || shown == StateBallIcon(false, tint).cacheKey());
            if (tint) tinted << list->cellText(row, 1);
        }
        EXPECT_EQ(tinted, c.tinted);
    }
    const QByteArray pictures = qgetenv("TARVELLO_SCREENSHOT_DIR");
    if (!pictures.isEmpty()) f.grab().save(QString::fromLocal8Bit(pictures) + "/motion-panel-en.png");
    // The other language, at the switch.
    f.languageSelected(0);
    EXPECT_EQ(line->text(), QString("组 5；设备 7、9（组 3）"));
    if (!pictures.isEmpty()) f.grab().save(QString::fromLocal8Bit(pictures) + "/motion-panel-zh.png");
}

TEST_F(ListTest, ShiftWithHomeEndAndArrowsExtendsTheSelectionAsInAnyList)
{
    for (int id = 1; id <= 6; ++id) addDevice(id, QString("d%1").arg(id), 1);
    MainWindow& f = show();
    TListView* list = f.controls().deviceList;
    auto selectedRows = [list] {
        std::vector<int> rows;
        for (const QModelIndex& index : list->selectionModel()->selectedRows()) rows.push_back(index.row());
        std::sort(rows.begin(), rows.end());
        return rows;
    };
    struct Case {
        const char* name;
        int clicked;                       // the row clicked first (on its name)
        std::vector<std::pair<int, Qt::KeyboardModifiers>> keys;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {"Shift+Down twice", 1, {{Qt::Key_Down, Qt::ShiftModifier}, {Qt::Key_Down, Qt::ShiftModifier}}, {1, 2, 3}},
        {"Shift+Up", 3, {{Qt::Key_Up, Qt::ShiftModifier}}, {2, 3}},
        {"Shift+End", 2, {{Qt::Key_End, Qt::ShiftModifier}}, {2, 3, 4, 5}},
        {"Shift+Home", 2, {{Qt::Key_Home, Qt::ShiftModifier}}, {0, 1, 2}},
        {"Shift+End then Shift+Up", 1, {{Qt::Key_End, Qt::ShiftModifier}, {Qt::Key_Up, Qt::ShiftModifier}}, {1, 2, 3, 4}},
        {"End alone moves to the last row", 1, {{Qt::Key_End, Qt::NoModifier}}, {5}},
        {"Ctrl+A", 4, {{Qt::Key_A, Qt::ControlModifier}}, {0, 1, 2, 3, 4, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QRect cell = list->visualRect(list->model()->index(c.clicked, 2));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
        for (const auto& [key, modifiers] : c.keys) QTest::keyClick(list, Qt::Key(key), modifiers);
        EXPECT_EQ(selectedRows(), c.expected);
    }
    // What a press would move follows the keyboard's selection.
    EXPECT_EQ(f.controls().targetLine->text(), QString("所有设备"));
}

// A row not asked since it was made is grey, "not asked yet"; red only once its query went
// unanswered. The hint panel's device count follows the list, and every line it shows follows a
// language switch.
TEST_F(ListTest, StateBallsAndTheHintPanelSayWhatIsKnownNow)
{
    addDevice(7, "a", 3);
    addDevice(8, "b", 3);
    addDevice(20, "d", 2);
    MainWindow& f = show();
    TListView* list = f.controls().deviceList;
    const auto ball = [&](int row) { return list->cellData(row, 0, Qt::DecorationRole).value<QIcon>().cacheKey(); };
    const auto tip = [&](int row) { return list->cellData(row, 0, Qt::ToolTipRole).toString(); };
    // Rows made anew are not known until their query timed out.
    clickEntry(0);
    EXPECT_EQ(ball(2), StateBallIcon(std::nullopt).cacheKey());
    EXPECT_EQ(tip(2), QString("尚未询问"));
    f.session().devices().setOnline(3, 7, false);
    f.session().devices().setOnline(3, 8, true);
    EXPECT_EQ(ball(0), StateBallIcon(false).cacheKey());
    EXPECT_EQ(tip(0), QString("离线：最近一次查询没有应答"));
    EXPECT_EQ(ball(1), StateBallIcon(true).cacheKey());
    EXPECT_EQ(f.controls().listLegend->text().contains("尚未询问"), true);

    const auto panel = [&] { return f.controls().statusBar->panelText(HintPanel); };
    QTest::mouseMove(list->viewport(), QPoint(5, 5));
    EXPECT_EQ(panel(), QString("当前共计 3 台设备。"));
    clickEntry(3); // group 2: one device
    EXPECT_EQ(panel(), QString("当前共计 1 台设备。"));
    clickEntry(0);
    EXPECT_EQ(panel(), QString("当前共计 3 台设备。"));
    f.languageSelected(1);
    EXPECT_EQ(panel(), QString("There're 3 devices in total."));
    EXPECT_EQ(tip(0), QString("Not asked yet")); // the list was made anew
    QTest::mouseMove(f.controls().groupsButton, QPoint(5, 5));
    EXPECT_EQ(panel(), QString("Organize all devices into groups."));
    f.languageSelected(0);
    EXPECT_EQ(panel(), QString("对所有设备进行编组设置。"));
}

// The control centre's main window, its serial component and the simulated bus on a pseudo-terminal.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QToolButton>
#include <QLineEdit>
#include <QMessageBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include "app/about.h"
#include "app/mainwindow.h"
#include "audit/auditlog.h"
#include "core/session.h"
#include "app/widgets.h"
#include "editor/editorwidgets.h"
#include "editor/groupeditor.h"
#include <QComboBox>
#include <QRadioButton>
#include "common/state.h"
#include "protocol/frames.h"
#include "sim/bus_simulator.h"
#include "../app/testsupport.h"

namespace {

using namespace std::chrono_literals;

struct MainFormE2E : ::testing::Test {
    DataDir dir;
    RecordingMessages messages;
    BusSimulator bus;
    std::unique_ptr<MainWindow> form;

    void SetUp() override
    {
        setCurrentLanguage(1);
        bus.start();
        dir.writeIni("[LANGUAGE]\nLanguage=English\n[PORTS]\nCOM1=" + QByteArray::fromStdString(bus.slavePath())
                     + "\n");
    }
    void TearDown() override
    {
        form.reset();
        bus.stop();
        setCurrentLanguage(0);
    }
    void registerDevices(const std::vector<std::pair<int, int>>& devices) // (id, group)
    {
        TRegister reg(dir.path());
        reg.Open();
        for (auto [id, group] : devices) {
            reg.Member_Table.Append();
            reg.Member_Table.SetFieldByName("ID", id);
            reg.Member_Table.SetFieldByName("Group_ID", group);
            reg.Member_Table.Post();
        }
    }
    MainWindow& start()
    {
        form = std::make_unique<MainWindow>(dir.path());
        LogInAs(*form, ModeOperator);
        form->startUp();
        return *form;
    }
    std::vector<ReceivedFrame> framesWith(uint8_t command)
    {
        std::vector<ReceivedFrame> out;
        for (const ReceivedFrame& f : bus.frames())
            if (f.command == command) out.push_back(f);
        return out;
    }
    // No query outstanding, and none waiting: a poll that steps aside for a verification is not done.
    bool pollDone() { return !form->session().engine().pollTimer.isActive() && !form->session().engine().pollPaused() && !form->session().engine().verifying(); }
    void clickEntry(int index)
    {
        form->controls().groupList->setCurrentRow(index);
        form->groupClicked();
    }
};

QString logText(const MainWindow& f)
{
    return f.controls().trafficLog->toPlainText();
}

} // namespace

TEST_F(MainFormE2E, SearchEntersExactlyTheDevicesOnTheBusAndShowsThemOnLine)
{
    bus.addDevice(0, 4);
    bus.addDevice(2, 9);
    bus.addDevice(5, 17);
    bus.addDevice(3, 25); // outside the range searched
    registerDevices({{100, 1}, {200, 2}}); // the old register, emptied by the search
    MainWindow& f = start();
    ASSERT_TRUE(f.session().port().isOpen());
    ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 5000));

    f.controls().rangeStartEdit->setText("1");
    f.controls().rangeEndEdit->setText("20");
    messages.answer = true;
    f.controls().searchButton->click();
    ASSERT_EQ(messages.kinds.size(), 1);
    EXPECT_EQ(messages.kinds.at(0), MessageSink::Kind::Confirmation);
    EXPECT_EQ(f.controls().searchButton->text(), QString("Stop"));
    EXPECT_FALSE(f.controls().rangeStartEdit->isEnabled());

    // Halfway through: the progress bar stands over its panel.
    ASSERT_TRUE(RunUntil([&] { return f.session().engine().SearchCursor >= 10; }, 10000));
    EXPECT_TRUE(f.pollProgressBar() && f.pollProgressBar()->isVisible());
    if (const QByteArray shots = qgetenv("TARVELLO_SCREENSHOT_DIR"); !shots.isEmpty())
        f.grab().save(QString::fromLocal8Bit(shots) + "/main-en-search.png");

    ASSERT_TRUE(RunUntil([&] { return !f.session().engine().searchRunning(); }, 15000));
    EXPECT_EQ(f.controls().searchButton->text(), QString("Search"));
    EXPECT_TRUE(f.controls().rangeStartEdit->isEnabled());

    QStringList ids, groups;
    for (int r = 0; r < f.controls().deviceList->rowCount(); ++r) {
        ids << f.controls().deviceList->cellText(r, 1);
        groups << f.controls().deviceList->cellText(r, 3);
    }
    EXPECT_EQ(ids, QStringList({"4", "9", "17"}));
    EXPECT_EQ(groups, QStringList({"Ungrouped", "2-", "5-"}));

    // Every ID of the range got exactly one probe, and the register holds exactly what answered.
    std::vector<int> probed;
    for (const ReceivedFrame& fr : framesWith(CmdAskState))
        if (fr.address == 0xFF) probed.push_back(fr.id);
    std::vector<int> expected;
    for (int id = 1; id <= 20; ++id) expected.push_back(id);
    EXPECT_EQ(probed, expected);
    f.session().deviceRegister().Member_Table.First();
    std::vector<std::pair<int, int>> stored;
    for (TTable& t = f.session().deviceRegister().Member_Table; !t.Eof(); t.Next())
        stored.emplace_back(t.FieldByName("ID").AsInteger(), t.FieldByName("Group_ID").AsInteger());
    EXPECT_EQ(stored, (std::vector<std::pair<int, int>>{{4, 0}, {9, 2}, {17, 5}}));

    // Probes and status queries are never logged; received chunks are.
    EXPECT_FALSE(logText(f).contains("Tx:"));
    EXPECT_TRUE(logText(f).contains("Rx:\nFF AC E1 E2 00 09 FF"));
}

TEST_F(MainFormE2E, PollMarksEachRowByItsAnswerOrTheTimeOut)
{
    bus.addDevice(1, 5);
    bus.addDevice(1, 6);
    bus.addDevice(1, 7);
    bus.setOffline(1, 5);
    bus.setBadChecksum(1, 7);
    bus.addDevice(2, 8); // answers as group 3: another group's reply
    bus.setWrongGroup(2, 8);
    registerDevices({{5, 1}, {6, 1}, {7, 1}, {8, 2}});
    MainWindow& f = start();
    ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 5000));
    TListView* list = f.controls().deviceList;
    ASSERT_EQ(list->rowCount(), 4);
    const qint64 off = list->cellData(0, 0, Qt::DecorationRole).value<QIcon>().cacheKey();
    const qint64 on = list->cellData(1, 0, Qt::DecorationRole).value<QIcon>().cacheKey();
    EXPECT_NE(off, on);
    EXPECT_EQ(list->cellData(2, 0, Qt::DecorationRole).value<QIcon>().cacheKey(), off); // checksum wrong by one: ignored
    EXPECT_EQ(list->cellData(3, 0, Qt::DecorationRole).value<QIcon>().cacheKey(), off); // reply names another group: ignored

    // The refresh button polls again; now the first device answers too.
    bus.setOffline(1, 5, false);
    f.controls().refreshButton->click();
    ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 5000));
    EXPECT_EQ(list->cellData(0, 0, Qt::DecorationRole).value<QIcon>().cacheKey(), on);
    EXPECT_EQ(list->cellData(2, 0, Qt::DecorationRole).value<QIcon>().cacheKey(), off);
}

TEST_F(MainFormE2E, MotionFramesFollowTheChecksAndTheSelection)
{
    for (int id : {1, 2, 3}) bus.addDevice(1, static_cast<uint16_t>(id));
    bus.addDevice(4, 10);
    registerDevices({{1, 1}, {2, 1}, {3, 1}, {10, 4}});
    MainWindow& f = start();
    ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 5000));
    bus.clearLog();

    // All devices: one broadcast frame.
    f.controls().groupList->setCurrentRow(0);
    f.groupDoubleClicked();
    f.controls().upButton->click();
    ASSERT_TRUE(RunUntil([&] { return framesWith(CmdUp).size() >= 1; }));
    RunUntil([] { return false; }, 300);
    auto up = framesWith(CmdUp);
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].address, 0xFF);
    EXPECT_EQ(up[0].id, 0);
    EXPECT_EQ(bus.device(1, 2)->motion, Motion::Up);
    EXPECT_EQ(bus.device(4, 10)->motion, Motion::Up);

    // Two checked groups: two group frames, the second after the line ran empty.
    f.groupDoubleClicked(); // clears entry 0
    clickEntry(1);             // highlight the ungrouped entry, no rows
    f.controls().groupList->setChecked(2, true);
    f.controls().groupList->setChecked(5, true);
    f.controls().downButton->click();
    ASSERT_TRUE(RunUntil([&] { return framesWith(CmdDown).size() >= 2; }));
    auto down = framesWith(CmdDown);
    ASSERT_EQ(down.size(), 2u);
    EXPECT_EQ(down[0].address, 0xE1);
    EXPECT_EQ(down[1].address, 0xE4);
    EXPECT_EQ(down[0].id, 0);
    EXPECT_EQ(bus.device(1, 3)->motion, Motion::Down);
    EXPECT_EQ(bus.device(4, 10)->motion, Motion::Down);
    // Every motion frame is logged once it has left the port, the one sent at once and the one
    // the continuation sends.
    EXPECT_TRUE(RunUntil([&] {
        return logText(f).contains("Tx:\nFF AC E1 FF 00 00 DD 01 DC \nTx:\nFF AC E1 E1 00 00 ED 01 CE \n"
                                   "Tx:\nFF AC E1 E4 00 00 ED 01 D1 ");
    })) << logText(f).toStdString();

    // A partial selection of the highlighted group: one frame per selected device.
    clickEntry(2); // group 1, rows 1, 2, 3
    for (int i = 1; i < f.controls().groupList->count(); ++i) f.controls().groupList->setChecked(i, false);
    ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 5000));
    f.controls().deviceList->selectRow(0);
    f.controls().deviceList->selectionModel()->select(f.controls().deviceList->model()->index(2, 0),
                                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
    f.controls().forwardButton->click();
    ASSERT_TRUE(RunUntil([&] { return framesWith(CmdForward).size() >= 2; }));
    RunUntil([] { return false; }, 300);
    auto forward = framesWith(CmdForward);
    ASSERT_EQ(forward.size(), 2u);
    EXPECT_EQ(forward[0].id, 1);
    EXPECT_EQ(forward[1].id, 3);
    EXPECT_EQ(bus.device(1, 1)->motion, Motion::TiltedForward);
    EXPECT_EQ(bus.device(1, 2)->motion, Motion::Down);
    EXPECT_TRUE(logText(f).contains("Tx:\nFF AC E1 E1 00 01 1D 00 FF "));
    EXPECT_TRUE(logText(f).contains("Tx:\nFF AC E1 E1 00 03 1D 01 01 "));
    EXPECT_FALSE(logText(f).contains(" 0D ")); // no status query was logged
}

TEST_F(MainFormE2E, AMotionPressDuringASearchEndsTheSearch)
{
    bus.addDevice(1, 900);
    registerDevices({{900, 1}});
    MainWindow& f = start();
    ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 5000));
    f.controls().searchButton->click();
    ASSERT_TRUE(f.session().engine().searchRunning());
    RunUntil([] { return false; }, 400);
    f.controls().stopButton->click(); // nothing selected: Stop stops every device
    EXPECT_FALSE(f.session().engine().searchRunning());
    EXPECT_EQ(f.controls().searchButton->text(), QString("Search"));
    EXPECT_TRUE(f.controls().rangeStartEdit->isEnabled());
    ASSERT_TRUE(RunUntil([&] {
        const auto frames = bus.frames();
        return !frames.empty() && frames.back().command == CmdStop && frames.back().address == 0xFF;
    }));
    const size_t probes = bus.frames().size();
    RunUntil([] { return false; }, 500);
    // No further probe; the stop goes once more when it was written over a probe's answer due.
    const auto frames = bus.frames();
    ASSERT_LE(frames.size(), probes + 1);
    for (size_t k = probes; k < frames.size(); ++k)
        EXPECT_TRUE(frames[k].command == CmdStop && frames[k].address == 0xFF);
}

TEST_F(MainFormE2E, AboutPasswordAndAFreshShowEndARunningSearch)
{
    registerDevices({{900, 1}});
    MainWindow& f = start();
    f.controls().searchButton->click();
    ASSERT_TRUE(f.session().engine().searchRunning());
    f.controls().aboutButton->click();
    EXPECT_FALSE(f.session().engine().searchRunning());
    EXPECT_EQ(f.controls().searchButton->text(), QString("Search"));
    EXPECT_TRUE(f.aboutForm()->isVisible());

    f.controls().searchButton->click();
    ASSERT_TRUE(f.session().engine().searchRunning());
    f.controls().passwordButton->click();
    EXPECT_FALSE(f.session().engine().searchRunning());
    EXPECT_TRUE(f.controls().rangeStartEdit->isEnabled());

    // Shown again (as after a device is added in the editor) while a search runs: it ends whole.
    f.controls().searchButton->click();
    ASSERT_TRUE(f.session().engine().searchRunning());
    f.openScene();
    EXPECT_FALSE(f.session().engine().searchRunning());
    EXPECT_EQ(f.controls().searchButton->text(), QString("Search"));
    EXPECT_TRUE(f.controls().rangeEndEdit->isEnabled());
}

TEST_F(MainFormE2E, AGroupClickDuringASearchEndsItAndShowsTheGroup)
{
    registerDevices({{5, 1}, {6, 2}});
    MainWindow& f = start();
    f.controls().searchButton->click();
    ASSERT_TRUE(f.session().engine().searchRunning());
    ASSERT_TRUE(RunUntil([&] { return f.pollProgressBar() != nullptr; }, 2000));
    f.controls().groupList->setCurrentRow(0);
    f.groupClicked();
    EXPECT_FALSE(f.session().engine().searchRunning());
    EXPECT_EQ(f.controls().searchButton->text(), QString("Search"));
    EXPECT_TRUE(f.controls().rangeEndEdit->isEnabled());
    EXPECT_EQ(f.controls().deviceList->rowCount(), 0); // the search had emptied the register
}

TEST_F(MainFormE2E, ASearchInAGroupViewListsThatGroupOnlyAndKeepsTheOldRegisterBeside)
{
    bus.addDevice(0, 4);
    bus.addDevice(2, 9);
    bus.addDevice(2, 12);
    bus.addDevice(5, 17);
    registerDevices({{100, 1}, {200, 2}});
    MainWindow& f = start();
    ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 5000));
    clickEntry(3); // group 2
    ASSERT_EQ(f.shownGroupEntry(), 3);
    f.controls().rangeStartEdit->setText("1");
    f.controls().rangeEndEdit->setText("20");
    f.controls().searchButton->click();
    ASSERT_TRUE(RunUntil([&] { return !f.session().engine().searchRunning(); }, 15000));

    QStringList ids, groups;
    for (int r = 0; r < f.controls().deviceList->rowCount(); ++r) {
        ids << f.controls().deviceList->cellText(r, 1);
        groups << (f.controls().deviceList->cellText(r, 3));
    }
    EXPECT_EQ(ids, QStringList({"9", "12"}));
    EXPECT_EQ(groups, QStringList({QString(), QString()}));
    EXPECT_EQ(f.session().deviceRegister().Member_Table.RecordCount(), 4); // the register holds every device found

    // The register as it was before the search stands beside it, to be brought back by hand.
    TTable before(MemberSchema());
    before.setTableName(dir.path() + "/Member1.before-search.DB");
    before.Open();
    std::vector<int> old;
    for (before.First(); !before.Eof(); before.Next()) old.push_back(before.FieldByName("ID").AsInteger());
    EXPECT_EQ(old, (std::vector<int>{100, 200}));
}

TEST_F(MainFormE2E, APressDuringThePollNeverBooksAnAnswerToAnotherRow)
{
    for (int id = 1; id <= 6; ++id) bus.addDevice(1, static_cast<uint16_t>(id));
    bus.setOffline(1, 1); // row 0 never answers
    registerDevices({{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}});
    MainWindow& f = start();
    f.controls().deviceList->selectRow(5);
    // Presses while answers are on their way: each one ends the (absent) search.
    for (int i = 0; i < 8 && !pollDone(); ++i) {
        RunUntil([] { return false; }, 60);
        f.controls().stopButton->click();
        f.controls().aboutButton->click();
    }
    ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 8000));
    TListView* list = f.controls().deviceList;
    // Row 5 is selected: a press moves it, and its ball is ringed.
    const auto ball = [&](int row) { return list->cellData(row, 0, Qt::DecorationRole).value<QIcon>().cacheKey(); };
    EXPECT_NE(ball(0), StateBallIcon(true).cacheKey()) << "row 0 was marked by another device's answer";
    for (int row = 1; row < 6; ++row) EXPECT_EQ(ball(row), StateBallIcon(true, row == 5).cacheKey()) << "row " << row;
}

TEST_F(MainFormE2E, WithThePortClosedNothingIsEmptiedAndNothingLooksSent)
{
    registerDevices({{5, 1}, {6, 2}});
    dir.writeIni("[LANGUAGE]\nLanguage=English\n[PORTS]\nCOM1=/nonexistent/tarvello-port\n");
    MainWindow& f = start();
    ASSERT_FALSE(f.session().port().isOpen());
    messages.texts.clear();
    messages.kinds.clear();

    f.controls().searchButton->click();
    ASSERT_EQ(messages.texts.size(), 1); // the port message, not the confirmation
    EXPECT_EQ(messages.kinds.at(0), MessageSink::Kind::Error);
    EXPECT_EQ(messages.texts.at(0), QString("Error opening serial port. \n"
                                            "COM1 (/nonexistent/tarvello-port): no such device (not plugged in, or a wrong name)"));
    EXPECT_FALSE(f.session().engine().searchRunning());
    EXPECT_EQ(f.session().deviceRegister().Member_Table.RecordCount(), 2);
    EXPECT_EQ(f.controls().deviceList->rowCount(), 2);

    f.controls().deviceList->selectAll();
    f.controls().upButton->click();
    EXPECT_EQ(messages.texts.size(), 2); // once for the press
    EXPECT_FALSE(logText(f).contains("Tx:"));
}

// The editor opened from the main window re-addresses real devices: a force-modify of the one
// device on the bus, then a modify and a move of three; the bus, the register and the poll agree.
TEST_F(MainFormE2E, TheEditorReaddressesDevicesOnTheBusAndThePollFindsThemThere)
{
    bus.addDevice(0, 50); // alone on the bus for the force-modify
    registerDevices({{50, 0}, {5, 1}, {7, 2}, {8, 2}, {9, 2}});
    form = std::make_unique<MainWindow>(dir.path());
    LogInAs(*form, ModeAdministrator);
    ASSERT_TRUE(form->startUp());
    MainWindow& f = *form;
    ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 8000));

    f.controls().groupsButton->click();
    GroupEditor* editor = f.groupEditor();
    ASSERT_TRUE(editor->isVisible());
    const GroupEditorControls& ui = editor->controls();
    if (!editor->advanced()) ui.formToggleButton->click();
    auto pickRow = [](TDeviceListView* list, int id) {
        for (int row = 0; row < list->rowCount(); ++row)
            if (list->deviceId(row) == id) {
                list->clearSelection();
                QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                                  list->visualRect(list->model()->index(row, 0)).center());
                return true;
            }
        return false;
    };
    auto choose = [](QComboBox* selector, int index) {
        selector->setCurrentIndex(index);
        emit selector->activated(index);
    };
    auto waitForBus = [&](uint8_t group, uint16_t id) {
        return RunUntil([&] { return bus.hasDevice(group, id); }, 5000);
    };

    // Force-modify: device 50 of the ungrouped list becomes 15 in group 3.
    choose(ui.leftGroupSelector, 0);
    ASSERT_TRUE(pickRow(ui.leftList, 50));
    ui.newIdEdit->setText("15");
    choose(ui.newGroupSelector, 3);
    ui.forceModifyMode->click();
    ui.forceModifyButton->click();
    ASSERT_TRUE(waitForBus(3, 15));
    EXPECT_FALSE(bus.hasDevice(0, 50));

    // The rest of the installation comes on line; modify 5 of group 1 to 16 of group 4.
    for (auto [group, id] : {std::pair{1, 5}, {2, 7}, {2, 8}, {2, 9}})
        bus.addDevice(static_cast<uint8_t>(group), static_cast<uint16_t>(id));
    choose(ui.leftGroupSelector, 1);
    ASSERT_TRUE(pickRow(ui.leftList, 5));
    ui.newIdEdit->setText("16");
    choose(ui.newGroupSelector, 4);
    ui.modifyMode->click();
    ui.modifyButton->click();
    ASSERT_TRUE(waitForBus(4, 16));

    // Move the three devices of group 2 to group 5.
    choose(ui.leftGroupSelector, 2);
    choose(ui.rightGroupSelector, 5);
    ASSERT_EQ(ui.leftList->rowCount(), 3);
    ui.leftList->selectAll();
    ui.moveRightButton->click();
    for (uint16_t id : {7, 8, 9}) ASSERT_TRUE(waitForBus(5, id)) << id;
    for (uint16_t id : {7, 8, 9}) EXPECT_FALSE(bus.hasDevice(2, id)) << id;
    ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 8000));
    // Force-modify asks first, as every device on the bus hears it; the modify asks as it moves the
    // device out of its group.
    EXPECT_EQ(messages.texts,
              QStringList({"Every device on the bus will be set to group: 3-, ID: 15. Continue?",
                           "The device \"\" will be re-addressed from group: 1-, ID: 5 to group: 4-, ID: 16. Up, "
                           "Down and Stop sent to group 1- will no longer reach it. Continue?"}));

    // The register agrees.
    std::vector<std::pair<int, int>> stored;
    TTable& members = f.session().deviceRegister().Member_Table;
    for (members.First(); !members.Eof(); members.Next())
        stored.emplace_back(members.FieldByName("ID").AsInteger(), members.FieldByName("Group_ID").AsInteger());
    EXPECT_EQ(stored, (std::vector<std::pair<int, int>>{{7, 5}, {8, 5}, {9, 5}, {15, 3}, {16, 4}}));

    // Closing the editor rebuilds the main list; the poll finds every device at its new address.
    ui.exitButton->click();
    EXPECT_FALSE(editor->isVisible());
    ASSERT_EQ(f.controls().deviceList->rowCount(), 5);
    ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 8000));
    const QIcon& on = StateBallIcon(true);
    for (int row = 0; row < 5; ++row)
        EXPECT_EQ(f.controls().deviceList->cellData(row, 0, Qt::DecorationRole).value<QIcon>().cacheKey(), on.cacheKey()) << "row " << row;
}

// A device off the bus re-addressed from the editor (modify, then force-modify): each box belongs
// to the editor, the window in use, and is kept on top as it is.
TEST_F(MainFormE2E, BoxesWhileTheEditorIsOpenComeUpOverTheEditor)
{
    form = std::make_unique<MainWindow>(dir.path());
    LogInAs(*form, ModeAdministrator);
    ASSERT_TRUE(form->startUp());
    form->controls().groupsButton->click();
    GroupEditor* editor = form->groupEditor();
    ASSERT_TRUE(QTest::qWaitForWindowActive(editor));
    const GroupEditorControls& ui = editor->controls();
    if (!editor->advanced()) ui.formToggleButton->click();
    ui.addMode->click();
    ui.newIdEdit->setText("24");
    ui.addButton->click(); // 24, ungrouped, the first of the left list: the device picked
    ASSERT_TRUE(QTest::qWaitForWindowActive(editor));
    for (auto [mode, button, id] : {std::tuple{ui.modifyMode, ui.modifyButton, "26"},
                                    std::tuple{ui.forceModifyMode, ui.forceModifyButton, "27"}}) {
        mode->click();
        ui.newIdEdit->setText(id);
        button->click();
        const QString said = QStringLiteral("These devices did not answer at their new address: ") + id;
        ASSERT_TRUE(RunUntil([&] { return messages.texts.contains(said); }, 8000)) << messages.texts.join('|').toStdString();
    }
    for (int i = 0; i < messages.texts.size(); ++i) {
        EXPECT_EQ(messages.parents[i], editor) << messages.texts[i].toStdString();
        EXPECT_TRUE(MakeMessageBox(messages.parents[i], messages.kinds[i], messages.texts[i])->windowFlags() & Qt::WindowStaysOnTopHint);
    }
}

namespace {
int entriesIn(const char* dir)
{
    return static_cast<int>(QDir(QString::fromLatin1(dir)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}
} // namespace

// A pulled adapter that is plugged in again: the port comes back under the same name, by itself,
// fifty times, and each time the poll runs again; no descriptor or thread is left behind.
TEST_F(MainFormE2E, ALostPortComesBackByItselfAndThePollRunsAgain)
{
    QTemporaryDir links;
    const QString link = links.path() + "/bus-port";
    auto relink = [&](const std::string& target) {
        QFile::remove(link);
        ASSERT_TRUE(QFile::link(QString::fromStdString(target), link));
    };
    relink(bus.slavePath());
    dir.writeIni("[LANGUAGE]\nLanguage=English\n[PORTS]\nCOM1=" + link.toLocal8Bit() + "\n");
    bus.addDevice(1, 5);
    registerDevices({{5, 1}});
    MainWindow& f = start();
    ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 5000));
    TListView* list = f.controls().deviceList;
    const qint64 on = StateBallIcon(true).cacheKey();
    ASSERT_EQ(list->cellData(0, 0, Qt::DecorationRole).value<QIcon>().cacheKey(), on);

    BusSimulator* live = &bus;
    std::unique_ptr<BusSimulator> current;
    int fds = -1, threads = -1;
    for (int cycle = 0; cycle < 50; ++cycle) {
        SCOPED_TRACE(cycle);
        live->vanish();
        ASSERT_TRUE(RunUntil([&] { return !f.session().port().isOpen(); }));
        EXPECT_NE(list->cellData(0, 0, Qt::DecorationRole).value<QIcon>().cacheKey(), on); // nobody vouches for the device now
        EXPECT_TRUE(f.portKeeper().retrying());
        f.portKeeper().retryTick(); // still away: no box, tried again later
        EXPECT_FALSE(f.session().port().isOpen());

        auto next = std::make_unique<BusSimulator>();
        next->addDevice(1, 5);
        next->start();
        relink(next->slavePath());
        if (current) current->stop();
        current = std::move(next);
        live = current.get();

        f.portKeeper().retryTick();
        ASSERT_TRUE(f.session().port().isOpen());
        EXPECT_FALSE(f.portKeeper().retrying());
        EXPECT_EQ(f.controls().statusBar->paintedText(), QString("COM1，4800，8，N，1"));
        ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 5000));
        EXPECT_EQ(list->cellData(0, 0, Qt::DecorationRole).value<QIcon>().cacheKey(), on);
        if (cycle == 0) {
            fds = entriesIn("/proc/self/fd");
            threads = entriesIn("/proc/self/task");
        } else {
            EXPECT_LE(entriesIn("/proc/self/fd"), fds);
            EXPECT_LE(entriesIn("/proc/self/task"), threads);
        }
    }
    EXPECT_EQ(messages.texts.size(), 0) << messages.texts.join(" | ").toStdString();
    // The traffic record holds one line for each loss and each return, beside the frames.
    int lost = 0, back = 0, frames = 0;
    const TrafficRecord& record = f.trafficRecord();
    for (int i = 0; i < record.size(); ++i) {
        const TrafficRecord::Entry e = record.entry(i);
        if (e.kind != TrafficRecord::Kind::Note) ++frames;
        else if (e.description == "port lost") ++lost;
        else if (e.description == "port back") ++back;
    }
    EXPECT_EQ(lost, 50);
    EXPECT_EQ(back, 50);
    EXPECT_GE(frames, 100); // at least the query and the answer of each fresh poll
    int queries = 0;
    for (int i = 0; i < record.size(); ++i)
        if (record.entry(i).kind == TrafficRecord::Kind::Tx
            && record.entry(i).description == "status query group 1 ID 5")
            ++queries;
    EXPECT_GE(queries, 50); // the window's log leaves queries out; the record keeps them
    if (current) current->stop();
}

// What the operator does at the window is in the audit record once, as the window's, with the
// level logged in; each device's state follows the answers, and is unknown once the port is lost.
TEST_F(MainFormE2E, TheWindowsActionsAreRecordedOnceWithTheDevicesStates)
{
    bus.addDevice(1, 4);
    registerDevices({{4, 1}, {9, 1}}); // 9 is off the bus
    MainWindow& f = start();
    ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 5000));
    f.controls().deviceList->selectRow(0);
    f.controls().upButton->click();
    ASSERT_TRUE(RunUntil([&] { return !framesWith(CmdUp).empty(); }, 2000));
    f.controls().stopAllButton->click();
    f.controls().rangeStartEdit->setText("3");
    f.controls().rangeEndEdit->setText("5");
    messages.answer = true;
    f.controls().searchButton->click();
    ASSERT_TRUE(RunUntil([&] { return !f.session().engine().searchRunning(); }, 10000));
    ASSERT_TRUE(RunUntil([&] { return pollDone(); }, 5000));
    bus.vanish();
    ASSERT_TRUE(RunUntil([&] { return !f.session().port().isOpen(); }, 5000));

    AuditLog& audit = f.session().audit();
    audit.flush();
    std::map<QString, QStringList> details;
    for (const AuditRow& row : audit.rows({})) {
        details[row.action].prepend(row.detail);
        EXPECT_EQ(row.source, QString("window"));
        // The port opens before the log-in.
        EXPECT_EQ(row.level, row.detail == "opened COM1" ? ModeNone : ModeOperator) << row.detail.toStdString();
    }
    EXPECT_EQ(details["move"], QStringList{"up: 1:4"});
    EXPECT_EQ(details["stop-all"], QStringList{"stop to every device"});
    EXPECT_EQ(details["search"], QStringList{"IDs 3-5, 1 found: 1:4"});
    EXPECT_EQ(details["port"], (QStringList{"opened COM1", "lost"}));

    // Device 4: on line, unknown while the search rebuilt the list, on line, unknown once the
    // port went; device 9 off line until the search emptied the register.
    std::vector<std::pair<int, DeviceState>> states;
    for (const StateChange& c : audit.history({{1, 4}, {1, 9}}, QDateTime::currentDateTimeUtc().addSecs(-60),
                                              QDateTime::currentDateTimeUtc()))
        states.emplace_back(c.id, c.state);
    const std::vector<std::pair<int, DeviceState>> expected{{4, DeviceState::Online}, {9, DeviceState::Offline}};
    ASSERT_GE(states.size(), 4u);
    EXPECT_EQ(std::vector(states.begin(), states.begin() + 2), expected);
    const std::vector<std::pair<int, DeviceState>> lost{{4, DeviceState::Unknown}, {9, DeviceState::Unknown}};
    EXPECT_EQ(std::vector(states.end() - 2, states.end()), lost);
}

// Nothing moves that nobody chose, and every stop reaches what moves: the main window over the
// simulated bus, whose pseudo-terminal keeps the pace of a 4800-baud line.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

#include "access/passwordchangedialog.h"
#include "app/about.h"
#include "app/mainwindow.h"
#include "app/widgets.h"
#include "common/state.h"
#include "editor/editorwidgets.h"
#include "editor/groupeditor.h"
#include "protocol/frames.h"
#include "sim/bus_simulator.h"
#include "../app/testsupport.h"

namespace {

struct StopE2E : ::testing::Test {
    DataDir dir;
    RecordingMessages messages;
    BusSimulator busA, busB;
    std::unique_ptr<MainWindow> form;

    void SetUp() override
    {
        setCurrentLanguage(1);
        busA.start();
        busB.start();
        dir.writeIni("[LANGUAGE]\nLanguage=English\n[PORTS]\nCOM1=" + QByteArray::fromStdString(busA.slavePath())
                     + "\nCOM2=" + QByteArray::fromStdString(busB.slavePath()) + "\n");
    }
    void TearDown() override
    {
        form.reset();
        busA.stop();
        busB.stop();
        setCurrentLanguage(0);
    }
    // The same devices on both buses and in the register.
    void install(const std::vector<std::pair<int, int>>& devices) // (id, group)
    {
        TRegister reg(dir.path());
        reg.Open();
        for (auto [id, group] : devices) {
            busA.addDevice(uint8_t(group), uint16_t(id));
            busB.addDevice(uint8_t(group), uint16_t(id));
            reg.Member_Table.Append();
            reg.Member_Table.SetFieldByName("ID", id);
            reg.Member_Table.SetFieldByName("Group_ID", group);
            reg.Member_Table.Post();
        }
    }
    MainWindow& start(int32_t mode = ModeOperator)
    {
        form = std::make_unique<MainWindow>(dir.path());
        LogInAs(*form, mode);
        form->startUp();
        RunUntil([&] { return !form->session().engine().pollTimer.isActive(); }, 8000);
        busA.clearLog();
        return *form;
    }
    void selectRows(int first, int last)
    {
        TListView* list = form->controls().deviceList;
        list->clearSelection();
        for (int row = first; row <= last; ++row)
            list->selectionModel()->select(list->model()->index(row, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    static std::vector<ReceivedFrame> with(const BusSimulator& bus, uint8_t command)
    {
        std::vector<ReceivedFrame> out;
        for (const ReceivedFrame& f : bus.frames())
            if (f.command == command) out.push_back(f);
        return out;
    }
    static bool broadcastStop(const ReceivedFrame& f) { return f.command == CmdStop && f.address == 0xFF && f.id == 0; }
};

} // namespace

// A press still being sent, then another port picked: the new bus hears none of it, and what the
// press reached on the old bus is stopped before that port closes.
TEST_F(StopE2E, APortPickedMidPressSendsNothingOfTheOldQueuesOnTheNewBus)
{
    install({{11, 1}, {12, 1}, {13, 1}, {14, 1}, {15, 1}, {16, 1}});
    MainWindow& f = start();
    busB.clearLog();
    selectRows(0, 4);
    f.controls().upButton->click();
    f.controls().portSelector->setCurrentIndex(1); // COM2, as the operator picks it
    f.portSelected(1);
    RunUntil([] { return false; }, 600);

    EXPECT_TRUE(with(busB, CmdUp).empty());
    for (uint16_t id = 11; id <= 16; ++id) {
        EXPECT_EQ(busB.device(1, id)->motion, Motion::Stopped) << id;
        EXPECT_EQ(busA.device(1, id)->motion, Motion::Stopped) << id; // reached, then stopped
    }
    EXPECT_FALSE(with(busA, CmdStop).empty());
}

// A move of six devices from group 1 to 2, then another port: the new bus gets no re-address
// frame, and the register keeps in group 1 every device whose frame never left.
TEST_F(StopE2E, AMovePickedOffByAPortChangeLeavesTheUnsentDevicesWhereTheyWere)
{
    install({{11, 1}, {12, 1}, {13, 1}, {14, 1}, {15, 1}, {16, 1}});
    MainWindow& f = start(ModeAdministrator);
    busB.clearLog();
    // As the editor does: the register first, then the frames.
    TTable& members = f.session().deviceRegister().Member_Table;
    for (int id = 11; id <= 16; ++id) {
        ASSERT_TRUE(members.Locate("ID", id));
        members.Edit();
        members.SetFieldByName("Group_ID", 2);
        members.Post();
    }
    ASSERT_TRUE(f.session().engine().sendReaddressBatch(1, 2, {11, 12, 13, 14, 15, 16}));
    f.controls().portSelector->setCurrentIndex(1);
    f.portSelected(1);
    RunUntil([] { return false; }, 400);

    EXPECT_TRUE(with(busB, CmdReaddress).empty());
    for (uint16_t id = 11; id <= 16; ++id) EXPECT_TRUE(busB.hasDevice(1, id)) << id;
    int movedOnA = 0, movedInRegister = 0;
    for (int id = 11; id <= 16; ++id) {
        movedOnA += busA.hasDevice(2, uint16_t(id)) ? 1 : 0;
        ASSERT_TRUE(members.Locate("ID", id));
        movedInRegister += members.FieldByName("Group_ID").AsInteger() == 2 ? 1 : 0;
    }
    EXPECT_EQ(movedInRegister, movedOnA);
    EXPECT_LT(movedOnA, 6);
    ASSERT_EQ(messages.texts.size(), 1);
    EXPECT_TRUE(messages.texts[0].contains("never went out")) << messages.texts[0].toStdString();
}

// The self-check ended by a click on the list's empty area, or by closing the window, stops what
// it drove, not what is selected then; a selection changed meanwhile moves nothing else.
TEST_F(StopE2E, TheSelfCheckStopsItsOwnTargetsHoweverItEnds)
{
    install({{11, 1}, {12, 1}, {13, 1}});
    for (const bool byClose : {false, true}) {
        SCOPED_TRACE(byClose ? "window closed" : "list clicked");
        MainWindow& f = start(ModeSuperUser);
        selectRows(0, 1);
        f.controls().selfCheckButton->click();
        ASSERT_TRUE(RunUntil([&] { return busA.device(1, 12)->motion == Motion::Up; }));
        selectRows(2, 2); // by keyboard, say: the next period must not drive 13
        f.session().engine().onSelfCheckPeriod();
        ASSERT_TRUE(RunUntil([&] { return busA.device(1, 12)->motion == Motion::Down; }));
        EXPECT_EQ(busA.device(1, 13)->motion, Motion::Stopped);
        if (byClose) {
            f.close();
        } else {
            TListView* list = f.controls().deviceList;
            QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                              QPoint(list->viewport()->width() / 2, list->viewport()->height() - 3));
            EXPECT_EQ(f.controls().selfCheckButton->text(), "Start");
        }
        ASSERT_TRUE(RunUntil([&] { return with(busA, CmdStop).size() >= 2; }));
        EXPECT_EQ(busA.device(1, 11)->motion, Motion::Stopped);
        EXPECT_EQ(busA.device(1, 12)->motion, Motion::Stopped);
        // Closing with devices moving asks first (answered yes: stop them and close).
        if (byClose)
            EXPECT_EQ(messages.texts, QStringList { "Devices may still be moving: stop them and close?" });
        else
            EXPECT_TRUE(messages.texts.isEmpty()) << messages.texts.join(" | ").toStdString();
        form.reset();
        busA.clearDevices(); // at rest again for the next round
        for (uint16_t id : {11, 12, 13}) busA.addDevice(1, id);
    }
}

// F12 from every window of the program, with a long press being sent: the broadcast stop is the
// first frame after the key, no queued motion follows it, and it goes out twice.
TEST_F(StopE2E, F12FromAnyWindowStopsAheadOfEverythingQueued)
{
    std::vector<std::pair<int, int>> devices;
    for (int id = 1; id <= 40; ++id) devices.emplace_back(id, 1);
    install(devices);
    MainWindow& f = start(ModeAdministrator);

    const std::vector<std::pair<const char*, std::function<QWidget*()>>> windows = {
        {"main window", [&]() -> QWidget* { return &f; }},
        {"editor", [&]() -> QWidget* { f.openGroupEditor(); return f.groupEditor(); }},
        {"about box", [&]() -> QWidget* { f.aboutClicked(); return f.aboutForm(); }},
        {"password dialog", [&]() -> QWidget* { f.passwordClicked(); return f.passwordDialog(); }},
    };
    for (const auto& [name, open] : windows) {
        SCOPED_TRACE(name);
        f.activateWindow();
        selectRows(0, 38); // 39 of 40: one frame a device
        busA.clearLog();
        f.controls().upButton->click();
        ASSERT_TRUE(RunUntil([&] { return with(busA, CmdUp).size() >= 3; }));
        QWidget* window = open();
        ASSERT_NE(window, nullptr);
        QWidget* target = window->focusWidget() ? window->focusWidget() : window;
        QTest::keyClick(target, Qt::Key_F12);
        const size_t atKey = busA.frames().size();
        ASSERT_TRUE(RunUntil([&] {
            const auto all = busA.frames();
            return std::count_if(all.begin(), all.end(), broadcastStop) >= 2;
        }));
        RunUntil([] { return false; }, 100);
        const auto all = busA.frames();
        // At most the frame already on the line when the key came, then the stop.
        size_t first = atKey;
        while (first < all.size() && !broadcastStop(all[first])) ++first;
        EXPECT_LE(first, atKey + 1);
        for (size_t k = first; k < all.size(); ++k) EXPECT_NE(all[k].command, CmdUp) << "frame " << k;
        for (int id = 1; id <= 40; ++id) EXPECT_EQ(busA.device(1, uint16_t(id))->motion, Motion::Stopped) << id;
        if (window != &f) window->close();
    }
}

// A device deleted in the (modeless) editor leaves the main list at once: no row stands for it,
// so no Stop can go to a guessed address.
TEST_F(StopE2E, TheMainListFollowsADeleteInTheEditorAtOnce)
{
    install({{7, 3}, {8, 3}});
    MainWindow& f = start(ModeAdministrator);
    f.openGroupEditor();
    GroupEditor* editor = f.groupEditor();
    const GroupEditorControls& ui = editor->controls();
    const int entry = ui.leftGroupSelector->findData(3);
    ASSERT_GE(entry, 0);
    ui.leftGroupSelector->setCurrentIndex(entry);
    emit ui.leftGroupSelector->activated(entry);
    ASSERT_EQ(ui.leftList->rowCount(), 2);
    if (!editor->advanced()) ui.formToggleButton->click();
    ui.deleteMode->click();
    ui.leftList->selectRow(0);
    ui.deleteButton->click();

    ASSERT_TRUE(editor->isVisible());
    TListView* list = f.controls().deviceList;
    ASSERT_EQ(list->rowCount(), 1);
    EXPECT_EQ(list->cellText(0, 1), "8");
}

// The window ends with devices it set moving: a close asks first (Cancel keeps it running, with
// nothing sent); a signal, where nobody can be asked, stops them and ends without a question.
TEST_F(StopE2E, TheWindowDoesNotEndWithDevicesItSetMoving)
{
    install({{11, 1}, {12, 2}});
    for (const bool bySignal : {false, true}) {
        SCOPED_TRACE(bySignal ? "SIGTERM" : "closed");
        MainWindow& f = start();
        selectRows(0, 1);
        f.controls().upButton->click();
        ASSERT_TRUE(RunUntil([&] { return busA.device(2, 12)->motion == Motion::Up; }));
        messages.texts.clear();
        if (bySignal) {
            f.endRequested();
            EXPECT_TRUE(messages.texts.isEmpty());
        } else {
            messages.answer = false; // Cancel
            EXPECT_FALSE(f.close());
            EXPECT_TRUE(with(busA, CmdStop).empty());
            messages.answer = true;
            EXPECT_TRUE(f.close());
            EXPECT_EQ(messages.texts.size(), 2);
        }
        ASSERT_TRUE(RunUntil([&] { return busA.device(1, 11)->motion == Motion::Stopped
                                          && busA.device(2, 12)->motion == Motion::Stopped; }));
        form.reset();
        busA.clearDevices();
        for (auto [id, group] : {std::pair{11, 1}, std::pair{12, 2}}) busA.addDevice(uint8_t(group), uint16_t(id));
    }
}

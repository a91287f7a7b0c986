// The device box and the moves: what reaches the register and the bus, and every refusal.
#include <QPushButton>
#include <QRadioButton>

#include <functional>
#include <tuple>

#include "support.h"

namespace {

using Records = std::vector<std::tuple<int, QString, int>>;

// Ungrouped 1 and 3, group 1 holds 5 and 6, group 2 holds 8.
const std::initializer_list<Device> Register = {
    {1, "one", 0}, {3, "three", 0}, {5, "five", 1}, {6, "six", 1}, {8, "eight", 2}};

const Records Initial = {{1, "one", 0}, {3, "three", 0}, {5, "five", 1}, {6, "six", 1}, {8, "eight", 2}};

class AdvancedRig : public EditorRig {
public:
    explicit AdvancedRig(int16_t language = 0) : EditorRig(Register, language)
    {
        click(ui().formToggleButton);
    }
    void selectMode(QRadioButton* mode) { mode->click(); }
};

QList<bool> enabled(std::initializer_list<QWidget*> widgets)
{
    QList<bool> out;
    for (QWidget* w : widgets) out.append(w->isEnabled());
    return out;
}

}  // namespace

TEST(DeviceBox, ModesEnableTheirButtonAndTheOldInformation)
{
    AdvancedRig rig;
    const GroupSetControls& ui = rig.ui();
    struct Case {
        QRadioButton* mode;
        QList<bool> buttons;  // modify, force-modify, delete, add
        bool old;
        bool warning;
    };
    const Case cases[] = {{ui.forceModifyMode, {false, true, false, false}, false, true},
                          {ui.addMode, {false, false, false, true}, false, false},
                          {ui.deleteMode, {false, false, true, false}, true, false},
                          {ui.modifyMode, {true, false, false, false}, true, false}};
    for (const Case& c : cases) {
        rig.selectMode(c.mode);
        EXPECT_EQ(enabled({ui.modifyButton, ui.forceModifyButton, ui.deleteButton, ui.addButton}), c.buttons);
        EXPECT_EQ(enabled({ui.oldGroupText, ui.oldIdText, ui.oldNameText, ui.idArrow}), QList<bool>(4, c.old));
        EXPECT_EQ(ui.forceModifyWarning->isVisibleTo(&rig.form), c.warning);
    }
}

TEST(DeviceBox, ForceModifyWarningNamesTheNewGroupAndId)
{
    const char* expected[] = {
        "注意：强制修改功能只应适用于单台设备在线修改。如果多台设备在线时，使用强制修改功能将会使所有在线设备修改为相同的组别："
        "2-Stage，ID：12。",
        "Note: the function of 'Force modify' should apply with modify the single online device. This fuction will "
        "modify all the online device with the same infomation of group: 2-Stage and ID: 12."};
    for (int16_t language : {0, 1}) {
        AdvancedRig rig(language);
        rig.selectMode(rig.ui().forceModifyMode);
        rig.typeNew("12", "", 2);
        EXPECT_EQ(rig.ui().forceModifyWarning->text(), QString::fromUtf8(expected[language]));
    }
}

// A letter empties the field and, when the key is released, says what the field takes.
TEST(DeviceBox, NewIdFieldTakesDigitsOnly)
{
    const char* expected[] = {"请输入介于1～999之间的数字。", "Please input numbers between 1～999."};
    for (int16_t language : {0, 1}) {
        AdvancedRig rig(language);
        QTest::keyClicks(rig.ui().newIdEdit, "12");
        EXPECT_EQ(rig.ui().newIdEdit->text(), "12");
        EXPECT_TRUE(rig.messages.texts.isEmpty());
        QTest::keyClick(rig.ui().newIdEdit, Qt::Key_A);
        EXPECT_EQ(rig.ui().newIdEdit->text(), "");
        EXPECT_EQ(rig.messages.texts, QStringList{QString::fromUtf8(expected[language])});
    }
}

namespace {

// One operation of the device box with what it must leave behind.
struct OperationCase {
    const char* name;
    std::function<void(AdvancedRig&)> act;
    Records records;                   // the device table afterwards
    std::vector<Readdress> frames;     // re-address frames asked of the host
    std::vector<Batch> batches;
    QStringList messages;              // in Chinese
};
void PrintTo(const OperationCase& c, std::ostream* os) { *os << c.name; }
class OperationTest : public ::testing::TestWithParam<OperationCase> {};

// Clicks an action button of the device box in its mode, or a move button.
void press(AdvancedRig& rig, QPushButton* GroupSetControls::*button)
{
    const GroupSetControls& ui = rig.ui();
    QPushButton* b = ui.*button;
    QRadioButton* mode = b == ui.modifyButton        ? ui.modifyMode
                         : b == ui.forceModifyButton ? ui.forceModifyMode
                         : b == ui.deleteButton      ? ui.deleteMode
                         : b == ui.addButton         ? ui.addMode
                                                     : nullptr;
    if (mode) rig.selectMode(mode);
    rig.click(b);
}
auto typed(const char* id, const char* name, int group, QPushButton* GroupSetControls::*button)
{
    return [=](AdvancedRig& rig) {
        rig.typeNew(id, name, group);
        press(rig, button);
    };
}
auto picked(TDeviceListView* GroupSetControls::*list, int row, const char* id, const char* name, int group,
            QPushButton* GroupSetControls::*button)
{
    return [=](AdvancedRig& rig) {
        rig.pick(rig.ui().*list, row);
        typed(id, name, group, button)(rig);
    };
}
auto moved(TDeviceListView* GroupSetControls::*list, QList<int> rows, QPushButton* GroupSetControls::*button)
{
    return [=](AdvancedRig& rig) {
        for (int row : rows) EditorRig::clickRow(rig.ui().*list, row, Qt::ControlModifier);
        press(rig, button);
    };
}

Records with(Records records, std::initializer_list<std::tuple<int, QString, int>> changes, std::initializer_list<int> gone = {})
{
    for (int id : gone) std::erase_if(records, [id](const auto& r) { return std::get<0>(r) == id; });
    for (const auto& change : changes) {
        std::erase_if(records, [&](const auto& r) { return std::get<0>(r) == std::get<0>(change); });
        records.push_back(change);
    }
    std::sort(records.begin(), records.end());
    return records;
}

using C = GroupSetControls;

const OperationCase OperationCases[] = {
    // Add
    {"add", typed("7", "seven", 2, &C::addButton), with(Initial, {{7, "seven", 2}}), {}, {}, {}},
    {"add_empty_name", typed("9", "", 0, &C::addButton), with(Initial, {{9, "", 0}}), {}, {}, {}},
    {"add_without_id", typed("", "x", 0, &C::addButton), Initial, {}, {}, {"成员ID不能为空。"}},
    {"add_id_zero", typed("0", "x", 0, &C::addButton), Initial, {}, {}, {"设备ID必须大于0。"}},
    {"add_existing_id", typed("5", "x", 0, &C::addButton), Initial, {}, {}, {"该成员ID已存在。"}},
    {"add_name_over_40_bytes", typed("9", "一二三四五六七八九十一二三四五六七八九十a", 0, &C::addButton), Initial, {}, {},
     {"设备名称不能超过40个字节（一个汉字占2个字节），未作修改。"}},
    // Delete: the selected rows of both lists, or the device typed in
    {"delete_selected", moved(&C::leftList, {0, 1}, &C::deleteButton), with(Initial, {}, {1, 3}), {}, {}, {}},
    {"delete_typed", typed("8", "eight", 2, &C::deleteButton), with(Initial, {}, {8}), {}, {}, {}},
    {"delete_typed_unknown", typed("9", "eight", 2, &C::deleteButton), Initial, {}, {}, {"该设备不存在。"}},
    {"delete_typed_wrong_name", typed("8", "Eight", 2, &C::deleteButton), Initial, {}, {}, {"设备信息错误。"}},
    {"delete_typed_wrong_group", typed("8", "eight", 1, &C::deleteButton), Initial, {}, {}, {"设备信息错误。"}},
    // Modify: the frame goes to the device's old address
    {"modify_own_id_other_group", picked(&C::leftList, 1, "3", "drei", 2, &C::modifyButton),
     with(Initial, {{3, "drei", 2}}), {{0, 3, 2, 3}}, {}, {}},
    {"modify_to_free_id", picked(&C::rightList, 0, "15", "fifteen", 1, &C::modifyButton),
     with(Initial, {{15, "fifteen", 1}}, {5}), {{1, 5, 1, 15}}, {}, {}},
    {"modify_to_taken_id", picked(&C::leftList, 0, "8", "x", 0, &C::modifyButton), Initial, {}, {},
     {"该成员已存在。\r组名：2-Stage\rID：8\r名称：eight"}},
    {"modify_id_zero", picked(&C::leftList, 0, "0", "x", 0, &C::modifyButton), Initial, {}, {}, {"设备ID必须大于0。"}},
    {"modify_without_new_id", picked(&C::leftList, 0, "", "x", 0, &C::modifyButton), Initial, {}, {},
     {"设备ID不能为空，请选择要修改的设备。"}},
    // Force-modify: a broadcast; the register ends with one record for the ID
    {"force_modify_onto_taken_id", picked(&C::leftList, 0, "5", "new", 2, &C::forceModifyButton),
     with(Initial, {{5, "new", 2}}, {1}), {{255, 0, 2, 5}}, {}, {}},
    {"force_modify_id_zero", picked(&C::leftList, 1, "0", "zero", 0, &C::forceModifyButton),
     with(Initial, {{0, "zero", 0}}, {3}), {{255, 0, 0, 0}}, {}, {}},
    {"force_modify_without_id", typed("", "x", 0, &C::forceModifyButton), Initial, {}, {}, {"成员ID不能为空。"}},
    // Moves: one device at once, several as a batch
    {"move_one_right", moved(&C::leftList, {1}, &C::moveRightButton), with(Initial, {{3, "three", 1}}),
     {{0, 3, 1, 3}}, {}, {}},
    {"move_one_left", moved(&C::rightList, {1}, &C::moveLeftButton), with(Initial, {{6, "six", 0}}),
     {{1, 6, 0, 6}}, {}, {}},
    {"move_several_left", moved(&C::rightList, {1, 0}, &C::moveLeftButton),
     with(Initial, {{5, "five", 0}, {6, "six", 0}}), {}, {{1, 0, {5, 6}}}, {}},
};

}  // namespace

TEST_P(OperationTest, ChangesTheRegisterAndTheBus)
{
    const OperationCase& c = GetParam();
    AdvancedRig rig;
    c.act(rig);
    EXPECT_EQ(rig.records(), c.records);
    EXPECT_EQ(rig.host.frames, c.frames);
    EXPECT_EQ(rig.host.batches, c.batches);
    EXPECT_EQ(rig.messages.texts, c.messages);
    // What the lists show agrees with the register.
    for (auto [list, selector] : {std::pair{rig.ui().leftList, rig.ui().leftGroupSelector},
                                  std::pair{rig.ui().rightList, rig.ui().rightGroupSelector}}) {
        QList<int> expected;
        for (const auto& [id, name, group] : c.records)
            if (group == selector->currentIndex()) expected.append(id);
        EXPECT_EQ(EditorRig::ids(list), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, OperationTest, ::testing::ValuesIn(OperationCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Re-addressing changes nothing while the port is closed or when the port refuses the frame.
TEST(DeviceBox, NoReaddressingWithoutThePort)
{
    const std::function<void(AdvancedRig&)> operations[] = {
        picked(&C::leftList, 1, "3", "x", 2, &C::modifyButton),
        picked(&C::leftList, 0, "5", "x", 2, &C::forceModifyButton),
        moved(&C::leftList, {1}, &C::moveRightButton),
        moved(&C::rightList, {0, 1}, &C::moveLeftButton),
    };
    for (bool portOpen : {false, true}) {
        for (int16_t language : {0, 1}) {
            for (const auto& act : operations) {
                AdvancedRig rig(language);
                rig.host.open = portOpen;
                rig.host.accepts = false;
                act(rig);
                EXPECT_EQ(rig.records(), Initial);
                EXPECT_EQ(rig.host.frames.size() + rig.host.batches.size(), portOpen ? 1u : 0u);
                EXPECT_EQ(rig.messages.kinds, QList<MessageSink::Kind>{MessageSink::Kind::Error});
                EXPECT_EQ(rig.messages.texts,
                          QStringList{language == 0 ? "串口打开出错。" : "Error opening serial port. "});
            }
        }
    }
}

// A search in the main window may empty and refill the device table while the editor is open:
// the operations find the picked device by its ID, and say so when it is gone.
TEST(DeviceBox, PickedDeviceFoundByItsIdAfterTheRegisterChanged)
{
    for (bool present : {true, false}) {
        for (QPushButton* GroupSetControls::*button : {&C::modifyButton, &C::forceModifyButton}) {
            AdvancedRig rig;
            rig.pick(rig.ui().leftList, 1);  // device 3, record 2
            TRegister& reg = rig.host.editorRegister();
            reg.EmptyDevices();
            for (const Device& d : std::initializer_list<Device>{{2, "", 0}, {3, "", 4}, {4, "", 0}})
                if (present || d.id != 3) rig.add(d);
            const Records before = rig.records();
            typed("9", "nine", 0, button)(rig);
            if (present) {
                EXPECT_EQ(rig.records(), with(before, {{9, "nine", 0}}, {3}));
                EXPECT_EQ(rig.host.frames, std::vector<Readdress>({button == &C::modifyButton
                                                                        ? Readdress{4, 3, 0, 9}
                                                                        : Readdress{255, 0, 0, 9}}));
            } else {
                EXPECT_EQ(rig.records(), before);
                EXPECT_TRUE(rig.host.frames.empty());
                EXPECT_EQ(rig.messages.texts, QStringList{"该设备不存在。"});
            }
        }
    }
}

TEST(DeviceBox, EnterInTheNameFieldAddsInAnyModeAndMovesTheOldIdOn)
{
    AdvancedRig rig;
    rig.typeNew("9", "nine", 0);
    QTest::keyClick(rig.ui().newNameEdit, Qt::Key_Return);
    EXPECT_EQ(rig.records(), with(Initial, {{9, "nine", 0}}));
    EXPECT_EQ(rig.host.mainShows, 1);
    EXPECT_EQ(EditorRig::ids(rig.ui().leftList), QList<int>({1, 3, 9}));
    EXPECT_EQ(rig.ui().oldIdText->text(), "2");  // first row (1) and one more
}

TEST(DeviceBox, ModifyInEnglishRefusesATakenIdInOneLine)
{
    AdvancedRig rig(1);
    picked(&C::leftList, 0, "8", "x", 0, &C::modifyButton)(rig);
    EXPECT_EQ(rig.messages.texts, QStringList{"The member is already exist."});
}

// The poll stops for "->" even when nothing moves; a double-click moves only several rows.
TEST(Moves, PollStopAndDoubleClick)
{
    AdvancedRig rig;
    EditorRig::choose(rig.ui().rightGroupSelector, 0);
    moved(&C::leftList, {0}, &C::moveRightButton)(rig);
    EXPECT_EQ(rig.host.pollStops, 1);
    EXPECT_TRUE(rig.host.frames.empty());
    moved(&C::rightList, {0}, &C::moveLeftButton)(rig);
    EXPECT_EQ(rig.host.pollStops, 1);

    EditorRig::choose(rig.ui().rightGroupSelector, 2);
    TDeviceListView* left = rig.ui().leftList;
    auto at = [&](int row) { return left->visualRect(left->model()->index(row, 0)).center(); };
    auto doubleClick = [&](int row) {
        QTest::mouseClick(left->viewport(), Qt::LeftButton, {}, at(row));
        QTest::mouseDClick(left->viewport(), Qt::LeftButton, {}, at(row));
        QTest::mouseRelease(left->viewport(), Qt::LeftButton, {}, at(row));
    };
    EditorRig::clickRow(left, 0);
    doubleClick(0);
    EXPECT_TRUE(rig.host.batches.empty());
    EXPECT_TRUE(rig.host.frames.empty());

    // A plain click on one of several selected rows narrows the selection once no second click came.
    EditorRig::clickRow(left, 1, Qt::ControlModifier);
    EditorRig::clickRow(left, 1);
    EXPECT_EQ(left->selectedRowsInOrder(), QList<int>({0, 1}));
    QTest::qWait(QApplication::doubleClickInterval() + 200);
    EXPECT_EQ(left->selectedRowsInOrder(), QList<int>({1}));
    EXPECT_EQ(rig.ui().oldIdText->text(), "3");

    EditorRig::clickRow(left, 0, Qt::ControlModifier);
    doubleClick(1);
    EXPECT_EQ(rig.host.batches, std::vector<Batch>({{0, 2, {1, 3}}}));
    EXPECT_EQ(EditorRig::ids(rig.ui().rightList), QList<int>({1, 3, 8}));
    EXPECT_EQ(rig.host.pollStops, 2);
}

// A table failure inside a handler is one error box naming the file, in the current language.
TEST(DeviceBox, TableFailureIsOneErrorBox)
{
    const std::function<void(AdvancedRig&)> operations[] = {
        typed("9", "x", 0, &C::addButton), typed("8", "eight", 2, &C::deleteButton),
        picked(&C::leftList, 0, "9", "x", 0, &C::modifyButton), moved(&C::leftList, {0}, &C::moveRightButton),
        [](AdvancedRig& rig) { rig.click(rig.ui().renameButton); }};
    for (const auto& act : operations) {
        AdvancedRig rig(1);
        rig.pick(rig.ui().leftList, 0);
        rig.host.editorRegister().Member_Table.Close();
        rig.host.editorRegister().Group_Table.Close();
        act(rig);
        ASSERT_EQ(rig.messages.texts.size(), 1);
        EXPECT_EQ(rig.messages.kinds.front(), MessageSink::Kind::Error);
        EXPECT_TRUE(rig.messages.texts.front().contains("DFiles/")) << rig.messages.texts.front().toStdString();
        EXPECT_TRUE(rig.host.frames.empty());
    }
}

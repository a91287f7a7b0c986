// The device box and the moves: what reaches the register and the bus, and every refusal.
#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <functional>

#include "support.h"

namespace {

// Ungrouped 1 and 3, group 1 holds 5 and 6, group 2 holds 8.
const std::initializer_list<Device> Register = {{1, "one", 0}, {3, "three", 0}, {5, "five", 1}, {6, "six", 1}, {8, "eight", 2}};
const Records Initial = {{1, "one", 0}, {3, "three", 0}, {5, "five", 1}, {6, "six", 1}, {8, "eight", 2}};

struct AdvancedRig : EditorRig {
    explicit AdvancedRig(int16_t language = 0, std::initializer_list<Device> devices = Register,
                         std::initializer_list<int> groupIds = {})
        : EditorRig(devices, language, groupIds) { click(ui().formToggleButton); }
};

using C = GroupEditorControls;
using Action = std::function<void(AdvancedRig&)>;

// Clicks an action button of the device box after selecting its mode, or a move button.
void press(AdvancedRig& rig, QPushButton* C::*button)
{
    const C& ui = rig.ui();
    const std::pair<QPushButton*, QRadioButton*> modes[] = {{ui.modifyButton, ui.modifyMode},
                                                           {ui.forceModifyButton, ui.forceModifyMode},
                                                           {ui.deleteButton, ui.deleteMode},
                                                           {ui.addButton, ui.addMode}};
    for (auto [b, mode] : modes)
        if (b == ui.*button) mode->click();
    EditorRig::click(ui.*button);
}
Action typed(const char* id, const char* name, int group, QPushButton* C::*button)
{
    return [=](AdvancedRig& rig) {
        rig.typeNew(id, name, group);
        press(rig, button);
    };
}
Action then(Action first, Action second) { return [=](AdvancedRig& rig) { first(rig), second(rig); }; }
// `act`, after which the refused new ID is left selected in the focused field.
Action marked(Action act)
{
    return then(act, [](AdvancedRig& rig) {
        EXPECT_TRUE(rig.form.focusWidget() == rig.ui().newIdEdit && rig.ui().newIdEdit->hasSelectedText());
    });
}
Action picked(TDeviceListView* C::*list, int row, const char* id, const char* name, int group, QPushButton* C::*button)
{
    return [=](AdvancedRig& rig) {
        EditorRig::clickRow(rig.ui().*list, row);
        typed(id, name, group, button)(rig);
    };
}
Action selected(TDeviceListView* C::*list, QList<int> rows, QPushButton* C::*button)
{
    return [=](AdvancedRig& rig) {
        for (int row : rows) EditorRig::clickRow(rig.ui().*list, row, Qt::ControlModifier);
        press(rig, button);
    };
}

// The records with some replaced or added (`changes`) and some removed (`gone`).
Records with(Records records, const Records& changes, std::initializer_list<int> gone = {})
{
    std::erase_if(records, [&](const auto& r) {
        const int id = std::get<0>(r);
        return std::ranges::find(gone, id) != gone.end()
               || std::ranges::any_of(changes, [id](const auto& c) { return std::get<0>(c) == id; });
    });
    records.insert(records.end(), changes.begin(), changes.end());
    std::sort(records.begin(), records.end());
    return records;
}

struct OperationCase {
    const char* name;
    Action act;
    Records records;  // the device table afterwards
    std::vector<Readdress> frames;
    std::vector<Batch> batches;
    QStringList messages;
};
void PrintTo(const OperationCase& c, std::ostream* os) { *os << c.name; }
class OperationTest : public ::testing::TestWithParam<OperationCase> {};

const Action No = [](AdvancedRig& rig) { rig.messages.answer = false; };

const OperationCase OperationCases[] = {
    {"add", typed("7", "seven", 2, &C::addButton), with(Initial, {{7, "seven", 2}}), {}, {}, {}},
    {"add_empty_name", typed("9", "", 0, &C::addButton), with(Initial, {{9, "", 0}}), {}, {}, {}},
    // Enter in the name field adds in any mode and moves the old ID (now the first row's) on by one.
    {"add_by_enter_in_modify_mode",
     [](AdvancedRig& rig) {
         rig.typeNew("9", "nine", 0);
         QTest::keyClick(rig.ui().newNameEdit, Qt::Key_Return);
         EXPECT_EQ(rig.host.mainShows, 1);
         EXPECT_EQ(rig.ui().oldIdText->text(), "2");
     },
     with(Initial, {{9, "nine", 0}}), {}, {}, {}},
    {"add_existing_id", typed("5", "x", 0, &C::addButton), Initial, {}, {}, {"该成员ID已存在。"}},
    // The name field holds 40 bytes: what does not fit is cut off before the add.
    {"add_name_over_40_bytes", typed("9", "一二三四五六七八九十一二三四五六七八九十a", 0, &C::addButton),
     with(Initial, {{9, "一二三四五六七八九十一二三四五六七八九十", 0}}), {}, {}, {}},
    {"delete_selected", selected(&C::leftList, {0, 1}, &C::deleteButton), with(Initial, {}, {1, 3}), {}, {}, {}},
    {"delete_typed", typed("8", "eight", 2, &C::deleteButton), with(Initial, {}, {8}), {}, {}, {}},
    {"delete_typed_unknown", typed("9", "eight", 2, &C::deleteButton), Initial, {}, {}, {"该设备不存在。"}},
    {"delete_typed_wrong_name", typed("8", "Eight", 2, &C::deleteButton), Initial, {}, {}, {"设备信息错误。"}},
    {"delete_typed_wrong_group", typed("8", "eight", 1, &C::deleteButton), Initial, {}, {}, {"设备信息错误。"}},
    {"modify_own_id_other_group", picked(&C::leftList, 1, "3", "drei", 2, &C::modifyButton),
     with(Initial, {{3, "drei", 2}}), {{0, 3, 2, 3}}, {},
     {"设备“three”将从组别：未编组，ID：3 改为组别：2-Stage，ID：3。此后发往组别 未编组 的上升、下降和停止命令将不再"
      "到达该设备。确定继续吗？"}},
    {"modify_to_free_id", picked(&C::rightList, 0, "15", "fifteen", 1, &C::modifyButton),
     with(Initial, {{15, "fifteen", 1}}, {5}), {{1, 5, 1, 15}}, {},
     {"设备“five”将从组别：1-Hall，ID：5 改为组别：1-Hall，ID：15。此后发往 ID 5 的命令将不再到达该设备。确定继续吗？"}},
    // A new name alone is the register's: no frame, no question, also with the port closed.
    {"modify_name_only", then([](AdvancedRig& rig) { rig.host.open = false; },
                              picked(&C::rightList, 0, "5", "fünf", 1, &C::modifyButton)),
     with(Initial, {{5, "fünf", 1}}), {}, {}, {}},
    {"modify_answered_no", then(No, picked(&C::leftList, 1, "3", "drei", 2, &C::modifyButton)), Initial, {}, {},
     {"设备“three”将从组别：未编组，ID：3 改为组别：2-Stage，ID：3。此后发往组别 未编组 的上升、下降和停止命令将不再"
      "到达该设备。确定继续吗？"}},
    {"modify_to_taken_id", picked(&C::leftList, 0, "8", "x", 0, &C::modifyButton), Initial, {}, {},
     {"该成员已存在。\r组名：2-Stage\rID：8\r名称：eight"}},
    {"force_modify_onto_taken_id", picked(&C::leftList, 0, "5", "new", 2, &C::forceModifyButton),
     with(Initial, {{5, "new", 2}}, {1}), {{255, 0, 2, 5}}, {},
     {"总线上的每一台设备都会改为组别：2-Stage，ID：5。确定继续吗？"}},
    {"move_one_right", selected(&C::leftList, {1}, &C::moveRightButton), with(Initial, {{3, "three", 1}}),
     {{0, 3, 1, 3}}, {}, {}},
    {"move_one_left", selected(&C::rightList, {1}, &C::moveLeftButton), with(Initial, {{6, "six", 0}}),
     {{1, 6, 0, 6}}, {}, {}},
    {"move_several_left", selected(&C::rightList, {1, 0}, &C::moveLeftButton),
     with(Initial, {{5, "five", 0}, {6, "six", 0}}), {}, {{1, 0, {5, 6}}}, {}},
};

// The new ID must be a device ID, 1 to 999: the field takes no fourth digit and no letter, and
// what reaches it otherwise is refused all the same. A device 0 that a converted register holds
// is never re-addressed on its own: its frame would reach the whole group.
const char* const DigitsOnly = "请输入介于1～999之间的数字。";
const char* const NotAddressable = "设备ID 0 不在1～999之间，不能在总线上单独改址。";
const Action DeviceZeroShown = [](AdvancedRig& rig) { rig.add({0, "zero", 0}), EditorRig::choose(rig.ui().leftGroupSelector, 0); };
const OperationCase IdCases[] = {
    {"add_empty", typed("", "x", 0, &C::addButton), Initial, {}, {}, {"成员ID不能为空。"}},
    {"add_zero", typed("0", "x", 0, &C::addButton), Initial, {}, {}, {"设备ID必须大于0。"}},
    {"add_1000",
     [](AdvancedRig& rig) {
         rig.ui().newIdEdit->clear(), rig.ui().newNameEdit->clear();
         QTest::keyClicks(rig.ui().newIdEdit, "1000"), press(rig, &C::addButton);
     },
     with(Initial, {{100, "", 0}}), {}, {}, {}},  // the field takes no fourth digit
    {"add_letter", typed("1a", "x", 0, &C::addButton), Initial, {}, {}, {DigitsOnly}},
    {"modify_empty", picked(&C::leftList, 0, "", "x", 0, &C::modifyButton), Initial, {}, {},
     {"设备ID不能为空，请选择要修改的设备。"}},
    {"modify_zero", marked(picked(&C::leftList, 0, "0", "x", 0, &C::modifyButton)), Initial, {}, {},
     {"设备ID必须大于0。"}},
    {"modify_letter", marked(picked(&C::leftList, 0, "a", "x", 0, &C::modifyButton)), Initial, {}, {}, {DigitsOnly}},
    {"modify_device_zero", then(DeviceZeroShown, picked(&C::leftList, 0, "2", "x", 0, &C::modifyButton)),
     with(Initial, {{0, "zero", 0}}), {}, {}, {NotAddressable}},
    {"move_device_zero", then(DeviceZeroShown, selected(&C::leftList, {0, 1}, &C::moveRightButton)),
     with(Initial, {{0, "zero", 0}}), {}, {}, {NotAddressable}},
    {"force_modify_empty", typed("", "x", 0, &C::forceModifyButton), Initial, {}, {}, {"成员ID不能为空。"}},
    {"force_modify_zero", marked(picked(&C::leftList, 1, "0", "zero", 0, &C::forceModifyButton)), Initial, {}, {},
     {"设备ID必须大于0。"}},
    {"force_modify_letter", marked(typed("abc", "x", 0, &C::forceModifyButton)), Initial, {}, {}, {DigitsOnly}},
};

void expectOutcome(AdvancedRig& rig, const OperationCase& c)
{
    EXPECT_EQ(rig.records(), c.records);
    EXPECT_EQ(rig.host.frames, c.frames);
    EXPECT_EQ(rig.host.batches, c.batches);
    EXPECT_EQ(rig.messages.texts, c.messages);
    QList<int> groupIds;  // of the selectors' entries: the group records in their order
    TTable& groups = rig.host.editorRegister().Group_Table;
    for (groups.First(); !groups.Eof(); groups.Next()) groupIds.append(groups.Field(0).AsInteger());
    for (auto [list, selector] : {std::pair{rig.ui().leftList, rig.ui().leftGroupSelector},
                                  std::pair{rig.ui().rightList, rig.ui().rightGroupSelector}}) {
        QList<int> shown;
        for (const auto& [id, name, group] : c.records)
            if (group == groupIds.value(selector->currentIndex(), -1)) shown.append(id);
        EXPECT_EQ(EditorRig::ids(list), shown);
    }
    EXPECT_EQ(rig.messages.parents, QList<QWidget*>(c.messages.size(), &rig.form));
}

// A converted group table may skip IDs: with groups 0, 1, 2 and 5 the fourth entry of every
// selector is group 5 in what is written, sent and shown. Group 5 is on the right.
const Records Sparse = with(Initial, {{9, "nine", 5}});
const OperationCase GroupsByIdCases[] = {
    {"add", typed("7", "seven", 3, &C::addButton), with(Sparse, {{7, "seven", 5}}), {}, {}, {}},
    {"modify_into", picked(&C::leftList, 0, "1", "one", 3, &C::modifyButton), with(Sparse, {{1, "one", 5}}),
     {{0, 1, 5, 1}}, {},
     {"设备“one”将从组别：未编组，ID：1 改为组别：5-Pit，ID：1。此后发往组别 未编组 的上升、下降和停止命令将不再到达"
      "该设备。确定继续吗？"}},
    {"modify_out_of", picked(&C::rightList, 0, "9", "nine", 0, &C::modifyButton), with(Sparse, {{9, "nine", 0}}),
     {{5, 9, 0, 9}}, {},
     {"设备“nine”将从组别：5-Pit，ID：9 改为组别：未编组，ID：9。此后发往组别 5-Pit 的上升、下降和停止命令将不再到达"
      "该设备。确定继续吗？"}},
    {"modify_to_its_id", picked(&C::leftList, 0, "9", "x", 0, &C::modifyButton), Sparse, {}, {},
     {"该成员已存在。\r组名：5-Pit\rID：9\r名称：nine"}},
    // The opening picked device 1: its record becomes device 4.
    {"force_modify", typed("4", "four", 3, &C::forceModifyButton), with(Sparse, {{4, "four", 5}}, {1}),
     {{255, 0, 5, 4}}, {}, {"总线上的每一台设备都会改为组别：5-Pit，ID：4。确定继续吗？"}},
    {"delete_typed", typed("9", "nine", 3, &C::deleteButton), with(Sparse, {}, {9}), {}, {}, {}},
    {"move_one_in", selected(&C::leftList, {0}, &C::moveRightButton), with(Sparse, {{1, "one", 5}}), {{0, 1, 5, 1}}, {}, {}},
    {"move_one_out", selected(&C::rightList, {0}, &C::moveLeftButton), with(Sparse, {{9, "nine", 0}}), {{5, 9, 0, 9}}, {}, {}},
    {"move_two_in", selected(&C::leftList, {0, 1}, &C::moveRightButton), with(Sparse, {{1, "one", 5}, {3, "three", 5}}),
     {}, {{0, 5, {1, 3}}}, {}},
};
class GroupsByIdTest : public ::testing::TestWithParam<OperationCase> {};
const auto CaseName = [](const auto& info) { return std::string(info.param.name); };

// Force-modify reaches every device on the bus: it asks first, in the language of the window, and
// a No (which only a question can get) writes and sends nothing.
const Action English = [](AdvancedRig&) { setCurrentLanguage(1); };
const Action ForceModify12 = picked(&C::leftList, 0, "12", "x", 2, &C::forceModifyButton);
const char* const Question[] = {"总线上的每一台设备都会改为组别：2-Stage，ID：12。确定继续吗？",
                                "Every device on the bus will be set to group: 2-Stage, ID: 12. Continue?"};
const OperationCase ForceModifyCases[] = {
    {"yes", ForceModify12, with(Initial, {{12, "x", 2}}, {1}), {{255, 0, 2, 12}}, {}, {Question[0]}},
    {"no", then(No, ForceModify12), Initial, {}, {}, {Question[0]}},
    {"no_english", then(No, then(English, ForceModify12)), Initial, {}, {}, {Question[1]}},
};

}  // namespace

TEST_P(OperationTest, ChangesTheRegisterAndTheBus)
{
    AdvancedRig rig;
    GetParam().act(rig);
    expectOutcome(rig, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, OperationTest, ::testing::ValuesIn(OperationCases),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(DeviceIds, OperationTest, ::testing::ValuesIn(IdCases), CaseName);
INSTANTIATE_TEST_SUITE_P(ForceModifyAsks, OperationTest, ::testing::ValuesIn(ForceModifyCases), CaseName);

TEST_P(GroupsByIdTest, FourthEntryIsGroupFive)
{
    AdvancedRig rig(0, {{1, "one", 0}, {3, "three", 0}, {5, "five", 1}, {6, "six", 1}, {8, "eight", 2}, {9, "nine", 5}},
                    {0, 1, 2, 5});
    const QStringList labels = {"未编组", "1-Hall", "2-Stage", "5-Pit"};
    for (QComboBox* s : {rig.ui().leftGroupSelector, rig.ui().rightGroupSelector, rig.ui().newGroupSelector})
        EXPECT_EQ(EditorRig::items(s), labels);
    EXPECT_EQ(EditorRig::items(rig.ui().renameGroupSelector), QStringList({"1", "2", "5"}));
    EditorRig::choose(rig.ui().rightGroupSelector, 3);
    GetParam().act(rig);
    expectOutcome(rig, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, GroupsByIdTest, ::testing::ValuesIn(GroupsByIdCases), CaseName);


// The force-modify mode shows its warning; a letter in the new-ID field empties it and, when the
// key is released, says what the field takes; a taken ID is refused in English in one line.
// Each change the editor makes is handed to the audit record once, naming what it changed; a
// re-address is the engine's to record, so a modify that keeps the name hands over nothing.
TEST(EditorRecord, EachChangeIsHandedOverOnce)
{
    using Rows = std::vector<std::pair<QString, QString>>;
    const Action renameHall = [](AdvancedRig& rig) {
        rig.ui().renameGroupSelector->setCurrentIndex(rig.ui().renameGroupSelector->findData(1));
        rig.ui().groupNameEdit->setText("Front");
        EditorRig::click(rig.ui().renameButton);
    };
    const Action backup = [](AdvancedRig& rig) { EditorRig::click(rig.ui().backupButton); };
    const Action restore = [](AdvancedRig& rig) { EditorRig::click(rig.ui().restoreButton); };
    const struct {
        const char* name;
        Action act;
        Rows rows;
    } cases[] = {
        {"add", typed("7", "seven", 2, &C::addButton), {{"add", "device 2:7 \"seven\""}}},
        {"delete typed", typed("8", "eight", 2, &C::deleteButton), {{"delete", "device 2:8 \"eight\""}}},
        {"delete two rows", selected(&C::leftList, {0, 1}, &C::deleteButton),
         {{"delete", "device 0:3 \"three\""}, {"delete", "device 0:1 \"one\""}}},
        {"modify with a new name", picked(&C::leftList, 0, "1", "uno", 0, &C::modifyButton),
         {{"rename", "device 0:1 \"one\" -> \"uno\""}}},
        {"modify keeping the name", picked(&C::leftList, 0, "2", "one", 0, &C::modifyButton), {}},
        {"refused: the ID is taken", picked(&C::leftList, 0, "3", "x", 0, &C::modifyButton), {}},
        {"rename a group", renameHall, {{"rename", "group 1 \"Hall\" -> \"Front\""}}},
        {"backup, restore", then(backup, restore), {{"backup", "scene 1"}, {"restore", "scene 1"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AdvancedRig rig;
        c.act(rig);
        EXPECT_EQ(rig.host.recorded, c.rows);
    }
}

TEST(DeviceBox, TextsOfTheDeviceBoxInBothLanguages)
{
    const QStringList expected[] = {
        {"注意：强制修改功能只应适用于单台设备在线修改。如果多台设备在线时，使用强制修改功能将会使所有在线设备修改为相同的组别："
         "2-Stage，ID：12。",
         "请输入介于1～999之间的数字。"},
        {"Note: the function of 'Force modify' should apply with modify the single online device. This function will "
         "modify all the online device with the same information of group: 2-Stage and ID: 12.",
         "Please input numbers between 1～999."}};
    for (int16_t language : {0, 1}) {
        AdvancedRig rig(language);
        const C& ui = rig.ui();
        EXPECT_FALSE(ui.forceModifyWarning->isVisibleTo(&rig.form));
        ui.forceModifyMode->click();
        EXPECT_TRUE(ui.forceModifyWarning->isVisibleTo(&rig.form));
        EXPECT_FALSE(ui.oldIdText->isEnabled() || ui.modifyButton->isEnabled() || ui.addButton->isEnabled());
        ui.newIdEdit->clear();
        QTest::keyClicks(ui.newIdEdit, "12");
        EditorRig::choose(ui.newGroupSelector, 2);
        const QString warning = ui.forceModifyWarning->text();
        QTest::keyClick(ui.newIdEdit, Qt::Key_A);
        EXPECT_EQ(ui.newIdEdit->text(), "");
        EXPECT_EQ(QStringList({warning, rig.messages.texts.value(0)}), expected[language]);
    }
    AdvancedRig english(1);
    picked(&C::leftList, 0, "8", "x", 0, &C::modifyButton)(english);
    EXPECT_EQ(english.messages.texts, QStringList{"The member is already exist."});
}

// Re-addressing changes nothing while the port is closed (Chinese) or when the port refuses the
// frame (English); a closed port is named as the main window names it when it can.
TEST(DeviceBox, NoReaddressingWithoutThePort)
{
    const Action operations[] = {picked(&C::leftList, 1, "3", "x", 2, &C::modifyButton),
                                 picked(&C::leftList, 0, "5", "x", 2, &C::forceModifyButton),
                                 selected(&C::leftList, {1}, &C::moveRightButton),
                                 selected(&C::rightList, {0, 1}, &C::moveLeftButton)};
    for (bool portOpen : {false, true}) {
        const int16_t language = portOpen ? 1 : 0;
        for (const Action& act : operations) {
            AdvancedRig rig(language);
            rig.host.open = portOpen;
            rig.host.accepts = false;
            act(rig);
            EXPECT_EQ(rig.records(), Initial);
            EXPECT_EQ(rig.host.frames.size() + rig.host.batches.size(), portOpen ? 1u : 0u);
            // Modify and force-modify ask first once the port is open.
            if (portOpen && &act <= &operations[1]) rig.messages.kinds.removeFirst(), rig.messages.texts.removeFirst();
            EXPECT_EQ(rig.messages.kinds, QList<MessageSink::Kind>{MessageSink::Kind::Error});
            EXPECT_EQ(rig.messages.texts, QStringList{language == 0 ? "串口打开出错。" : "Error opening serial port. "});
        }
    }
    AdvancedRig named(1);
    named.host.open = false;
    named.host.closedText = "Error opening serial port. \nCOM7 (/dev/ttyUSB3): no permission";
    operations[0](named);
    EXPECT_EQ(named.messages.texts, QStringList{named.host.closedText});
}

// A search in the main window may empty and refill the device table while the editor is open:
// modify finds the picked device by its ID, where it is now, and says so when it is gone (after
// refusing a taken new ID, as always); force-modify then adds the device as a new record.
TEST(DeviceBox, PickedDeviceFoundByItsIdAfterTheRegisterChanged)
{
    struct Case {
        bool present;
        QPushButton* C::*button;
        const char* newId;
        bool changed;
        std::vector<Readdress> frames;
        QStringList messages;
    };
    const char* const ForceQuestion = "总线上的每一台设备都会改为组别：未编组，ID：9。确定继续吗？";
    const Case cases[] = {
        {true, &C::modifyButton, "9", true, {{4, 3, 0, 9}},
         {"设备“”将从组别：4-，ID：3 改为组别：未编组，ID：9。此后发往组别 4- 的上升、下降和停止命令将不再到达该设备。"
          "确定继续吗？"}},
        {true, &C::forceModifyButton, "9", true, {{255, 0, 0, 9}}, {ForceQuestion}},
        {false, &C::modifyButton, "9", false, {}, {"该设备不存在。"}},
        {false, &C::modifyButton, "4", false, {}, {"该成员已存在。\r组名：未编组\rID：4\r名称："}},
        {false, &C::forceModifyButton, "9", true, {{255, 0, 0, 9}}, {ForceQuestion}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.present ? "present " : "gone ") << c.newId);
        AdvancedRig rig;
        EditorRig::clickRow(rig.ui().leftList, 1);  // device 3, second record
        rig.host.editorRegister().EmptyDevices();
        for (const Device& d : {Device{2, "", 0}, Device{3, "", 4}, Device{4, "", 0}})
            if (c.present || d.id != 3) rig.add(d);
        const Records before = rig.records();
        typed(c.newId, "nine", 0, c.button)(rig);
        EXPECT_EQ(rig.records(), c.changed ? with(before, {{9, "nine", 0}}, {3}) : before);
        EXPECT_EQ(rig.host.frames, c.frames);
        EXPECT_EQ(rig.messages.texts, c.messages);
    }
}

// The old information shows the device picked, with its own group, wherever it went; a device no
// list shows any more is nothing picked. After a re-address it is the device at its new address.
TEST(DeviceBox, OldInformationFollowsThePickedDevice)
{
    const auto pick = [](TDeviceListView* C::*list, int row) {
        return [=](AdvancedRig& rig) { EditorRig::clickRow(rig.ui().*list, row); };
    };
    const auto leftGroup2 = [](AdvancedRig& rig) { EditorRig::choose(rig.ui().leftGroupSelector, 2); };
    const struct {
        Action act;
        QStringList old;      // group, ID, name
        QList<int> selected;  // IDs selected in either list
    } cases[] = {
        {then(pick(&C::rightList, 1), leftGroup2), {"1-Hall", "6", "six"}, {6}},
        {then(pick(&C::leftList, 1), leftGroup2), {"", "", ""}, {}},
        {then(pick(&C::leftList, 1), [](AdvancedRig& rig) { EditorRig::click(rig.ui().moveRightButton); }),
         {"1-Hall", "3", "three"}, {}},
        {picked(&C::leftList, 1, "4", "four", 0, &C::modifyButton), {"未编组", "4", "four"}, {4}},
        {picked(&C::leftList, 1, "7", "seven", 2, &C::modifyButton), {"", "", ""}, {}},
        {picked(&C::rightList, 0, "9", "nine", 1, &C::forceModifyButton), {"1-Hall", "9", "nine"}, {9}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.old.join(' ').toStdString());
        AdvancedRig rig;
        c.act(rig);
        const C& ui = rig.ui();
        EXPECT_EQ(QStringList({ui.oldGroupText->text(), ui.oldIdText->text(), ui.oldNameText->text()}), c.old);
        QList<int> selected;
        for (TDeviceListView* list : {ui.leftList, ui.rightList})
            for (int row : list->selectedRowsInOrder()) selected.append(list->deviceId(row));
        EXPECT_EQ(selected, c.selected);
    }
}

// In modify mode a pick shows the device's group, ID and name as the new ones too, so that a new
// name alone renames it; the other modes keep what is typed.
TEST(DeviceBox, PickInModifyModeFillsTheNewInformation)
{
    AdvancedRig rig;
    const C& ui = rig.ui();
    const auto shownAsNew = [&] {
        return QStringList({ui.newGroupSelector->currentText(), ui.newIdEdit->text(), ui.newNameEdit->text()});
    };
    EditorRig::clickRow(ui.rightList, 1);
    EXPECT_EQ(shownAsNew(), QStringList({"1-Hall", "6", "six"}));
    ui.addMode->click();
    rig.typeNew("7", "seven", 2);
    EditorRig::clickRow(ui.leftList, 1);
    EXPECT_EQ(shownAsNew(), QStringList({"2-Stage", "7", "seven"}));
    ui.modifyMode->click();
    EXPECT_EQ(shownAsNew(), QStringList({"2-Stage", "7", "seven"}));
    EditorRig::clickRow(ui.leftList, 1);
    EXPECT_EQ(shownAsNew(), QStringList({"未编组", "3", "three"}));
    ui.newNameEdit->setText("drei");
    EditorRig::click(ui.modifyButton);
    EXPECT_TRUE(rig.host.frames.empty());
    EXPECT_EQ(rig.records(), with(Initial, {{3, "drei", 0}}));
}

// "->" stops the poll even when nothing moves, "<-" never; a double-click moves only several rows,
// and a plain click on one of several selected rows narrows the selection once no second click came.
TEST(Moves, PollStopAndDoubleClick)
{
    AdvancedRig rig;
    EditorRig::choose(rig.ui().rightGroupSelector, 0);
    selected(&C::leftList, {0}, &C::moveRightButton)(rig);
    selected(&C::rightList, {0}, &C::moveLeftButton)(rig);
    EXPECT_EQ(rig.host.pollStops, 1);
    EXPECT_TRUE(rig.host.frames.empty());

    EditorRig::choose(rig.ui().rightGroupSelector, 2);
    TDeviceListView* left = rig.ui().leftList;
    auto doubleClick = [&](int row) {
        const QPoint at = left->visualRect(left->model()->index(row, 0)).center();
        QTest::mouseClick(left->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(left->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseRelease(left->viewport(), Qt::LeftButton, {}, at);
    };
    EditorRig::clickRow(left, 0);
    doubleClick(0);
    EXPECT_TRUE(rig.host.batches.empty() && rig.host.frames.empty());

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
}

// A table failure inside a handler is one error box naming the file.
TEST(DeviceBox, TableFailureIsOneErrorBox)
{
    const Action operations[] = {typed("9", "x", 0, &C::addButton), typed("8", "eight", 2, &C::deleteButton),
                                 picked(&C::leftList, 0, "9", "x", 0, &C::modifyButton),
                                 selected(&C::leftList, {0}, &C::moveRightButton),
                                 [](AdvancedRig& rig) { EditorRig::click(rig.ui().renameButton); }};
    for (const Action& act : operations) {
        AdvancedRig rig(1);
        EditorRig::clickRow(rig.ui().leftList, 0);
        rig.host.editorRegister().Member_Table.Close();
        rig.host.editorRegister().Group_Table.Close();
        // Closed tables are opened again first: a device file that cannot be read stops it.
        QFile damaged(rig.host.editorRegister().MemberFileName());
        ASSERT_TRUE(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
        damaged.write(QByteArray(4096, '\x5a'));
        damaged.close();
        act(rig);
        EXPECT_EQ(rig.messages.kinds, QList<MessageSink::Kind>{MessageSink::Kind::Error});
        EXPECT_TRUE(rig.messages.texts.value(0).contains("DFiles/")) << rig.messages.texts.value(0).toStdString();
        EXPECT_TRUE(rig.host.frames.empty());
    }
}

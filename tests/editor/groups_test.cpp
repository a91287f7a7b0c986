// The group side of the editor: opening, selectors and lists, picking, group names, the two forms,
// the texts, backup and restore.
#include <QClipboard>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QPushButton>
#include <QRadioButton>

#include "support.h"
#include "ui/language.h"

namespace {
using C = GroupEditorControls;
const std::initializer_list<Device> Register = {{3, "三号", 0}, {1, "one", 0}, {5, "five", 1}, {6, "six", 1}, {7, "", 4}};
class OpeningTest : public ::testing::TestWithParam<int16_t> {};
}  // namespace

// Ungrouped devices left, group 1 right, the lowest ungrouped device as the old information,
// every group record listed so that item index and group ID coincide, and the texts of the language.
TEST_P(OpeningTest, ShowsUngroupedLeftGroupOneRight)
{
    const int16_t language = GetParam();
    EditorRig rig(Register, language);
    const GroupEditorControls& ui = rig.ui();
    const QString ungrouped = language == 0 ? "未编组" : "Ungrouped";
    const QStringList texts[] = {
        {"编组设置", "名   称", "修改组名", " 设备编辑 ", "原信息", "高级 >>", "退  出", "数据恢复"},
        {"Setting Groups", "Name", "Change Name", " Edit Members ", "Old information", "Advance >>", "Exit",
         "Recover data"}};
    auto shown = [&] {
        return QStringList({rig.form.windowTitle(), ui.leftList->horizontalHeaderItem(1)->text(), ui.renameButton->text(),
                            ui.deviceBox->title(), ui.oldColumnLabel->text(), ui.formToggleButton->text(),
                            ui.exitButton->text(), ui.restoreButton->text()});
    };
    EXPECT_EQ(shown(), texts[language]);
    EXPECT_EQ(ui.oldColumnLabel->x(), language == 0 ? 59 : 27);
    switchLanguage(2);  // sets no text
    EXPECT_EQ(shown(), texts[language]);
    setCurrentLanguage(language);
    EXPECT_EQ(EditorRig::ids(rig.ui().leftList), QList<int>({1, 3}));
    EXPECT_EQ(EditorRig::ids(rig.ui().rightList), QList<int>({5, 6}));
    const QStringList labels = EditorRig::items(rig.ui().leftGroupSelector);
    ASSERT_EQ(labels.size(), 16);
    EXPECT_EQ(labels.mid(0, 5), QStringList({ungrouped, "1-Hall", "2-Stage", "3-", "4-"}));
    EXPECT_EQ(EditorRig::items(rig.ui().rightGroupSelector), labels);
    EXPECT_EQ(EditorRig::items(rig.ui().newGroupSelector), labels);
    EXPECT_EQ(rig.ui().renameGroupSelector->count(), 15);
    EXPECT_EQ(rig.ui().renameGroupSelector->itemText(0), "1");
    EXPECT_EQ(rig.ui().groupNameEdit->text(), "Hall");
    EXPECT_EQ(QStringList({rig.ui().oldGroupText->text(), rig.ui().oldIdText->text(), rig.ui().oldNameText->text()}),
              QStringList({ungrouped, "1", "one"}));
}

INSTANTIATE_TEST_SUITE_P(Languages, OpeningTest, ::testing::Values(0, 1));

// Both selectors on one group show the same devices; a refresh leaves them so; the device picked
// keeps its own group. One row picks a device, a second added to the selection changes nothing, a click beside the rows clears the old
// ID and name but keeps the group, a click in one list clears the other's selection.
TEST(GroupEditor, SelectorsAndPicking)
{
    EditorRig rig(Register);
    const GroupEditorControls& ui = rig.ui();
    auto old = [&] { return QStringList({ui.oldGroupText->text(), ui.oldIdText->text(), ui.oldNameText->text()}); };
    EditorRig::choose(ui.rightGroupSelector, 0);
    EXPECT_EQ(EditorRig::ids(ui.rightList), QList<int>({1, 3}));
    rig.click(ui.renameButton);
    EXPECT_EQ(EditorRig::ids(ui.leftList), QList<int>({1, 3}));
    EXPECT_EQ(EditorRig::ids(ui.rightList), QList<int>({1, 3}));
    EditorRig::choose(ui.rightGroupSelector, 1);
    EXPECT_EQ(old(), QStringList({"未编组", "1", "one"}));

    EditorRig::clickRow(ui.rightList, 1);
    EXPECT_EQ(old(), QStringList({"1-Hall", "6", "six"}));
    EditorRig::clickRow(ui.rightList, 0, Qt::ControlModifier);
    EXPECT_EQ(old(), QStringList({"1-Hall", "6", "six"}));
    EditorRig::clickRow(ui.leftList, 1);
    EXPECT_TRUE(ui.rightList->selectedRowsInOrder().isEmpty());
    EXPECT_EQ(old(), QStringList({"未编组", "3", "三号"}));
    QTest::mouseClick(ui.leftList->viewport(), Qt::LeftButton, {}, QPoint(20, 300));
    EXPECT_EQ(old(), QStringList({"未编组", "", ""}));
}

namespace {
struct RenameCase {
    const char* name;
    const char* typed;
    bool byEnter;
    const char* label;    // group 4 in every selector afterwards
    const char* refusal;  // "" if none
};
void PrintTo(const RenameCase& c, std::ostream* os) { *os << c.name; }
class RenameTest : public ::testing::TestWithParam<RenameCase> {};
}  // namespace

TEST_P(RenameTest, RenamesGroupFour)
{
    const RenameCase& c = GetParam();
    EditorRig rig(Register);
    const GroupEditorControls& ui = rig.ui();
    EditorRig::choose(ui.renameGroupSelector, 3);
    ui.groupNameEdit->setText(QString::fromUtf8(c.typed));
    if (c.byEnter)
        QTest::keyClick(ui.groupNameEdit, Qt::Key_Return);
    else
        rig.click(ui.renameButton);

    const bool refused = *c.refusal != 0;
    EXPECT_EQ(rig.messages.texts, refused ? QStringList{QString::fromUtf8(c.refusal)} : QStringList());
    for (QComboBox* s : {ui.leftGroupSelector, ui.rightGroupSelector, ui.newGroupSelector})
        EXPECT_EQ(s->itemText(4), QString::fromUtf8(c.label));
    EXPECT_EQ(rig.host.listRebuilds, refused ? 0 : 1);
    EXPECT_EQ(std::get<2>(rig.records().back()), 4);  // device 7 stays in its group
    // A later refresh (an add) keeps the name field with the group its selector shows.
    ui.addMode->click();
    rig.typeNew("9", "", 0);
    rig.click(ui.addButton);
    EXPECT_EQ(ui.renameGroupSelector->currentText(), "4");
    EXPECT_EQ(ui.groupNameEdit->text(), refused ? "" : QString::fromUtf8(c.label).mid(2));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenameTest,
    ::testing::Values(RenameCase{"named", "Lobby", false, "4-Lobby", ""}, RenameCase{"by_enter", "大厅", true, "4-大厅", ""},
                      RenameCase{"empty_name", "", false, "4-", ""},
                      // The field holds 16 bytes: what does not fit is cut off before the rename.
                      RenameCase{"seventeen_bytes", "一二三四五六七八a", false, "4-一二三四五六七八", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The form is kept across openings; the selectors start from 0, 1, 0, 0 at every opening, and
// closing (Escape or the exit button) lets the main window rebuild its lists.
TEST(GroupEditor, FormKeptAndSelectorsResetAcrossOpenings)
{
    EditorRig rig(Register);
    const GroupEditorControls& ui = rig.ui();
    EXPECT_EQ(rig.form.width(), 446);
    EXPECT_FALSE(ui.advancedPanel->isVisible());
    rig.click(ui.formToggleButton);
    EXPECT_EQ(rig.form.width(), 710);
    EXPECT_TRUE(ui.advancedPanel->isVisible());
    QComboBox* selectors[] = {ui.leftGroupSelector, ui.rightGroupSelector, ui.renameGroupSelector, ui.newGroupSelector};
    for (QComboBox* s : selectors) EditorRig::choose(s, 4);
    QTest::keyClick(&rig.form, Qt::Key_Escape);
    EXPECT_FALSE(rig.form.isVisible());
    EXPECT_EQ(rig.host.listRebuilds, 1);

    rig.form.showEditor();
    EXPECT_EQ(rig.form.width(), 710);
    EXPECT_EQ(ui.formToggleButton->text(), "简洁 <<");
    QList<int> indexes;
    for (QComboBox* s : selectors) indexes.append(s->currentIndex());
    EXPECT_EQ(indexes, QList<int>({0, 1, 0, 0}));
    EXPECT_EQ(EditorRig::ids(ui.rightList), QList<int>({5, 6}));
    rig.click(ui.exitButton);
    EXPECT_EQ(rig.host.listRebuilds, 2);
}

// No text is cut off in either form or language; pictures are saved when TARVELLO_SCREENSHOT_DIR
// is set.
TEST(GroupEditor, EveryTextFitsItsControl)
{
    const QByteArray shots = qgetenv("TARVELLO_SCREENSHOT_DIR");
    for (int16_t language : {0, 1}) {
        EditorRig rig({{1, "Lift A", 0}, {2, "Lift B", 0}, {4, "升降台", 0}, {10, "Stage left", 1},
                       {11, "Stage right", 1}, {12, "", 1}, {20, "Hall 1", 2}},
                      language);
        for (bool advanced : {false, true}) {
            if (advanced) {
                rig.click(rig.ui().formToggleButton);
                rig.ui().forceModifyMode->click();
                rig.typeNew("12", "Stage right", 2);
            }
            for (auto* button : rig.form.findChildren<QPushButton*>()) {
                if (button->isVisibleTo(&rig.form)) {
                    EXPECT_GE(button->width(), button->fontMetrics().horizontalAdvance(button->text()) + 12)
                        << button->objectName().toStdString();
                }
            }
            for (auto* label : rig.form.findChildren<QLabel*>()) {
                if (label->isVisibleTo(&rig.form) && !label->wordWrap()) {
                    EXPECT_GE(label->width(), label->sizeHint().width()) << label->objectName().toStdString();
                }
            }
            QLabel* warning = rig.ui().forceModifyWarning;
            EXPECT_GE(warning->height(), warning->heightForWidth(warning->width()));
            if (!shots.isEmpty())
                rig.form.grab().save(QString::fromLocal8Bit(shots) + "/editor-" + (advanced ? "advanced" : "compact")
                                     + (language ? "-en.png" : "-zh.png"));
        }
    }
}

// Backup shows nothing; restore brings the register back and shows it; a damaged backup is
// refused by name and changes nothing.
TEST(GroupEditor, BackupAndRestore)
{
    EditorRig rig(Register);
    rig.click(rig.ui().formToggleButton);
    rig.click(rig.ui().backupButton);
    rig.add({2, "new", 0});
    rig.click(rig.ui().restoreButton);
    EXPECT_TRUE(rig.messages.texts.isEmpty());
    EXPECT_EQ(EditorRig::ids(rig.ui().leftList), QList<int>({1, 3}));

    rig.add({2, "new", 0});
    QFile backup(rig.dir.path() + "/DFiles/Member1.dbk");
    ASSERT_TRUE(backup.open(QIODevice::WriteOnly));
    backup.write("not a register");
    backup.close();
    rig.click(rig.ui().restoreButton);
    EXPECT_EQ(rig.messages.kinds, QList<MessageSink::Kind>{MessageSink::Kind::Error});
    EXPECT_TRUE(rig.messages.texts.value(0).contains("Member1.dbk"));
    EXPECT_EQ(rig.records().size(), 6u);
}

// A name pasted into a field that cannot hold it is cut to what fits (the text after the cursor
// stays), and the status line says so in the language shown, until its timer runs out.
TEST(GroupEditor, PastedNamesAreCutToFitAndSaidSo)
{
    struct Case {
        QLineEdit* C::*field;
        const char *before, *pasted;
        int cursor;
        int16_t language;
        const char *after, *status;
    };
    const char* const GroupCut = "组名最多16个字节（一个汉字占2个字节），超出部分已截去。";
    const Case cases[] = {
        {&C::groupNameEdit, "", "一二三四五六七八九十一二", 0, 0, "一二三四五六七八", GroupCut},
        {&C::newNameEdit, "", "一二三四五六七八九十一二三四五六七八九十一二三四五", 0, 1,
         "一二三四五六七八九十一二三四五六七八九十",
         "A device name holds 40 bytes (a Chinese character takes 2); the rest was cut off."},
        {&C::groupNameEdit, "一二三四五六七", "ABCD", 1, 0, "一AB二三四五六七", GroupCut},
        {&C::groupNameEdit, "ABC", "一二三四五六七", 3, 0, "ABC一二三四五六", GroupCut},
        {&C::groupNameEdit, "", "一二三四五", 0, 1, "一二三四五", ""},
        // The cut falls after a blank: the blank goes too.
        {&C::groupNameEdit, "", "Very long group name", 0, 0, "Very long group", GroupCut},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.after);
        EditorRig rig(Register, c.language);
        rig.click(rig.ui().formToggleButton);
        QLineEdit* field = rig.ui().*c.field;
        field->setText(QString::fromUtf8(c.before));
        field->setCursorPosition(c.cursor);
        QGuiApplication::clipboard()->setText(QString::fromUtf8(c.pasted));
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(field->text(), QString::fromUtf8(c.after));
        EXPECT_EQ(rig.ui().statusLine->text(), QString::fromUtf8(c.status));
        EXPECT_TRUE(rig.messages.texts.isEmpty());
        QMetaObject::invokeMethod(&rig.form.statusTimer(), "timeout");
        EXPECT_EQ(rig.ui().statusLine->text(), QString());
    }
}

// Undo last search asks first and brings the device table from before the search back as a
// restore does (recorded, the lists follow); without a copy, or with a damaged one, it names the
// file and changes nothing.
TEST(GroupEditor, UndoLastSearch)
{
    using K = MessageSink::Kind;
    const struct {
        bool saved, damaged, answer, restored;
        QList<K> kinds;
        bool readdressed = false;  // since the search
    } cases[] = {{false, false, true, false, {K::Information}}, {true, false, false, false, {K::Confirmation}},
                 {true, false, true, true, {K::Confirmation}}, {true, true, true, false, {K::Confirmation, K::Error}},
                 {true, false, true, false, {K::Error}, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kinds.size() * 10 + c.restored);
        EditorRig rig(Register);
        TRegister& reg = rig.host.editorRegister();
        const Records before = rig.records();
        if (c.saved) reg.SaveBeforeSearch();
        QFile copy(reg.BeforeSearchFileName());
        if (c.damaged) {
            ASSERT_TRUE(copy.open(QIODevice::WriteOnly) && copy.write(QByteArray(2048, 'x')) > 0);
        }
        copy.close();
        reg.EmptyDevices();  // the search found device 2, without a name
        rig.add({2, "", 0});
        const Records searched = rig.records();
        rig.form.registerChanged();
        rig.messages.answer = c.answer;
        rig.host.readdressed = c.readdressed;
        rig.click(rig.ui().undoSearchButton);

        EXPECT_EQ(rig.messages.kinds, c.kinds);
        for (const QString& text : rig.messages.texts) EXPECT_TRUE(text.contains("Member1.before-search.DB"));
        EXPECT_EQ(rig.records(), c.restored ? before : searched);
        EXPECT_EQ(EditorRig::ids(rig.ui().leftList), c.restored ? QList<int>({1, 3}) : QList<int>({2}));
        EXPECT_EQ(rig.host.listRebuilds, c.restored ? 1 : 0);
        EXPECT_EQ(rig.host.recorded.size(), c.restored ? 1u : 0u);
    }
}

// The group side of the editor: what it shows on opening, the selectors and lists, picking a
// device, group names, the two forms, backup and restore, the language, and table failures.
#include <QFile>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>

#include "support.h"

namespace {

const std::initializer_list<Device> Register = {
    {3, "三号", 0}, {1, "one", 0}, {5, "five", 1}, {6, "six", 1}, {7, "", 4}};

struct LanguageCase {
    int16_t language;
    const char* ungrouped;
};
class OpeningTest : public ::testing::TestWithParam<LanguageCase> {};

}  // namespace

// Ungrouped devices on the left, group 1 on the right, the lowest ungrouped device as the old
// information, and every group record listed so that item index and group ID coincide.
TEST_P(OpeningTest, ShowsUngroupedLeftGroupOneRight)
{
    EditorRig rig(Register, GetParam().language);
    const QString ungrouped = QString::fromUtf8(GetParam().ungrouped);
    EXPECT_EQ(EditorRig::ids(rig.ui().leftList), QList<int>({1, 3}));
    EXPECT_EQ(EditorRig::ids(rig.ui().rightList), QList<int>({5, 6}));
    const QStringList labels = EditorRig::items(rig.ui().leftGroupSelector);
    ASSERT_EQ(labels.size(), 16);
    EXPECT_EQ(labels.mid(0, 5), QStringList({ungrouped, "1-Hall", "2-Stage", "3-", "4-"}));
    EXPECT_EQ(EditorRig::items(rig.ui().rightGroupSelector), labels);
    EXPECT_EQ(EditorRig::items(rig.ui().newGroupSelector), labels);
    EXPECT_EQ(EditorRig::items(rig.ui().renameGroupSelector).first(), "1");
    EXPECT_EQ(EditorRig::items(rig.ui().renameGroupSelector).size(), 15);
    EXPECT_EQ(rig.ui().groupNameEdit->text(), "Hall");
    EXPECT_EQ(rig.ui().oldGroupText->text(), ungrouped);
    EXPECT_EQ(rig.ui().oldIdText->text(), "1");
    EXPECT_EQ(rig.ui().oldNameText->text(), "one");
    EXPECT_TRUE(rig.form.isVisible());
}

INSTANTIATE_TEST_SUITE_P(Languages, OpeningTest,
                         ::testing::Values(LanguageCase{0, "未编组"}, LanguageCase{1, "Ungrouped"}));

TEST(GroupEditor, BothSelectorsOnOneGroupShowTheSameDevicesUntilOneChanges)
{
    EditorRig rig(Register);
    EditorRig::choose(rig.ui().rightGroupSelector, 0);
    EXPECT_EQ(EditorRig::ids(rig.ui().rightList), QList<int>({1, 3}));
    EXPECT_EQ(rig.ui().oldGroupText->text(), "未编组");
    // A refresh (here after a rename) leaves both lists as they were.
    rig.ui().groupNameEdit->setText("Front");
    rig.click(rig.ui().renameButton);
    EXPECT_EQ(EditorRig::ids(rig.ui().leftList), QList<int>({1, 3}));
    EXPECT_EQ(EditorRig::ids(rig.ui().rightList), QList<int>({1, 3}));
    EditorRig::choose(rig.ui().rightGroupSelector, 4);
    EXPECT_EQ(EditorRig::ids(rig.ui().rightList), QList<int>({7}));
    EXPECT_EQ(rig.ui().oldGroupText->text(), "4-");
}

// One row picks it, a second row added to the selection changes nothing, a click beside the rows
// clears the old ID and name but keeps the group; a click in one list clears the other's selection.
TEST(GroupEditor, PickingADevice)
{
    EditorRig rig(Register);
    const GroupSetControls& ui = rig.ui();
    rig.pick(ui.rightList, 1);
    EXPECT_EQ(QStringList({ui.oldGroupText->text(), ui.oldIdText->text(), ui.oldNameText->text()}),
              QStringList({"1-Hall", "6", "six"}));
    EditorRig::clickRow(ui.rightList, 0, Qt::ControlModifier);
    EXPECT_EQ(ui.rightList->selectedRowsInOrder(), QList<int>({0, 1}));
    EXPECT_EQ(ui.oldIdText->text(), "6");
    rig.pick(ui.leftList, 1);
    EXPECT_TRUE(ui.rightList->selectedRowsInOrder().isEmpty());
    EXPECT_EQ(ui.oldNameText->text(), "三号");
    QTest::mouseClick(ui.leftList->viewport(), Qt::LeftButton, {}, QPoint(20, 300));
    EXPECT_EQ(QStringList({ui.oldGroupText->text(), ui.oldIdText->text(), ui.oldNameText->text()}),
              QStringList({"未编组", "", ""}));
}

namespace {
struct RenameCase {
    const char* name;
    const char* typed;
    bool byEnter;
    const char* label;    // of group 4 afterwards
    const char* message;  // refusal, "" if none
};
void PrintTo(const RenameCase& c, std::ostream* os) { *os << c.name; }
class RenameTest : public ::testing::TestWithParam<RenameCase> {};
}  // namespace

TEST_P(RenameTest, RenamesGroupFour)
{
    const RenameCase& c = GetParam();
    EditorRig rig(Register);
    rig.click(rig.ui().formToggleButton);
    EditorRig::choose(rig.ui().renameGroupSelector, 3);
    EXPECT_EQ(rig.ui().groupNameEdit->text(), "");
    rig.ui().groupNameEdit->setText(QString::fromUtf8(c.typed));
    if (c.byEnter)
        QTest::keyClick(rig.ui().groupNameEdit, Qt::Key_Return);
    else
        rig.click(rig.ui().renameButton);

    const bool refused = *c.message != 0;
    EXPECT_EQ(rig.messages.texts, refused ? QStringList{QString::fromUtf8(c.message)} : QStringList());
    for (QComboBox* s : {rig.ui().leftGroupSelector, rig.ui().rightGroupSelector, rig.ui().newGroupSelector})
        EXPECT_EQ(s->itemText(4), QString::fromUtf8(c.label));
    EXPECT_EQ(rig.host.listRebuilds, refused ? 0 : 1);
    EXPECT_EQ(rig.ui().renameGroupSelector->currentText(), "4");
    EXPECT_EQ(rig.ui().groupNameEdit->text(), QString::fromUtf8(c.typed));
    EXPECT_EQ(std::get<2>(rig.records().back()), 4);  // device 7 stays in its group
    if (!refused) {
        // Any later refresh keeps the name field on the group the rename selector shows.
        rig.ui().addMode->click();
        rig.typeNew("9", "", 0);
        rig.click(rig.ui().addButton);
        EXPECT_EQ(rig.ui().renameGroupSelector->currentText(), "4");
        EXPECT_EQ(rig.ui().groupNameEdit->text(), QString::fromUtf8(c.typed));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenameTest,
    ::testing::Values(RenameCase{"named", "Lobby", false, "4-Lobby", ""}, RenameCase{"by_enter", "大厅", true, "4-大厅", ""},
                      RenameCase{"empty_name", "", false, "4-", ""},
                      RenameCase{"seventeen_bytes", "一二三四五六七八a", false, "4-",
                                 "组名不能超过16个字节（一个汉字占2个字节），未作修改。"}),
    [](const auto& info) { return std::string(info.param.name); });

// The form is kept across openings; the selectors start again from 0, 1, 0, 0 at every opening,
// and closing lets the main window rebuild its lists.
TEST(GroupEditor, FormKeptAndSelectorsResetAcrossOpenings)
{
    EditorRig rig(Register);
    const GroupSetControls& ui = rig.ui();
    EXPECT_EQ(rig.form.width(), 446);
    EXPECT_FALSE(ui.advancedPanel->isVisible());
    EXPECT_EQ(ui.formToggleButton->text(), "高级 >>");
    rig.click(ui.formToggleButton);
    EXPECT_EQ(rig.form.width(), 710);
    EXPECT_TRUE(ui.advancedPanel->isVisible());
    EXPECT_EQ(ui.formToggleButton->text(), "简洁 <<");

    EditorRig::choose(ui.leftGroupSelector, 2);
    EditorRig::choose(ui.rightGroupSelector, 4);
    EditorRig::choose(ui.renameGroupSelector, 5);
    EditorRig::choose(ui.newGroupSelector, 3);
    QTest::keyClick(&rig.form, Qt::Key_Escape);
    EXPECT_FALSE(rig.form.isVisible());
    EXPECT_EQ(rig.host.listRebuilds, 1);

    rig.form.showEditor();
    EXPECT_EQ(rig.form.width(), 710);
    EXPECT_EQ(ui.formToggleButton->text(), "简洁 <<");
    EXPECT_EQ(QList<int>({ui.leftGroupSelector->currentIndex(), ui.rightGroupSelector->currentIndex(),
                          ui.renameGroupSelector->currentIndex(), ui.newGroupSelector->currentIndex()}),
              QList<int>({0, 1, 0, 0}));
    EXPECT_EQ(EditorRig::ids(ui.rightList), QList<int>({5, 6}));
    rig.click(ui.exitButton);
    EXPECT_EQ(rig.host.listRebuilds, 2);
}

TEST(GroupEditor, TextsInBothLanguages)
{
    struct Expected {
        QString caption, nameColumn, renameButton, deviceBox, oldColumn, toggle, exit;
        int oldLeft, newLeft;
    };
    const Expected expected[] = {
        {"编组设置", "名   称", "修改组名", " 设备编辑 ", "原信息", "高级 >>", "退  出", 59, 184},
        {"Setting Groups", "Name", "Change Name", " Edit Members ", "Old infomation", "Advance >>", "Exit", 27, 152}};
    for (int16_t language : {0, 1}) {
        EditorRig rig(Register, language);
        const GroupSetControls& ui = rig.ui();
        const Expected& e = expected[language];
        EXPECT_EQ(rig.form.windowTitle(), e.caption);
        EXPECT_EQ(ui.leftList->horizontalHeaderItem(1)->text(), e.nameColumn);
        EXPECT_EQ(ui.leftList->horizontalHeaderItem(0)->text(), " ID");
        EXPECT_EQ(ui.renameButton->text(), e.renameButton);
        EXPECT_EQ(ui.deviceBox->title(), e.deviceBox);
        EXPECT_EQ(ui.oldColumnLabel->text(), e.oldColumn);
        EXPECT_EQ(ui.formToggleButton->text(), e.toggle);
        EXPECT_EQ(ui.exitButton->text(), e.exit);
        EXPECT_EQ(ui.oldColumnLabel->x(), e.oldLeft);
        EXPECT_EQ(ui.newColumnLabel->x(), e.newLeft);
        // Another language index sets no text.
        rig.form.GroupSetFormProcLanguage(2);
        EXPECT_EQ(ui.renameButton->text(), e.renameButton);
    }
}

// No text of either form is cut off in either language (a control at least as wide as its text
// asks); pictures of both forms are saved when TARVELLO_SCREENSHOT_DIR is set.
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
            auto* warning = rig.ui().forceModifyWarning;
            if (warning->isVisibleTo(&rig.form)) {
                EXPECT_GE(warning->height(), warning->heightForWidth(warning->width()));
            }
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
    ASSERT_EQ(rig.messages.texts.size(), 1);
    EXPECT_EQ(rig.messages.kinds.front(), MessageSink::Kind::Error);
    EXPECT_TRUE(rig.messages.texts.front().contains("Member1.dbk"));
    EXPECT_EQ(rig.records().size(), 6u);
}

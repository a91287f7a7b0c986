#include "editor/groupeditor.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QEvent>
#include <QFileInfo>
#include <QDir>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>

#include "ui/digitsfield.h"
#include "common/gbk.h"
#include "ui/messages.h"
#include "common/state.h"
#include "editor/editorhost.h"
#include "editor/editorwidgets.h"
#include "editor/groupeditor_texts.h"
#include "register/register.h"

using namespace groupset;

namespace {

const QString IdField = QStringLiteral("ID");
const QString NameField = QStringLiteral("Name");

QFont editorFont()
{
    QFont f;
    // "宋体" is the Windows face; the CJK face of the system stands in elsewhere.
    f.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("Noto Sans CJK SC"),
                   QStringLiteral("Noto Sans CJK")});
    f.setPixelSize(12);
    return f;
}

QPushButton* newButton(QWidget* parent, const char* name, const QRect& where)
{
    auto* b = new QPushButton(parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(where);
    b->setAutoDefault(false);
    return b;
}

QComboBox* newSelector(QWidget* parent, const char* name, const QRect& where)
{
    auto* c = new QComboBox(parent);
    c->setObjectName(QString::fromLatin1(name));
    c->setGeometry(where);
    c->setMaxVisibleItems(16);
    return c;
}

QLabel* newLabel(QWidget* parent, const char* name, const QRect& where, const QString& text = {})
{
    auto* l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(where);
    return l;
}

// A read-only display of the old information.
QLabel* newDisplay(QWidget* parent, const char* name, const QRect& where)
{
    QLabel* l = newLabel(parent, name, where);
    l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    l->setIndent(3);
    return l;
}

// Shows `group` (none when no entry holds it); with no group given, the entry at `openingIndex`.
// Returns the group shown.
std::optional<int> showGroup(QComboBox* selector, std::optional<int> group, int openingIndex)
{
    const QSignalBlocker quiet(selector);
    if (group)
        selector->setCurrentIndex(selector->findData(*group));
    else
        selector->setCurrentIndex(openingIndex < selector->count() ? openingIndex : -1);
    if (selector->currentIndex() < 0) return std::nullopt;
    return selector->currentData().toInt();
}

}  // namespace

GroupEditor::GroupEditor(EditorHost& host, QWidget* owner)
    : QWidget(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint
                         | Qt::WindowCloseButtonHint),
      m_host(host)
{
    setObjectName(QStringLiteral("GroupSetForm"));
    setFont(editorFont());
    setWindowTitle(pick(Caption, 0));
    buildLists();
    buildAdvancedPanel();
    m_statusTimer.setSingleShot(true);
    m_statusTimer.setInterval(StatusMilliseconds);
    connect(&m_statusTimer, &QTimer::timeout, m_ui.statusLine, &QLabel::clear);
    connectControls();
    applyTexts(0);
    applyMode();
    applyForm();
}

// ---------------------------------------------------------------- composition

void GroupEditor::buildLists()
{
    m_ui.leftGroupSelector = newSelector(this, "leftGroupSelector", {8, 8, 196, 22});
    m_ui.rightGroupSelector = newSelector(this, "rightGroupSelector", {242, 8, 196, 22});
    m_ui.leftList = new TDeviceListView(this);
    m_ui.leftList->setObjectName(QStringLiteral("leftList"));
    m_ui.leftList->setGeometry(8, 36, 196, 385);
    m_ui.rightList = new TDeviceListView(this);
    m_ui.rightList->setObjectName(QStringLiteral("rightList"));
    m_ui.rightList->setGeometry(242, 36, 196, 385);

    QFont bold = font();
    bold.setBold(true);
    m_ui.moveLeftButton = newButton(this, "moveLeftButton", {210, 214, 26, 24});
    m_ui.moveLeftButton->setText(QStringLiteral("<-"));
    m_ui.moveLeftButton->setFont(bold);
    m_ui.moveRightButton = newButton(this, "moveRightButton", {210, 180, 26, 24});
    m_ui.moveRightButton->setText(QStringLiteral("->"));
    m_ui.moveRightButton->setFont(bold);

    m_ui.exitButton = newButton(this, "exitButton", {242, 434, 94, 28});
    m_ui.formToggleButton = newButton(this, "formToggleButton", {344, 434, 94, 28});

    m_ui.statusLine = newLabel(this, "statusLine", {8, 430, 228, 36});
    m_ui.statusLine->setWordWrap(true);
    m_ui.statusLine->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void GroupEditor::buildAdvancedPanel()
{
    m_ui.advancedPanel = new QWidget(this);
    m_ui.advancedPanel->setObjectName(QStringLiteral("advancedPanel"));
    m_ui.advancedPanel->setGeometry(441, 0, 265, FormHeight);
    QWidget* panel = m_ui.advancedPanel;

    m_ui.groupNameBox = new QGroupBox(panel);
    m_ui.groupNameBox->setObjectName(QStringLiteral("groupNameBox"));
    m_ui.groupNameBox->setGeometry(2, 4, 259, 58);
    m_ui.renameGroupSelector = newSelector(m_ui.groupNameBox, "renameGroupSelector", {8, 24, 50, 24});
    m_ui.groupNameEdit = new QLineEdit(m_ui.groupNameBox);
    m_ui.groupNameEdit->setObjectName(QStringLiteral("groupNameEdit"));
    m_ui.groupNameEdit->setGeometry(64, 24, 92, 24);
    auto* groupNameLimit = new GbkLengthValidator(GroupNameMaxBytes, m_ui.groupNameEdit);
    m_ui.groupNameEdit->setValidator(groupNameLimit);
    connect(groupNameLimit, &GbkLengthValidator::textCut, this, [this] { showStatus(GroupNameCut); });
    m_ui.renameButton = newButton(m_ui.groupNameBox, "renameButton", {162, 23, 90, 26});

    buildDeviceBox();

    m_ui.backupBox = new QGroupBox(panel);
    m_ui.backupBox->setObjectName(QStringLiteral("backupBox"));
    m_ui.backupBox->setGeometry(2, 372, 259, 90);
    m_ui.backupButton = newButton(m_ui.backupBox, "backupButton", {18, 22, 102, 26});
    m_ui.restoreButton = newButton(m_ui.backupBox, "restoreButton", {138, 22, 102, 26});
    m_ui.undoSearchButton = newButton(m_ui.backupBox, "undoSearchButton", {18, 54, 222, 26});
}

void GroupEditor::buildDeviceBox()
{
    m_ui.deviceBox = new QGroupBox(m_ui.advancedPanel);
    m_ui.deviceBox->setObjectName(QStringLiteral("deviceBox"));
    m_ui.deviceBox->setGeometry(2, 66, 259, 302);
    QWidget* box = m_ui.deviceBox;

    m_ui.oldColumnLabel = newLabel(box, "oldColumnLabel", {OldColumnLeft[0], 20, 100, 18});
    m_ui.newColumnLabel = newLabel(box, "newColumnLabel", {NewColumnLeft[0], 20, 100, 18});

    // Three rows: label, old value, arrow, new value.
    const int rowTop[] = {44, 74, 104};
    m_ui.groupRowLabel = newLabel(box, "groupRowLabel", {6, rowTop[0], 44, 22});
    m_ui.idRowLabel = newLabel(box, "idRowLabel", {6, rowTop[1], 44, 22}, QStringLiteral("ID："));
    m_ui.nameRowLabel = newLabel(box, "nameRowLabel", {6, rowTop[2], 44, 22});
    m_ui.oldGroupText = newDisplay(box, "oldGroupText", {50, rowTop[0], 86, 22});
    m_ui.oldIdText = newDisplay(box, "oldIdText", {50, rowTop[1], 86, 22});
    m_ui.oldNameText = newDisplay(box, "oldNameText", {50, rowTop[2], 86, 22});
    const QString arrow = QStringLiteral("→");
    m_ui.groupArrow = newLabel(box, "groupArrow", {138, rowTop[0], 14, 22}, arrow);
    m_ui.idArrow = newLabel(box, "idArrow", {138, rowTop[1], 14, 22}, arrow);
    m_ui.nameArrow = newLabel(box, "nameArrow", {138, rowTop[2], 14, 22}, arrow);
    m_ui.newGroupSelector = newSelector(box, "newGroupSelector", {153, rowTop[0], 98, 22});
    m_ui.newIdEdit = new QLineEdit(box);
    m_ui.newIdEdit->setObjectName(QStringLiteral("newIdEdit"));
    m_ui.newIdEdit->setGeometry(153, rowTop[1], 98, 22);
    m_ui.newIdEdit->setMaxLength(3);
    new DigitsOnlyFilter(m_ui.newIdEdit, QString(), IdDigitsOnly, this);
    m_ui.newNameEdit = new QLineEdit(box);
    m_ui.newNameEdit->setObjectName(QStringLiteral("newNameEdit"));
    m_ui.newNameEdit->setGeometry(153, rowTop[2], 98, 22);
    auto* deviceNameLimit = new GbkLengthValidator(DeviceNameMaxBytes, m_ui.newNameEdit);
    m_ui.newNameEdit->setValidator(deviceNameLimit);
    connect(deviceNameLimit, &GbkLengthValidator::textCut, this, [this] { showStatus(DeviceNameCut); });

    // Four modes, each a radio button beside its action button.
    m_ui.modes = new QButtonGroup(this);
    auto addMode = [this, box](EditMode mode, const char* radioName, const char* buttonName, int left, int top,
                               QRadioButton** radio, QPushButton** button) {
        *radio = new QRadioButton(box);
        (*radio)->setObjectName(QString::fromLatin1(radioName));
        (*radio)->setGeometry(left, top + 4, 18, 18);
        *button = newButton(box, buttonName, {left + 20, top, 96, 26});
        m_ui.modes->addButton(*radio, static_cast<int>(mode));
    };
    addMode(EditMode::Modify, "modifyMode", "modifyButton", 8, 142, &m_ui.modifyMode, &m_ui.modifyButton);
    addMode(EditMode::ForceModify, "forceModifyMode", "forceModifyButton", 132, 142, &m_ui.forceModifyMode,
            &m_ui.forceModifyButton);
    addMode(EditMode::Delete, "deleteMode", "deleteButton", 8, 176, &m_ui.deleteMode, &m_ui.deleteButton);
    addMode(EditMode::Add, "addMode", "addButton", 132, 176, &m_ui.addMode, &m_ui.addButton);
    m_ui.modifyMode->setChecked(true);

    m_ui.forceModifyWarning = newLabel(box, "forceModifyWarning", {10, 206, 240, 92});
    m_ui.forceModifyWarning->setWordWrap(true);
    m_ui.forceModifyWarning->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette red = m_ui.forceModifyWarning->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    m_ui.forceModifyWarning->setPalette(red);
}

void GroupEditor::connectControls()
{
    connect(m_ui.leftGroupSelector, &QComboBox::activated, this, &GroupEditor::leftGroupChanged);
    connect(m_ui.rightGroupSelector, &QComboBox::activated, this, &GroupEditor::rightGroupChanged);
    connect(m_ui.leftList, &TDeviceListView::listClicked, this, &GroupEditor::leftListClicked);
    connect(m_ui.rightList, &TDeviceListView::listClicked, this, &GroupEditor::rightListClicked);
    connect(m_ui.leftList, &TDeviceListView::listDoubleClicked, this, &GroupEditor::leftListDoubleClicked);
    connect(m_ui.rightList, &TDeviceListView::listDoubleClicked, this, &GroupEditor::rightListDoubleClicked);
    connect(m_ui.moveRightButton, &QPushButton::clicked, this, &GroupEditor::moveRightClicked);
    connect(m_ui.moveLeftButton, &QPushButton::clicked, this, &GroupEditor::moveLeftClicked);
    connect(m_ui.exitButton, &QPushButton::clicked, this, &QWidget::close);
    connect(m_ui.formToggleButton, &QPushButton::clicked, this, &GroupEditor::formToggleClicked);

    connect(m_ui.renameGroupSelector, &QComboBox::activated, this, &GroupEditor::renameGroupPicked);
    connect(m_ui.renameButton, &QPushButton::clicked, this, &GroupEditor::renameClicked);
    connect(m_ui.groupNameEdit, &QLineEdit::returnPressed, this, &GroupEditor::renameClicked);
    connect(m_ui.backupButton, &QPushButton::clicked, this, &GroupEditor::backupClicked);
    connect(m_ui.restoreButton, &QPushButton::clicked, this, &GroupEditor::restoreClicked);
    connect(m_ui.undoSearchButton, &QPushButton::clicked, this, &GroupEditor::undoSearchClicked);

    connect(m_ui.modes, &QButtonGroup::idToggled, this, &GroupEditor::modeSelected);
    connect(m_ui.newIdEdit, &QLineEdit::textChanged, this, &GroupEditor::newIdChanged);
    connect(m_ui.newGroupSelector, &QComboBox::activated, this, &GroupEditor::newGroupChanged);
    connect(m_ui.newNameEdit, &QLineEdit::returnPressed, this, &GroupEditor::newNameReturnPressed);
    connect(m_ui.addButton, &QPushButton::clicked, this, &GroupEditor::addClicked);
    connect(m_ui.deleteButton, &QPushButton::clicked, this, &GroupEditor::deleteClicked);
    connect(m_ui.modifyButton, &QPushButton::clicked, this, &GroupEditor::modifyClicked);
    connect(m_ui.forceModifyButton, &QPushButton::clicked, this, &GroupEditor::forceModifyClicked);
}

// ---------------------------------------------------------------- opening and closing

void GroupEditor::showEditor()
{
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    m_leftGroup = m_rightGroup = m_renameGroup = m_newGroup = std::nullopt;
    m_picked.reset();
    m_statusTimer.stop();
    m_ui.statusLine->clear();
    applyForm();
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    // Shown before it is filled: a failure in filling it is said over it.
    show();
    raise();
    activateWindow();
    refreshEditor();
}

void GroupEditor::closeEvent(QCloseEvent* event)
{
    m_leftGroup = m_rightGroup = m_renameGroup = m_newGroup = m_picked = std::nullopt;
    m_host.rebuildMainLists();
    event->accept();
}

void GroupEditor::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

// ---------------------------------------------------------------- refresh

// Ends every rename, add, modify, force-modify and restore, and runs at each opening.
void GroupEditor::registerChanged()
{
    if (isVisible()) refreshEditor();
}

void GroupEditor::refreshEditor(bool firstLeftRow)
{
    bool filled = false;
    guarded([this, &filled, firstLeftRow] {
        refreshSelectors();
        refreshLists();
        filled = true;
        settlePick(firstLeftRow);
    });
    if (!filled) {
        // A register that cannot be read shows nothing rather than what it held before.
        for (QComboBox* s : {m_ui.leftGroupSelector, m_ui.rightGroupSelector, m_ui.renameGroupSelector,
                             m_ui.newGroupSelector}) {
            const QSignalBlocker quiet(s);
            s->clear();
        }
        m_ui.groupNameEdit->clear();
        m_ui.leftList->clearDevices();
        m_ui.rightList->clearDevices();
        clearPicked();
    }
    retranslate();
    applyForm();
}

void GroupEditor::refreshSelectors()
{
    for (QComboBox* s : {m_ui.leftGroupSelector, m_ui.rightGroupSelector, m_ui.renameGroupSelector,
                         m_ui.newGroupSelector}) {
        const QSignalBlocker quiet(s);
        s->clear();
    }
    TTable& table = groups();
    bool ungroupedRecord = true;
    for (table.First(); !table.Eof(); table.Next()) {
        // The records come in ID order, but the IDs need not follow one another (a converted
        // register may hold 0, 1, 2, 5): each entry carries its group ID.
        const int id = table.FieldByName(IdField).AsInteger();
        const QString label = shownGroupName(ungroupedRecord, id, table.FieldByName(NameField).AsString());
        for (QComboBox* s : {m_ui.leftGroupSelector, m_ui.rightGroupSelector, m_ui.newGroupSelector}) {
            const QSignalBlocker quiet(s);
            s->addItem(label, id);
        }
        if (!ungroupedRecord) {
            const QSignalBlocker quiet(m_ui.renameGroupSelector);
            m_ui.renameGroupSelector->addItem(QString::number(id), id);
        }
        ungroupedRecord = false;
    }
    m_leftGroup = showGroup(m_ui.leftGroupSelector, m_leftGroup, 0);
    m_rightGroup = showGroup(m_ui.rightGroupSelector, m_rightGroup, 1);
    m_renameGroup = showGroup(m_ui.renameGroupSelector, m_renameGroup, 0);
    m_newGroup = showGroup(m_ui.newGroupSelector, m_newGroup, 0);
    // The name field always belongs to the group the rename selector shows.
    const int renamed = groupOf(m_ui.renameGroupSelector);
    m_ui.groupNameEdit->setText(renamed == NoGroup ? QString() : storedGroupName(renamed));
}

QString GroupEditor::shownGroupName(bool ungroupedRecord, qint64 id, const QString& storedName) const
{
    if (!ungroupedRecord) return GroupLabel(id, storedName);
    if (currentLanguage() == 1 && storedName == UngroupedName()) return pick(Ungrouped, 1);
    return storedName;
}

QString GroupEditor::storedGroupName(int groupId)
{
    TTable& table = groups();
    return table.Locate(IdField, groupId) ? table.FieldByName(NameField).AsString() : QString();
}

int GroupEditor::groupOf(const QComboBox* selector)
{
    return selector->currentIndex() < 0 ? NoGroup : selector->currentData().toInt();
}

// A group as the selectors show it; a group without a record by its number alone.
QString GroupEditor::groupLabel(int groupId) const
{
    const int entry = m_ui.newGroupSelector->findData(groupId);
    return entry >= 0 ? m_ui.newGroupSelector->itemText(entry) : GroupLabel(groupId, QString());
}

// The group the new information names; a device is written ungrouped (0) when no entry is chosen.
int GroupEditor::newGroup() const
{
    const int group = groupOf(m_ui.newGroupSelector);
    return group == NoGroup ? 0 : group;
}

void GroupEditor::refreshLists()
{
    const int left = groupOf(m_ui.leftGroupSelector);
    const int right = groupOf(m_ui.rightGroupSelector);
    // Both on one group: each list keeps what its own selector filled it with.
    if (left == right) return;
    m_ui.leftList->clearDevices();
    m_ui.rightList->clearDevices();
    TTable& table = devices();
    for (table.First(); !table.Eof(); table.Next()) {
        const int group = table.FieldByName(QStringLiteral("Group_ID")).AsInteger();
        TDeviceListView* list = left != NoGroup && group == left     ? m_ui.leftList
                                : right != NoGroup && group == right ? m_ui.rightList
                                                                     : nullptr;
        if (list) list->addDevice(table.FieldByName(IdField).AsInteger(), table.FieldByName(NameField).AsString());
    }
}

void GroupEditor::fillList(TDeviceListView* list, int group)
{
    list->clearDevices();
    if (group == NoGroup) return;
    TTable& table = devices();
    for (table.First(); !table.Eof(); table.Next())
        if (table.FieldByName(QStringLiteral("Group_ID")).AsInteger() == group)
            list->addDevice(table.FieldByName(IdField).AsInteger(), table.FieldByName(NameField).AsString());
}

void GroupEditor::settlePick(bool firstLeftRow)
{
    TDeviceListView* list = nullptr;
    if (m_picked && pickedRow(&list) >= 0) return showPicked();
    if (firstLeftRow && m_ui.leftList->rowCount() > 0) {
        m_picked = m_ui.leftList->deviceId(0);
        return showPicked();
    }
    clearPicked();
}

int GroupEditor::pickedRow(TDeviceListView** list) const
{
    if (!m_picked) return -1;
    for (TDeviceListView* l : {m_ui.leftList, m_ui.rightList}) {
        if (const int row = l->rowOf(*m_picked); row >= 0) {
            *list = l;
            return row;
        }
    }
    return -1;
}

// The picked device as the list showing it has it: its group as that list's selector names it.
void GroupEditor::showPicked()
{
    TDeviceListView* list = nullptr;
    const int row = pickedRow(&list);
    if (row < 0) return clearPicked();
    const QComboBox* selector = list == m_ui.leftList ? m_ui.leftGroupSelector : m_ui.rightGroupSelector;
    m_ui.oldGroupText->setText(selector->currentText());
    m_ui.oldIdText->setText(QString::number(list->deviceId(row)));
    m_ui.oldNameText->setText(list->deviceName(row));
    // A modify starts from the device as it is: a new name alone renames it, and only a group or an
    // ID typed over re-addresses it.
    if (m_mode == EditMode::Modify) showPickedAsNew(groupOf(selector), list->deviceId(row), list->deviceName(row));
    updateForceModifyWarning();
}

void GroupEditor::showPickedAsNew(int group, int id, const QString& name)
{
    const int entry = m_ui.newGroupSelector->findData(group);
    if (entry >= 0) {
        m_ui.newGroupSelector->setCurrentIndex(entry);
        m_newGroup = group;
    }
    m_ui.newIdEdit->setText(QString::number(id));
    m_ui.newNameEdit->setText(name);
}

// The picked device's row becomes the one selected.
void GroupEditor::selectPicked()
{
    TDeviceListView* list = nullptr;
    const int row = pickedRow(&list);
    for (TDeviceListView* l : {m_ui.leftList, m_ui.rightList})
        if (l != list || row < 0) l->clearSelection();
    if (row >= 0) list->selectRow(row);
}

void GroupEditor::clearPicked()
{
    m_picked.reset();
    m_ui.oldGroupText->clear();
    m_ui.oldIdText->clear();
    m_ui.oldNameText->clear();
}

void GroupEditor::showStatus(const Text& text)
{
    const QString message = pick(text);
    if (message.isNull()) return;
    m_ui.statusLine->setText(message);
    m_statusTimer.start();
}

void GroupEditor::applyForm()
{
    m_ui.advancedPanel->setVisible(m_advanced);
    setFixedSize(m_advanced ? AdvancedWidth : CompactWidth, FormHeight);
    const QString caption = pick(m_advanced ? ToCompact : ToAdvanced);
    if (!caption.isNull()) m_ui.formToggleButton->setText(caption);
}

void GroupEditor::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LanguageChange) retranslate();
    QWidget::changeEvent(event);
}

void GroupEditor::retranslate()
{
    applyTexts(currentLanguage());
}

void GroupEditor::applyTexts(int16_t language)
{
    if (language != 0 && language != 1) return;
    auto text = [language](const Text& t) { return pick(t, language); };
    setWindowTitle(text(Caption));
    m_ui.leftList->setNameHeader(text(NameColumn));
    m_ui.rightList->setNameHeader(text(NameColumn));
    m_ui.groupNameBox->setTitle(text(GroupNameBox));
    m_ui.renameButton->setText(text(RenameButton));
    m_ui.deviceBox->setTitle(text(DeviceBox));
    m_ui.groupRowLabel->setText(text(GroupRow));
    m_ui.nameRowLabel->setText(text(NameRow));
    m_ui.oldColumnLabel->setText(text(OldColumn));
    m_ui.oldColumnLabel->move(OldColumnLeft[language], m_ui.oldColumnLabel->y());
    m_ui.newColumnLabel->setText(text(NewColumn));
    m_ui.newColumnLabel->move(NewColumnLeft[language], m_ui.newColumnLabel->y());
    m_ui.addButton->setText(text(AddButton));
    m_ui.deleteButton->setText(text(DeleteButton));
    m_ui.modifyButton->setText(text(ModifyButton));
    m_ui.forceModifyButton->setText(text(ForceModifyButton));
    m_ui.backupBox->setTitle(text(BackupBox));
    m_ui.backupButton->setText(text(BackupButton));
    m_ui.restoreButton->setText(text(RestoreButton));
    m_ui.undoSearchButton->setText(text(UndoSearchButton));
    m_ui.formToggleButton->setText(text(m_advanced ? ToCompact : ToAdvanced));
    m_ui.exitButton->setText(text(ExitButton));
    updateForceModifyWarning();
}

void GroupEditor::updateForceModifyWarning()
{
    const QString warning = pick(ForceModifyWarning);
    if (warning.isNull()) return;
    m_ui.forceModifyWarning->setText(warning.arg(m_ui.newGroupSelector->currentText(), m_ui.newIdEdit->text()));
}

// ---------------------------------------------------------------- selectors and lists

void GroupEditor::leftGroupChanged(int index)
{
    guarded([this, index] {
        m_leftGroup = m_ui.leftGroupSelector->itemData(index).toInt();
        fillList(m_ui.leftList, *m_leftGroup);
        settlePick(false);
    });
}

void GroupEditor::rightGroupChanged(int index)
{
    guarded([this, index] {
        m_rightGroup = m_ui.rightGroupSelector->itemData(index).toInt();
        fillList(m_ui.rightList, *m_rightGroup);
        settlePick(false);
    });
}

void GroupEditor::leftListClicked()
{
    listClicked(m_ui.leftList, m_ui.rightList);
}

void GroupEditor::rightListClicked()
{
    listClicked(m_ui.rightList, m_ui.leftList);
}

// One selected row picks its device; a row added to the selection leaves the device picked; a
// click beside the rows picks none (the group stays named).
void GroupEditor::listClicked(TDeviceListView* list, TDeviceListView* other)
{
    other->clearSelection();
    const QList<int> rows = list->selectedRowsInOrder();
    if (rows.isEmpty()) {
        m_picked.reset();
        m_ui.oldIdText->clear();
        m_ui.oldNameText->clear();
    } else if (rows.size() == 1) {
        m_picked = list->deviceId(rows.front());
        showPicked();
    }
}

void GroupEditor::leftListDoubleClicked()
{
    if (m_ui.leftList->selectedRowsInOrder().size() > 1) moveRightClicked();
}

void GroupEditor::rightListDoubleClicked()
{
    if (m_ui.rightList->selectedRowsInOrder().size() > 1) moveLeftClicked();
}

// ---------------------------------------------------------------- group names

void GroupEditor::renameGroupPicked(int index)
{
    guarded([this, index] {
        m_renameGroup = m_ui.renameGroupSelector->itemData(index).toInt();
        m_ui.groupNameEdit->setText(storedGroupName(*m_renameGroup));
    });
}

void GroupEditor::renameClicked()
{
    guarded([this] { renameGroup(); });
}

void GroupEditor::renameGroup()
{
    const int groupId = groupOf(m_ui.renameGroupSelector);
    if (groupId == NoGroup) return;
    const QString name = m_ui.groupNameEdit->text();
    if (GbkLength(name) > GroupNameMaxBytes) {
        inform(GroupNameTooLong);
        return;
    }
    TTable& table = groups();
    if (!table.Locate(IdField, groupId)) return;
    const QString before = table.FieldByName(NameField).AsString();
    table.Edit();
    table.SetFieldByName(NameField, name);
    table.Post();
    m_host.recordAction(QStringLiteral("rename"), QStringLiteral("group %1 \"%2\" -> \"%3\"").arg(groupId).arg(before, name));

    m_renameGroup = groupId;  // the refresh keeps the renamed group and its new name in the field
    refreshEditor();
    m_host.rebuildMainLists();
}

// ---------------------------------------------------------------- form and backup

void GroupEditor::formToggleClicked()
{
    m_advanced = !m_ui.advancedPanel->isVisible();
    applyForm();
}

void GroupEditor::backupClicked()
{
    guarded([this] {
        m_host.editorRegister().Backup();
        m_host.recordAction(QStringLiteral("backup"), QStringLiteral("scene %1").arg(m_host.editorRegister().Scene()));
    });
}

// Restoring needs no readable register: it is how a damaged one is mended.
void GroupEditor::restoreClicked()
{
    bool restored = false;
    try {
        m_host.editorRegister().Restore();
        restored = true;
        m_host.recordAction(QStringLiteral("restore"), QStringLiteral("scene %1").arg(m_host.editorRegister().Scene()));
    } catch (const ETableError& error) {
        reportTableError(error);
    }
    if (restored) {
        refreshEditor();
        m_host.rebuildMainLists();
    }
}

// The device table as it was before the last search comes back, as a restore brings a backup back.
void GroupEditor::undoSearchClicked()
{
    TRegister& reg = m_host.editorRegister();
    const QString copy = QDir::toNativeSeparators(reg.BeforeSearchFileName());
    if (!QFileInfo::exists(reg.BeforeSearchFileName())) {
        if (const QString message = pick(NoSearchCopy); !message.isNull()) ShowInformation(this, message.arg(copy));
        return;
    }
    // Re-addressed since: the old table would send frames to addresses that now hold nobody, or
    // another device.
    if (m_host.readdressedSince(QFileInfo(reg.BeforeSearchFileName()).lastModified().toUTC())) {
        if (const QString message = pick(UndoSearchAfterReaddress); !message.isNull()) ShowError(this, message.arg(copy));
        return;
    }
    const QString question = pick(UndoSearchConfirmation);
    if (question.isNull() || !AskConfirmation(this, question.arg(copy))) return;
    // A search still running would empty the table again.
    m_host.stopSearch();
    try {
        reg.RestoreBeforeSearch();
    } catch (const ETableError& error) {
        reportTableError(error);
        return;
    }
    m_host.recordAction(QStringLiteral("restore"),
                        QStringLiteral("scene %1, the device table from before the last search").arg(reg.Scene()));
    refreshEditor();
    m_host.rebuildMainLists();
}

// ---------------------------------------------------------------- shared

void GroupEditor::guarded(const std::function<void()>& action)
{
    if (!registerReady()) return;
    try {
        action();
    } catch (const ETableError& error) {
        reportTableError(error);
    }
}

bool GroupEditor::registerReady()
{
    if (devices().Active() && groups().Active()) return true;
    try {
        m_host.editorRegister().Open();
        return true;
    } catch (const ETableError& error) {
        reportTableError(error);
        return false;
    }
}

void GroupEditor::reportTableError(const ETableError& error)
{
    if (devices().Active() && devices().Editing()) devices().Cancel();
    if (groups().Active() && groups().Editing()) groups().Cancel();
    const QString text = error.Text(currentLanguage());
    if (!text.isEmpty()) ShowError(this, text);
}

void GroupEditor::inform(const Text& text)
{
    const QString message = pick(text);
    if (!message.isNull()) ShowInformation(this, message);
}

bool GroupEditor::portReady()
{
    if (m_host.portOpen()) return true;
    const QString closed = m_host.portClosedText();
    if (closed.isEmpty()) showPortError();
    else ShowError(this, closed);
    return false;
}

void GroupEditor::showPortError()
{
    const QString message = pick(PortError);
    if (!message.isNull()) ShowError(this, message);
}

TTable& GroupEditor::devices()
{
    return m_host.editorRegister().Member_Table;
}

TTable& GroupEditor::groups()
{
    return m_host.editorRegister().Group_Table;
}

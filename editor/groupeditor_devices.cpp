// The device box of the editor and the moves between the two lists: adding and deleting change the
// register alone; modify, force-modify and the moves also re-address the devices on the bus.
#include "editor/groupeditor.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <optional>
#include <vector>

#include "common/busaddress.h"
#include "common/gbk.h"
#include "ui/messages.h"
#include "editor/editorhost.h"
#include "editor/editorwidgets.h"
#include "editor/groupeditor_texts.h"
#include "register/register.h"

using namespace groupset;

namespace {

const QString IdField = QStringLiteral("ID");
const QString NameField = QStringLiteral("Name");
const QString GroupField = QStringLiteral("Group_ID");


// Text of decimal digits only, as a number; none for anything else (a sign, a space, a letter, a
// number too large for an int).
std::optional<int> digitsValue(const QString& text)
{
    if (text.isEmpty()
        || !std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    bool number = false;
    const int value = text.toInt(&number);
    return number ? std::optional<int>(value) : std::nullopt;
}

struct DeviceRecord {
    int id = 0;
    QString name;
    int group = 0;
};

DeviceRecord currentRecord(TTable& table)
{
    return {table.FieldByName(IdField).AsInteger(), table.FieldByName(NameField).AsString(),
            table.FieldByName(GroupField).AsInteger()};
}

void writeFields(TTable& table, const DeviceRecord& record)
{
    table.SetFieldByName(IdField, record.id);
    table.SetFieldByName(NameField, record.name);
    table.SetFieldByName(GroupField, record.group);
    table.Post();
}

// Puts records back as they were before a change the bus did not take: the record now holding
// `changedId` goes, the earlier ones return. A failure here leaves the rest as it is; the failure
// that caused the undo (or the port message) is what the user is told.
void putBack(TTable& table, std::optional<int> changedId, const std::vector<DeviceRecord>& before)
{
    try {
        if (table.Editing()) table.Cancel();
        if (changedId && table.Locate(IdField, *changedId)) table.Delete();
        for (const DeviceRecord& record : before) {
            if (table.Locate(IdField, record.id))
                table.Edit();
            else
                table.Append();
            writeFields(table, record);
        }
    } catch (const ETableError&) {
    }
}

// A failed post leaves the records already moved in a batch as they were.
void putBackGroups(TTable& table, const std::vector<DeviceRecord>& before)
{
    try {
        if (table.Editing()) table.Cancel();
        for (const DeviceRecord& record : before) {
            if (!table.Locate(IdField, record.id)) continue;
            table.Edit();
            table.SetFieldByName(GroupField, record.group);
            table.Post();
        }
    } catch (const ETableError&) {
    }
}

}  // namespace

// ---------------------------------------------------------------- modes and fields

void GroupEditor::modeSelected(int mode, bool checked)
{
    if (!checked) return;
    m_mode = static_cast<EditMode>(mode);
    applyMode();
}

void GroupEditor::applyMode()
{
    m_ui.modifyButton->setEnabled(m_mode == EditMode::Modify);
    m_ui.forceModifyButton->setEnabled(m_mode == EditMode::ForceModify);
    m_ui.addButton->setEnabled(m_mode == EditMode::Add);
    m_ui.deleteButton->setEnabled(m_mode == EditMode::Delete);
    // The old information matters only where the operation starts from a device in the register.
    const bool fromOld = m_mode == EditMode::Modify || m_mode == EditMode::Delete;
    for (QWidget* w : {static_cast<QWidget*>(m_ui.oldGroupText), static_cast<QWidget*>(m_ui.oldIdText),
                       static_cast<QWidget*>(m_ui.oldNameText), static_cast<QWidget*>(m_ui.idArrow)})
        w->setEnabled(fromOld);
    if (m_mode == EditMode::ForceModify) updateForceModifyWarning();
    m_ui.forceModifyWarning->setVisible(m_mode == EditMode::ForceModify);
}

void GroupEditor::newIdChanged()
{
    updateForceModifyWarning();
}

void GroupEditor::newGroupChanged(int index)
{
    m_newGroup = m_ui.newGroupSelector->itemData(index).toInt();
    updateForceModifyWarning();
}

// Enter in the name field adds, whatever the mode, and moves the old ID on by one for the next.
void GroupEditor::newNameReturnPressed()
{
    addClicked();
    bool number = false;
    const int id = m_ui.oldIdText->text().toInt(&number);
    if (number) m_ui.oldIdText->setText(QString::number(id + 1));
}

bool GroupEditor::deviceNameFits()
{
    if (GbkLength(m_ui.newNameEdit->text()) <= DeviceNameMaxBytes) return true;
    inform(DeviceNameTooLong);
    return false;
}

std::optional<int> GroupEditor::newDeviceId(const Text& emptyText, const Text& zeroText, bool markField)
{
    const QString text = m_ui.newIdEdit->text();
    if (text.isEmpty()) {
        inform(emptyText);
        return std::nullopt;
    }
    // The field takes three digits as typed; text put there otherwise is checked all the same.
    const std::optional<int> id = digitsValue(text);
    if (id && *id >= LowestDeviceId && *id <= HighestDeviceId) return id;
    inform(id == 0 ? zeroText : IdDigitsOnly);
    if (markField) {
        m_ui.newIdEdit->setFocus();
        m_ui.newIdEdit->selectAll();
    }
    return std::nullopt;
}

// A register converted from earlier versions may hold a device 0: its frame would reach the whole
// group, so such a device is never re-addressed on its own.
bool GroupEditor::addressable(int id)
{
    if (id >= LowestDeviceId && id <= HighestDeviceId) return true;
    const QString message = pick(IdNotAddressable);
    if (!message.isNull()) ShowInformation(this, message.arg(id));
    return false;
}

// ---------------------------------------------------------------- add

void GroupEditor::addClicked()
{
    guarded([this] { addDevice(); });
}

void GroupEditor::addDevice()
{
    const std::optional<int> id = newDeviceId(MemberIdEmpty, AddIdZero, false);
    if (!id) return;
    TTable& table = devices();
    if (table.Locate(IdField, *id)) return inform(MemberIdExists);
    if (!deviceNameFits()) return;
    table.Append();
    writeFields(table, {*id, m_ui.newNameEdit->text(), newGroup()});
    m_host.recordAction(QStringLiteral("add"), QStringLiteral("device %1:%2 \"%3\"").arg(newGroup()).arg(*id).arg(m_ui.newNameEdit->text()),
                        {{newGroup(), *id}});

    refreshEditor();
    m_host.showMainAgain();
}

// ---------------------------------------------------------------- delete

void GroupEditor::deleteClicked()
{
    guarded([this] { deleteDevices(); });
}

void GroupEditor::deleteDevices()
{
    TTable& table = devices();
    if (!m_ui.leftList->selectedRowsInOrder().isEmpty() || !m_ui.rightList->selectedRowsInOrder().isEmpty()) {
        deleteSelectedRows(m_ui.leftList);
        deleteSelectedRows(m_ui.rightList);
    } else if (!m_ui.newIdEdit->text().isEmpty()) {
        // The device as typed into the three new-value fields; all three must match the register.
        // Deleting touches no frame: a stray device 0 of a converted register can go this way too.
        const std::optional<int> typedId = digitsValue(m_ui.newIdEdit->text());
        if (!typedId || !table.Locate(IdField, *typedId)) return inform(DeviceNotFound);
        const int id = *typedId;
        const DeviceRecord found = currentRecord(table);
        if (found.group != newGroup() || found.name != m_ui.newNameEdit->text())
            return inform(DeviceInfoWrong);
        table.Delete();
        m_host.recordAction(QStringLiteral("delete"), QStringLiteral("device %1:%2 \"%3\"").arg(found.group).arg(id).arg(found.name),
                            {{found.group, id}});
        for (TDeviceListView* list : {m_ui.leftList, m_ui.rightList})
            if (const int row = list->rowOf(id); row >= 0) list->removeRow(row);
    }

    // A device picked that is gone gives way to the first of the left list.
    settlePick(true);
    // The main window's list follows at once, so no row stands for a device that is gone.
    m_host.rebuildMainLists();
}

// Each selected row's device leaves the register and the row the list. A row whose device is no
// longer in the register (a search emptied it meanwhile) just goes.
void GroupEditor::deleteSelectedRows(TDeviceListView* list)
{
    TTable& table = devices();
    const QList<int> rows = list->selectedRowsInOrder();
    for (auto row = rows.crbegin(); row != rows.crend(); ++row) {
        if (table.Locate(IdField, list->deviceId(*row))) {
            const DeviceRecord gone = currentRecord(table);
            table.Delete();
            m_host.recordAction(QStringLiteral("delete"),
                                QStringLiteral("device %1:%2 \"%3\"").arg(gone.group).arg(gone.id).arg(gone.name),
                                {{gone.group, gone.id}});
        }
        list->removeRow(*row);
    }
}

// ---------------------------------------------------------------- modify

void GroupEditor::modifyClicked()
{
    guarded([this] { modifyDevice(); });
}

// Gives the device of the old information the new group, ID and name. A new name alone is the
// register's business; a new group or ID re-addresses the device on the bus, once the operator has
// seen which frames will no longer reach it.
void GroupEditor::modifyDevice()
{
    if (m_ui.oldIdText->text().isEmpty()) return inform(ModifyIdEmpty);
    const std::optional<int> typedId = newDeviceId(ModifyIdEmpty, ModifyIdZero, true);
    if (!typedId) return;
    const int newId = *typedId;
    // The device is the one whose ID is shown, wherever its record is now.
    const int oldId = m_ui.oldIdText->text().toInt();
    TTable& table = devices();
    if (newId != oldId && table.Locate(IdField, newId)) {
        const DeviceRecord holder = currentRecord(table);
        const QString message = pick(ModifyIdTaken);
        if (!message.isNull())
            ShowInformation(this, message.arg(groupLabel(holder.group), m_ui.newIdEdit->text(), holder.name));
        return;
    }
    if (!table.Locate(IdField, oldId)) return inform(DeviceNotFound);
    const DeviceRecord before = currentRecord(table);
    if (!deviceNameFits()) return;
    const DeviceRecord after{newId, m_ui.newNameEdit->text(), newGroup()};
    const bool readdress = after.group != before.group || after.id != before.id;
    if (!readdress) {
        if (after.name != before.name) renameDevice(before.group, before.id, before.name, after.name);
        return;
    }
    if (!addressable(oldId) || !portReady()) return;
    const QString question = pick(after.group != before.group ? ReaddressGroupConfirmation : ReaddressIdConfirmation);
    if (question.isNull()
        || !AskConfirmation(this, question.arg(groupLabel(before.group), QString::number(before.id),
                                               groupLabel(after.group), QString::number(after.id), before.name)))
        return;

    table.Locate(IdField, oldId);
    table.Edit();
    writeFields(table, after);
    // The frame reaches the device where the register has it now.
    if (!m_host.sendReaddress(before.group, before.id, after.group, after.id)) {
        putBack(table, after.id, {before});
        showPortError();
        return;
    }
    if (after.name != before.name)
        m_host.recordAction(QStringLiteral("rename"),
                            QStringLiteral("device %1:%2 \"%3\" -> \"%4\"").arg(after.group).arg(after.id).arg(before.name, after.name),
                            {{after.group, after.id}});
    showModified(after.id);
}

// A rename touches no frame: the device keeps its address, and the port may be closed.
void GroupEditor::renameDevice(int group, int id, const QString& oldName, const QString& name)
{
    TTable& table = devices();
    table.Locate(IdField, id);
    table.Edit();
    writeFields(table, {id, name, group});
    m_host.recordAction(QStringLiteral("rename"),
                        QStringLiteral("device %1:%2 \"%3\" -> \"%4\"").arg(group).arg(id).arg(oldName, name),
                        {{group, id}});
    showModified(id);
}

// The device stays picked at its address, selected where a list shows it; shown in neither list,
// nothing is picked.
void GroupEditor::showModified(int id)
{
    m_picked = id;
    refreshEditor(false);
    selectPicked();
    m_host.rebuildMainLists();
}

// ---------------------------------------------------------------- force-modify

void GroupEditor::forceModifyClicked()
{
    guarded([this] { forceModifyDevice(); });
}

// Gives whatever device hears a broadcast the new group and ID: meant for a single device on
// the bus whose address is not known. Every device on the bus hears it, so the operator confirms
// first. The register ends with one record for the new ID: the shown device's record when there
// is one, else a new record.
void GroupEditor::forceModifyDevice()
{
    const std::optional<int> typedId = newDeviceId(MemberIdEmpty, ModifyIdZero, true);
    if (!typedId) return;
    const int newId = *typedId;
    TTable& table = devices();
    const bool oldShown = !m_ui.oldIdText->text().isEmpty();
    const int oldId = m_ui.oldIdText->text().toInt();
    if (!deviceNameFits() || !portReady()) return;
    const QString question = pick(ForceModifyConfirmation);
    if (question.isNull()
        || !AskConfirmation(this, question.arg(m_ui.newGroupSelector->currentText(), QString::number(newId))))
        return;

    std::vector<DeviceRecord> before;
    if (oldShown && table.Locate(IdField, oldId)) before.push_back(currentRecord(table));
    if (newId != oldId && table.Locate(IdField, newId)) before.push_back(currentRecord(table));

    const DeviceRecord after{newId, m_ui.newNameEdit->text(), newGroup()};
    try {
        if (table.Locate(IdField, newId)) table.Delete();
        if (oldShown && table.Locate(IdField, oldId))
            table.Edit();
        else
            table.Append();
        writeFields(table, after);
    } catch (const ETableError&) {
        putBack(table, std::nullopt, before);
        throw;
    }
    if (!m_host.sendReaddress(BroadcastGroup, 0, after.group, after.id)) {
        putBack(table, after.id, before);
        showPortError();
        return;
    }
    // The record written is the device picked now, at its new address.
    showModified(after.id);
}

// ---------------------------------------------------------------- moves

// "->": the selected devices of the left list join the right group. The status poll stops first
// so its queries do not cross the re-address frames.
void GroupEditor::moveRightClicked()
{
    m_host.stopPoll();
    guarded([this] {
        moveDevices(m_ui.leftList, groupOf(m_ui.leftGroupSelector), groupOf(m_ui.rightGroupSelector));
    });
}

// "<-": the selected devices of the right list join the left group.
void GroupEditor::moveLeftClicked()
{
    guarded([this] {
        moveDevices(m_ui.rightList, groupOf(m_ui.rightGroupSelector), groupOf(m_ui.leftGroupSelector));
    });
}

void GroupEditor::moveDevices(TDeviceListView* source, int sourceGroup, int targetGroup)
{
    const QList<int> rows = source->selectedRowsInOrder();
    if (sourceGroup != targetGroup && sourceGroup != NoGroup && targetGroup != NoGroup && !rows.isEmpty()) {
        for (int row : rows)
            if (!addressable(source->deviceId(row))) return;
        if (!portReady()) return;
        TTable& table = devices();
        // Each device's record as it was; a device no longer in the register still gets its frame.
        std::vector<DeviceRecord> before;
        QList<int> ids;
        try {
            for (int row : rows) {
                const int id = source->deviceId(row);
                ids.append(id);
                if (!table.Locate(IdField, id)) continue;
                before.push_back(currentRecord(table));
                table.Edit();
                table.SetFieldByName(GroupField, targetGroup);
                table.Post();
            }
        } catch (const ETableError&) {
            putBackGroups(table, before);
            throw;
        }
        bool sent = false;
        if (ids.size() == 1) {
            const int fromGroup = before.empty() ? sourceGroup : before.front().group;
            sent = m_host.sendReaddress(fromGroup, ids.front(), targetGroup, ids.front());
        } else {
            sent = m_host.sendReaddressBatch(sourceGroup, targetGroup, ids);
        }
        if (!sent) {
            putBackGroups(table, before);
            showPortError();
            return;
        }
    }
    refreshLists();
    settlePick(false);
    m_host.rebuildMainLists();
}

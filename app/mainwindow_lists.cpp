// The main window's device list and group filter.
#include "app/mainwindow.h"

#include <QComboBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>

#include <QHash>

#include <cstdio>
#include <vector>

#include "access/adminpassworddialog.h"
#include "app/engineface.h"
#include "app/mainwindow_texts.h"
#include "app/widgets.h"
#include "ui/messages.h"
#include "common/state.h"

using namespace mainwindow;

namespace {

// Paints the list once when a rebuild is over, however it ended.
class UpdatesPaused {
public:
    explicit UpdatesPaused(QWidget* w) : m_widget(w) { m_widget->setUpdatesEnabled(false); }
    ~UpdatesPaused() { m_widget->setUpdatesEnabled(true); }
    UpdatesPaused(const UpdatesPaused&) = delete;
    UpdatesPaused& operator=(const UpdatesPaused&) = delete;

private:
    QWidget* m_widget;
};

} // namespace

// ---------------------------------------------------------------- device list and group filter

void MainWindow::setGroupHeader()
{
    // The filter leaves the group column and its header empty in a group's own view.
    m_filter->setGroup(GroupFilter > 0 ? std::optional<int>(groupIdOfEntry(GroupFilter)) : std::nullopt);
}

int MainWindow::groupIdOfEntry(int entry) const
{
    const QListWidgetItem* item = entry >= 0 ? m_ui.groupList->item(entry) : nullptr;
    return item ? item->data(GroupIdRole).toInt() : -1;
}

QString MainWindow::groupTextOf(const QHash<int, QString>& names, int groupId, bool storedUngroupedName)
{
    // A device whose group has no record is shown as ungrouped.
    const auto name = names.constFind(groupId);
    if (groupId == 0 || name == names.constEnd()) {
        if (storedUngroupedName && CurLanguage == 0 && names.contains(0)) return names.value(0);
        return pick(TextUngrouped);
    }
    return GroupLabel(groupId, *name);
}

QHash<int, QString> MainWindow::groupNames()
{
    QHash<int, QString> names;
    for (const auto& [id, name] : m_session->readGroups())
        if (!names.contains(id)) names.insert(id, name);
    return names;
}

void MainWindow::refreshLists()
{
    if (!m_register.Member_Table.Active() || !m_register.Group_Table.Active()) return;
    try {
        rebuildLists();
    } catch (const std::exception& e) {
        // The window stays up with whatever was built.
        reportTableError(e);
    }
}

void MainWindow::rebuildLists()
{
    m_engine.prepareRebuild();

    // Each entry keeps the group ID it stands for: groups are named and addressed by their ID,
    // whatever their place in the table.
    m_ui.groupList->clear();
    m_ui.groupList->addEntry(pick(TextAllUnits))->setData(GroupIdRole, -1);
    m_ui.groupList->addEntry(pick(TextUngroupedEntry))->setData(GroupIdRole, 0);
    for (const auto& [groupId, name] : m_session->readGroups()) {
        if (groupId == 0) continue; // the ungrouped record has its fixed entry
        char number[16];
        std::snprintf(number, sizeof number, "%3d", groupId);
        m_ui.groupList->addEntry(QString::fromLatin1(number) + QLatin1Char('-') + name)->setData(GroupIdRole, groupId);
    }

    UpdatesPaused paused(m_ui.deviceList);
    if (GroupFilter >= m_ui.groupList->count()) GroupFilter = 0; // its group is gone
    setGroupHeader();
    // The list is filled once; every group's label is looked up once.
    const QHash<int, QString> names = groupNames();
    std::vector<DeviceRow> rows = m_session->readDevices();
    for (DeviceRow& row : rows) row.groupText = groupTextOf(names, row.group, false);
    m_session->devices().setDevices(std::move(rows));

    m_ui.groupList->setCurrentRow(GroupFilter);
    if (m_ui.deviceList->rowCount() > 0) m_engine.startPoll();
}

void MainWindow::groupClicked()
{
    if (!m_register.Member_Table.Active() || !m_register.Group_Table.Active()) return;
    try {
        showGroup();
    } catch (const std::exception& e) {
        reportTableError(e);
    }
}

void MainWindow::showGroup()
{
    m_engine.endSearchForGroupClick();

    GroupFilter = static_cast<uint8_t>(std::max(0, m_ui.groupList->currentRow()));
    if (m_ui.groupList->checked(0))
        for (int i = 1; i < m_ui.groupList->count(); ++i) m_ui.groupList->setChecked(i, false);

    {
        UpdatesPaused paused(m_ui.deviceList);
        // The list of every device shows the stored name of the ungrouped record.
        const QHash<int, QString> names = groupNames();
        std::vector<DeviceRow> rows = m_session->readDevices();
        if (GroupFilter == 0)
            for (DeviceRow& row : rows) row.groupText = groupTextOf(names, row.group, true);
        m_session->devices().setDevices(std::move(rows));
        setGroupHeader();
    }

    if (m_ui.deviceList->rowCount() > 0) {
        m_engine.endProgress();
        m_engine.startPoll();
    }
    if (m_ui.groupList->checked(m_ui.groupList->currentRow())) m_ui.deviceList->selectAll();
}

void MainWindow::groupDoubleClicked()
{
    const int entry = m_ui.groupList->currentRow();
    if (entry < 0) return;
    if (m_ui.groupList->checked(entry)) {
        m_ui.groupList->setChecked(entry, false);
        m_ui.deviceList->clearSelection();
        return;
    }
    m_ui.groupList->setChecked(entry, true);
    if (m_ui.groupList->checked(0)) {
        for (int i = 1; i < m_ui.groupList->count(); ++i) m_ui.groupList->setChecked(i, false);
    } else {
        m_ui.deviceList->selectAll();
    }
}

void MainWindow::deviceListClicked()
{
    m_engine.stopSelfCheck();
    const int entry = m_ui.groupList->currentRow();
    const int selected = int(m_ui.deviceList->selectionModel()->selectedRows().size());
    if (entry >= 0) m_ui.groupList->setChecked(entry, selected == m_ui.deviceList->rowCount());
    if (selected == 0) {
        m_ui.deviceList->clearSelection();
        if (entry >= 0) m_ui.groupList->setChecked(entry, false);
    }
}

void MainWindow::deviceSelectionChanged()
{
    // Selecting every row, by hand or with the keyboard, checks the group's entry.
    const int rows = m_ui.deviceList->rowCount();
    if (rows == 0 || int(m_ui.deviceList->selectionModel()->selectedRows().size()) != rows) return;
    if (m_ui.groupList->currentRow() < 0 && m_ui.groupList->count() > 0) m_ui.groupList->setCurrentRow(0);
    if (m_ui.groupList->currentRow() >= 0) m_ui.groupList->setChecked(m_ui.groupList->currentRow(), true);
}

void MainWindow::groupsClicked()
{
    m_engine.stopSelfCheck();
    m_engine.stopSearch();
    // An operator needs the administrator password first; nobody logged in gets nothing.
    if (UserMode == ModeOperator) m_administratorDialog->showAdmPSW();
    else if (UserMode == ModeAdministrator || UserMode == ModeSuperUser) openGroupEditor();
}


// The main window's device list and group filter.
#include "app/mainwindow.h"

#include <QItemSelectionModel>

#include <vector>

#include "access/adminpassworddialog.h"
#include "app/engineface.h"
#include "app/scenelists.h"
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
    m_filter->setGroup(m_shownEntry > 0 ? std::optional<int>(m_ui.groupList->groupOf(m_shownEntry)) : std::nullopt);
}

void MainWindow::refreshLists()
{
    if (!m_session->sceneOpen()) return;
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

    FillGroupEntries(*m_ui.groupList, m_session->readGroups());
    UpdatesPaused paused(m_ui.deviceList);
    if (m_shownEntry >= m_ui.groupList->count()) m_shownEntry = 0; // its group is gone
    setGroupHeader();
    m_session->devices().setDevices(LabelledDevices(*m_session, false));

    m_ui.groupList->setCurrentRow(m_shownEntry);
    if (m_ui.deviceList->rowCount() > 0) m_engine.startPoll();
}

void MainWindow::groupClicked()
{
    if (!m_session->sceneOpen()) return;
    try {
        showGroup();
    } catch (const std::exception& e) {
        reportTableError(e);
    }
}

void MainWindow::showGroup()
{
    m_engine.endSearchForGroupClick();

    m_shownEntry = std::max(0, m_ui.groupList->currentRow());
    if (m_ui.groupList->checked(0))
        for (int i = 1; i < m_ui.groupList->count(); ++i) m_ui.groupList->setChecked(i, false);

    {
        UpdatesPaused paused(m_ui.deviceList);
        // The list of every device shows the stored name of the ungrouped record; a group's own
        // view shows no group column.
        m_session->devices().setDevices(m_shownEntry == 0 ? LabelledDevices(*m_session, true) : m_session->readDevices());
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
    if (m_passwords.level() == ModeOperator) m_administratorDialog->showAdmPSW();
    else if (m_passwords.level() == ModeAdministrator || m_passwords.level() == ModeSuperUser) openGroupEditor();
}


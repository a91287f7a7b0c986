#include "app/editorlink.h"

#include <vector>

#include "app/mainwindow.h"

TRegister& MainEditorHost::editorRegister()
{
    return m_form.Register;
}

bool MainEditorHost::portOpen() const
{
    return m_form.Comm1.isOpen();
}

bool MainEditorHost::sendReaddress(int group, int id, int newGroup, int newId)
{
    return m_form.Engine->sendReaddress(group, id, newGroup, newId);
}

bool MainEditorHost::sendReaddressBatch(int sourceGroup, int targetGroup, const QList<int>& ids)
{
    return m_form.Engine->sendReaddressBatch(sourceGroup, targetGroup, std::vector<int>(ids.begin(), ids.end()));
}

void MainEditorHost::stopPoll()
{
    m_form.Engine->stopPoll();
}

void MainEditorHost::rebuildMainLists()
{
    if (m_form.closing()) return; // the editor closes with the main window
    m_form.ListRefresh();
}

void MainEditorHost::showMainAgain()
{
    m_form.FormShow();
}

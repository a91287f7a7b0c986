#include "app/editorlink.h"

#include <vector>

#include "app/mainwindow.h"

TRegister& MainEditorHost::editorRegister()
{
    return m_form.session().deviceRegister();
}

bool MainEditorHost::portOpen() const
{
    return m_form.session().port().isOpen();
}

bool MainEditorHost::sendReaddress(int group, int id, int newGroup, int newId)
{
    return m_form.session().engine().sendReaddress(group, id, newGroup, newId);
}

bool MainEditorHost::sendReaddressBatch(int sourceGroup, int targetGroup, const QList<int>& ids)
{
    return m_form.session().engine().sendReaddressBatch(sourceGroup, targetGroup, std::vector<int>(ids.begin(), ids.end()));
}

void MainEditorHost::stopPoll()
{
    m_form.session().engine().stopPoll();
}

void MainEditorHost::rebuildMainLists()
{
    if (m_form.closing()) return; // the editor closes with the main window
    m_form.refreshLists();
}

void MainEditorHost::showMainAgain()
{
    m_form.openScene();
}

#include "app/editorlink.h"

#include <vector>

#include "audit/auditlog.h"
#include "core/session.h"

TRegister& SessionEditorHost::editorRegister()
{
    return m_session.deviceRegister();
}

bool SessionEditorHost::portOpen() const
{
    return m_session.port().isOpen();
}

bool SessionEditorHost::sendReaddress(int group, int id, int newGroup, int newId)
{
    return m_session.engine().sendReaddress(group, id, newGroup, newId);
}

bool SessionEditorHost::sendReaddressBatch(int sourceGroup, int targetGroup, const QList<int>& ids)
{
    return m_session.engine().sendReaddressBatch(sourceGroup, targetGroup, std::vector<int>(ids.begin(), ids.end()));
}

bool SessionEditorHost::readdressedSince(const QDateTime& when) const
{
    // The audit record has every re-address, the window's and tarvello-ctl's.
    const AuditFilter readdresses { when, std::nullopt, { QStringLiteral("readdress") }, std::nullopt };
    return !m_session.audit().rows(readdresses).empty();
}

void SessionEditorHost::stopPoll()
{
    m_session.engine().stopPoll();
}

void SessionEditorHost::stopSearch()
{
    m_session.engine().stopSearch();
}

void SessionEditorHost::rebuildMainLists()
{
    m_session.announceRegisterChange();
}

void SessionEditorHost::showMainAgain()
{
    m_session.announceSceneChange();
}

void SessionEditorHost::recordAction(const QString& action, const QString& detail,
                                     const std::vector<std::pair<int, int>>& devices)
{
    m_session.auditTrail().record(action, detail, devices);
}

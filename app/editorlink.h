// The group editor's way to the session: the register, the bus through the control engine, and
// the word that the register changed, which every list of it follows. It never reaches a window.
#pragma once

#include <functional>

#include <QString>

#include "editor/editorhost.h"

class Session;

class SessionEditorHost : public EditorHost {
public:
    explicit SessionEditorHost(Session& session) : m_session(session) {}

    TRegister& editorRegister() override;
    bool portOpen() const override;
    QString portClosedText() const override { return closedText ? closedText() : QString(); }
    std::function<QString()> closedText;
    bool sendReaddress(int group, int id, int newGroup, int newId) override;
    bool sendReaddressBatch(int sourceGroup, int targetGroup, const QList<int>& ids) override;
    bool readdressedSince(const QDateTime& when) const override;
    void stopPoll() override;
    void stopSearch() override;
    void rebuildMainLists() override;
    void showMainAgain() override;
    void recordAction(const QString& action, const QString& detail,
                      const std::vector<std::pair<int, int>>& devices) override;

private:
    Session& m_session;
};

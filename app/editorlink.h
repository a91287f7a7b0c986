// The editor's way to the main window: the register, the bus through the control engine, and the
// main lists.
#pragma once

#include "editor/editorhost.h"

class MainWindow;

class MainEditorHost : public EditorHost {
public:
    explicit MainEditorHost(MainWindow& form) : m_form(form) {}

    TRegister& editorRegister() override;
    bool portOpen() const override;
    bool sendReaddress(int group, int id, int newGroup, int newId) override;
    bool sendReaddressBatch(int sourceGroup, int targetGroup, const QList<int>& ids) override;
    void stopPoll() override;
    void rebuildMainLists() override;
    void showMainAgain() override;

private:
    MainWindow& m_form;
};

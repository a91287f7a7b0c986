// What the main window shows and says of the control engine's work: the rows' on-line images,
// the search and self-check captions, the progress bar over the status bar, the traffic log and
// the engine's messages in the current language. It also hands the engine the window's choice
// (the ticked groups and the selected rows) as the targets of a press.
#pragma once

#include <QObject>

#include <cstdint>
#include <vector>

#include "protocol/engine.h"

class QProgressBar;
class MainWindow;
struct MainControls;

class EngineFace : public QObject {
public:
    EngineFace(MainWindow& form, ControlEngine& engine, DeviceRegister& reg);

    // What the group list and the device list choose now.
    Selection chosen() const;
    Targets targets(uint8_t command) const;
    // The line under the motion buttons: what a press moves now, or what the self-check drives.
    QString targetLineText() const;
    // The buttons.
    void press(uint8_t command);
    void searchClicked();
    void selfCheckClicked();

    // Every row off line (the port went away).
    void markAllOffLine();
    QProgressBar* progressBar() const { return m_progressBar; }
    // Groups and devices as the operator reads them ("group 3, device 7 (group 2)").
    static QString namedTargets(const Targets& targets);

private:
    const MainControls& ui() const;
    void showProgress(int maximum, int position);
    void moveProgress(int position);
    void hideProgress();
    void searchRunningChanged(bool running);
    void selfCheckRunningChanged(bool running);
    void showSearchProgress(int cursor, int end);
    void addSearchedDevice(int group, int id);
    void information(EngineMessage message);
    void readdressUnanswered(const std::vector<int>& ids);
    void readdressShared(const std::vector<std::pair<int, int>>& addresses);
    void targetsNotInRegister(const std::vector<int>& ids);

    MainWindow& m_form;
    ControlEngine& m_engine;
    DeviceRegister& m_reg;
    QProgressBar* m_progressBar = nullptr;
};

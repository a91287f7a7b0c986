// What the control engine sees of the main window: the device list, the group check-list, the
// search and self-check controls, the progress bar over the status bar, the traffic log and the
// window's message boxes in the current language.
#pragma once

#include "protocol/engine.h"

class QProgressBar;
class MainWindow;
struct MainControls;

class WindowEngineView : public EngineView {
public:
    explicit WindowEngineView(MainWindow& form);
    ~WindowEngineView() override;

    int rowCount() const override;
    int rowId(int row) const override;
    void setRowOnline(int row, bool online) override;
    bool rowSelected(int row) const override;
    int selectedCount() const override;
    void clearRows() override;
    void addSearchedDevice(int id, int group) override;
    std::optional<int> rowGroup(int row) const override;
    int groupEntryCount() const override;
    int groupEntryGroup(int entry) const override;
    bool groupEntryChecked(int entry) const override;
    int highlightedGroupEntry() const override;
    QString rangeStartText() const override;
    QString rangeEndText() const override;
    void setRangeTexts(const QString& start, const QString& end) override;
    QString periodText() const override;
    void setPeriodText(const QString& text) override;
    void searchRunningChanged(bool running) override;
    void selfCheckRunningChanged(bool running) override;
    void showSearchProgress(int cursor, int end) override;
    bool progressBarExists() const override;
    void createProgressBar(int maximum, int position) override;
    void setProgressBar(int position) override;
    void destroyProgressBar() override;
    void logFrame(bool transmitted, const uint8_t* bytes, int count) override;
    bool portOpen() const override;
    void information(EngineMessage message) override;
    bool confirm(EngineMessage message) override;
    void readdressUnanswered(const std::vector<int>& ids) override;
    void readdressShared(const std::vector<std::pair<int, int>>& addresses) override;
    void readdressDropped(const std::vector<ReaddressMove>& moves) override;
    void targetsNotInRegister(const std::vector<int>& ids) override;
    void logDropped(const uint8_t* bytes, int count) override;
    void motionTargetsChanged() override;

    QProgressBar* progressBar() const { return m_progressBar; }

private:
    const MainControls& ui() const;

    MainWindow& m_form;
    QProgressBar* m_progressBar = nullptr;
};

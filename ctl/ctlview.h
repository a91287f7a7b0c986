#pragma once
// The device list, group check-list and fields of tarvello-ctl, kept in memory: what the window
// shows with widgets, the command line sets from its arguments and reads back when the engine
// is done. Modal messages become notes the session turns into its report and exit status.

#include "protocol/engine.h"

#include <QString>

#include <optional>
#include <utility>
#include <vector>

struct CtlRow {
    int id = 0;
    bool selected = false;
    std::optional<bool> online; // unset until the engine marks the row
};

class CtlView : public EngineView {
public:
    std::vector<CtlRow> rows;
    std::vector<bool> checked = std::vector<bool>(17, false); // entry 0 all devices, entry i group i-1
    int highlighted = -1;
    QString rangeStart = QStringLiteral("1"), rangeEnd = QStringLiteral("999");
    bool portIsOpen = false;

    std::vector<std::pair<int, int>> searched; // (id, group), in the order found
    std::vector<EngineMessage> messages;
    std::vector<int> unanswered;
    bool unansweredReported = false;

    int rowCount() const override { return int(rows.size()); }
    int rowId(int row) const override { return hasRow(row) ? rows[size_t(row)].id : 0; }
    void setRowOnline(int row, bool online) override
    {
        if (hasRow(row))
            rows[size_t(row)].online = online;
    }
    bool rowSelected(int row) const override { return hasRow(row) && rows[size_t(row)].selected; }
    int selectedCount() const override
    {
        int n = 0;
        for (const CtlRow& r : rows)
            n += r.selected ? 1 : 0;
        return n;
    }
    void clearRows() override { rows.clear(); }
    void addSearchedDevice(int id, int group) override
    {
        searched.emplace_back(id, group);
        rows.push_back({ id, false, true });
    }
    int groupEntryCount() const override { return int(checked.size()); }
    bool groupEntryChecked(int entry) const override
    {
        return entry >= 0 && entry < groupEntryCount() && checked[size_t(entry)];
    }
    int highlightedGroupEntry() const override { return highlighted; }
    QString rangeStartText() const override { return rangeStart; }
    QString rangeEndText() const override { return rangeEnd; }
    void setRangeTexts(const QString& start, const QString& end) override
    {
        rangeStart = start;
        rangeEnd = end;
    }
    // No self-check here: the period field stays at its default.
    QString periodText() const override { return QStringLiteral("60"); }
    void setPeriodText(const QString&) override {}
    void searchRunningChanged(bool) override {}
    void selfCheckRunningChanged(bool) override {}
    void showSearchProgress(int, int) override {}
    bool progressBarExists() const override { return m_bar; }
    void createProgressBar(int, int) override { m_bar = true; }
    void setProgressBar(int) override {}
    void destroyProgressBar() override { m_bar = false; }
    void logFrame(bool, const uint8_t*, int) override {}
    bool portOpen() const override { return portIsOpen; }
    void information(EngineMessage message) override { messages.push_back(message); }
    // The command line asked before the engine runs (or was told --yes).
    bool confirm(EngineMessage message) override
    {
        messages.push_back(message);
        return true;
    }
    void readdressUnanswered(const std::vector<int>& ids) override
    {
        unanswered.insert(unanswered.end(), ids.begin(), ids.end());
        unansweredReported = true;
    }

    bool told(EngineMessage message) const
    {
        for (EngineMessage m : messages)
            if (m == message)
                return true;
        return false;
    }

private:
    bool hasRow(int row) const { return row >= 0 && row < rowCount(); }
    bool m_bar = false;
};

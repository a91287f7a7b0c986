#pragma once
// An in-memory stand-in for the main window's lists, fields and messages, and
// for the device table, as the control engine sees them. It records what the
// engine does to it, so the engine can be driven and observed without widgets
// (benchmark, unit and end-to-end tests).

#include "protocol/engine.h"

#include <QElapsedTimer>

#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace tarvello {

struct MemoryRow {
    int id = 0;
    bool selected = false;
    std::optional<bool> online; // unset until the poll marks the row
    qint64 markedAtMs = -1;     // clock at the last mark, when the clock runs
    std::optional<int> shownGroup; // the group the row shows
};

class MemoryView : public EngineView {
public:
    std::vector<MemoryRow> rows;
    std::vector<bool> checked = std::vector<bool>(17, false); // entry 0 + groups 0..15
    // The group ID of each entry when they are not 0..15 in order (entry 0 unused).
    std::vector<int> entryGroups;
    int highlighted = 0;
    int groupFilter = 0;
    QString edit1 = QStringLiteral("1"), edit2 = QStringLiteral("999"), edit3 = QStringLiteral("60");
    bool confirmAnswer = true;
    std::function<void()> onConfirm;
    bool portIsOpen = true; // what portOpen() answers; a test closes the port here

    bool searchCaptionRunning = false;
    bool selfCheckCaptionRunning = false;
    std::vector<std::pair<int, int>> searched; // (id, group) in order of entry
    std::vector<std::pair<int, int>> progressTexts;
    std::vector<std::vector<uint8_t>> txLog, rxLog;
    std::vector<EngineMessage> infos, confirms;
    // The re-addressed devices named as not answering, one entry per message.
    std::vector<std::vector<int>> unanswered;
    std::vector<std::vector<std::pair<int, int>>> shared;
    std::vector<std::vector<ReaddressMove>> dropped;
    std::vector<std::vector<int>> missingTargets;
    std::vector<std::vector<uint8_t>> droppedLog;
    bool barExists = false;
    int barMaximum = -1;
    int barDestroyed = 0;
    std::vector<int> barPositions; // creation position, then each move
    // Calls that named a row the list does not have, or misused the bar.
    mutable int misuses = 0;

    QElapsedTimer clock;

    int rowCount() const override { return int(rows.size()); }
    int rowId(int row) const override
    {
        if (!hasRow(row)) {
            ++misuses;
            return 0;
        }
        return rows[size_t(row)].id;
    }
    void setRowOnline(int row, bool online) override
    {
        if (!hasRow(row)) {
            ++misuses;
            return;
        }
        rows[size_t(row)].online = online;
        rows[size_t(row)].markedAtMs = now();
    }
    bool rowSelected(int row) const override { return hasRow(row) && rows[size_t(row)].selected; }
    int selectedCount() const override
    {
        int n = 0;
        for (const MemoryRow& r : rows)
            n += r.selected ? 1 : 0;
        return n;
    }
    void clearRows() override { rows.clear(); }
    void addSearchedDevice(int id, int group) override
    {
        searched.emplace_back(id, group);
        if (groupFilter == 0 || group == groupFilter - 1)
            rows.push_back({ id, false, true, now(), std::nullopt });
    }
    int groupEntryCount() const override { return int(checked.size()); }
    int groupEntryGroup(int entry) const override
    {
        return entry >= 0 && entry < int(entryGroups.size()) ? entryGroups[size_t(entry)] : entry - 1;
    }
    std::optional<int> rowGroup(int row) const override
    {
        return hasRow(row) ? rows[size_t(row)].shownGroup : std::nullopt;
    }
    bool groupEntryChecked(int entry) const override
    {
        return entry >= 0 && entry < groupEntryCount() && checked[size_t(entry)];
    }
    int highlightedGroupEntry() const override { return highlighted; }
    QString rangeStartText() const override { return edit1; }
    QString rangeEndText() const override { return edit2; }
    void setRangeTexts(const QString& start, const QString& end) override
    {
        edit1 = start;
        edit2 = end;
    }
    QString periodText() const override { return edit3; }
    void setPeriodText(const QString& text) override { edit3 = text; }
    void searchRunningChanged(bool running) override { searchCaptionRunning = running; }
    void selfCheckRunningChanged(bool running) override { selfCheckCaptionRunning = running; }
    void showSearchProgress(int cursor, int end) override { progressTexts.emplace_back(cursor, end); }
    bool progressBarExists() const override { return barExists; }
    void createProgressBar(int maximum, int position) override
    {
        misuses += barExists ? 1 : 0;
        barExists = true;
        barMaximum = maximum;
        barPositions.push_back(position);
    }
    void setProgressBar(int position) override
    {
        misuses += barExists ? 0 : 1;
        barPositions.push_back(position);
    }
    void destroyProgressBar() override
    {
        misuses += barExists ? 0 : 1;
        barExists = false;
        ++barDestroyed;
    }
    void logFrame(bool transmitted, const uint8_t* bytes, int count) override
    {
        (transmitted ? txLog : rxLog).emplace_back(bytes, bytes + count);
    }
    bool portOpen() const override { return portIsOpen; }
    void information(EngineMessage message) override { infos.push_back(message); }
    bool confirm(EngineMessage message) override
    {
        confirms.push_back(message);
        if (onConfirm)
            onConfirm(); // what happens while the modal question is open
        return confirmAnswer;
    }
    void readdressUnanswered(const std::vector<int>& ids) override { unanswered.push_back(ids); }
    void readdressShared(const std::vector<std::pair<int, int>>& a) override { shared.push_back(a); }
    void readdressDropped(const std::vector<ReaddressMove>& moves) override { dropped.push_back(moves); }
    void targetsNotInRegister(const std::vector<int>& ids) override
    {
        missingTargets.push_back(ids);
        infos.push_back(EngineMessage::TargetsNotInRegister);
        if (onMessage)
            onMessage(); // what happens while the modal box is open
    }
    std::function<void()> onMessage;
    void logDropped(const uint8_t* bytes, int count) override { droppedLog.emplace_back(bytes, bytes + count); }

    bool allRowsMarked() const
    {
        for (const MemoryRow& r : rows)
            if (!r.online)
                return false;
        return true;
    }
    std::vector<std::optional<bool>> images() const
    {
        std::vector<std::optional<bool>> out;
        for (const MemoryRow& r : rows)
            out.push_back(r.online);
        return out;
    }

private:
    bool hasRow(int row) const { return row >= 0 && row < rowCount(); }
    qint64 now() const { return clock.isValid() ? clock.elapsed() : -1; }
};

class MemoryRegister : public DeviceRegister {
public:
    std::map<int, int> groupById;
    std::vector<std::pair<int, int>> appended;
    int emptied = 0;
    // Failures to act out: the table cannot be written at all, or emptying it
    // fails. Each refusal stands for the register's one message naming the file.
    bool writable = true;
    bool emptyingFails = false;
    int messages = 0;

    std::optional<int> groupOfDevice(int id) override
    {
        const auto it = groupById.find(id);
        if (it == groupById.end())
            return std::nullopt;
        return it->second;
    }
    bool devicesWritable() override
    {
        if (!writable)
            ++messages;
        return writable;
    }
    bool emptyDevices() override
    {
        if (emptyingFails) {
            ++messages;
            return false;
        }
        groupById.clear();
        ++emptied;
        return true;
    }
    void appendDevice(int id, int group) override
    {
        groupById[id] = group;
        appended.emplace_back(id, group);
    }
};

} // namespace tarvello

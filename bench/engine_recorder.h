#pragma once
// An in-memory face for the control engine, and an in-memory device table: the rows it polls
// (an item model over a plain vector that a test may change at will), the ticks, selection and
// fields a window would hold, and a record of everything the engine said. The engine can so be
// driven and observed without widgets (benchmark, unit and end-to-end tests).

#include "protocol/engine.h"
#include "protocol/targets.h"

#include <QAbstractListModel>
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

class EngineRecorder : public QAbstractListModel {
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
    bool portIsOpen = true; // what the engine is told about the port; a test closes it here

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
    std::function<void()> onMessage; // what happens while a modal box is open
    bool barExists = false;
    int barMaximum = -1;
    int barDestroyed = 0;
    std::vector<int> barPositions; // creation position, then each move
    // Marks of a device the list does not have, or misuses of the progress.
    mutable int misuses = 0;

    QElapsedTimer clock;

    // Listens to the engine and hands it these rows, the port state and (for the targets) the table.
    void attach(ControlEngine& engine, DeviceRegister& reg)
    {
        m_engine = &engine;
        m_reg = &reg;
        engine.setRows(this);
        engine.setPortState([this] { return portIsOpen; });
        QObject::connect(&engine, &ControlEngine::deviceAnswered, this, [this](int, int id) { mark(id, true); });
        QObject::connect(&engine, &ControlEngine::deviceSilent, this, [this](int, int id) { mark(id, false); });
        QObject::connect(&engine, &ControlEngine::deviceFound, this, [this](int group, int id) {
            searched.emplace_back(id, group);
            if (groupFilter == 0 || group == groupFilter - 1)
                rows.push_back({ id, false, true, now(), std::nullopt });
        });
        QObject::connect(&engine, &ControlEngine::searchRunningChanged, this, [this](bool running) {
            searchCaptionRunning = running;
            if (running)
                rows.clear(); // the list shows what the search finds
        });
        QObject::connect(&engine, &ControlEngine::selfCheckRunningChanged, this, [this](bool running) { selfCheckCaptionRunning = running; });
        QObject::connect(&engine, &ControlEngine::searchProgress, this, [this](int cursor, int end) { progressTexts.emplace_back(cursor, end); });
        QObject::connect(&engine, &ControlEngine::searchRangeReset, this, [this](int from, int to) {
            edit1 = QString::number(from);
            edit2 = QString::number(to);
        });
        QObject::connect(&engine, &ControlEngine::periodReset, this, [this](int seconds) { edit3 = QString::number(seconds); });
        QObject::connect(&engine, &ControlEngine::progressStarted, this, [this](int maximum, int position) {
            misuses += barExists ? 1 : 0;
            barExists = true;
            barMaximum = maximum;
            barPositions.push_back(position);
        });
        QObject::connect(&engine, &ControlEngine::progress, this, [this](int position) {
            misuses += barExists ? 0 : 1;
            barPositions.push_back(position);
        });
        QObject::connect(&engine, &ControlEngine::progressEnded, this, [this] {
            misuses += barExists ? 0 : 1;
            barExists = false;
            ++barDestroyed;
        });
        QObject::connect(&engine, &ControlEngine::frameSent, this, [this](const QByteArray& b) { txLog.push_back(bytes(b)); });
        QObject::connect(&engine, &ControlEngine::frameReceived, this, [this](const QByteArray& b) { rxLog.push_back(bytes(b)); });
        QObject::connect(&engine, &ControlEngine::frameDropped, this, [this](const QByteArray& b) { droppedLog.push_back(bytes(b)); });
        QObject::connect(&engine, &ControlEngine::message, this, [this](EngineMessage m) { infos.push_back(m); });
        QObject::connect(&engine, &ControlEngine::targetsNotInRegister, this, [this](const std::vector<int>& ids) {
            missingTargets.push_back(ids);
            infos.push_back(EngineMessage::TargetsNotInRegister);
            if (onMessage)
                onMessage();
        });
        QObject::connect(&engine, &ControlEngine::readdressUnanswered, this, [this](const std::vector<int>& ids) { unanswered.push_back(ids); });
        QObject::connect(&engine, &ControlEngine::readdressShared, this, [this](const std::vector<std::pair<int, int>>& a) { shared.push_back(a); });
        QObject::connect(&engine, &ControlEngine::readdressDropped, this, [this](const std::vector<ReaddressMove>& m) { dropped.push_back(m); });
    }

    // What the ticks and the selection address now.
    Targets targets(uint8_t command) const
    {
        Selection chosen;
        const int entries = int(checked.size());
        chosen.everyDevice = entries > 0 && checked[0];
        for (int e = 1; e < entries; ++e)
            if (checked[size_t(e)])
                chosen.checkedGroups.push_back(entryGroup(e));
        if (highlighted > 0 && highlighted < entries) {
            chosen.highlightedGroup = entryGroup(highlighted);
            chosen.highlightedChecked = checked[size_t(highlighted)];
        }
        chosen.rowCount = int(rows.size());
        for (const MemoryRow& r : rows)
            if (r.selected)
                chosen.selectedRows.push_back({ r.id, r.shownGroup });
        return targetsOf(command, chosen, *m_reg);
    }
    // The buttons.
    void press(uint8_t command) { m_engine->move(command, targets(command)); }
    void up() { press(CmdUp); }
    void down() { press(CmdDown); }
    void stop() { press(CmdStop); }
    void forward() { press(CmdForward); }
    void backward() { press(CmdBackward); }
    void search()
    {
        m_engine->searchClicked(ControlEngine::fieldValue(edit1), ControlEngine::fieldValue(edit2), [this] {
            confirms.push_back(EngineMessage::ConfirmSearch);
            if (onConfirm)
                onConfirm(); // what happens while the modal question is open
            return confirmAnswer;
        });
    }
    void selfCheckPeriod() { m_engine->onSelfCheckPeriod(); }
    void selfCheck() { m_engine->selfCheckClicked(ControlEngine::fieldValue(edit3), targets(CmdUp)); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override { return parent.isValid() ? 0 : int(rows.size()); }
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid() || index.row() >= int(rows.size()))
            return {};
        const MemoryRow& r = rows[size_t(index.row())];
        if (role == DeviceIdRole)
            return r.id;
        if (role == DeviceGroupRole && r.shownGroup)
            return *r.shownGroup;
        return {};
    }

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
    int entryGroup(int entry) const
    {
        return entry >= 0 && entry < int(entryGroups.size()) ? entryGroups[size_t(entry)] : entry - 1;
    }
    // The poll marks the device it asked; the list must have it.
    void mark(int id, bool online)
    {
        bool found = false;
        for (MemoryRow& r : rows) {
            if (r.id != id)
                continue;
            r.online = online;
            r.markedAtMs = now();
            found = true;
        }
        misuses += found ? 0 : 1;
    }
    static std::vector<uint8_t> bytes(const QByteArray& b) { return { b.begin(), b.end() }; }
    qint64 now() const { return clock.isValid() ? clock.elapsed() : -1; }
    ControlEngine* m_engine = nullptr;
    DeviceRegister* m_reg = nullptr;
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

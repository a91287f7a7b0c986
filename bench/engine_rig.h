#pragma once
// The control engine wired as the main window wires it — a real TComm with
// Comm1's line settings, the write-empty and receive events bound to the
// engine — but talking to the simulated bus instead of a port, with an
// in-memory device list and register instead of the window. Used by the
// benchmark and by the engine's end-to-end tests.

// The simulator's header comes before any Qt header: it has a member named
// emit, which Qt's keyword macro would erase.
#include "sim/bus_simulator.h"

#include "protocol/engine.h"
#include "serial/comm.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

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
    qint64 markedAtMs = -1;     // rig clock at the last mark
};

// The device list, group list and fields, kept in memory.
class MemoryView : public EngineView {
public:
    std::vector<MemoryRow> rows;
    std::vector<bool> checked = std::vector<bool>(17, false); // entry 0 + groups 0..15
    int highlighted = 0;
    int groupFilter = 0;
    QString edit1 = QStringLiteral("1"), edit2 = QStringLiteral("999"), edit3 = QStringLiteral("60");
    bool confirmAnswer = true;

    bool searchCaptionRunning = false;
    bool selfCheckCaptionRunning = false;
    std::vector<std::pair<int, int>> searched; // (id, group) in order of entry
    std::vector<std::pair<int, int>> progressTexts;
    std::vector<std::vector<uint8_t>> txLog, rxLog;
    std::vector<EngineMessage> infos;
    bool barExists = false;

    QElapsedTimer clock; // started by the rig

    int rowCount() const override { return int(rows.size()); }
    int rowId(int row) const override { return row >= 0 && row < rowCount() ? rows[size_t(row)].id : 0; }
    void setRowOnline(int row, bool online) override
    {
        if (row < 0 || row >= rowCount())
            return;
        rows[size_t(row)].online = online;
        rows[size_t(row)].markedAtMs = clock.isValid() ? clock.elapsed() : -1;
    }
    bool rowSelected(int row) const override { return row >= 0 && row < rowCount() && rows[size_t(row)].selected; }
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
            rows.push_back({ id, false, true, clock.isValid() ? clock.elapsed() : -1 });
    }
    int groupEntryCount() const override { return int(checked.size()); }
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
    void createProgressBar(int, int) override { barExists = true; }
    void setProgressBar(int) override {}
    void destroyProgressBar() override { barExists = false; }
    void logFrame(bool transmitted, const uint8_t* bytes, int count) override
    {
        (transmitted ? txLog : rxLog).emplace_back(bytes, bytes + count);
    }
    void information(EngineMessage message) override { infos.push_back(message); }
    bool confirm(EngineMessage) override { return confirmAnswer; }

    bool allRowsMarked() const
    {
        for (const MemoryRow& r : rows)
            if (!r.online)
                return false;
        return true;
    }
};

class MemoryRegister : public DeviceRegister {
public:
    std::map<int, int> groupById;
    std::vector<std::pair<int, int>> appended;
    int emptied = 0;

    std::optional<int> groupOfDevice(int id) override
    {
        const auto it = groupById.find(id);
        if (it == groupById.end())
            return std::nullopt;
        return it->second;
    }
    void emptyDevices() override
    {
        groupById.clear();
        ++emptied;
    }
    void appendDevice(int id, int group) override
    {
        groupById[id] = group;
        appended.emplace_back(id, group);
    }
};

class EngineRig {
public:
    explicit EngineRig(BusSimulator::Options options = {})
        : sim(options)
    {
    }

    ~EngineRig()
    {
        comm.OnReceiveData = nullptr;
        comm.OnSendDataEmpty = nullptr;
        comm.ClosePort();
        sim.stop();
    }

    // Starts the bus and opens its port with Comm1's settings. Throws
    // std::runtime_error (simulator) or ECommsError (port).
    void open()
    {
        sim.start();
        ApplyComm1Defaults(comm);
        comm.setCommName(QString::fromStdString(sim.slavePath()));
        comm.OnReceiveData = [this](TComm*, const uint8_t* buffer, uint16_t length) {
            engine.Comm1ReceiveData(buffer, length);
        };
        comm.OnSendDataEmpty = [this](TComm*) { engine.Comm1SendDataEmpty(); };
        comm.OpenPort();
        view.clock.start();
    }

    // Lists the devices (id, group) in this order and registers them.
    void listDevices(const std::vector<std::pair<int, int>>& devices)
    {
        view.rows.clear();
        for (const auto& [id, group] : devices) {
            view.rows.push_back({ id, false, std::nullopt, -1 });
            reg.groupById[id] = group;
        }
    }

    // Runs the event loop until the condition holds or the time is up.
    static bool runUntil(const std::function<bool()>& done, int timeoutMs)
    {
        if (done())
            return true;
        QEventLoop loop;
        QTimer check;
        check.setTimerType(Qt::PreciseTimer);
        check.setInterval(1);
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (done())
                loop.quit();
        });
        QTimer::singleShot(timeoutMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        check.start();
        loop.exec();
        return done();
    }

    // Lets the event loop run for a while (to see that nothing more happens).
    static void settle(int ms)
    {
        runUntil([] { return false; }, ms);
    }

    // Every row marked and no query outstanding.
    bool pollDone() const { return view.allRowsMarked() && !engine.Timer1.isActive(); }

    BusSimulator sim;
    TComm comm;
    MemoryView view;
    MemoryRegister reg;
    TxChannel tx { [this](const uint8_t* buffer, uint16_t length) { return comm.WriteData(buffer, length); } };
    ControlEngine engine { view, reg, tx };
};

} // namespace tarvello

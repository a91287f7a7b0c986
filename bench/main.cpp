// tarvello-bench: how fast the status poll and the search walk the bus, with
// the engine, a real TComm at Comm1's settings and the simulated bus paced at
// 4800 baud. Prints a table; it is a measuring program, not a test.
//
// Every figure is measured twice, side by side: with the default bus timing
// and with the fast bus ([BUS] Fast=1, turnaround allowance 30 ms).
//
//   tarvello-bench [--devices N] [--search M] [--full-run P]
//     N  listed devices in the poll runs (default 20)
//     M  IDs in each search run (default 20)
//     P  answering and silent devices in the run the 999-device figure is
//        extrapolated from (default 50, at least 50)
//   tarvello-bench --faults-only
//     only the searches under faults
//   tarvello-bench --list-only
//     only the the lists refreshed with 999 devices in the real main window
//   tarvello-bench --stop-only
//     only the time from a stop-all to its frame on the line (999 device frames queued)

#include "bench/engine_rig.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include "app/mainwindow.h"
#include "ui/messages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

namespace {

using tarvello::EngineRig;

struct Stats {
    double mean = 0, min = 0, median = 0, max = 0;
};

Stats stats(std::vector<qint64> v)
{
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.mean = double(std::accumulate(v.begin(), v.end(), qint64(0))) / double(v.size());
    s.min = double(v.front());
    s.max = double(v.back());
    s.median = double(v[v.size() / 2]);
    return s;
}

struct PollResult {
    bool ok = false;
    qint64 totalMs = 0;
    qint64 firstMs = 0;          // start to the first row's mark
    std::vector<qint64> gapsMs;  // between consecutive rows' marks
    int online = 0;
};

// Lists `count` devices, puts them on the bus when `answering`, and times one
// poll from the rebuild to the last row's mark.
PollResult runPoll(int count, bool answering, bool fast)
{
    PollResult r;
    EngineRig rig;
    std::vector<std::pair<int, int>> listed;
    for (int i = 0; i < count; ++i) {
        const int id = i + 1, group = i % 16;
        listed.emplace_back(id, group);
        if (answering)
            rig.sim.addDevice(uint8_t(group), uint16_t(id));
    }
    rig.open();
    if (fast)
        rig.fastBus();
    rig.listDevices(listed);

    const qint64 start = rig.view.clock.elapsed();
    rig.engine.prepareRebuild();
    rig.engine.startPoll();
    r.ok = EngineRig::runUntil([&] { return rig.pollDone(); }, 2000 + count * 1000);
    const auto& rows = rig.view.rows;
    if (!r.ok || rows.empty())
        return r;
    r.firstMs = rows.front().markedAtMs - start;
    r.totalMs = rows.back().markedAtMs - start;
    for (size_t i = 1; i < rows.size(); ++i)
        r.gapsMs.push_back(rows[i].markedAtMs - rows[i - 1].markedAtMs);
    for (const auto& row : rows)
        r.online += row.online.value_or(false) ? 1 : 0;
    return r;
}

// 999 devices on the bus and listed, a poll running and an Up for every one of them being sent
// frame by frame: the time from the stop-all to the last byte of its broadcast stop on the line.
// Negative when it could not be measured.
double measureStopAll(bool fast)
{
    EngineRig rig;
    std::vector<std::pair<int, int>> listed;
    for (int id = 1; id <= 999; ++id) {
        listed.emplace_back(id, id % 16);
        rig.sim.addDevice(uint8_t(id % 16), uint16_t(id));
    }
    rig.open();
    if (fast)
        rig.fastBus();
    rig.listDevices(listed);
    for (auto& row : rig.view.rows)
        row.selected = true;
    rig.engine.prepareRebuild();
    rig.engine.startPoll();
    rig.view.up();
    EngineRig::settle(300); // frames on their way, the poll asking
    const auto pressed = SimClock::now();
    rig.engine.stopAll();
    const bool seen = EngineRig::runUntil([&] {
        for (const ReceivedFrame& f : rig.sim.frames())
            if (f.time >= pressed && f.command == CmdStop && f.address == BroadcastGroup)
                return true;
        return false;
    }, 2000);
    if (!seen)
        return -1;
    // A pseudo-terminal hands the bytes over at once and the port then waits out their line
    // time: the frame's last byte is on a real line one frame time after it reached the bus.
    const double frameMs = ShortFrameLength * 10 * 1000.0 / double(rig.comm.BaudRate());
    for (const ReceivedFrame& f : rig.sim.frames())
        if (f.time >= pressed && f.command == CmdStop && f.address == BroadcastGroup)
            return std::chrono::duration<double, std::milli>(f.time - pressed).count() + frameMs;
    return -1;
}

struct SearchResult {
    bool ok = false;
    qint64 totalMs = 0;
    int found = 0;
    int probes = 0;
    std::vector<int> foundIds;
    int bookedWrong = 0; // devices entered with a group other than their own
};

// Faults for a search: devices whose ID modulo 10 is 3 have noise ahead of
// their replies, 5 split replies, 7 late replies.
struct FaultPlan {
    bool on = false;
    std::chrono::milliseconds splitGap { 150 };
};

// Searches IDs 1..count with every ID present or none, timed from the search
// button to the end of the search.
SearchResult runSearch(int count, bool present, bool fast, FaultPlan faults = {})
{
    SearchResult r;
    EngineRig rig;
    if (present)
        for (int id = 1; id <= count; ++id) {
            const uint8_t group = uint8_t(id % 16);
            const uint16_t did = uint16_t(id);
            rig.sim.addDevice(group, did);
            if (faults.on) {
                rig.sim.setNoise(group, did, id % 10 == 3);
                rig.sim.setSplit(group, did, id % 10 == 5);
                rig.sim.setLate(group, did, id % 10 == 7);
            }
        }
    rig.sim.setSplitGap(faults.splitGap);
    rig.open();
    if (fast)
        rig.fastBus();
    rig.view.edit1 = QStringLiteral("1");
    rig.view.edit2 = QString::number(count);

    const qint64 start = rig.view.clock.elapsed();
    rig.view.search();
    r.ok = EngineRig::runUntil([&] { return !rig.engine.searchRunning(); }, 2000 + count * 1000);
    r.totalMs = rig.view.clock.elapsed() - start;
    r.found = int(rig.reg.appended.size());
    r.probes = int(rig.sim.frameCount());
    for (const auto& [id, group] : rig.reg.appended) {
        r.foundIds.push_back(id);
        if (group != id % 16)
            ++r.bookedWrong;
    }
    // The search is over: a late reply still on its way must not be entered either.
    EngineRig::settle(400);
    r.bookedWrong += int(rig.reg.appended.size()) - r.found;
    return r;
}

void line(const char* what, const std::string& value) { std::printf("  %-52s %s\n", what, value.c_str()); }

std::string ms(double v) { return std::to_string(int(v + 0.5)) + " ms"; }

int argValue(int argc, char** argv, const char* name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::max(1, std::atoi(argv[i + 1]));
    return fallback;
}

// The rebuild of the device list for 999 devices needs the main window; the
// window's own benchmark plugs in here. Returns the time in ms, or a negative
// value when not measured.
// A message box would block the measurement: the bench answers them all itself.
class SilentMessages : public MessageSink {
public:
    bool show(QWidget*, Kind, const QString&) override { return true; }
};

// The real main window on a register of 999 devices in 15 groups; the port leads nowhere, so the
// poll that every rebuild starts hands its first query to a closed port. Median of several runs.
double measureListRefresh999()
{
    QTemporaryDir dir;
    const QString data = dir.path() + QStringLiteral("/DFiles");
    QDir().mkpath(data);
    std::vector<std::vector<TFieldValue>> devices, groups;
    for (int id = 1; id <= HighestDeviceId; ++id)
        devices.push_back({id, QStringLiteral("Hoist %1").arg(id), id % 16});
    groups.push_back({0, UngroupedName()});
    for (int g = 1; g < DefaultGroupCount; ++g) groups.push_back({g, QStringLiteral("Group %1").arg(g)});
    if (!TTable::CreateTable(data + QStringLiteral("/Member1.DB"), MemberSchema(), devices)
        || !TTable::CreateTable(data + QStringLiteral("/Group1.DB"), GroupSchema(), groups))
        return -1;
    QFile ini(data + QStringLiteral("/DB.ini"));
    if (!ini.open(QIODevice::WriteOnly)) return -1;
    ini.write("[PORTS]\nCOM1=/nonexistent/tarvello-bench-port\n");
    ini.close();

    SilentMessages messages;
    SetMessageSink(&messages);
    double result = -1;
    {
        MainWindow form(data);
        form.show();
        form.openScene(); // opens the register and builds the lists once
        if (form.controls().deviceList->rowCount() == HighestDeviceId) {
            std::vector<qint64> runs;
            for (int i = 0; i < 7; ++i) {
                QElapsedTimer t;
                t.start();
                form.refreshLists();
                runs.push_back(t.nsecsElapsed());
                QCoreApplication::processEvents();
            }
            std::sort(runs.begin(), runs.end());
            result = double(runs[runs.size() / 2]) / 1e6;
        }
    }
    SetMessageSink(nullptr);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    // The refreshLists figure needs the real main window; without a display it is drawn offscreen.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--list-only") == 0) {
            const double refresh = measureListRefresh999();
            std::printf("the lists refreshed with 999 devices: %s\n",
                refresh < 0 ? "could not be measured" : (ms(refresh) + " (median of 7, real main window)").c_str());
            return refresh < 0 ? 1 : 0;
        }
        if (std::strcmp(argv[i], "--stop-only") == 0) {
            for (int f = 0; f < 2; ++f) {
                std::vector<double> runs;
                for (int k = 0; k < 7; ++k)
                    runs.push_back(measureStopAll(f == 1));
                std::sort(runs.begin(), runs.end());
                std::printf("stop-all, %s timing, 999 device frames queued and a poll running: best %.1f, median "
                            "%.1f, worst %.1f ms of 7\n",
                    f ? "fast" : "default", runs.front(), runs[runs.size() / 2], runs.back());
            }
            return 0;
        }
    }
    const bool faultsOnly = std::any_of(argv + 1, argv + argc, [](const char* a) { return std::strcmp(a, "--faults-only") == 0; });
    const int devices = argValue(argc, argv, "--devices", 20);
    const int searchIds = argValue(argc, argv, "--search", 20);
    const int fullRun = std::max(50, argValue(argc, argv, "--full-run", 50));
    constexpr int baud = 4800;
    const double lineMs = ShortFrameLength * 10 * 1000.0 / baud;
    const double turnaround = double(BusSimulator::Options {}.turnaround.count());
    const double lineLimit = 2 * lineMs + turnaround;
    const int fastTimeout = ControlEngine::fastTimeoutMs(ControlEngine::DefaultTurnaroundMs, baud);

    std::printf("tarvello-bench: engine + TComm (Comm1: 4800 8N1) + simulated bus (4800 baud, %.0f ms turnaround,\n"
                "the query's own line time counted before it)\n"
                "  default: chunk ends after 100 ms of silence; time-outs 500 / 190 ms, probe 190 ms\n"
                "  fast:    [BUS] Fast=1, TurnaroundMs=%d: chunk ends after %d ms of silence, a reply is taken as\n"
                "           soon as it is whole; every time-out %d ms\n\n",
        turnaround, ControlEngine::DefaultTurnaroundMs, ControlEngine::fastReadIntervalMs(baud), fastTimeout);
    std::printf("  %-52s %-16s %s\n", "", "default", "fast");

    int failures = 0;
    auto check = [&](bool ok, const char* what) {
        if (!ok) {
            std::printf("  !! %s did not finish in time\n", what);
            ++failures;
        }
    };
    auto row = [](const char* what, const std::string& a, const std::string& b) {
        std::printf("  %-52s %-16s %s\n", what, a.c_str(), b.c_str());
    };
    auto mean = [](const std::vector<qint64>& v) { return stats(v).mean; };
    auto ms1 = [](double v) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.1f ms", v);
        return std::string(buf);
    };

    double fullSearch[2] = { 0, 0 };
    if (!faultsOnly) {
    std::printf("Status poll, %d listed devices\n", devices);
    {
        PollResult a[2], q[2];
        for (int f = 0; f < 2; ++f) {
            a[f] = runPoll(devices, true, f == 1);
            check(a[f].ok, "answering poll");
            q[f] = runPoll(devices, false, f == 1);
            check(q[f].ok, "silent poll");
        }
        auto both = [&](const char* what, auto get) { row(what, get(0), get(1)); };
        both("all answering: whole poll", [&](int f) { return ms(double(a[f].totalMs)); });
        both("all answering: devices found on line", [&](int f) { return std::to_string(a[f].online); });
        both("all answering: row to row (mean)", [&](int f) { return ms1(mean(a[f].gapsMs)); });
        both("all answering: row to row (min / max)", [&](int f) {
            const Stats st = stats(a[f].gapsMs);
            return std::to_string(int(st.min)) + " / " + std::to_string(int(st.max)) + " ms";
        });
        both("all silent: whole poll", [&](int f) { return ms(double(q[f].totalMs)); });
        both("all silent: first time-out (after a rebuild)", [&](int f) { return ms(double(q[f].firstMs)); });
        both("all silent: later time-outs (mean)", [&](int f) { return ms1(mean(q[f].gapsMs)); });
    }

    std::printf("\nSearch, IDs 1..%d\n", searchIds);
    {
        SearchResult absent[2], present[2];
        for (int f = 0; f < 2; ++f) {
            absent[f] = runSearch(searchIds, false, f == 1);
            check(absent[f].ok, "search of absent IDs");
            present[f] = runSearch(searchIds, true, f == 1);
            check(present[f].ok, "search of present IDs");
            fullSearch[f] = double(absent[f].totalMs) / searchIds * 999;
        }
        auto both = [&](const char* what, auto get) { row(what, get(0), get(1)); };
        both("absent IDs: whole search", [&](int f) { return ms(double(absent[f].totalMs)); });
        both("absent IDs: per probed ID", [&](int f) { return ms1(double(absent[f].totalMs) / searchIds); });
        both("present IDs: whole search", [&](int f) { return ms(double(present[f].totalMs)); });
        both("present IDs: per probed ID", [&](int f) { return ms1(double(present[f].totalMs) / searchIds); });
        both("present IDs: found", [&](int f) { return std::to_string(present[f].found); });
        both("full range 1..999, empty bus (extrapolated)", [&](int f) { return ms(fullSearch[f]); });
    }

    }

    std::printf("\nSearch with faults, IDs 1..40 all present: noise ahead of replies (IDs ending in 3),\n"
                "split replies (5), late replies by 200 ms (7)\n");
    {
        for (const int gap : { 150, 5 }) {
            SearchResult r[2];
            for (int f = 0; f < 2; ++f) {
                FaultPlan plan;
                plan.on = true;
                plan.splitGap = std::chrono::milliseconds(gap);
                r[f] = runSearch(40, true, f == 1, plan);
                check(r[f].ok, "search with faults");
            }
            char what[80];
            std::snprintf(what, sizeof what, "split gap %d ms: found", gap);
            row(what, std::to_string(r[0].found), std::to_string(r[1].found));
            std::snprintf(what, sizeof what, "split gap %d ms: booked to a wrong device", gap);
            row(what, std::to_string(r[0].bookedWrong), std::to_string(r[1].bookedWrong));
            std::snprintf(what, sizeof what, "split gap %d ms: same devices in both modes", gap);
            std::string onlyDefault;
            for (int id : r[0].foundIds)
                if (std::find(r[1].foundIds.begin(), r[1].foundIds.end(), id) == r[1].foundIds.end())
                    onlyDefault += (onlyDefault.empty() ? "" : " ") + std::to_string(id);
            row(what, r[0].foundIds == r[1].foundIds ? "yes" : "NO",
                onlyDefault.empty() ? "" : "found by default only: " + onlyDefault);
            if (r[0].foundIds != r[1].foundIds || r[0].bookedWrong + r[1].bookedWrong > 0)
                ++failures;
        }
    }

    if (faultsOnly)
        return failures == 0 ? 0 : 1;

    std::printf("\nFull poll of 999 listed devices (extrapolated from runs of %d)\n", fullRun);
    double fullAnswering[2] = { 0, 0 };
    {
        double silent[2] = { 0, 0 };
        for (int f = 0; f < 2; ++f) {
            const PollResult a = runPoll(fullRun, true, f == 1);
            check(a.ok, "answering poll for the extrapolation");
            fullAnswering[f] = double(a.firstMs) + 998 * stats(a.gapsMs).mean;
            const PollResult q = runPoll(fullRun, false, f == 1);
            check(q.ok, "silent poll for the extrapolation");
            silent[f] = double(q.firstMs) + 998 * stats(q.gapsMs).mean;
        }
        row("all answering", ms(fullAnswering[0]), ms(fullAnswering[1]));
        auto perDevice = [&](double total) {
            char buf[48];
            std::snprintf(buf, sizeof buf, "%.1f ms = %.2fx", total / 999, total / 999 / lineLimit);
            return std::string(buf);
        };
        row("all answering: per device, times the line's limit", perDevice(fullAnswering[0]),
            perDevice(fullAnswering[1]));
        row("all silent", ms(silent[0]), ms(silent[1]));
    }

    std::printf("\nStop all: 999 device frames queued and a poll running, to the last byte of the stop\n");
    for (int f = 0; f < 2; ++f) {
        std::vector<qint64> tenths; // of a millisecond
        for (int k = 0; k < 7; ++k)
            tenths.push_back(qint64(measureStopAll(f == 1) * 10));
        const Stats st = stats(tenths);
        check(st.min >= 0, "stop-all");
        char value[64];
        std::snprintf(value, sizeof value, "median %.1f ms, worst %.1f ms of 7", st.median / 10, st.max / 10);
        line(f == 0 ? "default timing" : "fast timing", value);
    }

    std::printf("\nFor comparison\n");
    {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.2f ms", lineMs);
        line("line time of one 9-byte frame at 4800 baud", buf);
        std::snprintf(buf, sizeof buf, "%.2f ms", lineLimit);
        line("line's limit: query + turnaround + reply", buf);
        std::snprintf(buf, sizeof buf, "%.2f", fullSearch[1] > 0 ? fullSearch[0] / fullSearch[1] : 0.0);
        line("search 1..999 on an empty bus: default / fast", buf);
        const double refresh = measureListRefresh999();
        line("the lists refreshed with 999 devices",
            refresh < 0 ? std::string("could not be measured") : ms(refresh) + " (median of 7, real main window)");
    }
    return failures == 0 ? 0 : 1;
}

// tarvello-bench: how fast the status poll and the search walk the bus, with
// the engine, a real TComm at Comm1's settings and the simulated bus paced at
// 4800 baud. Prints a table; it is a measuring program, not a test.
//
//   tarvello-bench [--devices N] [--search M] [--full-run P]
//     N  listed devices in the poll runs (default 20)
//     M  IDs in each search run (default 20)
//     P  answering and silent devices in the run the 999-device figure is
//        extrapolated from (default 50, at least 50)

#include "bench/engine_rig.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include "app/mainform.h"
#include "common/messages.h"

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
PollResult runPoll(int count, bool answering)
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

struct SearchResult {
    bool ok = false;
    qint64 totalMs = 0;
    int found = 0;
    int probes = 0;
};

// Searches IDs 1..count with every ID present or none, timed from the search
// button to the end of the search.
SearchResult runSearch(int count, bool present)
{
    SearchResult r;
    EngineRig rig;
    if (present)
        for (int id = 1; id <= count; ++id)
            rig.sim.addDevice(uint8_t(id % 16), uint16_t(id));
    rig.open();
    rig.view.edit1 = QStringLiteral("1");
    rig.view.edit2 = QString::number(count);

    const qint64 start = rig.view.clock.elapsed();
    rig.engine.searchClicked();
    r.ok = EngineRig::runUntil([&] { return !rig.engine.searchRunning(); }, 2000 + count * 1000);
    r.totalMs = rig.view.clock.elapsed() - start;
    r.found = int(rig.reg.appended.size());
    r.probes = int(rig.sim.frameCount());
    return r;
}

void line(const char* what, const std::string& value) { std::printf("  %-52s %s\n", what, value.c_str()); }

std::string ms(double v) { return std::to_string(int(v + 0.5)) + " ms"; }

std::string fmtStats(const Stats& s)
{
    char buf[128];
    std::snprintf(buf, sizeof buf, "mean %.1f ms (min %.0f, median %.0f, max %.0f)", s.mean, s.min, s.median, s.max);
    return buf;
}

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
        TMainForm form(data);
        form.show();
        form.FormShow(); // opens the register and builds the lists once
        if (form.controls().deviceList->rowCount() == HighestDeviceId) {
            std::vector<qint64> runs;
            for (int i = 0; i < 7; ++i) {
                QElapsedTimer t;
                t.start();
                form.ListRefresh();
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
    // The ListRefresh figure needs the real main window; without a display it is drawn offscreen.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int devices = argValue(argc, argv, "--devices", 20);
    const int searchIds = argValue(argc, argv, "--search", 20);
    const int fullRun = std::max(50, argValue(argc, argv, "--full-run", 50));
    constexpr double baud = 4800;
    const double lineMs = ShortFrameLength * 10 * 1000.0 / baud;

    std::printf("tarvello-bench: engine + TComm (Comm1: 4800 8N1, 100 ms read interval) + simulated bus "
                "(4800 baud, %lld ms turnaround)\n\n",
        static_cast<long long>(BusSimulator::Options {}.turnaround.count()));

    int failures = 0;
    auto check = [&](bool ok, const char* what) {
        if (!ok) {
            std::printf("  !! %s did not finish in time\n", what);
            ++failures;
        }
    };

    std::printf("Status poll, %d listed devices\n", devices);
    {
        const PollResult a = runPoll(devices, true);
        check(a.ok, "answering poll");
        line("all answering: whole poll", ms(double(a.totalMs)) + " (" + std::to_string(a.online) + " on line)");
        line("all answering: per polled device", ms(double(a.totalMs) / devices));
        line("all answering: row to row (answer to answer)", fmtStats(stats(a.gapsMs)));
        const PollResult s = runPoll(devices, false);
        check(s.ok, "silent poll");
        line("all silent: whole poll", ms(double(s.totalMs)) + " (" + std::to_string(s.online) + " on line)");
        line("all silent: per polled device", ms(double(s.totalMs) / devices));
        line("all silent: first time-out (after a rebuild)", ms(double(s.firstMs)));
        line("all silent: later time-outs", fmtStats(stats(s.gapsMs)));
    }

    std::printf("\nSearch, IDs 1..%d\n", searchIds);
    {
        const SearchResult absent = runSearch(searchIds, false);
        check(absent.ok, "search of absent IDs");
        line("absent IDs: whole search", ms(double(absent.totalMs)) + " (" + std::to_string(absent.probes)
                + " probes, " + std::to_string(absent.found) + " found)");
        line("absent IDs: per probed ID", ms(double(absent.totalMs) / searchIds));
        const SearchResult present = runSearch(searchIds, true);
        check(present.ok, "search of present IDs");
        line("present IDs: whole search", ms(double(present.totalMs)) + " (" + std::to_string(present.probes)
                + " probes, " + std::to_string(present.found) + " found)");
        line("present IDs: per probed ID", ms(double(present.totalMs) / searchIds));
        line("full range 1..999, empty bus (extrapolated)", ms(double(absent.totalMs) / searchIds * 999));
    }

    std::printf("\nFull poll of 999 listed devices (extrapolated from runs of %d)\n", fullRun);
    {
        const PollResult a = runPoll(fullRun, true);
        check(a.ok, "answering poll for the extrapolation");
        const Stats ga = stats(a.gapsMs);
        line("all answering", ms(double(a.firstMs) + 998 * ga.mean));
        const PollResult s = runPoll(fullRun, false);
        check(s.ok, "silent poll for the extrapolation");
        const Stats gs = stats(s.gapsMs);
        line("all silent", ms(double(s.firstMs) + 998 * gs.mean));
    }

    std::printf("\nFor comparison\n");
    {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.2f ms", lineMs);
        line("line time of one 9-byte frame at 4800 baud", buf);
        std::snprintf(buf, sizeof buf, "%.2f ms", 2 * lineMs + double(BusSimulator::Options {}.turnaround.count()));
        line("query + turnaround + reply on the line", buf);
        line("poll time-outs (first / later), search probe", "500 / 190 ms, 190 ms");
        const double refresh = measureListRefresh999();
        line("ListRefresh of 999 devices",
            refresh < 0 ? std::string("could not be measured") : ms(refresh) + " (median of 7, real main window)");
    }
    return failures == 0 ? 0 : 1;
}

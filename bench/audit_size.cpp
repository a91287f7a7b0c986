// tarvello-audit-size: how large Audit.DB grows in a year of a busy installation, and how long
// the record's own work on such a file takes. It fills a fresh record through AuditLog, as the
// program writes it, with a year of
//   - 200 motion presses a day, each naming 1 to 8 devices (one in ten a whole group, naming
//     none),
//   - 50 log-ins a day,
//   - 999 devices changing their on-line state 3 times a day each,
// at random moments of each day (fixed seed), and prints the file's size, the share of each table
// and index, and the time of verify(), of a device's rows, of a day's history of every device and
// of an open that removes one day with the keep time.
//
//   tarvello-audit-size [DIR]    DIR: an empty folder to keep the file in (default: a temporary one)

#include "audit/auditlog.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <variant>
#include <vector>

namespace {

constexpr int Days = 365;
constexpr int PressesADay = 200;
constexpr int LogInsADay = 50;
constexpr int Devices = 999;
constexpr int ChangesADeviceADay = 3;

const char* const Motions[] = { "up", "down", "stop", "forward", "backward" };
const char* const Accounts[] = { "stage", "lena.wu", "tomas", "zhang.wei", "rigging2", "j.okafor" };

// The bytes each table and index takes, from SQLite's dbstat table.
void PrintShares(const QString& path)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return;
    }
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT name, sum(pgsize) FROM dbstat GROUP BY name ORDER BY 2 DESC", -1, &s, nullptr) == SQLITE_OK) {
        while (sqlite3_step(s) == SQLITE_ROW)
            std::printf("  %-24s %8.1f MB\n", reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                        double(sqlite3_column_int64(s, 1)) / 1e6);
    } else {
        std::printf("  (this SQLite has no dbstat table: no share per table)\n");
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir temporary;
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temporary.path();
    if (QFileInfo::exists(QDir(dir).filePath(QStringLiteral("Audit.DB")))) {
        std::fprintf(stderr, "tarvello-audit-size: %s already holds an Audit.DB\n", qPrintable(dir));
        return 2;
    }

    std::mt19937 random(20261207);
    std::uniform_int_distribution<qint64> moment(0, 86400000 - 1);
    std::uniform_int_distribution<int> group(0, 15), id(1, Devices), count(1, 8), tenth(0, 9);
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-Days);
    qint64 actions = 0, changes = 0;
    QElapsedTimer filling;
    filling.start();
    {
        AuditLog log(dir, 0);
        if (!log.writable()) {
            std::fprintf(stderr, "tarvello-audit-size: cannot write %s\n", qPrintable(log.fileName()));
            return 1;
        }
        using Event = std::variant<AuditEntry, StateChange>;
        auto timeOf = [](const Event& e) { return std::visit([](const auto& v) { return v.time; }, e); };
        for (int day = 0; day < Days; ++day) {
            const QDateTime midnight = start.addDays(day);
            std::vector<Event> events;
            for (int i = 0; i < LogInsADay; ++i) {
                AuditEntry e;
                e.time = midnight.addMSecs(moment(random));
                e.level = i % 5 == 0 ? 1 : 2;
                e.source = i % 10 == 0 ? QStringLiteral("tarvello-ctl") : QStringLiteral("window");
                e.user = QString::fromLatin1(Accounts[size_t(i) % std::size(Accounts)]);
                e.action = QStringLiteral("log-in");
                e.detail = e.level == 1 ? QStringLiteral("administrator") : QStringLiteral("operator");
                events.emplace_back(std::move(e));
            }
            for (int i = 0; i < PressesADay; ++i) {
                AuditEntry e;
                e.time = midnight.addMSecs(moment(random));
                e.level = 2;
                e.source = QStringLiteral("window");
                e.user = QString::fromLatin1(Accounts[size_t(i) % std::size(Accounts)]);
                e.action = QStringLiteral("move");
                const char* motion = Motions[size_t(i) % std::size(Motions)];
                if (tenth(random) == 0) {
                    e.detail = QStringLiteral("%1, group %2").arg(QLatin1String(motion)).arg(group(random));
                } else {
                    const int n = count(random);
                    for (int k = 0; k < n; ++k)
                        e.devices.emplace_back(group(random), id(random));
                    e.detail = QStringLiteral("%1, %2 device(s)").arg(QLatin1String(motion)).arg(n);
                }
                events.emplace_back(std::move(e));
            }
            for (int device = 1; device <= Devices; ++device)
                for (int k = 0; k < ChangesADeviceADay; ++k)
                    events.emplace_back(StateChange { midnight.addMSecs(moment(random)), device % 16, device,
                                                      k % 2 ? DeviceState::Online : DeviceState::Offline });
            std::stable_sort(events.begin(), events.end(), [&](const Event& a, const Event& b) { return timeOf(a) < timeOf(b); });
            for (Event& e : events) {
                if (auto* entry = std::get_if<AuditEntry>(&e)) {
                    log.record(std::move(*entry));
                    ++actions;
                } else {
                    log.recordState(std::get<StateChange>(e));
                    ++changes;
                }
            }
            log.flush();
        }
    }
    const double fillSeconds = filling.elapsed() / 1000.0;
    const QString path = QDir(dir).filePath(QStringLiteral("Audit.DB"));
    const qint64 bytes = QFileInfo(path).size();
    std::printf("a year of a busy installation: %d days, %lld actions, %lld on-line changes\n", Days,
                static_cast<long long>(actions), static_cast<long long>(changes));
    std::printf("Audit.DB: %lld bytes (%.1f MB), %.0f bytes a row; written in %.1f s\n", static_cast<long long>(bytes),
                bytes / 1e6, double(bytes) / double(actions + changes), fillSeconds);
    PrintShares(path);

    AuditLog reader(dir, 0);
    QElapsedTimer t;
    t.start();
    const AuditCheck check = reader.verify();
    std::printf("verify(): %s, %lld rows, %.2f s\n", check.intact ? "intact" : qPrintable(check.problem),
                static_cast<long long>(check.rows), t.elapsed() / 1000.0);
    t.restart();
    AuditFilter oneDevice;
    oneDevice.device = AuditDevice { 2, 5 };
    const size_t found = reader.rows(oneDevice).size();
    std::printf("rows() of device 2:5: %zu rows, %.2f s\n", found, t.elapsed() / 1000.0);
    std::vector<AuditDevice> every;
    for (int device = 1; device <= Devices; ++device)
        every.emplace_back(device % 16, device);
    const QDateTime lastDay = start.addDays(Days - 1);
    t.restart();
    const size_t day = reader.history(every, lastDay, lastDay.addDays(1)).size();
    std::printf("history() of %d devices over a day: %zu changes, %.2f s\n", Devices, day, t.elapsed() / 1000.0);
    t.restart();
    {
        AuditLog keep(dir, Days - 1); // the oldest day goes
        std::printf("open with the keep time removing a day: %.2f s\n", t.elapsed() / 1000.0);
    }
    return check.intact ? 0 : 1;
}

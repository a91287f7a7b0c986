// tarvello-soak-helper: the programs scripts/soak runs.
//
//   tarvello-soak-helper post DIR FIRST_ID
//       Appends devices to the register in DIR from FIRST_ID on, forever, and writes each ID to
//       standard output once Post has returned (the acknowledgement).
//   tarvello-soak-helper kills DIR COUNT SEED
//       COUNT times: starts "post" as a child, kills it with SIGKILL after a random time, opens the
//       register and checks that every acknowledged device is in it. Prints the figures; exit
//       status 1 when a record is missing or the register cannot be opened.
//   tarvello-soak-helper fill DATADIR DEVICE_FILE
//       Enters the devices of a simulator device file ("group id" a line) into scene 1's register.
//   tarvello-soak-helper window DATADIR
//       The main window (offscreen, logged in as operator) polling the register's devices round
//       after round, as an operator pressing Refresh would. Message boxes go to standard error
//       instead of waiting for a click. Prints "rounds N" after each round.

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>
#include <QToolButton>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/mainwindow.h"
#include "ui/messages.h"
#include "common/state.h"
#include "register/register.h"

namespace {

int usage()
{
    std::fprintf(stderr, "usage: tarvello-soak-helper post DIR FIRST_ID | kills DIR COUNT SEED | fill DATADIR DEVICE_FILE | window DATADIR\n");
    return 2;
}

// The device table of the register, without its ID ranges: a long run posts far more than 999
// records, and the subject here is what survives a kill, not the ranges.
TTableSchema UnboundedMemberSchema()
{
    TTableSchema schema = MemberSchema();
    for (TFieldDef& f : schema.fields)
        f.range.reset();
    return schema;
}

QString memberFile(const QString& dir)
{
    TRegister reg(dir);
    // The scene's files are created once; later the file may hold IDs the register refuses.
    if (!QFileInfo::exists(reg.MemberFileName())) reg.Open();
    return reg.MemberFileName();
}

[[noreturn]] void postForever(const QString& dir, int firstId)
{
    try {
        TTable members(UnboundedMemberSchema());
        members.setTableName(memberFile(dir));
        members.Open();
        for (int id = firstId;; ++id) {
            members.Append();
            members.SetFieldByName("ID", id);
            members.SetFieldByName("Name", QStringLiteral("升降机 %1").arg(id));
            members.SetFieldByName("Group_ID", id % 16);
            members.Post();
            const std::string line = std::to_string(id) + "\n";
            if (::write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
                ::_exit(3);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "post: %s\n", e.what());
        ::_exit(2);
    }
}

// The IDs in the register's device table.
std::set<long long> storedIds(const QString& dir)
{
    TTable members(UnboundedMemberSchema());
    members.setTableName(memberFile(dir));
    members.Open();
    std::set<long long> ids;
    for (members.First(); !members.Eof(); members.Next())
        ids.insert(members.FieldByName("ID").AsLargeInt());
    members.Close();
    return ids;
}

int kills(const char* self, const QString& dir, int count, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> waitMs(0, 300);
    int nextId = 1;
    long long acknowledged = 0, checked = 0, missing = 0, emptyRuns = 0;
    const auto started = std::chrono::steady_clock::now();
    for (int run = 0; run < count; ++run) {
        int out[2];
        if (::pipe(out) != 0) return 1;
        const std::string first = std::to_string(nextId);
        const std::string dirText = dir.toStdString();
        const pid_t child = ::fork();
        if (child == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            ::execl(self, self, "post", dirText.c_str(), first.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        // Read acknowledgements until the random moment, then kill at once, mid-write or not.
        std::string text;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs(random));
        char buf[4096];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
            if (left <= 0) break;
            pollfd p { out[0], POLLIN, 0 };
            if (::poll(&p, 1, static_cast<int>(left)) > 0) {
                const ssize_t n = ::read(out[0], buf, sizeof buf);
                if (n <= 0) break;
                text.append(buf, static_cast<size_t>(n));
            }
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        // What was written before the kill is acknowledged too.
        for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<size_t>(n));
        ::close(out[0]);
        if (WIFEXITED(status)) {
            std::fprintf(stderr, "run %d: the posting process ended by itself (status %d)\n", run, WEXITSTATUS(status));
            return 1;
        }

        std::vector<long long> acked;
        size_t pos = 0;
        while (true) {
            const size_t end = text.find('\n', pos);
            if (end == std::string::npos) break; // a line cut short was not acknowledged
            acked.push_back(std::stoll(text.substr(pos, end - pos)));
            pos = end + 1;
        }
        if (acked.empty()) ++emptyRuns;
        acknowledged += static_cast<long long>(acked.size());
        std::set<long long> stored;
        try {
            stored = storedIds(dir);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "run %d: the register does not open after the kill: %s\n", run, e.what());
            return 1;
        }
        // Every acknowledged record of every run so far.
        for (long long id = 1; id < nextId + static_cast<long long>(acked.size()); ++id) {
            ++checked;
            if (!stored.count(id)) {
                ++missing;
                std::fprintf(stderr, "run %d: device %lld was acknowledged and is missing\n", run, id);
            }
        }
        // The next child starts after the highest ID stored, acknowledged or not.
        nextId = static_cast<int>(std::max<long long>(nextId + static_cast<long long>(acked.size()),
                                                      stored.empty() ? 1 : *stored.rbegin() + 1));
        if ((run + 1) % 100 == 0)
            std::printf("kills %d, acknowledged %lld, records checked %lld, missing %lld\n", run + 1, acknowledged, checked, missing);
        std::fflush(stdout);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("kill -9 runs: %d; acknowledged records: %lld; records checked after the kills: %lld; missing: %lld; "
                "runs killed before their first acknowledgement: %lld; records in the register: %d; %.0f s\n",
                count, acknowledged, checked, missing, emptyRuns, nextId - 1, seconds);
    return missing == 0 ? 0 : 1;
}

int fill(const QString& dataDir, const char* deviceFile)
{
    FILE* in = std::fopen(deviceFile, "r");
    if (!in) return 1;
    TRegister reg(dataDir);
    reg.Open();
    int group = 0, id = 0, count = 0;
    char line[256];
    while (std::fgets(line, sizeof line, in)) {
        if (std::sscanf(line, "%d %d", &group, &id) != 2) continue;
        reg.Member_Table.Append();
        reg.Member_Table.SetFieldByName("ID", id);
        reg.Member_Table.SetFieldByName("Group_ID", group);
        reg.Member_Table.Post();
        ++count;
    }
    std::fclose(in);
    reg.Close();
    std::printf("%d devices registered\n", count);
    return 0;
}

// Boxes are written out instead of waiting for a click; a confirmation is answered No.
class StderrMessages : public MessageSink {
public:
    bool show(QWidget*, Kind, const QString& text) override
    {
        std::fprintf(stderr, "message: %s\n", text.toLocal8Bit().constData());
        return false;
    }
};

int window(int argc, char** argv, const QString& dataDir)
{
    QApplication app(argc, argv);
    StderrMessages messages;
    SetMessageSink(&messages);
    setCurrentLanguage(1);
    MainWindow form(dataDir);
    form.LogIn = [](MainWindow& f) {
        f.passwordStore().setLevel(ModeOperator);
        return true;
    };
    if (!form.startUp()) return 1;
    long rounds = 0;
    bool wasPolling = false;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        ControlEngine& engine = form.session().engine();
        const bool polling = engine.pollTimer.isActive() || engine.pollPaused();
        if (wasPolling && !polling) {
            std::printf("rounds %ld\n", ++rounds);
            std::fflush(stdout);
        }
        wasPolling = polling;
        // The next round, once this one is over and the port is there.
        if (!polling && form.session().port().isOpen() && !engine.searchRunning()) {
            form.controls().refreshButton->click();
            wasPolling = engine.pollTimer.isActive();
        }
    });
    tick.start(50);
    const int status = QApplication::exec();
    SetMessageSink(nullptr);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return usage();
    const std::string mode = argv[1];
    const QString dir = QString::fromLocal8Bit(argv[2]);
    if (mode == "post" && argc == 4) {
        QCoreApplication app(argc, argv);
        postForever(dir, std::atoi(argv[3]));
    }
    if (mode == "kills" && argc == 5) {
        QCoreApplication app(argc, argv);
        char self[4096];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) return 1;
        self[n] = 0;
        return kills(self, dir, std::atoi(argv[3]), static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)));
    }
    if (mode == "fill" && argc == 4) {
        QCoreApplication app(argc, argv);
        return fill(dir, argv[3]);
    }
    if (mode == "window" && argc == 3) return window(argc, argv, dir);
    return usage();
}

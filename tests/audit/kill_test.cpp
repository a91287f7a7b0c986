// Rows survive the program being killed: every row a flush() acknowledged, and rows recorded
// without a flush once the writer has had its moment; the chain stays whole across the kills.

#include "support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iterator>
#include <csignal>
#include <poll.h>
#include <random>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Child side of a run: records rows "run R row N" and writes N to fd for the rows it may count
// on, then carries on (or idles) until it is killed.
[[noreturn]] void RecordUntilKilled(const QString& dataDir, int run, bool flushes, int fd)
{
    AuditLog log(dataDir, 0);
    auto acknowledge = [&](int n) {
        const std::string line = std::to_string(n) + "\n";
        if (::write(fd, line.data(), line.size()) != ssize_t(line.size()))
            ::_exit(3);
    };
    for (int n = 1;; ++n) {
        log.record(Entry({}, QStringLiteral("move"), QStringLiteral("run %1 row %2").arg(run).arg(n), { { run % 16, n % 999 + 1 } }));
        if (n % 3 == 0)
            log.recordState({ {}, run % 16, n % 999 + 1, DeviceState::Online });
        if (flushes && n % 7 == 0) {
            log.flush();
            acknowledge(n);
        } else if (!flushes && n == 50) {
            acknowledge(n); // recorded, not flushed: the writer is on its own from here
            for (;;)
                ::pause();
        }
    }
}

TEST(AuditKill, RowsSurviveSigkill)
{
    struct Case {
        const char* name;
        bool flushes;
        // After the first acknowledgement: how long the child runs before it is killed.
        std::function<std::chrono::milliseconds(std::mt19937&)> killAfter;
    };
    const std::vector<Case> cases {
        // Killed at a random moment in the middle of recording and committing.
        { "flushed rows", true, [](std::mt19937& r) { return std::chrono::milliseconds(std::uniform_int_distribution<int>(10, 200)(r)); } },
        // The writer commits within 100 ms without being asked; allow for a busy machine.
        { "rows left to the writer", false, [](std::mt19937&) { return 500ms; } },
    };
    const unsigned seed = std::random_device {}();
    std::mt19937 random(seed);
    QTemporaryDir dir;
    std::set<QString> acknowledged;
    int run = 0;
    for (const Case& c : cases) {
        for (int repeat = 0; repeat < 8; ++repeat, ++run) {
            SCOPED_TRACE(testing::Message() << c.name << ", run " << run << ", seed " << seed);
            int fds[2];
            ASSERT_EQ(::pipe(fds), 0);
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                ::close(fds[0]);
                RecordUntilKilled(dir.path(), run, c.flushes, fds[1]);
            }
            ::close(fds[1]);

            std::string pending;
            auto deadline = std::chrono::steady_clock::now() + 20s;
            bool started = false, killed = false;
            for (;;) {
                const auto now = std::chrono::steady_clock::now();
                if (!killed && now >= deadline) {
                    ::kill(child, SIGKILL);
                    killed = true;
                }
                pollfd p { fds[0], POLLIN, 0 };
                const auto wait = killed ? 1000ms : std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
                if (::poll(&p, 1, int(std::max<std::chrono::milliseconds::rep>(wait.count(), 0))) <= 0)
                    continue;
                char buffer[4096];
                const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
                if (got <= 0)
                    break; // the child is gone
                pending.append(buffer, size_t(got));
                if (!started) {
                    started = true;
                    deadline = std::chrono::steady_clock::now() + c.killAfter(random);
                }
            }
            ::close(fds[0]);
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;
            int highest = 0;
            for (size_t start = 0, end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
                highest = std::max(highest, std::stoi(pending.substr(start, end - start)));
            ASSERT_GT(highest, 0);
            for (int n = 1; n <= highest; ++n)
                acknowledged.insert(QStringLiteral("run %1 row %2").arg(run).arg(n));
        }
    }

    AuditLog log(dir.path(), 0);
    const std::vector<AuditRow> rows = log.rows({});
    std::set<QString> found;
    for (const AuditRow& r : rows)
        found.insert(r.detail);
    std::vector<QString> lost;
    std::set_difference(acknowledged.begin(), acknowledged.end(), found.begin(), found.end(), std::back_inserter(lost));
    EXPECT_TRUE(lost.empty()) << lost.size() << " acknowledged rows lost, first " << lost.front().toStdString()
                              << " (seed " << seed << ")";
    const AuditCheck check = log.verify();
    EXPECT_TRUE(check.intact) << check.problem.toStdString() << " (seed " << seed << ")";
    EXPECT_EQ(check.rows, qint64(rows.size()));
    std::printf("[ audit kill ] seed %u: %d runs killed, %zu rows acknowledged, %zu rows found\n", seed, run,
                acknowledged.size(), found.size());
}

} // namespace

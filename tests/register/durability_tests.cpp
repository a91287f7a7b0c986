// Writes that were acknowledged survive the program being killed; a full disk leaves
// the register and its backups as they were.

#include "helpers.h"

#include <QFileInfo>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <random>
#include <set>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The device table without the register's ID ranges: a fast run posts more than 999 records.
TTableSchema UnboundedMemberSchema()
{
    TTableSchema schema = MemberSchema();
    for (TFieldDef& f : schema.fields)
        f.range.reset();
    return schema;
}

// Child side: appends devices from `firstId` on, writing each ID to `fd` once Post returned.
[[noreturn]] void PostForever(const QString& path, int firstId, int fd)
{
    try {
        TTable t(UnboundedMemberSchema());
        t.setTableName(path);
        t.Open();
        for (int id = firstId;; ++id) {
            AppendDevice(t, id, QStringLiteral("设备%1").arg(id), id % 16);
            if (id % 5 == 0) {  // some rewrites as well
                t.Edit();
                t.SetField(1, QStringLiteral("renamed %1").arg(id));
                t.Post();
            }
            const std::string line = std::to_string(id) + "\n";
            if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
                ::_exit(3);
        }
    } catch (...) {
        ::_exit(2);
    }
}

TEST(Durability, AcknowledgedPostsSurviveSigkill)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Member1.DB"));
    ASSERT_TRUE(TTable::CreateTable(path, UnboundedMemberSchema(), {}));

    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> killAfterMs(20, 250);
    const int runs = 20;
    std::set<int> acknowledged;
    int nextId = 1;
    int maxExtra = 0;

    for (int run = 0; run < runs; ++run) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            PostForever(path, nextId, pipeFds[1]);
        }
        ::close(pipeFds[1]);

        // Wait for the first acknowledgement (the child has opened the file), then
        // let it run a random while and kill it in the middle of whatever it does.
        std::string pending;
        bool started = false;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        bool killed = false;
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            if (!killed && now >= deadline) {
                ::kill(child, SIGKILL);
                killed = true;
            }
            pollfd p{pipeFds[0], POLLIN, 0};
            const int waitMs = killed ? 1000
                                      : static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                             deadline - now)
                                                             .count());
            if (::poll(&p, 1, std::max(waitMs, 0)) <= 0)
                continue;
            char buffer[4096];
            const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
            if (got <= 0)
                break;  // closed: the child is gone
            pending.append(buffer, static_cast<size_t>(got));
            if (!started) {
                started = true;
                deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(killAfterMs(random));
            }
        }
        ::close(pipeFds[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "child ended by itself, status " << status << " (seed " << seed << ")";

        int highest = nextId - 1;
        size_t start = 0;
        for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
            const int id = std::stoi(pending.substr(start, end - start));
            acknowledged.insert(id);
            highest = std::max(highest, id);
        }
        // The child may have committed one more record than it could acknowledge.
        nextId = highest + 2;
        ++maxExtra;

        // Every run starts on the file the killed run left behind: it must open and pass
        // the integrity check (opening rolls back an interrupted transaction).
        TTable check(UnboundedMemberSchema());
        check.setTableName(path);
        ASSERT_NO_THROW(check.Open()) << "run " << run << " (seed " << seed << ")";
    }

    TTable t(UnboundedMemberSchema());
    t.setTableName(path);
    t.Open();
    std::set<int> found;
    for (t.First(); !t.Eof(); t.Next()) {
        const int id = t.Field(0).AsInteger();
        found.insert(id);
        const QString name = t.Field(1).AsString();
        EXPECT_TRUE(name == QStringLiteral("设备%1").arg(id) || name == QStringLiteral("renamed %1").arg(id)) << id;
        EXPECT_EQ(t.Field(2).AsInteger(), id % 16);
    }
    std::vector<int> lost;
    for (int id : acknowledged) {
        if (!found.count(id))
            lost.push_back(id);
    }
    std::printf("[ durability ] seed %u: %d runs killed, %zu records acknowledged, %zu records found\n", seed, runs,
                acknowledged.size(), found.size());
    EXPECT_TRUE(lost.empty()) << lost.size() << " acknowledged records lost, first " << lost.front();
    EXPECT_GE(found.size(), acknowledged.size());
    EXPECT_LE(found.size(), acknowledged.size() + static_cast<size_t>(maxExtra));
    EXPECT_GE(acknowledged.size(), static_cast<size_t>(runs));  // every run got at least one write done
}

TEST(FullDisk, FailedPostAndBackupLeaveEverythingAsItWas)
{
    QTemporaryDir dir;
    const QString data = dir.filePath(QStringLiteral("DFiles"));
    {
        std::vector<std::vector<TFieldValue>> rows;
        for (int id = 1; id <= 300; ++id)
            rows.push_back({id, QStringLiteral("Device with a fairly long name %1").arg(id), 0});
        ASSERT_TRUE(QDir().mkpath(data));
        ASSERT_TRUE(TTable::CreateTable(QDir(data).filePath(QStringLiteral("Member1.DB")), MemberSchema(), rows));
        TRegister reg(data);
        reg.Open();
        reg.Backup();
        AppendDevice(reg.Member_Table, 999);
        reg.Close();
    }
    const QString live = QDir(data).filePath(QStringLiteral("Member1.DB"));
    const QString backup = QDir(data).filePath(QStringLiteral("Member1.dbk"));
    const QByteArray backupBefore = ReadBytes(backup);
    ASSERT_GT(backupBefore.size(), 8192);

    // The next backup cannot be written completely.
    const int backupResult = WithFileSizeLimit(8192, [&] {
        TRegister reg(data);
        reg.Open();
        try {
            reg.Backup();
        } catch (const ETableError& e) {
            return e.kind() == ETableError::Kind::WriteFailed && e.fileName() == backup ? 0 : 1;
        }
        return 2;
    });
    EXPECT_EQ(backupResult, 0);
    EXPECT_EQ(ReadBytes(backup), backupBefore);
    EXPECT_EQ(DirEntries(data).size(), 4) << DirEntries(data).join(QLatin1Char(' ')).toStdString();

    // Posts that need the file to grow fail; earlier ones stay, and the file stays sound.
    const auto liveSize = static_cast<rlim_t>(QFileInfo(live).size());
    const int postResult = WithFileSizeLimit(liveSize, [&] {
        TTable t(MemberSchema());
        t.setTableName(live);
        t.Open();
        // Devices 1 to 300 and 999 are there; 301 to id - 1 were added before the failure.
        for (int id = 301; id < 701; ++id) {
            try {
                AppendDevice(t, id, QString(20, QChar(0x4E2D)));
            } catch (const ETableError& e) {
                if (e.kind() != ETableError::Kind::WriteFailed || t.Editing() || t.RecordCount() != id)
                    return 1;
                return 0;
            }
        }
        return 2;
    });
    EXPECT_EQ(postResult, 0);
    TTable::Validate(live, MemberSchema(), live);
    TTable t(MemberSchema());
    t.setTableName(live);
    t.Open();
    EXPECT_TRUE(t.Locate(QStringLiteral("ID"), 999));
    EXPECT_GE(t.RecordCount(), 301);
}

}  // namespace

#pragma once

#include "register/register.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

inline QByteArray ReadBytes(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

inline void WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// Runs SQL on a file directly, as a tool would.
inline void RawSql(const QString& path, const char* sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    const std::string text = message ? message : "";
    sqlite3_free(message);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << text;
}

// Device IDs in table order, read by a full scan.
inline std::vector<int> ScanIds(TTable& t)
{
    std::vector<int> ids;
    for (t.First(); !t.Eof(); t.Next())
        ids.push_back(t.FieldByName(QStringLiteral("ID")).AsInteger());
    return ids;
}

inline void AppendDevice(TTable& t, int id, const QString& name = {}, int group = 0)
{
    t.Append();
    t.SetFieldByName(QStringLiteral("ID"), id);
    t.SetFieldByName(QStringLiteral("Name"), name);
    t.SetFieldByName(QStringLiteral("Group_ID"), group);
    t.Post();
}

// Names of the files in a directory (hidden ones included), sorted.
inline QStringList DirEntries(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

// Permission bits of a file, -1 when it is missing.
inline int FileMode(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}

inline void SetMode(const QString& path, int mode)
{
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)), 0) << path.toStdString();
}

// Runs `body` in a child process whose files cannot grow beyond `limit` bytes, the way a
// full disk refuses them. The child's exit status tells what it saw.
inline int WithFileSizeLimit(rlim_t limit, const std::function<int()>& body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);  // a refused write then fails with EFBIG
        rlimit r{limit, limit};
        if (::setrlimit(RLIMIT_FSIZE, &r) != 0)
            ::_exit(90);
        int rc = 91;
        try {
            rc = body();
        } catch (...) {
        }
        ::_exit(rc);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `body` (with its own EXPECTs) in a child process that is refused what file
// permissions refuse, even when the tests run as root: the child gives up the
// capabilities that override them. Returns false when that cannot be arranged here.
inline bool AsPlainUser(const std::function<void()>& body)
{
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2]{};
        if (::syscall(SYS_capget, &header, caps) != 0)
            ::_exit(77);
        for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
            const unsigned bit = 1u << (cap % 32);
            caps[cap / 32].effective &= ~bit;
            caps[cap / 32].permitted &= ~bit;
            caps[cap / 32].inheritable &= ~bit;
        }
        if (::syscall(SYS_capset, &header, caps) != 0)
            ::_exit(77);
        // Check that a read-only file now refuses a write.
        char probe[] = "/tmp/tarvello-probe-XXXXXX";
        const int fd = ::mkstemp(probe);
        if (fd < 0)
            ::_exit(77);
        ::close(fd);
        ::chmod(probe, 0444);
        const int writable = ::open(probe, O_WRONLY);
        ::unlink(probe);
        if (writable >= 0)
            ::_exit(77);
        int rc = 0;
        try {
            body();
            rc = ::testing::Test::HasFailure() ? 1 : 0;
        } catch (const std::exception& e) {
            std::printf("unexpected exception: %s\n", e.what());
            rc = 2;
        }
        std::fflush(stdout);
        ::_exit(rc);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        return false;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return true;
}

// A second program with its own connection to a table file, holding a lock until it
// is destroyed: "IMMEDIATE" (it is writing; others may still read) or "EXCLUSIVE"
// (it is committing; nobody else may read).
class LockHolder {
public:
    LockHolder(const QString& path, const char* mode)
    {
        EXPECT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &m_db), SQLITE_OK);
        const std::string begin = std::string("BEGIN ") + mode;
        EXPECT_EQ(sqlite3_exec(m_db, begin.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        // Write something, as a program holding the lock would.
        EXPECT_EQ(sqlite3_exec(m_db, "PRAGMA user_version=4242", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ~LockHolder()
    {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(m_db);
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

private:
    sqlite3* m_db = nullptr;
};

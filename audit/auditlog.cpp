#include "auditlog.h"

#include "auditdb.h"

#include "common/state.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaObject>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <thread>
#include <utility>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

// How long the writer lets rows gather after the first one before it commits them together:
// with the commit itself, a row is in the file well within 100 ms.
constexpr auto GatherTime = std::chrono::milliseconds(40);

} // namespace

struct AuditLog::Impl {
    AuditLog* owner = nullptr;
    QString path;
    int keepDays = 0;
    std::unique_ptr<auditdb::Connection> db; // the writer's, opened on its thread at the first row
    bool keepApplied = false;
    std::atomic<bool> writable { true };
    std::atomic<qint64> dropped { 0 }; // rows that did not reach the file, over the run
    qint64 droppedSinceFailure = 0;    // the writer's: those of the failure now said

    std::mutex mutex;
    std::condition_variable wake;    // the writer: rows queued, a flush asked for, or the end
    std::condition_variable written; // flush(): a batch is in the file
    std::vector<AuditEntry> entries;
    std::vector<StateChange> changes;
    std::chrono::steady_clock::time_point firstQueued;
    quint64 recorded = 0;  // rows queued so far
    quint64 committed = 0; // of them, in the file (or given up with the file)
    bool flushWanted = false;
    bool stopping = false;
    std::thread writer;

    // The file failed: said once, until it takes rows again.
    void fail(const QString& reason, bool diskFull)
    {
        if (!writable.exchange(false))
            return;
        // Said on the object's own thread, after whoever made it has connected.
        QMetaObject::invokeMethod(
            owner, [owner = owner, reason, diskFull] { emit owner->writeFailed(reason, diskFull); }, Qt::QueuedConnection);
    }

    // The file took rows again after a failure: said once, with the rows lost meanwhile.
    void recover()
    {
        if (writable.exchange(true))
            return;
        const qint64 lost = std::exchange(droppedSinceFailure, 0);
        QMetaObject::invokeMethod(owner, [owner = owner, lost] { emit owner->writeRecovered(lost); }, Qt::QueuedConnection);
    }

    void drop(qint64 rows)
    {
        dropped += rows;
        droppedSinceFailure += rows;
    }

    void enqueue(auto&& add)
    {
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return;
            if (entries.empty() && changes.empty())
                firstQueued = std::chrono::steady_clock::now();
            add();
            ++recorded;
        }
        wake.notify_one();
    }

    // Opens the file, making it when it is not there, and applies the keep time the first time
    // it opens. A connection that failed is opened anew.
    bool open()
    {
        if (db && db->ok())
            return true;
        db = std::make_unique<auditdb::Connection>(path, true);
        if (db->ok() && keepDays > 0 && !keepApplied)
            keepApplied = db->purge(QDateTime::currentDateTimeUtc().addDays(-keepDays), AuditLog::processUser());
        if (!db->ok())
            fail(db->error(), db->diskFull());
        return db->ok();
    }

    // One batch: written, or dropped and counted when the file fails. Every batch tries the
    // file again, so a failure lasts only as long as its cause.
    void write(const std::vector<AuditEntry>& batchEntries, const std::vector<StateChange>& batchChanges)
    {
        if (!open()) {
            drop(qint64(batchEntries.size() + batchChanges.size()));
            return;
        }
        if (!db->append(batchEntries, batchChanges)) {
            fail(db->error(), db->diskFull());
            drop(qint64(batchEntries.size() + batchChanges.size()));
            return;
        }
        recover();
    }

    void run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return stopping || !entries.empty() || !changes.empty(); });
            if (entries.empty() && changes.empty())
                return; // stopping, nothing left
            wake.wait_until(lock, firstQueued + GatherTime, [&] { return stopping || flushWanted; });
            std::vector<AuditEntry> batchEntries = std::move(entries);
            std::vector<StateChange> batchChanges = std::move(changes);
            entries.clear();
            changes.clear();
            flushWanted = false;
            const quint64 upTo = recorded;
            lock.unlock();
            write(batchEntries, batchChanges);
            lock.lock();
            committed = upTo;
            written.notify_all();
        }
    }
};

AuditLog::AuditLog(const QString& dataDir, int keepDays, QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Impl>())
{
    d->owner = this;
    d->path = QDir(dataDir).filePath(QStringLiteral("Audit.DB"));
    d->keepDays = keepDays;
    // A record there already is opened (and the keep time applied) at once; a new one is made
    // when its first row comes.
    if (QFileInfo::exists(d->path))
        d->open();
    d->writer = std::thread([impl = d.get()] { impl->run(); });
}

AuditLog::~AuditLog()
{
    {
        std::lock_guard lock(d->mutex);
        d->stopping = true;
    }
    d->wake.notify_one();
    if (d->writer.joinable())
        d->writer.join();
}

QString AuditLog::fileName() const
{
    return d->path;
}

bool AuditLog::writable() const
{
    return d->writable;
}

qint64 AuditLog::droppedRows() const
{
    return d->dropped;
}

void AuditLog::record(AuditEntry entry)
{
    if (!entry.time.isValid())
        entry.time = QDateTime::currentDateTimeUtc();
    if (entry.user.isEmpty())
        entry.user = processUser();
    emit recorded(entry);
    d->enqueue([&] { d->entries.push_back(std::move(entry)); });
}

void AuditLog::recordState(StateChange change)
{
    if (!change.time.isValid())
        change.time = QDateTime::currentDateTimeUtc();
    d->enqueue([&] { d->changes.push_back(std::move(change)); });
}

void AuditLog::flush()
{
    std::unique_lock lock(d->mutex);
    if (!d->writer.joinable())
        return;
    const quint64 target = d->recorded;
    if (d->committed >= target)
        return;
    d->flushWanted = true;
    d->wake.notify_one();
    d->written.wait(lock, [&] { return d->committed >= target; });
}

std::vector<AuditRow> AuditLog::rows(const AuditFilter& filter) const
{
    return auditdb::Connection(d->path, false).rows(filter);
}

std::vector<StateChange> AuditLog::history(const std::vector<AuditDevice>& devices, const QDateTime& since,
                                           const QDateTime& until) const
{
    return auditdb::Connection(d->path, false).history(devices, since, until);
}

AuditCheck AuditLog::verify() const
{
    return auditdb::Connection(d->path, false).verify();
}

std::optional<std::pair<QDateTime, QDateTime>> AuditLog::span() const
{
    return auditdb::Connection(d->path, false).span();
}

QString AuditLog::processUser()
{
    static const QString user = [] {
#ifdef _WIN32
        return windowsAccountName([](wchar_t* buffer, unsigned long* size) {
            DWORD n = *size;
            const bool ok = ::GetUserNameW(buffer, &n);
            *size = n;
            return ok;
        });
#else
        if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name && *pw->pw_name)
            return QString::fromLocal8Bit(pw->pw_name);
        // The environment is the caller's to set, so it is the last resort only.
        return qEnvironmentVariable("USER");
#endif
    }();
    return user;
}

QString AuditLog::windowsAccountName(const UserNameCall& getUserName)
{
    wchar_t name[257] = {}; // UNLEN + 1: every account name fits
    unsigned long size = static_cast<unsigned long>(std::size(name));
    // The size counts the closing null; a size beyond the buffer is not trusted.
    if (getUserName(name, &size) && size > 1 && size <= std::size(name) && name[size - 1] == L'\0')
        return QString::fromWCharArray(name, static_cast<int>(size) - 1);
    return QStringLiteral("unknown");
}

QString AuditLevelName(int level)
{
    switch (level) {
    case ModeSuperUser: return QStringLiteral("super-user");
    case ModeAdministrator: return QStringLiteral("administrator");
    case ModeOperator: return QStringLiteral("operator");
    case ModeNone: return QStringLiteral("none");
    }
    return QString::number(level);
}

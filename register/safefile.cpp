#include "register/safefile.h"

#include "register/table.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvello {

namespace {

QString ErrnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

QByteArray Native(const QString& path)
{
    return QFile::encodeName(path);
}

void SyncDirectoryOf(const QString& path, const QString& reportAs)
{
    const QByteArray dir = Native(QFileInfo(path).absolutePath());
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw ETableError(ETableError::Kind::WriteFailed, reportAs, ErrnoText(errno));
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0)
        throw ETableError(ETableError::Kind::WriteFailed, reportAs, ErrnoText(err));
}

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    // Close reports write-back errors on some file systems, so it is checked.
    int release()
    {
        const int rc = ::close(m_fd);
        m_fd = -1;
        return rc;
    }

private:
    int m_fd;
};

ReplaceHook g_replaceHook = nullptr;

const char TempInfix[] = ".tmp-";
constexpr int TempUniqueLength = 6;  // the XXXXXX of mkostemp

}  // namespace

QString MakeTempBeside(const QString& target)
{
    const QFileInfo info(target);
    QByteArray pattern = Native(info.absolutePath() + QLatin1String("/.") + info.fileName()
                                + QLatin1String(TempInfix) + QString(TempUniqueLength, QLatin1Char('X')));
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        throw ETableError(ETableError::Kind::WriteFailed, target, ErrnoText(errno));
    ::close(fd);
    return QFile::decodeName(pattern);
}

void CopyInto(const QString& source, const QString& temp, const QString& target)
{
    Fd in(::open(Native(source).constData(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        throw ETableError(ETableError::Kind::CannotOpen, source, ErrnoText(errno));
    Fd out(::open(Native(temp).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (out.get() < 0)
        throw ETableError(ETableError::Kind::WriteFailed, target, ErrnoText(errno));

    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(in.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw ETableError(ETableError::Kind::CannotOpen, source, ErrnoText(errno));
        }
        if (got == 0)
            break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out.get(), buffer + done, static_cast<size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                throw ETableError(ETableError::Kind::WriteFailed, target, ErrnoText(errno));
            }
            done += put;
        }
    }
    if (::fsync(out.get()) != 0 || out.release() != 0)
        throw ETableError(ETableError::Kind::WriteFailed, target, ErrnoText(errno));
}

void SyncFile(const QString& path, const QString& reportAs)
{
    Fd fd(::open(Native(path).constData(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0)
        throw ETableError(ETableError::Kind::WriteFailed, reportAs, ErrnoText(errno));
}

bool CopyMode(const QString& model, const QString& temp, const QString& reportAs)
{
    struct stat st {};
    if (::stat(Native(model).constData(), &st) != 0)
        return false;
    if (::chmod(Native(temp).constData(), st.st_mode & 07777) != 0)
        throw ETableError(ETableError::Kind::WriteFailed, reportAs, ErrnoText(errno));
    return true;
}

void ReplaceWith(const QString& temp, const QString& target)
{
    if (::rename(Native(temp).constData(), Native(target).constData()) != 0)
        throw ETableError(ETableError::Kind::WriteFailed, target, ErrnoText(errno));
    SyncDirectoryOf(target, target);
    if (g_replaceHook)
        g_replaceHook(target);
}

void SetReplaceHook(ReplaceHook hook)
{
    g_replaceHook = hook;
}

bool IsTempNameOf(const QString& fileName, const QString& targetName)
{
    QString name = fileName;
    if (name.endsWith(QLatin1String("-journal")))
        name.chop(8);
    const QString prefix = QLatin1Char('.') + targetName + QLatin1String(TempInfix);
    if (!name.startsWith(prefix) || name.size() != prefix.size() + TempUniqueLength)
        return false;
    for (const QChar c : QStringView(name).mid(prefix.size())) {
        const char16_t u = c.unicode();
        if (!((u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9')))
            return false;
    }
    return true;
}

bool InstallNew(const QString& temp, const QString& target)
{
    const QByteArray from = Native(temp);
    const QByteArray to = Native(target);
    int rc = ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
    if (rc != 0 && errno == EINVAL) {
        // The file system cannot refuse atomically; nothing else creates these files.
        if (QFileInfo::exists(target)) {
            errno = EEXIST;
        } else {
            rc = ::rename(from.constData(), to.constData());
        }
    }
    if (rc != 0) {
        const int err = errno;
        ::unlink(from.constData());
        if (err == EEXIST)
            return false;
        throw ETableError(ETableError::Kind::WriteFailed, target, ErrnoText(err));
    }
    SyncDirectoryOf(target, target);
    return true;
}

void SyncDirectory(const QString& path)
{
    SyncDirectoryOf(path, path);
}

void RemoveIfPresent(const QString& path)
{
    ::unlink(Native(path).constData());
}

}  // namespace tarvello

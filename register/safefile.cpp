#include "register/safefile.h"

#include "common/diskfull.h"

#include "register/table.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tarvello {

namespace {

QString ErrnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// A write that failed with `err`, naming `file`: "disk full" when that was the cause.
ETableError WriteError(const QString& file, int err)
{
    return ETableError(IsDiskFullError(err) ? ETableError::Kind::DiskFull : ETableError::Kind::WriteFailed, file,
                       ErrnoText(err));
}

#ifdef _WIN32
// Windows: wide-character paths (names need not fit the ANSI code page), binary mode, and
// MoveFileEx for the renames, which plain rename() cannot do over an existing file.
std::wstring Wide(const QString& path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

QString LastErrorText()
{
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, GetLastError(), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const QString result = n ? QString::fromWCharArray(text, static_cast<int>(n)).trimmed() : QStringLiteral("error %1").arg(GetLastError());
    LocalFree(text);
    return result;
}

int OpenForReading(const QString& path) { return ::_wopen(Wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT); }
int OpenForRewriting(const QString& path) { return ::_wopen(Wide(path).c_str(), _O_WRONLY | _O_TRUNC | _O_BINARY | _O_NOINHERIT); }
int CreateExclusive(const QString& path)
{
    return ::_wopen(Wide(path).c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}
int SyncDescriptor(int fd) { return ::_commit(fd); }
// Directory entries are written through by MoveFileEx itself; Windows cannot flush a directory.
void SyncDirectoryOf(const QString&, const QString&) {}
#else
QByteArray Native(const QString& path)
{
    return QFile::encodeName(path);
}

int OpenForReading(const QString& path) { return ::open(Native(path).constData(), O_RDONLY | O_CLOEXEC); }
int OpenForRewriting(const QString& path) { return ::open(Native(path).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC); }
int SyncDescriptor(int fd) { return ::fsync(fd); }

void SyncDirectoryOf(const QString& path, const QString& reportAs)
{
    const QByteArray dir = Native(QFileInfo(path).absolutePath());
    const int fd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw WriteError(reportAs, errno);
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0)
        throw WriteError(reportAs, err);
}
#endif

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
#ifdef _WIN32
    // What mkostemp does: letters and digits at random until a name is free.
    static const char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0;; ++attempt) {
        QString unique;
        for (int i = 0; i < TempUniqueLength; ++i)
            unique += QLatin1Char(Alphabet[QRandomGenerator::global()->bounded(int(sizeof Alphabet) - 1)]);
        const QString name = info.absolutePath() + QLatin1String("/.") + info.fileName() + QLatin1String(TempInfix) + unique;
        const int fd = CreateExclusive(name);
        if (fd >= 0) {
            ::_close(fd);
            return name;
        }
        if (errno != EEXIST || attempt == 100)
            throw WriteError(target, errno);
    }
#else
    QByteArray pattern = Native(info.absolutePath() + QLatin1String("/.") + info.fileName()
                                + QLatin1String(TempInfix) + QString(TempUniqueLength, QLatin1Char('X')));
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        throw WriteError(target, errno);
    ::close(fd);
    return QFile::decodeName(pattern);
#endif
}

void CopyInto(const QString& source, const QString& temp, const QString& target)
{
    Fd in(OpenForReading(source));
    if (in.get() < 0)
        throw ETableError(ETableError::Kind::CannotOpen, source, ErrnoText(errno));
    Fd out(OpenForRewriting(temp));
    if (out.get() < 0)
        throw WriteError(target, errno);

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
                throw WriteError(target, errno);
            }
            done += put;
        }
    }
    if (SyncDescriptor(out.get()) != 0 || out.release() != 0)
        throw WriteError(target, errno);
}

void SyncFile(const QString& path, const QString& reportAs)
{
#ifdef _WIN32
    // _commit needs a descriptor open for writing.
    Fd fd(::_wopen(Wide(path).c_str(), _O_RDWR | _O_BINARY | _O_NOINHERIT));
#else
    Fd fd(OpenForReading(path));
#endif
    if (fd.get() < 0 || SyncDescriptor(fd.get()) != 0)
        throw WriteError(reportAs, errno);
}

bool CopyMode(const QString& model, const QString& temp, const QString& reportAs)
{
#ifdef _WIN32
    // Windows keeps one permission bit of this kind: read-only.
    struct _stat64 st {};
    if (::_wstat64(Wide(model).c_str(), &st) != 0)
        return false;
    if (::_wchmod(Wide(temp).c_str(), st.st_mode & (_S_IREAD | _S_IWRITE)) != 0)
        throw WriteError(reportAs, errno);
#else
    struct stat st {};
    if (::stat(Native(model).constData(), &st) != 0)
        return false;
    if (::chmod(Native(temp).constData(), st.st_mode & 07777) != 0)
        throw WriteError(reportAs, errno);
#endif
    return true;
}

void ReplaceWith(const QString& temp, const QString& target)
{
#ifdef _WIN32
    if (!MoveFileExW(Wide(temp).c_str(), Wide(target).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        throw ETableError(ETableError::Kind::WriteFailed, target, LastErrorText());
#else
    if (::rename(Native(temp).constData(), Native(target).constData()) != 0)
        throw WriteError(target, errno);
#endif
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
#ifdef _WIN32
    // Without MOVEFILE_REPLACE_EXISTING the move refuses an existing target atomically.
    if (!MoveFileExW(Wide(temp).c_str(), Wide(target).c_str(), MOVEFILE_WRITE_THROUGH)) {
        const DWORD err = GetLastError();
        const QString why = LastErrorText();
        DeleteFileW(Wide(temp).c_str());
        if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS)
            return false;
        throw ETableError(ETableError::Kind::WriteFailed, target, why);
    }
    return true;
#else
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
        throw WriteError(target, err);
    }
    SyncDirectoryOf(target, target);
    return true;
#endif
}

void SyncDirectory(const QString& path)
{
    SyncDirectoryOf(path, path);
}

void RemoveIfPresent(const QString& path)
{
#ifdef _WIN32
    DeleteFileW(Wide(path).c_str());
#else
    ::unlink(Native(path).constData());
#endif
}

}  // namespace tarvello

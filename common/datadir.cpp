#include "common/datadir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QLockFile>
#include <QProcessEnvironment>
#include <QSaveFile>
#include <QSysInfo>

#include "common/texts.h"

namespace {

const QString DataFolderName = QStringLiteral("DFiles");

const Text NotCreatedText { "无法创建数据文件夹 %1：%2。\n请用 --data-dir 指定一个可写的文件夹。",
                            "The data folder %1 cannot be created: %2.\nName a folder you may write to with --data-dir." };
const Text NotAFolderText { "已有同名的文件", "a file of that name is in the way" };
const Text NoPermissionText { "没有写入权限或上级路径不是文件夹",
                              "no permission to write there, or a part of the path is not a folder" };

const Text InUseByWindowText {
    "数据文件夹 %1 已被另一个 Tarvello 窗口使用（进程 %2）。\n请使用已打开的窗口，或用 --data-dir 指定另一个数据文件夹。",
    "The data directory %1 is already in use by another Tarvello window (process %2).\n"
    "Use the window that is open, or name another data directory with --data-dir." };
const Text InUseByCtlText {
    "数据文件夹 %1 正被 tarvello-ctl 使用（进程 %2）。\n请等它结束后再试。",
    "The data directory %1 is in use by tarvello-ctl (process %2).\nTry again when it has finished." };

} // namespace

DataDirChoice ChooseDataDir(const QString& given, const QString& workingDir,
                            const QString& xdgDataHome, const QString& home)
{
    if (!given.isEmpty())
        return { given, DataDirChoice::Given };
    if (QFileInfo(QDir(workingDir).filePath(DataFolderName)).isDir()) {
        // Relative as it always was, so that messages name "DFiles/..." as before.
        const bool here = QDir(workingDir) == QDir(QDir::currentPath());
        return { here ? DataFolderName : QDir(workingDir).filePath(DataFolderName), DataDirChoice::WorkingDirectory };
    }
    const QString base = !xdgDataHome.isEmpty() && QDir::isAbsolutePath(xdgDataHome)
        ? xdgDataHome
        : QDir(home).filePath(QStringLiteral(".local/share"));
    return { QDir::cleanPath(base + QStringLiteral("/tarvello/") + DataFolderName), DataDirChoice::UserData };
}

DataDirChoice ChooseWindowsDataDir(const QString& given, const QString& workingDir, const QString& programDir,
                                   const QString& programData)
{
    if (!given.isEmpty())
        return { given, DataDirChoice::Given };
    const QDir program(programDir);
    if (QFileInfo(program.filePath(QLatin1String(InstalledMarkerName))).isFile())
        return { QDir::cleanPath(programData + QStringLiteral("/Tarvello/") + DataFolderName), DataDirChoice::Installed };
    if (QFileInfo(QDir(workingDir).filePath(DataFolderName)).isDir() && QDir(workingDir) != program)
        return ChooseDataDir(given, workingDir, QString(), QString());
    return { program.filePath(DataFolderName), DataDirChoice::BesideProgram };
}

DataDirChoice ChooseDataDir(const QString& given)
{
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
#ifdef _WIN32
    const QString programData = env.value(QStringLiteral("ProgramData"), QStringLiteral("C:/ProgramData"));
    return ChooseWindowsDataDir(given, QDir::currentPath(), QCoreApplication::applicationDirPath(),
                                QDir::fromNativeSeparators(programData));
#else
    const QString home = env.value(QStringLiteral("HOME"), QDir::homePath());
    return ChooseDataDir(given, QDir::currentPath(), env.value(QStringLiteral("XDG_DATA_HOME")),
                         home.isEmpty() ? QDir::homePath() : home);
#endif
}

bool MakeDataDir(const QString& path, int16_t language, QString* message)
{
    const QFileInfo info(path);
    if (info.isDir())
        return true;
    const bool inTheWay = info.exists();
    if (!inTheWay && QDir().mkpath(path))
        return true;
    if (message)
        *message = pick(NotCreatedText, language)
                       .arg(QDir::toNativeSeparators(path), pick(inTheWay ? NotAFolderText : NoPermissionText, language));
    return false;
}

int16_t SystemLanguage()
{
    // The user interface languages put the desktop's language list (LANGUAGE) ahead of LANG.
    const QLocale locale;
    const QStringList languages = locale.uiLanguages();
    const QString first = languages.isEmpty() ? locale.name() : languages.first();
    return first.startsWith(QLatin1String("zh"), Qt::CaseInsensitive) ? 0 : 1;
}

DataDirLock::DataDirLock(const QString& dataDir)
    : m_dataDir(dataDir)
    , m_lock(new QLockFile(QDir(dataDir).filePath(QLatin1String(LockFileName))))
{
    // Held for a whole run, however long: only a lock whose process is gone counts as stale.
    m_lock->setStaleLockTime(0);
}

DataDirLock::~DataDirLock()
{
    if (m_lock->isLocked() && !m_published.isEmpty())
        QFile::remove(QDir(m_dataDir).filePath(QLatin1String(PortFileName)));
    m_lock->unlock();
    delete m_lock;
}

// PortFileName: the holder's process id on the first line, then "port IDENTITY" or
// "none ACTIVITY", in UTF-8. Only the process that holds the lock writes it, and a reader believes
// it only when that process holds the lock still, so a file left by a crash says nothing.
void DataDirLock::publish(const QString& line)
{
    if (!m_lock->isLocked() || line == m_published)
        return;
    QSaveFile file(QDir(m_dataDir).filePath(QLatin1String(PortFileName)));
    file.setDirectWriteFallback(true); // Windows: a reader may have it open at that moment
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n' + line.toUtf8() + '\n');
    if (file.commit())
        m_published = line;
}

void DataDirLock::setPort(const QString& identity)
{
    publish(QStringLiteral("port ") + identity);
}

void DataDirLock::setNoPort(const QString& activity)
{
    publish(QStringLiteral("none ") + activity);
}

HeldPort DataDirLock::holderPort() const
{
    qint64 holder = 0;
    QString host, program;
    if (!m_lock->getLockInfo(&holder, &host, &program) || holder <= 0)
        return {};
    QFile file(QDir(m_dataDir).filePath(QLatin1String(PortFileName)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.size() < 2 || lines[0].trimmed().toLongLong() != holder)
        return {};
    const QString said = QString::fromUtf8(lines[1]);
    if (said.startsWith(QLatin1String("port ")) && said.size() > 5)
        return { HeldPort::Open, said.mid(5), QString() };
    if (said.startsWith(QLatin1String("none ")))
        return { HeldPort::NoPort, QString(), said.mid(5) };
    return {};
}

DataDirLock::Result DataDirLock::tryLock()
{
    if (m_lock->isLocked() || m_lock->tryLock(0))
        return Result::Locked;
    return m_lock->error() == QLockFile::LockFailedError ? Result::InUse : Result::NotWritable;
}

qint64 DataDirLock::localHolder(bool* ctl) const
{
    qint64 pid = 0;
    QString host, program;
    if (!m_lock->getLockInfo(&pid, &host, &program))
        return 0;
    // This computer as QLockFile names it in the file: on Windows its COMPUTERNAME (in capitals,
    // where the host name is often in small letters).
#ifdef _WIN32
    if (host.compare(qEnvironmentVariable("COMPUTERNAME"), Qt::CaseInsensitive) != 0)
        return 0;
#else
    if (host != QSysInfo::machineHostName())
        return 0;
#endif
    if (ctl)
        *ctl = program == QLatin1String("tarvello-ctl");
    return pid;
}

QString DataDirLock::holderText(int16_t language) const
{
    qint64 pid = 0;
    QString host, program;
    m_lock->getLockInfo(&pid, &host, &program);
    const bool ctl = program == QLatin1String("tarvello-ctl");
    return pick(ctl ? InUseByCtlText : InUseByWindowText, language)
        .arg(QDir::toNativeSeparators(m_dataDir), pid > 0 ? QString::number(pid) : QStringLiteral("?"));
}

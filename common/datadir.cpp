#include "common/datadir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QProcessEnvironment>

#include "common/texts.h"

namespace {

const QString DataFolderName = QStringLiteral("DFiles");

const Text NotCreatedText { "无法创建数据文件夹 %1：%2。\n请用 --data-dir 指定一个可写的文件夹。",
                            "The data folder %1 cannot be created: %2.\nName a folder you may write to with --data-dir." };
const Text NotAFolderText { "已有同名的文件", "a file of that name is in the way" };
const Text NoPermissionText { "没有写入权限或上级路径不是文件夹",
                              "no permission to write there, or a part of the path is not a folder" };

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

DataDirChoice ChooseDataDir(const QString& given)
{
#ifdef _WIN32
    // On Windows the program's folder is copied to the PC with its DFiles beside tarvello.exe:
    // that one is used when the working directory has none (a shortcut starting elsewhere).
    if (given.isEmpty() && !QFileInfo(QDir::current().filePath(DataFolderName)).isDir()) {
        const QString besideProgram = QDir(QCoreApplication::applicationDirPath()).filePath(DataFolderName);
        if (!QCoreApplication::applicationDirPath().isEmpty() && QFileInfo(besideProgram).isDir())
            return { besideProgram, DataDirChoice::WorkingDirectory };
    }
#endif
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString home = env.value(QStringLiteral("HOME"), QDir::homePath());
    return ChooseDataDir(given, QDir::currentPath(), env.value(QStringLiteral("XDG_DATA_HOME")),
                         home.isEmpty() ? QDir::homePath() : home);
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

#include "app/takeover.h"

#include <algorithm>

#include <QDir>
#include <QFileDialog>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "common/texts.h"
#include "ui/messages.h"

namespace {

const Text OfferText {
    "这是本电脑上第一次启动已安装的 Tarvello，数据文件夹 %1 还是空的。\n"
    "要接管已有的数据文件夹（DFiles）吗？它会被复制过来，原文件夹保持不变。",
    "This is the first start of the installed Tarvello on this PC, and its data folder %1 is empty.\n"
    "Take over an existing data folder (DFiles)? It is copied here; the original is left as it was." };
const Text NoRegisterText {
    "%1 中没有设置、密码或登记表文件（DB.ini、SysSet.DB、Member*.DB、Group*.DB），没有复制任何文件。",
    "%1 holds no settings, password or register file (DB.ini, SysSet.DB, Member*.DB, Group*.DB); nothing was copied." };
const Text SameFolderText { "%1 就是本程序的数据文件夹，没有复制任何文件。",
                            "%1 is this program's data folder itself; nothing was copied." };
const Text NotEmptyText { "数据文件夹 %1 不是空的，没有复制任何文件。",
                          "The data folder %1 is not empty; nothing was copied." };
const Text CopyFailedText { "无法复制 %1：%2。数据文件夹仍是空的。",
                            "%1 could not be copied: %2. The data folder is empty as before." };
const Text ChooseTitle { "选择要接管的数据文件夹（DFiles）", "Choose the data folder (DFiles) to take over" };
const Text CopiedText { "已从 %2 复制 %1 个文件。原文件夹保持不变。",
                        "%1 files were copied from %2. The original folder is left as it was." };

QString native(const QString& path)
{
    return QDir::toNativeSeparators(QDir(path).absolutePath());
}

} // namespace

bool IsEmptyDataFolder(const QString& path)
{
    const QDir dir(path);
    return !dir.exists() || dir.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

bool CopyDataFolder(const QString& from, const QString& to, int16_t language, QString* message)
{
    auto refuse = [&](const Text& text, const QString& arg) {
        if (message)
            *message = pick(text, language).arg(native(arg));
        return false;
    };
    const QDir source(from);
    if (QFileInfo(from).canonicalFilePath() == QFileInfo(to).canonicalFilePath() && QFileInfo::exists(to))
        return refuse(SameFolderText, from);
    static const QRegularExpression ours(QStringLiteral("^(DB\\.ini|SysSet\\.DB|(Member|Group)[0-9]+\\.DB)$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QFileInfoList files = source.entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    if (std::none_of(files.begin(), files.end(), [](const QFileInfo& f) { return ours.match(f.fileName()).hasMatch(); }))
        return refuse(NoRegisterText, from);
    if (!IsEmptyDataFolder(to))
        return refuse(NotEmptyText, to);
    QDir target(to);
    if (!target.exists() && !QDir().mkpath(to))
        return refuse(CopyFailedText, from);

    QStringList copied;
    for (const QFileInfo& f : files) {
        // Another program's hold on its folder is no part of the data.
        if (f.fileName() == QLatin1String("tarvello.lock"))
            continue;
        const QString destination = target.filePath(f.fileName());
        if (!QFile::copy(f.filePath(), destination)) {
            const QString reason = QFile(f.filePath()).errorString();
            for (const QString& name : copied)
                QFile::remove(name);
            if (message)
                *message = pick(CopyFailedText, language).arg(native(f.filePath()), reason);
            return false;
        }
        copied << destination;
    }
    if (message)
        *message = pick(CopiedText, language).arg(copied.size()).arg(native(from));
    return true;
}

bool OfferDataFolderTakeOver(const QString& dataDir, int16_t language, QWidget* parent,
                             const std::function<QString()>& chooseFolder)
{
    if (!AskConfirmation(parent, pick(OfferText, language).arg(native(dataDir))))
        return false;
    for (;;) {
        const QString folder = chooseFolder();
        if (folder.isEmpty())
            return false;
        QString said;
        if (CopyDataFolder(folder, dataDir, language, &said)) {
            ShowInformation(parent, said);
            return true;
        }
        ShowError(parent, said);
    }
}

QString ChooseDataFolderToTakeOver(int16_t language, QWidget* parent)
{
    return QFileDialog::getExistingDirectory(parent, pick(ChooseTitle, language));
}

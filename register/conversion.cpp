#include "register/conversion.h"

#include "common/texts.h"
#include "register/register.h"
#include "register/safefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifndef _WIN32
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#endif

namespace {

constexpr int SceneCount = 12;
const char MarkerTitle[] = "Tarvello conversion in progress";
// The files of a Paradox table beside its .DB: primary index and validity checks.
const char* const CompanionSuffixes[] = {".PX", ".VAL"};

constexpr Text DevicesText{"%1：%2 个设备", "%1: %2 devices"};
constexpr Text GroupsText{"%1：%2 个组", "%1: %2 groups"};
constexpr Text PasswordsText{"%1：%2 个密码", "%1: %2 passwords"};
constexpr Text KeptText{"，原文件保存为 %1", ", original kept as %1"};

TParadoxKind KindOf(const QString& fileName)
{
    if (fileName.startsWith(QLatin1String("Member")))
        return TParadoxKind::Devices;
    if (fileName.startsWith(QLatin1String("Group")))
        return TParadoxKind::Groups;
    return TParadoxKind::Passwords;
}

const TTableSchema& SchemaOf(TParadoxKind kind)
{
    switch (kind) {
    case TParadoxKind::Devices:
        return MemberSchema();
    case TParadoxKind::Groups:
        return GroupSchema();
    default:
        return SysSetSchema();
    }
}

QString Stem(const QString& fileName)
{
    return fileName.left(fileName.lastIndexOf(QLatin1Char('.')));
}

// The .PX and .VAL files beside a table, as they are spelt in the directory (tables made on
// Windows may have them in any case).
QStringList CompanionsOf(const QDir& dir, const QString& fileName)
{
    QStringList found;
    const QStringList entries = dir.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const char* suffix : CompanionSuffixes) {
        const QString wanted = Stem(fileName) + QLatin1String(suffix);
        for (const QString& entry : entries)
            if (entry.compare(wanted, Qt::CaseInsensitive) == 0) {
                found << entry;
                break;
            }
    }
    return found;
}

bool Exists(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

struct TMarkerEntry {
    QString fileName;    // the table, e.g. "Member1.DB"
    QString temp;        // its new file waiting beside it
    QStringList companions;
};

void WriteMarker(const QString& dataDir, const std::vector<TMarkerEntry>& entries)
{
    const QString marker = ConversionMarkerFileName(dataDir);
    QByteArray text = QByteArray(MarkerTitle) + '\n';
    for (const TMarkerEntry& e : entries) {
        QStringList fields{e.fileName, e.temp};
        fields += e.companions;
        text += fields.join(QLatin1Char('\t')).toUtf8() + '\n';
    }
    const QString temp = tarvello::MakeTempBeside(marker);
    try {
        QFile file(temp);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
            throw ETableError(ETableError::Kind::WriteFailed, marker, file.errorString());
        file.close();
        tarvello::SyncFile(temp, marker);
        tarvello::ReplaceWith(temp, marker);
    } catch (...) {
        tarvello::RemoveIfPresent(temp);
        throw;
    }
}

void RemoveMarker(const QString& dataDir)
{
    const QString marker = ConversionMarkerFileName(dataDir);
    tarvello::RemoveIfPresent(marker);
    tarvello::SyncDirectory(marker);
}

// A file whose permission bits were changed, and the bits it had.
struct TModeChange {
    QString path;
    unsigned mode = 0;
};

// Makes the originals of the password table readable and writable by their owner only, as the
// password store is: their encoding is easily undone. Done before anything is renamed, so the
// kept copies have that mode however the conversion ends. Windows files have no such bits.
void RestrictPasswordOriginals(const QDir& dir, const TMarkerEntry& e, std::vector<TModeChange>& changed)
{
#ifndef _WIN32
    constexpr mode_t OwnerOnly = S_IRUSR | S_IWUSR;
    for (const QString& name : QStringList{e.fileName} + e.companions) {
        const QString path = dir.filePath(name);
        struct stat st {};
        if (::stat(QFile::encodeName(path).constData(), &st) != 0)
            throw ETableError(ETableError::Kind::CannotOpen, path, QString::fromLocal8Bit(std::strerror(errno)));
        const mode_t mode = st.st_mode & 07777;
        if (mode == OwnerOnly)
            continue;
        if (::chmod(QFile::encodeName(path).constData(), OwnerOnly) != 0)
            throw ETableError(ETableError::Kind::WriteFailed, path, QString::fromLocal8Bit(std::strerror(errno)));
        changed.push_back({path, mode});
    }
#else
    (void)dir;
    (void)e;
    (void)changed;
#endif
}

void RestoreModes(const std::vector<TModeChange>& changed)
{
#ifndef _WIN32
    for (const TModeChange& c : changed)
        ::chmod(QFile::encodeName(c.path).constData(), static_cast<mode_t>(c.mode));
#else
    (void)changed;
#endif
}

// Moves the original files of one table to their kept names (those not moved yet), then
// puts the new file in its place.
void Install(const QDir& dir, const TMarkerEntry& e)
{
    for (const QString& name : QStringList{e.fileName} + e.companions) {
        const QString live = dir.filePath(name);
        const QString kept = dir.filePath(KeptName(name));
        if (Exists(live) && !Exists(kept))
            tarvello::ReplaceWith(live, kept);
    }
    tarvello::ReplaceWith(dir.filePath(e.temp), dir.filePath(e.fileName));
}

}  // namespace

QStringList DataTableNames()
{
    QStringList names;
    for (int scene = 1; scene <= SceneCount; ++scene)
        names << QStringLiteral("Member%1.DB").arg(scene) << QStringLiteral("Group%1.DB").arg(scene);
    names << QStringLiteral("SysSet.DB");
    return names;
}

QStringList ParadoxTablesOfScene(const QString& dataDir, int scene)
{
    const QDir dir(dataDir);
    QStringList found;
    for (const QString& name : {QStringLiteral("Member%1.DB").arg(scene), QStringLiteral("Group%1.DB").arg(scene),
                                QStringLiteral("SysSet.DB")})
        if (IsParadoxTable(dir.filePath(name)))
            found << name;
    return found;
}

QString KeptName(const QString& fileName)
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return fileName.left(dot) + QLatin1String(".paradox") + fileName.mid(dot);
}

QString ConversionMarkerFileName(const QString& dataDir)
{
    return QDir(dataDir).filePath(QStringLiteral("Convert.pending"));
}

TConversion ConvertParadoxDirectory(const QString& dataDir, bool dryRun)
{
    if (!dryRun)
        FinishInterruptedConversion(dataDir);
    const QDir dir(dataDir);
    TConversion result;
    std::vector<std::vector<std::vector<TFieldValue>>> rows;
    for (const QString& name : DataTableNames()) {
        const QString path = dir.filePath(name);
        if (!IsParadoxTable(path))
            continue;
        const TParadoxKind kind = KindOf(name);
        TParadoxRead read = ReadParadoxTable(path, kind, path);
        TConvertedTable table{name, kind, static_cast<int>(read.rows.size()), {}};
        for (const QString& original : QStringList{name} + CompanionsOf(dir, name)) {
            table.kept << KeptName(original);
            if (Exists(dir.filePath(KeptName(original))))
                read.problems.push_back({path, 0, TParadoxProblem::Kind::KeptExists, dir.filePath(KeptName(original))});
        }
        result.problems.insert(result.problems.end(), read.problems.begin(), read.problems.end());
        result.tables.push_back(table);
        rows.push_back(std::move(read.rows));
    }
    if (dryRun || !result.problems.empty() || result.tables.empty())
        return result;

    // Every new file is complete and on disk before the first original is moved.
    std::vector<TMarkerEntry> entries;
    std::vector<TModeChange> modes;
    try {
        for (size_t i = 0; i < result.tables.size(); ++i) {
            const TConvertedTable& table = result.tables[i];
            const QString live = dir.filePath(table.fileName);
            const QString temp = tarvello::MakeTempBeside(live);
            entries.push_back({table.fileName, QFileInfo(temp).fileName(), CompanionsOf(dir, table.fileName)});
            TTable::WriteInto(temp, SchemaOf(table.kind), rows[i], table.kind != TParadoxKind::Passwords, live);
        }
        for (const TMarkerEntry& e : entries)
            if (KindOf(e.fileName) == TParadoxKind::Passwords)
                RestrictPasswordOriginals(dir, e, modes);
        WriteMarker(dataDir, entries);
    } catch (...) {
        RestoreModes(modes);
        for (const TMarkerEntry& e : entries) {
            tarvello::RemoveIfPresent(dir.filePath(e.temp));
            tarvello::RemoveIfPresent(dir.filePath(e.temp) + QLatin1String("-journal"));
        }
        throw;
    }
    // From here on the marker lets the next start finish what a crash stops.
    for (const TMarkerEntry& e : entries)
        Install(dir, e);
    RemoveMarker(dataDir);
    result.converted = true;
    return result;
}

TResumed FinishInterruptedConversion(const QString& dataDir)
{
    const QString marker = ConversionMarkerFileName(dataDir);
    QFile file(marker);
    if (!file.exists())
        return TResumed::Nothing;
    if (!file.open(QIODevice::ReadOnly))
        throw ETableError(ETableError::Kind::CannotOpen, marker, file.errorString());
    const QList<QByteArray> lines = file.readAll().split('\n');
    file.close();
    const QDir dir(dataDir);
    std::vector<TMarkerEntry> entries;
    bool complete = !lines.isEmpty() && lines.first() == MarkerTitle;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            continue;
        const QStringList fields = QString::fromUtf8(lines[i]).split(QLatin1Char('\t'));
        // Only names of our own tables, so a damaged marker cannot move anything else.
        if (fields.size() < 2 || !DataTableNames().contains(fields[0]) ||
            !tarvello::IsTempNameOf(fields[1], fields[0])) {
            complete = false;
            continue;
        }
        TMarkerEntry e{fields[0], fields[1], fields.mid(2)};
        for (const QString& c : e.companions)
            if (Stem(c) != Stem(e.fileName))
                complete = false;
        entries.push_back(e);
    }
    if (!complete)
        throw ETableError(ETableError::Kind::InvalidRegister, marker, QStringLiteral("damaged conversion marker"));

    // A table not yet in place still has its new file waiting; if one is lost, go back.
    bool forward = true;
    for (const TMarkerEntry& e : entries) {
        const bool waiting = Exists(dir.filePath(e.temp));
        const bool installed = !waiting && Exists(dir.filePath(KeptName(e.fileName))) &&
                               Exists(dir.filePath(e.fileName)) && !IsParadoxTable(dir.filePath(e.fileName));
        forward = forward && (waiting || installed);
    }
    for (const TMarkerEntry& e : entries) {
        if (forward) {
            if (Exists(dir.filePath(e.temp)))
                Install(dir, e);
            continue;
        }
        for (const QString& name : QStringList{e.fileName} + e.companions) {
            const QString kept = dir.filePath(KeptName(name));
            if (Exists(kept))
                tarvello::ReplaceWith(kept, dir.filePath(name));
        }
        tarvello::RemoveIfPresent(dir.filePath(e.temp));
        tarvello::RemoveIfPresent(dir.filePath(e.temp) + QLatin1String("-journal"));
    }
    RemoveMarker(dataDir);
    return forward ? TResumed::Completed : TResumed::RolledBack;
}

QString ConversionSummary(const TConversion& conversion, int language)
{
    if (language != 0 && language != 1)
        return {};
    const auto lang = static_cast<int16_t>(language);
    QStringList lines;
    for (const TConvertedTable& t : conversion.tables) {
        const Text& what = t.kind == TParadoxKind::Devices  ? DevicesText
                           : t.kind == TParadoxKind::Groups ? GroupsText
                                                            : PasswordsText;
        lines << pick(what, lang).arg(t.fileName).arg(t.records) + pick(KeptText, lang).arg(t.kept.join(QLatin1String(", ")));
    }
    return lines.join(QLatin1Char('\n'));
}

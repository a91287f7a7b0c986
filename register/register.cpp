#include "register/register.h"

#include "register/conversion.h"
#include "register/safefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <exception>
#include <limits>
#include <random>

QString UngroupedName()
{
    return QStringLiteral("未编组");
}

QString GroupLabel(qint64 groupId, const QString& name)
{
    return QString::number(groupId) + QLatin1Char('-') + name;
}

const TTableSchema& MemberSchema()
{
    static const TTableSchema schema{
        QStringLiteral("Member"),
        QStringLiteral("CREATE TABLE Member (ID INTEGER PRIMARY KEY, Name TEXT NOT NULL DEFAULT '', "
                       "Group_ID INTEGER NOT NULL DEFAULT 0)"),
        {{QStringLiteral("ID"), TFieldType::Integer, 0, DeviceIdRange},
         {QStringLiteral("Name"), TFieldType::Text, DeviceNameMaxBytes},
         {QStringLiteral("Group_ID"), TFieldType::Integer, 0, GroupIdRange}}};
    return schema;
}

const TTableSchema& GroupSchema()
{
    static const TTableSchema schema{
        QStringLiteral("Groups"),
        QStringLiteral("CREATE TABLE Groups (ID INTEGER PRIMARY KEY, Name TEXT NOT NULL DEFAULT '')"),
        {{QStringLiteral("ID"), TFieldType::Integer, 0, GroupIdRange},
         {QStringLiteral("Name"), TFieldType::Text, GroupNameMaxBytes}}};
    return schema;
}

const TTableSchema& SysSetSchema()
{
    static const TTableSchema schema{
        QStringLiteral("SysSet"),
        QStringLiteral("CREATE TABLE SysSet (RecNo INTEGER PRIMARY KEY, PSW BLOB NOT NULL)"),
        {{QStringLiteral("RecNo"), TFieldType::Integer, 0}, {QStringLiteral("PSW"), TFieldType::Blob, 0}}};
    return schema;
}

TRegister::TRegister(const QString& dataDir) : m_dataDir(dataDir)
{
    SetScene(1);
}

void TRegister::setDataDir(const QString& dataDir)
{
    if (dataDir == m_dataDir)
        return;
    if (Member_Table.Active() || Group_Table.Active())
        throw ETableError(ETableError::Kind::InvalidOperation, m_dataDir,
                          QStringLiteral("cannot move the data directory of open tables"));
    m_dataDir = dataDir;
    SetScene(m_scene);
}

void TRegister::SetScene(int scene)
{
    const QString member = QDir(m_dataDir).filePath(QStringLiteral("Member%1.DB").arg(scene));
    const QString group = QDir(m_dataDir).filePath(QStringLiteral("Group%1.DB").arg(scene));
    if ((Member_Table.Active() && Member_Table.TableName() != member)
        || (Group_Table.Active() && Group_Table.TableName() != group))
        throw ETableError(ETableError::Kind::InvalidOperation, Member_Table.TableName(),
                          QStringLiteral("cannot change the scene of open tables"));
    Member_Table.setTableName(member);
    Group_Table.setTableName(group);
    m_scene = scene;
}

QString TRegister::MemberFileName() const
{
    return Member_Table.TableName();
}

QString TRegister::GroupFileName() const
{
    return Group_Table.TableName();
}

QString TRegister::Stem(const QString& fileName) const
{
    return fileName.chopped(3);  // without ".DB"
}

void TRegister::CreateMissing()
{
    const bool memberMissing = !Member_Table.Active() && !QFileInfo::exists(MemberFileName());
    const bool groupMissing = !Group_Table.Active() && !QFileInfo::exists(GroupFileName());
    if (!memberMissing && !groupMissing)
        return;
    if (!QDir().mkpath(m_dataDir))
        throw ETableError(ETableError::Kind::CannotOpen, m_dataDir, QStringLiteral("cannot create the directory"));
    if (memberMissing)
        TTable::CreateTable(MemberFileName(), MemberSchema(), {}, true);
    if (groupMissing) {
        std::vector<std::vector<TFieldValue>> rows;
        rows.push_back({0, UngroupedName()});
        for (int id = 1; id < DefaultGroupCount; ++id)
            rows.push_back({id, QString()});
        TTable::CreateTable(GroupFileName(), GroupSchema(), rows, true);
    }
}

void TRegister::Open()
{
    if (m_recovery && !Member_Table.Active() && !Group_Table.Active()) {
        // Nothing of the register is in use: finish what a crash interrupted first.
        FinishInterruptedConversion(m_dataDir);
        FinishInterruptedRestore();
        RemoveLeftovers(m_dataDir);
    }
    CreateMissing();
    Member_Table.Open();
    Group_Table.Open();
}

void TRegister::Close()
{
    Member_Table.Close();
    Group_Table.Close();
}

QString TRegister::BeforeSearchFileName() const
{
    return Stem(MemberFileName()) + QLatin1String(".before-search.DB");
}

QString TRegister::RestoreMarkerFileName() const
{
    return QDir(m_dataDir).filePath(QStringLiteral("Restore%1.pending").arg(m_scene));
}

void TRegister::RemoveLeftovers(const QString& dataDir)
{
    // The files whose temporary copies this program writes into the data directory.
    static const QRegularExpression ours(QStringLiteral(
        "^(?:(?:Member|Group)[0-9]+\\.(?:DB|dbk|PX|VAL|pbk|vbk)|Member[0-9]+\\.before-search\\.DB|SysSet\\.DB"
        "|Restore[0-9]+\\.pending|Convert\\.pending)$"));
    const QDir dir(dataDir);
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
    for (const QFileInfo& entry : entries) {
        QString name = entry.fileName();
        const QString full = name;
        if (name.endsWith(QLatin1String("-journal")))
            name.chop(8);
        const qsizetype infix = name.lastIndexOf(QLatin1String(".tmp-"));
        if (!name.startsWith(QLatin1Char('.')) || infix <= 1)
            continue;
        const QString target = name.mid(1, infix - 1);
        if (ours.match(target).hasMatch() && tarvello::IsTempNameOf(full, target))
            tarvello::RemoveIfPresent(entry.filePath());
    }
}

namespace {

// One file to be replaced: its finished copy of `source` waits in `temp` until every
// copy is ready.
struct PendingCopy {
    QString temp;
    QString source;
    QString target;
};

void DiscardAll(const std::vector<PendingCopy>& copies)
{
    for (const PendingCopy& c : copies) {
        if (c.temp.isEmpty())
            continue;
        tarvello::RemoveIfPresent(c.temp);
        tarvello::RemoveIfPresent(c.temp + QLatin1String("-journal"));
    }
}

// Copies source into a temporary file beside target; returns false if source is missing.
bool Stage(const QString& source, const QString& target, std::vector<PendingCopy>& copies)
{
    if (!QFileInfo::exists(source))
        return false;
    const QString temp = tarvello::MakeTempBeside(target);
    copies.push_back({temp, source, target});
    tarvello::CopyInto(source, temp, target);
    return true;
}

bool IsTableFile(const QString& path)
{
    return path.endsWith(QLatin1String(".DB"));
}

// Puts every staged copy in place, in order. Each keeps the mode of the file it replaces,
// or takes its source's where it replaces none.
void ReplaceAll(std::vector<PendingCopy>& copies)
{
    for (PendingCopy& c : copies) {
        if (!tarvello::CopyMode(c.target, c.temp, c.target))
            tarvello::CopyMode(c.source, c.temp, c.target);
        if (IsTableFile(c.target)) {
            // A journal left beside the old file would be applied to the new one.
            for (const char* suffix : {"-journal", "-wal", "-shm"})
                tarvello::RemoveIfPresent(c.target + QLatin1String(suffix));
        }
        tarvello::ReplaceWith(c.temp, c.target);
        c.temp.clear();
    }
}

// Index and validity files kept beside a table by other table engines, and their backup
// names. SQLite keeps a table in its .DB file alone; these are copied only when present.
struct Companion {
    const char* live;
    const char* backup;
};
constexpr Companion Companions[] = {{".PX", ".pbk"}, {".VAL", ".vbk"}};

// A stamp that none of the given backups carries, never 0 (the stamp of backups made
// before stamps existed).
qint32 NewStamp(const std::vector<qint32>& inUse)
{
    std::random_device source;
    std::uniform_int_distribution<qint32> any(1, std::numeric_limits<qint32>::max());
    for (;;) {
        const qint32 stamp = any(source);
        if (std::find(inUse.begin(), inUse.end(), stamp) == inUse.end())
            return stamp;
    }
}

// The marker of a restore in progress: its stamp and the live files it replaces, each
// with the backup file it is copied from (names within the data directory).
struct RestoreRecord {
    qint32 stamp = 0;
    std::vector<std::pair<QString, QString>> files;
};

const char MarkerTitle[] = "Tarvello restore in progress";

void WriteMarker(const QString& marker, const RestoreRecord& record)
{
    QByteArray text = QByteArray(MarkerTitle) + "\nstamp\t" + QByteArray::number(record.stamp) + '\n';
    for (const auto& [live, backup] : record.files)
        text += live.toUtf8() + '\t' + backup.toUtf8() + '\n';
    const QString temp = tarvello::MakeTempBeside(marker);
    try {
        QFile out(temp);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(text) != text.size() || !out.flush())
            throw ETableError(ETableError::Kind::WriteFailed, marker, out.errorString());
        out.close();
        tarvello::SyncFile(temp, marker);
        tarvello::ReplaceWith(temp, marker);
    } catch (...) {
        tarvello::RemoveIfPresent(temp);
        throw;
    }
}

// The record, or no files when there is no marker. A marker that does not read as one
// of ours is an interrupted restore that cannot be completed.
RestoreRecord ReadMarker(const QString& marker)
{
    RestoreRecord record;
    QFile in(marker);
    if (!in.exists())
        return record;
    const auto unreadable = [&] {
        return ETableError(ETableError::Kind::InterruptedRestore, marker, QStringLiteral("unreadable marker"), 0,
                           marker);
    };
    if (!in.open(QIODevice::ReadOnly))
        throw unreadable();
    const QList<QByteArray> lines = in.readAll().split('\n');
    if (lines.size() < 3 || lines[0] != MarkerTitle || !lines[1].startsWith("stamp\t"))
        throw unreadable();
    bool number = false;
    record.stamp = lines[1].mid(6).toInt(&number);
    if (!number)
        throw unreadable();
    for (qsizetype i = 2; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            continue;
        const QList<QByteArray> pair = lines[i].split('\t');
        if (pair.size() != 2)
            throw unreadable();
        record.files.emplace_back(QString::fromUtf8(pair[0]), QString::fromUtf8(pair[1]));
    }
    if (record.files.empty())
        throw unreadable();
    return record;
}

void RemoveMarker(const QString& marker)
{
    tarvello::RemoveIfPresent(marker);
    tarvello::SyncDirectory(marker);
}

}  // namespace

// Both tables (or the device table alone) are open again after a backup or a restore, whatever
// happened; the first failure is the one reported.
void TRegister::ReopenAfter(const std::exception_ptr& failure, bool devicesOnly)
{
    try {
        if (devicesOnly)
            Member_Table.Open();
        else
            Open();
    } catch (...) {
        if (!failure)
            throw;
    }
    if (failure)
        std::rethrow_exception(failure);
}

void TRegister::Backup()
{
    Close();
    std::vector<PendingCopy> copies;
    std::exception_ptr failure;
    try {
        // A pair torn by an interrupted restore must not become a backup.
        FinishInterruptedRestore();
        std::vector<std::pair<size_t, const TTable*>> tableCopies;
        std::vector<qint32> stampsInUse;
        for (const TTable* table : {&Member_Table, &Group_Table}) {
            const QString stem = Stem(table->TableName());
            const QString live = stem + QLatin1String(".DB");
            const QString backup = stem + QLatin1String(".dbk");
            if (QFileInfo::exists(backup)) {
                try {
                    stampsInUse.push_back(TTable::ReadStamp(backup, backup));
                } catch (const ETableError&) {
                    // A damaged backup is about to be replaced; its stamp does not matter.
                }
            }
            if (!Stage(live, backup, copies))
                continue;
            tableCopies.emplace_back(copies.size() - 1, table);
            // A live file that is not a sound register must not replace a good backup.
            TTable::Validate(copies.back().temp, table->Schema(), live);
            for (const Companion& c : Companions)
                Stage(stem + QLatin1String(c.live), stem + QLatin1String(c.backup), copies);
        }
        // Both backup files of this backup carry the same new stamp, so a restore can tell
        // them from a pair of which one was replaced and the other not.
        const qint32 stamp = NewStamp(stampsInUse);
        for (const auto& [index, table] : tableCopies) {
            const PendingCopy& c = copies[index];
            TTable::WriteStamp(c.temp, stamp, c.target);
            tarvello::SyncFile(c.temp, c.target);
        }
        ReplaceAll(copies);
    } catch (...) {
        failure = std::current_exception();
        DiscardAll(copies);
    }
    ReopenAfter(failure);
}

bool TRegister::Restore()
{
    Close();
    std::vector<PendingCopy> copies;
    std::exception_ptr failure;
    try {
        struct Found {
            QString backup;
            bool present = false;
            qint32 stamp = 0;
        };
        std::vector<Found> found;  // device table, group table
        for (const TTable* table : {&Member_Table, &Group_Table}) {
            const QString stem = Stem(table->TableName());
            Found& f = found.emplace_back(Found{stem + QLatin1String(".dbk")});
            if (!Stage(f.backup, stem + QLatin1String(".DB"), copies))
                continue;
            try {
                TTable::Validate(copies.back().temp, table->Schema(), f.backup);
            } catch (const ETableError& e) {
                if (e.kind() == ETableError::Kind::InvalidRegister)
                    throw ETableError(ETableError::Kind::InvalidBackup, f.backup, e.detail());
                if (e.kind() == ETableError::Kind::ValueOutOfRange)
                    throw ETableError(ETableError::Kind::InvalidBackup, f.backup, e.badRecord());
                throw;
            }
            f.present = true;
            f.stamp = TTable::ReadStamp(copies.back().temp, f.backup);
            for (const Companion& c : Companions)
                Stage(stem + QLatin1String(c.backup), stem + QLatin1String(c.live), copies);
        }
        // The two files of one backup carry the same stamp. Backups made before stamps
        // existed carry 0 on both, or may lack one file; they are restored as they are.
        const Found& member = found[0];
        const Found& group = found[1];
        const bool torn = member.present && group.present
                              ? member.stamp != group.stamp
                              : (member.present ? member.stamp : group.present ? group.stamp : 0) != 0;
        if (torn)
            throw ETableError(ETableError::Kind::TornBackup, member.backup, {}, 0, group.backup);
        if (!copies.empty()) {
            // From the first replacement to the last the marker records the restore, so
            // that the next Open completes one that was stopped half-way.
            RestoreRecord record;
            record.stamp = member.present ? member.stamp : group.stamp;
            for (const PendingCopy& c : copies)
                record.files.emplace_back(QFileInfo(c.target).fileName(), QFileInfo(c.source).fileName());
            WriteMarker(RestoreMarkerFileName(), record);
            ReplaceAll(copies);
            RemoveMarker(RestoreMarkerFileName());
        }
    } catch (...) {
        failure = std::current_exception();
        DiscardAll(copies);
    }
    ReopenAfter(failure);
    return !copies.empty();
}

void TRegister::FinishInterruptedRestore()
{
    const QString marker = RestoreMarkerFileName();
    const RestoreRecord record = ReadMarker(marker);
    if (record.files.empty())
        return;

    // Only the files of this scene's register may be named.
    struct Known {
        QString live;
        QString backup;
        const TTableSchema* schema;  // of a table file; none for a companion file
    };
    std::vector<Known> known;
    for (const TTable* table : {&Member_Table, &Group_Table}) {
        const QString stem = QFileInfo(Stem(table->TableName())).fileName();
        known.push_back({stem + QLatin1String(".DB"), stem + QLatin1String(".dbk"), &table->Schema()});
        for (const Companion& c : Companions)
            known.push_back({stem + QLatin1String(c.live), stem + QLatin1String(c.backup), nullptr});
    }

    const QDir dir(m_dataDir);
    std::vector<PendingCopy> copies;
    try {
        for (const auto& file : record.files) {
            // Named, not bound: a lambda below uses them, which clang before 16 refuses for bindings.
            const QString& live = file.first;
            const QString& backupName = file.second;
            const QString backup = dir.filePath(backupName);
            const auto cannot = [&](const QString& why) {
                return ETableError(ETableError::Kind::InterruptedRestore, marker, why, 0, backup);
            };
            const auto it = std::find_if(known.begin(), known.end(), [&](const Known& k) {
                return k.live == live && k.backup == backupName;
            });
            if (it == known.end())
                throw cannot(QStringLiteral("not a file of this register"));
            if (!Stage(backup, dir.filePath(live), copies))
                throw cannot(QStringLiteral("backup file missing"));
            if (it->schema) {
                try {
                    TTable::Validate(copies.back().temp, *it->schema, backup);
                } catch (const ETableError& e) {
                    if (e.kind() == ETableError::Kind::InvalidRegister)
                        throw cannot(e.detail());
                    if (e.kind() == ETableError::Kind::ValueOutOfRange)
                        throw cannot(QString::fromStdString(e.what()));
                    throw;
                }
                if (TTable::ReadStamp(copies.back().temp, backup) != record.stamp)
                    throw cannot(QStringLiteral("stamp differs"));
            }
        }
        ReplaceAll(copies);
        RemoveMarker(marker);
    } catch (...) {
        DiscardAll(copies);
        throw;
    }
}

void TRegister::CheckDevicesWritable()
{
    if (!Member_Table.Active()) {
        // Say why when the file is missing or damaged.
        TTable::Validate(MemberFileName(), MemberSchema(), MemberFileName());
        throw ETableError(ETableError::Kind::InvalidOperation, MemberFileName(), QStringLiteral("table is not open"));
    }
    Member_Table.CheckWritable();
}

void TRegister::SaveBeforeSearch()
{
    const QString live = MemberFileName();
    const QString target = BeforeSearchFileName();
    if (!QFileInfo::exists(live))
        throw ETableError(ETableError::Kind::CannotOpen, live, QStringLiteral("file not found"));
    // Every change to the open table is committed when its call returns, so the file is
    // whole between calls and can be copied while the table stays open.
    const QString temp = tarvello::MakeTempBeside(target);
    try {
        tarvello::CopyInto(live, temp, target);
        TTable::Validate(temp, MemberSchema(), live);
        tarvello::CopyMode(live, temp, target);
        tarvello::ReplaceWith(temp, target);
    } catch (...) {
        tarvello::RemoveIfPresent(temp);
        throw;
    }
}

void TRegister::RestoreBeforeSearch()
{
    const QString copy = BeforeSearchFileName();
    const QString live = MemberFileName();
    if (!QFileInfo::exists(copy))
        throw ETableError(ETableError::Kind::CannotOpen, copy, QStringLiteral("file not found"));
    const QString temp = tarvello::MakeTempBeside(live);
    std::exception_ptr failure;
    try {
        tarvello::CopyInto(copy, temp, live);
        TTable::Validate(temp, MemberSchema(), copy);
    } catch (...) {
        tarvello::RemoveIfPresent(temp);
        throw;
    }
    Member_Table.Close();
    try {
        if (!tarvello::CopyMode(live, temp, live))
            tarvello::CopyMode(copy, temp, live);
        // A journal left beside the old file would be applied to the new one.
        for (const char* suffix : {"-journal", "-wal", "-shm"})
            tarvello::RemoveIfPresent(live + QLatin1String(suffix));
        tarvello::ReplaceWith(temp, live);
    } catch (...) {
        failure = std::current_exception();
        tarvello::RemoveIfPresent(temp);
    }
    ReopenAfter(failure, true);
}

void TRegister::EmptyDevices()
{
    std::exception_ptr failure;
    try {
        Member_Table.EmptyTable();
    } catch (...) {
        failure = std::current_exception();
    }
    ReopenAfter(failure, true);
}

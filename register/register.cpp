#include "register/register.h"

#include "register/safefile.h"

#include <QDir>
#include <QFileInfo>

#include <exception>

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
        {{QStringLiteral("ID"), TFieldType::Integer, 0},
         {QStringLiteral("Name"), TFieldType::Text, DeviceNameMaxBytes},
         {QStringLiteral("Group_ID"), TFieldType::Integer, 0}}};
    return schema;
}

const TTableSchema& GroupSchema()
{
    static const TTableSchema schema{
        QStringLiteral("Groups"),
        QStringLiteral("CREATE TABLE Groups (ID INTEGER PRIMARY KEY, Name TEXT NOT NULL DEFAULT '')"),
        {{QStringLiteral("ID"), TFieldType::Integer, 0},
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
        TTable::CreateTable(MemberFileName(), MemberSchema(), {});
    if (groupMissing) {
        std::vector<std::vector<TFieldValue>> rows;
        rows.push_back({0, UngroupedName()});
        for (int id = 1; id < DefaultGroupCount; ++id)
            rows.push_back({id, QString()});
        TTable::CreateTable(GroupFileName(), GroupSchema(), rows);
    }
}

void TRegister::Open()
{
    CreateMissing();
    Member_Table.Open();
    Group_Table.Open();
}

void TRegister::Close()
{
    Member_Table.Close();
    Group_Table.Close();
}

namespace {

// One file to be replaced: its finished copy waits in `temp` until every copy is ready.
struct PendingCopy {
    QString temp;
    QString target;
};

void DiscardAll(const std::vector<PendingCopy>& copies)
{
    for (const PendingCopy& c : copies)
        tarvello::RemoveIfPresent(c.temp);
}

// Copies source into a temporary file beside target; returns false if source is missing.
bool Stage(const QString& source, const QString& target, std::vector<PendingCopy>& copies)
{
    if (!QFileInfo::exists(source))
        return false;
    const QString temp = tarvello::MakeTempBeside(target);
    copies.push_back({temp, target});
    tarvello::CopyInto(source, temp, target);
    return true;
}

// Index and validity files kept beside a table by other table engines, and their backup
// names. SQLite keeps a table in its .DB file alone; these are copied only when present.
struct Companion {
    const char* live;
    const char* backup;
};
constexpr Companion Companions[] = {{".PX", ".pbk"}, {".VAL", ".vbk"}};

}  // namespace

// Both tables are open again after a backup or a restore, whatever happened; the first
// failure is the one reported.
void TRegister::ReopenAfter(const std::exception_ptr& failure)
{
    try {
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
        for (const TTable* table : {&Member_Table, &Group_Table}) {
            const QString stem = Stem(table->TableName());
            const QString live = stem + QLatin1String(".DB");
            if (!Stage(live, stem + QLatin1String(".dbk"), copies))
                continue;
            // A live file that is not a sound register must not replace a good backup.
            TTable::Validate(copies.back().temp, table->Schema(), live);
            for (const Companion& c : Companions)
                Stage(stem + QLatin1String(c.live), stem + QLatin1String(c.backup), copies);
        }
        for (PendingCopy& c : copies) {
            tarvello::ReplaceWith(c.temp, c.target);
            c.temp.clear();
        }
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
        for (const TTable* table : {&Member_Table, &Group_Table}) {
            const QString stem = Stem(table->TableName());
            const QString backup = stem + QLatin1String(".dbk");
            if (!Stage(backup, stem + QLatin1String(".DB"), copies))
                continue;
            try {
                TTable::Validate(copies.back().temp, table->Schema(), backup);
            } catch (const ETableError& e) {
                if (e.kind() == ETableError::Kind::InvalidRegister)
                    throw ETableError(ETableError::Kind::InvalidBackup, backup, e.detail());
                throw;
            }
            for (const Companion& c : Companions)
                Stage(stem + QLatin1String(c.backup), stem + QLatin1String(c.live), copies);
        }
        for (PendingCopy& c : copies) {
            if (c.target.endsWith(QLatin1String(".DB"))) {
                // A journal left beside the old file would be applied to the new one.
                for (const char* suffix : {"-journal", "-wal", "-shm"})
                    tarvello::RemoveIfPresent(c.target + QLatin1String(suffix));
            }
            tarvello::ReplaceWith(c.temp, c.target);
            c.temp.clear();
        }
    } catch (...) {
        failure = std::current_exception();
        DiscardAll(copies);
    }
    ReopenAfter(failure);
    return !copies.empty();
}

#include "register/table.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/diskfull.h"
#include "common/gbk.h"
#include "register/safefile.h"

#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>

// ---------------------------------------------------------------------------
// Errors

namespace {

// Fills %1 with the file and %2 to %7 with the record, in one pass: a "%" in a file name or a
// stored value stays as it is.
QString WithRecord(const QString& text, const QString& file, const TBadRecord& r)
{
    return text.arg(file, QString::number(r.recNo), QString::number(r.key), r.field, r.value, QString::number(r.low),
                    QString::number(r.high));
}

QString EnglishText(ETableError::Kind kind, const QString& file, int limit, const QString& other,
                    const TBadRecord& record)
{
    switch (kind) {
    case ETableError::Kind::InvalidRegister:
        return QStringLiteral("The data file %1 is not a valid register; it was left untouched.").arg(file);
    case ETableError::Kind::ValueOutOfRange:
        return WithRecord(QStringLiteral("The data file %1 is not a valid register: in record %2 (ID %3), %4 is %5, "
                                         "outside %6 to %7; it was left untouched."),
                          file, record);
    case ETableError::Kind::InvalidBackup:
        if (record.recNo > 0)
            return WithRecord(QStringLiteral("The backup file %1 is not a valid register: in record %2 (ID %3), %4 is "
                                             "%5, outside %6 to %7; nothing was restored."),
                              file, record);
        return QStringLiteral("The backup file %1 is not a valid register; nothing was restored.").arg(file);
    case ETableError::Kind::CannotOpen:
        return QStringLiteral("The data file %1 cannot be opened.").arg(file);
    case ETableError::Kind::KeyViolation:
        return QStringLiteral("A record with the same ID already exists in %1; the record was not saved.")
            .arg(file);
    case ETableError::Kind::WriteFailed:
        return QStringLiteral("The data file %1 could not be written (disk full or no write permission); "
                              "the change was not saved.")
            .arg(file);
    case ETableError::Kind::DiskFull:
        return QStringLiteral("The data file %1 could not be written (disk full); the change was not saved.")
            .arg(file);
    case ETableError::Kind::NameTooLong:
        return QStringLiteral("The name is too long: names in %1 may have at most %2 bytes.").arg(file).arg(limit);
    case ETableError::Kind::InvalidOperation:
        return QStringLiteral("Invalid operation on the data file %1.").arg(file);
    case ETableError::Kind::Busy:
        return QStringLiteral("The data file %1 is in use by another program; the operation was not done.").arg(file);
    case ETableError::Kind::TornBackup:
        return QStringLiteral("The backup files %1 and %2 were not made by the same backup; nothing was restored.")
            .arg(file, other);
    case ETableError::Kind::InterruptedRestore:
        return QStringLiteral("An interrupted restore recorded in %1 cannot be completed: the backup file %2 has "
                              "changed since. Restore a backup again, or delete %1 to keep the data files as they "
                              "are.")
            .arg(file, other);
    }
    return {};
}

QString ChineseText(ETableError::Kind kind, const QString& file, int limit, const QString& other,
                    const TBadRecord& record)
{
    switch (kind) {
    case ETableError::Kind::InvalidRegister:
        return QStringLiteral("数据文件 %1 不是有效的登记表，未作任何改动。").arg(file);
    case ETableError::Kind::ValueOutOfRange:
        return WithRecord(QStringLiteral("数据文件 %1 不是有效的登记表：第 %2 条记录（ID %3）的 %4 为 %5，"
                                         "不在 %6 到 %7 之间，未作任何改动。"),
                          file, record);
    case ETableError::Kind::InvalidBackup:
        if (record.recNo > 0)
            return WithRecord(QStringLiteral("备份文件 %1 不是有效的登记表：第 %2 条记录（ID %3）的 %4 为 %5，"
                                             "不在 %6 到 %7 之间，未恢复任何数据。"),
                              file, record);
        return QStringLiteral("备份文件 %1 不是有效的登记表，未恢复任何数据。").arg(file);
    case ETableError::Kind::CannotOpen:
        return QStringLiteral("无法打开数据文件 %1。").arg(file);
    case ETableError::Kind::KeyViolation:
        return QStringLiteral("数据文件 %1 中已有相同编号的记录，该记录未保存。").arg(file);
    case ETableError::Kind::WriteFailed:
        return QStringLiteral("无法写入数据文件 %1（磁盘已满或没有写权限），修改未保存。").arg(file);
    case ETableError::Kind::DiskFull:
        return QStringLiteral("无法写入数据文件 %1（磁盘已满），修改未保存。").arg(file);
    case ETableError::Kind::NameTooLong:
        return QStringLiteral("名称太长：%1 中的名称最多 %2 个字节。").arg(file).arg(limit);
    case ETableError::Kind::InvalidOperation:
        return QStringLiteral("对数据文件 %1 的操作无效。").arg(file);
    case ETableError::Kind::Busy:
        return QStringLiteral("数据文件 %1 正被其他程序使用，操作未执行。").arg(file);
    case ETableError::Kind::TornBackup:
        return QStringLiteral("备份文件 %1 和 %2 不是同一次备份的，未恢复任何数据。").arg(file, other);
    case ETableError::Kind::InterruptedRestore:
        return QStringLiteral("%1 中记录的一次数据恢复曾被中断，且备份文件 %2 已改变，无法完成。"
                              "请重新恢复备份，或删除 %1 以保留现有数据文件。")
            .arg(file, other);
    }
    return {};
}

std::string WhatText(ETableError::Kind kind, const QString& file, const QString& detail, int limit,
                     const QString& other, const TBadRecord& record = {})
{
    QString text = EnglishText(kind, file, limit, other, record);
    if (!detail.isEmpty())
        text += QLatin1String(" (") + detail + QLatin1Char(')');
    return text.toStdString();
}

}  // namespace

ETableError::ETableError(Kind kind, const QString& fileName, const QString& detail, int limit,
                         const QString& otherFileName)
    : std::runtime_error(WhatText(kind, fileName, detail, limit, otherFileName)),
      m_kind(kind),
      m_fileName(fileName),
      m_otherFileName(otherFileName),
      m_detail(detail),
      m_limit(limit)
{
}

ETableError::ETableError(Kind kind, const QString& fileName, const TBadRecord& record)
    : std::runtime_error(WhatText(kind, fileName, {}, 0, {}, record)),
      m_kind(kind),
      m_fileName(fileName),
      m_limit(0),
      m_badRecord(record)
{
}

QString ETableError::Text(int language) const
{
    if (language == 0)
        return ChineseText(m_kind, m_fileName, m_limit, m_otherFileName, m_badRecord);
    if (language == 1)
        return EnglishText(m_kind, m_fileName, m_limit, m_otherFileName, m_badRecord);
    return {};
}

// ---------------------------------------------------------------------------
// Field values

qint64 TFieldValue::AsLargeInt() const
{
    switch (m_kind) {
    case Kind::Integer:
        return m_int;
    case Kind::Text:
        return m_text.trimmed().toLongLong();  // not a number: 0
    case Kind::Blob:
        return m_bytes.trimmed().toLongLong();
    case Kind::Null:
        break;
    }
    return 0;
}

QString TFieldValue::AsString() const
{
    switch (m_kind) {
    case Kind::Integer:
        return QString::number(m_int);
    case Kind::Text:
        return m_text;
    case Kind::Blob:
        return QString::fromLatin1(m_bytes);
    case Kind::Null:
        break;
    }
    return {};
}

QByteArray TFieldValue::AsBytes() const
{
    switch (m_kind) {
    case Kind::Integer:
        return QByteArray::number(m_int);
    case Kind::Text:
        return m_text.toUtf8();
    case Kind::Blob:
        return m_bytes;
    case Kind::Null:
        break;
    }
    return {};
}

// ---------------------------------------------------------------------------
// SQLite helpers

namespace {

QString Quote(const QString& identifier)
{
    return QLatin1Char('"') + QString(identifier).replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
}

// A failed SQLite call, captured before the statement is finalised.
struct SqlFailure {
    int rc = SQLITE_OK;
    QString message;
};

SqlFailure Capture(sqlite3* db, int rc)
{
    return {rc, QString::fromUtf8(sqlite3_errmsg(db))};
}

ETableError::Kind KindFor(int extendedRc, ETableError::Kind fallback)
{
    switch (extendedRc) {
    case SQLITE_CONSTRAINT_PRIMARYKEY:
    case SQLITE_CONSTRAINT_UNIQUE:
    case SQLITE_CONSTRAINT_ROWID:
        return ETableError::Kind::KeyViolation;
    default:
        break;
    }
    switch (extendedRc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return ETableError::Kind::Busy;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
        return ETableError::Kind::InvalidRegister;
    case SQLITE_FULL:
        return ETableError::Kind::DiskFull;
    default:
        return fallback;
    }
}

[[noreturn]] void Throw(const SqlFailure& f, ETableError::Kind fallback, const QString& file)
{
    throw ETableError(KindFor(f.rc, fallback), file, f.message);
}

class Statement {
public:
    Statement(sqlite3* db, const QString& sql) : m_db(db)
    {
        const QByteArray text = sql.toUtf8();
        m_rc = sqlite3_prepare_v2(db, text.constData(), static_cast<int>(text.size()), &m_stmt, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return m_rc == SQLITE_OK; }
    SqlFailure failure() const { return Capture(m_db, sqlite3_extended_errcode(m_db)); }
    sqlite3_stmt* get() const { return m_stmt; }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return sqlite3_step(m_stmt); }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc;
};

void Exec(sqlite3* db, const QString& sql, ETableError::Kind fallback, const QString& file)
{
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        SqlFailure f{sqlite3_extended_errcode(db), QString::fromUtf8(message ? message : sqlite3_errmsg(db))};
        sqlite3_free(message);
        Throw(f, fallback, file);
    }
}

QString TypeName(TFieldType type)
{
    switch (type) {
    case TFieldType::Integer:
        return QStringLiteral("INTEGER");
    case TFieldType::Text:
        return QStringLiteral("TEXT");
    case TFieldType::Blob:
        return QStringLiteral("BLOB");
    }
    return {};
}

TFieldValue ReadColumn(sqlite3_stmt* stmt, int column, TFieldType type)
{
    if (sqlite3_column_type(stmt, column) == SQLITE_NULL)
        return {};
    switch (type) {
    case TFieldType::Integer:
        return TFieldValue(static_cast<qint64>(sqlite3_column_int64(stmt, column)));
    case TFieldType::Text: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
        return TFieldValue(QString::fromUtf8(text, sqlite3_column_bytes(stmt, column)));
    }
    case TFieldType::Blob: {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt, column));
        return TFieldValue(QByteArray(data, sqlite3_column_bytes(stmt, column)));
    }
    }
    return {};
}

// A null value binds as the empty value of its type, so NOT NULL columns accept it.
void Bind(sqlite3_stmt* stmt, int index, const TFieldValue& value, TFieldType type)
{
    switch (type) {
    case TFieldType::Integer:
        sqlite3_bind_int64(stmt, index, value.AsLargeInt());
        break;
    case TFieldType::Text: {
        const QByteArray text = value.AsString().toUtf8();
        sqlite3_bind_text(stmt, index, text.constData(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        break;
    }
    case TFieldType::Blob: {
        const QByteArray bytes = value.AsBytes();
        sqlite3_bind_blob(stmt, index, bytes.constData(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
        break;
    }
    }
}

// Whether a stored value lies in `range`; an empty field reads as 0.
bool InRange(sqlite3_stmt* stmt, int column, const TRange& range)
{
    switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_NULL:
        return range.low <= 0 && 0 <= range.high;
    case SQLITE_INTEGER: {
        const qint64 v = sqlite3_column_int64(stmt, column);
        return range.low <= v && v <= range.high;
    }
    default:
        return false;  // text or a fraction where a whole number belongs
    }
}

// Throws ValueOutOfRange for the first record, in key order, whose value lies outside its
// field's range. Reads only.
void CheckRanges(sqlite3* db, const TTableSchema& schema, const QString& reportAs)
{
    const QString key = Quote(schema.fields.front().name);
    QStringList columns;
    QStringList outside;
    for (const TFieldDef& f : schema.fields) {
        const QString c = QLatin1String("a.") + Quote(f.name);
        columns << c;
        if (!f.range)
            continue;
        outside << QStringLiteral("(typeof(%1) NOT IN ('integer', 'null') OR ifnull(%1, 0) NOT BETWEEN %2 AND %3)")
                       .arg(c)
                       .arg(f.range->low)
                       .arg(f.range->high);
    }
    if (outside.isEmpty())
        return;
    const QString table = Quote(schema.tableName);
    Statement first(db, QStringLiteral("SELECT %1, (SELECT count(*) FROM %2 AS b WHERE b.%3 <= a.%3) FROM %2 AS a "
                                       "WHERE %4 ORDER BY a.%3 LIMIT 1")
                            .arg(columns.join(QLatin1Char(',')), table, key, outside.join(QLatin1String(" OR "))));
    if (!first.ok())
        Throw(first.failure(), ETableError::Kind::CannotOpen, reportAs);
    const int rc = first.step();
    if (rc == SQLITE_DONE)
        return;
    if (rc != SQLITE_ROW)
        Throw(first.failure(), ETableError::Kind::CannotOpen, reportAs);
    sqlite3_stmt* row = first.get();
    for (size_t i = 0; i < schema.fields.size(); ++i) {
        const TFieldDef& f = schema.fields[i];
        const int column = static_cast<int>(i);
        if (!f.range || InRange(row, column, *f.range))
            continue;
        TBadRecord bad;
        bad.recNo = sqlite3_column_int(row, static_cast<int>(schema.fields.size()));
        bad.key = sqlite3_column_int64(row, 0);
        bad.field = f.name;
        bad.value = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(row, column)),
                                      sqlite3_column_bytes(row, column));
        bad.low = f.range->low;
        bad.high = f.range->high;
        throw ETableError(ETableError::Kind::ValueOutOfRange, reportAs, bad);
    }
}

// Integrity and layout check on an open connection; reads only.
void CheckSound(sqlite3* db, const TTableSchema& schema, const QString& reportAs)
{
    const auto invalid = [&](const QString& why) -> ETableError {
        return ETableError(ETableError::Kind::InvalidRegister, reportAs, why);
    };
    {
        Statement check(db, QStringLiteral("PRAGMA quick_check"));
        if (!check.ok())
            Throw(check.failure(), ETableError::Kind::CannotOpen, reportAs);
        const int rc = check.step();
        if (rc != SQLITE_ROW)
            Throw(check.failure(), ETableError::Kind::CannotOpen, reportAs);
        const QString verdict = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0)));
        if (verdict != QLatin1String("ok"))
            throw invalid(verdict);
    }
    {
        Statement kind(db, QStringLiteral("SELECT type FROM sqlite_master WHERE name = ?1 COLLATE NOCASE"));
        if (!kind.ok())
            Throw(kind.failure(), ETableError::Kind::CannotOpen, reportAs);
        const QByteArray name = schema.tableName.toUtf8();
        sqlite3_bind_text(kind.get(), 1, name.constData(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        if (kind.step() != SQLITE_ROW
            || QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(kind.get(), 0)))
                   != QLatin1String("table"))
            throw invalid(QStringLiteral("no table %1").arg(schema.tableName));
    }
    Statement info(db, QStringLiteral("PRAGMA table_info(%1)").arg(Quote(schema.tableName)));
    if (!info.ok())
        Throw(info.failure(), ETableError::Kind::CannotOpen, reportAs);
    size_t column = 0;
    int rc;
    while ((rc = info.step()) == SQLITE_ROW) {
        if (column >= schema.fields.size())
            throw invalid(QStringLiteral("more columns than expected"));
        const TFieldDef& def = schema.fields[column];
        const QString name = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 1)));
        const QString type = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 2)));
        const int pk = sqlite3_column_int(info.get(), 5);
        if (name.compare(def.name, Qt::CaseInsensitive) != 0 || type.compare(TypeName(def.type), Qt::CaseInsensitive) != 0
            || (pk != 0) != (column == 0) || (column == 0 && pk != 1))
            throw invalid(QStringLiteral("column %1 is %2 %3%4").arg(column).arg(name, type, pk ? QStringLiteral(" key") : QString()));
        ++column;
    }
    if (rc != SQLITE_DONE)
        Throw(info.failure(), ETableError::Kind::CannotOpen, reportAs);
    if (column != schema.fields.size())
        throw invalid(QStringLiteral("%1 columns instead of %2").arg(column).arg(schema.fields.size()));
    CheckRanges(db, schema, reportAs);
}

// The name SQLite opens: UTF-8 on Windows, the file system's own bytes elsewhere.
QByteArray SqliteFileName(const QString& path)
{
#ifdef _WIN32
    return path.toUtf8();
#else
    return QFile::encodeName(path);
#endif
}

// Opens an existing file; never creates one.
sqlite3* OpenExisting(const QString& path, int flags, const QString& reportAs)
{
    const QFileInfo info(path);
    if (!info.exists())
        throw ETableError(ETableError::Kind::CannotOpen, reportAs, QStringLiteral("file not found"));
    if (!info.isFile())
        throw ETableError(ETableError::Kind::CannotOpen, reportAs, QStringLiteral("not a regular file"));
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(SqliteFileName(path).constData(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const SqlFailure f = db ? Capture(db, rc) : SqlFailure{rc, QString::fromUtf8(sqlite3_errstr(rc))};
        sqlite3_close_v2(db);
        throw ETableError(ETableError::Kind::CannotOpen, reportAs, f.message);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, TableBusyTimeoutMs);
    return db;
}

}  // namespace

// ---------------------------------------------------------------------------
// The table

TTable::TTable(TTableSchema schema) : m_schema(std::move(schema)) {}

TTable::~TTable()
{
    Close();
}

void TTable::setTableName(const QString& fileName)
{
    if (fileName == m_tableName)
        return;
    if (Active())
        throw ETableError(ETableError::Kind::InvalidOperation, m_tableName,
                          QStringLiteral("cannot rename an open table"));
    m_tableName = fileName;
}

void TTable::Validate(const QString& path, const TTableSchema& schema, const QString& reportAs)
{
    sqlite3* db = OpenExisting(path, SQLITE_OPEN_READONLY, reportAs);
    try {
        CheckSound(db, schema, reportAs);
    } catch (...) {
        sqlite3_close_v2(db);
        throw;
    }
    sqlite3_close_v2(db);
}

namespace {

qint32 StampOf(sqlite3* db, const QString& reportAs)
{
    Statement read(db, QStringLiteral("PRAGMA user_version"));
    if (!read.ok() || read.step() != SQLITE_ROW)
        Throw(read.failure(), ETableError::Kind::CannotOpen, reportAs);
    return static_cast<qint32>(sqlite3_column_int(read.get(), 0));
}

}  // namespace

qint32 TTable::ReadStamp(const QString& path, const QString& reportAs)
{
    sqlite3* db = OpenExisting(path, SQLITE_OPEN_READONLY, reportAs);
    try {
        const qint32 stamp = StampOf(db, reportAs);
        sqlite3_close_v2(db);
        return stamp;
    } catch (...) {
        sqlite3_close_v2(db);
        throw;
    }
}

void TTable::WriteStamp(const QString& path, qint32 stamp, const QString& reportAs)
{
    sqlite3* db = OpenExisting(path, SQLITE_OPEN_READWRITE, reportAs);
    try {
        Exec(db, QStringLiteral("PRAGMA synchronous=FULL; PRAGMA user_version=%1").arg(stamp),
             ETableError::Kind::WriteFailed, reportAs);
    } catch (...) {
        sqlite3_close_v2(db);
        throw;
    }
    if (sqlite3_close(db) != SQLITE_OK)
        throw ETableError(ETableError::Kind::WriteFailed, reportAs, QStringLiteral("close failed"));
}

void TTable::CheckWritable()
{
    RequireOpen();
    CheckSound(m_db, m_schema, m_tableName);
    if (sqlite3_db_readonly(m_db, "main") == 1)
        throw ETableError(ETableError::Kind::WriteFailed, m_tableName, QStringLiteral("the file is read-only"));
    // Rewriting the header with the value it already has makes SQLite take the write
    // lock and create its journal beside the file, as any change does; the rollback then
    // leaves the file as it was.
    const qint32 stamp = StampOf(m_db, m_tableName);
    Exec(m_db, QStringLiteral("BEGIN IMMEDIATE"), ETableError::Kind::WriteFailed, m_tableName);
    try {
        Exec(m_db, QStringLiteral("PRAGMA user_version=%1").arg(stamp), ETableError::Kind::WriteFailed, m_tableName);
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    Exec(m_db, QStringLiteral("ROLLBACK"), ETableError::Kind::WriteFailed, m_tableName);
}

void TTable::Open()
{
    if (Active())
        return;
    sqlite3* db = OpenExisting(m_tableName, SQLITE_OPEN_READWRITE, m_tableName);
    try {
        CheckSound(db, m_schema, m_tableName);
        // Only after the check: a file that is not ours must not be touched. EXTRA also
        // flushes the directory after the rollback journal is removed, so a commit
        // survives a power cut and not only a crash of the program.
        Exec(db, QStringLiteral("PRAGMA synchronous=EXTRA"), ETableError::Kind::CannotOpen, m_tableName);
    } catch (...) {
        sqlite3_close_v2(db);
        throw;
    }
    m_db = db;
    m_state = State::Browse;
    try {
        RefreshKeys();
    } catch (...) {
        Close();
        throw;
    }
    m_pos = 0;
    m_eof = m_keys.empty();
}

void TTable::Close()
{
    if (!Active())
        return;
    Cancel();
    sqlite3_close_v2(m_db);
    m_db = nullptr;
    m_keys.clear();
    m_pos = 0;
    m_eof = true;
    m_rowLoaded = false;
}

void TTable::RequireOpen() const
{
    if (!Active())
        throw ETableError(ETableError::Kind::InvalidOperation, m_tableName, QStringLiteral("table is not open"));
}

int TTable::FieldIndex(const QString& name) const
{
    for (size_t i = 0; i < m_schema.fields.size(); ++i) {
        if (m_schema.fields[i].name.compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    }
    throw ETableError(ETableError::Kind::InvalidOperation, m_tableName, QStringLiteral("no field %1").arg(name));
}

void TTable::RefreshKeys()
{
    const QString key = Quote(m_schema.fields.front().name);
    Statement select(m_db, QStringLiteral("SELECT %1 FROM %2 ORDER BY %1").arg(key, Quote(m_schema.tableName)));
    if (!select.ok())
        Throw(select.failure(), ETableError::Kind::CannotOpen, m_tableName);
    std::vector<qint64> keys;
    int rc;
    while ((rc = select.step()) == SQLITE_ROW)
        keys.push_back(sqlite3_column_int64(select.get(), 0));
    if (rc != SQLITE_DONE)
        Throw(select.failure(), ETableError::Kind::CannotOpen, m_tableName);
    m_keys = std::move(keys);
    m_rowLoaded = false;
}

void TTable::PositionOnKey(qint64 key)
{
    const auto it = std::lower_bound(m_keys.begin(), m_keys.end(), key);
    m_pos = static_cast<int>(std::min<std::ptrdiff_t>(it - m_keys.begin(), std::max<std::ptrdiff_t>(0, m_keys.size() - 1)));
    m_eof = m_keys.empty();
    m_rowLoaded = false;
}

void TTable::LoadCurrent() const
{
    if (m_rowLoaded)
        return;
    m_row.assign(m_schema.fields.size(), TFieldValue());
    if (!m_keys.empty()) {
        QStringList columns;
        for (const TFieldDef& f : m_schema.fields)
            columns << Quote(f.name);
        Statement select(m_db, QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ?1")
                                   .arg(columns.join(QLatin1Char(',')), Quote(m_schema.tableName),
                                        Quote(m_schema.fields.front().name)));
        if (!select.ok())
            Throw(select.failure(), ETableError::Kind::CannotOpen, m_tableName);
        sqlite3_bind_int64(select.get(), 1, m_keys[static_cast<size_t>(m_pos)]);
        const int rc = select.step();
        if (rc == SQLITE_ROW) {
            for (size_t i = 0; i < m_schema.fields.size(); ++i)
                m_row[i] = ReadColumn(select.get(), static_cast<int>(i), m_schema.fields[i].type);
        } else if (rc != SQLITE_DONE) {
            Throw(select.failure(), ETableError::Kind::CannotOpen, m_tableName);
        }
    }
    m_rowLoaded = true;
}

void TTable::CheckBrowseMode()
{
    if (Editing())
        Post();
}

void TTable::First()
{
    RequireOpen();
    CheckBrowseMode();
    m_pos = 0;
    m_eof = m_keys.empty();
    m_rowLoaded = false;
}

void TTable::Next()
{
    RequireOpen();
    CheckBrowseMode();
    if (static_cast<size_t>(m_pos) + 1 < m_keys.size()) {
        ++m_pos;
        m_eof = false;
        m_rowLoaded = false;
    } else {
        m_eof = true;
    }
}

void TTable::Prior()
{
    RequireOpen();
    CheckBrowseMode();
    if (m_pos > 0) {
        --m_pos;
        m_eof = false;
        m_rowLoaded = false;
    }
}

void TTable::Last()
{
    RequireOpen();
    CheckBrowseMode();
    m_pos = m_keys.empty() ? 0 : static_cast<int>(m_keys.size()) - 1;
    m_eof = true;
    m_rowLoaded = false;
}

bool TTable::Locate(const QString& field, const TFieldValue& value)
{
    RequireOpen();
    const int index = FieldIndex(field);
    CheckBrowseMode();
    const TFieldDef& def = m_schema.fields[static_cast<size_t>(index)];
    if (index == 0) {
        bool number = false;
        const qint64 key = value.AsString().trimmed().toLongLong(&number);
        if (!number)
            return false;  // "" or "abc" is no key
        const auto it = std::lower_bound(m_keys.begin(), m_keys.end(), key);
        if (it == m_keys.end() || *it != key)
            return false;
        PositionOnKey(key);
        return true;
    }
    const QString key = Quote(m_schema.fields.front().name);
    Statement select(m_db, QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ?1 ORDER BY %1 LIMIT 1")
                               .arg(key, Quote(m_schema.tableName), Quote(def.name)));
    if (!select.ok())
        Throw(select.failure(), ETableError::Kind::CannotOpen, m_tableName);
    Bind(select.get(), 1, value, def.type);
    const int rc = select.step();
    if (rc == SQLITE_DONE)
        return false;
    if (rc != SQLITE_ROW)
        Throw(select.failure(), ETableError::Kind::CannotOpen, m_tableName);
    PositionOnKey(sqlite3_column_int64(select.get(), 0));
    return true;
}

int TTable::RecNo() const
{
    RequireOpen();
    return m_keys.empty() ? 0 : m_pos + 1;
}

void TTable::setRecNo(int recNo)
{
    RequireOpen();
    CheckBrowseMode();
    if (recNo < 1 || static_cast<size_t>(recNo) > m_keys.size())
        throw ETableError(ETableError::Kind::InvalidOperation, m_tableName,
                          QStringLiteral("no record number %1 of %2").arg(recNo).arg(m_keys.size()));
    m_pos = recNo - 1;
    m_eof = false;
    m_rowLoaded = false;
}

int TTable::RecordCount() const
{
    RequireOpen();
    return static_cast<int>(m_keys.size());
}

void TTable::Edit()
{
    RequireOpen();
    if (Editing())
        return;
    if (m_keys.empty()) {
        Append();
        return;
    }
    LoadCurrent();
    m_buffer = m_row;
    m_editKey = m_keys[static_cast<size_t>(m_pos)];
    m_state = State::Edit;
}

void TTable::Append()
{
    RequireOpen();
    CheckBrowseMode();
    m_buffer.assign(m_schema.fields.size(), TFieldValue());
    m_state = State::Insert;
}

void TTable::Cancel()
{
    m_state = State::Browse;
    m_buffer.clear();
}

void TTable::Post()
{
    RequireOpen();
    if (!Editing())
        return;
    const bool inserting = m_state == State::Insert;
    const TFieldValue& keyValue = m_buffer.front();
    QStringList columns;
    QStringList places;
    for (size_t i = 0; i < m_schema.fields.size(); ++i) {
        columns << Quote(m_schema.fields[i].name);
        places << QStringLiteral("?%1").arg(i + 1);
    }
    QString sql;
    if (inserting) {
        sql = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                  .arg(Quote(m_schema.tableName), columns.join(QLatin1Char(',')), places.join(QLatin1Char(',')));
    } else {
        QStringList sets;
        for (int i = 0; i < columns.size(); ++i)
            sets << columns[i] + QLatin1Char('=') + places[i];
        sql = QStringLiteral("UPDATE %1 SET %2 WHERE %3 = ?%4")
                  .arg(Quote(m_schema.tableName), sets.join(QLatin1Char(',')), columns.front())
                  .arg(columns.size() + 1);
    }

    SqlFailure failure;
    qint64 key = 0;
    {
        Statement write(m_db, sql);
        if (!write.ok()) {
            failure = write.failure();
        } else {
            for (size_t i = 0; i < m_schema.fields.size(); ++i)
                Bind(write.get(), static_cast<int>(i) + 1, m_buffer[i], m_schema.fields[i].type);
            if (keyValue.IsNull()) {
                if (inserting)
                    sqlite3_bind_null(write.get(), 1);  // the engine picks the next free key
                else
                    sqlite3_bind_int64(write.get(), 1, m_editKey);
            }
            if (!inserting)
                sqlite3_bind_int64(write.get(), static_cast<int>(m_schema.fields.size()) + 1, m_editKey);
            const int rc = write.step();
            if (rc != SQLITE_DONE)
                failure = write.failure();
            else if (keyValue.IsNull())
                key = inserting ? sqlite3_last_insert_rowid(m_db) : m_editKey;
            else
                key = keyValue.AsLargeInt();
        }
    }
    Cancel();
    if (failure.rc != SQLITE_OK) {
        m_rowLoaded = false;
        Throw(failure, ETableError::Kind::WriteFailed, m_tableName);
    }
    RefreshKeys();
    PositionOnKey(key);
}

void TTable::Delete()
{
    RequireOpen();
    if (m_state == State::Insert) {
        Cancel();
        return;
    }
    Cancel();
    if (m_keys.empty())
        throw ETableError(ETableError::Kind::InvalidOperation, m_tableName, QStringLiteral("table is empty"));
    Statement remove(m_db, QStringLiteral("DELETE FROM %1 WHERE %2 = ?1")
                               .arg(Quote(m_schema.tableName), Quote(m_schema.fields.front().name)));
    if (!remove.ok())
        Throw(remove.failure(), ETableError::Kind::WriteFailed, m_tableName);
    sqlite3_bind_int64(remove.get(), 1, m_keys[static_cast<size_t>(m_pos)]);
    if (remove.step() != SQLITE_DONE)
        Throw(remove.failure(), ETableError::Kind::WriteFailed, m_tableName);
    RefreshKeys();
    if (static_cast<size_t>(m_pos) >= m_keys.size())
        m_pos = m_keys.empty() ? 0 : static_cast<int>(m_keys.size()) - 1;
    m_eof = m_keys.empty();
}

void TTable::EmptyTable()
{
    const bool wasOpen = Active();
    Open();
    try {
        Cancel();
        Exec(m_db, QStringLiteral("DELETE FROM %1").arg(Quote(m_schema.tableName)), ETableError::Kind::WriteFailed,
             m_tableName);
        RefreshKeys();
        m_pos = 0;
        m_eof = true;
    } catch (...) {
        if (!wasOpen)
            Close();
        throw;
    }
    if (!wasOpen)
        Close();
}

TFieldValue TTable::Field(int position) const
{
    RequireOpen();
    if (position < 0 || position >= FieldCount())
        throw ETableError(ETableError::Kind::InvalidOperation, m_tableName,
                          QStringLiteral("no field at position %1").arg(position));
    if (Editing())
        return m_buffer[static_cast<size_t>(position)];
    LoadCurrent();
    return m_row[static_cast<size_t>(position)];
}

TFieldValue TTable::FieldByName(const QString& name) const
{
    return Field(FieldIndex(name));
}

void TTable::SetFieldByName(const QString& name, const TFieldValue& value)
{
    SetField(FieldIndex(name), value);
}

void TTable::SetField(int position, const TFieldValue& value)
{
    RequireOpen();
    if (position < 0 || position >= FieldCount())
        throw ETableError(ETableError::Kind::InvalidOperation, m_tableName,
                          QStringLiteral("no field at position %1").arg(position));
    if (!Editing())
        throw ETableError(ETableError::Kind::InvalidOperation, m_tableName,
                          QStringLiteral("table is not in edit or append mode"));
    const TFieldDef& def = m_schema.fields[static_cast<size_t>(position)];
    TFieldValue stored;
    switch (def.type) {
    case TFieldType::Integer: {
        const QString text = value.AsString().trimmed();
        bool ok = true;
        const qint64 number = text.isEmpty() ? 0 : text.toLongLong(&ok);
        if (!ok)
            throw ETableError(ETableError::Kind::InvalidOperation, m_tableName,
                              QStringLiteral("'%1' is not a number for field %2").arg(text, def.name));
        stored = (position == 0 && value.IsNull()) ? TFieldValue() : TFieldValue(number);
        break;
    }
    case TFieldType::Text: {
        const QString text = value.AsString();
        if (def.maxGbkBytes > 0 && GbkLength(text) > def.maxGbkBytes)
            throw ETableError(ETableError::Kind::NameTooLong, m_tableName, def.name, def.maxGbkBytes);
        stored = TFieldValue(text);
        break;
    }
    case TFieldType::Blob:
        stored = TFieldValue(value.AsBytes());
        break;
    }
    m_buffer[static_cast<size_t>(position)] = stored;
}

bool TTable::CreateTable(const QString& path, const TTableSchema& schema,
                         const std::vector<std::vector<TFieldValue>>& rows, bool shared)
{
    if (QFileInfo::exists(path))
        return false;
    const QString temp = tarvello::MakeTempBeside(path);
    try {
        WriteInto(temp, schema, rows, shared, path);
        return tarvello::InstallNew(temp, path);
    } catch (...) {
        tarvello::RemoveIfPresent(temp);
        tarvello::RemoveIfPresent(temp + QLatin1String("-journal"));
        throw;
    }
}

void TTable::WriteInto(const QString& temp, const TTableSchema& schema,
                       const std::vector<std::vector<TFieldValue>>& rows, bool shared, const QString& path)
{
    {
        sqlite3* db = nullptr;
        int rc = sqlite3_open_v2(SqliteFileName(temp).constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) {
            const QString why = QString::fromUtf8(sqlite3_errstr(rc));
            sqlite3_close_v2(db);
            throw ETableError(ETableError::Kind::WriteFailed, path, why);
        }
        sqlite3_extended_result_codes(db, 1);
        try {
            Exec(db, QStringLiteral("PRAGMA synchronous=FULL; BEGIN; ") + schema.createSql, ETableError::Kind::WriteFailed,
                 path);
            QStringList columns;
            QStringList places;
            for (size_t i = 0; i < schema.fields.size(); ++i) {
                columns << Quote(schema.fields[i].name);
                places << QStringLiteral("?%1").arg(i + 1);
            }
            Statement insert(db, QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                     .arg(Quote(schema.tableName), columns.join(QLatin1Char(',')),
                                          places.join(QLatin1Char(','))));
            if (!insert.ok())
                Throw(insert.failure(), ETableError::Kind::WriteFailed, path);
            for (const auto& row : rows) {
                sqlite3_reset(insert.get());
                for (size_t i = 0; i < schema.fields.size(); ++i)
                    Bind(insert.get(), static_cast<int>(i) + 1, i < row.size() ? row[i] : TFieldValue(),
                         schema.fields[i].type);
                if (insert.step() != SQLITE_DONE)
                    Throw(insert.failure(), ETableError::Kind::WriteFailed, path);
            }
            Exec(db, QStringLiteral("COMMIT"), ETableError::Kind::WriteFailed, path);
        } catch (...) {
            sqlite3_close_v2(db);
            throw;
        }
        if (sqlite3_close(db) != SQLITE_OK)
            throw ETableError(ETableError::Kind::WriteFailed, path, QStringLiteral("close failed"));
#ifndef _WIN32  // Windows files carry no such permission bits
        if (shared) {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            if (::chmod(QFile::encodeName(temp).constData(), 0666 & ~mask) != 0)
                throw ETableError(IsDiskFullError(errno) ? ETableError::Kind::DiskFull : ETableError::Kind::WriteFailed, path,
                                  QString::fromLocal8Bit(std::strerror(errno)));
        }
#else
        (void)shared;
#endif
        tarvello::SyncFile(temp, path);
    }
}

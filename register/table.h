#pragma once

// A small table cursor over one SQLite file: the record-at-a-time operations the
// program's windows and engine use (navigate in key order, locate, edit, append,
// post, delete), with every write durable once it returns.

#include <QByteArray>
#include <QString>

#include <concepts>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

struct sqlite3;

// A record whose field holds a value the field does not allow (an ID or a group outside
// what the bus can address).
struct TBadRecord {
    int recNo = 0;   // 1-based position in key order; 0: none
    qint64 key = 0;  // the record's ID
    QString field;   // "Group_ID"
    QString value;   // as stored: a number, or whatever text is there instead
    qint64 low = 0;
    qint64 high = 0;
};

class ETableError : public std::runtime_error {
public:
    enum class Kind {
        InvalidRegister,  // exists but is not a register: not SQLite, wrong schema or damaged
        InvalidBackup,    // a backup copy that is not a valid register; nothing was restored
        CannotOpen,       // missing, unreadable, or the directory is not accessible
        KeyViolation,     // a record with that key already exists
        WriteFailed,      // read-only file, I/O error
        DiskFull,         // no room left on the disk (or in the quota); the change was not saved
        NameTooLong,      // text longer than the field allows (GBK bytes)
        InvalidOperation,   // misuse: table not open, unknown field, record number out of range
        Busy,               // another program holds a lock on the file past the wait
        TornBackup,         // two backup files made by different backups; nothing was restored
        InterruptedRestore, // a restore stopped half-way cannot be completed from its backup
        ValueOutOfRange     // a register whose record holds a value its field does not allow
    };

    // `otherFileName`: the second file of a pair (TornBackup: the other backup file;
    // InterruptedRestore: the backup file that no longer matches).
    ETableError(Kind kind, const QString& fileName, const QString& detail = {}, int limit = 0,
                const QString& otherFileName = {});
    // ValueOutOfRange for a data file, or InvalidBackup for a backup file, naming the record.
    ETableError(Kind kind, const QString& fileName, const TBadRecord& record);

    Kind kind() const { return m_kind; }
    const QString& fileName() const { return m_fileName; }
    const QString& otherFileName() const { return m_otherFileName; }
    // Technical detail in English (SQLite's message, the field name), may be empty.
    const QString& detail() const { return m_detail; }
    // The byte limit for NameTooLong.
    int limit() const { return m_limit; }
    // The record a ValueOutOfRange or InvalidBackup names; recNo 0 when none.
    const TBadRecord& badRecord() const { return m_badRecord; }

    // The message for the user: 0 Simplified Chinese, 1 English; any other
    // language index gives an empty text, like every other text of the program.
    QString Text(int language) const;

private:
    Kind m_kind;
    QString m_fileName;
    QString m_otherFileName;
    QString m_detail;
    int m_limit;
    TBadRecord m_badRecord;
};

// How long an operation waits for a lock that another program holds on a table file
// before it fails with Busy. Short: the caller is the user-interface thread.
constexpr int TableBusyTimeoutMs = 250;

enum class TFieldType { Integer, Text, Blob };

struct TRange {
    qint64 low = 0;
    qint64 high = 0;
};

struct TFieldDef {
    QString name;
    TFieldType type = TFieldType::Integer;
    int maxGbkBytes = 0;  // text fields: longest value accepted, 0 = no limit
    // Integer fields: the whole numbers a sound file holds here (an empty field reads as 0 and
    // counts as 0). A file with any other value is refused when it is opened or checked.
    std::optional<TRange> range = std::nullopt;
};

// The layout a file must have. fields[0] is the key: an INTEGER PRIMARY KEY.
struct TTableSchema {
    QString tableName;
    QString createSql;
    std::vector<TFieldDef> fields;
};

// The value of one field. A null (empty) value reads as "" and 0.
class TFieldValue {
public:
    TFieldValue() = default;
    template <std::integral T>
    TFieldValue(T v) : m_kind(Kind::Integer), m_int(static_cast<qint64>(v)) {}
    TFieldValue(const QString& s) : m_kind(Kind::Text), m_text(s) {}
    TFieldValue(const char* utf8) : m_kind(Kind::Text), m_text(QString::fromUtf8(utf8)) {}
    TFieldValue(const QByteArray& b) : m_kind(Kind::Blob), m_bytes(b) {}

    bool IsNull() const { return m_kind == Kind::Null; }
    int AsInteger() const { return static_cast<int>(AsLargeInt()); }
    qint64 AsLargeInt() const;
    // Integers as decimal text; blobs byte for byte (Latin-1).
    QString AsString() const;
    // Blobs as stored; text as UTF-8; integers as decimal text.
    QByteArray AsBytes() const;

private:
    enum class Kind { Null, Integer, Text, Blob };
    Kind m_kind = Kind::Null;
    qint64 m_int = 0;
    QString m_text;
    QByteArray m_bytes;
};

class TTable {
public:
    explicit TTable(TTableSchema schema);
    ~TTable();
    TTable(const TTable&) = delete;
    TTable& operator=(const TTable&) = delete;

    const TTableSchema& Schema() const { return m_schema; }

    // The file, e.g. "DFiles/Member1.DB". Changing it while the table is open is refused.
    const QString& TableName() const { return m_tableName; }
    void setTableName(const QString& fileName);

    // Opens an existing file after checking that it is a sound register of this
    // schema; never creates, alters or repairs it. Current record: the first.
    void Open();
    // Discards a pending Edit/Append and releases the file.
    void Close();
    bool Active() const { return m_db != nullptr; }

    // Moving while a record is being edited or appended posts it first, as a dataset does.
    void First();
    void Next();
    void Prior();
    void Last();  // the last record becomes current and Eof is set
    // Set by Next past the last record (the last record stays current) and on an empty table.
    bool Eof() const { return m_eof; }
    // Exact match on any field; makes the record current when found, else leaves the position.
    bool Locate(const QString& field, const TFieldValue& value);

    // 1-based position in key order; 0 on an empty table.
    int RecNo() const;
    void setRecNo(int recNo);
    int RecordCount() const;

    // Edit on an empty table starts an Append, as a dataset does.
    void Edit();
    // A record whose key is never set gets the next free key when posted.
    void Append();
    // Writes the pending record in its own transaction; afterwards it is current, in key
    // order. On failure the pending change is discarded and the table is as before.
    void Post();
    void Cancel();
    bool Editing() const { return m_state != State::Browse; }
    // Removes the current record; the following one becomes current, or the new last one.
    void Delete();
    // Removes every record, open or closed.
    void EmptyTable();

    TFieldValue FieldByName(const QString& name) const;
    TFieldValue Field(int position) const;
    void SetFieldByName(const QString& name, const TFieldValue& value);
    void SetField(int position, const TFieldValue& value);
    int FieldCount() const { return static_cast<int>(m_schema.fields.size()); }

    // Fails (naming the file) when a write to the table would fail now: the file or its
    // directory is read-only (the journal is written beside the file), the file is
    // damaged, locked by another program, or the table is not open. It tries a write and
    // rolls it back, so the records, the cursor and a pending edit stay as they were.
    void CheckWritable();

    // The 32-bit number SQLite keeps for its user in the file header (PRAGMA
    // user_version); 0 in a file that never had one set. Errors name `reportAs`.
    static qint32 ReadStamp(const QString& path, const QString& reportAs);
    static void WriteStamp(const QString& path, qint32 stamp, const QString& reportAs);

    // Checks that `path` is a sound SQLite file of `schema` without changing it; errors
    // name `reportAs`. Throws InvalidRegister, ValueOutOfRange (the first record, in key
    // order, with a value outside its field's range) or CannotOpen.
    static void Validate(const QString& path, const TTableSchema& schema, const QString& reportAs);

    // Creates `path` with the schema and `rows` (values in field order) in one step: the
    // file appears complete or not at all, and an existing file is never replaced.
    // Returns false when the file already existed. The new file is readable and writable by its
    // owner only unless `shared` is set: then it takes the usual mode (0666 less the umask).
    static bool CreateTable(const QString& path, const TTableSchema& schema,
                            const std::vector<std::vector<TFieldValue>>& rows, bool shared = false);
    // Fills the existing empty file `temp` the same way and flushes it, without renaming it;
    // errors name `path`, the file it will become.
    static void WriteInto(const QString& temp, const TTableSchema& schema,
                          const std::vector<std::vector<TFieldValue>>& rows, bool shared, const QString& path);

private:
    enum class State { Browse, Edit, Insert };

    void RequireOpen() const;
    int FieldIndex(const QString& name) const;
    void CheckBrowseMode();
    void RefreshKeys();
    void LoadCurrent() const;
    void PositionOnKey(qint64 key);
    [[noreturn]] void Fail(int rc, ETableError::Kind fallback) const;

    TTableSchema m_schema;
    QString m_tableName;
    sqlite3* m_db = nullptr;

    // Cursor snapshot: the keys in ascending order, refreshed after every write.
    std::vector<qint64> m_keys;
    int m_pos = 0;
    bool m_eof = true;

    State m_state = State::Browse;
    std::vector<TFieldValue> m_buffer;  // the record being edited or appended
    qint64 m_editKey = 0;               // key of the record under Edit

    mutable bool m_rowLoaded = false;  // m_row caches the current record
    mutable std::vector<TFieldValue> m_row;
};

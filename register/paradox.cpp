#include "register/paradox.h"

#include "common/gbk.h"
#include "common/texts.h"
#include "register/register.h"

#include <QFile>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <map>

#include <cstdio>

extern "C" {
#include <paradox.h>
}

namespace {

constexpr int MaxGroupRecords = 16;
constexpr int PasswordBytes = 8;
constexpr int MinPasswordRecords = 3;
// Header of a Paradox table: record size, header size, file type, ..., field count.
constexpr int HeaderProbeBytes = 0x58;
constexpr int FieldCountOffset = 0x21;  // 16 bits
// A Paradox table has at most 255 fields; pxlib reads as many field descriptions as the header
// claims, up to 65535, and takes many seconds over a damaged one.
constexpr int MaxFields = 255;

constexpr Text ProblemTexts[] = {
    {"无法读取（%1）", "cannot be read (%1)"},
    {"缺少字段 %1", "the field %1 is missing"},
    {"字段 %1 的类型不符", "the field %1 has the wrong type"},
    {"多余的字段 %1", "the field %1 is not expected"},
    {"字段 %1 的值不是整数", "the field %1 holds no whole number"},
    {"ID %1 不在 1 到 999 之间", "the ID %1 is outside 1 to 999"},
    {"ID %1 重复", "the ID %1 occurs twice"},
    {"有 %1 条组记录，最多 16 条", "%1 group records, at most 16 are allowed"},
    {"字段 %1 不是 GBK 文本", "the field %1 is not GBK text"},
    {"只有 %1 条密码记录，需要 3 条", "%1 password records, 3 are needed"},
    {"密码超过 8 个字节", "the password is longer than 8 bytes"},
    {"%1 已存在", "%1 exists already"},
    {"组 ID %1 不在 0 到 15 之间", "the group ID %1 is outside 0 to 15"},
    {"Group_ID %1 不在 0 到 15 之间", "the Group_ID %1 is outside 0 to 15"},
};
static_assert(std::size(ProblemTexts) == static_cast<size_t>(TParadoxProblem::Kind::GroupOfDeviceOutOfRange) + 1);
constexpr Text RecordText{"%1 第 %2 条记录：%3", "%1, record %2: %3"};
constexpr Text FileText{"%1：%2", "%1: %2"};

quint16 Le16(const QByteArray& b, int at)
{
    return static_cast<quint16>(static_cast<quint8>(b[at]) | (static_cast<quint8>(b[at + 1]) << 8));
}

// pxlib follows the chain of data blocks from the header's first block until a block names no next
// one, and never stops on a chain that runs in a circle; an encrypted table leads it block by block
// into the same trap. Both are checked here first: the chain stays within the file and visits each
// block once. Returns what is wrong, or nothing.
QString BlockChainProblem(QFile& file, const QByteArray& head)
{
    // The key of an encrypted table: at 0x25, or, where that holds the mark of a newer header
    // (FF00FF00) and the version is one that has it (Paradox 4 and later), at 0x5C. The mark in an
    // older header is taken for a key, as pxlib takes it.
    constexpr int EncryptionOffset = 0x25, NewerEncryptionOffset = 0x5C, BlockSizeOffset = 0x05,
                  FirstBlockOffset = 0x0E, VersionOffset = 0x39, FirstNewerVersion = 5;
    // Versions 3 (Paradox 3.0) to 12 (Paradox 7); pxlib walks the blocks of any other on guesses.
    const int version = static_cast<quint8>(head[VersionOffset]);
    if (version < 3 || version > 12)
        return QStringLiteral("unknown version");
    QByteArray key = head.mid(EncryptionOffset, 4);
    if (key == QByteArrayLiteral("\x00\xFF\x00\xFF") && version >= FirstNewerVersion) {
        key.clear();
        if (file.seek(NewerEncryptionOffset))
            key = file.read(4);
    }
    if (key != QByteArray(4, '\0'))
        return QStringLiteral("encrypted table");
    const qint64 blockSize = static_cast<quint8>(head[BlockSizeOffset]) * qint64(0x400);
    const qint64 headerSize = Le16(head, 2);
    if (blockSize == 0)
        return QStringLiteral("damaged header");
    const qint64 blocks = (file.size() - headerSize) / blockSize;  // whole blocks in the file
    std::vector<bool> seen(static_cast<size_t>(std::max<qint64>(blocks, 0)) + 1, false);
    for (quint16 block = Le16(head, FirstBlockOffset); block != 0;) {
        if (block > blocks || seen[block])
            return QStringLiteral("damaged block list");
        seen[block] = true;
        QByteArray next;
        if (file.seek(headerSize + (block - 1) * blockSize))
            next = file.read(2);
        if (next.size() < 2)
            return QStringLiteral("damaged block list");
        block = Le16(next, 0);
    }
    return {};
}

// One open table; pxlib reports its errors through the handler into `error`.
class TPxDoc {
public:
    TPxDoc()
    {
        static const bool booted = [] {
            PX_boot();
            return true;
        }();
        (void)booted;
        m_doc = PX_new3(&TPxDoc::OnError, nullptr, nullptr, nullptr, this);
    }
    ~TPxDoc()
    {
        if (m_open)
            PX_close(m_doc);
        if (m_doc)
            PX_delete(m_doc);
        if (m_file)
            std::fclose(m_file);
    }
    TPxDoc(const TPxDoc&) = delete;
    TPxDoc& operator=(const TPxDoc&) = delete;

    bool Open(const QString& path)
    {
        if (!m_doc) {
            m_error = QStringLiteral("out of memory");
            return false;
        }
        // Opened here, for reading only, and by its wide name on Windows (a folder of any name);
        // pxlib reads from the stream and leaves closing it to us.
#ifdef _WIN32
        m_file = ::_wfopen(reinterpret_cast<const wchar_t*>(path.utf16()), L"rb");
#else
        m_file = std::fopen(QFile::encodeName(path).constData(), "rb");
#endif
        if (!m_file) {
            m_error = QStringLiteral("cannot be opened");
            return false;
        }
        m_open = PX_open_fp(m_doc, m_file) >= 0;
        if (!m_open && m_error.isEmpty())
            m_error = QStringLiteral("not a Paradox table");
        return m_open;
    }
    pxdoc_t* get() const { return m_doc; }
    QString TakeError()
    {
        QString e = m_error;
        m_error.clear();
        return e;
    }

private:
    static void OnError(pxdoc_t*, int, const char* msg, void* data)
    {
        auto* self = static_cast<TPxDoc*>(data);
        if (self->m_error.isEmpty())
            self->m_error = QString::fromLocal8Bit(msg).trimmed();
    }

    pxdoc_t* m_doc = nullptr;
    std::FILE* m_file = nullptr;
    bool m_open = false;
    QString m_error;
};

bool IsNumeric(char type)
{
    return type == pxfShort || type == pxfLong || type == pxfNumber || type == pxfAutoInc;
}

enum class TNumber { Ok, NotWhole, Unreadable };

// An empty field reads as 0, as the table engine of earlier versions gave it.
TNumber ReadNumber(pxdoc_t* doc, const pxfield_t& field, char* data, qint64& out)
{
    out = 0;
    // Paradox keeps an empty numeric field as all zero bytes.
    if (std::all_of(data, data + field.px_flen, [](char c) { return c == 0; }))
        return TNumber::Ok;
    int rc = -1;
    switch (field.px_ftype) {
    case pxfShort: {
        short v = 0;
        rc = PX_get_data_short(doc, data, field.px_flen, &v);
        out = v;
        break;
    }
    case pxfLong:
    case pxfAutoInc: {
        long v = 0;
        rc = PX_get_data_long(doc, data, field.px_flen, &v);
        out = v;
        break;
    }
    case pxfNumber: {
        double v = 0;
        rc = PX_get_data_double(doc, data, field.px_flen, &v);
        if (rc > 0) {
            if (!std::isfinite(v) || v != std::floor(v) || std::fabs(v) > 1e15)
                return TNumber::NotWhole;
            out = static_cast<qint64>(v);
        }
        break;
    }
    default:
        return TNumber::Unreadable;
    }
    if (rc < 0)
        return TNumber::Unreadable;
    if (rc == 0)
        out = 0;
    return TNumber::Ok;
}

// The bytes of an alpha field up to its first NUL (the padding).
QByteArray AlphaBytes(const char* data, int len)
{
    const void* nul = std::memchr(data, 0, static_cast<size_t>(len));
    return QByteArray(data, nul ? static_cast<int>(static_cast<const char*>(nul) - data) : len);
}

struct TExpectedField {
    const char* name;
    bool numeric;  // else alpha
};

}  // namespace

QString TParadoxProblem::Text(int language) const
{
    if (language != 0 && language != 1)
        return {};
    QString what = pick(ProblemTexts[static_cast<int>(kind)], static_cast<int16_t>(language));
    if (what.contains(QLatin1String("%1")))
        what = what.arg(detail);
    if (record > 0)
        return pick(RecordText, static_cast<int16_t>(language)).arg(file).arg(record).arg(what);
    return pick(FileText, static_cast<int16_t>(language)).arg(file, what);
}

bool IsParadoxTable(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(HeaderProbeBytes);
    if (head.size() < HeaderProbeBytes || head.startsWith(QByteArrayLiteral("SQLite format 3")))
        return false;
    const quint16 headerSize = Le16(head, 2);
    const auto fileType = static_cast<quint8>(head[4]);
    // Headers come in whole blocks of 2 KiB; a table file is type 0 (keyed) or 2 (not keyed).
    return (fileType == pxfFileTypIndexDB || fileType == pxfFileTypNonIndexDB) && headerSize >= 0x800 &&
           headerSize % 0x800 == 0;
}

TParadoxRead ReadParadoxTable(const QString& path, TParadoxKind kind, const QString& reportAs)
{
    TParadoxRead result;
    auto fail = [&](int record, TParadoxProblem::Kind k, const QString& detail = {}) {
        result.problems.push_back({reportAs, record, k, detail});
    };
    const auto unreadable = TParadoxProblem::Kind::Unreadable;

    // pxlib trusts the header's counts: check them against the file before it reads anything.
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            fail(0, unreadable, file.errorString());
            return result;
        }
        const QByteArray head = file.read(HeaderProbeBytes);
        if (head.size() < HeaderProbeBytes || !IsParadoxTable(path)) {
            fail(0, unreadable, QStringLiteral("not a Paradox table"));
            return result;
        }
        const int fieldCount = Le16(head, FieldCountOffset);
        if (fieldCount == 0 || fieldCount > MaxFields || Le16(head, 0) == 0 ||
            file.size() < Le16(head, 2)) {
            fail(0, unreadable, QStringLiteral("damaged header"));
            return result;
        }
        if (const QString problem = BlockChainProblem(file, head); !problem.isEmpty()) {
            fail(0, unreadable, problem);
            return result;
        }
    }

    TPxDoc px;
    if (!px.Open(path)) {
        fail(0, unreadable, px.TakeError());
        return result;
    }
    pxdoc_t* doc = px.get();
    const int fieldCount = PX_get_num_fields(doc);
    pxfield_t* fields = PX_get_fields(doc);
    const int recordSize = PX_get_recordsize(doc);
    std::vector<int> offsets;
    int sum = 0;
    for (int i = 0; i < fieldCount; ++i) {
        offsets.push_back(sum);
        sum += fields[i].px_flen;
    }
    if (fieldCount <= 0 || !fields || recordSize <= 0 || sum != recordSize) {
        fail(0, unreadable, QStringLiteral("damaged field list"));
        return result;
    }
    const int recordCount = PX_get_num_records(doc);
    if (recordCount < 0) {
        fail(0, unreadable, QStringLiteral("damaged record count"));
        return result;
    }

    // Where each field of our schema lies in the Paradox record.
    std::vector<int> columns;
    if (kind == TParadoxKind::Passwords) {
        if (fieldCount < 2) {
            fail(0, TParadoxProblem::Kind::MissingField, QStringLiteral("2"));
            return result;
        }
        const pxfield_t& f = fields[1];
        if ((f.px_ftype != pxfAlpha && f.px_ftype != pxfBytes) || f.px_flen < PasswordBytes) {
            fail(0, TParadoxProblem::Kind::WrongFieldType, QString::fromLocal8Bit(f.px_fname));
            return result;
        }
    } else {
        const std::vector<TExpectedField> expected =
            kind == TParadoxKind::Devices
                ? std::vector<TExpectedField>{{"ID", true}, {"Name", false}, {"Group_ID", true}}
                : std::vector<TExpectedField>{{"ID", true}, {"Name", false}};
        std::vector<bool> used(static_cast<size_t>(fieldCount), false);
        for (const TExpectedField& want : expected) {
            int found = -1;
            for (int i = 0; i < fieldCount; ++i)
                if (fields[i].px_fname &&
                    QString::fromLatin1(fields[i].px_fname).compare(QLatin1String(want.name), Qt::CaseInsensitive) == 0)
                    found = i;
            if (found < 0) {
                fail(0, TParadoxProblem::Kind::MissingField, QLatin1String(want.name));
                continue;
            }
            used[static_cast<size_t>(found)] = true;
            const char type = fields[found].px_ftype;
            if (want.numeric ? !IsNumeric(type) : type != pxfAlpha)
                fail(0, TParadoxProblem::Kind::WrongFieldType, QLatin1String(want.name));
            columns.push_back(found);
        }
        for (int i = 0; i < fieldCount; ++i)
            if (!used[static_cast<size_t>(i)])
                fail(0, TParadoxProblem::Kind::UnexpectedField, QString::fromLocal8Bit(fields[i].px_fname));
        if (!result.problems.empty())
            return result;
        if (kind == TParadoxKind::Groups && recordCount > MaxGroupRecords) {
            fail(0, TParadoxProblem::Kind::TooManyGroups, QString::number(recordCount));
            return result;
        }
    }
    if (kind == TParadoxKind::Passwords && recordCount < MinPasswordRecords) {
        fail(0, TParadoxProblem::Kind::TooFewPasswords, QString::number(recordCount));
        return result;
    }

    std::vector<char> buffer(static_cast<size_t>(recordSize));
    std::map<qint64, int> seen;  // ID -> record
    for (int r = 0; r < recordCount; ++r) {
        const int recNo = r + 1;
        if (!PX_get_record(doc, r, buffer.data())) {
            const QString why = px.TakeError();
            fail(recNo, unreadable, why.isEmpty() ? QStringLiteral("damaged data block") : why);
            break;
        }
        if (kind == TParadoxKind::Passwords) {
            const char* data = buffer.data() + offsets[1];
            const int len = fields[1].px_flen;
            // Taken byte for byte: the encoding may hold any byte value, 0 included.
            const QByteArray code(data, PasswordBytes);
            bool tail = false;
            for (int i = PasswordBytes; i < len; ++i)
                tail = tail || data[i] != 0;
            if (tail)
                fail(recNo, TParadoxProblem::Kind::PasswordTooLong);
            result.rows.push_back({recNo, code});
            continue;
        }
        std::vector<TFieldValue> row;
        bool ok = true;
        for (size_t c = 0; c < columns.size(); ++c) {
            const pxfield_t& f = fields[columns[c]];
            char* data = buffer.data() + offsets[static_cast<size_t>(columns[c])];
            const QString name = QString::fromLocal8Bit(f.px_fname);
            if (f.px_ftype == pxfAlpha) {
                bool gbk = true;
                const QString text = DecodeGbk(AlphaBytes(data, f.px_flen), &gbk);
                if (!gbk) {
                    fail(recNo, TParadoxProblem::Kind::NotGbk, name);
                    ok = false;
                }
                row.emplace_back(text);
                continue;
            }
            qint64 value = 0;
            switch (ReadNumber(doc, f, data, value)) {
            case TNumber::Ok:
                break;
            case TNumber::NotWhole:
                fail(recNo, TParadoxProblem::Kind::NotWhole, name);
                ok = false;
                break;
            case TNumber::Unreadable:
                fail(recNo, unreadable, name);
                ok = false;
                break;
            }
            row.emplace_back(value);
        }
        if (!ok)
            continue;
        const auto within = [](qint64 v, const TRange& range) { return range.low <= v && v <= range.high; };
        const qint64 id = row[0].AsLargeInt();
        if (kind == TParadoxKind::Devices && !within(id, DeviceIdRange)) {
            fail(recNo, TParadoxProblem::Kind::IdOutOfRange, QString::number(id));
            continue;
        }
        if (kind == TParadoxKind::Groups && !within(id, GroupIdRange)) {
            fail(recNo, TParadoxProblem::Kind::GroupIdOutOfRange, QString::number(id));
            continue;
        }
        if (kind == TParadoxKind::Devices && !within(row[2].AsLargeInt(), GroupIdRange)) {
            fail(recNo, TParadoxProblem::Kind::GroupOfDeviceOutOfRange, QString::number(row[2].AsLargeInt()));
            continue;
        }
        if (const auto [it, fresh] = seen.emplace(id, recNo); !fresh) {
            fail(recNo, TParadoxProblem::Kind::DuplicateId, QString::number(id));
            continue;
        }
        result.rows.push_back(std::move(row));
    }
    if (!result.problems.empty())
        result.rows.clear();
    else if (kind != TParadoxKind::Passwords)
        std::sort(result.rows.begin(), result.rows.end(),
                  [](const auto& a, const auto& b) { return a[0].AsLargeInt() < b[0].AsLargeInt(); });
    return result;
}

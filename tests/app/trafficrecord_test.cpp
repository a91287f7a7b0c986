#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "app/trafficrecord.h"
#include "common/state.h"
#include "protocol/frames.h"
#include "testsupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frame(uint8_t group, uint16_t id, uint8_t code)
{
    Bytes b(ShortFrameLength);
    EncodeShortFrame({group, id, code}, b.data());
    return b;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// RFC 4180 reader: quoted fields may hold commas, doubled quotes and line breaks.
std::vector<QStringList> parseCsv(const QString& text)
{
    std::vector<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row << field;
            field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            row << field;
            rows.push_back(row);
            row.clear();
            field.clear();
            ++i;
        } else {
            field += c;
        }
    }
    if (!field.isEmpty() || !row.isEmpty())
        rows.push_back(row << field); // a last row without its CRLF shows up here
    return rows;
}

#if defined(__GLIBC__)
// Heap in use, large blocks (which malloc maps on their own) included.
size_t heapInUse()
{
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}
#endif

qint64 localTime(int h, int m, int s, int ms)
{
    return QDateTime(QDate(2024, 5, 6), QTime(h, m, s, ms)).toMSecsSinceEpoch();
}

// A record with a frame sent, two replies in one chunk, a bad reply and a note with a comma and quotes.
TrafficRecord sampleRecord()
{
    TrafficRecord r;
    const Bytes query = frame(2, 15, CmdUp);
    Bytes twoReplies = frame(2, 5, 0xFF);
    const Bytes second = frame(2, 6, 0xFE);
    twoReplies.insert(twoReplies.end(), second.begin(), second.end());
    Bytes bad = frame(2, 5, 0xFF);
    bad.back() ^= 1;
    r.addAt(localTime(7, 8, 9, 10), true, query.data(), int(query.size()));
    r.addAt(localTime(7, 8, 9, 45), false, twoReplies.data(), int(twoReplies.size()));
    r.addAt(localTime(7, 8, 10, 0), false, bad.data(), int(bad.size()));
    r.addNoteAt(localTime(23, 59, 59, 999), QStringLiteral("port \"COM1\" lost, retrying"));
    return r;
}

TEST(TrafficRecord, AMillionFramesThroughAddStayWithinTheBound)
{
    TrafficRecord record;
    const int total = 1'000'000;
    size_t heldWhenFull = 0;
#if defined(__GLIBC__)
    size_t heapWhenFull = 0;
#endif
    Bytes f(ShortFrameLength);
    Bytes chunk(40, 0x55); // a longer received chunk now and then
    for (int i = 0; i < total; ++i) {
        EncodeShortFrame({uint8_t(i % 16), uint16_t(i & 0xFFFF), CmdAskState}, f.data());
        if (i % 7 == 0)
            record.add(false, chunk.data(), int(chunk.size()));
        else
            record.add(true, f.data(), int(f.size()));
        if (i == 2 * TrafficRecord::Capacity) {
            heldWhenFull = record.heldBytes();
#if defined(__GLIBC__)
            heapWhenFull = heapInUse();
#endif
        }
    }
    EXPECT_EQ(record.size(), TrafficRecord::Capacity);
    // Slots are overwritten in place: what a full ring holds depends only on the frames in it (any
    // 100,000 frames of this mix hold the same number of long chunks, give or take one).
    EXPECT_LE(record.heldBytes(), heldWhenFull + chunk.size());
#if defined(__GLIBC__)
    EXPECT_LT(heapInUse(), heapWhenFull + 1024 * 1024) << "the heap grew while the record was full";
#endif
    // The newest frames are kept, in order.
    const int firstKept = total - TrafficRecord::Capacity;
    const TrafficRecord::Entry oldest = record.entry(0), newest = record.entry(TrafficRecord::Capacity - 1);
    ASSERT_NE(firstKept % 7, 0);
    EncodeShortFrame({uint8_t(firstKept % 16), uint16_t(firstKept & 0xFFFF), CmdAskState}, f.data());
    EXPECT_EQ(oldest.bytes, QByteArray(reinterpret_cast<const char*>(f.data()), int(f.size())));
    EXPECT_EQ(oldest.kind, TrafficRecord::Kind::Tx);
    EXPECT_EQ(newest.kind, (total - 1) % 7 == 0 ? TrafficRecord::Kind::Rx : TrafficRecord::Kind::Tx);
    EXPECT_LE(oldest.msecsSinceEpoch, newest.msecsSinceEpoch);
}

TEST(TrafficRecord, CsvReadsBackRowForRow)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("record.csv"));
    QString error;
    ASSERT_TRUE(sampleRecord().saveCsv(path, &error)) << error.toStdString();

    const QByteArray bytes = readAll(path);
    ASSERT_TRUE(bytes.startsWith("\xEF\xBB\xBF")) << "no byte-order mark for spreadsheets";
    EXPECT_TRUE(bytes.endsWith("\r\n"));
    const std::vector<QStringList> rows = parseCsv(QString::fromUtf8(bytes.mid(3)));
    const std::vector<QStringList> expected = {
        {"Time", "Direction", "Bytes", "Meaning"},
        {"2024-05-06 07:08:09.010", "Tx", "FF AC E1 E2 00 0F DD 01 CE", "up group 2 ID 15"},
        {"2024-05-06 07:08:09.045", "Rx", "FF AC E1 E2 00 05 FF 01 E6 FF AC E1 E2 00 06 FE 01 E6",
         "reply: group 2 ID 5 on line; reply: group 2 ID 6 on line"},
        {"2024-05-06 07:08:10.000", "Rx", "FF AC E1 E2 00 05 FF 01 E7", "bad checksum (reply: group 2 ID 5)"},
        {"2024-05-06 23:59:59.999", "Note", "", "port \"COM1\" lost, retrying"},
    };
    ASSERT_EQ(rows.size(), expected.size()) << bytes.toStdString();
    for (size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(rows[i], expected[i]) << "row " << i << ": " << rows[i].join('|').toStdString();
}

TEST(TrafficRecord, TextHasOneLinePerEntry)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("record.txt"));
    ASSERT_TRUE(sampleRecord().saveText(path));
    EXPECT_EQ(QString::fromUtf8(readAll(path)),
              QStringLiteral("2024-05-06 07:08:09.010 Tx FF AC E1 E2 00 0F DD 01 CE | up group 2 ID 15\n"
                             "2024-05-06 07:08:09.045 Rx FF AC E1 E2 00 05 FF 01 E6 FF AC E1 E2 00 06 FE 01 E6 | "
                             "reply: group 2 ID 5 on line; reply: group 2 ID 6 on line\n"
                             "2024-05-06 07:08:10.000 Rx FF AC E1 E2 00 05 FF 01 E7 | bad checksum (reply: group 2 ID 5)\n"
                             "2024-05-06 23:59:59.999 Note | port \"COM1\" lost, retrying\n"));
}

TEST(TrafficRecord, CsvFieldsQuotedWhereASpreadsheetWouldSplitThem)
{
    const std::pair<const char*, const char*> cases[] = {
        {"up group 2 ID 15", "up group 2 ID 15"},
        {"a, b", "\"a, b\""},
        {"a; b", "\"a; b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"", ""},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(CsvField(QString::fromUtf8(in)), QString::fromUtf8(out)) << in;
}

TEST(TrafficRecord, AFailedWriteIsReportedOnceNamingTheFileAndLeavesNothing)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("missing/record.csv"));
    const std::pair<int16_t, const char*> languages[] = {{0, "无法保存通讯记录"}, {1, "could not be saved"}};
    for (const auto& [language, words] : languages) {
        CurLanguage = language;
        RecordingMessages messages;
        EXPECT_FALSE(WriteTrafficRecord(sampleRecord(), path, TrafficRecord::Format::Csv, nullptr));
        ASSERT_EQ(messages.kinds.size(), 1);
        EXPECT_EQ(messages.kinds.first(), MessageSink::Kind::Error);
        EXPECT_TRUE(messages.texts.first().contains(QString::fromUtf8(words))) << messages.texts.first().toStdString();
        EXPECT_TRUE(messages.texts.first().contains(path)) << messages.texts.first().toStdString();
    }
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    CurLanguage = 1;
}

TEST(TrafficRecord, SaveDialogInEachLanguageWritesTheChosenFile)
{
    struct Case {
        int16_t language;
        const char* title;
        const char* csvFilter;
        const char* fileName;
        const char* shot;
    };
    const Case cases[] = {
        {1, "Save the traffic record", "CSV spreadsheet (*.csv)", "chosen.txt", "save-record-en.png"},
        {0, "保存通讯记录", "CSV 表格 (*.csv)", "chosen", "save-record-zh.png"},
    };
    const QByteArray shots = qgetenv("TARVELLO_SCREENSHOT_DIR");
    for (const Case& c : cases) {
        CurLanguage = c.language;
        QTemporaryDir dir;
        const TrafficRecord record = sampleRecord();
        QString title;
        QStringList filters;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            title = dialog->windowTitle();
            filters = dialog->nameFilters();
            if (!shots.isEmpty())
                dialog->grab().save(QString::fromLocal8Bit(shots) + QLatin1Char('/') + QLatin1String(c.shot));
            dialog->setDirectory(dir.path());
            dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QString::fromUtf8(c.fileName));
            static_cast<QDialog*>(dialog)->accept(); // as the Save button does
        });
        RecordingMessages messages;
        SaveTrafficRecord(record, nullptr);
        EXPECT_EQ(title, QString::fromUtf8(c.title));
        ASSERT_EQ(filters.size(), 2);
        EXPECT_EQ(filters.first(), QString::fromUtf8(c.csvFilter));
        EXPECT_TRUE(messages.texts.isEmpty());
        // ".txt" asks for plain text; a name without a suffix gets the CSV filter's.
        const bool text = QByteArray(c.fileName).endsWith(".txt");
        const QByteArray saved = readAll(dir.filePath(text ? QStringLiteral("chosen.txt") : QStringLiteral("chosen.csv")));
        EXPECT_TRUE(text ? saved.startsWith("2024-05-06 07:08:09.010 Tx ") : saved.startsWith("\xEF\xBB\xBFTime,"))
            << saved.left(60).toStdString();
    }
    CurLanguage = 1;
}

} // namespace

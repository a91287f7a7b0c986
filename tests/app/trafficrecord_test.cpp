#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include <malloc.h> // mallinfo2: what the heap holds

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

// RFC 4180 reader: rows end in CRLF; quoted fields may hold commas, doubled quotes and line breaks.
std::vector<QStringList> parseCsv(const QString& text)
{
    std::vector<QStringList> rows(1);
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i], next = i + 1 < text.size() ? text[i + 1] : QChar();
        if (c == '"' && quoted && next == '"')
            field += text[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (!quoted && (c == ',' || (c == '\r' && next == '\n'))) {
            rows.back() << std::exchange(field, {});
            if (c == '\r' && ++i + 1 < text.size())
                rows.emplace_back();
        } else
            field += c;
    }
    return rows;
}

// Heap in use, large blocks (which malloc maps on their own) included.
size_t heapInUse()
{
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

qint64 localTime(int h, int m, int s, int ms)
{
    return QDateTime(QDate(2024, 5, 6), QTime(h, m, s, ms)).toMSecsSinceEpoch();
}

// A record with a frame sent, two replies in one chunk, a bad reply and a note with a comma and quotes.
TrafficRecord sampleRecord()
{
    TrafficRecord r;
    const auto add = [&r](qint64 time, bool tx, const Bytes& b) { r.addAt(time, tx, b.data(), int(b.size())); };
    Bytes twoReplies = frame(2, 5, 0xFF), bad = frame(2, 5, 0xFF);
    const Bytes second = frame(2, 6, 0xFE);
    twoReplies.insert(twoReplies.end(), second.begin(), second.end());
    bad.back() ^= 1;
    add(localTime(7, 8, 9, 10), true, frame(2, 15, CmdUp));
    add(localTime(7, 8, 9, 45), false, twoReplies);
    add(localTime(7, 8, 10, 0), false, bad);
    r.addNoteAt(localTime(23, 59, 59, 999), QStringLiteral("port \"COM1\" lost, retrying"));
    return r;
}

TEST(TrafficRecord, AMillionFramesThroughAddStayWithinTheBound)
{
    TrafficRecord record;
    const int total = 1'000'000;
    size_t heapWhenFull = 0;
    Bytes f(ShortFrameLength), chunk(40, 0x55); // a longer received chunk now and then
    for (int i = 0; i < total; ++i) {
        EncodeShortFrame({uint8_t(i % 16), uint16_t(i & 0xFFFF), CmdAskState}, f.data());
        const Bytes& b = i % 7 == 0 ? chunk : f;
        record.add(&b == &f, b.data(), int(b.size()));
        if (i == 2 * TrafficRecord::Capacity)
            heapWhenFull = heapInUse();
    }
    EXPECT_EQ(record.size(), TrafficRecord::Capacity);
    // Any 100,000 frames of this mix need the same memory: 800,000 more must not have added any.
    EXPECT_LT(heapInUse(), heapWhenFull + 256 * 1024) << "the heap grew while the record was full";
    // The newest frames are kept, oldest first: frame 900,000 (no long chunk) leads.
    const int firstKept = total - TrafficRecord::Capacity;
    ASSERT_NE(firstKept % 7, 0);
    EncodeShortFrame({uint8_t(firstKept % 16), uint16_t(firstKept & 0xFFFF), CmdAskState}, f.data());
    EXPECT_EQ(record.entry(0).bytes, QByteArray(reinterpret_cast<const char*>(f.data()), int(f.size())));
    EXPECT_EQ(record.entry(0).kind, TrafficRecord::Kind::Tx);
}

// The dialog as the operator uses it; a name typed without a suffix gets the CSV filter's.
TEST(TrafficRecord, SavedThroughTheDialogTheCsvReadsBackRowForRow)
{
    setCurrentLanguage(1);
    QTemporaryDir dir;
    QStringList filters;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        filters = dialog->nameFilters();
        if (const QByteArray shots = qgetenv("TARVELLO_SCREENSHOT_DIR"); !shots.isEmpty())
            dialog->grab().save(QString::fromLocal8Bit(shots) + QStringLiteral("/save-record-en.png"));
        dialog->setDirectory(dir.path());
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QStringLiteral("chosen"));
        static_cast<QDialog*>(dialog)->accept(); // as the Save button does
    });
    RecordingMessages messages;
    SaveTrafficRecord(sampleRecord(), nullptr);
    EXPECT_EQ(filters, (QStringList{"CSV spreadsheet (*.csv)", "Plain text (*.txt *.log)"}));
    EXPECT_TRUE(messages.texts.isEmpty());

    const QByteArray bytes = readAll(dir.filePath(QStringLiteral("chosen.csv")));
    ASSERT_TRUE(bytes.startsWith("\xEF\xBB\xBF")) << "no byte-order mark for spreadsheets";
    const std::vector<QStringList> expected = {
        {"Time", "Direction", "Bytes", "Meaning"},
        {"2024-05-06 07:08:09.010", "Tx", "FF AC E1 E2 00 0F DD 01 CE", "up group 2 ID 15"},
        {"2024-05-06 07:08:09.045", "Rx", "FF AC E1 E2 00 05 FF 01 E6 FF AC E1 E2 00 06 FE 01 E6",
         "reply: group 2 ID 5 on line; reply: group 2 ID 6 on line"},
        {"2024-05-06 07:08:10.000", "Rx", "FF AC E1 E2 00 05 FF 01 E7", "bad checksum (reply: group 2 ID 5)"},
        {"2024-05-06 23:59:59.999", "Note", "", "port \"COM1\" lost, retrying"},
    };
    EXPECT_EQ(parseCsv(QString::fromUtf8(bytes.mid(3))), expected) << bytes.toStdString();

    // ".log" names the plain-text form, whatever filter was picked.
    const QString text = dir.filePath(QStringLiteral("chosen.log"));
    ASSERT_TRUE(WriteTrafficRecord(sampleRecord(), text, TrafficRecord::Format::Csv, nullptr));
    EXPECT_TRUE(readAll(text).startsWith("2024-05-06 07:08:09.010 Tx FF AC E1 E2 00 0F DD 01 CE | up group 2 ID 15\n"
                                         "2024-05-06 07:08:09.045 Rx FF AC E1 E2 00 05 FF 01 E6 FF"));
}

TEST(TrafficRecord, AFailedWriteIsReportedOnceNamingTheFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("missing/record.csv"));
    setCurrentLanguage(1);
    RecordingMessages messages;
    EXPECT_FALSE(WriteTrafficRecord(sampleRecord(), path, TrafficRecord::Format::Csv, nullptr));
    ASSERT_EQ(messages.kinds, QList<MessageSink::Kind>{MessageSink::Kind::Error});
    EXPECT_TRUE(messages.texts.first().startsWith(QStringLiteral("The traffic record could not be saved to ") + path))
        << messages.texts.first().toStdString();
}

} // namespace

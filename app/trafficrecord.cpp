#include "app/trafficrecord.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

#include "common/diskfull.h"
#include "ui/messages.h"
#include "protocol/framedescription.h"
#include "protocol/frames.h"

namespace {

const Text DialogTitle{"保存通讯记录", "Save the traffic record"};
const Text CsvFilter{"CSV 表格 (*.csv)", "CSV spreadsheet (*.csv)"};
const Text TextFilter{"文本文件 (*.txt *.log)", "Plain text (*.txt *.log)"};
const Text SaveDiskFull{"无法保存通讯记录到文件 %1：磁盘已满。", "The traffic record could not be saved to %1: disk full."};
const Text SaveFailed{"无法保存通讯记录到文件 %1：\n%2", "The traffic record could not be saved to %1:\n%2"};

const char* kindWord(TrafficRecord::Kind kind)
{
    switch (kind) {
    case TrafficRecord::Kind::Tx: return "Tx";
    case TrafficRecord::Kind::Rx: return "Rx";
    case TrafficRecord::Kind::Note: return "Note";
    }
    return "";
}

// The bytes as in the traffic log, without the log's trailing blank.
QString hexBytes(const QByteArray& bytes)
{
    return QString::fromStdString(HexLine(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                          static_cast<size_t>(bytes.size())))
        .trimmed();
}

// The directory the last record went to, for the next dialog of this run.
QString& lastDirectory()
{
    static QString dir;
    return dir;
}

} // namespace

const Text SaveTrafficRecordAction{"保存通讯记录…", "Save traffic record…"};

TrafficRecord::TrafficRecord(int capacity)
    : m_capacity(capacity > 0 ? capacity : 1)
{
}

TrafficRecord::Slot& TrafficRecord::nextSlot()
{
    if (size() < m_capacity)
        return m_slots.emplace_back();
    Slot& s = m_slots[static_cast<size_t>(m_oldest)];
    m_oldest = (m_oldest + 1) % m_capacity;
    return s;
}

const TrafficRecord::Slot& TrafficRecord::slot(int i) const
{
    return m_slots[static_cast<size_t>((m_oldest + i) % size())];
}

void TrafficRecord::add(bool transmitted, const uint8_t* bytes, int count)
{
    addAt(QDateTime::currentMSecsSinceEpoch(), transmitted, bytes, count);
}

void TrafficRecord::addAt(qint64 msecsSinceEpoch, bool transmitted, const uint8_t* bytes, int count)
{
    Slot& s = nextSlot();
    s.msecs = msecsSinceEpoch;
    s.kind = transmitted ? Kind::Tx : Kind::Rx;
    const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    if (n <= InlineBytes) {
        std::copy(bytes, bytes + n, s.inlineBytes.begin());
        s.inlineCount = static_cast<uint8_t>(n);
        std::vector<uint8_t>().swap(s.spill);
    } else {
        std::vector<uint8_t>(bytes, bytes + n).swap(s.spill);
    }
    s.note = QString();
}

void TrafficRecord::addNote(const QString& text)
{
    addNoteAt(QDateTime::currentMSecsSinceEpoch(), text);
}

void TrafficRecord::addNoteAt(qint64 msecsSinceEpoch, const QString& text)
{
    Slot& s = nextSlot();
    s.msecs = msecsSinceEpoch;
    s.kind = Kind::Note;
    s.inlineCount = 0;
    std::vector<uint8_t>().swap(s.spill);
    s.note = text;
}

void TrafficRecord::clear()
{
    m_slots.clear();
    m_slots.shrink_to_fit();
    m_oldest = 0;
}

TrafficRecord::Entry TrafficRecord::entry(int i) const
{
    const Slot& s = slot(i);
    Entry e;
    e.msecsSinceEpoch = s.msecs;
    e.kind = s.kind;
    e.bytes = QByteArray(reinterpret_cast<const char*>(s.data()), static_cast<qsizetype>(s.count()));
    e.description = s.kind == Kind::Note ? s.note : QString::fromStdString(FrameDescription(s.data(), s.count()));
    return e;
}

QString CsvField(const QString& field)
{
    static const QString special = QStringLiteral(",;\"\r\n");
    bool quote = false;
    for (QChar c : field)
        quote = quote || special.contains(c);
    if (!quote)
        return field;
    QString out = field;
    out.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + out + QLatin1Char('"');
}

QString RecordTime(qint64 msecsSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

bool TrafficRecord::save(const QString& path, Format format, QString* error, bool* diskFull) const
{
    if (diskFull) *diskFull = false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        if (error) *error = file.errorString();
        return false;
    }
    // Written in pieces so 100,000 rows never sit in memory twice.
    // A write that fails ends the save: the file being written is dropped, the one in place stays.
    QByteArray chunk;
    bool written = true;
    auto flush = [&] {
        written = written && WriteAll(file, chunk);
        chunk.clear();
    };
    if (format == Format::Csv)
        chunk = QByteArrayLiteral("\xEF\xBB\xBF" "Time,Direction,Bytes,Meaning\r\n");
    for (int i = 0; i < size(); ++i) {
        const Entry e = entry(i);
        QString line;
        if (format == Format::Csv) {
            line = CsvField(RecordTime(e.msecsSinceEpoch)) + QLatin1Char(',') + QLatin1String(kindWord(e.kind))
                + QLatin1Char(',') + CsvField(hexBytes(e.bytes)) + QLatin1Char(',') + CsvField(e.description)
                + QStringLiteral("\r\n");
        } else {
            line = RecordTime(e.msecsSinceEpoch) + QLatin1Char(' ') + QLatin1String(kindWord(e.kind)) + QLatin1Char(' ')
                + (e.bytes.isEmpty() ? QString() : hexBytes(e.bytes) + QLatin1Char(' ')) + QStringLiteral("| ")
                + e.description + QLatin1Char('\n');
        }
        chunk += line.toUtf8();
        if (chunk.size() > 1 << 16)
            flush();
    }
    flush();
    if (!written) {
        if (error) *error = file.errorString();
        if (diskFull) *diskFull = IsDiskFull(file);
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        if (error) *error = file.errorString();
        return false;
    }
    return true;
}

bool TrafficRecord::saveCsv(const QString& path, QString* error) const
{
    return save(path, Format::Csv, error);
}

bool TrafficRecord::saveText(const QString& path, QString* error) const
{
    return save(path, Format::Text, error);
}

QFileDialog* CreateTrafficRecordDialog(QWidget* parent)
{
    auto* dialog = new QFileDialog(parent, pick(DialogTitle));
    // Qt's own dialog, so its texts follow the program's language rather than the desktop's.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    const QStringList filters{pick(CsvFilter), pick(TextFilter)};
    dialog->setNameFilters(filters);
    dialog->setDefaultSuffix(QStringLiteral("csv"));
    QString dir = lastDirectory();
    if (dir.isEmpty() || !QFileInfo(dir).isDir())
        dir = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (dir.isEmpty() || !QFileInfo(dir).isDir())
        dir = QDir::homePath();
    dialog->setDirectory(dir);
    const QString stem = QStringLiteral("tarvello-traffic-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    dialog->selectFile(stem + QStringLiteral(".csv"));
    // Picking the other filter changes the suffix of the proposed name with it.
    QObject::connect(dialog, &QFileDialog::filterSelected, dialog, [dialog, filters](const QString& filter) {
        const QString suffix = filter == filters.first() ? QStringLiteral("csv") : QStringLiteral("txt");
        dialog->setDefaultSuffix(suffix);
        const QStringList chosen = dialog->selectedFiles();
        if (!chosen.isEmpty()) {
            const QFileInfo info(chosen.first());
            if (!info.isDir())
                dialog->selectFile(info.completeBaseName() + QLatin1Char('.') + suffix);
        }
    });
    return dialog;
}

bool WriteTrafficRecord(const TrafficRecord& record, const QString& path, TrafficRecord::Format fallback,
                        QWidget* parent)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    TrafficRecord::Format format = fallback;
    if (suffix == QLatin1String("csv"))
        format = TrafficRecord::Format::Csv;
    else if (suffix == QLatin1String("txt") || suffix == QLatin1String("log"))
        format = TrafficRecord::Format::Text;
    QString error;
    bool diskFull = false;
    if (record.save(path, format, &error, &diskFull))
        return true;
    if (diskFull)
        ShowError(parent, pick(SaveDiskFull).arg(QDir::toNativeSeparators(path)));
    else
        ShowError(parent, pick(SaveFailed).arg(QDir::toNativeSeparators(path), error));
    return false;
}

void SaveTrafficRecord(const TrafficRecord& record, QWidget* parent)
{
    // Guarded: the dialog goes with its parent if the window closes while it is open.
    const QPointer<QFileDialog> dialog = CreateTrafficRecordDialog(parent);
    const bool accepted = dialog->exec() == QDialog::Accepted && dialog && !dialog->selectedFiles().isEmpty();
    if (!accepted) {
        delete dialog.data();
        return;
    }
    const QString path = dialog->selectedFiles().first();
    const TrafficRecord::Format fallback = dialog->selectedNameFilter() == dialog->nameFilters().value(1)
        ? TrafficRecord::Format::Text
        : TrafficRecord::Format::Csv;
    delete dialog.data();
    lastDirectory() = QFileInfo(path).absolutePath();
    WriteTrafficRecord(record, path, fallback, parent);
}

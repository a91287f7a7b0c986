#pragma once
// The traffic record: every frame sent and every chunk received, with its time and its meaning in
// words, kept beside the traffic log so a long run can be saved and read later (in a spreadsheet as
// CSV, or as plain text). It holds the newest Capacity entries; older ones are overwritten in place,
// so a week of polling cannot grow the program's memory.
//
// The meanings are English whatever the language of the window (see protocol/framedescription.h):
// the record is a technical log, and its words are those of the simulator's frame log.

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

#include "common/texts.h"

class QFileDialog;
class QWidget;

class TrafficRecord {
public:
    static constexpr int Capacity = 100000;

    enum class Kind : uint8_t { Tx, Rx, Note };
    enum class Format { Csv, Text };

    struct Entry {
        qint64 msecsSinceEpoch = 0; // wall-clock time (UTC based); files show it as local time
        Kind kind = Kind::Rx;
        QByteArray bytes;           // empty for a note
        QString description;        // the frame's meaning, or the note's text
    };

    explicit TrafficRecord(int capacity = Capacity);

    // A frame handed to the port (transmitted) or a chunk received, stamped with the time now.
    void add(bool transmitted, const uint8_t* bytes, int count);
    void addAt(qint64 msecsSinceEpoch, bool transmitted, const uint8_t* bytes, int count);
    // A line that is no frame, such as the port being lost or back.
    void addNote(const QString& text);
    void addNoteAt(qint64 msecsSinceEpoch, const QString& text);
    void clear();

    int size() const { return static_cast<int>(m_slots.size()); }
    int capacity() const { return m_capacity; }
    // Entry i, 0 the oldest kept. The meaning is worked out from the bytes here, not stored.
    Entry entry(int i) const;

    // CSV: a header row, then one row per entry (time, direction, bytes, meaning); UTF-8 with a
    // byte-order mark, CRLF line ends, fields quoted where they must be. Text: one line per entry.
    // Both are written to a temporary file and renamed over `path` only when complete.
    bool saveCsv(const QString& path, QString* error = nullptr) const;
    bool saveText(const QString& path, QString* error = nullptr) const;
    bool save(const QString& path, Format format, QString* error = nullptr, bool* diskFull = nullptr) const;

private:
    // Frames fit in the slot itself; only longer received chunks take heap memory, exactly their
    // size, given back when the slot is overwritten. So the record holds what its entries hold.
    static constexpr int InlineBytes = 16;
    struct Slot {
        qint64 msecs = 0;
        Kind kind = Kind::Rx;
        uint8_t inlineCount = 0;
        std::array<uint8_t, InlineBytes> inlineBytes{};
        std::vector<uint8_t> spill;
        QString note;
        const uint8_t* data() const { return spill.empty() ? inlineBytes.data() : spill.data(); }
        size_t count() const { return spill.empty() ? inlineCount : spill.size(); }
    };
    Slot& nextSlot();
    const Slot& slot(int i) const;

    int m_capacity;
    std::vector<Slot> m_slots; // a ring once full; m_oldest is the slot overwritten next
    int m_oldest = 0;
};

// One CSV field: quoted when it holds a comma, semicolon, quote or line break; quotes doubled.
QString CsvField(const QString& field);
// "2024-05-06 07:08:09.010", local time.
QString RecordTime(qint64 msecsSinceEpoch);

// The text of the traffic log's context-menu entry that saves the record.
extern const Text SaveTrafficRecordAction;

// The save dialog in the current language: CSV and plain-text filters, a file name with the date and
// time. The caller owns it.
QFileDialog* CreateTrafficRecordDialog(QWidget* parent);
// Writes the record to `path` in the format its suffix names (.csv or .txt/.log; anything else in
// `fallback`); a failure is reported in one error box naming the file. Returns true when written.
bool WriteTrafficRecord(const TrafficRecord& record, const QString& path, TrafficRecord::Format fallback,
                        QWidget* parent);
// Asks for a file with the dialog above and writes the record there.
void SaveTrafficRecord(const TrafficRecord& record, QWidget* parent);

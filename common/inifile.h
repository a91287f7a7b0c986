// The settings file DFiles/DB.ini: an INI file, read and written by section and key.
//
// A settings file is UTF-8 or, as written on Windows, in the GBK code page; a new file is UTF-8. A
// file is written back in the encoding it was read in, and every line that is not the key being
// written (other sections, other keys, comments, blank lines) is kept as it was.
#pragma once

#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

class TIniFile {
public:
    explicit TIniFile(QString fileName);

    const QString& fileName() const { return m_fileName; }
    // Whether the last write that failed did so for want of room on the disk.
    bool lastSaveDiskFull() const { return m_diskFull; }

    QString ReadString(const QString& section, const QString& key, const QString& defaultValue) const;
    int ReadInteger(const QString& section, const QString& key, int defaultValue) const;
    // Writes at once; creates the file, its directory, the section and the key as needed.
    // A file that exists but could not be read and decoded whole is never written: its bytes may
    // hold settings this program cannot see. When the value cannot be saved (that case, or a
    // write that fails) it is kept for this run, later reads answer it, and the call returns
    // false; the next successful write saves it along.
    bool WriteString(const QString& section, const QString& key, const QString& value);
    bool WriteInteger(const QString& section, const QString& key, int value);
    // Holds a value that the file does not have yet without writing anything now: reads answer it,
    // and the next write that succeeds saves it along.
    void WriteWithNextSave(const QString& section, const QString& key, const QString& value);

    // True when the last read found the file in the GBK code page rather than UTF-8.
    bool isGbk() const { return m_gbk; }
    // True when the file exists but the last read could not read or decode it.
    bool unreadable() const { return m_unreadable; }

private:
    void load() const;
    bool save() const;
    // Index of the key's line within the section, or -1; *sectionEnd gets the line after the
    // section's last key line (or -1 when the section is absent).
    int findKey(const QString& section, const QString& key, int* sectionEnd) const;

    QString m_fileName;
    mutable bool m_diskFull = false;
    mutable QStringList m_lines;
    // The bytes each line had in the file (its '\r' included), for the lines this program has not
    // changed, so they are written back byte for byte; nothing for a changed or added line.
    mutable std::vector<std::optional<QByteArray>> m_raw;
    mutable bool m_bom = false;          // the file began with a UTF-8 byte order mark
    mutable bool m_finalNewline = true;  // its last line ended with a line break
    void setLine(const QString& section, const QString& key, const QString& value);

    mutable bool m_gbk = false;
    mutable bool m_unreadable = false;
    // Values that could not be saved, by (section, key) in lower case, with their spelling.
    struct Kept {
        QString section, key, value;
    };
    QMap<QPair<QString, QString>, Kept> m_kept;
    mutable bool m_crlf = false;
};

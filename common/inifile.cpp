#include "common/inifile.h"

#include "common/diskfull.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "common/gbk.h"

namespace {

// Valid exactly when decoding and encoding again gives the very same bytes: a character cut short
// at the end, which a decoder holds back without an error, is not.
bool isValidUtf8(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

} // namespace

TIniFile::TIniFile(QString fileName) : m_fileName(std::move(fileName)) {}

void TIniFile::load() const
{
    m_lines.clear();
    m_raw.clear();
    m_gbk = false;
    m_crlf = false;
    m_bom = false;
    m_finalNewline = true;
    m_unreadable = false;
    QFile f(m_fileName);
    if (!f.exists()) return; // a missing file is an empty one
    if (!f.open(QIODevice::ReadOnly)) {
        m_unreadable = true;
        return;
    }
    QByteArray raw = f.readAll();
    if (f.error() != QFileDevice::NoError) {
        m_unreadable = true;
        return;
    }
    m_bom = raw.startsWith("\xEF\xBB\xBF");
    if (m_bom) raw.remove(0, 3);
    QString text;
    if (raw.contains('\0')) {
        m_unreadable = true; // UTF-16 without its mark, or binary data: no text file of ours
        return;
    }
    if (isValidUtf8(raw)) {
        text = QString::fromUtf8(raw);
    } else {
        bool ok = false;
        text = DecodeGbk(raw, &ok);
        if (!ok) {
            m_unreadable = true;
            return;
        }
        m_gbk = true;
    }
    m_crlf = text.contains(QLatin1String("\r\n"));
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    m_lines = text.split(QLatin1Char('\n'));
    // Neither encoding has '\n' inside a character, so the raw lines match the decoded ones.
    const QList<QByteArray> rawLines = raw.split('\n');
    if (rawLines.size() != m_lines.size()) {
        m_unreadable = true; // cannot happen; never rewrite what is not understood
        return;
    }
    for (const QByteArray& line : rawLines) m_raw.emplace_back(line);
    m_finalNewline = raw.isEmpty() || raw.endsWith('\n');
    if (!m_lines.isEmpty() && m_lines.last().isEmpty()) {
        m_lines.removeLast();
        m_raw.pop_back();
    }
}

bool TIniFile::save() const
{
    const QFileInfo info(m_fileName);
    QDir().mkpath(info.absolutePath());
    // Lines not changed keep their bytes; changed and added ones are encoded as the file is, and
    // end as the file's lines do.
    const QByteArray eol = m_crlf ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n");
    QByteArray bytes = m_bom ? QByteArrayLiteral("\xEF\xBB\xBF") : QByteArray();
    bool encoded = true;
    for (int i = 0; i < m_lines.size(); ++i) {
        const bool last = i == m_lines.size() - 1;
        const auto& raw = m_raw[static_cast<size_t>(i)];
        if (raw) {
            bytes += *raw;
            if (!last || m_finalNewline) bytes += '\n';
            continue;
        }
        bool ok = true;
        bytes += m_gbk ? EncodeGbk(m_lines.at(i), &ok) : m_lines.at(i).toUtf8();
        encoded = encoded && ok;
        bytes += eol;
    }
    if (m_lines.isEmpty()) bytes += eol;
    if (!encoded) {
        // A value GBK cannot hold: the whole file in UTF-8 loses nothing.
        bytes = (m_lines.join(QString::fromLatin1(eol)) + QString::fromLatin1(eol)).toUtf8();
    }
    QSaveFile f(m_fileName);
    m_diskFull = false;
    if (!f.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return false;
    if (!WriteAll(f, bytes)) {
        m_diskFull = IsDiskFull(f);
        f.cancelWriting();
        return false;
    }
    return f.commit();
}

static QString sectionName(const QString& line)
{
    const QString t = line.trimmed();
    if (t.startsWith(QLatin1Char('[')) && t.endsWith(QLatin1Char(']')))
        return t.mid(1, t.size() - 2).trimmed();
    return {};
}

int TIniFile::findKey(const QString& section, const QString& key, int* sectionEnd) const
{
    bool inSection = false;
    int end = -1;
    for (int i = 0; i < m_lines.size(); ++i) {
        const QString& line = m_lines.at(i);
        const QString name = sectionName(line);
        if (!name.isEmpty()) {
            if (inSection) break;
            inSection = name.compare(section, Qt::CaseInsensitive) == 0;
            if (inSection) end = i + 1;
            continue;
        }
        if (!inSection) continue;
        const QString t = line.trimmed();
        if (t.isEmpty() || t.startsWith(QLatin1Char(';'))) continue;
        end = i + 1;
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq < 0) continue;
        if (line.left(eq).trimmed().compare(key, Qt::CaseInsensitive) == 0) {
            if (sectionEnd) *sectionEnd = end;
            return i;
        }
    }
    if (sectionEnd) *sectionEnd = end;
    return -1;
}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& defaultValue) const
{
    const auto kept = m_kept.constFind({section.toLower(), key.toLower()});
    if (kept != m_kept.constEnd()) return kept->value;
    load();
    const int i = findKey(section, key, nullptr);
    if (i < 0) return defaultValue;
    const QString& line = m_lines.at(i);
    return line.mid(line.indexOf(QLatin1Char('=')) + 1).trimmed();
}

int TIniFile::ReadInteger(const QString& section, const QString& key, int defaultValue) const
{
    const QString text = ReadString(section, key, QString());
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? value : defaultValue;
}

void TIniFile::setLine(const QString& section, const QString& key, const QString& value)
{
    int sectionEnd = -1;
    const int i = findKey(section, key, &sectionEnd);
    const QString line = key + QLatin1Char('=') + value;
    if (i >= 0) {
        m_lines[i] = line;
        m_raw[static_cast<size_t>(i)].reset();
    } else if (sectionEnd >= 0) {
        m_lines.insert(sectionEnd, line);
        m_raw.insert(m_raw.begin() + sectionEnd, std::nullopt);
    } else {
        if (!m_lines.isEmpty() && !m_lines.last().trimmed().isEmpty()) {
            m_lines.append(QString());
            m_raw.emplace_back(std::nullopt);
        }
        m_lines.append(QLatin1Char('[') + section + QLatin1Char(']'));
        m_lines.append(line);
        m_raw.emplace_back(std::nullopt);
        m_raw.emplace_back(std::nullopt);
    }
}

bool TIniFile::WriteString(const QString& section, const QString& key, const QString& value)
{
    m_kept.insert({section.toLower(), key.toLower()}, Kept{section, key, value});
    load();
    if (m_unreadable) return false;
    for (const Kept& kept : std::as_const(m_kept)) setLine(kept.section, kept.key, kept.value);
    if (!save()) return false;
    m_kept.clear();
    return true;
}

bool TIniFile::WriteInteger(const QString& section, const QString& key, int value)
{
    return WriteString(section, key, QString::number(value));
}

void TIniFile::WriteWithNextSave(const QString& section, const QString& key, const QString& value)
{
    m_kept.insert({section.toLower(), key.toLower()}, Kept{section, key, value});
}

// The settings file: arbitrary bytes are read, one key is changed, the file is written back.
// A file that was not written must keep every byte; a file that was written must differ from
// what it was only within the changed key's line (or by the key, and its section, added), and
// must read back the new value.

#include "common/inifile.h"
#include "fuzz/input.h"
#include "fuzz/scratch.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

void need(bool condition, const char* what, const QByteArray& before, const QByteArray& after)
{
    if (condition)
        return;
    std::fprintf(stderr, "settings file: %s\nbefore: %s\nafter:  %s\n", what, before.toHex(' ').constData(),
                 after.toHex(' ').constData());
    std::abort();
}

QString scratchFile()
{
    static const ScratchDir dir(QStringLiteral("ini"));
    return dir.file(QStringLiteral("DB.ini"));
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The section and key of the n-th "key=value" line of the file, as an operator's file would name
// them; false when there is none.
bool keyInFile(const QByteArray& bytes, int n, QString* section, QString* key)
{
    QString current;
    int seen = 0;
    for (const QByteArray& raw : bytes.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            current = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const int eq = line.indexOf(QLatin1Char('='));
        if (current.isEmpty() || eq <= 0 || line.startsWith(QLatin1Char(';')) || seen++ != n)
            continue;
        *section = current;
        *key = line.left(eq).trimmed();
        // Names in ASCII only, as the program's are: this harness does not know the file's encoding.
        const auto ascii = [](const QString& s) {
            return std::all_of(s.begin(), s.end(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7F; });
        };
        return !key->isEmpty() && ascii(*key) && ascii(*section);
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString path = scratchFile();
    static const QString values[] = { QStringLiteral("English"), QStringLiteral("简体中文"), QStringLiteral("COM3"),
                                      QStringLiteral("12"), QStringLiteral("/dev/ttyUSB0"), QStringLiteral("1") };
    static const char* const keys[][2] = { { "LANGUAGE", "Language" }, { "COM", "num" }, { "SCENE", "Current" },
                                           { "PORTS", "COM1" }, { "BUS", "Fast" } };
    FuzzInput in(data, size);
    const uint8_t which = in.byte();
    const QString value = values[in.byte() % 6];
    size_t n = 0;
    const uint8_t* bytes = in.take(in.left(), &n);
    const QByteArray before(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(n));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(before) != before.size())
            std::abort();
    }
    QString section, key;
    if (which >= 0x80 || !keyInFile(before, which % 8, &section, &key)) {
        section = QString::fromLatin1(keys[which % 5][0]);
        key = QString::fromLatin1(keys[which % 5][1]);
    }

    TIniFile ini(path);
    (void)ini.ReadString(section, key, QString());
    const bool written = ini.WriteString(section, key, value);
    const QByteArray after = readAll(path);
    if (!written) {
        need(after == before, "a file that was not saved changed", before, after);
        need(ini.ReadString(section, key, QString()) == value, "the value is not kept for the run", before, after);
        return 0;
    }
    need(TIniFile(path).ReadString(section, key, QString()) == value, "the value written does not read back", before, after);

    // The bytes that differ: before[prefix, before.size() - suffix) became after[prefix, after.size() - suffix).
    qsizetype prefix = 0;
    while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix])
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix
           && before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    const QByteArray removed = before.mid(prefix, before.size() - prefix - suffix);
    if (removed.isEmpty())
        return 0; // only added: the key's line, or the key and its section
    // Something was replaced: it must lie within one line of the file, the key's.
    need(!removed.contains('\n'), "bytes beyond the changed key's line were changed", before, after);
    const qsizetype lineStart = before.lastIndexOf('\n', prefix - 1) + 1;
    qsizetype lineEnd = before.indexOf('\n', prefix);
    if (lineEnd < 0)
        lineEnd = before.size();
    const QByteArray line = before.mid(lineStart, lineEnd - lineStart);
    const qsizetype eq = line.indexOf('=');
    need(eq > 0 && QString::fromUtf8(line.left(eq)).trimmed().compare(key, Qt::CaseInsensitive) == 0,
         "a line other than the changed key's was changed", before, after);
    return 0;
}

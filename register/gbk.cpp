#include "register/gbk.h"

#include <QStringEncoder>

namespace {

QStringEncoder NewGbkEncoder()
{
    return QStringEncoder("GBK", QStringConverter::Flag::Stateless);
}

// Bytes of one code point (one or two UTF-16 units).
int CodePointBytes(QStringView codePoint)
{
    if (codePoint.size() == 1 && codePoint[0].unicode() < 0x80)
        return 1;
    thread_local QStringEncoder encoder = NewGbkEncoder();
    if (encoder.isValid()) {
        const QByteArray bytes = encoder.encode(codePoint);
        if (!encoder.hasError())
            return static_cast<int>(bytes.size());
        encoder = NewGbkEncoder();  // the error flag sticks otherwise
    }
    return 2;
}

// Length in UTF-16 units of the code point starting at i.
qsizetype CodePointUnits(const QString& text, qsizetype i)
{
    if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
        return 2;
    return 1;
}

}  // namespace

int GbkLength(const QString& text)
{
    int total = 0;
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype units = CodePointUnits(text, i);
        total += CodePointBytes(QStringView(text).mid(i, units));
        i += units;
    }
    return total;
}

QString TruncateToGbkBytes(const QString& text, int maxBytes)
{
    int total = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const qsizetype units = CodePointUnits(text, i);
        const int bytes = CodePointBytes(QStringView(text).mid(i, units));
        if (total + bytes > maxBytes)
            break;
        total += bytes;
        i += units;
    }
    return text.left(i);
}

bool GbkCodePageAvailable()
{
    return NewGbkEncoder().isValid();
}

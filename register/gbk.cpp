#include "register/gbk.h"

#include <QStringEncoder>

#include <optional>

namespace {

// Counts code points one at a time. After an unmappable character the encoder is built
// anew: its error flag sticks, and a moved-into encoder no longer reports errors.
class GbkCounter {
public:
    GbkCounter() { m_encoder.emplace("GBK"); }

    int Bytes(QStringView codePoint)
    {
        if (codePoint.size() == 1 && codePoint[0].unicode() < 0x80)
            return 1;
        if (m_encoder->isValid()) {
            const QByteArray bytes = m_encoder->encode(codePoint);
            if (!m_encoder->hasError())
                return static_cast<int>(bytes.size());
            m_encoder.emplace("GBK");
        }
        return 2;
    }

private:
    std::optional<QStringEncoder> m_encoder;
};

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
    GbkCounter counter;
    int total = 0;
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype units = CodePointUnits(text, i);
        total += counter.Bytes(QStringView(text).mid(i, units));
        i += units;
    }
    return total;
}

QString TruncateToGbkBytes(const QString& text, int maxBytes)
{
    GbkCounter counter;
    int total = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const qsizetype units = CodePointUnits(text, i);
        const int bytes = counter.Bytes(QStringView(text).mid(i, units));
        if (total + bytes > maxBytes)
            break;
        total += bytes;
        i += units;
    }
    return text.left(i);
}

bool GbkCodePageAvailable()
{
    return QStringEncoder("GBK").isValid();
}

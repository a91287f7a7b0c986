#include "common/gbk.h"

#include <QStringDecoder>
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

// The user-defined areas of the code page hold no text anybody typed: bytes that decode into them
// (a UTF-16 byte-order mark, binary data) are not GBK text, and text that has such a character is
// not encoded into them.
bool HasUserDefined(const QString& text)
{
    for (const QChar c : text)
        if (c.unicode() >= 0xE000 && c.unicode() <= 0xF8FF)
            return true;
    return false;
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

QString DecodeGbk(const QByteArray& bytes, bool* ok)
{
    QStringDecoder decoder("GBK");
    QString text = decoder.isValid() ? decoder.decode(bytes) : QString();
    // Only text that encodes back to the very same bytes was GBK: a decoder that replaced or
    // guessed at a byte would have the file rewritten with other bytes.
    bool good = decoder.isValid() && !decoder.hasError();
    if (good) {
        bool back = false;
        good = EncodeGbk(text, &back) == bytes && back;
    }
    good = good && !HasUserDefined(text);
    if (ok)
        *ok = good;
    return good ? text : QString();
}

QByteArray EncodeGbk(const QString& text, bool* ok)
{
    QStringEncoder encoder("GBK");
    QByteArray bytes = encoder.isValid() ? encoder.encode(text) : QByteArray();
    bool good = encoder.isValid() && !encoder.hasError() && !HasUserDefined(text);
    // Held only if the bytes bring the same text back: a converter may write a stand-in for a
    // character it has no bytes for (half of a surrogate pair) without reporting it.
    if (good) {
        QStringDecoder decoder("GBK");
        const QString back = decoder.decode(bytes);
        good = !decoder.hasError() && back == text;
    }
    if (ok)
        *ok = good;
    return good ? bytes : QByteArray();
}

#include "common/gbk.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <optional>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
// Qt for Windows has no ICU and so no GBK converter: Windows' own code page 936 (GBK) does the
// work, behind the few calls of Qt's converters used here.
constexpr UINT GbkCodePage = 936;

class GbkEncoder {
public:
    bool isValid() const { return true; }
    bool hasError() const { return m_error; }
    QByteArray encode(QStringView text)
    {
        if (text.isEmpty())
            return {};
        const auto* wide = reinterpret_cast<const wchar_t*>(text.utf16());
        BOOL usedDefault = FALSE;
        const int n = WideCharToMultiByte(GbkCodePage, WC_NO_BEST_FIT_CHARS, wide, int(text.size()), nullptr, 0,
                                          nullptr, &usedDefault);
        QByteArray bytes(n > 0 ? n : 0, Qt::Uninitialized);
        if (n > 0)
            WideCharToMultiByte(GbkCodePage, WC_NO_BEST_FIT_CHARS, wide, int(text.size()), bytes.data(), n, nullptr,
                                &usedDefault);
        if (n <= 0 || usedDefault)
            m_error = true;  // a character without GBK bytes
        return bytes;
    }

private:
    bool m_error = false;
};

class GbkDecoder {
public:
    bool isValid() const { return true; }
    bool hasError() const { return m_error; }
    QString decode(const QByteArray& bytes)
    {
        if (bytes.isEmpty())
            return {};
        const int n = MultiByteToWideChar(GbkCodePage, MB_ERR_INVALID_CHARS, bytes.constData(), int(bytes.size()),
                                          nullptr, 0);
        if (n <= 0) {
            m_error = true;  // not GBK
            return {};
        }
        QString text(n, Qt::Uninitialized);
        MultiByteToWideChar(GbkCodePage, MB_ERR_INVALID_CHARS, bytes.constData(), int(bytes.size()),
                            reinterpret_cast<wchar_t*>(text.data()), n);
        return text;
    }

private:
    bool m_error = false;
};
#else
struct GbkEncoder : QStringEncoder {
    GbkEncoder() : QStringEncoder("GBK") {}
};
struct GbkDecoder : QStringDecoder {
    GbkDecoder() : QStringDecoder("GBK") {}
};
#endif

// Counts code points one at a time. After an unmappable character the encoder is built
// anew: its error flag sticks, and a moved-into encoder no longer reports errors.
class GbkCounter {
public:
    GbkCounter() { m_encoder.emplace(); }

    int Bytes(QStringView codePoint)
    {
        if (codePoint.size() == 1 && codePoint[0].unicode() < 0x80)
            return 1;
        if (m_encoder->isValid()) {
            const QByteArray bytes = m_encoder->encode(codePoint);
            if (!m_encoder->hasError())
                return static_cast<int>(bytes.size());
            m_encoder.emplace();
        }
        return 2;
    }

private:
    std::optional<GbkEncoder> m_encoder;
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
    return GbkEncoder().isValid();
}

QString DecodeGbk(const QByteArray& bytes, bool* ok)
{
    GbkDecoder decoder;
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
    GbkEncoder encoder;
    QByteArray bytes = encoder.isValid() ? encoder.encode(text) : QByteArray();
    bool good = encoder.isValid() && !encoder.hasError() && !HasUserDefined(text);
    // Held only if the bytes bring the same text back: a converter may write a stand-in for a
    // character it has no bytes for (half of a surrogate pair) without reporting it.
    if (good) {
        GbkDecoder decoder;
        const QString back = decoder.decode(bytes);
        good = !decoder.hasError() && back == text;
    }
    if (ok)
        *ok = good;
    return good ? bytes : QByteArray();
}

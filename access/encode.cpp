#include "access/encode.h"

#include "common/gbk.h"

#include <cstdint>

namespace {

constexpr char Key[8] = {'k', 'q', '@', 't', 'a', 'b', 'e', 'l'};
constexpr int EncodedLength = 8;

// The first `limit` bytes of the text in GBK, converted one character at a time so that an
// unmappable character costs one '?' instead of the whole text.
QByteArray GbkPrefix(const QString& text, int limit)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size() && bytes.size() < limit;) {
        const qsizetype units =
            text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate() ? 2 : 1;
        const QString character = text.mid(i, units);
        i += units;
        if (character[0].unicode() < 0x80) {
            bytes.append(static_cast<char>(character[0].unicode()));
            continue;
        }
        bool ok = false;
        const QByteArray encoded = EncodeGbk(character, &ok);
        // Some converters map a private-use character to the byte 0xFF; no text a person
        // types needs it, and it is what keeps the locked record locked.
        bytes.append(ok && !encoded.contains('\xFF') ? encoded : QByteArray("?"));
    }
    return bytes.left(limit);
}

}  // namespace

QByteArray EnCodeBytes(const QByteArray& bytes)
{
    QByteArray result(EncodedLength, '\0');
    for (int i = 0; i < EncodedLength; ++i) {
        const uint8_t b = i < bytes.size() ? static_cast<uint8_t>(bytes[i]) : 0;
        const uint8_t swapped = static_cast<uint8_t>((b << 4) | (b >> 4));
        const uint8_t mixed = swapped ^ static_cast<uint8_t>(Key[i]);
        result[i] = static_cast<char>(static_cast<uint8_t>(mixed + 1));
    }
    return result;
}

QByteArray EnCode(const QString& text)
{
    return EnCodeBytes(GbkPrefix(text, EncodedLength));
}

QByteArray LockedPassword()
{
    // 0xFF is neither a single-byte character nor the first byte of a double-byte one in GBK,
    // so no text begins with it and no typed password can ever match this record.
    return EnCodeBytes(QByteArray(EncodedLength, '\xFF'));
}

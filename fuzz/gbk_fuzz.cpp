// The GBK code page: arbitrary bytes decoded, text encoded and decoded again, names cut to a
// number of bytes. Whatever decodes must encode to bytes that decode to the same text; a
// character counted must fit in what it is counted as; a cut never splits a character.

#include "common/gbk.h"
#include "fuzz/input.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>

namespace {

void need(bool condition, const char* what, const QByteArray& input)
{
    if (!condition) {
        std::fprintf(stderr, "gbk: %s\ninput: %s\n", what, input.toHex(' ').constData());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const int maxBytes = in.byte() % 48;
    size_t n = 0;
    const uint8_t* rest = in.take(in.left(), &n);
    const QByteArray bytes(reinterpret_cast<const char*>(rest), static_cast<qsizetype>(n));

    // Bytes as a settings file or a Paradox name brings them.
    bool ok = false;
    const QString text = DecodeGbk(bytes, &ok);
    if (ok) {
        bool encoded = false;
        const QByteArray again = EncodeGbk(text, &encoded);
        need(encoded, "decoded text does not encode", bytes);
        bool decoded = false;
        need(DecodeGbk(again, &decoded) == text && decoded, "decode, encode, decode changes the text", bytes);
        need(GbkLength(text) == again.size(), "the counted length is not the encoded length", bytes);
    } else {
        need(text.isEmpty(), "bytes that are not GBK give text", bytes);
    }

    // The same bytes taken as UTF-16 text, as a name typed in the window.
    const QString typed = QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()), bytes.size() / 2);
    const QString cut = TruncateToGbkBytes(typed, maxBytes);
    need(typed.startsWith(cut), "the cut is not a beginning of the text", bytes);
    need(GbkLength(cut) <= maxBytes, "the cut is longer than allowed", bytes);
    // The character after the cut: a surrogate pair counts as one.
    const qsizetype at = cut.size();
    const bool pairAfter = at + 1 < typed.size() && typed.at(at).isHighSurrogate() && typed.at(at + 1).isLowSurrogate();
    need(at == typed.size() || GbkLength(typed.left(at + (pairAfter ? 2 : 1))) > maxBytes,
         "the cut stops before a character that would fit", bytes);
    need(at == 0 || at == typed.size() || !(typed.at(at - 1).isHighSurrogate() && typed.at(at).isLowSurrogate()),
         "the cut splits a character", bytes);
    bool encodedTyped = false;
    const QByteArray typedBytes = EncodeGbk(typed, &encodedTyped);
    if (encodedTyped) {
        bool decoded = false;
        need(DecodeGbk(typedBytes, &decoded) == typed && decoded, "encode, decode changes typed text", bytes);
    } else {
        need(typedBytes.isEmpty(), "text GBK cannot hold gives bytes", bytes);
    }
    return 0;
}

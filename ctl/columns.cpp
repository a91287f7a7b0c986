#include "columns.h"

#include <QChar>
#include <QList>

namespace {

// East Asian wide and fullwidth characters: two columns on a terminal.
bool isWide(char32_t c)
{
    return (c >= 0x1100 && c <= 0x115F)                       // Hangul Jamo initials
        || (c >= 0x2E80 && c <= 0x303E)                       // CJK radicals, punctuation
        || (c >= 0x3041 && c <= 0x33FF)                       // kana, CJK symbols and compatibility
        || (c >= 0x3400 && c <= 0x4DBF)                       // CJK extension A
        || (c >= 0x4E00 && c <= 0x9FFF)                       // CJK unified ideographs
        || (c >= 0xA000 && c <= 0xA4CF)                       // Yi
        || (c >= 0xAC00 && c <= 0xD7A3)                       // Hangul syllables
        || (c >= 0xF900 && c <= 0xFAFF)                       // CJK compatibility ideographs
        || (c >= 0xFE30 && c <= 0xFE4F)                       // CJK compatibility forms
        || (c >= 0xFF00 && c <= 0xFF60)                       // fullwidth forms
        || (c >= 0xFFE0 && c <= 0xFFE6)                       // fullwidth signs
        || (c >= 0x1F300 && c <= 0x1F64F)                     // pictographs, emoticons
        || (c >= 0x1F900 && c <= 0x1F9FF)                     // supplemental pictographs
        || (c >= 0x20000 && c <= 0x3FFFD);                    // CJK extensions B and later
}

} // namespace

int DisplayWidth(const QString& text)
{
    int width = 0;
    for (const char32_t c : text.toUcs4()) {
        const QChar::Category category = QChar::category(c);
        if (category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing || category == QChar::Other_Format
            || c == 0x200B)
            continue; // drawn over the character before, or not at all
        width += isWide(c) ? 2 : 1;
    }
    return width;
}

QString PadToWidth(const QString& text, int width)
{
    const int missing = width - DisplayWidth(text);
    return missing > 0 ? text + QString(missing, QLatin1Char(' ')) : text;
}

// Every text the program sets at run time exists in Simplified Chinese and in English; each window
// keeps its texts in a table of such pairs and picks one by the current language.
#pragma once

#include <QString>

#include <cstdint>


// The language texts are picked in when a caller names none: 0 Simplified Chinese, 1 English, any
// other index sets no text anywhere. Like Qt's installed translators it belongs to the program, not
// to a window: the session sets it (Session::setLanguage), windows read it and hear of a change
// through QEvent::LanguageChange.
int16_t currentLanguage();
void setCurrentLanguage(int16_t language);

struct Text {
    const char* zh;
    const char* en;
};

// The text of the given language (0 Simplified Chinese, 1 English); a null string for any other
// index, so that callers leave the shown text untouched as the language convention requires.
inline QString pick(const Text& text, int16_t language)
{
    if (language == 0) return QString::fromUtf8(text.zh);
    if (language == 1) return QString::fromUtf8(text.en);
    return {};
}

// The text of the current language.
inline QString pick(const Text& text)
{
    return pick(text, currentLanguage());
}

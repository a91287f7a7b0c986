// Switching the language of the whole program while it runs.
#pragma once

#include <cstdint>

class QObject;

// Makes `language` the one texts are picked in (0 Simplified Chinese, 1 English; any other index
// sets no text) and has every window set its texts again: each window receives
// QEvent::LanguageChange and answers it in its changeEvent() by setting the texts of that language.
// The window calls it when the session's language changes (Session::languageChanged).
void switchLanguage(int16_t language);

// Qt's own texts (the buttons of message boxes, the menus of edit fields) in `language`: its
// Chinese translation installed for 0, none for 1 (any other index changes nothing). `owner`
// keeps the translator.
void loadQtTranslations(int16_t language, QObject* owner);

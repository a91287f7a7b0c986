// Switching the language of the whole program while it runs.
#pragma once

#include <cstdint>

// Makes `language` the current one (0 Simplified Chinese, 1 English; any other index sets no
// text) and has every window set its texts again: each window receives QEvent::LanguageChange
// and answers it in its changeEvent() by setting the texts of the current language.
void switchLanguage(int16_t language);

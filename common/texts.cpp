#include "common/texts.h"

namespace {
int16_t language = 0;
}

int16_t currentLanguage()
{
    return language;
}

void setCurrentLanguage(int16_t value)
{
    language = value;
}

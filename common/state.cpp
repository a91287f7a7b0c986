#include "common/state.h"

int16_t CurLanguage = 0;

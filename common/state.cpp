#include "common/state.h"

int16_t CurLanguage = 0;
int32_t UserMode = ModeNone;
int32_t Edition = EditionCustomer;

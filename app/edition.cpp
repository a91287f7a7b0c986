#include "common/state.h"

#ifndef TARVELLO_EDITION
#error "TARVELLO_EDITION must be defined by the build"
#endif

int32_t BuildEdition()
{
    return TARVELLO_EDITION;
}

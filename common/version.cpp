#include "common/version.h"

const char* ProgramVersion()
{
    return TARVELLO_VERSION;
}

// Program-wide state that every window reads, and the codes it holds.
#pragma once

#include <cstdint>

constexpr int32_t ModeSuperUser = 0;
constexpr int32_t ModeAdministrator = 1;
constexpr int32_t ModeOperator = 2;
constexpr int32_t ModeNone = 15;

constexpr int32_t EditionAdvanced = 0xAA;
constexpr int32_t EditionCustomer = 0x55;

// 0 = Simplified Chinese, 1 = English. Any other value sets no text anywhere.
extern int16_t CurLanguage;

// The edition this program was built as (fixed at build time, see app/CMakeLists.txt).
int32_t BuildEdition();

// The access levels and editions, and the edition this program was built as.
#pragma once

#include <cstdint>

constexpr int32_t ModeSuperUser = 0;
constexpr int32_t ModeAdministrator = 1;
constexpr int32_t ModeOperator = 2;
constexpr int32_t ModeNone = 15;

constexpr int32_t EditionAdvanced = 0xAA;
constexpr int32_t EditionCustomer = 0x55;

// The edition this program was built as (fixed at build time, see app/CMakeLists.txt).
int32_t BuildEdition();

// The addresses of the bus, the same for every part that names a device: a group from 0 to 15, a
// device ID from 1 to 999 (ID 0 is every device of its group), and the group byte every device hears.
#pragma once

#include <cstdint>

constexpr int MaxGroupId = 15;
constexpr int LowestDeviceId = 1;
constexpr int HighestDeviceId = 999;
constexpr uint8_t BroadcastGroup = 0xFF;

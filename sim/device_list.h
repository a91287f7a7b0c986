#pragma once
// Text forms the simulator accepts for naming devices:
//   list   "2:5,2:6"  and ranges "1:10-20" (group:id or group:first-last)
//   file   one device a line: "group id [code] [name]", the code written as
//          0xFE or 254; '#' starts a comment

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "sim/bus_simulator.h"

struct DeviceAddress {
    uint8_t group = 0;
    uint16_t id = 0;
    bool operator==(const DeviceAddress&) const = default;
};

// Throws std::invalid_argument naming the entry that is wrong.
std::vector<DeviceAddress> ParseDeviceList(const std::string& text);

// Devices without a code of their own get defaultCode. Throws
// std::invalid_argument with the line number of the first bad line.
std::vector<SimDeviceConfig> ParseDeviceFile(std::istream& in, uint8_t defaultCode = 0xFF);
// Same, from a file; std::runtime_error when it cannot be read.
std::vector<SimDeviceConfig> LoadDeviceFile(const std::string& path, uint8_t defaultCode = 0xFF);

// "0xFE", "254" or "FE" -> 0xFE. Throws std::invalid_argument.
uint8_t ParseReplyCode(const std::string& text);

#include "sim/device_list.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

std::string trim(const std::string& s)
{
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a])))
        ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1])))
        --b;
    return s.substr(a, b - a);
}

// Whole string as a decimal number; -1 when it is not one.
long decimal(const std::string& s)
{
    if (s.empty() || s.size() > 6)
        return -1;
    long v = 0;
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

uint8_t checkedGroup(long g, const std::string& entry)
{
    if (g < 0 || g > 15)
        throw std::invalid_argument("group must be 0 to 15 in \"" + entry + "\"");
    return static_cast<uint8_t>(g);
}

uint16_t checkedId(long id, const std::string& entry)
{
    if (id < 1 || id > HighestDeviceId)
        throw std::invalid_argument("ID must be 1 to " + std::to_string(HighestDeviceId) + " in \"" + entry + "\"");
    return static_cast<uint16_t>(id);
}

} // namespace

std::vector<DeviceAddress> ParseDeviceList(const std::string& text)
{
    std::vector<DeviceAddress> out;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) {
        const std::string entry = trim(item);
        const auto colon = entry.find(':');
        if (colon == std::string::npos)
            throw std::invalid_argument("expected group:id in \"" + entry + "\"");
        const uint8_t group = checkedGroup(decimal(trim(entry.substr(0, colon))), entry);
        const std::string ids = trim(entry.substr(colon + 1));
        const auto dash = ids.find('-');
        if (dash == std::string::npos) {
            out.push_back({group, checkedId(decimal(ids), entry)});
            continue;
        }
        const uint16_t first = checkedId(decimal(trim(ids.substr(0, dash))), entry);
        const uint16_t last = checkedId(decimal(trim(ids.substr(dash + 1))), entry);
        if (last < first)
            throw std::invalid_argument("empty range in \"" + entry + "\"");
        for (unsigned id = first; id <= last; ++id)
            out.push_back({group, static_cast<uint16_t>(id)});
    }
    if (out.empty())
        throw std::invalid_argument("no devices in \"" + text + "\"");
    return out;
}

uint8_t ParseReplyCode(const std::string& text)
{
    std::string s = trim(text);
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s = s.substr(2);
        base = 16;
    } else if (!s.empty() && s.find_first_not_of("0123456789") != std::string::npos) {
        base = 16;
    }
    if (s.empty() || s.size() > 3 || s.find_first_not_of(base == 16 ? "0123456789abcdefABCDEF" : "0123456789")
                                         != std::string::npos)
        throw std::invalid_argument("not a byte value: \"" + text + "\"");
    const unsigned long v = std::stoul(s, nullptr, base);
    if (v > 0xFF)
        throw std::invalid_argument("not a byte value: \"" + text + "\"");
    return static_cast<uint8_t>(v);
}

std::vector<SimDeviceConfig> ParseDeviceFile(std::istream& in, uint8_t defaultCode)
{
    std::vector<SimDeviceConfig> out;
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (const auto hash = line.find('#'); hash != std::string::npos)
            line.erase(hash);
        line = trim(line);
        if (line.empty())
            continue;
        try {
            std::istringstream ls(line);
            std::string g, id;
            ls >> g >> id;
            const std::string entry = g + " " + id;
            SimDeviceConfig d;
            d.group = checkedGroup(decimal(g), entry);
            d.id = checkedId(decimal(id), entry);
            d.replyCode = defaultCode;
            std::string rest;
            std::getline(ls, rest);
            rest = trim(rest);
            // An optional code comes first, written 0xFE or 254; any other
            // word starts the name (so a name such as "AB lift" stays a name).
            std::istringstream rs(rest);
            std::string word;
            if (rs >> word
                && (word.rfind("0x", 0) == 0 || word.rfind("0X", 0) == 0
                    || word.find_first_not_of("0123456789") == std::string::npos)) {
                try {
                    d.replyCode = ParseReplyCode(word);
                    std::getline(rs, rest);
                    rest = trim(rest);
                } catch (const std::invalid_argument&) {
                    throw std::invalid_argument("bad reply code \"" + word + "\"");
                }
            }
            d.name = rest;
            out.push_back(std::move(d));
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument("line " + std::to_string(lineNo) + ": " + e.what());
        }
    }
    return out;
}

std::vector<SimDeviceConfig> LoadDeviceFile(const std::string& path, uint8_t defaultCode)
{
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read device file " + path);
    try {
        return ParseDeviceFile(in, defaultCode);
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(path + ", " + e.what());
    }
}

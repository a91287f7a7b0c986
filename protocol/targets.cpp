#include "protocol/targets.h"

#include <algorithm>

#include "protocol/frames.h"

namespace {
}

void Targets::merge(const Targets& other)
{
    for (uint8_t g : other.groups)
        if (std::find(groups.begin(), groups.end(), g) == groups.end())
            groups.push_back(g);
    for (const auto& d : other.devices)
        if (std::find(devices.begin(), devices.end(), d) == devices.end())
            devices.push_back(d);
}

Targets targetsOf(uint8_t command, const Selection& chosen, DeviceRegister& reg)
{
    Targets t;
    const int selected = int(chosen.selectedRows.size());
    const bool allSelected = selected >= chosen.rowCount; // an empty list counts as fully selected
    // Otherwise (the mark cleared by hand) all-selected rows are addressed one by one, so a
    // press never does nothing without a word.
    const bool covered = chosen.everyDevice || (chosen.highlightedGroup && chosen.highlightedChecked);

    if (chosen.everyDevice) {
        t.groups.push_back(BroadcastGroup);
    } else {
        for (int group : chosen.checkedGroups) {
            if (t.groups.size() >= Targets::MaxGroups)
                break;
            // A partly selected highlighted group is addressed device by device; ticked with no
            // row selected, it is the whole group.
            if (chosen.highlightedGroup == group && selected > 0 && !allSelected)
                continue;
            if (group >= 0 && group <= MaxGroupId
                && std::find(t.groups.begin(), t.groups.end(), uint8_t(group)) == t.groups.end())
                t.groups.push_back(static_cast<uint8_t>(group));
        }
    }

    if (selected > 0 && (!allSelected || !covered)) {
        for (const Selection::Row& row : chosen.selectedRows) {
            if (t.devices.size() >= Targets::MaxDevices)
                break;
            std::optional<int> group;
            if (row.id >= 1 && row.id <= HighestDeviceId) {
                group = reg.groupOfDevice(row.id);
                // A row whose device has left the register is still stopped where it was.
                if (!group && command == CmdStop)
                    group = row.shownGroup;
            }
            if (group && *group >= 0 && *group <= MaxGroupId)
                t.devices.emplace_back(static_cast<uint8_t>(*group), static_cast<uint16_t>(row.id));
            else
                t.missing.push_back(row.id);
        }
    }
    return t;
}

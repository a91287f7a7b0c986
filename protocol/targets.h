#pragma once
// What one motion press addresses, and how it follows from what the operator chose. Both faces
// (the window's lists, tarvello-ctl's arguments) hand their choice over as a Selection; the
// frames then go in the order of Targets: the group frames first, then the device frames.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <Qt>

// Roles of the first column of the rows the poll walks: each row's device ID and the group the
// register held for it when the row was made.
inline constexpr int DeviceIdRole = Qt::UserRole + 1;
inline constexpr int DeviceGroupRole = Qt::UserRole + 2;

// The device table as the engine and the targets see it.
class DeviceRegister {
public:
    virtual ~DeviceRegister() = default;
    virtual std::optional<int> groupOfDevice(int id) = 0; // locate by ID
    // Whether the table can be emptied and refilled; false after the register
    // has shown its one message naming the file.
    virtual bool devicesWritable() = 0;
    // Keeps a copy of the device file, then empties the table, which stays
    // open in every case. False after the register has shown its one message.
    virtual bool emptyDevices() = 0;
    virtual void appendDevice(int id, int group) = 0; // append + post (durable)
};

struct Targets {
    // At most this many group frames and device frames go out for one press.
    static constexpr size_t MaxGroups = 16;
    static constexpr size_t MaxDevices = 1024;

    std::vector<uint8_t> groups;                        // group frames (BroadcastGroup: every device)
    std::vector<std::pair<uint8_t, uint16_t>> devices;  // device frames, (group, id)
    std::vector<int> missing;                           // chosen IDs with no address to send to
    bool empty() const { return groups.empty() && devices.empty(); }
    // Adds what `other` reaches and this does not yet.
    void merge(const Targets& other);
    bool operator==(const Targets&) const = default;
};

// What the operator chose in the lists.
struct Selection {
    bool everyDevice = false;             // the all-devices entry is ticked
    std::vector<int> checkedGroups;       // the group IDs of the ticked group entries, in list order
    std::optional<int> highlightedGroup;  // the group entry highlighted, when it is one
    bool highlightedChecked = false;
    int rowCount = 0;                     // rows in the device list
    struct Row {
        int id = 0;
        std::optional<int> shownGroup;    // the group the row shows
    };
    std::vector<Row> selectedRows;        // in list order
};

// What a press of `command` reaches. Groups are addressed by their ID; rows that are all
// selected are covered by a group frame only when that frame goes out; a partly selected
// highlighted group is addressed device by device. A selected device the register no longer
// holds is reached only by a Stop, at the group its row showed; otherwise it is named missing.
Targets targetsOf(uint8_t command, const Selection& chosen, DeviceRegister& reg);

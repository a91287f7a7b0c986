// The scene's groups and devices as the main window lists them, with their labels in the current
// language: read from the session's register, never from a widget.
#pragma once

#include <utility>
#include <vector>

#include <QString>

#include "core/devicemodel.h"

class Session;
class TCheckListBox;

// All devices, ungrouped, then each group of the register by its ID ("  5-Hall"); each entry
// keeps the group ID it stands for, whatever its place in the table.
void FillGroupEntries(TCheckListBox& list, const std::vector<std::pair<int, QString>>& groups);
// The scene's devices, each with its group's label (a device whose group has no record is
// ungrouped); storedUngroupedName: in Chinese the ungrouped record's own name is shown.
std::vector<DeviceRow> LabelledDevices(Session& session, bool storedUngroupedName);

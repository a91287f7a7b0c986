#include "app/scenelists.h"

#include <QHash>

#include <cstdio>

#include "app/mainwindow_texts.h"
#include "app/widgets.h"
#include "common/state.h"
#include "core/session.h"

using namespace mainwindow;

void FillGroupEntries(TCheckListBox& list, const std::vector<std::pair<int, QString>>& groups)
{
    list.clear();
    list.addEntry(pick(TextAllUnits))->setData(GroupIdRole, -1);
    list.addEntry(pick(TextUngroupedEntry))->setData(GroupIdRole, 0);
    for (const auto& [groupId, name] : groups) {
        if (groupId == 0) continue; // the ungrouped record has its fixed entry
        char number[16];
        std::snprintf(number, sizeof number, "%3d", groupId);
        list.addEntry(QString::fromLatin1(number) + QLatin1Char('-') + name)->setData(GroupIdRole, groupId);
    }
}

std::vector<DeviceRow> LabelledDevices(Session& session, bool storedUngroupedName)
{
    QHash<int, QString> names;
    for (const auto& [id, name] : session.readGroups())
        if (!names.contains(id)) names.insert(id, name);
    std::vector<DeviceRow> rows = session.readDevices();
    // Every group's label is made once, not once for each of its devices.
    QHash<int, QString> labels;
    for (DeviceRow& row : rows) {
        auto label = labels.constFind(row.group);
        if (label == labels.constEnd()) {
            const auto name = names.constFind(row.group);
            QString text;
            if (row.group == 0 || name == names.constEnd())
                text = storedUngroupedName && currentLanguage() == 0 && names.contains(0) ? names.value(0) : pick(TextUngrouped);
            else
                text = GroupLabel(row.group, *name);
            label = labels.insert(row.group, text);
        }
        row.groupText = *label;
    }
    return rows;
}

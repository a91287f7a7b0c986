#pragma once
// The register of scene 1 of a data directory becomes these devices: (group, id, name).
#include <tuple>
#include <vector>

#include <QString>

#include "register/register.h"

inline void FillRegister(const QString& dataDir, const std::vector<std::tuple<int, int, QString>>& devices)
{
    TRegister reg(dataDir);
    reg.Open();
    reg.Member_Table.EmptyTable();
    for (const auto& [group, id, name] : devices) {
        reg.Member_Table.Append();
        reg.Member_Table.SetFieldByName(QStringLiteral("ID"), id);
        reg.Member_Table.SetFieldByName(QStringLiteral("Name"), name);
        reg.Member_Table.SetFieldByName(QStringLiteral("Group_ID"), group);
        reg.Member_Table.Post();
    }
    reg.Close();
}

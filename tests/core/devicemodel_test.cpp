#include <gtest/gtest.h>

#include "core/devicemodel.h"

namespace {

// What a view over the model shows: "id/group-text/ball" per row.
QStringList shown(const QAbstractItemModel& m)
{
    QStringList out;
    for (int row = 0; row < m.rowCount(); ++row) {
        const QVariant online = m.index(row, DeviceModel::StateColumn).data(DeviceModel::OnlineRole);
        out << QStringLiteral("%1/%2/%3")
                   .arg(m.index(row, DeviceModel::IdColumn).data().toString(),
                        m.index(row, DeviceModel::GroupColumn).data().toString(),
                        online.isValid() ? (online.toBool() ? QStringLiteral("on") : QStringLiteral("off")) : QStringLiteral("-"));
    }
    return out;
}

} // namespace

// The rows the operator sees are the rows the engine polls: a group's view holds its devices in
// the register's order, follows every change at once, and a mark reaches only the device keyed.
TEST(DeviceModel, AGroupsViewFollowsEveryChange)
{
    DeviceModel model;
    DeviceFilter view;
    view.setSourceModel(&model);
    model.setHeaders({ QString(), QStringLiteral("ID"), QStringLiteral("Name"), QStringLiteral("Group") });
    model.setDevices({ { 2, 5, "a", std::nullopt, "2-Hall" }, { 3, 7, "b", std::nullopt, "3-Yard" },
                       { 2, 6, "c", std::nullopt, "2-Hall" } });

    struct Step {
        const char* what;
        std::function<void()> act;
        QStringList expected;
    };
    const std::vector<Step> steps {
        { "every device", [] {}, { "5/2-Hall/-", "7/3-Yard/-", "6/2-Hall/-" } },
        { "group 2, no group column", [&] { view.setGroup(2); }, { "5//-", "6//-" } },
        { "a mark under another group finds nothing", [&] { EXPECT_FALSE(model.setOnline(3, 5, true)); }, { "5//-", "6//-" } },
        { "a mark under its group", [&] { EXPECT_TRUE(model.setOnline(2, 6, true)); }, { "5//-", "6//on" } },
        { "found in the group shown", [&] { model.addDevice({ 2, 9, "", true, "2-Hall" }); }, { "5//-", "6//on", "9//on" } },
        { "found elsewhere", [&] { model.addDevice({ 3, 8, "", true, "3-Yard" }); }, { "5//-", "6//on", "9//on" } },
        { "the port lost", [&] { model.markAllOffLine(); }, { "5//off", "6//off", "9//off" } },
        { "every device again", [&] { view.setGroup(std::nullopt); },
          { "5/2-Hall/off", "7/3-Yard/off", "6/2-Hall/off", "9/2-Hall/off", "8/3-Yard/off" } },
        { "a label in the other language", [&] { model.replaceGroupText("3-Yard", "3-Hof"); },
          { "5/2-Hall/off", "7/3-Hof/off", "6/2-Hall/off", "9/2-Hall/off", "8/3-Hof/off" } },
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        s.act();
        EXPECT_EQ(shown(view), s.expected);
        EXPECT_EQ(view.headerData(DeviceModel::GroupColumn, Qt::Horizontal).toString(), QStringLiteral("Group"));
        // The engine reads each row's address from the first column.
        for (int row = 0; row < view.rowCount(); ++row)
            EXPECT_EQ(view.index(row, 0).data(DeviceIdRole).toString(), view.index(row, DeviceModel::IdColumn).data().toString());
    }
}

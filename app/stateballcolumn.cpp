#include "app/stateballcolumn.h"

#include <algorithm>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionViewItem>

#include "app/mainwindow_texts.h"
#include "app/pictures.h"
#include "core/devicemodel.h"
#include "protocol/frames.h"
#include "protocol/targets.h"

// ---------------------------------------------------------------- StateBallColumn

using namespace mainwindow;

QVariant StateBallColumn::data(const QModelIndex& index, int role) const
{
    const auto online = [&]() -> std::optional<bool> {
        const QVariant known = QIdentityProxyModel::data(index.siblingAtColumn(DeviceModel::StateColumn), DeviceModel::OnlineRole);
        return known.isValid() ? std::optional<bool>(known.toBool()) : std::nullopt;
    };
    if (role == Qt::DecorationRole && index.column() == DeviceModel::StateColumn)
        return StateBallIcon(online(), movedByPress(index.row()));
    if (role == Qt::BackgroundRole && movedByPress(index.row())) return PressTargetTint();
    if (role == Qt::ToolTipRole) {
        const std::optional<bool> state = online();
        QString tip = pick(!state ? StateNotAsked : *state ? StateOnLine : StateOffLine);
        if (movedByPress(index.row())) tip += QLatin1Char('\n') + pick(RowMovedByPress);
        return tip;
    }
    return QIdentityProxyModel::data(index, role);
}

void StateBallColumn::setPressTargets(const std::vector<uint8_t>& groups,
                                      const std::vector<std::pair<uint8_t, uint16_t>>& devices)
{
    if (groups == m_groups && devices == m_devices) return;
    m_groups = groups;
    m_devices = devices;
    if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1), {Qt::BackgroundRole, Qt::ToolTipRole, Qt::DecorationRole});
}

bool StateBallColumn::movedByPress(int row) const
{
    if (m_groups.empty() && m_devices.empty()) return false;
    const QModelIndex first = index(row, 0);
    const int group = first.data(DeviceGroupRole).toInt();
    const int id = first.data(DeviceIdRole).toInt();
    for (uint8_t g : m_groups)
        if (g == BroadcastGroup || g == group) return true;
    for (const auto& [g, i] : m_devices)
        if (g == group && i == id) return true;
    return false;
}

QColor PressTargetTint()
{
    return QColor(255, 236, 170);
}

// The device list's state column and the mark of what a press moves.
#pragma once

#include <QColor>
#include <QIdentityProxyModel>

#include <cstdint>
#include <utility>
#include <vector>

// The first column shows each device's on-line state as a ball: green on line, red when its last
// query timed out, grey while it has not been asked since its row was made. The rows a motion
// press would move are tinted, and every cell's tool tip says both.
class StateBallColumn : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    // What a press reaches now: its group frames (the broadcast group: every row) and device frames.
    void setPressTargets(const std::vector<uint8_t>& groups, const std::vector<std::pair<uint8_t, uint16_t>>& devices);
    bool movedByPress(int row) const;

private:
    std::vector<uint8_t> m_groups;
    std::vector<std::pair<uint8_t, uint16_t>> m_devices;
};

// The tint of a row a press would move.
QColor PressTargetTint();

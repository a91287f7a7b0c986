// The pictures the main window draws itself: state balls, tool and motion buttons.
#pragma once

#include <QIcon>
#include <QString>

#include <optional>

// Pictures drawn at run time, so the program needs no image files.
namespace Pictures {
// 16 x 16 green, red or (not known) grey ball; ringed for a device a press moves.
QIcon stateBall(std::optional<bool> online, bool ringed);
QIcon toolButton(const QString& which);  // 40 x 40: refresh, groups, password, about, exit
QIcon motionArrow(const QString& which); // up, down, stop, forward, backward
} // namespace Pictures

// The device list's state images, drawn once: the off-line and the on-line ball.
const QIcon& StateBallIcon(std::optional<bool> online, bool movedByPress = false);

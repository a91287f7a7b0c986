// The receive latency of a USB serial adapter: how long its chip holds received bytes before it
// sends a short packet to the host (FTDI's latency timer, 16 ms unless lowered). The reader cannot
// see a byte before then, so the time an answer takes to arrive includes it.
#pragma once

#include <QString>

#include <optional>

// The latency timer of the USB serial adapter behind devicePath, in ms. Symbolic links are
// followed (/dev/serial/by-id/..., a link of the user's own) to the tty, whose
// <sysRoot>/bus/usb-serial/devices/<tty>/latency_timer is read. nullopt when the path does not
// exist or the tty has no such file (not a USB serial adapter, a driver without the timer, a
// pseudo-terminal, a network port name), when its text is not a number from 0 to 255, and
// always on Windows.
std::optional<int> UsbSerialLatencyMs(const QString& devicePath, const QString& sysRoot = QStringLiteral("/sys"));

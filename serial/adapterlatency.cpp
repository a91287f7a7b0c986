#include "serial/adapterlatency.h"

#include <QFile>
#include <QFileInfo>

std::optional<int> UsbSerialLatencyMs(const QString& devicePath, const QString& sysRoot) {
#ifdef _WIN32
    Q_UNUSED(devicePath);
    Q_UNUSED(sysRoot);
    return std::nullopt;
#else
    const QString device = QFileInfo(devicePath).canonicalFilePath();  // empty when it does not exist
    const QString tty = QFileInfo(device).fileName();
    if (tty.isEmpty()) return std::nullopt;
    QFile file(sysRoot + QStringLiteral("/bus/usb-serial/devices/") + tty + QStringLiteral("/latency_timer"));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    bool ok = false;
    const int ms = file.read(64).trimmed().toInt(&ok);
    if (!ok || ms < 0 || ms > 255) return std::nullopt;
    return ms;
#endif
}

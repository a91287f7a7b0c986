#include "serial/portname.h"

#ifdef _WIN32
#include "serial/win32_logic.h"
#endif

#include <QRegularExpression>

QString ResolvePortName(const QString& name, const std::function<QString(const QString& key)>& portsLookup) {
    if (name.startsWith(QLatin1Char('/'))) return name;

    // Port names are not case-sensitive where they come from ("com1" opens COM1 as well).
    static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]{0,5})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = comName.match(name);
    if (!match.hasMatch()) return name;

    const QString number = match.captured(1);
    const QString key = QStringLiteral("COM") + number;
    if (portsLookup) {
        const QString mapped = portsLookup(key);
        if (!mapped.isEmpty()) return mapped;
    }
#ifdef _WIN32
    return tarvello::win32::DevicePathForCom(number.toInt());
#else
    return QStringLiteral("/dev/ttyS%1").arg(number.toInt() - 1);
#endif
}

bool IsNetworkPortName(const QString& name)
{
    return name.startsWith(QLatin1String("tcp://"), Qt::CaseInsensitive) ||
           name.startsWith(QLatin1String("rfc2217://"), Qt::CaseInsensitive);
}

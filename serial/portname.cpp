#include "serial/portname.h"

#ifdef _WIN32
#include "serial/win32_logic.h"
#endif

#include <QDir>
#include <QFileInfo>
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

bool IsWellFormedNetworkPortName(const QString& name)
{
    static const QRegularExpression form(QStringLiteral("^(tcp|rfc2217)://(\\[[^\\]]+\\]|[^:/\\[\\]\\s]+):([0-9]{1,5})$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = form.match(name);
    const int port = m.hasMatch() ? m.captured(3).toInt() : 0;
    return port >= 1 && port <= 65535;
}

QString PortIdentity(const QString& resolvedName)
{
    const QString name = resolvedName.trimmed();
    static const QRegularExpression network(QStringLiteral("^(?:tcp|rfc2217)://(\\[[^\\]]+\\]|[^:/\\[\\]\\s]+):([0-9]{1,5})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    if (const QRegularExpressionMatch m = network.match(name); m.hasMatch()) {
        QString host = m.captured(1).toLower();
        if (host.endsWith(QLatin1Char('.')))
            host.chop(1); // the root of the name system: "srv2." is "srv2"
        return QStringLiteral("%1:%2").arg(host).arg(m.captured(2).toInt());
    }
    if (name.startsWith(QLatin1Char('/'))) {
        const QString real = QFileInfo(name).canonicalFilePath();
        return real.isEmpty() ? QDir::cleanPath(name) : real;
    }
    static const QRegularExpression comPort(QStringLiteral(R"(^(?:\\\\\.\\)?(COM[0-9]+)$)"), QRegularExpression::CaseInsensitiveOption);
    if (const QRegularExpressionMatch m = comPort.match(name); m.hasMatch())
        return m.captured(1).toUpper();
    return name;
}

std::vector<SerialAdapter> ListSerialAdapters(const QString& folder)
{
    std::vector<SerialAdapter> adapters;
    const QDir dir(folder);
    // System: the links of device nodes; Name: a stable order from one look to the next.
    for (const QFileInfo& link : dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
        if (!link.isSymLink())
            continue;
        const QString device = QDir::cleanPath(link.symLinkTarget());
        if (QFileInfo::exists(device)) // a link of an adapter just pulled out leads nowhere
            adapters.push_back({ link.absoluteFilePath(), device });
    }
    return adapters;
}

TypedPortName CheckTypedPortName(const QString& name)
{
    if (name.trimmed().isEmpty())
        return TypedPortName::Empty;
    if (name.startsWith(QLatin1Char('/'))) {
        const QFileInfo info(name);
        if (!info.exists())
            return TypedPortName::NoSuchDevice;
        return info.isDir() ? TypedPortName::Folder : TypedPortName::Ok;
    }
    if (IsNetworkPortName(name))
        return IsWellFormedNetworkPortName(name) ? TypedPortName::Ok : TypedPortName::BadNetworkAddress;
    return TypedPortName::Unknown;
}

PortOpenTrouble DiagnosePortOpenFailure(const QString& devicePath)
{
    if (!devicePath.startsWith(QLatin1Char('/')))
        return PortOpenTrouble::Unknown;
    const QFileInfo info(devicePath);
    if (!info.exists())
        return PortOpenTrouble::Missing;
    return info.isReadable() && info.isWritable() ? PortOpenTrouble::Busy : PortOpenTrouble::NoPermission;
}

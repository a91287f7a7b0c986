#include "mqtt/mqttsettings.h"

#include "common/inifile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

QString MqttTopicLevel(QString name)
{
    for (QChar c : { QLatin1Char('/'), QLatin1Char('+'), QLatin1Char('#') })
        name.replace(c, QLatin1Char('_'));
    return name;
}

MqttSettings ReadMqttSettings(const TIniFile& ini, const QString& dataDir, MqttProblem* problem)
{
    const QString section = QStringLiteral("MQTT");
    auto text = [&](const char* key) { return ini.ReadString(section, QLatin1String(key), QString()).trimmed(); };
    MqttSettings s;
    s.host = text("Host");
    s.caFile = text("CAFile");
    s.port = ini.ReadInteger(section, QStringLiteral("Port"), s.caFile.isEmpty() ? 1883 : 8883);
    if (s.port < 1 || s.port > 65535)
        s.port = s.caFile.isEmpty() ? 1883 : 8883;
    const QString site = text("Site");
    s.site = MqttTopicLevel(site.isEmpty() ? QSysInfo::machineHostName() : site);
    if (s.site.isEmpty())
        s.site = QStringLiteral("tarvello");
    s.user = text("User");
    s.publishUser = ini.ReadInteger(section, QStringLiteral("PublishUser"), 0) == 1;
    if (problem)
        *problem = {};
    if (!s.enabled())
        return s;

    const QString passwordFile = text("PasswordFile");
    if (passwordFile.isEmpty())
        return s;
    const QString path = QDir(dataDir).absoluteFilePath(passwordFile);
    auto refuse = [&](const Text& why) {
        if (problem)
            *problem = { why, QDir::toNativeSeparators(path) };
        s.host.clear();
        return s;
    };
#ifndef Q_OS_WIN
    const QFileInfo info(path);
    if (info.exists() && (info.permissions() & (QFile::ReadGroup | QFile::ReadOther)))
        return refuse(MqttPasswordFileOpenText);
#endif
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(MqttPasswordFileUnreadableText);
    // The first line, without its line break.
    s.password = QString::fromUtf8(file.readLine()).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
    return s;
}

// What DB.ini's [MQTT] section says about the broker the devices' states are published to:
//
//   [MQTT]
//   Host=broker.example.net   ; absent or empty: nothing is published
//   Port=1883                 ; default 1883, 8883 with CAFile
//   Site=stage-north          ; default the host name; '/', '+' and '#' become '_'
//   User=tarvello
//   PasswordFile=/etc/tarvello/mqtt.pw   ; readable by its owner only; relative to DFiles
//   CAFile=/etc/ssl/certs/broker-ca.pem  ; TLS to the broker, checked against this CA
//   PublishUser=0             ; 1: events name the account that acted
#pragma once

#include <QString>

#include "common/texts.h"

class TIniFile;

struct MqttSettings {
    QString host;
    int port = 1883;
    QString site;
    QString user;
    QString password;
    QString caFile;
    bool publishUser = false;

    bool enabled() const { return !host.isEmpty(); }
    // tarvello/<site>
    QString topicRoot() const { return QStringLiteral("tarvello/") + site; }
};

// Why the settings cannot be used: both languages, the file or value named by %1.
struct MqttProblem {
    Text text;
    QString subject;
    bool any() const { return text.zh != nullptr; }
    QString say(int16_t language) const { return pick(text, language).arg(subject); }
    QString say() const { return say(currentLanguage()); }
};

// A site name made safe for a topic level.
QString MqttTopicLevel(QString name);

// Reads [MQTT] of `settings`; a relative PasswordFile is taken from dataDir. When something is
// wrong (a password file others can read, one that cannot be read), *problem says what, and the
// settings returned are not enabled: nothing is published with half a configuration.
MqttSettings ReadMqttSettings(const TIniFile& settings, const QString& dataDir, MqttProblem* problem);

// Whether this program was built with MQTT.
bool MqttAvailable();

inline constexpr Text MqttPasswordFileOpenText {
    "MQTT 密码文件 %1 可被其他用户读取，已拒绝使用。请执行 chmod 600。",
    "The MQTT password file %1 can be read by other users and is refused. Run chmod 600 on it." };
inline constexpr Text MqttPasswordFileUnreadableText {
    "无法读取 MQTT 密码文件 %1。", "The MQTT password file %1 cannot be read." };
inline constexpr Text MqttNotBuiltText {
    "本程序不含 MQTT 功能，[MQTT] Host=%1 被忽略。",
    "This program was built without MQTT: [MQTT] Host=%1 is ignored." };

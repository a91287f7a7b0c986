// A session's devices, status and audit record published to an MQTT broker:
//
//   tarvello/<site>/<scene>/device/<group>/<id>   retained: the device's on-line state
//   tarvello/<site>/status                        retained: running, port, scene, level, version
//   tarvello/<site>/events                        each row of the audit record
//
// A device is published when its state changes, and every device of the list after a search or
// a change of the register; a device the register no longer holds is cleared. The broker says
// {"running": false} for the program when it ends or dies. Nothing is ever taken from the broker.
#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>

#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "mqtt/mqttlink.h"
#include "mqtt/mqttsettings.h"

class Session;
struct AuditEntry;

class MqttPublisher : public QObject {
    Q_OBJECT
public:
    // Starts the link at once.
    MqttPublisher(Session& session, const MqttSettings& settings, QObject* parent = nullptr);
    // Says {"running": false} and goes.
    ~MqttPublisher() override;

    MqttLink& link() { return *m_link; }
    const MqttSettings& settings() const { return m_settings; }

    // The payloads, as the broker's subscribers read them.
    static QByteArray deviceJson(std::optional<bool> online, const QString& name, int group, const QString& groupName,
                                 const QDateTime& polled);
    static QByteArray eventJson(const AuditEntry& entry, bool withUser);

signals:
    // The broker was reached, or could not be / was lost: for the face to say (once).
    void brokerStateChanged(bool connected, const QString& reason);

private:
    struct Device {
        std::optional<bool> online;
        QString name;
        QString groupName;
        QDateTime polled;
    };
    using Key = std::pair<int, int>;

    QString deviceTopic(const Key& key) const;
    void publishDevice(const Key& key, const Device& device);
    void rowsRebuilt();
    void rowsChanged(int first, int last);
    void rowsAdded(int first, int last);
    void publishAll();
    void portLost();
    void recorded(const AuditEntry& entry);
    void publishStatus(bool running = true);
    QByteArray statusJson(bool running) const;

    Session& m_session;
    MqttSettings m_settings;
    std::unique_ptr<MqttLink> m_link;
    std::map<Key, Device> m_devices; // as last published
    std::map<int, QString> m_groupNames;
    int m_scene = 0;
    bool m_portLost = false;
    QByteArray m_lastStatus;
};

// What a face starts from DB.ini: the publisher, or nothing when [MQTT] names no host, the
// settings cannot be used or the program has no MQTT (*problem then says why, when it should be
// said).
std::unique_ptr<MqttPublisher> StartMqtt(Session& session, MqttProblem* problem);

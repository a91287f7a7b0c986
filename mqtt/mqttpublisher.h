// A session's devices, status and audit record published to an MQTT broker:
//
//   tarvello/<site>/<scene>/device/<group>/<id>   retained: the device's on-line state
//   tarvello/<site>/status                        retained: running, port, scene, level, version
//   tarvello/<site>/events                        each row of the audit record
//   tarvello/<site>/<scene>/polled                retained: when each device was last asked
//
// A device is published when its state changes, and every device of the list after a search or
// a change of the register; a device the register no longer holds is cleared. What was asked is
// published apart, a few seconds at most after the query and only while queries go out, as one
// small message a scene: a device that answers as before costs nothing more, and a reader can
// tell a device that nobody asks any more. The broker says {"running": false} for the program
// when it ends or dies. Nothing is ever taken from the broker.
#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

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

    // The seconds between two polls the face starts by itself (the window's idle poll, a watch's
    // rounds); 0: it polls only when asked. Said in the status, so that a reader can judge how
    // old a last poll may be.
    void setPollEvery(int seconds);

    // A device's last query, for the polled topic: invalid when not asked since it was listed.
    struct LastPoll {
        int group = 0;
        int id = 0;
        QDateTime time;
    };
    // The seconds between two messages of the polled topic (while queries go out): 5, or the
    // face's own period when that is shorter.
    static int polledEverySeconds(int pollEverySeconds);

    // The payloads, as the broker's subscribers read them.
    static QByteArray deviceJson(std::optional<bool> online, const QString& name, int group, const QString& groupName,
                                 const QDateTime& polled);
    static QByteArray eventJson(const AuditEntry& entry, bool withUser);
    // The polled topic's payload, `devices` in (group, id) order. Per group, runs of devices that follow one another, each
    // [first ID, last ID, seconds before now] for devices asked that long ago, the seconds
    // rounded down to a multiple of stepSeconds (so a run spans what was asked within one step);
    // a device not asked yet is in no run. periodSeconds: the time between the starts of the
    // last two poll rounds (0: not known yet); listed: when the list was built.
    static QByteArray polledJson(const std::vector<LastPoll>& devices, const QDateTime& now, int stepSeconds,
                                 int periodSeconds, const QDateTime& listed);

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
    void pollRoundStarted();
    void publishPolled();

    Session& m_session;
    MqttSettings m_settings;
    std::unique_ptr<MqttLink> m_link;
    std::map<Key, Device> m_devices; // as last published
    std::map<int, QString> m_groupNames;
    int m_scene = 0;
    bool m_portLost = false;
    QByteArray m_lastStatus;
    int m_pollEverySeconds = 0;
    QTimer m_polledTimer;
    bool m_askedSincePolled = false; // a query since the polled topic went out
    QDateTime m_listed;              // when m_devices was built
    QElapsedTimer m_roundStarted;    // since the start of the latest poll round
    int m_periodSeconds = 0;         // between the starts of the last two rounds; 0: not known
};

// What a face starts from DB.ini: the publisher, or nothing when [MQTT] names no host, the
// settings cannot be used or the program has no MQTT (*problem then says why, when it should be
// said).
std::unique_ptr<MqttPublisher> StartMqtt(Session& session, MqttProblem* problem);

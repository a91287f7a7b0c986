// The connection to the MQTT broker, on a thread of its own: what is published waits in memory
// and never holds up the caller. A broker that is down or goes away is tried again in the
// background, each time a little later (FirstRetryMs doubling up to LongestRetryMs); once it is
// back, every retained topic goes out again with its latest payload, and the events that
// waited follow (the newest MaxEventsWaiting of them).
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

#include "mqtt/mqttsettings.h"

class MqttLink : public QObject {
    Q_OBJECT
public:
    static constexpr int FirstRetryMs = 500;
    static constexpr int LongestRetryMs = 30000;
    static constexpr int MaxEventsWaiting = 1000;
    static constexpr int KeepAliveSeconds = 20;

    // willTopic/willPayload: what the broker publishes (retained) when the link ends without a
    // goodbye: the program died or its network went.
    MqttLink(const MqttSettings& settings, const QString& willTopic, const QByteArray& willPayload,
             QObject* parent = nullptr);
    ~MqttLink() override; // stop(0) when not stopped yet

    void start();
    // From any thread; returns at once. A retained topic keeps only its latest payload; an
    // empty retained payload clears the topic at the broker.
    void publish(const QString& topic, const QByteArray& payload, bool retain);
    // Sends what waits (at most waitMs for the broker to take it), then says goodbye.
    void stop(int waitMs = 1000);

    bool connected() const;
    // Messages the broker has taken since the start (a test's and a bench's measure).
    quint64 delivered() const;

signals:
    // The broker took the connection, or it could not be reached / was lost (reason in English,
    // from the library). Said on each change only, never for each retry.
    void connectedChanged(bool connected, const QString& reason);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

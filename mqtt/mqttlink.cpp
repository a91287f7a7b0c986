#include "mqtt/mqttlink.h"

#include <QCoreApplication>
#include <cstring>

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

struct Message {
    std::string topic;
    QByteArray payload;
};

std::once_flag libraryReady;

} // namespace

struct MqttLink::Impl {
    MqttLink* owner = nullptr;
    MqttSettings settings;
    std::string willTopic;
    QByteArray willPayload;

    std::mutex mutex;
    std::condition_variable wake;
    std::map<std::string, QByteArray> retained; // topic -> latest payload
    std::set<std::string> retainedDue;          // sent again at the next chance
    std::deque<Message> events;
    bool stopping = false;
    int stopWaitMs = 0;

    std::atomic<bool> connected { false };
    std::atomic<quint64> delivered { 0 };
    std::set<int> unacknowledged; // message ids the broker has not taken yet (link thread only)
    std::thread thread;

    // Link thread only.
    mosquitto* mosq = nullptr;
    bool socketUp = false;
    bool saidDown = false;
    bool everConnected = false;
    QString lastReason;

    void say(bool up, const QString& reason)
    {
        QMetaObject::invokeMethod(owner, [o = owner, up, reason] { emit o->connectedChanged(up, reason); },
                                  Qt::QueuedConnection);
    }

    static void onConnect(mosquitto*, void* self, int rc)
    {
        auto* d = static_cast<Impl*>(self);
        if (rc != 0) {
            d->lastReason = QString::fromUtf8(mosquitto_connack_string(rc));
            return;
        }
        {
            std::lock_guard lock(d->mutex);
            for (const auto& [topic, payload] : d->retained)
                d->retainedDue.insert(topic);
        }
        d->connected = true;
        d->everConnected = true;
        d->saidDown = false;
        d->say(true, QString());
    }

    static void onDisconnect(mosquitto*, void* self, int)
    {
        static_cast<Impl*>(self)->connected = false;
    }

    static void onPublish(mosquitto*, void* self, int mid)
    {
        auto* d = static_cast<Impl*>(self);
        d->unacknowledged.erase(mid);
        ++d->delivered;
    }

    void down(const QString& reason)
    {
        const bool was = connected.exchange(false);
        socketUp = false;
        if (!saidDown || was) {
            saidDown = true;
            say(false, reason);
        }
    }

    // Waits before the next attempt; false when the link is to end.
    bool pause(int ms)
    {
        std::unique_lock lock(mutex);
        return !wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
    }

    bool send(const std::string& topic, const QByteArray& payload, bool retain)
    {
        int mid = 0;
        const int rc = mosquitto_publish(mosq, &mid, topic.c_str(), int(payload.size()),
                                         payload.isEmpty() ? nullptr : payload.constData(), 1, retain);
        if (rc == MOSQ_ERR_SUCCESS)
            unacknowledged.insert(mid);
        return rc == MOSQ_ERR_SUCCESS;
    }

    // What waits goes out: retained topics first (their latest payloads), then the events.
    void sendWaiting()
    {
        std::unique_lock lock(mutex);
        while (!retainedDue.empty() && connected) {
            const std::string topic = *retainedDue.begin();
            const QByteArray payload = retained[topic];
            lock.unlock();
            const bool ok = send(topic, payload, true);
            lock.lock();
            if (!ok)
                return;
            // Published again meanwhile: its new payload is still due.
            if (retained[topic] == payload) {
                retainedDue.erase(topic);
                if (payload.isEmpty())
                    retained.erase(topic); // cleared at the broker
            }
        }
        while (!events.empty() && connected) {
            Message m = std::move(events.front());
            events.pop_front();
            lock.unlock();
            const bool ok = send(m.topic, m.payload, false);
            lock.lock();
            if (!ok) {
                events.push_front(std::move(m));
                return;
            }
        }
    }

    bool nothingWaiting()
    {
        std::lock_guard lock(mutex);
        return retainedDue.empty() && events.empty();
    }

    void run()
    {
        int retryMs = FirstRetryMs;
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (stopping)
                    break;
            }
            if (!socketUp) {
                const int rc = mosquitto_connect_async(mosq, settings.host.toUtf8().constData(), settings.port,
                                                       KeepAliveSeconds);
                if (rc != MOSQ_ERR_SUCCESS) {
                    down(QString::fromUtf8(rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc)));
                    if (!pause(retryMs))
                        break;
                    retryMs = std::min(retryMs * 2, int(LongestRetryMs));
                    continue;
                }
                socketUp = true;
                lastReason.clear();
            }
            const int rc = mosquitto_loop(mosq, 25, 1);
            if (rc != MOSQ_ERR_SUCCESS) {
                QString reason = lastReason;
                if (reason.isEmpty())
                    reason = QString::fromUtf8(rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
                down(reason);
                if (!pause(retryMs))
                    break;
                retryMs = std::min(retryMs * 2, int(LongestRetryMs));
                continue;
            }
            if (connected) {
                retryMs = FirstRetryMs;
                sendWaiting();
            }
        }
        // The end: what waits goes out while the broker takes it, then the goodbye.
        if (connected) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(stopWaitMs);
            while (connected && std::chrono::steady_clock::now() < deadline) {
                sendWaiting();
                if (nothingWaiting() && unacknowledged.empty())
                    break;
                if (mosquitto_loop(mosq, 10, 1) != MOSQ_ERR_SUCCESS)
                    break;
            }
            mosquitto_disconnect(mosq);
            mosquitto_loop(mosq, 10, 1);
        }
        connected = false;
    }
};

MqttLink::MqttLink(const MqttSettings& settings, const QString& willTopic, const QByteArray& willPayload, QObject* parent)
    : QObject(parent), d(std::make_unique<Impl>())
{
    std::call_once(libraryReady, [] { mosquitto_lib_init(); });
    d->owner = this;
    d->settings = settings;
    d->willTopic = willTopic.toStdString();
    d->willPayload = willPayload;
    const QByteArray clientId = QStringLiteral("tarvello-%1-%2").arg(settings.site).arg(QCoreApplication::applicationPid()).toUtf8();
    d->mosq = mosquitto_new(clientId.constData(), true, d.get());
    mosquitto_int_option(d->mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_will_set(d->mosq, d->willTopic.c_str(), int(willPayload.size()), willPayload.constData(), 1, true);
    if (!settings.user.isEmpty())
        mosquitto_username_pw_set(d->mosq, settings.user.toUtf8().constData(),
                                  settings.password.isEmpty() ? nullptr : settings.password.toUtf8().constData());
    if (!settings.caFile.isEmpty())
        mosquitto_tls_set(d->mosq, settings.caFile.toLocal8Bit().constData(), nullptr, nullptr, nullptr, nullptr);
    mosquitto_connect_callback_set(d->mosq, &Impl::onConnect);
    mosquitto_disconnect_callback_set(d->mosq, &Impl::onDisconnect);
    mosquitto_publish_callback_set(d->mosq, &Impl::onPublish);
}

MqttLink::~MqttLink()
{
    stop(0);
    mosquitto_destroy(d->mosq);
}

void MqttLink::start()
{
    if (!d->thread.joinable())
        d->thread = std::thread([this] { d->run(); });
}

void MqttLink::publish(const QString& topic, const QByteArray& payload, bool retain)
{
    std::lock_guard lock(d->mutex);
    std::string t = topic.toStdString();
    if (retain) {
        d->retained[t] = payload;
        d->retainedDue.insert(std::move(t));
    } else {
        d->events.push_back({ std::move(t), payload });
        if (d->events.size() > size_t(MaxEventsWaiting))
            d->events.pop_front();
    }
}

void MqttLink::stop(int waitMs)
{
    {
        std::lock_guard lock(d->mutex);
        d->stopping = true;
        d->stopWaitMs = waitMs;
    }
    d->wake.notify_all();
    if (d->thread.joinable())
        d->thread.join();
}

bool MqttLink::connected() const
{
    return d->connected;
}

quint64 MqttLink::delivered() const
{
    return d->delivered;
}

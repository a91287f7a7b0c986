#include "mqtt/mqttpublisher.h"

#include "audit/auditlog.h"
#include "common/version.h"
#include "core/session.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

QByteArray compact(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QString isoTime(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

} // namespace

MqttPublisher::MqttPublisher(Session& session, const MqttSettings& settings, QObject* parent)
    : QObject(parent), m_session(session), m_settings(settings)
{
    m_link = std::make_unique<MqttLink>(settings, settings.topicRoot() + QStringLiteral("/status"), statusJson(false));
    connect(m_link.get(), &MqttLink::connectedChanged, this, &MqttPublisher::brokerStateChanged);

    DeviceModel& rows = session.devices();
    connect(&rows, &QAbstractItemModel::modelReset, this, &MqttPublisher::rowsRebuilt);
    connect(&rows, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& from, const QModelIndex& to) {
                if (from.column() <= DeviceModel::StateColumn) // not a group label retranslated
                    rowsChanged(from.row(), to.row());
            });
    connect(&rows, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int first, int last) { rowsAdded(first, last); });
    connect(&session, &Session::portHungUp, this, &MqttPublisher::portLost);
    connect(&session, &Session::registerChanged, this, &MqttPublisher::rowsRebuilt);
    connect(&session.engine(), &ControlEngine::searchRunningChanged, this, [this](bool running) {
        if (!running)
            publishAll();
    });
    // Rows are recorded by whichever thread acts; each goes out from there, and what the status
    // takes from them is taken on this object's thread.
    connect(&session.audit(), &AuditLog::recorded, this, [this](const AuditEntry& entry) {
        m_link->publish(m_settings.topicRoot() + QStringLiteral("/events"), eventJson(entry, m_settings.publishUser), false);
        if (entry.action != QLatin1String("port") && entry.action != QLatin1String("log-in"))
            return;
        const bool portBack = entry.action == QLatin1String("port") && entry.detail != QLatin1String("lost");
        QMetaObject::invokeMethod(this, [this, portBack] {
            if (portBack)
                m_portLost = false;
            publishStatus();
        }, Qt::QueuedConnection);
    }, Qt::DirectConnection);

    // A round of the poll begins with its first query (a search brings up the same bar).
    connect(&session.engine(), &ControlEngine::progressStarted, this, [this] {
        if (!m_session.engine().searchRunning())
            pollRoundStarted();
    });
    m_polledTimer.setInterval(polledEverySeconds(m_pollEverySeconds) * 1000);
    connect(&m_polledTimer, &QTimer::timeout, this, [this] {
        if (m_askedSincePolled)
            publishPolled();
    });
    m_polledTimer.start();

    m_listed = QDateTime::currentDateTimeUtc();
    publishStatus();
    if (!rows.devices().empty())
        rowsRebuilt();
    m_link->start();
}

MqttPublisher::~MqttPublisher()
{
    publishStatus(false);
    m_link->stop(1000);
}

QByteArray MqttPublisher::deviceJson(std::optional<bool> online, const QString& name, int group, const QString& groupName,
                                     const QDateTime& polled)
{
    return compact({ { QStringLiteral("online"), online ? QJsonValue(*online) : QJsonValue(QJsonValue::Null) },
        { QStringLiteral("name"), name },
        { QStringLiteral("group"), group },
        { QStringLiteral("groupName"), groupName },
        { QStringLiteral("polled"), polled.isValid() ? QJsonValue(isoTime(polled)) : QJsonValue(QJsonValue::Null) } });
}

int MqttPublisher::polledEverySeconds(int pollEverySeconds)
{
    return pollEverySeconds > 0 ? std::min(pollEverySeconds, 5) : 5;
}

QByteArray MqttPublisher::polledJson(const std::vector<LastPoll>& devices, const QDateTime& now, int stepSeconds,
                                     int periodSeconds, const QDateTime& listed)
{
    const qint64 step = std::max(1, stepSeconds);
    struct Run {
        int group;
        int first;
        int last;
        std::optional<qint64> age;
    };
    std::map<int, QJsonArray> runs;
    std::optional<Run> run;
    const auto close = [&] {
        if (run && run->age)
            runs[run->group].append(QJsonArray { run->first, run->last, *run->age });
        run.reset();
    };
    for (const LastPoll& device : devices) {
        std::optional<qint64> age;
        if (device.time.isValid())
            age = std::max<qint64>(0, device.time.msecsTo(now)) / 1000 / step * step;
        if (run && run->group == device.group && run->age == age) {
            run->last = device.id;
            continue;
        }
        close();
        run = Run { device.group, device.id, device.id, age };
    }
    close();
    QJsonObject groups;
    for (const auto& [group, list] : runs)
        groups.insert(QString::number(group), list);
    return compact({ { QStringLiteral("time"), isoTime(now) },
        { QStringLiteral("periodSeconds"), periodSeconds > 0 ? QJsonValue(periodSeconds) : QJsonValue(QJsonValue::Null) },
        { QStringLiteral("listedSeconds"), std::max<qint64>(0, listed.msecsTo(now) / 1000) },
        { QStringLiteral("groups"), groups } });
}

QByteArray MqttPublisher::eventJson(const AuditEntry& entry, bool withUser)
{
    QJsonArray devices;
    for (const auto& [group, id] : entry.devices)
        devices.append(QJsonObject { { QStringLiteral("group"), group }, { QStringLiteral("id"), id } });
    QJsonObject o { { QStringLiteral("time"), isoTime(entry.time) },
        { QStringLiteral("level"), AuditLevelName(entry.level) },
        { QStringLiteral("source"), entry.source },
        { QStringLiteral("action"), entry.action },
        { QStringLiteral("detail"), entry.detail },
        { QStringLiteral("devices"), devices } };
    if (withUser)
        o.insert(QStringLiteral("user"), entry.user);
    return compact(o);
}

QByteArray MqttPublisher::statusJson(bool running) const
{
    if (!running)
        return compact({ { QStringLiteral("running"), false } });
    TComm& port = m_session.port();
    return compact({ { QStringLiteral("running"), true },
        { QStringLiteral("port"), QJsonObject { { QStringLiteral("name"), port.CommName() },
                                      { QStringLiteral("open"), port.isOpen() && !m_portLost },
                                      { QStringLiteral("lost"), m_portLost } } },
        { QStringLiteral("scene"), m_session.deviceRegister().Scene() },
        { QStringLiteral("level"), AuditLevelName(m_session.passwords().level()) },
        { QStringLiteral("version"), QString::fromLatin1(ProgramVersion()) },
        { QStringLiteral("pollEverySeconds"),
            m_pollEverySeconds > 0 ? QJsonValue(m_pollEverySeconds) : QJsonValue(QJsonValue::Null) } });
}

void MqttPublisher::setPollEvery(int seconds)
{
    m_pollEverySeconds = std::max(0, seconds);
    m_polledTimer.setInterval(polledEverySeconds(m_pollEverySeconds) * 1000);
    publishStatus();
}

void MqttPublisher::pollRoundStarted()
{
    if (m_roundStarted.isValid())
        m_periodSeconds = int((m_roundStarted.elapsed() + 999) / 1000);
    m_roundStarted.start();
}

void MqttPublisher::publishPolled()
{
    m_askedSincePolled = false;
    std::vector<LastPoll> devices;
    devices.reserve(m_devices.size());
    for (const auto& [key, device] : m_devices)
        devices.push_back({ key.first, key.second, device.polled });
    m_link->publish(QStringLiteral("%1/%2/polled").arg(m_settings.topicRoot()).arg(m_scene),
                    polledJson(devices, QDateTime::currentDateTimeUtc(), polledEverySeconds(m_pollEverySeconds),
                               m_periodSeconds, m_listed),
                    true);
}

void MqttPublisher::publishStatus(bool running)
{
    const QByteArray status = statusJson(running);
    if (status == m_lastStatus)
        return;
    m_lastStatus = status;
    m_link->publish(m_settings.topicRoot() + QStringLiteral("/status"), status, true);
}

QString MqttPublisher::deviceTopic(const Key& key) const
{
    return QStringLiteral("%1/%2/device/%3/%4").arg(m_settings.topicRoot()).arg(m_scene).arg(key.first).arg(key.second);
}

void MqttPublisher::publishDevice(const Key& key, const Device& device)
{
    m_link->publish(deviceTopic(key),
                    deviceJson(m_portLost ? std::nullopt : device.online, device.name, key.first, device.groupName, device.polled),
                    true);
}

void MqttPublisher::rowsRebuilt()
{
    publishStatus();
    const int scene = m_session.deviceRegister().Scene();
    if (scene != m_scene) {
        // Another register: its devices are other topics; the old scene's keep what they said.
        m_devices.clear();
        m_scene = scene;
    }
    m_groupNames.clear();
    try {
        if (m_session.sceneOpen())
            for (const auto& [id, name] : m_session.readGroups())
                m_groupNames[id] = name;
    } catch (const std::exception&) {
        // The face reports the table's failure; the names stay empty here.
    }
    // The rows are the register's devices, not asked yet. The same devices listed again (a
    // refresh, a group picked) change nothing; a register that changed is published whole.
    std::map<Key, Device> now;
    for (const DeviceRow& row : m_session.devices().devices())
        now[{ row.group, row.id }] = Device { std::nullopt, row.name, m_groupNames[row.group], {} };
    bool same = now.size() == m_devices.size();
    for (auto a = now.begin(), b = m_devices.begin(); same && a != now.end(); ++a, ++b)
        same = a->first == b->first && a->second.name == b->second.name && a->second.groupName == b->second.groupName;
    if (same)
        return;
    for (const auto& [key, device] : m_devices)
        if (!now.count(key))
            m_link->publish(deviceTopic(key), QByteArray(), true);
    m_devices = std::move(now);
    m_listed = QDateTime::currentDateTimeUtc();
    m_askedSincePolled = true; // the new list, none of it asked yet
    publishAll();
}

void MqttPublisher::publishAll()
{
    for (const auto& [key, device] : m_devices)
        publishDevice(key, device);
}

void MqttPublisher::rowsChanged(int first, int last)
{
    // Rows marked while the port is closed (a face marking them all off line as its port went)
    // were not asked: nothing can be vouched for through a lost port.
    if (!m_session.port().isOpen()) {
        portLost();
        return;
    }
    const auto& rows = m_session.devices().devices();
    for (int r = std::max(first, 0); r <= last && r < int(rows.size()); ++r) {
        const DeviceRow& row = rows[size_t(r)];
        const auto it = m_devices.find({ row.group, row.id });
        if (it == m_devices.end() || !row.online)
            continue;
        // Nothing is vouched for through a lost port, until something answers through it again.
        if (m_portLost) {
            if (!*row.online)
                continue;
            m_portLost = false;
            publishStatus();
        }
        Device& device = it->second;
        const bool changed = device.online != row.online;
        device.online = row.online;
        device.polled = QDateTime::currentDateTimeUtc();
        m_askedSincePolled = true;
        if (changed)
            publishDevice(it->first, device);
    }
}

void MqttPublisher::rowsAdded(int first, int last)
{
    // A search lists what it finds as it goes.
    const auto& rows = m_session.devices().devices();
    for (int r = first; r <= last && r < int(rows.size()); ++r) {
        const DeviceRow& row = rows[size_t(r)];
        Device& device = m_devices[{ row.group, row.id }];
        device.name = row.name;
        device.groupName = m_groupNames[row.group];
        device.online = row.online;
        if (row.online) {
            device.polled = QDateTime::currentDateTimeUtc();
            m_askedSincePolled = true;
        }
        publishDevice({ row.group, row.id }, device);
    }
}

void MqttPublisher::portLost()
{
    if (m_portLost)
        return;
    m_portLost = true;
    publishStatus();
    // Nothing can be vouched for through a lost port: every device is unknown until it answers.
    for (auto& [key, device] : m_devices)
        device.online.reset();
    publishAll();
}

#include "core/sessionaudit.h"

#include <QStringList>

#include <algorithm>

#include "access/passwordstore.h"
#include "protocol/engine.h"
#include "protocol/frames.h"

namespace {

QString address(int group, int id)
{
    return QStringLiteral("%1:%2").arg(group).arg(id);
}

} // namespace

SessionAudit::SessionAudit(AuditLog& log, TPasswordStore& passwords, ControlEngine& engine, QObject* parent)
    : QObject(parent), m_log(log), m_passwords(passwords), m_engine(engine)
{
    m_passwords.onLogInAttempt = [this](int32_t level) {
        record(QStringLiteral("log-in"), level == ModeNone ? QStringLiteral("refused") : AuditLevelName(level));
    };
    m_passwords.onLevelRaised = [this](int32_t from, int32_t to) {
        record(QStringLiteral("level-raised"),
            QStringLiteral("%1 -> %2, source: editor prompt").arg(AuditLevelName(from), AuditLevelName(to)));
    };
    m_passwords.onPasswordChanged = [this](int recordNo) {
        const int32_t level = recordNo == SuperUserRecord ? ModeSuperUser
            : recordNo == AdministratorRecord             ? ModeAdministrator
                                                          : ModeOperator;
        record(QStringLiteral("password-change"), QStringLiteral("the %1 password").arg(AuditLevelName(level)));
    };

    connect(&engine, &ControlEngine::pressed, this, [this](uint8_t command, const Targets& targets) {
        m_presses.push_back(Press { command, targets });
        if (m_presses.size() > MaxPressesWaiting)
            m_presses.pop_front();
    });
    connect(&engine, &ControlEngine::stoppedAll, this, [this] {
        if (m_stopCredits.empty()) {
            record(QStringLiteral("stop-all"), QStringLiteral("stop to every device"));
            return;
        }
        const StopCredit credit = m_stopCredits.front();
        m_stopCredits.pop_front();
        AuditEntry asked = entry(QStringLiteral("stop-all"), QStringLiteral("stop to every device, asked by %1").arg(credit.requester));
        asked.level = credit.level;
        asked.source = credit.source;
        m_log.record(std::move(asked));
    });
    connect(&engine, &ControlEngine::stopAllRefused, this, [this] {
        record(QStringLiteral("stop-all"), QStringLiteral("not sent: the port is closed; it goes when the port is back"));
    });
    connect(&engine, &ControlEngine::searchRunningChanged, this, [this](bool running) {
        if (running) {
            m_searching = true;
            m_searchFrom = m_engine.searchStart();
            m_searchTo = m_engine.searchEnd();
            m_found.clear();
            return;
        }
        if (!std::exchange(m_searching, false))
            return;
        QStringList found;
        for (const auto& [group, id] : m_found)
            found << address(group, id);
        record(QStringLiteral("search"),
            QStringLiteral("IDs %1-%2, %3 found%4").arg(m_searchFrom).arg(m_searchTo).arg(m_found.size())
                .arg(found.isEmpty() ? QString() : QStringLiteral(": ") + found.join(QLatin1Char(' '))),
            m_found);
    });
    connect(&engine, &ControlEngine::deviceFound, this, [this](int group, int id) {
        if (m_searching)
            m_found.emplace_back(group, id);
    });
    connect(&engine, &ControlEngine::selfCheckRunningChanged, this, [this](bool running) {
        if (running) {
            std::vector<AuditDevice> devices;
            const QString reached = describe(m_engine.selfCheckTargets(), &devices);
            record(QStringLiteral("self-check"),
                QStringLiteral("start, every %1 s: %2").arg(m_engine.selfCheckTimer.interval() / 1000).arg(reached),
                devices);
        } else {
            record(QStringLiteral("self-check"), QStringLiteral("stop"));
        }
    });
    connect(&engine, &ControlEngine::selfCheckStepped, this, [this](uint8_t command) {
        std::vector<AuditDevice> devices;
        const QString reached = describe(m_engine.selfCheckTargets(), &devices);
        record(QStringLiteral("self-check"), QStringLiteral("%1: %2").arg(commandName(command), reached), devices);
    });
    connect(&engine, &ControlEngine::readdressSent, this, [this](int group, int id, int newGroup, int newId) {
        const AuditDevice to { newGroup & 0x0F, newId };
        if (newId == 0) {
            readdressOver(group, id, QStringLiteral("%1 -> %2, not asked (ID 0)")
                                         .arg(group == BroadcastGroup ? QStringLiteral("every device") : address(group, id),
                                             address(to.first, to.second)));
            return;
        }
        m_readdressed[to] = { group, id };
    });
    connect(&engine, &ControlEngine::readdressVerified, this, [this](int group, int id, bool answered) {
        const auto it = m_readdressed.find({ group, id });
        if (it == m_readdressed.end())
            return;
        const AuditDevice from = it->second;
        m_readdressed.erase(it);
        const QString old = from.first == BroadcastGroup ? QStringLiteral("every device") : address(from.first, from.second);
        readdressOver(group, id, QStringLiteral("%1 -> %2, %3").arg(old, address(group, id),
                                     answered ? QStringLiteral("answers there") : QStringLiteral("did not answer there")));
    });
    connect(&engine, &ControlEngine::deviceAnswered, this, [this](int group, int id) { state(group, id, DeviceState::Online); });
    connect(&engine, &ControlEngine::deviceSilent, this, [this](int group, int id) { state(group, id, DeviceState::Offline); });
}

SessionAudit::~SessionAudit()
{
    m_passwords.onLogInAttempt = nullptr;
    m_passwords.onLevelRaised = nullptr;
    m_passwords.onPasswordChanged = nullptr;
    // Re-addressed devices never asked (the port went, the run ended) are recorded as such.
    for (const auto& [to, from] : std::map<AuditDevice, AuditDevice>(m_readdressed))
        readdressOver(to.first, to.second, QStringLiteral("%1 -> %2, not verified")
                                               .arg(address(from.first, from.second), address(to.first, to.second)));
}

AuditEntry SessionAudit::entry(const QString& action, const QString& detail, std::vector<AuditDevice> devices) const
{
    AuditEntry e;
    e.level = m_passwords.level();
    e.source = m_source;
    e.action = action;
    e.detail = detail;
    e.devices = std::move(devices);
    return e;
}

void SessionAudit::record(const QString& action, const QString& detail, std::vector<AuditDevice> devices)
{
    AuditEntry e = entry(action, detail, std::move(devices));
    // The re-address is recorded once it is checked: what was done to the device at its new
    // address waits for it, so the record reads in the order things happened. Its time is taken
    // when it is written.
    for (const AuditDevice& device : e.devices)
        if (m_readdressed.count(device)) {
            m_afterReaddress.emplace(device, std::move(e));
            return;
        }
    m_log.record(std::move(e));
}

void SessionAudit::creditNextStopAll(int level, const QString& source, const QString& requester)
{
    m_stopCredits.push_back(StopCredit { level, source, requester });
}

void SessionAudit::readdressOver(int group, int id, const QString& outcome)
{
    const AuditDevice device { group, id };
    m_log.record(entry(QStringLiteral("readdress"), outcome, { device }));
    const auto [first, last] = m_afterReaddress.equal_range(device);
    for (auto it = first; it != last; ++it)
        m_log.record(std::move(it->second));
    m_afterReaddress.erase(first, last);
}

void SessionAudit::frameLeft(const QByteArray& bytes)
{
    if (m_presses.empty() || bytes.size() < ShortFrameLength)
        return;
    const uint8_t command = DecodeFrame(reinterpret_cast<const uint8_t*>(bytes.constData())).code;
    const auto press = std::find_if(m_presses.begin(), m_presses.end(), [command](const Press& p) { return p.command == command; });
    if (press == m_presses.end())
        return; // another frame: a stop-all's, the self-check's, a re-address
    std::vector<AuditDevice> devices;
    const QString reached = describe(press->targets, &devices);
    record(QStringLiteral("move"), QStringLiteral("%1: %2").arg(commandName(command), reached), devices);
    m_presses.erase(m_presses.begin(), press + 1);
}

void SessionAudit::portOpened(const QString& name)
{
    record(QStringLiteral("port"), QStringLiteral("opened %1").arg(name));
}

void SessionAudit::portLost()
{
    record(QStringLiteral("port"), QStringLiteral("lost"));
    allUnknown();
}

void SessionAudit::allUnknown()
{
    // Nothing can be asked through a closed port.
    for (auto& [device, known] : m_states)
        if (known != DeviceState::Unknown)
            state(device.first, device.second, DeviceState::Unknown);
}

void SessionAudit::portBack()
{
    record(QStringLiteral("port"), QStringLiteral("back"));
}

void SessionAudit::rowsRebuilt(const std::vector<AuditDevice>& devices)
{
    for (const auto& [group, id] : devices)
        state(group, id, DeviceState::Unknown);
}

void SessionAudit::state(int group, int id, DeviceState now)
{
    const AuditDevice device { group, id };
    const auto it = m_states.find(device);
    // A device first seen unknown has nothing to record yet.
    if (it == m_states.end() ? now == DeviceState::Unknown : it->second == now)
        return;
    m_states[device] = now;
    StateChange change;
    change.group = group;
    change.id = id;
    change.state = now;
    m_log.recordState(change);
}

QString SessionAudit::commandName(uint8_t command)
{
    switch (command) {
    case CmdUp: return QStringLiteral("up");
    case CmdDown: return QStringLiteral("down");
    case CmdStop: return QStringLiteral("stop");
    case CmdForward: return QStringLiteral("forward");
    case CmdBackward: return QStringLiteral("backward");
    default: return QStringLiteral("command %1").arg(command, 2, 16, QLatin1Char('0'));
    }
}

QString SessionAudit::describe(const Targets& targets, std::vector<AuditDevice>* devices)
{
    QStringList parts;
    for (uint8_t group : targets.groups)
        parts << (group == BroadcastGroup ? QStringLiteral("every device") : QStringLiteral("group %1").arg(group));
    for (const auto& [group, id] : targets.devices) {
        parts << address(group, id);
        if (devices)
            devices->emplace_back(group, id);
    }
    return parts.join(QStringLiteral(", "));
}

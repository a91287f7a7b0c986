#include "core/session.h"

#include "common/datadir.h"
#include "common/state.h"
#include "core/stoprequests.h"
#include "protocol/bussettings.h"
#include "serial/portname.h"

#include <QDeadlineTimer>
#include <QThread>

namespace {

QByteArray bytesOf(const uint8_t* buffer, uint16_t length)
{
    return QByteArray(reinterpret_cast<const char*>(buffer), buffer ? length : 0);
}

// The settings' name of a language, as the language selectors show it.
QString languageName(int16_t language)
{
    return language == 1 ? QStringLiteral("English") : QStringLiteral("简体中文");
}

} // namespace

Session::Session(const QString& dataDir, PortPaths portPaths, int32_t edition, QObject* parent)
    : QObject(parent)
    , m_dataDir(dataDir)
    , m_settings(dataDir + QStringLiteral("/DB.ini"))
    , m_passwords(dataDir)
    , m_register(dataDir)
    , m_table(m_register, [this](const std::exception& e) {
        if (onTableError)
            onTableError(e);
    })
    , m_port(this)
    , m_tx([this](const uint8_t* buffer, uint16_t length) {
        const bool taken = m_port.WriteData(buffer, length);
        if (taken)
            emit frameHandedOver(bytesOf(buffer, length));
        return taken;
    })
    , m_engine(m_table, m_tx)
    , m_edition(edition)
    , m_audit(dataDir, auditKeepDays(m_settings))
    , m_auditTrail(m_audit, m_passwords, m_engine)
{
    m_passwords.setEdition(edition);
    ApplyComm1Defaults(m_port);
    applyBusSettings();
    m_engine.setReceivedCount([this] { return m_port.receivedBytes(); });
    m_port.PortResolver = [this, portPaths = std::move(portPaths)](const QString& name) {
        if (portPaths)
            return portPaths(name);
        return ResolvePortName(name, [this](const QString& key) {
            return m_settings.ReadString(QStringLiteral("PORTS"), key, QString());
        });
    };
    m_port.OnReceiveData = [this](TComm*, const uint8_t* buffer, uint16_t length) { m_engine.receive(buffer, length); };
    m_port.OnSendDataEmpty = [this](TComm*) { m_engine.lineIdle(); };
    m_port.OnDataWritten = [this](TComm*, const uint8_t* buffer, uint16_t length) {
        m_auditTrail.frameLeft(bytesOf(buffer, length));
        emit frameLeft(bytesOf(buffer, length));
        m_engine.frameWritten();
    };
    m_port.OnRequestHangup = [this](TComm*) {
        m_auditTrail.portLost();
        emit portHungUp();
    };
    // A frame counts as sent once it has left the port; a stop-all takes back what has not.
    m_engine.setLogWhenWritten(true);
    m_tx.Purge = [this] { return m_port.PurgeOutput().size(); };
    detachFace();
    connect(&m_engine, &ControlEngine::deviceAnswered, &m_devices, [this](int group, int id) { m_devices.setOnline(group, id, true); });
    connect(&m_engine, &ControlEngine::deviceSilent, &m_devices, [this](int group, int id) { m_devices.setOnline(group, id, false); });
    // Rows built anew are unknown until they are asked.
    connect(&m_devices, &QAbstractItemModel::modelReset, this, [this] {
        std::vector<AuditDevice> rows;
        for (const DeviceRow& row : m_devices.devices())
            rows.emplace_back(row.group, row.id);
        m_auditTrail.rowsRebuilt(rows);
    });
}

int Session::auditKeepDays(TIniFile& settings)
{
    // A value that keeps nothing (or no number) is taken for a typing error: the default holds.
    const int days = settings.ReadInteger(QStringLiteral("AUDIT"), QStringLiteral("KeepDays"), AuditLog::DefaultKeepDays);
    return days >= 1 ? days : AuditLog::DefaultKeepDays;
}

Session::~Session()
{
    // A run that ends (a signal, a stop-all that ended a search) still sends what it owes: the
    // stops leave the port before it closes.
    if (m_port.isOpen())
        endWorkOnPort(false);
    // Nothing the engine still has running may reach a port that is going.
    m_engine.halt();
    m_engine.setRows(nullptr);
    m_port.OnReceiveData = nullptr;
    m_port.OnSendDataEmpty = nullptr;
    m_port.OnDataWritten = nullptr;
    m_port.OnRequestHangup = nullptr;
    m_port.ClosePort();
}

int Session::sceneSetting(bool* valid)
{
    const int scene = m_settings.ReadInteger(QStringLiteral("SCENE"), QStringLiteral("Current"), 1);
    const bool inRange = scene >= 1 && scene <= SceneCount;
    if (valid)
        *valid = inRange;
    return inRange ? scene : 1;
}

int16_t Session::languageSetting()
{
    const QString language = m_settings.ReadString(QStringLiteral("LANGUAGE"), QStringLiteral("Language"), QString());
    if (language.isNull()) {
        const int16_t desktop = SystemLanguage();
        m_settings.WriteWithNextSave(QStringLiteral("LANGUAGE"), QStringLiteral("Language"), languageName(desktop));
        return desktop;
    }
    return language == QStringLiteral("English") ? 1 : 0;
}

bool Session::setLanguage(int16_t language, bool save)
{
    setCurrentLanguage(language);
    bool saved = true;
    if (save && (language == 0 || language == 1))
        saved = m_settings.WriteString(QStringLiteral("LANGUAGE"), QStringLiteral("Language"), languageName(language));
    emit languageChanged(language);
    return saved;
}

QString Session::portSetting()
{
    return m_settings.ReadString(QStringLiteral("COM"), QStringLiteral("num"), QStringLiteral("COM1"));
}

void Session::creditStopRequest()
{
    const std::vector<StopRequester> askers = TakeStopRequesters(m_dataDir);
    if (askers.empty())
        return;
    QStringList named;
    for (const StopRequester& r : askers)
        named << QStringLiteral("%1 (process %2)").arg(r.source.isEmpty() ? QStringLiteral("another program") : r.source).arg(r.pid);
    // Requests that came together are answered by one stop-all: the first to ask is credited.
    m_auditTrail.creditNextStopAll(askers.front().level, askers.front().source.isEmpty() ? m_auditTrail.source() : askers.front().source,
                                   named.join(QStringLiteral(", ")));
}

void Session::openScene(int scene)
{
    if (m_register.Scene() != scene) {
        m_register.Close();
        m_register.SetScene(scene);
    }
    m_register.Open();
}

std::vector<std::pair<int, QString>> Session::readGroups()
{
    std::vector<std::pair<int, QString>> out;
    TTable& groups = m_register.Group_Table;
    for (groups.First(); !groups.Eof(); groups.Next())
        out.emplace_back(static_cast<int>(groups.FieldByName(QStringLiteral("ID")).AsLargeInt()),
                         groups.FieldByName(QStringLiteral("Name")).AsString());
    return out;
}

std::vector<DeviceRow> Session::readDevices()
{
    std::vector<DeviceRow> out;
    TTable& members = m_register.Member_Table;
    for (members.First(); !members.Eof(); members.Next())
        out.push_back({ static_cast<int>(members.FieldByName(QStringLiteral("Group_ID")).AsLargeInt()),
                        members.FieldByName(QStringLiteral("ID")).AsInteger(),
                        members.FieldByName(QStringLiteral("Name")).AsString(), std::nullopt, QString() });
    return out;
}

void Session::undoMoves(const std::vector<ReaddressMove>& moves)
{
    TTable& members = m_register.Member_Table;
    try {
        for (const ReaddressMove& m : moves) {
            const int oldId = m.oldId >= 0 ? m.oldId : m.id;
            if (!members.Active() || !members.Locate(QStringLiteral("ID"), m.id)) continue;
            if (members.FieldByName(QStringLiteral("Group_ID")).AsInteger() != m.targetGroup) continue;
            if (oldId != m.id && members.Locate(QStringLiteral("ID"), oldId)) continue; // its old ID is taken
            members.Locate(QStringLiteral("ID"), m.id);
            members.Edit();
            members.SetFieldByName(QStringLiteral("ID"), oldId);
            members.SetFieldByName(QStringLiteral("Group_ID"), m.sourceGroup);
            members.Post();
        }
    } catch (const std::exception& e) {
        if (members.Editing())
            members.Cancel();
        if (onTableError)
            onTableError(e);
    }
}

bool Session::sceneOpen()
{
    return m_register.Member_Table.Active() && m_register.Group_Table.Active();
}

void Session::closeStores()
{
    m_register.Close();
    m_passwords.Close();
}

void Session::endWorkOnPort(bool stopMoving)
{
    if (m_port.isOpen()) {
        m_engine.endForPortChange(stopMoving);
        // The stops and the frame already on the line leave before the port closes; the port's
        // reports of them are taken first, so only what never left counts as dropped.
        const QDeadlineTimer until(StopDrainLimitMs);
        while (m_port.isOpen() && !m_port.SendDataEmpty() && !until.hasExpired())
            QThread::msleep(2);
        m_port.DeliverPendingEvents();
    }
    m_port.ClosePort();
    m_engine.portClosed();
}

void Session::applyBusSettings()
{
    ApplyBusSettings(m_settings, m_engine, m_port);
}

void Session::detachFace()
{
    onTableError = nullptr;
    m_engine.setPortState([this] { return m_port.isOpen(); });
    m_devices.clear();
    m_engine.setRows(&m_devices);
}

#include "core/sessionrun.h"

#include "protocol/bussettings.h"
#include "common/state.h"
#include "serial/portname.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>

namespace {

QString tableErrorText(const std::exception& e)
{
    if (const auto* table = dynamic_cast<const ETableError*>(&e)) {
        const QString text = table->Text(1);
        if (!text.isEmpty())
            return text;
    }
    return QString::fromLocal8Bit(e.what());
}

} // namespace

SessionRun::SessionRun(const QString& dataDir, std::optional<int> scene, const QString& port)
    : m_session(dataDir)
    , m_passwords(m_session.passwords())
    , m_register(m_session.deviceRegister())
    , m_comm(m_session.port())
    , m_engine(m_session.engine())
    , m_rows(m_session.devices())
{
    // A settings file out of range counts as scene 1, as in the window; it is not written here.
    m_session.auditTrail().setSource(QStringLiteral("tarvello-ctl"));
    m_scene = scene.value_or(m_session.sceneSetting());
    if (m_scene < 1 || m_scene > Session::SceneCount)
        m_scene = 1;
    m_portName = port.isEmpty() ? m_session.portSetting() : port;
    m_comm.setCommName(m_portName);
    m_session.onTableError = [this](const std::exception& e) { m_tableErrors << tableErrorText(e); };
    m_engine.setPortState([this] { return m_comm.isOpen() && !m_portLost; });
    QObject::connect(&m_session, &Session::frameHandedOver, &m_session, [this](const QByteArray& bytes) {
        Handed h;
        h.bytes.assign(bytes.begin(), bytes.end());
        if (bytes.size() >= ShortFrameLength) {
            const auto* b = reinterpret_cast<const uint8_t*>(bytes.constData());
            h.frame.address = b[3];
            h.frame.id = uint16_t((b[4] << 8) | b[5]);
            h.frame.command = b[6];
            h.frame.hex = QString::fromStdString(HexLine(b, size_t(bytes.size()))).trimmed();
        }
        m_handed.push_back(std::move(h));
    });
    QObject::connect(&m_session, &Session::frameLeft, &m_session, [this](const QByteArray& bytes) {
        // Reported in the order handed over; a buffer the port never wrote is never reported.
        const auto* written = reinterpret_cast<const uint8_t*>(bytes.constData());
        for (Handed& h : m_handed) {
            if (!h.left && h.bytes.size() == size_t(bytes.size()) && std::equal(h.bytes.begin(), h.bytes.end(), written)) {
                h.left = true;
                ++m_framesLeft;
                break;
            }
        }
    });
    QObject::connect(&m_session, &Session::portHungUp, &m_session, [this] {
        // A device that went away ends the run: nothing more can be vouched for.
        m_comm.ClosePort();
        m_portLost = true;
        m_engine.portClosed();
    });
    QObject::connect(&m_engine, &ControlEngine::deviceFound, &m_rows, [this](int group, int id) {
        m_searched.emplace_back(id, group);
        m_rows.addDevice({ group, id, QString(), true, QString() });
    });
    QObject::connect(&m_engine, &ControlEngine::searchRunningChanged, &m_rows, [this](bool running) {
        if (running)
            m_rows.clear();
    });
    QObject::connect(&m_engine, &ControlEngine::message, &m_rows, [this](EngineMessage m) { m_messages.push_back(m); });
    QObject::connect(&m_engine, &ControlEngine::readdressUnanswered, &m_rows, [this](const std::vector<int>&) {
        m_unansweredReported = true;
    });
}

SessionRun::~SessionRun()
{
    // What the run still owes leaves the port while this run still hears of the frames: stops
    // owed, a stop-all's second stop, and (after a signal) a stop to what a press was still sending.
    m_session.endWorkOnPort(false);
    m_register.Close();
    m_passwords.Close();
}

int SessionRun::logIn(const QString& password)
{
    m_passwords.setLevel(ModeNone);
    if (!m_passwords.Exists())
        throw RunError(RunError::LogInRefused,
            QStringLiteral("no passwords are set in %1: start the control centre once to set them")
                .arg(m_passwords.FileName()));
    try {
        m_passwords.Open();
    } catch (const ETableError& e) {
        throw RunError(RunError::DataFile, PasswordStoreErrorText(e, 1));
    }
    // The log-in's row carries the level the password opened.
    const int level = m_passwords.levelOf(password);
    m_passwords.setLevel(level);
    m_passwords.logInAttempted(level);
    if (level == ModeNone)
        throw RunError(RunError::LogInRefused, QStringLiteral("The password is WRONG."));
    return level;
}

void SessionRun::openRegister()
{
    try {
        m_register.SetScene(m_scene);
        m_register.Open();
    } catch (const std::exception& e) {
        throw RunError(RunError::DataFile, tableErrorText(e));
    }
}

std::vector<RunDevice> SessionRun::registeredDevices()
{
    std::vector<RunDevice> out;
    try {
        for (const DeviceRow& row : m_session.readDevices())
            out.push_back({ row.id, row.group, row.name, std::nullopt });
    } catch (const std::exception& e) {
        throw RunError(RunError::DataFile, tableErrorText(e));
    }
    std::sort(out.begin(), out.end(), [](const RunDevice& a, const RunDevice& b) { return a.id < b.id; });
    return out;
}

QString SessionRun::portDescription() const
{
    const QString path = m_comm.PortResolver(m_portName);
    return path == m_portName ? m_portName : QStringLiteral("%1 (%2)").arg(m_portName, path);
}

void SessionRun::openPort(const QString& whenInUse)
{
    try {
        m_comm.OpenPort();
        // A port lost before is back: what was said of the loss no longer holds.
        m_portLost = false;
        std::erase(m_messages, EngineMessage::PortClosed);
        m_session.auditTrail().portOpened(m_portName);
    } catch (const ECommsError& e) {
        // The port layer opens exclusively: a port that exists but does not open is held by
        // another program, the running control centre above all, or not accessible to us.
        const QString path = m_comm.PortResolver(m_portName);
        QString why = QString::fromLatin1(e.what()).trimmed();
        bool inUse = why.contains(QLatin1String("in use")); // a device server's refusal
        if (path.startsWith(QLatin1Char('/')) && QFileInfo::exists(path)) {
            why += QStringLiteral(": the port is already in use (is the control centre running on it?) "
                                  "or not accessible");
            inUse = true;
        } else if (path.startsWith(QLatin1Char('/'))) {
            why += QStringLiteral(": no such port");
        }
        if (inUse && !whenInUse.isEmpty())
            why += QStringLiteral("; ") + whenInUse;
        throw RunError(RunError::Port, QStringLiteral("%1: %2").arg(portDescription(), why));
    }
}

bool SessionRun::runUntil(const std::function<bool()>& done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    check.setInterval(5);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || m_portLost || m_interrupted)
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start();
    loop.exec();
    return done();
}

void SessionRun::loadRows()
{
    std::vector<DeviceRow> rows;
    for (const RunDevice& d : registeredDevices())
        rows.push_back({ d.group, d.id, d.name, std::nullopt, QString() });
    m_rows.setDevices(std::move(rows));
}

bool SessionRun::told(EngineMessage message) const
{
    return std::find(m_messages.begin(), m_messages.end(), message) != m_messages.end();
}

void SessionRun::throwTableErrors()
{
    if (!m_tableErrors.isEmpty())
        throw RunError(RunError::DataFile, m_tableErrors.join(QLatin1Char('\n')));
}

void SessionRun::throwIfPortLost()
{
    if (m_portLost || told(EngineMessage::PortClosed))
        throw RunError(RunError::Port, QStringLiteral("%1: the port was lost").arg(portDescription()));
}

std::vector<RunDevice> SessionRun::poll()
{
    std::vector<RunDevice> devices = registeredDevices();
    loadRows();
    if (m_rows.devices().empty())
        return devices;
    m_engine.prepareRebuild();
    m_engine.startPoll();
    // One query a row: 500 ms for the first time-out, 190 ms each after, an answer at once.
    const int bound = 2000 + int(m_rows.devices().size()) * 600;
    runUntil(
        [this] {
            return !m_engine.pollRunning()
                && std::all_of(m_rows.devices().begin(), m_rows.devices().end(),
                    [](const DeviceRow& r) { return r.online.has_value(); });
        },
        bound);
    m_engine.stopPoll();
    throwIfPortLost();
    throwTableErrors();
    for (size_t i = 0; i < devices.size() && i < m_rows.devices().size(); ++i)
        devices[i].online = m_rows.devices()[i].online;
    return devices;
}

std::vector<RunDevice> SessionRun::search(int from, int to)
{
    loadRows();
    // The caller has had the search confirmed already (tarvello-ctl asks, or was told --yes).
    m_engine.searchClicked(from, to, [] { return true; });
    if (!m_engine.searchRunning()) {
        if (told(EngineMessage::SearchRangeWrong))
            throw RunError(RunError::Usage,
                QStringLiteral("The range of ID is WRONG: FROM and TO from 1 to %1, FROM not above TO.")
                    .arg(HighestDeviceId));
        throwIfPortLost();
        throwTableErrors();
        throw RunError(RunError::DataFile, QStringLiteral("the search did not start"));
    }
    // One probe an ID, at most 190 ms each (a little more on a loaded machine).
    const int bound = 5000 + (to - from + 1) * 400;
    if (!runUntil([this] { return !m_engine.searchRunning(); }, bound))
        m_engine.stopSearch();
    throwIfPortLost();
    throwTableErrors();
    std::vector<RunDevice> found;
    for (const auto& [id, group] : m_searched)
        found.push_back({ id, group, QString(), true });
    return found;
}

namespace {

RunFrame plannedFrame(uint8_t group, uint16_t id, uint8_t command)
{
    RunFrame f;
    f.address = AddressByte(group);
    f.id = id;
    f.command = command;
    return f;
}

} // namespace

MotionResult SessionRun::move(uint8_t command, const MotionRequest& targets)
{
    if (command != CmdUp && command != CmdDown && command != CmdStop && command != CmdForward && command != CmdBackward)
        throw RunError(RunError::Usage, QStringLiteral("unknown motion command"));
    loadRows();
    Selection chosen;
    chosen.rowCount = int(m_rows.devices().size());
    if (targets.all) {
        chosen.everyDevice = true;
    } else if (!targets.groups.empty()) {
        // Ticked in the group list: in its order, each once.
        chosen.checkedGroups = targets.groups;
        std::sort(chosen.checkedGroups.begin(), chosen.checkedGroups.end());
        chosen.checkedGroups.erase(std::unique(chosen.checkedGroups.begin(), chosen.checkedGroups.end()), chosen.checkedGroups.end());
    } else {
        // Single devices are picked in the list of all devices, as in the window, with no entry
        // checked: each gets a frame of its own at the group the register holds for it, even when
        // every registered device is named, since the bus may carry devices the register lacks.
        const auto& rows = m_rows.devices();
        for (int id : targets.devices)
            if (std::none_of(rows.begin(), rows.end(), [id](const DeviceRow& r) { return r.id == id; }))
                throw RunError(RunError::Usage, QStringLiteral("device %1 is not in the register of scene %2").arg(id).arg(m_scene));
        // Selected in the list: in its order, each once.
        for (const DeviceRow& r : rows)
            if (std::find(targets.devices.begin(), targets.devices.end(), r.id) != targets.devices.end())
                chosen.selectedRows.push_back({ r.id, r.group });
    }

    // What the press is to send: its group frames, then its device frames.
    const Targets reached = m_session.targets(command, chosen);
    std::vector<RunFrame> planned;
    for (uint8_t group : reached.groups)
        planned.push_back(plannedFrame(group, 0, command));
    for (const auto& [group, id] : reached.devices)
        planned.push_back(plannedFrame(group, id, command));

    const size_t before = m_handed.size();
    m_engine.move(command, reached);
    MotionResult result = waitForFrames(before, std::move(planned));
    throwTableErrors();
    return result;
}

MotionResult SessionRun::waitForFrames(size_t before, std::vector<RunFrame> planned)
{
    // The rest of a press leaves one frame per write-empty event, a stop-all's repeat after its
    // answer window. Waited for as long as frames keep leaving, so that a long list on a slow
    // line is not cut short.
    auto allLeft = [this] {
        return !m_engine.motionPending() && !m_engine.stopAllPending()
            && m_framesLeft == m_handed.size() && m_comm.SendDataEmpty() && m_comm.isOpen() && !m_portLost;
    };
    if (!allLeft() && !m_portLost) {
        QEventLoop loop;
        QTimer check;
        check.setInterval(5);
        QElapsedTimer sinceLast;
        sinceLast.start();
        size_t left = m_framesLeft;
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            // A signal ends the wait: the run's end stops what the press was still sending.
            if (allLeft() || m_portLost || m_interrupted) {
                loop.quit();
            } else if (m_framesLeft != left || m_engine.stopAllPending()) {
                left = m_framesLeft;
                sinceLast.restart();
            } else if (sinceLast.elapsed() > FrameStallLimitMs) {
                loop.quit();
            }
        });
        check.start();
        loop.exec();
    }

    MotionResult result;
    result.portLost = m_portLost;
    for (size_t i = before; i < m_handed.size(); ++i) {
        if (!m_handed[i].left)
            continue;
        const RunFrame& f = m_handed[i].frame;
        auto match = std::find_if(planned.begin(), planned.end(), [&f](const RunFrame& p) {
            return p.address == f.address && p.id == f.id && p.command == f.command;
        });
        if (match == planned.end())
            continue;
        planned.erase(match);
        result.sent.push_back(f);
    }
    result.unsent = std::move(planned);
    return result;
}

MotionResult SessionRun::stopAll()
{
    // The window's stop-all: the broadcast stop, and once more after one answer window of the
    // timing in force, as devices never confirm a stop and a collision may swallow one.
    const size_t before = m_handed.size();
    m_engine.stopAll();
    return waitForFrames(before,
        { plannedFrame(BroadcastGroup, 0, CmdStop), plannedFrame(BroadcastGroup, 0, CmdStop) });
}

bool SessionRun::readdress(int group, int id, int newGroup, int newId)
{
    TTable& members = m_register.Member_Table;
    RunDevice before;
    try {
        if (!members.Locate(QStringLiteral("ID"), id)
            || members.FieldByName(QStringLiteral("Group_ID")).AsInteger() != group)
            throw RunError(RunError::Usage,
                QStringLiteral("device %1:%2 is not in the register of scene %3").arg(group).arg(id).arg(m_scene));
        before = { id, group, members.FieldByName(QStringLiteral("Name")).AsString(), std::nullopt };
        if (newId != id && members.Locate(QStringLiteral("ID"), newId))
            throw RunError(RunError::Usage, QStringLiteral("ID %1 is already in the register of scene %2").arg(newId).arg(m_scene));
        // The register follows first; the frame reaches the device where the register had it.
        members.Locate(QStringLiteral("ID"), id);
        members.Edit();
        members.SetFieldByName(QStringLiteral("ID"), newId);
        members.SetFieldByName(QStringLiteral("Group_ID"), newGroup);
        members.Post();
    } catch (const ETableError& e) {
        if (members.Editing())
            members.Cancel();
        throw RunError(RunError::DataFile, tableErrorText(e));
    }

    m_rows.setDevices({ DeviceRow { newGroup & 0x0F, newId, before.name, std::nullopt, QString() } });
    // A stop-all (one handed over by another program, say) takes back a frame that has not gone
    // out yet: the device keeps its address, and so must the register.
    std::vector<ReaddressMove> takenBack;
    const QMetaObject::Connection dropped = QObject::connect(&m_engine, &ControlEngine::readdressDropped, &m_rows,
        [&takenBack](const std::vector<ReaddressMove>& moves) { takenBack.insert(takenBack.end(), moves.begin(), moves.end()); });
    const auto stopListening = qScopeGuard([&dropped] { QObject::disconnect(dropped); });
    const auto throwIfTakenBack = [&] {
        const ReaddressMove move { group, newGroup, newId, newId != id ? id : -1 };
        if (std::find(takenBack.begin(), takenBack.end(), move) == takenBack.end())
            return;
        m_session.undoMoves({ move });
        throwTableErrors();
        throw RunError(RunError::Port, QStringLiteral("%1: a stop-all took the re-address back before it went out: "
                                                      "device %2:%3 keeps its address, and so does the register")
                                           .arg(portDescription()).arg(group).arg(id));
    };
    if (!m_engine.sendReaddress(group, id, newGroup, newId)) {
        try {
            members.Locate(QStringLiteral("ID"), newId);
            members.Edit();
            members.SetFieldByName(QStringLiteral("ID"), before.id);
            members.SetFieldByName(QStringLiteral("Group_ID"), before.group);
            members.Post();
        } catch (const ETableError&) {
            if (members.Editing())
                members.Cancel();
        }
        throw RunError(RunError::Port, QStringLiteral("%1: the frame could not be sent").arg(portDescription()));
    }
    // The engine asks the device at its new address once the frame has left.
    runUntil([&] { return m_rows.devices().front().online.has_value() || m_unansweredReported || !takenBack.empty(); }, 5000);
    throwIfTakenBack();
    throwIfPortLost();
    return m_rows.devices().front().online.value_or(false);
}

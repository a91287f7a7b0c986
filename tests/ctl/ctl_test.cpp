// tarvello-ctl as a script runs it: a separate process, the password in TARVELLO_PASSWORD, its
// port the simulated bus of this test. What counts is what the devices hear, what the register
// holds afterwards, the lines printed and the exit status.

#include "access/passwordstore.h"
#include "audit/auditlog.h"
#include "common/datadir.h"
#include "common/state.h"
#include "core/sessionrun.h"
#include "register/register.h"
#include "serial/comm.h"
#include "sim/bus_simulator.h"
#include "../support/register_fill.h"
#include "../support/ser2net.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using namespace std::chrono_literals;

const QString OperatorPassword = QStringLiteral("oper1");
const QString AdministratorPassword = QStringLiteral("admin1");
const QString SuperUserPassword = QStringLiteral("super1");

struct CtlRun {
    int exitCode = -1;
    QStringList lines; // standard output
    QString errors;    // standard error
    std::vector<QJsonObject> json() const
    {
        std::vector<QJsonObject> out;
        for (const QString& line : lines)
            out.push_back(QJsonDocument::fromJson(line.toUtf8()).object());
        return out;
    }
};

struct Frame {
    uint8_t address;
    uint16_t id;
    uint8_t command;
    bool operator==(const Frame&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Frame& f)
{
    return os << std::hex << int(f.address) << ":" << std::dec << f.id << ":" << std::hex << int(f.command) << std::dec;
}

// A line whose sending stops for good once the first frame has reached it, as when a port's
// transmitter is held: XON/XOFF flow control is switched on for the program's side of the
// pseudo-terminal (the master reaches the slave's settings) and XOFF sent, so the program's
// writes find no room.
class StoppingLine {
public:
    StoppingLine()
        : m_master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        m_path = QString::fromLocal8Bit(ptsname(m_master));
        m_slave = ::open(ptsname(m_master), O_RDWR | O_NOCTTY | O_CLOEXEC); // no hang-up for the master
        m_reader = std::thread([this] {
            uint8_t buffer[256];
            for (pollfd p { m_master, POLLIN, 0 }; !m_end;) {
                const ssize_t n = ::poll(&p, 1, 20) > 0 ? ::read(m_master, buffer, sizeof buffer) : 0;
                if (n > 0 && (m_bytes += size_t(n)) >= size_t(ShortFrameLength) && !m_stopped) {
                    termios t {};
                    tcgetattr(m_master, &t);
                    t.c_iflag |= IXON;
                    tcsetattr(m_master, TCSANOW, &t);
                    const uint8_t xoff = 0x13;
                    m_stopped = ::write(m_master, &xoff, 1) == 1;
                }
            }
        });
    }
    ~StoppingLine()
    {
        m_end = true;
        if (m_reader.joinable())
            m_reader.join();
        ::close(m_slave);
        ::close(m_master);
    }
    QString path() const { return m_path; }
    size_t framesHeard() const { return m_bytes / ShortFrameLength; }
    // Stops the line now: probes from the far end make the first frame; true once a write finds no room.
    bool hold()
    {
        fcntl(m_slave, F_SETFL, O_NONBLOCK);
        for (int tries = 0; tries < 500; ++tries) { // a guard against a line that never stops
            const uint8_t probe = 0;
            if (::write(m_slave, &probe, 1) < 0 && errno == EAGAIN)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

private:
    int m_master = -1, m_slave = -1;
    QString m_path;
    std::atomic<size_t> m_bytes { 0 };
    bool m_stopped = false;
    std::atomic<bool> m_end { false };
    std::thread m_reader;
};

// The bus is reached directly, or through ser2net as a raw TCP or an RFC 2217 device server.
enum class Route { Direct, RawTcp, Rfc2217 };
const char* routeName(Route r) { return r == Route::Direct ? "Direct" : r == Route::RawTcp ? "RawTcp" : "Rfc2217"; }
void PrintTo(Route r, std::ostream* os) { *os << routeName(r); }

class CtlTest : public ::testing::TestWithParam<Route> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        dataDir = tmp.path() + QStringLiteral("/DFiles");
        TPasswordStore store(dataDir);
        ASSERT_TRUE(store.Create(AdministratorPassword, OperatorPassword, SuperUserPassword));
        ASSERT_NO_THROW(sim.start());
        portName = QString::fromStdString(sim.slavePath());
        if (GetParam() != Route::Direct) {
            if (findSer2net().empty())
                GTEST_SKIP() << "ser2net is not installed (scripts/setup-deps installs it)";
            // As an installation beside a running window sets it up: a second client is turned
            // away, not given the port.
            server = std::make_unique<Ser2net>(sim.slavePath(), GetParam() == Route::Rfc2217, false);
            ASSERT_TRUE(server->ready()) << server->log();
            portName = server->name(GetParam() == Route::Rfc2217);
        }
    }

    void TearDown() override { sim.stop(); }

    void registerDevices(const std::vector<std::tuple<int, int, QString>>& devices) { FillRegister(dataDir, devices); }

    std::map<int, int> registered() // id -> group
    {
        TRegister reg(dataDir);
        reg.Open();
        std::map<int, int> out;
        TTable& t = reg.Member_Table;
        for (t.First(); !t.Eof(); t.Next())
            out[t.FieldByName(QStringLiteral("ID")).AsInteger()] = t.FieldByName(QStringLiteral("Group_ID")).AsInteger();
        reg.Close();
        return out;
    }

    // No password: TARVELLO_PASSWORD is not set at all.
    CtlRun ctl(QStringList args, const std::optional<QString>& password = OperatorPassword)
    {
        args << QStringLiteral("--data-dir") << dataDir << QStringLiteral("--port") << portName;
        return ctlAsTyped(args, password);
    }

    // The arguments as they are, without this test's data directory and port.
    CtlRun ctlAsTyped(const QStringList& args, const std::optional<QString>& password = OperatorPassword)
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (password)
            env.insert(QStringLiteral("TARVELLO_PASSWORD"), *password);
        else
            env.remove(QStringLiteral("TARVELLO_PASSWORD"));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(TARVELLO_CTL_EXE), args);
        p.closeWriteChannel();
        CtlRun r;
        if (!p.waitForFinished(60000)) {
            p.kill();
            p.waitForFinished();
            ADD_FAILURE() << "tarvello-ctl did not end: " << args.join(' ').toStdString();
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.lines = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        r.errors = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    std::vector<Frame> heard() const
    {
        std::vector<Frame> out;
        for (const ReceivedFrame& f : sim.frames())
            out.push_back({ f.address, f.id, f.command });
        return out;
    }

    QTemporaryDir tmp;
    QString dataDir;
    BusSimulator sim;
    std::unique_ptr<Ser2net> server;
    QString portName;
};

TEST_P(CtlTest, PollReportsEachRegisteredDeviceAndFailsWhenOneIsSilent)
{
    sim.addDevice(2, 5);
    sim.addDevice(2, 6);
    registerDevices({ { 2, 5, QStringLiteral("Hoist A") }, { 2, 6, QStringLiteral("Hoist B") }, { 7, 40, QStringLiteral("Gone") } });

    const CtlRun r = ctl({ QStringLiteral("poll"), QStringLiteral("--json") });
    EXPECT_EQ(r.exitCode, 5) << r.errors.toStdString();
    const auto rows = r.json();
    ASSERT_EQ(rows.size(), 3u);
    const std::vector<std::tuple<int, int, bool>> expected { { 5, 2, true }, { 6, 2, true }, { 40, 7, false } };
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i][QStringLiteral("id")].toInt(), std::get<0>(expected[i]));
        EXPECT_EQ(rows[i][QStringLiteral("group")].toInt(), std::get<1>(expected[i]));
        EXPECT_EQ(rows[i][QStringLiteral("online")].toBool(), std::get<2>(expected[i]));
    }
    EXPECT_EQ(rows[0][QStringLiteral("name")].toString(), QStringLiteral("Hoist A"));
    EXPECT_EQ(heard(), (std::vector<Frame> { { 0xE2, 5, CmdAskState }, { 0xE2, 6, CmdAskState }, { 0xE7, 40, CmdAskState } }));

    // Everyone answers: success, as a table.
    sim.addDevice(7, 40);
    const CtlRun again = ctl({ QStringLiteral("poll") });
    EXPECT_EQ(again.exitCode, 0) << again.errors.toStdString();
    ASSERT_EQ(again.lines.size(), 4); // heading and three rows
    EXPECT_TRUE(again.lines[3].contains(QStringLiteral("on line")));
}

TEST_P(CtlTest, SearchReplacesTheRegisterOnlyWhenConfirmed)
{
    sim.addDevice(2, 4);
    sim.addDevice(7, 6);
    sim.addDevice(1, 20); // outside the range
    registerDevices({ { 3, 100, QStringLiteral("Old") } });

    // Not on a terminal and no --yes: refused before anything is sent or emptied.
    const CtlRun refused = ctl({ QStringLiteral("search"), QStringLiteral("3"), QStringLiteral("8") });
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_TRUE(refused.errors.contains(QStringLiteral("--yes")));
    EXPECT_TRUE(heard().empty());
    EXPECT_EQ(registered(), (std::map<int, int> { { 100, 3 } }));

    const CtlRun r = ctl({ QStringLiteral("search"), QStringLiteral("3"), QStringLiteral("8"), QStringLiteral("--yes"),
        QStringLiteral("--json") });
    EXPECT_EQ(r.exitCode, 0) << r.errors.toStdString();
    const auto found = r.json();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0][QStringLiteral("id")].toInt(), 4);
    EXPECT_EQ(found[0][QStringLiteral("group")].toInt(), 2);
    EXPECT_EQ(found[1][QStringLiteral("id")].toInt(), 6);
    EXPECT_EQ(found[1][QStringLiteral("group")].toInt(), 7);
    EXPECT_EQ(registered(), (std::map<int, int> { { 4, 2 }, { 6, 7 } }));
    EXPECT_TRUE(QFileInfo::exists(dataDir + QStringLiteral("/Member1.before-search.DB")));
    std::vector<uint16_t> probed;
    for (const Frame& f : heard())
        probed.push_back(f.id);
    EXPECT_EQ(probed, (std::vector<uint16_t> { 3, 4, 5, 6, 7, 8 }));

    // A range with nobody in it: the devices did not answer.
    EXPECT_EQ(ctl({ QStringLiteral("search"), QStringLiteral("30"), QStringLiteral("31"), QStringLiteral("--yes") }).exitCode, 5);
}

// Each target reaches what was named and nothing wider: the frames on the line and the devices
// that moved, with the register and the bus differing as they do at a venue.
TEST_P(CtlTest, MoveReachesOnlyTheTargetsNamed)
{
    using Address = std::pair<int, int>; // group, id
    const std::vector<Address> bus { { 2, 5 }, { 2, 6 }, { 3, 7 }, { 7, 40 } };
    struct Case {
        std::vector<Address> registered;
        QStringList args;
        std::vector<Frame> frames;
        std::vector<Address> reached; // the devices whose motion the command set
    };
    const std::vector<Case> cases {
        // Every registered device named: each gets its own frame; 2:6 and 3:7 hear nothing.
        { { { 2, 5 } }, { "up", "--device", "5" }, { { 0xE2, 5, CmdUp } }, { { 2, 5 } } },
        { { { 2, 5 }, { 2, 6 }, { 7, 40 } }, { "backward", "--device", "5", "6", "40" },
            { { 0xE2, 5, CmdBackward }, { 0xE2, 6, CmdBackward }, { 0xE7, 40, CmdBackward } },
            { { 2, 5 }, { 2, 6 }, { 7, 40 } } },
        { { { 2, 5 }, { 2, 6 }, { 7, 40 } }, { "forward", "--device", "5", "40" },
            { { 0xE2, 5, CmdForward }, { 0xE7, 40, CmdForward } }, { { 2, 5 }, { 7, 40 } } },
        { { { 2, 5 }, { 2, 6 }, { 7, 40 } }, { "stop", "--device", "6" }, { { 0xE2, 6, CmdStop } }, { { 2, 6 } } },
        // In the list's order, each once, however they were typed.
        { { { 2, 5 }, { 7, 40 } }, { "down", "--device", "40", "5", "5" }, { { 0xE2, 5, CmdDown }, { 0xE7, 40, CmdDown } },
            { { 2, 5 }, { 7, 40 } } },
        // At the group the register holds, not where the device happens to be.
        { { { 4, 7 } }, { "up", "--device", "7" }, { { 0xE4, 7, CmdUp } }, {} },
        // Groups the register has no device in are sent to when asked for with --force.
        { { { 2, 5 } }, { "down", "--group", "5", "2", "5", "--force" }, { { 0xE2, 0, CmdDown }, { 0xE5, 0, CmdDown } },
            { { 2, 5 }, { 2, 6 } } },
        { {}, { "up", "--group", "3", "--force" }, { { 0xE3, 0, CmdUp } }, { { 3, 7 } } },
        { { { 2, 5 } }, { "up", "--all" }, { { 0xFF, 0, CmdUp } }, bus },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        std::vector<std::tuple<int, int, QString>> rows;
        for (const auto& [group, id] : c.registered)
            rows.emplace_back(group, id, QString());
        registerDevices(rows);
        sim.clearDevices();
        // Stop is seen on devices that were moving.
        const Motion before = c.args[0] == QLatin1String("stop") ? Motion::Up : Motion::Stopped;
        for (const auto& [group, id] : bus) {
            sim.addDevice(uint8_t(group), uint16_t(id));
            sim.setMotion(uint8_t(group), uint16_t(id), before);
        }
        sim.clearLog();

        const CtlRun r = ctl(QStringList { QStringLiteral("move") } + c.args + QStringList { QStringLiteral("--json") });
        EXPECT_EQ(r.exitCode, 0) << r.errors.toStdString();
        EXPECT_EQ(r.lines.size(), qsizetype(c.frames.size()));
        sim.waitForFrames(c.frames.size(), 2s);
        EXPECT_EQ(heard(), c.frames);
        std::vector<Address> reached;
        for (const SimDevice& d : sim.devices())
            if (d.motion != before)
                reached.emplace_back(d.group, d.id);
        EXPECT_EQ(reached, c.reached);
    }

    // A device the register does not have is refused; nothing is sent.
    sim.clearLog();
    EXPECT_EQ(ctl({ QStringLiteral("move"), QStringLiteral("up"), QStringLiteral("--device"), QStringLiteral("77") }).exitCode, 2);
    EXPECT_EQ(ctl({ QStringLiteral("move"), QStringLiteral("up") }).exitCode, 2);
    EXPECT_TRUE(heard().empty());
}

TEST_P(CtlTest, ReaddressNeedsTheAdministratorAndMovesDeviceAndRegister)
{
    sim.addDevice(2, 5);
    registerDevices({ { 2, 5, QStringLiteral("Hoist A") }, { 4, 8, {} } });
    const QStringList args { QStringLiteral("readdress"), QStringLiteral("--from"), QStringLiteral("2:5"),
        QStringLiteral("--to"), QStringLiteral("3:9"), QStringLiteral("--json") };

    const CtlRun operatorRun = ctl(args, OperatorPassword);
    EXPECT_EQ(operatorRun.exitCode, 3);
    EXPECT_TRUE(heard().empty());
    EXPECT_EQ(registered(), (std::map<int, int> { { 5, 2 }, { 8, 4 } }));

    const CtlRun r = ctl(args, AdministratorPassword);
    EXPECT_EQ(r.exitCode, 0) << r.errors.toStdString();
    ASSERT_EQ(r.json().size(), 1u);
    EXPECT_TRUE(r.json()[0][QStringLiteral("answered")].toBool());
    EXPECT_TRUE(sim.hasDevice(3, 9));
    EXPECT_FALSE(sim.hasDevice(2, 5));
    EXPECT_EQ(registered(), (std::map<int, int> { { 9, 3 }, { 8, 4 } }));

    // A registered device that is not on the bus: the frame goes, nobody answers at 5:8.
    EXPECT_EQ(ctl({ "readdress", "--from", "4:8", "--to", "5:8" }, AdministratorPassword).exitCode, 5);
    // Not where the register has it: refused.
    EXPECT_EQ(ctl({ "readdress", "--from", "2:9", "--to", "2:10" }, AdministratorPassword).exitCode, 2);
}

// Old and new IDs are those of one device, 1 to 999: ID 0 in a frame is every device of the group.
TEST_P(CtlTest, ReaddressRefusesAddressesOfNoSingleDevice)
{
    sim.addDevice(2, 5);
    registerDevices({ { 2, 5, {} } });
    struct Case {
        QString from, to, says;
    };
    const std::vector<Case> cases {
        { "2:5", "3:0", "an ID must be a number from 1 to 999: 0" },
        { "2:0", "3:5", "an ID must be a number from 1 to 999: 0" },
        { "2:5", "3:1000", "an ID must be a number from 1 to 999: 1000" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.from + " -> " + c.to).toStdString());
        const CtlRun r = ctl({ "readdress", "--from", c.from, "--to", c.to }, AdministratorPassword);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.errors.contains(c.says)) << r.errors.toStdString();
    }
    EXPECT_TRUE(heard().empty());
    EXPECT_EQ(registered(), (std::map<int, int> { { 5, 2 } }));
}

TEST_P(CtlTest, ListPrintsTheRegisterWithoutTouchingTheBus)
{
    registerDevices({ { 2, 5, QStringLiteral("吊杆 A") }, { 0, 11, QStringLiteral("Spare") } });
    const CtlRun table = ctl({ QStringLiteral("list") });
    EXPECT_EQ(table.exitCode, 0) << table.errors.toStdString();
    ASSERT_EQ(table.lines.size(), 3);
    EXPECT_TRUE(table.lines[1].contains(QStringLiteral("吊杆 A")));
    EXPECT_TRUE(table.lines[2].contains(QStringLiteral("Spare")));

    const CtlRun json = ctl({ QStringLiteral("list"), QStringLiteral("--json") });
    ASSERT_EQ(json.json().size(), 2u);
    EXPECT_EQ(json.json()[1][QStringLiteral("id")].toInt(), 11);
    EXPECT_EQ(json.json()[1][QStringLiteral("group")].toInt(), 0);
    EXPECT_TRUE(heard().empty());
}

TEST_P(CtlTest, RefusalsHaveTheirOwnExitStatus)
{
    registerDevices({ { 2, 5, {} } });
    struct Case {
        QString password;
        QStringList args;
        int exitCode;
    };
    const std::vector<Case> cases {
        { QStringLiteral("wrong"), { "poll" }, 3 },
        { QString(), { "list" }, 3 },
        // The customer edition takes the super-user's password at no level.
        { SuperUserPassword, { "list" }, 3 },
        { OperatorPassword, { "search", "9", "3", "--yes" }, 2 },
        { OperatorPassword, { "move", "sideways", "--all" }, 2 },
        { OperatorPassword, { "list", "--scene", "13" }, 2 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString() + " / " + c.password.toStdString());
        const CtlRun r = ctl(c.args, c.password);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.errors.toStdString();
        EXPECT_TRUE(r.lines.isEmpty());
        EXPECT_FALSE(c.password.size() > 0 && r.errors.contains(c.password)) << "the password is never shown";
    }

    // A register that cannot be read is a data file failure.
    QFile members(dataDir + QStringLiteral("/Member1.DB"));
    ASSERT_TRUE(members.open(QIODevice::WriteOnly | QIODevice::Truncate));
    members.write("not a table");
    members.close();
    const CtlRun broken = ctl({ QStringLiteral("list") });
    EXPECT_EQ(broken.exitCode, 1) << broken.errors.toStdString();
    EXPECT_TRUE(broken.lines.isEmpty());
    EXPECT_TRUE(heard().empty());

    // So is a password file that cannot be read, and the message says how to start afresh.
    QFile passwords(dataDir + QStringLiteral("/SysSet.DB"));
    ASSERT_TRUE(passwords.open(QIODevice::WriteOnly | QIODevice::Truncate));
    passwords.write("not a table either");
    passwords.close();
    const CtlRun noPasswords = ctl({ QStringLiteral("list") });
    EXPECT_EQ(noPasswords.exitCode, 1) << noPasswords.errors.toStdString();
    EXPECT_TRUE(noPasswords.errors.contains(QStringLiteral("move the file aside"))) << noPasswords.errors.toStdString();
}

TEST_P(CtlTest, APortHeldByTheWindowIsNeverShared)
{
    registerDevices({ { 2, 5, {} } });
    sim.addDevice(2, 5);
    TComm window; // the control centre holding its port
    ApplyComm1Defaults(window);
    window.setCommName(portName);
    ASSERT_NO_THROW(window.OpenPort());

    for (const char* command : { "poll", "move" }) {
        SCOPED_TRACE(command);
        QStringList args { QString::fromLatin1(command) };
        if (args[0] == QLatin1String("move"))
            args << QStringLiteral("stop") << QStringLiteral("--all");
        const CtlRun r = ctl(args);
        EXPECT_EQ(r.exitCode, 4);
        EXPECT_TRUE(r.errors.contains(QStringLiteral("already in use"))) << r.errors.toStdString();
    }
    EXPECT_TRUE(heard().empty());

    window.ClosePort();
    EXPECT_EQ(ctl({ QStringLiteral("poll") }).exitCode, 0);
}

// Status 0 only once every frame has left the port; 4 when the port is not ours or a frame
// stayed behind, with the frames that did not go out named.
TEST_P(CtlTest, ExitStatusSaysWhetherEveryFrameLeft)
{
    registerDevices({ { 2, 5, {} } });
    sim.addDevice(2, 5);
    enum class Line { Simulated, HeldByWindow, StopsAfterFirstFrame };
    struct Case {
        QStringList args;
        std::optional<QString> password;
        Line line;
        int exitCode;
        QString says;             // in the messages
        std::vector<Frame> heard; // on the simulated bus
    };
    QStringList everyGroup { "move", "down", "--force", "--group" };
    for (int g = 0; g <= 15; ++g)
        everyGroup << QString::number(g);
    const std::vector<Case> cases {
        { { "move", "up", "--device", "5" }, OperatorPassword, Line::Simulated, 0, {}, { { 0xE2, 5, CmdUp } } },
        { { "move", "stop", "--all" }, OperatorPassword, Line::HeldByWindow, 4, "already in use", {} },
        // A move stop that cannot go names the stop that always does.
        { { "move", "stop", "--all" }, QStringLiteral("wrong"), Line::Simulated, 3, "stop-all stops every device", {} },
        { everyGroup, OperatorPassword, Line::StopsAfterFirstFrame, 4, "of 16 frames did not go out: group", {} },
        // A stop needs no password, and goes twice.
        { { "stop-all" }, std::nullopt, Line::Simulated, 0, {}, { { 0xFF, 0, CmdStop }, { 0xFF, 0, CmdStop } } },
        { { "stop-all" }, QStringLiteral("wrong"), Line::Simulated, 0, {}, { { 0xFF, 0, CmdStop }, { 0xFF, 0, CmdStop } } },
        { { "stop-all" }, std::nullopt, Line::HeldByWindow, 4, "F12", {} },
        { { "stop-all" }, std::nullopt, Line::StopsAfterFirstFrame, 4, "1 of 2 frames did not go out: all devices", {} },
    };
    const QString simulated = portName;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        // The stopped line is a pseudo-terminal of its own: a device server would take the
        // frames whatever its line does.
        if (c.line == Line::StopsAfterFirstFrame && GetParam() != Route::Direct)
            continue;
        sim.clearLog();
        std::optional<StoppingLine> stopping;
        TComm window; // the control centre holding the port
        if (c.line == Line::StopsAfterFirstFrame) {
            stopping.emplace();
            portName = stopping->path();
        } else if (c.line == Line::HeldByWindow) {
            ApplyComm1Defaults(window);
            window.setCommName(portName);
            ASSERT_NO_THROW(window.OpenPort());
        }
        const CtlRun r = ctl(c.args, c.password);
        portName = simulated;
        EXPECT_EQ(r.exitCode, c.exitCode) << r.errors.toStdString();
        EXPECT_TRUE(r.errors.contains(c.says)) << r.errors.toStdString();
        sim.waitForFrames(c.heard.size(), 2s);
        EXPECT_EQ(heard(), c.heard);
        // What is printed as sent is what reached the line.
        EXPECT_EQ(size_t(r.lines.size()), stopping ? stopping->framesHeard() : c.heard.size());
    }
}

// The audit record is the administrator's to read: what tarvello-ctl audit prints of it, and what
// it says of a record changed by hand. The port plays no part, so one route is enough.
class CtlAuditTest : public CtlTest {};

TEST_P(CtlAuditTest, AuditIsReadByTheAdministratorAndShowsAChangedRow)
{
    auto day = [](int d) { return QDateTime(QDate(2026, 3, d), QTime(12, 0), Qt::UTC); };
    {
        AuditLog log(dataDir, 0);
        const std::vector<std::tuple<int, QString, QString, AuditDevice>> rows {
            { 1, "move", "up", { 2, 5 } }, { 5, "log-in", "from the window", { 0, 0 } }, { 9, "move", "down 吊杆", { 2, 55 } } };
        for (const auto& [d, action, detail, device] : rows) {
            AuditEntry e;
            e.time = day(d);
            e.level = ModeOperator;
            e.source = QStringLiteral("window");
            e.user = QStringLiteral("ana");
            e.action = action;
            e.detail = detail;
            if (device.second != 0)
                e.devices = { device };
            log.record(e);
        }
    }
    struct Case {
        const char* name;
        QString password;
        QStringList args;
        const char* tamper; // SQL run on Audit.DB first
        int exitCode;
        QStringList details; // --json: the details printed, in order
        QString says;        // else: in the output
    };
    const std::vector<Case> cases {
        { "the operator is refused", OperatorPassword, { "audit" }, nullptr, 3, {}, {} },
        { "moves, newest first", AdministratorPassword, { "audit", "--json", "--action", "move" }, nullptr, 0,
          { "down 吊杆", "up" }, {} },
        { "one device, not 2:55", AdministratorPassword, { "audit", "--json", "--device", "2:5" }, nullptr, 0, { "up" }, {} },
        { "whole days", AdministratorPassword, { "audit", "--json", "--since", "2026-03-04", "--until", "2026-03-09",
          "--action", "move,log-in" }, nullptr, 0, { "down 吊杆", "from the window" }, {} },
        { "plain lines", AdministratorPassword, { "audit", "--action", "log-in" }, nullptr, 0, {}, "operator" },
        { "a date that is none", AdministratorPassword, { "audit", "--since", "March" }, nullptr, 2, {}, {} },
        { "intact", AdministratorPassword, { "audit", "--verify" }, nullptr, 0, {}, "intact: " },
        { "changed by hand", AdministratorPassword, { "audit", "--verify" }, "UPDATE Actions SET detail = 'down' WHERE seq = 1",
          1, {}, "row 1 has been changed" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.tamper) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(QFile::encodeName(dataDir + "/Audit.DB").constData(), &db), SQLITE_OK);
            EXPECT_EQ(sqlite3_exec(db, c.tamper, nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        }
        const CtlRun r = ctl(c.args, c.password);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.errors.toStdString();
        if (c.exitCode == 3 || c.exitCode == 2) {
            EXPECT_TRUE(r.lines.isEmpty());
        }
        if (!c.says.isEmpty()) {
            EXPECT_TRUE(r.lines.join('\n').contains(c.says)) << r.lines.join('\n').toStdString();
        }
        if (!c.args.contains("--json") || c.exitCode != 0)
            continue;
        ASSERT_EQ(r.lines.size(), 1);
        const QJsonArray array = QJsonDocument::fromJson(r.lines[0].toUtf8()).array();
        QStringList details;
        for (const QJsonValue& v : array) {
            const QJsonObject o = v.toObject();
            details << o["detail"].toString();
            EXPECT_EQ(o.keys(), (QStringList { "action", "detail", "level", "source", "time", "user" }));
            if (o["user"].toString() == "ana") {
                EXPECT_EQ(o["level"].toString(), "operator");
                EXPECT_EQ(o["source"].toString(), "window");
                EXPECT_EQ(QDateTime::fromString(o["time"].toString(), Qt::ISODateWithMs).date().month(), 3);
            }
        }
        EXPECT_EQ(details, c.details);
    }
}

// Whatever tarvello-ctl does is in the record once, with the level that did it and the face; no
// byte of the record holds a password typed, right or wrong.
TEST_P(CtlAuditTest, EveryActionLeavesOneRowWithItsLevelAndSource)
{
    sim.addDevice(2, 5);
    registerDevices({ { 2, 5, QStringLiteral("Hoist A") } });
    const QString wrong = QStringLiteral("not-the-pass9");
    struct Step {
        QStringList args;
        std::optional<QString> password;
        QString action;      // the row this run leaves besides its log-in and port
        int level;
        const char* detail;
    };
    const std::vector<Step> steps {
        { { "poll" }, wrong, {}, ModeNone, "refused" },
        { { "move", "up", "--device", "5" }, OperatorPassword, "move", ModeOperator, "up: 2:5" },
        // Stop-all asks for no password: nobody is logged in for it.
        { { "stop-all" }, std::nullopt, "stop-all", ModeNone, "stop to every device" },
        { { "search", "4", "6", "--yes" }, AdministratorPassword, "search", ModeAdministrator, "IDs 4-6, 1 found: 2:5" },
        { { "readdress", "--from", "2:5", "--to", "3:9" }, AdministratorPassword, "readdress", ModeAdministrator,
          "2:5 -> 3:9, answers there" },
    };
    for (const Step& step : steps)
        ctl(step.args, step.password);

    const std::vector<AuditRow> rows = AuditLog(dataDir, 0).rows({});
    std::map<QString, int> count;
    for (const AuditRow& row : rows) {
        ++count[row.action];
        EXPECT_EQ(row.source, QStringLiteral("tarvello-ctl"));
    }
    EXPECT_EQ(count[QStringLiteral("log-in")], 4);
    // A log-in's row carries the level its password opened.
    for (const AuditRow& row : rows)
        if (row.action == QLatin1String("log-in"))
            EXPECT_EQ(row.detail == QLatin1String("refused") ? AuditLevelName(ModeNone) : row.detail, AuditLevelName(row.level));
    EXPECT_EQ(count[QStringLiteral("port")], 4); // every run but the refused one opened it
    for (const Step& step : steps) {
        SCOPED_TRACE(step.args.join(' ').toStdString());
        const QString action = step.action.isEmpty() ? QStringLiteral("log-in") : step.action;
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const AuditRow& r) {
            return r.action == action && r.detail == QLatin1String(step.detail);
        });
        ASSERT_NE(row, rows.end());
        EXPECT_EQ(row->level, step.level);
        if (!step.action.isEmpty()) {
            EXPECT_EQ(count[step.action], 1);
        }
    }
    for (const QString& name : QDir(dataDir).entryList({ QStringLiteral("Audit.DB*") }, QDir::Files)) {
        QFile file(dataDir + QLatin1Char('/') + name);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        for (const QString& typed : { wrong, OperatorPassword, AdministratorPassword })
            EXPECT_FALSE(bytes.contains(typed.toUtf8())) << name.toStdString();
    }
}

// What a new operator ran into: arguments that did something nobody asked for, and a second
// program on the same data directory. One route is enough.
class CtlOddsTest : public CtlTest {};

TEST_P(CtlOddsTest, ListWritesNothingAndNamesTheGroups)
{
    registerDevices({ { 2, 5, QStringLiteral("Hoist A") }, { 0, 11, QStringLiteral("Spare") } });
    {
        TRegister reg(dataDir);
        reg.Open();
        ASSERT_TRUE(reg.Group_Table.Locate(QStringLiteral("ID"), 2));
        reg.Group_Table.Edit();
        reg.Group_Table.SetFieldByName(QStringLiteral("Name"), QStringLiteral("舞台左侧"));
        reg.Group_Table.Post();
    }
    // The register's files and the lock; the audit record takes the log-in's row.
    auto files = [&] { return QDir(dataDir).entryList({ "Member*", "Group*", "*.lock" }, QDir::Files | QDir::Hidden); };
    const QStringList before = files();

    const CtlRun other = ctl({ QStringLiteral("list"), QStringLiteral("--scene"), QStringLiteral("2") });
    EXPECT_EQ(other.exitCode, 0) << other.errors.toStdString();
    EXPECT_EQ(other.lines.size(), 1); // the heading alone
    EXPECT_TRUE(other.errors.contains(QStringLiteral("scene 2 has no register"))) << other.errors.toStdString();
    const CtlRun table = ctl({ QStringLiteral("list") });
    ASSERT_EQ(table.lines.size(), 3) << table.errors.toStdString();
    EXPECT_TRUE(table.lines[1].contains(QStringLiteral("舞台左侧")) && table.lines[1].contains(QStringLiteral("Hoist A")));
    // Group 0 in English, as the window says it; the register keeps its stored name.
    EXPECT_TRUE(table.lines[2].contains(QStringLiteral("Ungrouped")) && !table.lines[2].contains(UngroupedName()))
        << table.lines[2].toStdString();
    // The names start in one column of the terminal, where a Chinese character is two columns wide.
    const auto nameColumn = [](const QString& line, const QString& name) {
        const QString before = line.left(line.lastIndexOf(name));
        int columns = 0;
        for (const QChar c : before)
            columns += c.unicode() >= 0x2E80 ? 2 : 1;
        return columns;
    };
    EXPECT_EQ(nameColumn(table.lines[1], QStringLiteral("Hoist A")), nameColumn(table.lines[0], QStringLiteral("NAME")))
        << table.lines.join('\n').toStdString();
    EXPECT_EQ(nameColumn(table.lines[2], QStringLiteral("Spare")), nameColumn(table.lines[0], QStringLiteral("NAME")))
        << table.lines.join('\n').toStdString();
    const CtlRun json = ctl({ QStringLiteral("list"), QStringLiteral("--json") });
    ASSERT_EQ(json.json().size(), 2u);
    EXPECT_EQ(json.json()[0][QStringLiteral("groupName")].toString(), QStringLiteral("舞台左侧"));
    EXPECT_EQ(json.json()[1][QStringLiteral("groupName")].toString(), UngroupedName());
    EXPECT_EQ(files(), before);
}

// tarvello-ctl run by a person: a pseudo-terminal is its controlling terminal and its standard
// streams, TARVELLO_PASSWORD is not set, and each prompt is answered as it appears. The exit
// status and everything the terminal showed.
std::pair<int, QByteArray> ctlOnTerminal(const QStringList& args, const std::vector<std::pair<QByteArray, QByteArray>>& answers)
{
    // Everything the child needs is made before the fork.
    std::vector<QByteArray> words { QByteArray(TARVELLO_CTL_EXE) }, environment;
    for (const QString& a : args)
        words.push_back(a.toLocal8Bit());
    for (char** e = environ; *e; ++e)
        if (!QByteArray(*e).startsWith("TARVELLO_PASSWORD="))
            environment.push_back(*e);
    std::vector<char*> argv, envp;
    for (QByteArray& w : words)
        argv.push_back(w.data());
    for (QByteArray& e : environment)
        envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    QByteArray shown;
    qsizetype answeredUpTo = 0;
    size_t next = 0;
    // A guard against a run that hangs, not a measure of anything.
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    for (pollfd p { master, POLLIN, 0 }; pid > 0 && std::chrono::steady_clock::now() < giveUp;) {
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char buffer[512];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0)
            break; // the program ended and closed the terminal
        shown.append(buffer, n);
        const qsizetype prompt = next < answers.size() ? shown.indexOf(answers[next].first, answeredUpTo) : -1;
        if (prompt >= 0) {
            answeredUpTo = prompt + answers[next].first.size();
            [[maybe_unused]] ssize_t w = ::write(master, answers[next].second.constData(), size_t(answers[next].second.size()));
            ++next;
        }
    }
    int status = 0;
    pid_t ended = 0;
    while (pid > 0 && (ended = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(10ms);
    if (pid > 0 && ended == 0) {
        ::kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "tarvello-ctl did not end on its terminal: " << shown.toStdString();
    }
    ::close(master);
    return { WIFEXITED(status) ? WEXITSTATUS(status) : -1, shown };
}

TEST_P(CtlOddsTest, APersonAtTheTerminalTypesThePasswordUnseenAndConfirmsASearch)
{
    sim.addDevice(2, 5);
    sim.addDevice(3, 9);
    struct Case {
        QStringList args;
        QByteArray typed, confirm; // confirm: the answer to the search's question, if asked
        int exitCode;
    };
    const QByteArray oper = OperatorPassword.toUtf8();
    const std::vector<Case> cases {
        { { "poll" }, oper + '\n', {}, 0 },
        { { "poll" }, "nope7\n", {}, 3 },
        { { "search", "5", "6" }, oper + '\r', "n\n", 2 },
        { { "search", "5", "6" }, oper + '\n', "y\n", 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString() + " / " + c.typed.trimmed().toStdString());
        registerDevices({ { 2, 5, {} }, { 3, 9, {} } });
        sim.clearLog();
        std::vector<std::pair<QByteArray, QByteArray>> answers { { "Password: ", c.typed } };
        if (!c.confirm.isEmpty())
            answers.push_back({ "[y/N] ", c.confirm });
        const auto [exitCode, shown] = ctlOnTerminal(c.args + QStringList { "--data-dir", dataDir, "--port", portName }, answers);
        EXPECT_EQ(exitCode, c.exitCode) << shown.toStdString();
        EXPECT_TRUE(shown.startsWith("Password: ")) << shown.toStdString();
        EXPECT_FALSE(shown.contains(c.typed.trimmed())) << "the password was echoed: " << shown.toStdString();
        // A search not confirmed leaves the register as it was and sends nothing.
        const bool searched = c.args[0] == QLatin1String("search") && c.exitCode == 0;
        EXPECT_EQ(registered().size(), searched ? 1u : 2u);
        if (c.args[0] == QLatin1String("search") && !searched) {
            EXPECT_TRUE(heard().empty());
        }
    }
}

TEST_P(CtlOddsTest, ArgumentsThatNameNothingAreRefusedBeforeAnythingIsSent)
{
    registerDevices({ { 2, 5, {} } });
    sim.addDevice(2, 5);
    const QString missing = tmp.path() + QStringLiteral("/nonexistent");
    struct Case {
        QStringList args;
        int exitCode;
        const char* says;
    };
    const std::vector<Case> cases {
        { { "--data-dir", missing, "list" }, 1, "no such folder" },
        { { "--data-dir", missing, "--port", portName, "move", "up", "--all" }, 1, "no such folder" },
        { { "--data-dir", dataDir, "--port", "", "move", "up", "--all" }, 2, "--port needs a port name" },
        { { "--data-dir", dataDir, "--port=", "poll" }, 2, "--port needs a port name" },
        { { "--data-dir", dataDir, "--port", portName, "move", "up", "--group", "9" }, 2, "group 9 has no device" },
        { { "--data-dir", dataDir, "--port", portName, "move", "down", "--group", "2", "9", "12" }, 2, "groups 9, 12 have no device" },
        { { "--data-dir", dataDir, "list", "--force" }, 2, "--force goes with move only" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const CtlRun r = ctlAsTyped(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.errors.toStdString();
        EXPECT_TRUE(r.errors.contains(QLatin1String(c.says))) << r.errors.toStdString();
        EXPECT_FALSE(r.errors.contains(QLatin1String("passwords"))) << r.errors.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(missing));
    EXPECT_TRUE(heard().empty());

    // Asked for: the empty group gets its frame; a stop to it is never held back.
    EXPECT_EQ(ctl({ "move", "up", "--group", "9", "--force" }).exitCode, 0);
    const CtlRun stop = ctl({ "move", "stop", "--group", "9" });
    EXPECT_EQ(stop.exitCode, 0) << stop.errors.toStdString();
    EXPECT_TRUE(stop.errors.contains(QStringLiteral("the stop is sent all the same"))) << stop.errors.toStdString();
    sim.waitForFrames(2, 2s);
    EXPECT_EQ(heard(), (std::vector<Frame> { { 0xE9, 0, CmdUp }, { 0xE9, 0, CmdStop } }));
}

TEST_P(CtlOddsTest, ADataDirectoryInUseHoldsBackWhatWritesOrHoldsThePort)
{
    registerDevices({ { 2, 5, {} } });
    sim.addDevice(2, 5);
    struct Case {
        QStringList args;
        int exitCode;
        std::vector<Frame> heard;
    };
    const std::vector<Case> cases {
        { { "poll" }, 6, {} },
        { { "search", "1", "9", "--yes" }, 6, {} },
        { { "move", "up", "--all" }, 6, {} },
        { { "readdress", "--from", "2:5", "--to", "3:9" }, 6, {} },
        { { "list" }, 0, {} },
        { { "move", "stop", "--device", "5" }, 0, { { 0xE2, 5, CmdStop } } },
        { { "stop-all" }, 0, { { 0xFF, 0, CmdStop }, { 0xFF, 0, CmdStop } } },
    };
    // The window's copy in the making looks like a crash's leftover: those who go ahead leave it.
    const QString inTheMaking = dataDir + QStringLiteral("/.Member1.DB.tmp-Ab12Cd");
    {
        DataDirLock window(dataDir); // a window of this process
        ASSERT_EQ(window.tryLock(), DataDirLock::Result::Locked);
        QFile copy(inTheMaking);
        ASSERT_TRUE(copy.open(QIODevice::WriteOnly));
        copy.close();
        for (const Case& c : cases) {
            SCOPED_TRACE(c.args.join(' ').toStdString());
            sim.clearLog();
            const CtlRun r = ctl(c.args, AdministratorPassword);
            EXPECT_EQ(r.exitCode, c.exitCode) << r.errors.toStdString();
            EXPECT_EQ(c.exitCode == 6, r.errors.contains(QStringLiteral("already in use by another Tarvello window")))
                << r.errors.toStdString();
            sim.waitForFrames(c.heard.size(), 2s);
            EXPECT_EQ(heard(), c.heard);
        }
        EXPECT_TRUE(QFileInfo::exists(inTheMaking));
        EXPECT_EQ(registered(), (std::map<int, int> { { 5, 2 } }));
    }
    EXPECT_EQ(ctl({ "poll" }).exitCode, 0);
    EXPECT_FALSE(QFileInfo::exists(inTheMaking)); // nobody holds the directory: a leftover now

    // A run that holds the directory, then dies without letting go: the next one takes over.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TARVELLO_PASSWORD"), OperatorPassword);
    QProcess search;
    search.setProcessEnvironment(env);
    search.start(QStringLiteral(TARVELLO_CTL_EXE), { "search", "1", "999", "--yes", "--data-dir", dataDir, "--port", portName });
    ASSERT_TRUE(search.waitForStarted());
    const QString lockFile = dataDir + QLatin1Char('/') + QLatin1String(DataDirLock::LockFileName);
    for (int i = 0; i < 500 && !QFileInfo::exists(lockFile); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(QFileInfo::exists(lockFile));
    const CtlRun during = ctl({ "poll" });
    EXPECT_EQ(during.exitCode, 6);
    EXPECT_TRUE(during.errors.contains(QStringLiteral("in use by tarvello-ctl"))) << during.errors.toStdString();
    search.kill();
    search.waitForFinished();
    EXPECT_TRUE(QFileInfo::exists(lockFile));
    // Reads and stop-all take no lock (a window started meanwhile is not refused): they leave it.
    auto lock = [&] { QFile file(lockFile); return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(); };
    const QByteArray left = lock();
    for (const QStringList& args : { QStringList { "list" }, QStringList { "audit" }, QStringList { "stop-all" } })
        EXPECT_EQ(ctl(args, AdministratorPassword).exitCode, 0) << args.join(' ').toStdString();
    EXPECT_EQ(lock(), left);
    const CtlRun after = ctl({ "search", "1", "9", "--yes" });
    EXPECT_EQ(after.exitCode, 0) << after.errors.toStdString();

    // A watch holds the port: stop-all is sent by the watch, and the watch goes on.
    QProcess watch;
    watch.setProcessEnvironment(env);
    watch.start(QStringLiteral(TARVELLO_CTL_EXE), { "watch", "--every", "1", "--data-dir", dataDir, "--port", portName });
    ASSERT_TRUE(watch.waitForReadyRead(20000)); // its first round
    sim.clearLog();
    const CtlRun handed = ctl({ "stop-all" }, std::nullopt);
    EXPECT_EQ(handed.exitCode, 0) << handed.errors.toStdString();
    EXPECT_TRUE(handed.lines.join(' ').contains(QStringLiteral("sent by tarvello-ctl"))) << handed.lines.join(' ').toStdString();
    sim.waitForFrames(1, 2s);
    const std::vector<Frame> stops = heard();
    EXPECT_TRUE(std::count(stops.begin(), stops.end(), Frame { 0xFF, 0, CmdStop }) >= 1);
    // The watch's row credits the stop to the run that asked (nobody logged in), not to the watch's operator.
    const std::vector<AuditRow> stopRows = AuditLog(dataDir, 0).rows({ std::nullopt, std::nullopt, { "stop-all" }, std::nullopt });
    ASSERT_FALSE(stopRows.empty());
    EXPECT_EQ(stopRows.front().level, ModeNone);
    EXPECT_EQ(stopRows.front().source, QStringLiteral("tarvello-ctl"));
    EXPECT_TRUE(stopRows.front().detail.startsWith(QStringLiteral("stop to every device, asked by tarvello-ctl (process ")))
        << stopRows.front().detail.toStdString();
    EXPECT_TRUE(QDir(dataDir).entryList({ QStringLiteral("tarvello.stop-*") }, QDir::Files | QDir::Hidden).isEmpty());
    // Only to a holder of the same port, by whatever name; any other failure is the run's own.
    const QString byLink = tmp.path() + QStringLiteral("/ttyStage");
    ASSERT_TRUE(QFile::link(portName, byLink));
    struct Other {
        QString port;
        int exitCode;
        const char* says;
    };
    for (const Other& o : { Other { byLink, 0, "sent by tarvello-ctl" }, Other { "tcp://127.0.0.1:1", 4, "works on another port" },
                            Other { tmp.path() + "/ttyNone", 4, "no such port" } }) {
        SCOPED_TRACE(o.port.toStdString());
        sim.clearLog();
        const CtlRun r = ctlAsTyped({ "--data-dir", dataDir, "--port", o.port, "stop-all" }, std::nullopt);
        EXPECT_EQ(r.exitCode, o.exitCode) << r.errors.toStdString();
        EXPECT_TRUE((r.errors + r.lines.join(' ')).contains(QLatin1String(o.says))) << r.errors.toStdString();
        sim.waitForFrames(o.exitCode == 0, 2s);
        const std::vector<Frame> frames = heard();
        EXPECT_EQ(std::count(frames.begin(), frames.end(), Frame { 0xFF, 0, CmdStop }) > 0, o.exitCode == 0);
    }
    EXPECT_EQ(watch.state(), QProcess::Running);
    watch.terminate();
    EXPECT_TRUE(watch.waitForFinished(10000));

    // A conversion holds the directory and has no port, which someone else holds: nothing handed over.
    TComm window;
    ApplyComm1Defaults(window);
    window.setCommName(portName);
    ASSERT_NO_THROW(window.OpenPort());
    DataDirLock conversion(dataDir);
    ASSERT_EQ(conversion.tryLock(), DataDirLock::Result::Locked);
    conversion.setNoPort(QStringLiteral("it converts the data files: tarvello --convert"));
    const CtlRun converting = ctl({ "stop-all" }, std::nullopt);
    EXPECT_EQ(converting.exitCode, 4);
    EXPECT_TRUE(converting.errors.contains(QStringLiteral("has no port (it converts the data files"))) << converting.errors.toStdString();
}

// Without --port, stop-all goes to the port the installation names ([COM] num of DB.ini), or
// nowhere: never to a port guessed for a data directory that is not there or says nothing.
TEST_P(CtlOddsTest, StopAllWithoutAPortNamedNeedsTheInstallationsPort)
{
    const QString missing = tmp.path() + QStringLiteral("/nonexistent");
    struct Case {
        QStringList args;
        std::optional<QByteArray> settings; // DB.ini; none: no file
        int exitCode;
        const char* says;
    };
    const std::vector<Case> cases {
        { { "--data-dir", missing, "stop-all" }, std::nullopt, 1, "no such folder" },
        { { "--data-dir", dataDir, "stop-all" }, std::nullopt, 1, "DB.ini is missing" },
        { { "--data-dir", dataDir, "stop-all" }, "[SCENE]\nCurrent=1\n", 1, "names no port ([COM] num)" },
        { { "--data-dir", dataDir, "stop-all" }, "[COM]\nnum=" + portName.toUtf8() + "\n", 0, "" },
        { { "--data-dir", missing, "--port", portName, "stop-all" }, std::nullopt, 0, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QFile settings(dataDir + QStringLiteral("/DB.ini"));
        settings.remove();
        if (c.settings) {
            ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
            settings.write(*c.settings);
            settings.close();
        }
        sim.clearLog();
        const CtlRun r = ctlAsTyped(c.args, std::nullopt);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.errors.toStdString();
        EXPECT_TRUE(r.errors.contains(QLatin1String(c.says))) << r.errors.toStdString();
        const std::vector<Frame> stops(c.exitCode == 0 ? 2 : 0, Frame { 0xFF, 0, CmdStop });
        sim.waitForFrames(stops.size(), 2s);
        EXPECT_EQ(heard(), stops);
    }
    EXPECT_FALSE(QFileInfo::exists(missing));
}

// A re-address that a stop-all takes back before it went out: the device keeps its address, and
// so does the register; the run fails.
TEST_P(CtlOddsTest, AReaddressTakenBackByAStopAllLeavesTheRegisterAsItWas)
{
    registerDevices({ { 2, 5, QStringLiteral("Hoist A") }, { 4, 8, {} } });
    StoppingLine line;
    {
        SessionRun run(dataDir, std::nullopt, line.path());
        run.openRegister();
        run.openPort();
        ASSERT_TRUE(line.hold());
        // A frame under way on the held line (a poll query, say): the re-address waits behind it.
        const uint8_t query[ShortFrameLength] = {};
        ASSERT_TRUE(run.session().port().WriteData(query, sizeof query));
        QTimer::singleShot(100, &run.session(), [&run] { run.session().engine().stopAll(); });
        try {
            run.readdress(2, 5, 3, 9);
            ADD_FAILURE() << "the re-address counted as done";
        } catch (const RunError& e) {
            EXPECT_EQ(e.kind(), RunError::Port);
            EXPECT_TRUE(QString::fromStdString(e.what()).contains(QStringLiteral("took the re-address back"))) << e.what();
        }
    }
    EXPECT_EQ(registered(), (std::map<int, int> { { 5, 2 }, { 8, 4 } }));
}

// SIGINT, SIGTERM and SIGHUP end a run in order, a second one while it ends included: a long
// search ends with status 7 and says why; a watch, which runs until one comes, with 0.
TEST_P(CtlOddsTest, ASignalEndsARunInOrder)
{
    sim.addDevice(2, 5);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TARVELLO_PASSWORD"), OperatorPassword);
    const QStringList search { "search", "1", "999", "--yes" };
    struct Case {
        QStringList args;
        int signalNumber;
        int exitCode;
    };
    for (const Case& c : { Case { search, SIGTERM, 7 }, Case { search, SIGINT, 7 }, Case { search, SIGHUP, 7 },
                           Case { { "watch", "--every", "1" }, SIGHUP, 0 } }) {
        SCOPED_TRACE(c.args.join(' ').toStdString() + " / " + strsignal(c.signalNumber));
        registerDevices({ { 2, 5, {} } });
        sim.clearLog();
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(TARVELLO_CTL_EXE), c.args + QStringList { "--data-dir", dataDir, "--port", portName });
        ASSERT_TRUE(sim.waitForFrames(1, 20s)); // at work on the bus
        ::kill(pid_t(p.processId()), c.signalNumber);
        ::kill(pid_t(p.processId()), c.signalNumber);
        ASSERT_TRUE(p.waitForFinished(20000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), c.exitCode);
        const QString errors = QString::fromUtf8(p.readAllStandardError());
        const QString says = QStringLiteral("ended by SIG%1 before search was done").arg(sigabbrev_np(c.signalNumber));
        EXPECT_EQ(errors.contains(says), c.exitCode == 7) << errors.toStdString();
        EXPECT_LT(sim.frames().size(), 900u); // the search did not go on to the end
    }
}

INSTANTIATE_TEST_SUITE_P(Direct, CtlOddsTest, ::testing::Values(Route::Direct),
    [](const auto& info) { return std::string(routeName(info.param)); });

INSTANTIATE_TEST_SUITE_P(Direct, CtlAuditTest, ::testing::Values(Route::Direct),
    [](const auto& info) { return std::string(routeName(info.param)); });

INSTANTIATE_TEST_SUITE_P(Routes, CtlTest, ::testing::Values(Route::Direct, Route::RawTcp, Route::Rfc2217),
    [](const auto& info) { return std::string(routeName(info.param)); });

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// The network ports against a real device server: Debian's ser2net on 127.0.0.1, in front of
// the simulated bus (or a bare pseudo-terminal), started and stopped here. The control engine
// polls and searches through tcp:// and rfc2217:// as through the direct line; the times per
// device are printed side by side.

#include "bench/engine_rig.h"
#include "../support/loopback.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using tarvello::EngineRig;
using Bytes = std::vector<uint8_t>;

std::string hex(const std::vector<uint8_t>& b) { return HexLine(b.data(), b.size()); }

std::string frameHex(uint8_t group, uint16_t id, uint8_t cmd)
{
    uint8_t b[ShortFrameLength];
    EncodeShortFrame(CmdRecord { group, id, cmd }, b);
    return HexLine(b, ShortFrameLength);
}

std::string findSer2net()
{
    for (const char* p : { "/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net" })
        if (access(p, X_OK) == 0)
            return p;
    return {};
}

// True when something listens on 127.0.0.1:port (read from the kernel's table, so that no probe
// connection reaches the server).
bool listening(uint16_t port)
{
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A")
            return true;
    }
    return false;
}

// One ser2net process serving one device on 127.0.0.1 at a port of its own, in raw or RFC 2217
// mode, with the line at 4800 8N1 until a client says otherwise.
class Ser2net {
public:
    Ser2net(const std::string& device, bool rfc2217)
        : m_port(FreeLoopbackPort())
    {
        char dir[] = "/tmp/tarvello-ser2net-XXXXXX";
        m_dir = mkdtemp(dir);
        const std::string config = m_dir + "/ser2net.yaml";
        std::ofstream(config) << "%YAML 1.1\n---\n"
                              << "connection: &bus\n"
                              << "  accepter: " << (rfc2217 ? "telnet(rfc2217),tcp" : "tcp") << ",127.0.0.1,"
                              << m_port << "\n"
                              << "  connector: serialdev," << device << ",4800n81,local\n"
                              << "  options:\n    kickolduser: true\n";
        const std::string program = findSer2net();
        const std::string log = m_dir + "/ser2net.log";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        // -n: stay in the foreground, -d: log to standard output, -u: no UUCP lock files.
        std::vector<std::string> args { program, "-n", "-d", "-u", "-c", config };
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; i < 300 && m_pid > 0 && !listening(m_port); ++i)
            std::this_thread::sleep_for(10ms);
    }
    ~Ser2net()
    {
        stop(SIGTERM);
        std::remove((m_dir + "/ser2net.yaml").c_str());
        std::remove((m_dir + "/ser2net.log").c_str());
        rmdir(m_dir.c_str());
    }
    bool ready() const { return m_pid > 0 && listening(m_port); }
    void stop(int signal)
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, signal);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    QString name(bool rfc2217) const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(rfc2217 ? "rfc2217" : "tcp").arg(m_port);
    }
    std::string log() const
    {
        std::ifstream in(m_dir + "/ser2net.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    uint16_t m_port;
    std::string m_dir;
    pid_t m_pid = -1;
};

enum class Route { Direct, RawTcp, Rfc2217 };
const char* routeName(Route r) { return r == Route::Direct ? "direct" : r == Route::RawTcp ? "tcp" : "rfc2217"; }

// The rig of the engine tests, with its port opened through the route.
struct RoutedRig {
    explicit RoutedRig(Route route)
    {
        rig.sim.start();
        QString name = QString::fromStdString(rig.sim.slavePath());
        if (route != Route::Direct) {
            server = std::make_unique<Ser2net>(rig.sim.slavePath(), route == Route::Rfc2217);
            name = server->name(route == Route::Rfc2217);
        }
        ApplyComm1Defaults(rig.comm);
        rig.comm.setCommName(name);
        rig.comm.OnReceiveData = [this](TComm*, const uint8_t* buffer, uint16_t length) {
            rig.engine.Comm1ReceiveData(buffer, length);
        };
        rig.comm.OnSendDataEmpty = [this](TComm*) { rig.engine.Comm1SendDataEmpty(); };
        rig.comm.OnRequestHangup = [this](TComm*) {
            ++hangups;
            rig.closePort();
        };
    }
    void open()
    {
        rig.comm.OpenPort();
        rig.view.clock.start();
    }
    EngineRig rig;
    std::unique_ptr<Ser2net> server;
    int hangups = 0;
};

struct Figures {
    double pollMsPerDevice = 0;
    double searchMsPerId = 0;
};
std::map<Route, Figures>& figures()
{
    static std::map<Route, Figures> f;
    return f;
}

class ThroughSer2net : public ::testing::TestWithParam<Route> {
protected:
    void SetUp() override
    {
        if (GetParam() != Route::Direct && findSer2net().empty())
            GTEST_SKIP() << "ser2net is not installed (scripts/setup-deps installs it)";
    }
};

// The same poll and search on each route: the same devices found, the same frames on the bus,
// and the time per device printed beside the direct line's.
TEST_P(ThroughSer2net, PollAndSearchSeeTheSameBusAsTheDirectLine)
{
    const Route route = GetParam();
    RoutedRig r(route);
    if (r.server) {
        ASSERT_TRUE(r.server->ready()) << r.server->log();
    }
    ASSERT_NO_THROW(r.open());
    EngineRig& rig = r.rig;
    rig.sim.addDevice(1, 2);
    rig.sim.addDevice(1, 3);
    rig.sim.addDevice(4, 7, 0xFD);
    rig.sim.addDevice(2, 9);

    // Poll: four present devices and one absent.
    const std::vector<std::pair<int, int>> listed { { 2, 1 }, { 3, 1 }, { 5, 1 }, { 7, 4 }, { 9, 2 } };
    rig.listDevices(listed);
    const qint64 pollStart = rig.view.clock.elapsed();
    rig.engine.prepareRebuild();
    rig.engine.startPoll();
    ASSERT_TRUE(EngineRig::runUntil([&] { return rig.pollDone(); }, 8000));
    const qint64 pollMs = rig.view.rows.back().markedAtMs - pollStart;
    const std::vector<bool> online { true, true, false, true, true };
    std::vector<std::string> expectedQueries;
    for (size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(rig.view.rows[i].online, std::optional<bool>(online[i])) << "row " << i;
        expectedQueries.push_back(frameHex(uint8_t(listed[i].second), uint16_t(listed[i].first), CmdAskState));
    }
    std::vector<std::string> queries;
    for (const ReceivedFrame& f : rig.sim.frames())
        queries.push_back(hex(f.bytes));
    EXPECT_EQ(queries, expectedQueries);
    EXPECT_EQ(rig.sim.replyCount(), 4u);

    // Search 1 to 10.
    rig.sim.clearLog();
    rig.view.edit1 = "1";
    rig.view.edit2 = "10";
    const qint64 searchStart = rig.view.clock.elapsed();
    rig.engine.searchClicked();
    ASSERT_TRUE(EngineRig::runUntil([&] { return !rig.engine.searchRunning(); }, 15000));
    const qint64 searchMs = rig.view.clock.elapsed() - searchStart;
    const std::vector<std::pair<int, int>> found { { 2, 1 }, { 3, 1 }, { 7, 4 }, { 9, 2 } };
    EXPECT_EQ(rig.view.searched, found);
    std::vector<std::string> probes, expectedProbes;
    for (const ReceivedFrame& f : rig.sim.frames())
        probes.push_back(hex(f.bytes));
    for (uint16_t id = 1; id <= 10; ++id)
        expectedProbes.push_back(frameHex(BroadcastGroup, id, CmdAskState));
    EXPECT_EQ(probes, expectedProbes);
    EXPECT_EQ(r.hangups, 0);

    Figures f { double(pollMs) / double(listed.size()), double(searchMs) / 10.0 };
    figures()[route] = f;
    std::printf("[ figures  ] %-8s poll %.1f ms per device, search %.1f ms per ID", routeName(route),
        f.pollMsPerDevice, f.searchMsPerId);
    if (route != Route::Direct && figures().count(Route::Direct)) {
        const Figures& d = figures()[Route::Direct];
        std::printf(" (direct %+.1f %%, %+.1f %%)", 100.0 * (f.pollMsPerDevice / d.pollMsPerDevice - 1.0),
            100.0 * (f.searchMsPerId / d.searchMsPerId - 1.0));
    }
    std::printf("\n");
}

// The device server is killed in the middle of a poll: one hang-up, the threads quiet, and
// the next attempt to open (as the main window makes every 2 s) says plainly why it fails.
class Ser2netKilled : public ThroughSer2net { };

TEST_P(Ser2netKilled, DuringAPollIsAHangupWithAClearMessage)
{
    RoutedRig r(GetParam());
    ASSERT_TRUE(r.server->ready()) << r.server->log();
    ASSERT_NO_THROW(r.open());
    EngineRig& rig = r.rig;
    std::vector<std::pair<int, int>> listed;
    for (int id = 1; id <= 20; ++id) {
        rig.sim.addDevice(1, uint16_t(id));
        listed.push_back({ id, 1 });
    }
    rig.listDevices(listed);
    rig.engine.prepareRebuild();
    rig.engine.startPoll();
    ASSERT_TRUE(EngineRig::runUntil([&] { return rig.sim.replyCount() >= 3; }, 5000));
    r.server->stop(SIGKILL);

    ASSERT_TRUE(EngineRig::runUntil([&] { return r.hangups > 0; }, 3000));
    timespec before {}, after {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    EngineRig::settle(500);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    const double cpu = double(after.tv_sec - before.tv_sec) + double(after.tv_nsec - before.tv_nsec) / 1e9;
    EXPECT_EQ(r.hangups, 1);
    EXPECT_FALSE(rig.comm.isOpen());
    EXPECT_LT(cpu, 0.25) << "nothing spins after the hang-up";

    const auto start = std::chrono::steady_clock::now();
    std::string message;
    try {
        rig.comm.OpenPort();
    } catch (const ECommsError& e) {
        message = e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_NE(message.find("Cannot connect to the device server 127.0.0.1:"), std::string::npos) << message;
    EXPECT_NE(message.find("refused"), std::string::npos) << message;
    std::printf("[ message  ] %s\n", message.c_str());
}

INSTANTIATE_TEST_SUITE_P(Routes, ThroughSer2net, ::testing::Values(Route::Direct, Route::RawTcp, Route::Rfc2217),
    [](const auto& info) { return std::string(routeName(info.param)); });
INSTANTIATE_TEST_SUITE_P(Routes, Ser2netKilled, ::testing::Values(Route::RawTcp, Route::Rfc2217),
    [](const auto& info) { return std::string(routeName(info.param)); });

// A bare pseudo-terminal behind ser2net: the line settings reach the device through the
// COM-PORT-OPTION, and 0xFF bytes cross in both directions on both routes.
class Ser2netLine : public ::testing::TestWithParam<Route> {
protected:
    void SetUp() override
    {
        if (findSer2net().empty())
            GTEST_SKIP() << "ser2net is not installed (scripts/setup-deps installs it)";
        int slave = -1;
        char name[256] {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        ::close(slave);
        slavePath = name;
    }
    void TearDown() override
    {
        if (master >= 0)
            ::close(master);
    }
    termios line() const
    {
        termios t {};
        tcgetattr(master, &t);
        return t;
    }
    Bytes readMaster(size_t count)
    {
        Bytes got;
        EngineRig::runUntil([&] {
            uint8_t b[256];
            pollfd p { master, POLLIN, 0 };
            while (::poll(&p, 1, 0) > 0) {
                const ssize_t n = ::read(master, b, sizeof b);
                if (n <= 0)
                    break;
                got.insert(got.end(), b, b + n);
            }
            return got.size() >= count;
        },
            3000);
        return got;
    }
    int master = -1;
    std::string slavePath;
};

TEST_P(Ser2netLine, FFBytesCrossBothWaysUnchanged)
{
    const bool rfc2217 = GetParam() == Route::Rfc2217;
    Ser2net server(slavePath, rfc2217);
    ASSERT_TRUE(server.ready()) << server.log();
    TComm comm;
    ApplyComm1Defaults(comm);
    comm.setCommName(server.name(rfc2217));
    Bytes received;
    comm.OnReceiveData = [&](TComm*, const uint8_t* b, uint16_t n) { received.insert(received.end(), b, b + n); };
    ASSERT_NO_THROW(comm.OpenPort());

    const Bytes out { 0xFF, 0x01, 0xFF, 0xFF, 0xF0, 0xFA, 0x02 };
    ASSERT_TRUE(comm.WriteData(out.data(), uint16_t(out.size())));
    EXPECT_EQ(readMaster(out.size()), out);

    const Bytes in { 0xFF, 0xFB, 0x2C, 0xFF, 0xFF, 0x03 };
    ASSERT_EQ(::write(master, in.data(), in.size()), ssize_t(in.size()));
    EXPECT_TRUE(EngineRig::runUntil([&] { return received.size() >= in.size(); }, 3000));
    EngineRig::settle(150);
    EXPECT_EQ(received, in);
    comm.ClosePort();
}

// A pseudo-terminal keeps the speed, the stop bits and the odd-parity flag that ser2net puts on
// it, but always reads back as 8 data bits without parity enabled; the data size and parity
// bytes themselves are checked in the serial tests.
TEST_F(Ser2netLine, TheLineSettingsReachTheDeviceAtOpenAndWhenChanged)
{
    Ser2net server(slavePath, true);
    ASSERT_TRUE(server.ready()) << server.log();
    TComm comm;
    ApplyComm1Defaults(comm);
    comm.setBaudRate(9600);
    comm.setParity(TParity::Odd);
    comm.setStopBits(TStopBits::_2);
    comm.setCommName(server.name(true));
    ASSERT_NO_THROW(comm.OpenPort());
    auto settled = [&](speed_t speed, bool twoStopBits) {
        return EngineRig::runUntil([&] {
            const termios t = line();
            return cfgetospeed(&t) == speed && bool(t.c_cflag & CSTOPB) == twoStopBits;
        },
            3000);
    };
    ASSERT_TRUE(settled(B9600, true)) << "speed " << cfgetospeed(&static_cast<const termios&>(line()));
    EXPECT_TRUE(line().c_cflag & PARODD);

    comm.setBaudRate(19200);
    comm.setStopBits(TStopBits::_1);
    EXPECT_TRUE(settled(B19200, false));
    comm.ClosePort();
}

INSTANTIATE_TEST_SUITE_P(Routes, Ser2netLine, ::testing::Values(Route::RawTcp, Route::Rfc2217),
    [](const auto& info) { return std::string(routeName(info.param)); });

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

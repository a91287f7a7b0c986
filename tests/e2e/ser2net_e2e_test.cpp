// The network ports against a real device server: Debian's ser2net on 127.0.0.1, in front of
// the simulated bus (or a bare pseudo-terminal), started and stopped here. The control engine
// polls and searches through tcp:// and rfc2217:// as through the direct line; the times per
// device are printed side by side.

#include "bench/engine_rig.h"
#include "../support/loopback.h"
#include "../support/ser2net.h"

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

enum class Route { Direct, RawTcp, Rfc2217 };
const char* routeName(Route r) { return r == Route::Direct ? "direct" : r == Route::RawTcp ? "tcp" : "rfc2217"; }
void PrintTo(Route r, std::ostream* os) { *os << routeName(r); }

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
            rig.engine.receive(buffer, length);
        };
        rig.comm.OnSendDataEmpty = [this](TComm*) { rig.engine.lineIdle(); };
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
    rig.view.search();
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

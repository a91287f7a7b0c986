// Network ports against scripted servers on 127.0.0.1: what the operator is told when a device
// server cannot be used, the Telnet byte handling and write-empty paced by the line. A real
// ser2net, and a connection lost during a poll, are in tests/e2e.
#include "pty_support.h"
#include "../support/loopback.h"

#include "serial/commport.h"
#include "serial/netlink.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A listener on 127.0.0.1 with a port of the system's choosing; each connection is handed to
// the script on a thread of its own.
class ScriptedServer {
public:
    explicit ScriptedServer(std::function<void(int)> script) : m_script(std::move(script)) {
        m_listen = BindLoopback(&m_port);
        listen(m_listen, 4);
        m_thread = std::thread([this] {
            pollfd p{m_listen, POLLIN, 0};
            while (!m_done && ::poll(&p, 1, 50) >= 0) {
                if (!(p.revents & POLLIN)) continue;
                m_peer = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
                if (m_peer >= 0 && m_script) m_script(m_peer);
                break;
            }
        });
    }
    ~ScriptedServer() {
        m_done = true;
        m_thread.join();
        if (m_peer >= 0) ::close(m_peer);
        ::close(m_listen);
    }
    QString name(const char* scheme) const { return QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(m_port); }
    std::atomic<bool> m_done{false};

private:
    std::function<void(int)> m_script;
    int m_listen = -1;
    int m_peer = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
};

// A port on 127.0.0.1 that nobody listens on.
QString closedPortName(const char* scheme) {
    return QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(FreeLoopbackPort());
}

// A listener whose queue is full and is never served: connecting to it gets no answer, as a
// host that cannot be reached gives none. Holds its filler connections.
class UnansweringListener {
public:
    UnansweringListener() {
        m_listen = BindLoopback(&m_port);
        listen(m_listen, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(m_port);
        for (int i = 0; i < 4; ++i) {  // fill the queue; later attempts are not answered
            const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
            m_fillers.push_back(c);
        }
        std::this_thread::sleep_for(50ms);
    }
    ~UnansweringListener() {
        for (int c : m_fillers) ::close(c);
        ::close(m_listen);
    }
    QString name() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(m_port); }

private:
    int m_listen = -1;
    uint16_t m_port = 0;
    std::vector<int> m_fillers;
};

void sendAll(int fd, const Bytes& b) { [[maybe_unused]] auto n = ::send(fd, b.data(), b.size(), MSG_NOSIGNAL); }

void holdUntilClosed(int fd) {
    uint8_t b[256];
    while (::recv(fd, b, sizeof b, 0) > 0) {
    }
}

// A server that says `first`, and `later` a moment after, then holds the connection.
std::function<void(int)> says(const Bytes& first, const Bytes& later = {}) {
    return [=](int fd) {
        sendAll(fd, first);
        std::this_thread::sleep_for(30ms);
        sendAll(fd, later);
        holdUntilClosed(fd);
    };
}

struct OpenFailureCase {
    const char* what;
    const char* scheme;
    std::function<void(int)> server;  // null: nobody listens
    const char* text;                 // part of the message
};

class NetOpenFailure : public ::testing::TestWithParam<OpenFailureCase> {};

TEST_P(NetOpenFailure, IsAnErrorWithAClearTextWithinTwoSeconds) {
    const OpenFailureCase& c = GetParam();
    std::unique_ptr<ScriptedServer> server;
    if (c.server) server = std::make_unique<ScriptedServer>(c.server);
    TComm comm;
    ApplyComm1Defaults(comm);
    comm.setCommName(server ? server->name(c.scheme) : closedPortName(c.scheme));
    const auto start = SteadyClock::now();
    std::string message;
    try {
        comm.OpenPort();
    } catch (const ECommsError& e) {
        message = e.what();
    }
    const auto took = SteadyClock::now() - start;
    if (server) server->m_done = true;
    EXPECT_NE(message.find(c.text), std::string::npos) << message;
    if (server) {
        const std::string where = comm.CommName().mid(int(std::strlen(c.scheme)) + 3).toStdString();
        EXPECT_NE(message.find("The device server " + where + " "), std::string::npos) << message;
    }
    EXPECT_LT(took, 2s);
    EXPECT_FALSE(comm.isOpen());
}

const uint8_t Iac = 255;

INSTANTIATE_TEST_SUITE_P(
    Cases, NetOpenFailure,
    ::testing::Values(
        OpenFailureCase{"refused_raw", "tcp", nullptr, "Connection refused"},
        OpenFailureCase{"refused_telnet", "rfc2217", nullptr, "Connection refused"},
        // A raw server says nothing to a Telnet offer.
        OpenFailureCase{"silent", "rfc2217", holdUntilClosed, "gave no RFC 2217 answer"},
        OpenFailureCase{"refuses_option", "rfc2217",
                        [](int fd) {
                            sendAll(fd, {Iac, 254, 44});
                            holdUntilClosed(fd);
                        },
                        "refuses the serial line control"},
        OpenFailureCase{"hangs_up", "rfc2217", [](int fd) { ::shutdown(fd, SHUT_RDWR); }, "closed the connection"},
        // Outside binary mode a Telnet server may drop the 00 of 0D 00, which a status query holds.
        OpenFailureCase{"refuses_binary_out", "rfc2217", says({Iac, 253, 44, Iac, 254, 0}), "refuses binary mode"},
        OpenFailureCase{"refuses_binary_in", "rfc2217", says({Iac, 253, 44, Iac, 252, 0}), "refuses binary mode"},
        OpenFailureCase{"refuses_binary_later", "rfc2217", says({Iac, 253, 44}, {Iac, 252, 0}), "refuses binary mode"},
        // ser2net turns a second client away in words, then closes.
        OpenFailureCase{"port_taken", "tcp",
                        [](int fd) {
                            const std::string text = "Port already in use\r\n";
                            sendAll(fd, Bytes(text.begin(), text.end()));
                            ::shutdown(fd, SHUT_RDWR);
                        },
                        "already in use"}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(NetOpenUnanswered, IsAnErrorWithAClearTextWithinTwoSeconds) {
    UnansweringListener listener;
    TComm comm;
    comm.setCommName(listener.name());
    const auto start = SteadyClock::now();
    std::string message;
    try {
        comm.OpenPort();
    } catch (const ECommsError& e) {
        message = e.what();
    }
    EXPECT_LT(SteadyClock::now() - start, 2s);
    EXPECT_NE(message.find("Cannot connect to the device server 127.0.0.1:"), std::string::npos) << message;
    EXPECT_FALSE(comm.isOpen());
}

TEST(NetPortName, MalformedNamesAreRefusedByName) {
    for (const char* name : {"tcp://127.0.0.1", "tcp://:4000", "rfc2217://127.0.0.1:0", "tcp://127.0.0.1:70000"}) {
        TComm comm;
        comm.setCommName(QString::fromLatin1(name));
        try {
            comm.OpenPort();
            ADD_FAILURE() << name << " opened";
        } catch (const ECommsError& e) {
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
    }
}

TEST(NetTelnet, LineSettingsGoOutAsComPortCommandsWithTheirFFBytesDoubled) {
    tarvello::LineSettings s;
    s.baudRate = 0x0001C2FF;  // a value with an FF byte
    s.byteSize = TByteSize::_7;
    s.parity = TParity::Even;
    s.stopBits = TStopBits::_2;
    const Bytes expected{Iac, 250, 44, 1, 0x00, 0x01, 0xC2, 0xFF, 0xFF, Iac, 240,  //
                         Iac, 250, 44, 2, 7, Iac, 240,                            //
                         Iac, 250, 44, 3, 3, Iac, 240,                            //
                         Iac, 250, 44, 4, 2, Iac, 240};
    EXPECT_EQ(tarvello::NetLink::comPortCommands(s), expected);
    const Bytes data{1, 0xFF, 0xFF, 2, 0xFF};
    EXPECT_EQ(tarvello::NetLink::escapeIac(data.data(), data.size()), (Bytes{1, Iac, Iac, Iac, Iac, 2, Iac, Iac}));
}

// A Telnet server that accepts the option, then sends line bytes mixed with commands, split so
// that an IAC pair straddles two reads; and records what the component sent.
TEST(NetTelnet, CommandsAreStrippedAndOptionsDeclinedAcrossReads) {
    Bytes fromComponent;
    std::atomic<bool> received{false};
    ScriptedServer server([&](int fd) {
        sendAll(fd, {Iac, 253, 44, Iac, 253, 0, Iac, 251, 0, Iac, 251, 1});  // DO COM-PORT, binary both ways, WILL ECHO
        // Line bytes come once the port counts as open (earlier ones are dropped, as at any open).
        std::this_thread::sleep_for(std::chrono::milliseconds(tarvello::NetLink::TurnAwayWaitMs + 100));
        sendAll(fd, {0x10, Iac, 250, 44, 101, 0, 0, 0x12, 0xC0, Iac, 240, 0x20, Iac});
        std::this_thread::sleep_for(20ms);
        sendAll(fd, {Iac, 0x30, Iac, 241, 0x40});  // ...the pair's second half, a NOP
        uint8_t b[256];
        for (;;) {
            const ssize_t n = ::recv(fd, b, sizeof b, 0);
            if (n <= 0) break;
            fromComponent.insert(fromComponent.end(), b, b + n);
            if (fromComponent.size() >= 3 && fromComponent[fromComponent.size() - 1] == 0x77) received = true;
        }
    });
    TComm comm;
    ApplyComm1Defaults(comm);
    comm.setReadIntervalTimeout(100);
    comm.setCommName(server.name("rfc2217"));
    EventRecorder rec(comm);
    ASSERT_NO_THROW(comm.OpenPort());
    ASSERT_TRUE(RunUntil([&] { return rec.received().size() >= 4; }));
    RunFor(150);
    EXPECT_EQ(rec.received(), (Bytes{0x10, 0x20, 0xFF, 0x30, 0x40}));
    EXPECT_EQ(rec.chunks.size(), 1u) << "commands between line bytes do not end a chunk";

    const Bytes frame{0xFF, 0x55, 0x77};
    ASSERT_TRUE(comm.WriteData(frame.data(), uint16_t(frame.size())));
    ASSERT_TRUE(RunUntil([&] { return received.load(); }));
    comm.ClosePort();
    server.m_done = true;
    const Bytes tail(fromComponent.end() - 4, fromComponent.end());
    EXPECT_EQ(tail, (Bytes{0xFF, 0xFF, 0x55, 0x77}));
    const Bytes dontEcho{Iac, 254, 1};
    EXPECT_NE(std::search(fromComponent.begin(), fromComponent.end(), dontEcho.begin(), dontEcho.end()),
              fromComponent.end())
        << "the server's echo is declined";
}

// A write that fills the socket is under way when the server asks for an option; the answer
// waits for the write's last byte, so it can never fall between the halves of a doubled 0xFF.
TEST(NetTelnet, AnOptionAnswerNeverFallsInsideAWrite) {
    const Bytes data(65535, 0xFF);  // 131070 bytes once doubled
    Bytes expected{Iac, 251, 44, Iac, 251, 0, Iac, 253, 0, Iac, 251, 3, Iac, 253, 3};  // the offer at open
    expected.insert(expected.end(), 2 * data.size(), 0xFF);
    expected.insert(expected.end(), {Iac, 252, 1});  // WONT ECHO, after the write
    std::atomic<bool> writing{false};
    Bytes got;
    const int small = 16384;
    auto server = std::make_unique<ScriptedServer>([&](int fd) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sendAll(fd, {Iac, 253, 44, Iac, 253, 0, Iac, 251, 0});
        while (!writing) std::this_thread::sleep_for(1ms);
        sendAll(fd, {Iac, 253, 1});  // DO ECHO, while the write is held up
        uint8_t b[4096];
        pollfd p{fd, POLLIN, 0};
        for (ssize_t n; got.size() < expected.size() && ::poll(&p, 1, 3000) > 0 && (n = ::recv(fd, b, sizeof b, 0)) > 0;)
            got.insert(got.end(), b, b + n);
    });
    QString failure;
    const std::unique_ptr<tarvello::NetLink> link = tarvello::NetLink::open(server->name("rfc2217"), failure);
    ASSERT_TRUE(link) << failure.toStdString();
    setsockopt(link->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::thread writer([&] { EXPECT_EQ(link->writeWhole(data.data(), data.size(), -1), ssize_t(data.size())); });
    // Bytes have gone, and the rest cannot follow before the server reads: the write is under way.
    for (int i = 0; i < 3000 && link->unsentBytes() == 0; ++i) std::this_thread::sleep_for(1ms);
    writing = true;
    // The reader's part: take in the request (only commands came: -1) and answer it.
    uint8_t b[16];
    for (pollfd p{link->fd(), POLLIN, 0}; ::poll(&p, 1, 3000) > 0 && link->readSome(b, sizeof b) > 0;) {
    }
    writer.join();
    server.reset();  // once it has read all it expects, or given up waiting
    const auto parted = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
    EXPECT_TRUE(got == expected) << "the streams part at byte " << (parted.first - got.begin()) << " of " << got.size();
}

// A server that takes nothing fills the socket; the write waiting for room gives way to the stop
// socket (on Windows the close event's socket pair) and says it was stopped, not broken.
TEST(NetWrite, AWriteIntoAFullSocketGivesWayToTheStop) {
    for (const char* scheme : {"tcp", "rfc2217"}) {
        SCOPED_TRACE(scheme);
        ScriptedServer server([&](int fd) {
            if (std::string(scheme) == "rfc2217") sendAll(fd, {Iac, 253, 44});
        });
        QString failure;
        const std::unique_ptr<tarvello::NetLink> link = tarvello::NetLink::open(server.name(scheme), failure);
        ASSERT_TRUE(link) << failure.toStdString();
        const int small = 16384;
        setsockopt(link->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        tarvello::net::Socket stopRead = -1, stopWrite = -1;
        ASSERT_TRUE(tarvello::net::MakeWakePair(stopRead, stopWrite));
        tarvello::net::Wake(stopWrite);  // seen once the socket is full
        const Bytes data(16 << 20, 0x5A);  // more than the loopback connection holds
        EXPECT_EQ(link->writeWhole(data.data(), data.size(), stopRead), -1);
        EXPECT_EQ(tarvello::net::LastError(), tarvello::net::Error::Cancelled);
        EXPECT_GT(link->unsentBytes(), 0);
        tarvello::net::Close(stopRead);
        tarvello::net::Close(stopWrite);
    }
}

// The server takes the bytes at once; write-empty still waits for the line: 48 bytes at 4800
// baud, 10 bits each, are 100 ms.
TEST(NetWrite, WriteEmptyNeverComesBeforeTheLineTime) {
    for (const char* scheme : {"tcp", "rfc2217"}) {
        ScriptedServer server([&](int fd) {
            if (std::string(scheme) == "rfc2217") sendAll(fd, {Iac, 253, 44});
            holdUntilClosed(fd);
        });
        TComm comm;
        ApplyComm1Defaults(comm);
        comm.setCommName(server.name(scheme));
        EventRecorder rec(comm);
        ASSERT_NO_THROW(comm.OpenPort()) << scheme;
        ASSERT_TRUE(RunUntil([&] { return rec.sendEmpty == 1; }));
        SteadyClock::time_point emptyAt;
        comm.OnSendDataEmpty = [&](TComm*) {
            ++rec.sendEmpty;
            emptyAt = SteadyClock::now();
        };
        const Bytes frame(48, 0x5A);
        const auto start = SteadyClock::now();
        ASSERT_TRUE(comm.WriteData(frame.data(), uint16_t(frame.size())));
        ASSERT_TRUE(RunUntil([&] { return rec.sendEmpty == 2; }));
        EXPECT_GE(emptyAt - start, 100ms) << scheme;
        comm.ClosePort();
        server.m_done = true;
    }
}

// Opening in the background: the caller's thread goes on at once; the answer arrives as an
// event, and an attempt given up (port closed, another name picked, component gone) never
// answers nor leaves the port behind.
TEST(NetOpenInBackground, TheCallerGoesOnAndTheAnswerComesAsAnEvent) {
    enum class Then { Wait, Close, Destroy };
    struct Case {
        const char* what;
        const char* scheme;
        bool answers;  // the server takes the Telnet option; else it stays silent
        Then then;
        bool opens;
    };
    const Case cases[] = {
        {"raw_opens", "tcp", true, Then::Wait, true},
        {"telnet_opens", "rfc2217", true, Then::Wait, true},
        {"silent_telnet_fails_later", "rfc2217", false, Then::Wait, false},
        {"closed_while_connecting", "rfc2217", false, Then::Close, false},
        {"destroyed_while_connecting", "rfc2217", false, Then::Destroy, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server([&](int fd) {
            if (c.answers && std::string(c.scheme) == "rfc2217") sendAll(fd, {Iac, 253, 44});
            holdUntilClosed(fd);
        });
        auto comm = std::make_unique<TComm>();
        ApplyComm1Defaults(*comm);
        comm->setCommName(server.name(c.scheme));
        int answers = 0;
        QString error;
        comm->OpenPortInBackground([&](const QString& e) {
            ++answers;
            error = e;
        });
        // Nothing is decided before the event loop runs: the caller was not held up.
        EXPECT_TRUE(comm->isOpening());
        EXPECT_FALSE(comm->isOpen());
        EXPECT_EQ(answers, 0);
        if (c.then == Then::Close) comm->ClosePort();
        if (c.then == Then::Destroy) comm.reset();
        if (c.then == Then::Wait) {
            ASSERT_TRUE(RunUntil([&] { return answers > 0; }, 2000));
            EXPECT_EQ(error.isEmpty(), c.opens) << error.toStdString();
            EXPECT_EQ(comm->isOpen(), c.opens);
            EXPECT_FALSE(comm->isOpening());
            if (!c.opens) {
                EXPECT_TRUE(error.contains(QLatin1String("gave no RFC 2217 answer"))) << error.toStdString();
            }
        } else {
            RunFor(TComm::NetworkOpenLimitMs + 200);  // past the helper thread's own end
            EXPECT_EQ(answers, 0);
            if (comm) {
                EXPECT_FALSE(comm->isOpen());
            }
        }
        if (comm && c.opens) {
            // An opened port carries bytes as one opened in the foreground does.
            EventRecorder rec(*comm);
            const Bytes frame{0x01, 0x02};
            EXPECT_TRUE(comm->WriteData(frame.data(), uint16_t(frame.size())));
            EXPECT_TRUE(RunUntil([&] { return rec.sendEmpty >= 1; }));
        }
        comm.reset();
        server.m_done = true;
    }
}

}  // namespace

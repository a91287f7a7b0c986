#include "pty_support.h"

#include "serial/portname.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

TEST(PortName, NamesMapToDevicePaths) {
    QStringList asked;
    const auto ports = [&](const QString& key) {
        asked << key;
        if (key == QStringLiteral("COM4")) return QStringLiteral("rfc2217://10.0.0.7:2001");
        return key == QStringLiteral("COM3") ? QStringLiteral("/dev/ttyUSB1") : QString();
    };
    struct Case {
        const char* name;
        const char* withPorts;  // [PORTS] maps COM3 and COM4 only
        const char* withoutPorts;
    };
    const Case cases[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"/tmp/COM1", "/tmp/COM1", "/tmp/COM1"},
        {"COM1", "/dev/ttyS0", "/dev/ttyS0"},
        {"COM3", "/dev/ttyUSB1", "/dev/ttyS2"},
        {"com3", "/dev/ttyUSB1", "/dev/ttyS2"},
        {"COM10", "/dev/ttyS9", "/dev/ttyS9"},
        {"COM4", "rfc2217://10.0.0.7:2001", "/dev/ttyS3"},
        {"tcp://192.168.1.20:4001", "tcp://192.168.1.20:4001", "tcp://192.168.1.20:4001"},
        {"COM0", "COM0", "COM0"},
        {"COM", "COM", "COM"},
        {"COM1 ", "COM1 ", "COM1 "},
        {"ttyS0", "ttyS0", "ttyS0"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ResolvePortName(QString::fromLatin1(c.name), ports), QString::fromLatin1(c.withPorts)) << c.name;
        EXPECT_EQ(ResolvePortName(QString::fromLatin1(c.name), {}), QString::fromLatin1(c.withoutPorts)) << c.name;
    }
    EXPECT_EQ(asked, QStringList({"COM1", "COM3", "COM3", "COM10", "COM4"}));
}

TEST(PortName, OpenPortGoesThroughTheResolver) {
    PseudoTerminal pty;
    TComm comm;
    QString resolved;
    comm.PortResolver = [&](const QString& name) {
        resolved = name;
        return ResolvePortName(name, [&](const QString&) { return pty.slavePath(); });
    };
    comm.setCommName(QStringLiteral("COM1"));
    comm.OpenPort();
    EXPECT_EQ(resolved, QStringLiteral("COM1"));
    const uint8_t byte = 7;
    ASSERT_TRUE(comm.WriteData(&byte, 1));
    EXPECT_EQ(pty.readExactly(1, 3000), Bytes{byte});
}

TEST(PortName, TypedNamesAreCheckedBeforeAnythingOpens) {
    QTemporaryDir tmp;
    QFile device(tmp.filePath(QStringLiteral("ttyUSB0")));
    ASSERT_TRUE(device.open(QIODevice::WriteOnly));
    struct Case {
        QString name;
        TypedPortName expected;
    };
    const Case cases[] = {
        {device.fileName(), TypedPortName::Ok},
        {QStringLiteral("tcp://192.168.1.20:4001"), TypedPortName::Ok},
        {QStringLiteral("RFC2217://[fe80::1]:2217"), TypedPortName::Ok},
        {QStringLiteral("rfc2217://ser2net.local:65535"), TypedPortName::Ok},
        {QStringLiteral(" "), TypedPortName::Empty},
        {tmp.filePath(QStringLiteral("ttyUSB1")), TypedPortName::NoSuchDevice},
        {tmp.path(), TypedPortName::Folder},
        {QStringLiteral("tcp://192.168.1.20"), TypedPortName::BadNetworkAddress},
        {QStringLiteral("tcp://:4001"), TypedPortName::BadNetworkAddress},
        {QStringLiteral("tcp://host:0"), TypedPortName::BadNetworkAddress},
        {QStringLiteral("rfc2217://host:65536"), TypedPortName::BadNetworkAddress},
        {QStringLiteral("tcp://my host:4001"), TypedPortName::BadNetworkAddress},
        {QStringLiteral("ttyUSB0"), TypedPortName::Unknown},
        {QStringLiteral("COM3"), TypedPortName::Unknown},
        {QStringLiteral("http://host:80"), TypedPortName::Unknown},
    };
    for (const Case& c : cases) EXPECT_EQ(CheckTypedPortName(c.name), c.expected) << c.name.toStdString();
}

// Two names of one port give one identity; names of two ports never do.
TEST(PortName, IdentityTellsWhetherTwoNamesReachOnePort) {
    QTemporaryDir dir;
    const QString device = dir.filePath(QStringLiteral("ttyUSB0"));
    ASSERT_TRUE(QFile(device).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QFile::link(device, dir.filePath(QStringLiteral("usb-FTDI-if00-port0"))));
    struct Case {
        QString a, b;
        bool same;
    };
    const Case cases[] = {
        {dir.filePath(QStringLiteral("./usb-FTDI-if00-port0")), device, true},
        {dir.filePath(QStringLiteral("ttyUSB1")), device, false},
        {"tcp://SRV2.:04001", "rfc2217://srv2:4001", true},
        {"tcp://srv2:4001", "tcp://srv2:4002", false},
        {"tcp://srv2:4001", "tcp://srv1:4001", false},
        {"tcp://[FE80::1]:4001", "rfc2217://[fe80::1]:4001", true},
        {"\\\\.\\COM10", "com10", true},
        {"COM1", "COM10", false},
        {"/dev/ttyS0", "tcp://dev:0", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PortIdentity(c.a) == PortIdentity(c.b), c.same) << c.a.toStdString() << " / " << c.b.toStdString();
}

#include "pty_support.h"

#include "serial/portname.h"

#include <gtest/gtest.h>

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

#include "pty_support.h"

#include "serial/portname.h"

#include <gtest/gtest.h>

TEST(PortName, NamesMapToDevicePaths) {
    QStringList asked;
    const auto ports = [&](const QString& key) {
        asked << key;
        return key == QStringLiteral("COM3") ? QStringLiteral("/dev/ttyUSB1") : QString();
    };
    struct Case {
        QString name;
        QString path;
    };
    const Case cases[] = {
        {QStringLiteral("/dev/ttyUSB0"), QStringLiteral("/dev/ttyUSB0")},
        {QStringLiteral("/tmp/COM1"), QStringLiteral("/tmp/COM1")},
        {QStringLiteral("COM1"), QStringLiteral("/dev/ttyS0")},
        {QStringLiteral("COM3"), QStringLiteral("/dev/ttyUSB1")},
        {QStringLiteral("com3"), QStringLiteral("/dev/ttyUSB1")},
        {QStringLiteral("COM10"), QStringLiteral("/dev/ttyS9")},
        {QStringLiteral("COM0"), QStringLiteral("COM0")},
        {QStringLiteral("COM"), QStringLiteral("COM")},
        {QStringLiteral("COM1 "), QStringLiteral("COM1 ")},
        {QStringLiteral("ttyS0"), QStringLiteral("ttyS0")},
        {QString(), QString()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ResolvePortName(c.name, ports), c.path) << c.name.toStdString();
        EXPECT_EQ(ResolvePortName(c.name, {}), c.name == QStringLiteral("COM3") || c.name == QStringLiteral("com3")
                                                   ? QStringLiteral("/dev/ttyS2")
                                                   : c.path)
            << c.name.toStdString();
    }
    EXPECT_EQ(asked, QStringList({"COM1", "COM3", "COM3", "COM10"}));
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

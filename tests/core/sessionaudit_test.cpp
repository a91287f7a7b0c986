#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "core/portkeeper.h"
#include "core/session.h"
#include "sim/bus_simulator.h"

// The self-check and a password change, as the session records them whichever face asked: one
// row each for the start, every periodic press and the stop, with the level logged in; the new
// password is in no byte of the record.
TEST(SessionAudit, TheSelfCheckAndAPasswordChangeAreRecordedOnceEach)
{
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    QTemporaryDir dir;
    BusSimulator bus;
    bus.addDevice(1, 4);
    bus.start();
    {
        Session session(dir.path(), [&bus](const QString&) { return QString::fromStdString(bus.slavePath()); });
        ASSERT_TRUE(session.passwords().Create(QStringLiteral("adm-1"), QStringLiteral("op-1"), QStringLiteral("su-1")));
        session.passwords().Open();
        session.passwords().setLevel(ModeSuperUser);
        PortKeeper keeper(session);
        ASSERT_TRUE(keeper.open(QStringLiteral("COM1")));

        ControlEngine& engine = session.engine();
        Targets device;
        device.devices = { { 1, 4 } };
        engine.selfCheckClicked(60, device);
        engine.onSelfCheckPeriod();
        engine.selfCheckClicked(std::nullopt, {});
        session.passwords().Change(AdministratorRecord, QStringLiteral("N3w-adm!n"));
        session.audit().flush();

        QStringList rows;
        for (const AuditRow& row : session.audit().rows({ std::nullopt, std::nullopt, { "self-check", "password-change" }, std::nullopt })) {
            rows.prepend(row.action + QStringLiteral(": ") + row.detail);
            EXPECT_EQ(row.level, ModeSuperUser);
            EXPECT_EQ(row.source, QStringLiteral("window"));
        }
        EXPECT_EQ(rows, (QStringList { "self-check: start, every 60 s: 1:4", "self-check: down: 1:4", "self-check: stop",
                            "password-change: the administrator password" }));
        session.passwords().Close();
    }
    for (const QString& name : QDir(dir.path()).entryList({ QStringLiteral("Audit.DB*") }, QDir::Files)) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_FALSE(file.readAll().contains("N3w-adm!n")) << name.toStdString();
    }
    bus.stop();
}

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
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

// A row about a device whose re-address waits for its check (the editor's rename) follows the
// re-address's row, whether the device answers at its new address or the run ends first; a row
// about any other device goes at once. A stop-all asked for by another program is credited to it.
TEST(SessionAudit, RowsFollowTheReaddressOfTheirDeviceAndAHandedStopIsCreditedToWhoAsked)
{
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    struct Case {
        const char* name;
        bool readdress;     // 1:4 is re-addressed to 2:9 first
        bool endAtOnce;     // the session ends before the device is asked
        QStringList rows;   // oldest first
    } cases[] = {
        { "checked", true, false, { "readdress 1:4 -> 2:9, answers there", "rename device 2:9 \"a\" -> \"b\"", "add device 3:3" } },
        { "never checked", true, true, { "add device 3:3", "readdress 1:4 -> 2:9, not verified", "rename device 2:9 \"a\" -> \"b\"" } },
        { "no re-address", false, false, { "rename device 2:9 \"a\" -> \"b\"", "add device 3:3" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        BusSimulator bus;
        bus.addDevice(1, 4);
        bus.start();
        {
            Session session(dir.path(), [&bus](const QString&) { return QString::fromStdString(bus.slavePath()); });
            session.passwords().setLevel(ModeAdministrator);
            PortKeeper keeper(session);
            ASSERT_TRUE(keeper.open(QStringLiteral("COM1")));
            if (c.readdress)
                ASSERT_TRUE(session.engine().sendReaddress(1, 4, 2, 9));
            session.auditTrail().record(QStringLiteral("rename"), QStringLiteral("device 2:9 \"a\" -> \"b\""), { { 2, 9 } });
            if (!c.endAtOnce) {
                QElapsedTimer guard; // against a hang
                for (guard.start(); session.audit().rows({ std::nullopt, std::nullopt, { "rename" }, std::nullopt }).empty()
                     && guard.elapsed() < 5000;)
                    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            }
            session.auditTrail().record(QStringLiteral("add"), QStringLiteral("device 3:3"), { { 3, 3 } });
        }
        QStringList rows;
        for (const AuditRow& row : AuditLog(dir.path(), 0).rows({ std::nullopt, std::nullopt, { "readdress", "rename", "add" }, std::nullopt }))
            rows.prepend(row.action + QLatin1Char(' ') + row.detail);
        EXPECT_EQ(rows, c.rows);
        bus.stop();
    }

    // Two programs asked together: one stop-all, credited to the first with both named; the next
    // stop-all is the session's own.
    QTemporaryDir dir;
    BusSimulator bus;
    bus.start();
    Session session(dir.path(), [&bus](const QString&) { return QString::fromStdString(bus.slavePath()); });
    session.passwords().setLevel(ModeOperator);
    PortKeeper keeper(session);
    ASSERT_TRUE(keeper.open(QStringLiteral("COM1")));
    for (qint64 pid : { 101, 102 }) {
        QFile asker(dir.filePath(QStringLiteral("tarvello.stop-%1").arg(pid)));
        ASSERT_TRUE(asker.open(QIODevice::WriteOnly));
        asker.write(QByteArrayLiteral("level=15\nsource=tarvello-ctl\n"));
        asker.close();
        asker.setFileTime(QDateTime::currentDateTimeUtc().addSecs(pid - 110), QFileDevice::FileModificationTime);
    }
    session.creditStopRequest();
    EXPECT_TRUE(QDir(dir.path()).entryList({ QStringLiteral("tarvello.stop-*") }).isEmpty()) << "each asker taken once";
    session.engine().stopAll();
    QElapsedTimer guard;
    for (guard.start(); session.audit().rows({ std::nullopt, std::nullopt, { "stop-all" }, std::nullopt }).empty() && guard.elapsed() < 5000;)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    session.creditStopRequest(); // nobody asked
    session.engine().stopAll();
    for (guard.start(); session.audit().rows({ std::nullopt, std::nullopt, { "stop-all" }, std::nullopt }).size() < 2 && guard.elapsed() < 5000;)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    session.audit().flush();
    QStringList stops;
    for (const AuditRow& row : session.audit().rows({ std::nullopt, std::nullopt, { "stop-all" }, std::nullopt }))
        stops.prepend(QStringLiteral("%1 %2: %3").arg(AuditLevelName(row.level), row.source, row.detail));
    EXPECT_EQ(stops, (QStringList { "none tarvello-ctl: stop to every device, asked by tarvello-ctl (process 101), tarvello-ctl (process 102)",
                                    "operator window: stop to every device" }));
    bus.stop();
}

// Publishing to a real Mosquitto on 127.0.0.1: what the broker holds after polls of the simulated
// bus, what it holds when the program ends or dies, a broker that goes and comes back, and what
// never appears in a message. Every wait is bounded.

#include "../support/register_fill.h"
#include "access/passwordstore.h"
#include "common/inifile.h"
#include "core/sessionrun.h"
#include "mqtt/mqttpublisher.h"
#include "register/register.h"
#include "sim/bus_simulator.h"
#include "broker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <signal.h>

namespace {

const QString OperatorPassword = QStringLiteral("oper1");
const QString BrokerPassword = QStringLiteral("brokerSecret");

// Runs the event loop until `done` or timeoutMs.
bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return done();
}

QJsonObject json(const QString& text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

void writeFile(const QString& path, const QByteArray& bytes, QFile::Permissions permissions)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    f.close();
    f.setPermissions(permissions);
}

TEST(MqttSettingsTest, ReadsTheSectionAndRefusesAPasswordFileOthersCanRead)
{
    struct Case {
        const char* ini;
        QFile::Permissions passwordFile; // of DFiles/pw, holding "s3cret"; none: no file
        bool enabled;
        int port;
        const char* site;     // nullptr: not checked
        const char* password;
        const char* problem;  // a word of the English message; nullptr: none
    };
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    const Case cases[] = {
        { "", {}, false, 1883, nullptr, "", nullptr },
        { "Host=broker", {}, true, 1883, nullptr, "", nullptr },
        { "Host=broker\nCAFile=/etc/ca.pem", {}, true, 8883, nullptr, "", nullptr },
        { "Host=broker\nPort=2000\nSite=north/hall+2#b", {}, true, 2000, "north_hall_2_b", "", nullptr },
        { "Host=broker\nPasswordFile=pw", ownerOnly, true, 1883, nullptr, "s3cret", nullptr },
        { "Host=broker\nPasswordFile=pw", ownerOnly | QFile::ReadGroup, false, 1883, nullptr, "", "other users" },
        { "Host=broker\nPasswordFile=pw", ownerOnly | QFile::ReadOther, false, 1883, nullptr, "", "other users" },
        { "Host=broker\nPasswordFile=missing", {}, false, 1883, nullptr, "", "cannot be read" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ini);
        QTemporaryDir dir;
        writeFile(dir.filePath(QStringLiteral("DB.ini")), QByteArray("[MQTT]\n") + c.ini + "\n", ownerOnly);
        if (c.passwordFile)
            writeFile(dir.filePath(QStringLiteral("pw")), "s3cret\n", c.passwordFile);
        MqttProblem problem;
        const MqttSettings s = ReadMqttSettings(TIniFile(dir.filePath(QStringLiteral("DB.ini"))), dir.path(), &problem);
        EXPECT_EQ(s.enabled(), c.enabled);
        EXPECT_EQ(s.port, c.port);
        if (c.site) {
            EXPECT_EQ(s.site, QLatin1String(c.site));
        }
        EXPECT_FALSE(s.site.contains(QLatin1Char('/')) || s.site.contains(QLatin1Char('+')) || s.site.contains(QLatin1Char('#')));
        EXPECT_EQ(s.password, QLatin1String(c.password));
        EXPECT_EQ(problem.any(), c.problem != nullptr);
        if (c.problem) {
            EXPECT_TRUE(problem.say(1).contains(QLatin1String(c.problem))) << problem.say(1).toStdString();
            EXPECT_FALSE(problem.say(0).isEmpty());
        }
    }
}

TEST(MqttPolledTest, RunsOfDevicesAskedWithinOneStep)
{
    const QDateTime now = QDateTime::fromString(QStringLiteral("2026-12-08T01:41:25.000Z"), Qt::ISODateWithMs);
    struct Device {
        int group;
        int id;
        int msBefore; // -1: not asked yet
    };
    struct Case {
        const char* what;
        std::vector<Device> devices;
        int step;
        const char* groups; // the "groups" object expected
    };
    const Case cases[] = {
        { "nothing listed", {}, 5, "{}" },
        { "one round within a step", { { 1, 11, 0 }, { 1, 12, 900 }, { 1, 13, 4999 } }, 5, R"({"1":[[11,13,0]]})" },
        { "ages rounded down to the step", { { 1, 11, 5000 }, { 1, 12, 9999 }, { 1, 13, 10000 } }, 5, R"({"1":[[11,12,5],[13,13,10]]})" },
        { "a step of one second", { { 1, 11, 1999 }, { 1, 12, 2000 } }, 1, R"({"1":[[11,11,1],[12,12,2]]})" },
        { "gaps between IDs do not cut a run", { { 2, 1, 100 }, { 2, 500, 200 }, { 2, 999, 300 } }, 5, R"({"2":[[1,999,0]]})" },
        { "a device not asked cuts the run and is in none",
          { { 1, 11, 100 }, { 1, 12, -1 }, { 1, 13, 100 } }, 5, R"({"1":[[11,11,0],[13,13,0]]})" },
        { "a group not asked at all is absent", { { 1, 11, -1 }, { 2, 21, 3000 } }, 5, R"({"2":[[21,21,0]]})" },
        { "groups apart, same age", { { 1, 11, 0 }, { 2, 21, 0 } }, 5, R"({"1":[[11,11,0]],"2":[[21,21,0]]})" },
        { "a clock that went back counts as now", { { 3, 7, -30000 } }, 5, R"({"3":[[7,7,0]]})" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<MqttPublisher::LastPoll> devices;
        for (const Device& d : c.devices) {
            // -30000: asked "after" now, as a clock set back makes it
            const QDateTime time = d.msBefore == -1 ? QDateTime() : now.addMSecs(-d.msBefore);
            devices.push_back({ d.group, d.id, time });
        }
        const QJsonObject o = json(QString::fromUtf8(MqttPublisher::polledJson(devices, now, c.step, 12, now.addSecs(-340))));
        EXPECT_EQ(QJsonDocument(o[QStringLiteral("groups")].toObject()).toJson(QJsonDocument::Compact), QByteArray(c.groups));
        EXPECT_EQ(o[QStringLiteral("time")].toString(), QStringLiteral("2026-12-08T01:41:25.000Z"));
        EXPECT_EQ(o[QStringLiteral("periodSeconds")].toInt(), 12);
        EXPECT_EQ(o[QStringLiteral("listedSeconds")].toInt(), 340);
    }
    // No round timed yet: no period.
    EXPECT_TRUE(json(QString::fromUtf8(MqttPublisher::polledJson({}, now, 5, 0, now)))[QStringLiteral("periodSeconds")].isNull());
    // Sent at least every five seconds, and as often as the face polls.
    for (auto [every, sent] : { std::pair { 0, 5 }, { 1, 1 }, { 3, 3 }, { 5, 5 }, { 60, 5 } })
        EXPECT_EQ(MqttPublisher::polledEverySeconds(every), sent) << every;
}

class MqttBusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        dataDir = tmp.path() + QStringLiteral("/DFiles");
        TPasswordStore store(dataDir);
        ASSERT_TRUE(store.Create(QStringLiteral("admin1"), OperatorPassword, QStringLiteral("super1")));
        ASSERT_TRUE(broker.start()) << "mosquitto did not start (scripts/setup-deps installs it)";
        for (auto [group, id] : { std::pair { 2, 5 }, { 2, 6 }, { 3, 7 } })
            sim.addDevice(uint8_t(group), uint16_t(id));
        ASSERT_NO_THROW(sim.start());
        registerDevices({ { 2, 5, "Hoist A" }, { 2, 6, "Hoist B" }, { 3, 7, "Winch" } });
        writeFile(dataDir + QStringLiteral("/broker.pw"), BrokerPassword.toUtf8() + "\n", QFile::ReadOwner | QFile::WriteOwner);
        writeFile(dataDir + QStringLiteral("/DB.ini"),
            QStringLiteral("[MQTT]\nHost=127.0.0.1\nPort=%1\nSite=rig\nUser=tarvello\nPasswordFile=broker.pw\n")
                .arg(broker.port()).toUtf8(), QFile::ReadOwner | QFile::WriteOwner);
    }

    void registerDevices(const std::vector<std::tuple<int, int, QString>>& devices) { FillRegister(dataDir, devices); }

    // The devices' retained states: "group/id" -> online as JSON text ("true", "false", "null").
    std::map<QString, QString> states()
    {
        std::map<QString, QString> out;
        for (const auto& [topic, payload] : broker.retained())
            if (topic.startsWith(QLatin1String("tarvello/rig/1/device/"))) {
                const QJsonValue v = json(payload)[QStringLiteral("online")];
                out[topic.section(QLatin1Char('/'), 4)] = v.isNull() ? "null" : v.toBool() ? "true" : "false";
            }
        return out;
    }

    // A session on the simulated bus, publishing, logged in, after its first poll.
    struct Polling {
        std::unique_ptr<SessionRun> run;
        std::unique_ptr<MqttPublisher> publisher;
    };
    Polling startPolling()
    {
        Polling p { std::make_unique<SessionRun>(dataDir, 1, QString::fromStdString(sim.slavePath())), nullptr };
        p.publisher = StartMqtt(p.run->session(), nullptr);
        p.run->logIn(OperatorPassword);
        p.run->openRegister();
        p.run->openPort();
        p.run->poll();
        return p;
    }
    QString status(const char* key)
    {
        return json(broker.retained()[QStringLiteral("tarvello/rig/status")])[QLatin1String(key)].toVariant().toString();
    }

    QTemporaryDir tmp;
    QString dataDir;
    Broker broker;
    BusSimulator sim;
};

TEST_F(MqttBusTest, RetainedStatesFollowTheBusAnOffLineDeviceIsPublishedOnceAndNoPasswordIsEver)
{
    Subscriber all(broker.port());
    const Polling p = startPolling();
    ASSERT_TRUE(p.publisher);
    SessionRun& run = *p.run;
    const std::map<QString, QString> online { { "2/5", "true" }, { "2/6", "true" }, { "3/7", "true" } };
    EXPECT_TRUE(waitFor([&] { return states() == online; })) << states().size();
    EXPECT_EQ(status("running"), QStringLiteral("true"));
    EXPECT_EQ(status("level"), QStringLiteral("operator"));
    EXPECT_EQ(json(broker.retained()[QStringLiteral("tarvello/rig/1/device/2/5")])[QStringLiteral("name")].toString(), QStringLiteral("Hoist A"));

    // The winch goes off line: said once, however often it is asked.
    sim.setOffline(3, 7);
    for (int round = 0; round < 3; ++round)
        run.poll();
    EXPECT_TRUE(waitFor([&] { return states()[QStringLiteral("3/7")] == QLatin1String("false"); }));
    EXPECT_EQ(all.lines().filter(QRegularExpression(QStringLiteral("^tarvello/rig/1/device/3/7 .*\"online\":false"))).size(), 1);

    // Yet every query is said, apart and in short: each device in a run of its group, asked
    // within the last seconds, beside the time between two rounds; the status says the period.
    p.publisher->setPollEvery(1);
    run.poll();
    EXPECT_TRUE(waitFor([&] { return status("pollEverySeconds") == QLatin1String("1"); }));
    QJsonObject polled;
    const auto asked = [&] {
        polled = json(broker.retained()[QStringLiteral("tarvello/rig/1/polled")]);
        std::map<QString, qint64> ages; // "group/id" -> seconds
        const QJsonObject groups = polled[QStringLiteral("groups")].toObject();
        for (auto g = groups.begin(); g != groups.end(); ++g)
            for (const QJsonValue run : g.value().toArray())
                for (int id : { 5, 6, 7 })
                    if (id >= run[0].toInt() && id <= run[1].toInt())
                        ages[g.key() + QLatin1Char('/') + QString::number(id)] = run[2].toInteger();
        return ages;
    };
    EXPECT_TRUE(waitFor([&] {
        const std::map<QString, qint64> ages = asked();
        // This loop blocks while it reads the broker: the timer is late by a second or two.
        return ages.size() == 3 && std::all_of(ages.begin(), ages.end(), [](const auto& a) { return a.second <= 5; })
            && polled[QStringLiteral("periodSeconds")].toInt() >= 1;
    })) << QJsonDocument(polled).toJson().toStdString();

    // A device taken out of the register is cleared at the broker.
    registerDevices({ { 2, 5, "Hoist A" }, { 3, 7, "Winch" } });
    run.poll();
    EXPECT_TRUE(waitFor([&] { return !states().count(QStringLiteral("2/6")); }));

    // A password change is an event; no password is in any message, the account not unless asked.
    run.session().passwords().Change(OperatorRecord, QStringLiteral("newSecret9"));
    EXPECT_TRUE(waitFor([&] { return !all.lines().filter(QStringLiteral("password-change")).isEmpty(); }));
    for (const QString& line : all.lines()) {
        for (const QString& secret : { OperatorPassword, BrokerPassword, QStringLiteral("newSecret9") })
            EXPECT_FALSE(line.contains(secret)) << line.toStdString();
        if (line.startsWith(QLatin1String("tarvello/rig/events "))) {
            EXPECT_FALSE(json(line.section(QLatin1Char(' '), 1)).contains(QStringLiteral("user"))) << line.toStdString();
        }
    }

    // The port closed and its rows marked off line, as the window does when it hears of a lost
    // port: every device is unknown, none is said to be off line.
    const qsizetype offLine = all.lines().filter(QStringLiteral("\"online\":false")).size();
    run.session().port().ClosePort();
    run.session().devices().markAllOffLine();
    EXPECT_TRUE(waitFor([&] {
        std::map<QString, QString> now = states();
        return now[QStringLiteral("2/5")] == QLatin1String("null") && now[QStringLiteral("3/7")] == QLatin1String("null");
    }));
    EXPECT_EQ(all.lines().filter(QStringLiteral("\"online\":false")).size(), offLine);
    EXPECT_TRUE(json(broker.retained()[QStringLiteral("tarvello/rig/status")])[QStringLiteral("port")].toObject()[QStringLiteral("lost")].toBool());
}

TEST_F(MqttBusTest, ADeviceOfAGroupNotListedIsNotSaidToBeAskedAgain)
{
    const Polling p = startPolling(); // every device asked once
    p.publisher->setPollEvery(1);
    Session& session = p.run->session();
    ControlEngine& engine = session.engine();
    // The window showing group 2 only: its poll walks those rows, and the winch of group 3 is
    // not asked.
    DeviceFilter shown;
    shown.setSourceModel(&session.devices());
    shown.setGroup(2);
    engine.setRows(&shown);
    const auto ageOf = [](const QJsonObject& polled, const QString& group, int id) -> qint64 {
        for (const QJsonValue run : polled[QStringLiteral("groups")].toObject()[group].toArray())
            if (id >= run[0].toInt() && id <= run[1].toInt())
                return run[2].toInteger();
        return -1;
    };
    QJsonObject polled;
    const bool apart = waitFor([&] {
        engine.prepareRebuild();
        engine.startPoll();
        waitFor([&] { return !engine.pollTimer.isActive(); }, 3000);
        polled = json(broker.retained()[QStringLiteral("tarvello/rig/1/polled")]);
        const qint64 shownAge = std::max(ageOf(polled, QStringLiteral("2"), 5), ageOf(polled, QStringLiteral("2"), 6));
        return std::min(ageOf(polled, QStringLiteral("2"), 5), ageOf(polled, QStringLiteral("2"), 6)) >= 0
            && ageOf(polled, QStringLiteral("3"), 7) >= shownAge + 3;
    }, 30000);
    engine.setRows(&session.devices());
    EXPECT_TRUE(apart) << QJsonDocument(polled).toJson().toStdString();
}

TEST_F(MqttBusTest, ABrokerGoneIsNoWaitForThePollAndGetsEveryStateOnceBack)
{
    const Polling p = startPolling();
    SessionRun& run = *p.run;
    MqttLink& link = p.publisher->link();
    ASSERT_TRUE(waitFor([&] { return states().size() == 3 && link.connected(); }));

    broker.stop();
    ASSERT_TRUE(waitFor([&] { return !link.connected(); }));
    sim.setOffline(2, 6);
    // The rounds go as with the broker there: one query a device each, every answer booked.
    for (int round = 0; round < 2; ++round) {
        const size_t before = sim.frameCount();
        const std::vector<RunDevice> devices = run.poll();
        EXPECT_EQ(sim.frameCount() - before, 3u);
        ASSERT_EQ(devices.size(), 3u);
        EXPECT_EQ(devices[1].online, std::optional<bool>(false));
    }

    // A broker back with nothing kept hears every state again, the change made meanwhile included.
    ASSERT_TRUE(broker.start());
    const std::map<QString, QString> now { { "2/5", "true" }, { "2/6", "false" }, { "3/7", "true" } };
    EXPECT_TRUE(waitFor([&] { return states() == now; }, 20000));
    EXPECT_EQ(status("running"), QStringLiteral("true"));
}

TEST_F(MqttBusTest, WatchEndedOrKilledLeavesTheBrokerSayingNotRunning)
{
    struct Case {
        int signal;
        bool cleanExit;
    };
    for (const Case c : { Case { SIGTERM, true }, Case { SIGINT, true }, Case { SIGKILL, false } }) {
        SCOPED_TRACE(c.signal);
        ChildProcess watch;
        watch.start(QStringLiteral(TARVELLO_CTL_EXE), { QStringLiteral("watch"), QStringLiteral("--every"), QStringLiteral("1"),
            QStringLiteral("--data-dir"), dataDir, QStringLiteral("--port"), QString::fromStdString(sim.slavePath()) },
            { QStringLiteral("TARVELLO_PASSWORD=") + OperatorPassword });
        ASSERT_TRUE(waitFor([&] { return status("running") == QLatin1String("true"); }));
        watch.kill(c.signal);
        ASSERT_TRUE(watch.wait(10000));
        EXPECT_EQ(watch.exitedWithZero(), c.cleanExit);
        EXPECT_TRUE(waitFor([&] { return broker.retained()[QStringLiteral("tarvello/rig/status")] == QLatin1String("{\"running\":false}"); }, 5000));
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

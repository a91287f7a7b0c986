#include "watch.h"

#include "core/endrequests.h"
#include "core/sessionrun.h"
#include "mqtt/mqttpublisher.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>

#include "console.h"

namespace {

void say(FILE* to, const QString& line)
{
    QByteArray text = line.toUtf8() + '\n';
    if (to == stderr)
        text.prepend("tarvello-ctl: ");
    WriteText(to, text);
    std::fflush(to);
}

} // namespace

int Watch(SessionRun& run, EndRequests& ends, const std::function<QString()>& password, int everySeconds, bool json)
{
    MqttProblem problem;
    std::unique_ptr<MqttPublisher> publisher = StartMqtt(run.session(), &problem);
    if (problem.any()) {
        say(stderr, problem.say(1));
        return 1;
    }
    if (!publisher) {
        say(stderr, QStringLiteral("DB.ini names no MQTT broker ([MQTT] Host): the states are printed only"));
    } else {
        publisher->setPollEvery(everySeconds);
        const MqttSettings& s = publisher->settings();
        const QString broker = QStringLiteral("%1:%2").arg(s.host).arg(s.port);
        QObject::connect(publisher.get(), &MqttPublisher::brokerStateChanged, [broker](bool up, const QString& reason) {
            say(stderr, up ? QStringLiteral("MQTT broker %1 reached").arg(broker)
                           : QStringLiteral("MQTT broker %1 not reachable (%2): tried again in the background").arg(broker, reason));
        });
    }

    run.logIn(password());
    run.openRegister();
    run.openPort();

    // SIGINT, SIGTERM and SIGHUP (Ctrl+C, Ctrl+Break and a closed console on Windows) end the
    // watch between two steps of the event loop: the poll under way ends, the broker hears that
    // the program stopped, the port closes.
    QEventLoop waiting;
    bool stopping = EndRequests::arrived();
    QObject::connect(&ends, &EndRequests::requested, &waiting, [&] {
        stopping = true;
        waiting.quit();
    });

    bool portLostSaid = false;
    while (!stopping) {
        QElapsedTimer round;
        round.start();
        try {
            if (portLostSaid) {
                run.openPort();
                say(stderr, QStringLiteral("%1: the port is back").arg(run.portDescription()));
                portLostSaid = false;
            }
            const std::vector<RunDevice> devices = run.poll();
            if (stopping)
                break;
            const auto online = std::count_if(devices.begin(), devices.end(), [](const RunDevice& d) { return d.online.value_or(false); });
            const QString time = QDateTime::currentDateTime().toString(Qt::ISODate);
            if (json) {
                say(stdout, QString::fromUtf8(QJsonDocument(QJsonObject { { QStringLiteral("time"), time },
                    { QStringLiteral("devices"), int(devices.size()) }, { QStringLiteral("online"), int(online) },
                    { QStringLiteral("pollMs"), round.elapsed() } }).toJson(QJsonDocument::Compact)));
            } else {
                say(stdout, QStringLiteral("%1  %2 of %3 devices on line, poll %4 ms").arg(time).arg(online).arg(devices.size()).arg(round.elapsed()));
            }
        } catch (const RunError& e) {
            if (e.kind() != RunError::Port)
                throw;
            if (!portLostSaid)
                say(stderr, QString::fromStdString(e.what()) + QStringLiteral(": tried again every round"));
            portLostSaid = true;
        }
        const qint64 left = qint64(everySeconds) * 1000 - round.elapsed();
        if (!stopping && left > 0) {
            QTimer pause;
            pause.setSingleShot(true);
            QObject::connect(&pause, &QTimer::timeout, &waiting, &QEventLoop::quit);
            pause.start(int(left));
            waiting.exec();
        }
    }
    return 0;
}

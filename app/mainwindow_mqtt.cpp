// The main window's part in monitoring: the polls it makes while idle ([BUS] PollEverySeconds),
// and what it says of the MQTT broker the session publishes to.
#include "app/mainwindow.h"

#include "app/mainwindow_texts.h"
#include "app/statushints.h"
#include "app/widgets.h"
#include "mqtt/mqttpublisher.h"
#include "ui/messages.h"

using namespace mainwindow;

namespace {

// The status bar's hint panel holds a short line; the traffic record gets the broker and the reason.
constexpr Text BrokerDownPanel { "MQTT 服务器断开，后台重试中", "MQTT broker lost, retrying" };
constexpr Text BrokerUpPanel { "已连接 MQTT 服务器", "MQTT broker connected" };
constexpr Text BrokerDownRecord { "MQTT 服务器 %1 无法连接（%2），正在后台重试。",
                                  "The MQTT broker %1 cannot be reached (%2); it is tried again in the background." };
constexpr Text BrokerUpRecord { "已连接 MQTT 服务器 %1。", "Connected to the MQTT broker %1." };

} // namespace

int MainWindow::idlePollSeconds() const
{
    const int seconds = m_settings.ReadInteger(QStringLiteral("BUS"), QStringLiteral("PollEverySeconds"), 0);
    return seconds > 0 && seconds <= 86400 ? seconds : 0;
}

void MainWindow::startIdlePolls()
{
    const int seconds = idlePollSeconds();
    if (seconds == 0)
        return; // the default: the list is polled after each rebuild and on Refresh only
    m_idlePoll.setInterval(seconds * 1000);
    m_idlePoll.start();
}

bool MainWindow::idle() const
{
    return !m_closed && m_session->sceneOpen() && m_portKeeper->counted() && m_ui.deviceList->rowCount() > 0
        && m_engine.idle();
}

void MainWindow::idlePollDue()
{
    // Only a bus with nothing else to do is polled: a search, a self-check, a press being sent
    // or a poll under way goes first, and the next turn comes one interval later.
    if (idle())
        m_engine.refreshClicked();
}

void MainWindow::watchBroker(MqttPublisher* publisher, const MqttProblem& problem)
{
    if (problem.any()) {
        // Said once the window is up, over it.
        QTimer::singleShot(0, this, [this, problem] {
            if (const QString s = problem.say(); !s.isNull()) {
                m_hints->show([problem] { return problem.say(); });
                ShowInformation(this, s);
            }
        });
    }
    if (!publisher)
        return;
    publisher->setPollEvery(idlePollSeconds());
    const QString broker = QStringLiteral("%1:%2").arg(publisher->settings().host).arg(publisher->settings().port);
    connect(publisher, &MqttPublisher::brokerStateChanged, this, [this, broker](bool up, const QString& reason) {
        const Text& panel = up ? BrokerUpPanel : BrokerDownPanel;
        if (pick(panel).isNull())
            return;
        m_hints->show([&panel] { return pick(panel); });
        noteInRecord(up ? pick(BrokerUpRecord).arg(broker) : pick(BrokerDownRecord).arg(broker, reason));
    });
}

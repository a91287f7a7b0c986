// The main window's port: opening the port of the settings, picking another one, losing it.
#include "app/mainwindow.h"

#include <QComboBox>

#include "app/engineface.h"
#include "app/mainwindow_texts.h"
#include "app/widgets.h"
#include "ui/messages.h"

using namespace mainwindow;

bool MainWindow::openPort()
{
    if (m_port.isNetworkPort()) {
        connectInBackground(false, false);
        return false;
    }
    try {
        m_port.OpenPort();
    } catch (const ECommsError&) {
        if (const QString s = pick(PortErrorMessage); !s.isNull()) ShowError(this, s);
        paintPortState(false);
        return false;
    }
    paintPortState(true);
    return true;
}

void MainWindow::paintPortState(bool opened)
{
    // The port that was really opened or tried: a settings name beyond the selector's nine
    // (COM12) or a device path is shown as it is, not as the selector's entry.
    const QString name = m_port.CommName();
    if (opened) {
        // The settings text is the same in both languages.
        m_ui.statusBar->paintPanelText(PortPanel, QString::fromUtf8(PortSettingsPanel).arg(name), Qt::black);
    } else {
        const QString text = pick(PortErrorPanel);
        m_ui.statusBar->paintPanelText(PortPanel, text.isNull() ? QString() : text.arg(name), Qt::red);
    }
}

void MainWindow::connectInBackground(bool picked, bool quiet)
{
    const QString name = m_port.CommName();
    if (!quiet) {
        const QString text = pick(NetworkConnectingPanel);
        m_ui.statusBar->paintPanelText(PortPanel, text.isNull() ? QString() : text.arg(name), Qt::darkYellow);
    }
    m_port.OpenPortInBackground([this, picked, quiet, name](const QString& error) {
        if (error.isEmpty()) {
            portOpenedLater(picked);
            return;
        }
        if (quiet) return; // still away: the retry timer tries again
        paintPortState(false);
        if (const QString s = pick(NetworkErrorMessage); !s.isNull()) ShowError(this, s.arg(name, error));
    });
}

void MainWindow::portOpenedLater(bool picked)
{
    const bool wasRetrying = m_portRetry.isActive();
    m_portRetry.stop();
    PortOpen = 1;
    paintPortState(true);
    if (picked) writeSetting(QStringLiteral("COM"), QStringLiteral("num"), m_ui.portSelector->currentText());
    if (wasRetrying) {
        noteInRecord(pick(PortBackRecord, 1));
        // What moved when the connection was lost is stopped before anything else; the poll's
        // first query waits behind those stops.
        if (m_engine.stopWhatMovedBeforeTheLoss()) m_engine.prepareRebuild();
    } else {
        m_engine.forgetWhatMovedBeforeTheLoss();
    }
    if (m_ui.deviceList->rowCount() > 0) m_engine.startPoll();
}

void MainWindow::portSelected(int)
{
    m_portRetry.stop(); // the operator's pick ends the waiting for the lost port
    // Everything belonging to the old port ends first, whether the new one opens or not:
    // nothing queued for the old bus may go out on the new one.
    endWorkOnPort();
    m_engine.endProgress();
    m_port.ClosePort();
    m_port.setCommName(m_ui.portSelector->currentText());
    if (m_port.isNetworkPort()) {
        // Whatever ran against the old port ends now; the new one counts once it answers.
        PortOpen = 0;
        m_engine.portClosed();
        connectInBackground(true, false);
        return;
    }
    PortOpen = openPort() ? 1 : 0;
    if (PortOpen) {
        // Only a port that opened is remembered for the next start.
        writeSetting(QStringLiteral("COM"), QStringLiteral("num"), m_ui.portSelector->currentText());
    }
    // A port that did not open ends what ran against the old one.
    if (!PortOpen) m_engine.portClosed();
}

void MainWindow::portHungUp()
{
    // The device went away (a USB adapter pulled out): a port that cannot carry frames any more
    // must not look healthy. It is closed and shown in red, no row can be vouched for any more,
    // and the same port is tried again every PortRetryMs until it comes back.
    m_port.ClosePort();
    PortOpen = 0;
    if (m_port.isNetworkPort()) {
        // A connection that ended says so in the port panel: the server stopped or the network
        // went; the window goes on and tries again.
        const QString text = pick(NetworkLostPanel);
        m_ui.statusBar->paintPanelText(PortPanel, text.isNull() ? QString() : text.arg(m_port.CommName()), Qt::red);
    } else {
        paintPortState(false);
    }
    m_engine.portClosed();
    m_face->markAllOffLine();
    noteInRecord(pick(PortLostRecord, 1));
    if (!m_closed) m_portRetry.start();
}

void MainWindow::portRetryTick()
{
    if (m_port.isNetworkPort()) {
        // One attempt at a time; each gives up within the network limit, well inside a tick.
        if (!m_port.isOpening()) connectInBackground(false, true);
        return;
    }
    try {
        m_port.OpenPort();
    } catch (const ECommsError&) {
        return; // still away: quietly try again at the next tick
    }
    m_portRetry.stop();
    PortOpen = 1;
    paintPortState(true);
    noteInRecord(pick(PortBackRecord, 1));
    // What moved when the adapter was lost is stopped before anything else; the poll's first
    // query waits behind those stops.
    if (m_engine.stopWhatMovedBeforeTheLoss()) m_engine.prepareRebuild();
    if (m_ui.deviceList->rowCount() > 0) m_engine.startPoll();
}

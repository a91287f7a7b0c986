// The main window's port panel: what the port keeper says of the port, shown and said.
#include "app/mainwindow.h"

#include <QComboBox>
#include <QLineEdit>

#include "app/portnamedialog.h"
#include "serial/portname.h"

#include "app/engineface.h"
#include "app/mainwindow_texts.h"
#include "app/widgets.h"
#include "ui/messages.h"

using namespace mainwindow;

void MainWindow::connectPortKeeper()
{
    connect(m_session, &Session::portHungUp, m_portKeeper, &PortKeeper::hungUp);
    connect(m_portKeeper, &PortKeeper::stateChanged, this, &MainWindow::paintPortState);
    connect(m_portKeeper, &PortKeeper::openFailed, this, [this] {
        // Nothing can be asked through a port that did not open: no row is vouched for.
        m_session->devices().markAllUnknown();
        reportPortNotOpened();
    });
    connect(m_portKeeper, &PortKeeper::oldBusMayBeMoving, this, [this](const QString& port, const Targets& devices) {
        if (m_closed) return;
        if (const QString s = pick(OldBusMovingText); !s.isNull())
            ShowError(windowInUse(), s.arg(port, EngineFace::namedTargets(devices)));
    });
    connect(m_portKeeper, &PortKeeper::connectFailed, this, [this](const QString& name, const QString& error) {
        if (const QString s = pick(NetworkErrorMessage); !s.isNull()) ShowError(this, s.arg(name, error));
    });
    connect(m_portKeeper, &PortKeeper::opened, this, [this] {
        // The name itself: "COM3", an adapter's lasting name, a path or a server's address.
        writeSetting(QStringLiteral("COM"), QStringLiteral("num"), m_port.CommName());
    });
    connect(m_portKeeper, &PortKeeper::lost, this, [this] {
        m_face->markAllOffLine(); // no row can be vouched for any more
        noteInRecord(pick(PortLostRecord, 1));
    });
    connect(m_portKeeper, &PortKeeper::back, this, [this] { noteInRecord(pick(PortBackRecord, 1)); });
    connect(m_portKeeper, &PortKeeper::pollDue, this, [this] {
        if (m_ui.deviceList->rowCount() > 0) m_engine.startPoll();
    });
}

void MainWindow::paintPortState(PortKeeper::State state)
{
    // The port that was really opened or tried: a settings name beyond the selector's nine
    // (COM12) or a device path is shown as it is, not as the selector's entry.
    const QString name = m_port.CommName();
    const Text* text = nullptr;
    QColor colour = Qt::red;
    switch (state) {
    case PortKeeper::State::Open:
        // The settings text is the same in both languages.
        m_ui.statusBar->paintPanelText(PortPanel, QString::fromUtf8(PortSettingsPanel).arg(name), Qt::black);
        return;
    case PortKeeper::State::Failed: text = &PortErrorPanel; break;
    case PortKeeper::State::Connecting: text = &NetworkConnectingPanel; colour = Qt::darkYellow; break;
    // A connection that ended says so: the server stopped or the network went; it is tried again.
    case PortKeeper::State::ConnectionLost: text = &NetworkLostPanel; break;
    }
    const QString s = pick(*text);
    m_ui.statusBar->paintPanelText(PortPanel, s.isNull() ? QString() : s.arg(name), colour);
}

void MainWindow::reportPortNotOpened()
{
    if (const QString s = portErrorText(); !s.isNull()) ShowError(this, s);
}

QString MainWindow::portErrorText() const
{
    // The device tried, as the settings name it and as it was found, and why it did not open.
    const QString name = m_port.CommName();
    const QString device = m_port.PortResolver ? m_port.PortResolver(name) : ResolvePortName(name, {});
    const QString tried = device == name ? name : pick(PortTriedText).arg(name, device);
    const Text* reason = &PortUnknownReason;
    switch (IsNetworkPortName(device) ? PortOpenTrouble::Unknown : DiagnosePortOpenFailure(device)) {
    case PortOpenTrouble::Missing: reason = &PortMissingReason; break;
    case PortOpenTrouble::NoPermission: reason = &PortNoPermissionReason; break;
    case PortOpenTrouble::Busy: reason = &PortBusyReason; break;
    case PortOpenTrouble::Unknown:
        if (IsNetworkPortName(device)) reason = &PortNotConnectedReason;
        break;
    }
    const QString s = pick(PortErrorMessage);
    return s.isNull() ? s : s.arg(tried, pick(*reason));
}

void MainWindow::portSelected(int index)
{
    if (!m_ui.portSelector->isOtherEntry(index)) {
        m_portKeeper->pick(m_ui.portSelector->portName(index));
        return;
    }
    // Nothing changes until a name is given: the selector shows the port in use meanwhile.
    m_ui.portSelector->showPort(m_port.CommName());
    if (!m_portNameDialog) {
        m_portNameDialog = new PortNameDialog(this);
        connect(m_portNameDialog, &QDialog::accepted, this,
                [this] { otherPortChosen(m_portNameDialog->portName()); });
    }
    m_portNameDialog->retranslate();
    m_portNameDialog->nameEdit()->clear();
    m_portNameDialog->open();
}

void MainWindow::otherPortChosen(const QString& name)
{
    m_ui.portSelector->showPort(name);
    m_portKeeper->pick(name);
    // A name typed in that did not open is not offered again.
    if (!m_portKeeper->counted() && !m_portKeeper->connecting()) m_ui.portSelector->forgetTyped(name);
}

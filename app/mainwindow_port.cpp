// The main window's port panel: what the port keeper says of the port, shown and said.
#include "app/mainwindow.h"

#include <QComboBox>

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
        if (const QString s = pick(PortErrorMessage); !s.isNull()) ShowError(this, s);
    });
    connect(m_portKeeper, &PortKeeper::connectFailed, this, [this](const QString& name, const QString& error) {
        if (const QString s = pick(NetworkErrorMessage); !s.isNull()) ShowError(this, s.arg(name, error));
    });
    connect(m_portKeeper, &PortKeeper::opened, this, [this] {
        writeSetting(QStringLiteral("COM"), QStringLiteral("num"), m_ui.portSelector->currentText());
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

void MainWindow::portSelected(int)
{
    m_portKeeper->pick(m_ui.portSelector->currentText());
}

#include "core/portkeeper.h"

#include <QFileInfo>

#include "core/session.h"

PortKeeper::PortKeeper(Session& session, QObject* parent) : QObject(parent), m_session(session)
{
    m_retry.setInterval(RetryMs);
    connect(&m_retry, &QTimer::timeout, this, &PortKeeper::retryTick);
}

bool PortKeeper::connecting() const
{
    return m_session.port().isOpening();
}

bool PortKeeper::isCurrentPort(const QString& name) const
{
    TComm& port = m_session.port();
    const QString current = port.CommName();
    if (current.isEmpty() || name.isEmpty())
        return false;
    const auto resolve = [&port](const QString& n) {
        const QString path = port.PortResolver ? port.PortResolver(n) : n;
        const QString canonical = QFileInfo(path).canonicalFilePath();
        return canonical.isEmpty() ? path : canonical;
    };
    return name.compare(current, Qt::CaseInsensitive) == 0 || resolve(name) == resolve(current);
}

void PortKeeper::sendWhatIsOwed()
{
    // Owed stops first, then a stop to what moved when the port went; the poll's first query
    // waits behind them.
    ControlEngine& engine = m_session.engine();
    if (engine.stopWhatMovedBeforeTheLoss())
        engine.prepareRebuild();
}

bool PortKeeper::open(const QString& name)
{
    TComm& port = m_session.port();
    port.ClosePort();
    port.setCommName(name); // whatever the text is: COM12 opens COM12
    // The line's timing counts the latency of the adapter behind this name.
    m_session.applyBusSettings();
    m_counted = false;
    if (port.isNetworkPort()) {
        connectInBackground(false, false);
        return false;
    }
    try {
        port.OpenPort();
    } catch (const ECommsError&) {
        m_session.auditTrail().allUnknown();
        emit openFailed();
        emit stateChanged(State::Failed);
        return false;
    }
    m_counted = true;
    m_session.auditTrail().portOpened(name);
    emit stateChanged(State::Open);
    sendWhatIsOwed();
    return true;
}

void PortKeeper::connectInBackground(bool picked, bool quiet)
{
    TComm& port = m_session.port();
    const QString name = port.CommName();
    if (!quiet) emit stateChanged(State::Connecting);
    port.OpenPortInBackground([this, picked, quiet, name](const QString& error) {
        if (error.isEmpty()) {
            openedLater(picked);
            return;
        }
        if (quiet) return; // still away: the retry timer tries again
        emit stateChanged(State::Failed);
        emit connectFailed(name, error);
    });
}

void PortKeeper::openedLater(bool picked)
{
    const bool wasRetrying = m_retry.isActive();
    m_retry.stop();
    if (wasRetrying)
        m_session.auditTrail().portBack();
    else
        m_session.auditTrail().portOpened(m_session.port().CommName());
    m_counted = true;
    emit stateChanged(State::Open);
    if (picked) emit opened(true);
    if (wasRetrying) emit back();
    // Whatever this port owes (nothing after another port was picked: that forgot it) goes
    // before anything else.
    sendWhatIsOwed();
    emit pollDue();
}

void PortKeeper::pick(const QString& name)
{
    TComm& port = m_session.port();
    ControlEngine& engine = m_session.engine();
    if (!port.isOpen() && !port.isOpening() && isCurrentPort(name)) {
        // The same port again while it is away: it is opened as the retry would, and what was
        // moving when it went is stopped once it is back. When it still does not open, it is
        // still tried again. (Another name of the same device is the same port.)
        port.setCommName(name);
        m_session.applyBusSettings();
        if (port.isNetworkPort()) {
            connectInBackground(true, false);
            return;
        }
        try {
            port.OpenPort();
        } catch (const ECommsError&) {
            emit openFailed();
            emit stateChanged(State::Failed);
            return;
        }
        openedLater(true); // back, when it was being tried again
        return;
    }
    m_retry.stop(); // the operator's pick ends the waiting for the lost port
    // Everything belonging to the old port ends first, whether the new one opens or not:
    // nothing queued for the old bus may go out on the new one.
    endWork();
    engine.endProgress();
    port.ClosePort();
    port.setCommName(name);
    if (port.isNetworkPort()) {
        // Whatever ran against the old port ends now; the new one counts once it answers.
        m_counted = false;
        engine.portClosed();
        connectInBackground(true, false);
        return;
    }
    m_counted = open(name);
    if (m_counted) emit opened(true); // only a port that opened is remembered for the next start
    else engine.portClosed();          // a port that did not open ends what ran against the old one
}

void PortKeeper::endWork(bool stopMoving)
{
    const QString name = m_session.port().CommName();
    m_session.endWorkOnPort(stopMoving);
    // What may still move belongs to this port: nothing of it is sent on the next one.
    const Targets left = m_session.engine().forgetOldBus();
    if (!left.empty()) emit oldBusMayBeMoving(name, left);
}

void PortKeeper::hungUp()
{
    // The device went away (a USB adapter pulled out): a port that cannot carry frames any more
    // must not look healthy, and no row can be vouched for any more.
    TComm& port = m_session.port();
    port.ClosePort();
    m_counted = false;
    emit stateChanged(port.isNetworkPort() ? State::ConnectionLost : State::Failed);
    m_session.engine().portClosed();
    emit lost();
    if (!m_closed) m_retry.start();
}

void PortKeeper::close()
{
    m_closed = true;
    m_retry.stop();
    // Nobody is at the controls any more: whatever this window set moving gets its stop before
    // the port closes.
    endWork(true);
}

void PortKeeper::retryTick()
{
    TComm& port = m_session.port();
    if (port.isNetworkPort()) {
        // One attempt at a time; each gives up within the network limit, well inside a tick.
        if (!port.isOpening()) connectInBackground(false, true);
        return;
    }
    try {
        port.OpenPort();
    } catch (const ECommsError&) {
        return; // still away: quietly try again at the next tick
    }
    openedLater(false); // back as a device server's port comes back
}

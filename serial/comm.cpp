#include "serial/comm.h"

#include "serial/adapterlatency.h"
#include "serial/commport.h"
#include "serial/commthreads.h"
#include "serial/portname.h"

#include <QCoreApplication>

#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace tarvello {

QEvent::Type CommEvent::eventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

QEvent::Type OpenedEvent::eventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

bool CommEventTarget::event(QEvent* e) {
    // Taken before the event is looked at at all: its type is written by the poster's thread.
    { std::lock_guard<std::mutex> pairWithPoster(postLock); }
    if (e->type() == OpenedEvent::eventType()) {
        m_comm->finishBackgroundOpen(*static_cast<OpenedEvent*>(e));
        return true;
    }
    if (e->type() != CommEvent::eventType()) return QObject::event(e);
    m_comm->dispatch(*static_cast<CommEvent*>(e));
    return true;
}

void CommEventSink::post(CommEventKind kind, uint32_t value, std::vector<uint8_t> chunk) const {
    std::lock_guard<std::mutex> guard(m_target->postLock);
    QCoreApplication::postEvent(m_target, new CommEvent(m_generation, kind, value, std::move(chunk)));
}

}  // namespace tarvello

using tarvello::CommEventKind;

TComm::TComm(QObject* owner)
    : QObject(owner), m_target(std::make_unique<tarvello::CommEventTarget>(this)) {
    PortResolver = [](const QString& name) { return ResolvePortName(name, {}); };
    // Register the event type now, on the owner's thread, rather than first from a worker.
    tarvello::CommEvent::eventType();
    tarvello::OpenedEvent::eventType();
}

TComm::~TComm() {
    abandonBackgroundOpen();
    ClosePort();
}

namespace {

// The port layer's answer as the text OpenPort throws; empty when the port opened.
QString openFailureText(tarvello::CommPort::OpenStatus status, const QString& failure) {
    using tarvello::CommPort;
    switch (status) {
    case CommPort::OpenStatus::Unreachable: return failure;
    case CommPort::OpenStatus::Failed: return QStringLiteral("Error opening serial port");
    case CommPort::OpenStatus::NotAComm: return QStringLiteral("File handle is not a comm handle ");
    case CommPort::OpenStatus::Opened: break;
    }
    return {};
}

}  // namespace

QString TComm::resolvedName() const {
    return PortResolver ? PortResolver(m_commName) : ResolvePortName(m_commName, {});
}

bool TComm::isNetworkPort() const {
    return IsNetworkPortName(resolvedName());
}

std::optional<int> TComm::adapterLatencyMs() const {
    const QString path = resolvedName();
    if (IsNetworkPortName(path)) return std::nullopt;
    return UsbSerialLatencyMs(path);
}

void TComm::OpenPort() {
    using tarvello::CommPort;
    abandonBackgroundOpen();
    if (m_port) throw ECommsError("This serial port already opened");

    std::unique_ptr<CommPort> port;
    QString failure;
    const QString error = openFailureText(CommPort::open(resolvedName(), port, &failure), failure);
    if (!error.isEmpty()) throw ECommsError(error.toStdString());
    startThreads(std::move(port));
}

void TComm::OpenPortInBackground(std::function<void(const QString& error)> done) {
    abandonBackgroundOpen();
    const QString path = resolvedName();
    if (m_port || !IsNetworkPortName(path)) {
        QString error;
        try {
            OpenPort();
        } catch (const ECommsError& e) {
            error = QString::fromStdString(e.what());
        }
        if (done) done(error);
        return;
    }
    auto pending = std::make_shared<tarvello::PendingOpen>();
    tarvello::CommEventTarget* target = m_target.get();
    const uint64_t attempt = ++m_openAttempt;
    try {
        std::thread([pending, target, path, attempt] {
            std::unique_ptr<tarvello::CommPort> port;
            QString failure;
            const QString error = openFailureText(tarvello::CommPort::open(path, port, &failure), failure);
            std::lock_guard<std::mutex> guard(pending->lock);
            if (pending->abandoned) return;  // nobody waits: the port closes here
            std::lock_guard<std::mutex> post(target->postLock);
            QCoreApplication::postEvent(target, new tarvello::OpenedEvent(attempt, std::move(port), error));
        }).detach();
    } catch (const std::system_error&) {
        if (done) done(QStringLiteral("Unable to create read thread"));
        return;
    }
    m_opening = std::move(pending);
    m_openingDone = std::move(done);
}

void TComm::abandonBackgroundOpen() {
    if (!m_opening) return;
    {
        std::lock_guard<std::mutex> guard(m_opening->lock);
        m_opening->abandoned = true;
    }
    m_opening.reset();
    m_openingDone = nullptr;
}

void TComm::finishBackgroundOpen(tarvello::OpenedEvent& event) {
    // An answer for an abandoned attempt may still have been posted just before: the port it
    // carries closes with the event.
    if (!m_opening || event.attempt != m_openAttempt) return;
    m_opening.reset();
    auto done = std::move(m_openingDone);
    m_openingDone = nullptr;
    QString error = event.error;
    if (error.isEmpty()) {
        try {
            startThreads(std::move(event.port));
        } catch (const ECommsError& e) {
            error = QString::fromStdString(e.what());
        }
    }
    if (done) done(error);
}

void TComm::startThreads(std::unique_ptr<tarvello::CommPort> port) {
    using tarvello::CommPort;
    if (!port->setupQueues(tarvello::DriverQueueSize, tarvello::DriverQueueSize))
        throw ECommsError("Cannot setup comm buffer");

    m_port = std::move(port);
    ++m_generation;
    m_openParity = m_parity;
    m_port->purge(true, true);
    m_sendDataEmpty = true;
    m_receivedBytes = 0;
    applyTimeouts();
    applyLineSettings();

    auto stop = std::make_unique<tarvello::StopSignal>();
    if (!stop->create()) {
        m_port.reset();
        throw ECommsError("Unable to create event");
    }
    m_stop = std::move(stop);

    const tarvello::CommEventSink sink(m_target.get(), m_generation);
    auto reader = std::make_unique<TReadThread>(*m_port, *m_stop, sink, m_receivedBytes);
    if (!reader->start()) {
        m_stop.reset();
        m_port.reset();
        throw ECommsError("Unable to create read thread");
    }
    m_reader = std::move(reader);

    auto writer = std::make_unique<TWriteThread>(*m_port, *m_stop, sink, m_sendDataEmpty);
    if (!writer->start()) {
        writer.reset();
        stopReader();
        m_stop.reset();
        m_port.reset();
        ++m_generation;  // whatever the reader posted meanwhile is void
        m_receivedBytes = 0;
        throw ECommsError("Unable to create write thread");
    }
    m_writer = std::move(writer);
}

void TComm::ClosePort() {
    abandonBackgroundOpen();
    if (!m_port) return;
    ++m_generation;  // events of this open still on their way are dropped on arrival
    stopReader();
    stopWriter();
    m_stop.reset();
    m_port.reset();
    m_receivedBytes = 0;
}

void TComm::stopReader() {
    if (!m_reader) return;
    m_stop->signal();
    m_port->purge(true, false);
    m_reader->wait();
    m_reader.reset();
}

void TComm::stopWriter() {
    if (!m_writer) return;
    m_stop->signal();
    m_port->purge(false, true);
    m_sendDataEmpty = true;
    m_writer->wait();
    m_writer.reset();
}

bool TComm::WriteData(const uint8_t* buffer, uint16_t length) {
    if (!m_writer || length == 0 || buffer == nullptr) return false;
    std::vector<uint8_t> copy;
    try {
        copy.assign(buffer, buffer + length);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return m_writer->post(std::move(copy));
}

std::vector<std::vector<uint8_t>> TComm::PurgeOutput() {
    if (!m_writer) return {};
    return m_writer->purge();
}

void TComm::applyLineSettings() {
    tarvello::LineSettings s;
    s.baudRate = m_baudRate;
    s.parityCheck = m_parityCheck;
    s.outxCtsFlow = m_outxCtsFlow;
    s.outxDsrFlow = m_outxDsrFlow;
    s.dtrControl = m_dtrControl;
    s.dsrSensitivity = m_dsrSensitivity;
    s.txContinueOnXoff = m_txContinueOnXoff;
    s.outxXonXoffFlow = m_outxXonXoffFlow;
    s.inxXonXoffFlow = m_inxXonXoffFlow;
    s.replaceWhenParityError = m_replaceWhenParityError;
    s.ignoreNullChar = m_ignoreNullChar;
    s.rtsControl = m_rtsControl;
    s.xonLimit = m_xonLimit;
    s.xoffLimit = m_xoffLimit;
    s.byteSize = m_byteSize;
    s.parity = m_openParity;
    s.stopBits = m_stopBits;
    s.xonChar = m_xonChar;
    s.xoffChar = m_xoffChar;
    s.replacedChar = m_replacedChar;
    m_port->applyLineSettings(s);
}

void TComm::applyTimeouts() {
    tarvello::CommTimeouts t;
    t.readInterval = m_readIntervalTimeout;
    t.readTotalMultiplier = m_readTotalTimeoutMultiplier;
    t.readTotalConstant = m_readTotalTimeoutConstant;
    t.writeTotalMultiplier = m_writeTotalTimeoutMultiplier;
    t.writeTotalConstant = m_writeTotalTimeoutConstant;
    t.chunkBytes = m_chunkBytes;
    m_port->applyTimeouts(t);
}

void TComm::dispatch(const tarvello::CommEvent& event) {
    if (event.generation != m_generation || !m_port) return;
    // Each handler may close or reopen the port; nothing of this object is touched afterwards.
    switch (event.kind) {
    case CommEventKind::Received:
        if (OnReceiveData && !event.chunk.empty())
            OnReceiveData(this, event.chunk.data(), static_cast<uint16_t>(event.chunk.size() - 1));
        break;
    case CommEventKind::ReceiveError:
        if (OnReceiveError) OnReceiveError(this, event.value);
        break;
    case CommEventKind::Hangup:
        if (OnRequestHangup) OnRequestHangup(this);
        break;
    case CommEventKind::ModemState:
        if (OnModemStateChange) OnModemStateChange(this, event.value);
        break;
    case CommEventKind::SendEmpty:
        if (OnSendDataEmpty) OnSendDataEmpty(this);
        break;
    case CommEventKind::Written:
        if (OnDataWritten) OnDataWritten(this, event.chunk.data(), static_cast<uint16_t>(event.chunk.size()));
        break;
    }
}

void ApplyComm1Defaults(TComm& comm) {
    comm.setCommName(QStringLiteral("COM1"));
    comm.setBaudRate(4800);
    comm.setParityCheck(false);
    comm.setOutx_CtsFlow(false);
    comm.setOutx_DsrFlow(false);
    comm.setDtrControl(TDtrControl::DtrDisable);
    comm.setDsrSensitivity(false);
    comm.setTxContinueOnXoff(false);
    comm.setOutx_XonXoffFlow(false);
    comm.setInx_XonXoffFlow(false);
    comm.setReplaceWhenParityError(false);
    comm.setIgnoreNullChar(false);
    comm.setRtsControl(TRtsControl::RtsDisable);
    comm.setXonLimit(500);
    comm.setXoffLimit(500);
    comm.setByteSize(TByteSize::_8);
    comm.setParity(TParity::None);
    comm.setStopBits(TStopBits::_1);
    comm.setXonChar(17);
    comm.setXoffChar(19);
    comm.setReplacedChar(0);
    comm.setReadIntervalTimeout(100);
    comm.setReadTotalTimeoutMultiplier(0);
    comm.setReadTotalTimeoutConstant(0);
    comm.setWriteTotalTimeoutMultiplier(0);
    comm.setWriteTotalTimeoutConstant(0);
}

void TComm::DeliverPendingEvents() {
    QCoreApplication::sendPostedEvents(m_target.get());
}

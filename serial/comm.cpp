#include "serial/comm.h"

#include "serial/commport.h"
#include "serial/commthreads.h"
#include "serial/portname.h"

#include <QCoreApplication>

#include <new>
#include <utility>

namespace tarvello {

QEvent::Type CommEvent::eventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

bool CommEventTarget::event(QEvent* e) {
    // Taken before the event is looked at at all: its type is written by the poster's thread.
    { std::lock_guard<std::mutex> pairWithPoster(postLock); }
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
}

TComm::~TComm() {
    ClosePort();
}

void TComm::OpenPort() {
    using tarvello::CommPort;
    if (m_port) throw ECommsError("This serial port already opened");

    const QString path = PortResolver ? PortResolver(m_commName) : ResolvePortName(m_commName, {});
    std::unique_ptr<CommPort> port;
    QString failure;
    switch (CommPort::open(path, port, &failure)) {
    case CommPort::OpenStatus::Unreachable:
        throw ECommsError(failure.toStdString());
    case CommPort::OpenStatus::Failed:
        throw ECommsError("Error opening serial port");
    case CommPort::OpenStatus::NotAComm:
        throw ECommsError("File handle is not a comm handle ");
    case CommPort::OpenStatus::Opened:
        break;
    }
    if (!port->setupQueues(tarvello::DriverQueueSize, tarvello::DriverQueueSize))
        throw ECommsError("Cannot setup comm buffer");

    m_port = std::move(port);
    ++m_generation;
    m_openParity = m_parity;
    m_port->purge(true, true);
    m_sendDataEmpty = true;
    applyTimeouts();
    applyLineSettings();

    auto stop = std::make_unique<tarvello::StopSignal>();
    if (!stop->create()) {
        m_port.reset();
        throw ECommsError("Unable to create event");
    }
    m_stop = std::move(stop);

    const tarvello::CommEventSink sink(m_target.get(), m_generation);
    auto reader = std::make_unique<TReadThread>(*m_port, *m_stop, sink);
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
        throw ECommsError("Unable to create write thread");
    }
    m_writer = std::move(writer);
}

void TComm::ClosePort() {
    if (!m_port) return;
    ++m_generation;  // events of this open still on their way are dropped on arrival
    stopReader();
    stopWriter();
    m_stop.reset();
    m_port.reset();
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

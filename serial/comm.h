// TComm: the non-visual serial port component.
// Our own rather than QSerialPort: QSerialPort has no "line drained" event (the motion queues go out
// one frame per drained line) and no chunking of received bytes by silence; network ports fit behind it.
//
// One instance owns one serial port. Transfers run on two threads of its own (TReadThread,
// TWriteThread); everything they report reaches the thread that created the component as
// posted events to a hidden object, so the six On... handlers below always run there.
// Nothing in this header depends on the operating system; the port layer lives behind
// serial/commport.h.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

class TReadThread;
class TWriteThread;
namespace tarvello {
class CommPort;
class StopSignal;
class CommEventTarget;
struct CommEvent;
struct OpenedEvent;
struct PendingOpen;
}  // namespace tarvello

class ECommsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TDtrControl { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };
enum class TByteSize { _5, _6, _7, _8 };
enum class TParity { None, Odd, Even, Mark, Space };
enum class TStopBits { _1, _1_5, _2 };

class TComm : public QObject {
    Q_OBJECT

public:
    explicit TComm(QObject* owner = nullptr);
    ~TComm() override;  // closes the port if it is still open

    // --- line settings and time-outs ------------------------------------------------------
    // A setter stores the value and, when it differs and the port is open, re-applies its
    // group at once. CommName and Parity are only stored: they count from the next OpenPort.
    QString CommName() const { return m_commName; }
    void setCommName(const QString& value) { m_commName = value; }
    uint32_t BaudRate() const { return m_baudRate; }
    void setBaudRate(uint32_t value) { setLine(m_baudRate, value); }
    bool ParityCheck() const { return m_parityCheck; }
    void setParityCheck(bool value) { setLine(m_parityCheck, value); }
    bool Outx_CtsFlow() const { return m_outxCtsFlow; }
    void setOutx_CtsFlow(bool value) { setLine(m_outxCtsFlow, value); }
    bool Outx_DsrFlow() const { return m_outxDsrFlow; }
    void setOutx_DsrFlow(bool value) { setLine(m_outxDsrFlow, value); }
    TDtrControl DtrControl() const { return m_dtrControl; }
    void setDtrControl(TDtrControl value) { setLine(m_dtrControl, value); }
    bool DsrSensitivity() const { return m_dsrSensitivity; }
    void setDsrSensitivity(bool value) { setLine(m_dsrSensitivity, value); }
    bool TxContinueOnXoff() const { return m_txContinueOnXoff; }
    void setTxContinueOnXoff(bool value) { setLine(m_txContinueOnXoff, value); }
    bool Outx_XonXoffFlow() const { return m_outxXonXoffFlow; }
    void setOutx_XonXoffFlow(bool value) { setLine(m_outxXonXoffFlow, value); }
    bool Inx_XonXoffFlow() const { return m_inxXonXoffFlow; }
    void setInx_XonXoffFlow(bool value) { setLine(m_inxXonXoffFlow, value); }
    bool ReplaceWhenParityError() const { return m_replaceWhenParityError; }
    void setReplaceWhenParityError(bool value) { setLine(m_replaceWhenParityError, value); }
    bool IgnoreNullChar() const { return m_ignoreNullChar; }
    void setIgnoreNullChar(bool value) { setLine(m_ignoreNullChar, value); }
    TRtsControl RtsControl() const { return m_rtsControl; }
    void setRtsControl(TRtsControl value) { setLine(m_rtsControl, value); }
    uint16_t XonLimit() const { return m_xonLimit; }
    void setXonLimit(uint16_t value) { setLine(m_xonLimit, value); }
    uint16_t XoffLimit() const { return m_xoffLimit; }
    void setXoffLimit(uint16_t value) { setLine(m_xoffLimit, value); }
    TByteSize ByteSize() const { return m_byteSize; }
    void setByteSize(TByteSize value) { setLine(m_byteSize, value); }
    TParity Parity() const { return m_parity; }
    void setParity(TParity value) { m_parity = value; }
    TStopBits StopBits() const { return m_stopBits; }
    void setStopBits(TStopBits value) { setLine(m_stopBits, value); }
    uint8_t XonChar() const { return m_xonChar; }
    void setXonChar(uint8_t value) { setLine(m_xonChar, value); }
    uint8_t XoffChar() const { return m_xoffChar; }
    void setXoffChar(uint8_t value) { setLine(m_xoffChar, value); }
    uint8_t ReplacedChar() const { return m_replacedChar; }
    void setReplacedChar(uint8_t value) { setLine(m_replacedChar, value); }
    uint32_t ReadIntervalTimeout() const { return m_readIntervalTimeout; }
    void setReadIntervalTimeout(uint32_t value) { setTimeout(m_readIntervalTimeout, value); }
    uint32_t ReadTotalTimeoutMultiplier() const { return m_readTotalTimeoutMultiplier; }
    void setReadTotalTimeoutMultiplier(uint32_t value) { setTimeout(m_readTotalTimeoutMultiplier, value); }
    uint32_t ReadTotalTimeoutConstant() const { return m_readTotalTimeoutConstant; }
    void setReadTotalTimeoutConstant(uint32_t value) { setTimeout(m_readTotalTimeoutConstant, value); }
    uint32_t WriteTotalTimeoutMultiplier() const { return m_writeTotalTimeoutMultiplier; }
    void setWriteTotalTimeoutMultiplier(uint32_t value) { setTimeout(m_writeTotalTimeoutMultiplier, value); }
    uint32_t WriteTotalTimeoutConstant() const { return m_writeTotalTimeoutConstant; }
    void setWriteTotalTimeoutConstant(uint32_t value) { setTimeout(m_writeTotalTimeoutConstant, value); }
    // A chunk of this many bytes is handed over as soon as it is complete, without waiting for
    // the read interval's silence; a read that brings more keeps them all in the chunk, and the
    // bytes after it start the next one. A shorter chunk still ends by the read interval (or the
    // totals, or a full buffer). The port knows nothing of frames: this is only a count.
    // 0, the default, is off. Counts at once on an open port, as the time-outs do: a chunk the
    // reader already holds is judged by the new count when its next byte comes or its time runs.
    uint16_t ChunkBytes() const { return m_chunkBytes; }
    void setChunkBytes(uint16_t value) { setTimeout(m_chunkBytes, value); }

    // --- operations -------------------------------------------------------------------------
    void OpenPort();   // throws ECommsError
    // Opens the port without holding up this thread on a network. A local device is opened at
    // once, as OpenPort does, and `done` is called before this returns. A port on a device server
    // (tcp://, rfc2217://, directly or through the resolver) is connected on a helper thread,
    // which takes up to NetworkOpenLimitMs; `done` then runs on this component's thread. The text
    // is empty when the port opened, else the error OpenPort would have thrown. ClosePort, OpenPort
    // or another call before the answer abandons the attempt: its `done` never runs.
    void OpenPortInBackground(std::function<void(const QString& error)> done);
    static constexpr int NetworkOpenLimitMs = 1500;
    bool isOpening() const { return m_opening != nullptr; }
    // True when the name (after resolving) is reached over the network.
    bool isNetworkPort() const;
    void ClosePort();  // stops both threads and closes the port; nothing when closed
    // Copies the bytes and queues them for the writer; returns at once. False: nothing queued.
    bool WriteData(const uint8_t* buffer, uint16_t length);
    // Takes every buffer queued for the writer and not yet begun back out of the queue and
    // returns them, oldest first; a buffer already being written finishes and is reported by
    // OnDataWritten. The next WriteData is then the next buffer to leave the port. Write-empty
    // still follows: after the buffer under way, or at once when none was. Empty when closed.
    std::vector<std::vector<uint8_t>> PurgeOutput();
    bool isOpen() const { return m_port != nullptr; }
    // Runs this component's events that have already been posted (frames written, data received),
    // and nothing else of the thread's queue.
    void DeliverPendingEvents();
    // True while nothing handed to the writer is waiting to be written.
    bool SendDataEmpty() const { return m_sendDataEmpty.load(); }
    // Every byte the reader has taken from the port since it was opened (null bytes dropped by
    // IgnoreNullChar not counted), counted the moment it is read: it runs ahead of OnReceiveData
    // while the reader still gathers its chunk. Starts again at 0 with each open; 0 while closed.
    // Safe to read from any thread.
    uint64_t receivedBytes() const { return m_receivedBytes.load(); }
    // The receive latency timer of the USB serial adapter behind the port name, in ms
    // (UsbSerialLatencyMs on the resolved name); nullopt for a network port or where it cannot be
    // told. Open or closed alike.
    std::optional<int> adapterLatencyMs() const;

    // Maps a port name to a device path; default: ResolvePortName(name, {}).
    std::function<QString(const QString& name)> PortResolver;

    // --- events, raised on the thread that created the component -----------------------------
    // The chunk is released when the handler returns; copy what you keep.
    std::function<void(TComm* sender, const uint8_t* buffer, uint16_t length)> OnReceiveData;
    // Line-error bits: 0x01 input overflow, 0x02 overrun, 0x04 parity, 0x08 framing, 0x10 break.
    std::function<void(TComm* sender, uint32_t eventMask)> OnReceiveError;
    // 4 = ring indicator, 8 = carrier detect changed; both may be set.
    std::function<void(TComm* sender, uint32_t modemEvent)> OnModemStateChange;
    std::function<void(TComm* sender)> OnRequestHangup;
    std::function<void(TComm* sender)> OnSendDataEmpty;
    // Once for each buffer handed to WriteData, in the order they were handed over, after it has
    // been written in full and has left the line (drained; on a pseudo-terminal, after its line
    // time at the set rate; on a network port, once the socket has handed it over and its line
    // time has passed), and before the write-empty that follows it. A buffer purged, or not
    // written because the port closed, is never reported. The buffer is released when the
    // handler returns.
    std::function<void(TComm* sender, const uint8_t* buffer, uint16_t length)> OnDataWritten;

private:
    friend class tarvello::CommEventTarget;

    template <typename T>
    void setLine(T& field, T value) {
        if (field == value) return;
        field = value;
        if (isOpen()) applyLineSettings();
    }
    template <typename T>
    void setTimeout(T& field, T value) {
        if (field == value) return;
        field = value;
        if (isOpen()) applyTimeouts();
    }
    void applyLineSettings();
    void applyTimeouts();
    void stopReader();
    void stopWriter();
    void dispatch(const tarvello::CommEvent& event);
    void startThreads(std::unique_ptr<tarvello::CommPort> port);  // the second half of an open
    void finishBackgroundOpen(tarvello::OpenedEvent& event);
    void abandonBackgroundOpen();
    QString resolvedName() const;

    QString m_commName = QStringLiteral("COM2");
    uint32_t m_baudRate = 9600;
    bool m_parityCheck = false;
    bool m_outxCtsFlow = false;
    bool m_outxDsrFlow = false;
    TDtrControl m_dtrControl = TDtrControl::DtrEnable;
    bool m_dsrSensitivity = false;
    bool m_txContinueOnXoff = true;
    bool m_outxXonXoffFlow = true;
    bool m_inxXonXoffFlow = true;
    bool m_replaceWhenParityError = false;
    bool m_ignoreNullChar = false;
    TRtsControl m_rtsControl = TRtsControl::RtsEnable;
    uint16_t m_xonLimit = 500;
    uint16_t m_xoffLimit = 500;
    TByteSize m_byteSize = TByteSize::_8;
    TParity m_parity = TParity::None;
    TStopBits m_stopBits = TStopBits::_1;
    uint8_t m_xonChar = 17;
    uint8_t m_xoffChar = 19;
    uint8_t m_replacedChar = 0;
    uint32_t m_readIntervalTimeout = 100;
    uint32_t m_readTotalTimeoutMultiplier = 0;
    uint32_t m_readTotalTimeoutConstant = 0;
    uint32_t m_writeTotalTimeoutMultiplier = 0;
    uint32_t m_writeTotalTimeoutConstant = 0;
    uint16_t m_chunkBytes = 0;

    TParity m_openParity = TParity::None;  // the parity in force since the last OpenPort

    std::unique_ptr<tarvello::CommPort> m_port;  // null means closed
    std::unique_ptr<tarvello::StopSignal> m_stop;
    std::unique_ptr<TReadThread> m_reader;
    std::unique_ptr<TWriteThread> m_writer;
    std::atomic<bool> m_sendDataEmpty{true};
    std::atomic<uint64_t> m_receivedBytes{0};  // counted by the reader

    // Events carry the generation of the open that produced them; anything from a former open
    // (or posted after ClosePort) is dropped on arrival.
    uint64_t m_generation = 0;
    std::unique_ptr<tarvello::CommEventTarget> m_target;

    // The background open under way, shared with its helper thread; null when none.
    std::shared_ptr<tarvello::PendingOpen> m_opening;
    uint64_t m_openAttempt = 0;
    std::function<void(const QString&)> m_openingDone;
};

// Puts the values the main window's Comm1 carries: "COM1", 4800 baud, 8N1, no flow control,
// DTR and RTS off. Call before OpenPort.
void ApplyComm1Defaults(TComm& comm);

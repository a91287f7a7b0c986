// Internal to the serial library: the operating-system side of TComm.
//
// CommPort is one opened serial device with its settings, StopSignal the close event both
// threads watch, CommEventSink the way the threads post events to the component's hidden
// object. A port layer for another platform supplies its own commport_<os>.cpp and
// commthreads_<os>.cpp behind these same declarations; TComm and its users stay as they are.
// A network port name (tcp://, rfc2217://) opens a socket to a device server instead of a
// device (serial/netlink.h); on Linux the threads see the same descriptor-based port either
// way, on Windows they wait on the socket instead of on overlapped I/O.
#pragma once

#include "serial/comm.h"
#include "serial/netsocket.h"

#include <QEvent>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <vector>

namespace tarvello {

// Line-error bits reported with OnReceiveError (the values Windows uses).
constexpr uint32_t LineErrorInputOverflow = 0x01;
constexpr uint32_t LineErrorOverrun = 0x02;
constexpr uint32_t LineErrorParity = 0x04;
constexpr uint32_t LineErrorFraming = 0x08;
constexpr uint32_t LineErrorBreak = 0x10;
// Modem bits reported with OnModemStateChange.
constexpr uint32_t ModemRing = 4;
constexpr uint32_t ModemCarrierDetect = 8;

// Size of the reader's buffer: the longest chunk.
constexpr size_t ReadBufferSize = 2048;
// Driver queue sizes asked for at open.
constexpr uint32_t DriverQueueSize = 4096;

struct LineSettings {
    uint32_t baudRate = 9600;
    bool parityCheck = false;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    TDtrControl dtrControl = TDtrControl::DtrEnable;
    bool dsrSensitivity = false;
    bool txContinueOnXoff = true;
    bool outxXonXoffFlow = true;
    bool inxXonXoffFlow = true;
    bool replaceWhenParityError = false;
    bool ignoreNullChar = false;
    TRtsControl rtsControl = TRtsControl::RtsEnable;
    uint16_t xonLimit = 500;
    uint16_t xoffLimit = 500;
    TByteSize byteSize = TByteSize::_8;
    TParity parity = TParity::None;
    TStopBits stopBits = TStopBits::_1;
    uint8_t xonChar = 17;
    uint8_t xoffChar = 19;
    uint8_t replacedChar = 0;
};

// Line time of one byte in microseconds at these settings: start bit, data bits, parity, stop
// bits (one and a half counted as two).
inline uint32_t LineByteTimeMicros(const LineSettings& s) {
    uint32_t bits = 1 + 8 + (s.parity == TParity::None ? 0 : 1) + (s.stopBits == TStopBits::_1 ? 1 : 2);
    if (s.byteSize == TByteSize::_5) bits -= 3;
    if (s.byteSize == TByteSize::_6) bits -= 2;
    if (s.byteSize == TByteSize::_7) bits -= 1;
    return static_cast<uint32_t>(uint64_t(bits) * 1000000 / (s.baudRate < 50 ? 50 : s.baudRate));
}

struct CommTimeouts {
    uint32_t readInterval = 0;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
    uint32_t writeTotalMultiplier = 0;
    uint32_t writeTotalConstant = 0;
    // Not a driver time-out: the chunk goes as soon as it holds this many bytes (0: off).
    uint16_t chunkBytes = 0;
};

class NetLink;

class CommPort {
public:
    enum class OpenStatus { Opened, Failed, NotAComm, Unreachable };
    // Opens the device exclusively. Failed: absent or in use; NotAComm: not a serial device;
    // Unreachable: a device server could not be reached or refused the line control, with the
    // reason in failure.
    static OpenStatus open(const QString& path, std::unique_ptr<CommPort>& port, QString* failure = nullptr);
    ~CommPort();  // gives up exclusivity and closes the device
    CommPort(const CommPort&) = delete;
    CommPort& operator=(const CommPort&) = delete;

    bool setupQueues(uint32_t inputSize, uint32_t outputSize);
    void purge(bool input, bool output);
    void applyTimeouts(const CommTimeouts& timeouts);
    void applyLineSettings(const LineSettings& settings);

    // Read by the threads while the port is open; written by the owner's thread.
#ifdef _WIN32
    void* handle() const { return m_handle; }  // the device HANDLE, opened for overlapped I/O
#else
    int fd() const { return m_fd; }
#endif
    uint32_t readInterval() const { return m_readInterval.load(); }
    uint32_t readTotalMultiplier() const { return m_readTotalMultiplier.load(); }
    uint32_t readTotalConstant() const { return m_readTotalConstant.load(); }
    uint16_t chunkBytes() const { return m_chunkBytes.load(); }
    bool ignoreNullChar() const { return m_ignoreNull.load(); }
    uint32_t baudRate() const { return m_baudRate.load(); }
    // Line time of one byte in microseconds: start bit, data bits, parity, stop bits.
    uint32_t byteTimeMicros() const { return m_byteTimeMicros.load(); }

    // The threads' transfers, as read(2) and write(2) on the non-blocking descriptor; on
    // Windows one overlapped ReadFile or WriteFile, waited for, with the reason for -1 in
    // GetLastError() (the reader asks only for what the driver says has arrived). A network
    // port is read as NetLink::readSome (the reason for -1 in net::LastError()) and written
    // through writeWhole instead.
    ssize_t readSome(uint8_t* buffer, size_t size);
    ssize_t writeSome(const uint8_t* buffer, size_t size);
    // A network port: its bytes reach the line later than the socket takes them, so the writer
    // paces itself by the line time.
    bool isNetwork() const { return m_net != nullptr; }
    // Network port: sends the whole buffer in one turn at the socket (NetLink::writeWhole).
    ssize_t writeWhole(const uint8_t* buffer, size_t size, net::Socket stopFd);
    // Network port: bytes the socket still holds.
    int unsentBytes() const;
#ifdef _WIN32
    // Network port: the socket the reader waits on.
    net::Socket socket() const;
#else
    // A pseudo-terminal: it hands the bytes to its other side at once and drains in no time, so
    // the writer keeps the pace of the line it stands for by the line time.
    bool isPseudoTerminal() const { return m_pseudoTerminal; }
#endif

private:
    explicit CommPort(std::unique_ptr<NetLink> net);
    // A network port name: connects to the device server (the same on every system).
    static OpenStatus openNetwork(const QString& path, std::unique_ptr<CommPort>& port, QString* failure);
#ifdef _WIN32
    explicit CommPort(void* handle);
    void* m_handle = nullptr;
#else
    explicit CommPort(int fd);
    int m_fd = -1;
    bool m_pseudoTerminal = false;
#endif
    std::unique_ptr<NetLink> m_net;
    std::atomic<uint32_t> m_byteTimeMicros{1000000 * 10 / 9600};
    std::atomic<uint32_t> m_readInterval{0};
    std::atomic<uint32_t> m_readTotalMultiplier{0};
    std::atomic<uint32_t> m_readTotalConstant{0};
    std::atomic<uint16_t> m_chunkBytes{0};
    std::atomic<bool> m_ignoreNull{false};
    std::atomic<uint32_t> m_baudRate{9600};
};

// The close event: manual reset, stays signalled once set.
class StopSignal {
public:
    StopSignal() = default;
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;
    bool create();  // false: the event could not be made
    void signal();
    bool isSignalled() const { return m_signalled.load(); }
#ifdef _WIN32
    void* handle() const { return m_handle; }  // a manual-reset event
    // A socket that becomes readable once the event is signalled, for waits on a network port's
    // socket (made at the first call; InvalidSocket when it cannot be made).
    net::Socket socket();
#else
    int fd() const { return m_fd; }
#endif

private:
#ifdef _WIN32
    void* m_handle = nullptr;
    std::mutex m_wakeLock;  // guards the pair, and its making against signal()
    net::Socket m_wakeRead = net::InvalidSocket;
    net::Socket m_wakeWrite = net::InvalidSocket;
#else
    int m_fd = -1;
#endif
    std::atomic<bool> m_signalled{false};
};

enum class CommEventKind { Received = 1, ReceiveError, Hangup, ModemState, SendEmpty, Written };

struct CommEvent : QEvent {
    CommEvent(uint64_t generation, CommEventKind kind, uint32_t value, std::vector<uint8_t> chunk)
        : QEvent(eventType()), generation(generation), kind(kind), value(value), chunk(std::move(chunk)) {}
    static QEvent::Type eventType();

    uint64_t generation;
    CommEventKind kind;
    uint32_t value;              // line-error or modem bits
    std::vector<uint8_t> chunk;  // received bytes plus one trailing 0, or the buffer written; owned by the event
};

// What a background open hands back to the component's thread: the opened port, or the error.
struct OpenedEvent : QEvent {
    OpenedEvent(uint64_t attempt, std::unique_ptr<CommPort> port, QString error)
        : QEvent(eventType()), attempt(attempt), port(std::move(port)), error(std::move(error)) {}
    static QEvent::Type eventType();
    uint64_t attempt;                // which background open this answers
    std::unique_ptr<CommPort> port;  // closed with the event unless the component takes it
    QString error;
};

// A background open and its helper thread share this. The component sets `abandoned` when it
// no longer wants the answer (closed, reopened, destroyed); the thread posts only while it is
// not set, under the same lock, so it never posts to a target that is gone.
struct PendingOpen {
    std::mutex lock;
    bool abandoned = false;
};

// The hidden object: lives on the component's thread and hands each event to the component.
class CommEventTarget : public QObject {
public:
    explicit CommEventTarget(TComm* comm) : m_comm(comm) {}
    bool event(QEvent* e) override;
    // Held around each post and taken on arrival. Qt's own queue already orders the hand-over;
    // this repeats it with a lock that race checkers can see into.
    std::mutex postLock;

private:
    TComm* m_comm;
};

// What the threads need to post: thread-safe, copied into each thread.
class CommEventSink {
public:
    CommEventSink(CommEventTarget* target, uint64_t generation) : m_target(target), m_generation(generation) {}
    void post(CommEventKind kind, uint32_t value = 0, std::vector<uint8_t> chunk = {}) const;

private:
    CommEventTarget* m_target;
    uint64_t m_generation;
};

}  // namespace tarvello

// The port layer on Windows: a COM device opened for overlapped I/O and configured through its
// DCB, or a device server reached over the network (serial/netlink.h).
#include "serial/commport.h"
#include "serial/netlink.h"
#include "serial/portname.h"
#include "serial/win32_logic.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>

namespace tarvello {

static_assert(NetLink::OpenTimeLimitMs == TComm::NetworkOpenLimitMs, "one time limit for a network open");

CommPort::CommPort(void* handle) : m_handle(handle) {}
CommPort::CommPort(std::unique_ptr<NetLink> net) : m_net(std::move(net)) {}

CommPort::OpenStatus CommPort::open(const QString& path, std::unique_ptr<CommPort>& port, QString* failure) {
    if (NetLink::isNetworkName(path)) return openNetwork(path, port, failure);
    const std::wstring native = path.toStdWString();
    // No sharing: the port is ours alone until it is closed.
    HANDLE h = CreateFileW(native.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return OpenStatus::Failed;

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
        CloseHandle(h);
        return OpenStatus::NotAComm;
    }
    port.reset(new CommPort(static_cast<void*>(h)));
    return OpenStatus::Opened;
}

CommPort::~CommPort() {
    if (m_net) return;  // the link closes its socket
    CloseHandle(static_cast<HANDLE>(m_handle));
}

bool CommPort::setupQueues(uint32_t inputSize, uint32_t outputSize) {
    if (m_net) return true;  // socket buffers are the system's
    return SetupComm(static_cast<HANDLE>(m_handle), inputSize, outputSize) != 0;
}

namespace {

// One overlapped transfer, waited for to the end. Reads come back at once (see applyTimeouts).
ssize_t transfer(HANDLE h, bool write, uint8_t* buffer, size_t size) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return -1;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, MAXDWORD));
    DWORD done = 0;
    BOOL ok = write ? WriteFile(h, buffer, want, nullptr, &ov) : ReadFile(h, buffer, want, nullptr, &ov);
    if (ok || GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(h, &ov, &done, TRUE);
    const DWORD error = GetLastError();
    CloseHandle(ov.hEvent);
    if (!ok) {
        SetLastError(error);
        return -1;
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

ssize_t CommPort::readSome(uint8_t* buffer, size_t size) {
    if (m_net) return m_net->readSome(buffer, size);
    return transfer(static_cast<HANDLE>(m_handle), false, buffer, size);
}

ssize_t CommPort::writeSome(const uint8_t* buffer, size_t size) {
    if (m_net) return m_net->writeWhole(buffer, size, net::InvalidSocket);
    return transfer(static_cast<HANDLE>(m_handle), true, const_cast<uint8_t*>(buffer), size);
}

ssize_t CommPort::writeWhole(const uint8_t* buffer, size_t size, net::Socket stopFd) {
    return m_net->writeWhole(buffer, size, stopFd);
}

int CommPort::unsentBytes() const {
    return m_net ? m_net->unsentBytes() : 0;
}

net::Socket CommPort::socket() const {
    return m_net ? m_net->fd() : net::InvalidSocket;
}

void CommPort::purge(bool input, bool output) {
    // Bytes already in a device server cannot be called back; what the threads hold is
    // dropped by the threads themselves.
    if (m_net) return;
    const HANDLE h = static_cast<HANDLE>(m_handle);
    // An output queue that is already empty has nothing to drop; under Wine the purge would
    // also discard what a pseudo-terminal's other side has not read yet.
    if (output) {
        DWORD errors = 0;
        COMSTAT status{};
        if (ClearCommError(h, &errors, &status) && status.cbOutQue == 0) output = false;
    }
    DWORD flags = 0;
    if (input) flags |= PURGE_RXABORT | PURGE_RXCLEAR;
    if (output) flags |= PURGE_TXABORT | PURGE_TXCLEAR;
    if (flags != 0) PurgeComm(h, flags);
}

void CommPort::applyTimeouts(const CommTimeouts& timeouts) {
    // The reader times its chunks from these, as on Linux. The driver itself is told to hand
    // back at once whatever has arrived (an interval of MAXDWORD and no totals), and to let
    // writes run to the end: every write is completed in full.
    m_readInterval = timeouts.readInterval;
    m_readTotalMultiplier = timeouts.readTotalMultiplier;
    m_readTotalConstant = timeouts.readTotalConstant;
    m_chunkBytes = timeouts.chunkBytes;
    if (m_net) return;
    COMMTIMEOUTS driver{};
    driver.ReadIntervalTimeout = MAXDWORD;
    driver.ReadTotalTimeoutMultiplier = 0;
    driver.ReadTotalTimeoutConstant = 0;
    driver.WriteTotalTimeoutMultiplier = 0;
    driver.WriteTotalTimeoutConstant = 0;
    SetCommTimeouts(static_cast<HANDLE>(m_handle), &driver);
}

void CommPort::applyLineSettings(const LineSettings& s) {
    // A setting the driver refuses is not reported.
    m_ignoreNull = s.ignoreNullChar;
    m_baudRate = s.baudRate;
    m_byteTimeMicros = LineByteTimeMicros(s);
    if (m_net) {
        m_net->applyLineSettings(s);
        return;
    }

    const HANDLE h = static_cast<HANDLE>(m_handle);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) return;
    const win32::DcbValues v = win32::DcbFor(s);
    dcb.BaudRate = v.baudRate;
    dcb.fBinary = v.binary;
    dcb.fParity = v.parity;
    dcb.fOutxCtsFlow = v.outxCtsFlow;
    dcb.fOutxDsrFlow = v.outxDsrFlow;
    dcb.fDtrControl = v.dtrControl;
    dcb.fDsrSensitivity = v.dsrSensitivity;
    dcb.fTXContinueOnXoff = v.txContinueOnXoff;
    dcb.fOutX = v.outX;
    dcb.fInX = v.inX;
    dcb.fErrorChar = v.errorChar;
    dcb.fNull = v.nullStrip;
    dcb.fRtsControl = v.rtsControl;
    dcb.fAbortOnError = v.abortOnError;
    dcb.XonLim = v.xonLim;
    dcb.XoffLim = v.xoffLim;
    dcb.ByteSize = v.byteSize;
    dcb.Parity = v.parityKind;
    dcb.StopBits = v.stopBits;
    dcb.XonChar = static_cast<char>(v.xonChar);
    dcb.XoffChar = static_cast<char>(v.xoffChar);
    dcb.ErrorChar = static_cast<char>(v.errorCharValue);
    SetCommState(h, &dcb);

    // Some drivers take the DCB's line controls only at open: put DTR and RTS where the
    // settings want them (under handshake and toggle the driver moves them itself).
    if (v.dtrControl == DTR_CONTROL_ENABLE) EscapeCommFunction(h, SETDTR);
    if (v.dtrControl == DTR_CONTROL_DISABLE) EscapeCommFunction(h, CLRDTR);
    if (v.rtsControl == RTS_CONTROL_ENABLE) EscapeCommFunction(h, SETRTS);
    if (v.rtsControl == RTS_CONTROL_DISABLE) EscapeCommFunction(h, CLRRTS);
}

StopSignal::~StopSignal() {
    if (m_handle) CloseHandle(static_cast<HANDLE>(m_handle));
    net::Close(m_wakeRead);
    net::Close(m_wakeWrite);
}

net::Socket StopSignal::socket() {
    std::lock_guard<std::mutex> guard(m_wakeLock);
    if (m_wakeRead == net::InvalidSocket) {
        if (!net::MakeWakePair(m_wakeRead, m_wakeWrite)) return net::InvalidSocket;
        if (m_signalled) net::Wake(m_wakeWrite);  // signalled before the pair was there
    }
    return m_wakeRead;
}

bool StopSignal::create() {
    m_handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual reset: stays signalled
    return m_handle != nullptr;
}

void StopSignal::signal() {
    if (m_signalled.exchange(true)) return;
    SetEvent(static_cast<HANDLE>(m_handle));
    // Never read back: the socket stays readable, so every later wait sees the signal.
    std::lock_guard<std::mutex> guard(m_wakeLock);
    if (m_wakeWrite != net::InvalidSocket) net::Wake(m_wakeWrite);
}

}  // namespace tarvello

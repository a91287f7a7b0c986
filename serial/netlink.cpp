#include "serial/netlink.h"
#include "serial/portname.h"

#include "serial/commport.h"

#include <chrono>
#include <climits>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace tarvello {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t Iac = 255, Dont = 254, Do = 253, Wont = 252, Will = 251, Sb = 250, Se = 240;
constexpr uint8_t OptBinary = 0, OptSuppressGoAhead = 3, OptComPort = 44;
constexpr uint8_t SetBaudRate = 1, SetDataSize = 2, SetParity = 3, SetStopSize = 4;
// The longest control bytes wait at a time for room in the socket.
constexpr int ControlRoomWaitMs = 200;

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
}

QString binaryRefusalText() {
    return QStringLiteral("refuses binary mode (Telnet TRANSMIT-BINARY), without which frames may not reach the bus "
                          "unchanged");
}

QString hostText(const QString& host, int port) {
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

// A read or poll that found nothing yet, or was interrupted: look again.
bool retryable(net::Error e) {
    return e == net::Error::WouldBlock || e == net::Error::Interrupted;
}

}  // namespace

bool NetLink::isNetworkName(const QString& name) {
    return IsNetworkPortName(name);
}

// SCHEME://HOST:PORT, the scheme tcp or rfc2217 in any case, HOST an IPv6 address in brackets or
// a name or address without ':', '/' or brackets, PORT 1 to 65535 in at most five digits. Read
// by hand rather than by a regular expression: the background open runs on a thread of its own,
// and on Windows the expression engine's per-thread stack is torn down badly at such a thread's
// end.
bool NetLink::parseName(const QString& name, Kind& kind, QString& host, int& port) {
    const qsizetype schemeEnd = name.indexOf(QLatin1String("://"));
    if (schemeEnd < 0) return false;
    const QStringView scheme = QStringView(name).left(schemeEnd);
    if (scheme.compare(QLatin1String("tcp"), Qt::CaseInsensitive) == 0)
        kind = Kind::RawTcp;
    else if (scheme.compare(QLatin1String("rfc2217"), Qt::CaseInsensitive) == 0)
        kind = Kind::Rfc2217;
    else
        return false;
    const QStringView rest = QStringView(name).mid(schemeEnd + 3);
    const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) return false;
    const QStringView hostPart = rest.left(colon), portPart = rest.mid(colon + 1);
    if (hostPart.startsWith(QLatin1Char('['))) {
        const QStringView inside = hostPart.mid(1, hostPart.size() - 2);
        if (!hostPart.endsWith(QLatin1Char(']')) || inside.isEmpty() || inside.contains(QLatin1Char(']'))) return false;
        host = inside.toString();
    } else {
        for (const QChar c : hostPart)
            if (c == QLatin1Char(':') || c == QLatin1Char('/') || c == QLatin1Char('[') || c == QLatin1Char(']'))
                return false;
        host = hostPart.toString();
    }
    if (portPart.isEmpty() || portPart.size() > 5) return false;
    port = 0;
    for (const QChar c : portPart) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
        port = port * 10 + (c.unicode() - '0');
    }
    return port >= 1 && port <= 65535;
}

std::unique_ptr<NetLink> NetLink::open(const QString& name, QString& failure) {
    Kind kind = Kind::RawTcp;
    QString host;
    int portNumber = 0;
    if (!parseName(name, kind, host, portNumber)) {
        failure = QStringLiteral("Not a network port name (tcp://HOST:PORT or rfc2217://HOST:PORT): %1").arg(name);
        return nullptr;
    }
    if (!net::Startup(failure)) return nullptr;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(OpenTimeLimitMs);

    // An address is taken as it is; a name goes to the system resolver, whose own time-outs
    // apply before the connection's.
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const QByteArray hostBytes = host.toUtf8();
    const QByteArray serviceBytes = QByteArray::number(portNumber);
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    int rc = getaddrinfo(hostBytes.constData(), serviceBytes.constData(), &hints, &found);
    if (rc != 0) {
        hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
        rc = getaddrinfo(hostBytes.constData(), serviceBytes.constData(), &hints, &found);
    }
    if (rc != 0 || found == nullptr) {
        failure = QStringLiteral("Cannot find the device server %1: %2").arg(host, net::ResolveErrorText(rc));
        return nullptr;
    }

    net::Socket fd = net::InvalidSocket;
    QString lastError = QStringLiteral("no address");
    for (addrinfo* a = found; a != nullptr && fd == net::InvalidSocket; a = a->ai_next) {
        const net::Socket s = net::OpenStream(*a);
        if (s == net::InvalidSocket) continue;
        bool pending = false;
        int err = net::StartConnect(s, *a, pending);
        if (pending) err = net::WaitConnected(s, msLeft(deadline));
        if (err == 0) {
            fd = s;
        } else {
            lastError = net::ErrorFromCode(err) == net::Error::TimedOut
                            ? QStringLiteral("no answer within %1 ms").arg(OpenTimeLimitMs)
                            : net::SystemErrorText(err);
            net::Close(s);
        }
    }
    freeaddrinfo(found);
    if (fd == net::InvalidSocket) {
        failure = QStringLiteral("Cannot connect to the device server %1: %2").arg(hostText(host, portNumber), lastError);
        return nullptr;
    }
    // Frames are small and must leave at once. A server that vanishes without closing (power,
    // cable) is noticed within seconds rather than after TCP's own quarter of an hour, and the
    // reader reports the hang-up.
    net::Tune(fd);

    std::unique_ptr<NetLink> link(new NetLink(fd, kind));
    if ((kind == Kind::Rfc2217 && !link->negotiate(msLeft(deadline), failure)) ||
        !link->checkNotTurnedAway(std::min(TurnAwayWaitMs, msLeft(deadline)), failure)) {
        failure = QStringLiteral("The device server %1 %2").arg(hostText(host, portNumber), failure);
        return nullptr;
    }
    return link;
}

NetLink::~NetLink() {
    net::Close(m_fd);
}

// Offers the COM-PORT-OPTION and binary transfer, then reads until the server has taken the
// option, refused it, or the time is up. Line bytes that arrive meanwhile are dropped, as a
// purge at open drops them. A server that refuses binary transfer in either direction is
// refused: outside binary mode a Telnet server may drop the 00 after a carriage return, and a
// status query holds 0D 00. That answer may come after the COM-PORT-OPTION's; checkNotTurnedAway,
// which reads on, looks for it as well.
bool NetLink::negotiate(int timeLimitMs, QString& failure) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeLimitMs);
    if (!sendControl({Iac, Will, OptComPort, Iac, Will, OptBinary, Iac, Do, OptBinary, Iac, Will,
                      OptSuppressGoAhead, Iac, Do, OptSuppressGoAhead})) {
        failure = QStringLiteral("closed the connection");
        return false;
    }
    uint8_t buffer[512];
    for (;;) {
        if (m_binaryRefused) {
            failure = binaryRefusalText();
            return false;
        }
        if (m_comPortAccepted) return true;
        if (m_comPortRefused) {
            failure = QStringLiteral("refuses the serial line control (RFC 2217); is it set up for raw TCP?");
            return false;
        }
        const int wait = msLeft(deadline);
        net::PollEntry p{m_fd, net::PollIn, 0};
        int ready;
        while ((ready = net::Poll(&p, 1, wait)) < 0 && net::LastError() == net::Error::Interrupted) {
        }
        if (ready == 0) {
            failure = QStringLiteral("gave no RFC 2217 answer within %1 ms; is it set up for raw TCP?").arg(OpenTimeLimitMs);
            return false;
        }
        const long n = readSome(buffer, sizeof buffer);
        if (n == 0 || (n < 0 && !retryable(net::LastError()))) {
            failure = m_early.contains("in use")
                          ? QStringLiteral("says its port is already in use (is the control centre running on it?)")
                          : QStringLiteral("closed the connection during the Telnet negotiation");
            return false;
        }
        keepEarlyBytes(buffer, n);
    }
}

void NetLink::keepEarlyBytes(const uint8_t* bytes, long n) {
    if (n > 0 && m_early.size() < 256) m_early.append(reinterpret_cast<const char*>(bytes), static_cast<int>(n));
}

bool NetLink::checkNotTurnedAway(int waitMs, QString& failure) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    uint8_t buffer[256];
    for (;;) {
        if (m_early.contains("in use")) {
            failure = QStringLiteral("says its port is already in use (is the control centre running on it?)");
            return false;
        }
        if (m_binaryRefused) {
            failure = binaryRefusalText();
            return false;
        }
        net::PollEntry p{m_fd, net::PollIn, 0};
        int ready;
        while ((ready = net::Poll(&p, 1, msLeft(deadline))) < 0 && net::LastError() == net::Error::Interrupted) {
        }
        if (ready == 0) return true;  // nothing said: the port is ours
        const long n = readSome(buffer, sizeof buffer);
        if (n == 0 || (n < 0 && !retryable(net::LastError()))) {
            if (m_early.contains("in use")) continue;
            failure = QStringLiteral("closed the connection at once (is its port in use by another program?)");
            return false;
        }
        keepEarlyBytes(buffer, n);
    }
}

void NetLink::answerOption(uint8_t verb, uint8_t option) {
    const bool ours = option == OptBinary || option == OptSuppressGoAhead || option == OptComPort;
    if (option == OptComPort && verb == Do) m_comPortAccepted = true;
    if (option == OptComPort && verb == Dont) m_comPortRefused = true;
    if (option == OptBinary && (verb == Dont || verb == Wont)) m_binaryRefused = true;
    if (ours) return;  // asked for by us already, or refused by the server: nothing to answer
    // Anything else (echo, terminal type, ...) is declined.
    if (verb == Do) sendControl({Iac, Wont, option});
    if (verb == Will) sendControl({Iac, Dont, option});
}

size_t NetLink::filterTelnet(uint8_t* bytes, size_t n) {
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = bytes[i];
        switch (m_rx) {
        case RxState::Data:
            if (b == Iac)
                m_rx = RxState::Iac;
            else
                bytes[out++] = b;
            break;
        case RxState::Iac:
            if (b == Iac) {
                bytes[out++] = Iac;  // a doubled 0xFF is one line byte
                m_rx = RxState::Data;
            } else if (b == Will || b == Wont || b == Do || b == Dont) {
                m_verb = b;
                m_rx = RxState::Option;
            } else if (b == Sb) {
                m_rx = RxState::Sub;
            } else {
                m_rx = RxState::Data;  // a command without an option (NOP, GA, ...)
            }
            break;
        case RxState::Option:
            answerOption(m_verb, b);
            m_rx = RxState::Data;
            break;
        case RxState::Sub:
            // The server's answers to our settings and its notifications: nothing to act on.
            if (b == Iac) m_rx = RxState::SubIac;
            break;
        case RxState::SubIac:
            m_rx = b == Se ? RxState::Data : RxState::Sub;
            break;
        }
    }
    return out;
}

long NetLink::readSome(uint8_t* buffer, size_t size) {
    const long n = net::Receive(m_fd, buffer, size);
    if (n <= 0 || m_kind == Kind::RawTcp) return n;
    const size_t kept = filterTelnet(buffer, static_cast<size_t>(n));
    if (kept == 0) {
        net::SetLastError(net::Error::WouldBlock);
        return -1;
    }
    return static_cast<long>(kept);
}

long NetLink::writeWhole(const uint8_t* buffer, size_t size, net::Socket stopFd) {
    std::vector<uint8_t> escaped;
    const uint8_t* bytes = buffer;
    size_t count = size;
    if (m_kind == Kind::Rfc2217) {
        escaped = escapeIac(buffer, size);
        bytes = escaped.data();
        count = escaped.size();
    }
    std::unique_lock<std::mutex> turn(m_sendLock);
    bool whole;
    {
        // Control bytes left over from a turn that could not finish go first: one of them may be
        // a command cut short, which the line's bytes must not complete.
        std::unique_lock<std::mutex> queue(m_controlLock);
        whole = sendControlQueue(queue, stopFd, -1);
    }
    size_t sent = 0;
    if (whole) whole = sendBytes(bytes, count, stopFd, -1, sent);
    const int error = net::LastErrorCode();
    endSendTurn(turn, stopFd, -1);
    if (!whole) {
        net::SetLastErrorCode(error);
        return -1;
    }
    return static_cast<long>(size);
}

bool NetLink::sendBytes(const uint8_t* bytes, size_t size, net::Socket stopFd, int roomWaitMs, size_t& sent) {
    sent = 0;
    while (sent < size) {
        const long n = net::Send(m_fd, bytes + sent, size - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && net::LastError() != net::Error::WouldBlock) return false;
        // An invalid stop socket is passed over.
        net::PollEntry fds[2] = {{m_fd, net::PollOut, 0}, {stopFd, net::PollIn, 0}};
        int ready;
        while ((ready = net::Poll(fds, 2, roomWaitMs)) < 0 && net::LastError() == net::Error::Interrupted) {
        }
        if (ready < 0) return false;
        if (fds[1].revents != 0) {
            net::SetLastError(net::Error::Cancelled);
            return false;
        }
        if (ready == 0) {
            net::SetLastError(net::Error::TimedOut);
            return false;
        }
        // Room, or POLLERR / POLLHUP: the next send tells which.
    }
    return true;
}

bool NetLink::sendControlQueue(std::unique_lock<std::mutex>& queue, net::Socket stopFd, int roomWaitMs) {
    while (!m_controlQueue.empty()) {
        std::vector<uint8_t> pending;
        pending.swap(m_controlQueue);
        queue.unlock();
        size_t sent = 0;
        const bool allSent = sendBytes(pending.data(), pending.size(), stopFd, roomWaitMs, sent);
        const int error = net::LastErrorCode();
        queue.lock();
        if (!allSent) {
            // Kept for the next turn, ahead of whatever was queued meanwhile.
            m_controlQueue.insert(m_controlQueue.begin(), pending.begin() + static_cast<ptrdiff_t>(sent),
                                  pending.end());
            net::SetLastErrorCode(error);
            return false;
        }
    }
    return true;
}

bool NetLink::endSendTurn(std::unique_lock<std::mutex>& turn, net::Socket stopFd, int roomWaitMs) {
    std::unique_lock<std::mutex> queue(m_controlLock);
    const bool allSent = sendControlQueue(queue, stopFd, roomWaitMs);
    // Let go under the queue lock: bytes queued from now on find the socket free and go at once.
    turn.unlock();
    return allSent;
}

bool NetLink::sendControl(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard<std::mutex> queue(m_controlLock);
        m_controlQueue.insert(m_controlQueue.end(), bytes.begin(), bytes.end());
    }
    std::unique_lock<std::mutex> turn(m_sendLock, std::try_to_lock);
    if (!turn.owns_lock()) return true;  // the holder of the turn sends them before it lets go
    // Control bytes are few: they wait a little for room, never for ever. A broken connection is
    // seen by the reader as a hang-up.
    return endSendTurn(turn, net::InvalidSocket, ControlRoomWaitMs);
}

int NetLink::unsentBytes() const {
    return net::UnsentBytes(m_fd);
}

std::vector<uint8_t> NetLink::escapeIac(const uint8_t* bytes, size_t n) {
    std::vector<uint8_t> out;
    out.reserve(n + n / 8 + 1);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == Iac) out.push_back(Iac);
    }
    return out;
}

std::vector<uint8_t> NetLink::comPortCommands(const LineSettings& s) {
    auto sub = [](uint8_t command, std::vector<uint8_t> value) {
        std::vector<uint8_t> out{Iac, Sb, OptComPort, command};
        const std::vector<uint8_t> escaped = escapeIac(value.data(), value.size());
        out.insert(out.end(), escaped.begin(), escaped.end());
        out.push_back(Iac);
        out.push_back(Se);
        return out;
    };
    const uint32_t baud = s.baudRate;
    uint8_t dataSize = 8;
    switch (s.byteSize) {
    case TByteSize::_5: dataSize = 5; break;
    case TByteSize::_6: dataSize = 6; break;
    case TByteSize::_7: dataSize = 7; break;
    case TByteSize::_8: dataSize = 8; break;
    }
    uint8_t parity = 1;
    switch (s.parity) {
    case TParity::None: parity = 1; break;
    case TParity::Odd: parity = 2; break;
    case TParity::Even: parity = 3; break;
    case TParity::Mark: parity = 4; break;
    case TParity::Space: parity = 5; break;
    }
    uint8_t stop = 1;
    switch (s.stopBits) {
    case TStopBits::_1: stop = 1; break;
    case TStopBits::_2: stop = 2; break;
    case TStopBits::_1_5: stop = 3; break;
    }
    std::vector<uint8_t> out;
    for (auto part : {sub(SetBaudRate, {uint8_t(baud >> 24), uint8_t(baud >> 16), uint8_t(baud >> 8), uint8_t(baud)}),
                      sub(SetDataSize, {dataSize}), sub(SetParity, {parity}), sub(SetStopSize, {stop})})
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

void NetLink::applyLineSettings(const LineSettings& settings) {
    if (m_kind != Kind::Rfc2217) return;
    sendControl(comPortCommands(settings));
}

CommPort::OpenStatus CommPort::openNetwork(const QString& path, std::unique_ptr<CommPort>& port, QString* failure) {
    QString reason;
    std::unique_ptr<NetLink> net = NetLink::open(path, reason);
    if (!net) {
        if (failure) *failure = reason;
        return OpenStatus::Unreachable;
    }
    port.reset(new CommPort(std::move(net)));
    return OpenStatus::Opened;
}

}  // namespace tarvello

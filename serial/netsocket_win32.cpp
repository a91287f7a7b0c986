// The socket layer on Windows: Winsock 2, WSAPoll, keep-alive through SIO_KEEPALIVE_VALS.
#include "serial/netsocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <vector>

namespace tarvello::net {

static_assert(winsock::WsaOperationAborted == WSA_OPERATION_ABORTED && winsock::WsaInterrupted == WSAEINTR &&
              winsock::WsaBadHandle == WSAEBADF && winsock::WsaWouldBlock == WSAEWOULDBLOCK &&
              winsock::WsaInProgress == WSAEINPROGRESS && winsock::WsaNotSocket == WSAENOTSOCK &&
              winsock::WsaAddressNotAvailable == WSAEADDRNOTAVAIL && winsock::WsaNetworkDown == WSAENETDOWN &&
              winsock::WsaNetworkUnreachable == WSAENETUNREACH && winsock::WsaNetworkReset == WSAENETRESET &&
              winsock::WsaConnectionAborted == WSAECONNABORTED && winsock::WsaConnectionReset == WSAECONNRESET &&
              winsock::WsaNoBuffers == WSAENOBUFS && winsock::WsaNotConnected == WSAENOTCONN &&
              winsock::WsaShutdown == WSAESHUTDOWN && winsock::WsaTimedOut == WSAETIMEDOUT &&
              winsock::WsaRefused == WSAECONNREFUSED && winsock::WsaHostDown == WSAEHOSTDOWN &&
              winsock::WsaHostUnreachable == WSAEHOSTUNREACH && winsock::WsaDisconnected == WSAEDISCON &&
              winsock::WsaCancelled == WSAECANCELLED && winsock::WsaHostNotFound == WSAHOST_NOT_FOUND &&
              winsock::WsaTryAgain == WSATRY_AGAIN && winsock::WsaNoRecovery == WSANO_RECOVERY &&
              winsock::WsaNoData == WSANO_DATA,
              "Winsock's error numbers");

namespace {

// Options of newer Windows versions, by number: an older system refuses them and is then
// left with its own defaults.
constexpr int TcpMaxRetransmitSeconds = 5;  // TCP_MAXRT
constexpr int TcpKeepCount = 16;            // TCP_KEEPCNT
constexpr DWORD TcpInfoControl = _WSAIORW(IOC_VENDOR, 39);  // SIO_TCP_INFO

// The first fields of TCP_INFO_v0 (Windows 10 1703 and later), up to the bytes in flight.
struct TcpInfoStart {
    int state;
    ULONG mss;
    ULONG64 connectionTimeMs;
    BOOLEAN timestampsEnabled;
    ULONG rttUs;
    ULONG minRttUs;
    ULONG bytesInFlight;
    ULONG cwnd, sndWnd, rcvWnd, rcvBuf;
    ULONG64 bytesOut, bytesIn;
    ULONG bytesReordered, bytesRetrans, fastRetrans, dupAcksIn, timeoutEpisodes;
    UCHAR synRetrans;
};

SOCKET native(Socket s) {
    return static_cast<SOCKET>(s);
}

bool setNonBlocking(SOCKET s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

// A socket not inherited by child processes (the flag is refused before Windows 7 SP1).
SOCKET newSocket(int family, int type, int protocol) {
    SOCKET s = WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        s = WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (s != INVALID_SOCKET) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    }
    return s;
}

}  // namespace

int LastErrorCode() {
    return WSAGetLastError();
}

Error LastError() {
    return ErrorFromWinsock(WSAGetLastError());
}

Error ErrorFromCode(int code) {
    return ErrorFromWinsock(code);
}

void SetLastError(Error kind) {
    switch (kind) {
    case Error::WouldBlock: WSASetLastError(WSAEWOULDBLOCK); break;
    case Error::Cancelled: WSASetLastError(WSAECANCELLED); break;
    case Error::TimedOut: WSASetLastError(WSAETIMEDOUT); break;
    default: WSASetLastError(WSAENETRESET); break;
    }
}

void SetLastErrorCode(int code) {
    WSASetLastError(code);
}

QString SystemErrorText(int code) {
    return ErrorText(ErrorFromWinsock(code), code);
}

QString ResolveErrorText(int code) {
    return ErrorText(ErrorFromWinsock(code), code);
}

bool Startup(QString& failure) {
    // Once per process, never undone: sockets may be in use until the very end.
    static std::once_flag once;
    static int result = 0;
    std::call_once(once, [] {
        WSADATA data{};
        result = WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (result != 0) failure = QStringLiteral("Network ports cannot be used: Winsock did not start (error %1)").arg(result);
    return result == 0;
}

Socket OpenStream(const addrinfo& a) {
    const SOCKET s = newSocket(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (s == INVALID_SOCKET) return InvalidSocket;
    if (!setNonBlocking(s)) {
        closesocket(s);
        return InvalidSocket;
    }
    return static_cast<Socket>(s);
}

int StartConnect(Socket s, const addrinfo& a, bool& pending) {
    pending = false;
    if (::connect(native(s), a.ai_addr, static_cast<int>(a.ai_addrlen)) == 0) return 0;
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS) return error;
    pending = true;
    return 0;
}

// select() rather than WSAPoll: WSAPoll of older Windows versions never reports a refused
// connection.
int WaitConnected(Socket s, int timeoutMs) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(native(s), &writable);
    FD_SET(native(s), &failed);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int ready = select(0, nullptr, &writable, &failed, &limit);
    if (ready == 0) return WSAETIMEDOUT;
    if (ready < 0) return WSAGetLastError();
    int error = 0;
    int length = sizeof error;
    getsockopt(native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    if (error == 0 && FD_ISSET(native(s), &failed)) error = WSAECONNREFUSED;
    return error;
}

void Tune(Socket s) {
    const SOCKET h = native(s);
    const DWORD one = 1;
    setsockopt(h, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    // As on Linux: an idle connection is probed after 5 s, then every second (Windows gives up
    // after its own count of probes, 5 where TCP_KEEPCNT is known); bytes unacknowledged for
    // 5 s end the connection where TCP_MAXRT is known.
    setsockopt(h, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
    tcp_keepalive values{1, 5000, 1000};
    DWORD returned = 0;
    WSAIoctl(h, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
    const DWORD probes = 5, maxRetransmitSeconds = 5;
    setsockopt(h, IPPROTO_TCP, TcpKeepCount, reinterpret_cast<const char*>(&probes), sizeof probes);
    setsockopt(h, IPPROTO_TCP, TcpMaxRetransmitSeconds, reinterpret_cast<const char*>(&maxRetransmitSeconds),
               sizeof maxRetransmitSeconds);
}

void Close(Socket s) {
    if (s != InvalidSocket) closesocket(native(s));
}

long Receive(Socket s, uint8_t* buffer, size_t size) {
    const int want = static_cast<int>(std::min<size_t>(size, 1 << 30));
    int n;
    while ((n = ::recv(native(s), reinterpret_cast<char*>(buffer), want, 0)) < 0 && WSAGetLastError() == WSAEINTR) {
    }
    return n;
}

long Send(Socket s, const uint8_t* bytes, size_t size) {
    const int want = static_cast<int>(std::min<size_t>(size, 1 << 30));
    int n;
    while ((n = ::send(native(s), reinterpret_cast<const char*>(bytes), want, 0)) < 0 && WSAGetLastError() == WSAEINTR) {
    }
    return n;
}

int UnsentBytes(Socket s) {
    // Bytes sent and not yet acknowledged, where the system tells them.
    DWORD version = 0;
    TcpInfoStart info{};
    DWORD returned = 0;
    if (WSAIoctl(native(s), TcpInfoControl, &version, sizeof version, &info, sizeof info, &returned, nullptr,
                 nullptr) != 0 ||
        returned < offsetof(TcpInfoStart, bytesInFlight) + sizeof info.bytesInFlight)
        return 0;
    return static_cast<int>(std::min<ULONG>(info.bytesInFlight, 1 << 30));
}

int Poll(PollEntry* entries, size_t count, int timeoutMs) {
    // WSAPoll refuses invalid sockets: only the valid ones go to it.
    std::vector<WSAPOLLFD> fds;
    std::vector<size_t> index;
    fds.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        entries[i].revents = 0;
        if (entries[i].socket == InvalidSocket) continue;
        const short e = entries[i].events;
        WSAPOLLFD p{};
        p.fd = native(entries[i].socket);
        p.events = static_cast<short>(((e & PollIn) ? POLLRDNORM : 0) | ((e & PollOut) ? POLLWRNORM : 0));
        fds.push_back(p);
        index.push_back(i);
    }
    if (fds.empty()) {
        // Nothing to wait on: a limited wait passes, an unlimited one would never end.
        if (timeoutMs < 0) {
            WSASetLastError(WSAEINVAL);
            return -1;
        }
        Sleep(static_cast<DWORD>(timeoutMs));
        return 0;
    }
    const int ready = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
    if (ready <= 0) return ready;
    for (size_t k = 0; k < fds.size(); ++k) {
        const short r = fds[k].revents;
        entries[index[k]].revents =
            static_cast<short>(((r & (POLLRDNORM | POLLRDBAND)) ? PollIn : 0) | ((r & POLLWRNORM) ? PollOut : 0) |
                               ((r & POLLERR) ? PollError : 0) | ((r & POLLHUP) ? PollHangup : 0) |
                               ((r & POLLNVAL) ? PollInvalid : 0));
    }
    return ready;
}

// A listener on 127.0.0.1 with a port of the system's choosing, connected to once and closed.
// The accepted end must be our own connection, not somebody else's who got in first.
bool MakeWakePair(Socket& readEnd, Socket& writeEnd) {
    QString failure;
    if (!Startup(failure)) return false;
    const SOCKET listener = newSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    SOCKET writer = INVALID_SOCKET, reader = INVALID_SOCKET;
    bool ok = bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0 && listen(listener, 1) == 0;
    if (ok) writer = newSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ok = ok && writer != INVALID_SOCKET &&
         ::connect(writer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (ok) {
        sockaddr_in peer{}, own{};
        int peerLength = sizeof peer, ownLength = sizeof own;
        reader = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        ok = reader != INVALID_SOCKET && getsockname(writer, reinterpret_cast<sockaddr*>(&own), &ownLength) == 0 &&
             peer.sin_port == own.sin_port && peer.sin_addr.s_addr == own.sin_addr.s_addr;
    }
    closesocket(listener);
    if (ok) {
        const DWORD one = 1;
        setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        SetHandleInformation(reinterpret_cast<HANDLE>(reader), HANDLE_FLAG_INHERIT, 0);
        ok = setNonBlocking(reader) && setNonBlocking(writer);
    }
    if (!ok) {
        if (reader != INVALID_SOCKET) closesocket(reader);
        if (writer != INVALID_SOCKET) closesocket(writer);
        return false;
    }
    readEnd = static_cast<Socket>(reader);
    writeEnd = static_cast<Socket>(writer);
    return true;
}

void Wake(Socket writeEnd) {
    const uint8_t one = 1;
    Send(writeEnd, &one, 1);
}

}  // namespace tarvello::net

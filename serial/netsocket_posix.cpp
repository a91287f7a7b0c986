// The socket layer on Linux: POSIX sockets and poll().
#include "serial/netsocket.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace tarvello::net {

int LastErrorCode() {
    return errno;
}

Error LastError() {
    return ErrorFromErrno(errno);
}

Error ErrorFromCode(int code) {
    return ErrorFromErrno(code);
}

void SetLastError(Error kind) {
    switch (kind) {
    case Error::WouldBlock: errno = EAGAIN; break;
    case Error::Cancelled: errno = ECANCELED; break;
    case Error::TimedOut: errno = ETIMEDOUT; break;
    default: errno = EIO; break;
    }
}

void SetLastErrorCode(int code) {
    errno = code;
}

QString SystemErrorText(int code) {
    return QString::fromLocal8Bit(strerror(code));
}

QString ResolveErrorText(int code) {
    return QString::fromLocal8Bit(gai_strerror(code));
}

bool Startup(QString&) {
    return true;
}

Socket OpenStream(const addrinfo& a) {
    return ::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
}

int StartConnect(Socket s, const addrinfo& a, bool& pending) {
    pending = false;
    if (::connect(s, a.ai_addr, a.ai_addrlen) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    pending = true;
    return 0;
}

int WaitConnected(Socket s, int timeoutMs) {
    pollfd p{s, POLLOUT, 0};
    int ready;
    while ((ready = ::poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    if (ready == 0) return ETIMEDOUT;
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
    return err;
}

void Tune(Socket s) {
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Bytes unacknowledged for 5 s, or an idle connection whose probes go unanswered for 5 s
    // more, end the connection.
    const int idleSeconds = 5, probeSeconds = 1, probes = 5;
    const unsigned int unackedMs = 5000;
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &probeSeconds, sizeof probeSeconds);
    setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &unackedMs, sizeof unackedMs);
}

void Close(Socket s) {
    if (s >= 0) ::close(s);
}

long Receive(Socket s, uint8_t* buffer, size_t size) {
    ssize_t n;
    while ((n = ::recv(s, buffer, size, 0)) < 0 && errno == EINTR) {
    }
    return static_cast<long>(n);
}

long Send(Socket s, const uint8_t* bytes, size_t size) {
    ssize_t n;
    while ((n = ::send(s, bytes, size, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return static_cast<long>(n);
}

int UnsentBytes(Socket s) {
    int queued = 0;
    if (ioctl(s, TIOCOUTQ, &queued) != 0) return 0;  // SIOCOUTQ: not yet acknowledged
    return queued;
}

int Poll(PollEntry* entries, size_t count, int timeoutMs) {
    pollfd fds[4];
    std::vector<pollfd> more;
    pollfd* p = fds;
    if (count > 4) {
        more.resize(count);
        p = more.data();
    }
    for (size_t i = 0; i < count; ++i) {
        const short e = entries[i].events;
        p[i] = {entries[i].socket, static_cast<short>(((e & PollIn) ? POLLIN : 0) | ((e & PollOut) ? POLLOUT : 0)), 0};
    }
    const int ready = ::poll(p, count, timeoutMs);
    for (size_t i = 0; i < count; ++i) {
        const short r = ready > 0 ? p[i].revents : 0;
        entries[i].revents = static_cast<short>(((r & POLLIN) ? PollIn : 0) | ((r & POLLOUT) ? PollOut : 0) |
                                                ((r & POLLERR) ? PollError : 0) | ((r & POLLHUP) ? PollHangup : 0) |
                                                ((r & POLLNVAL) ? PollInvalid : 0));
    }
    return ready;
}

bool MakeWakePair(Socket& readEnd, Socket& writeEnd) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return false;
    readEnd = pair[0];
    writeEnd = pair[1];
    return true;
}

void Wake(Socket writeEnd) {
    const uint8_t one = 1;
    Send(writeEnd, &one, 1);
}

}  // namespace tarvello::net

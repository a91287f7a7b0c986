// The socket layer's error kinds and their texts, the same on both systems.
#include "serial/netsocket.h"

#include <cerrno>

namespace tarvello::net {

using namespace winsock;

Error ErrorFromWinsock(int code) {
    switch (code) {
    case 0: return Error::None;
    case WsaWouldBlock:
    case WsaInProgress: return Error::WouldBlock;
    case WsaInterrupted: return Error::Interrupted;
    case WsaCancelled:
    case WsaOperationAborted: return Error::Cancelled;
    case WsaTimedOut: return Error::TimedOut;
    case WsaRefused: return Error::Refused;
    case WsaConnectionReset:
    case WsaNetworkReset: return Error::Reset;
    case WsaConnectionAborted: return Error::Aborted;
    case WsaNetworkDown: return Error::NetworkDown;
    case WsaNetworkUnreachable: return Error::NetworkUnreachable;
    case WsaHostUnreachable: return Error::HostUnreachable;
    case WsaHostDown: return Error::HostDown;
    case WsaAddressNotAvailable: return Error::AddressNotAvailable;
    case WsaNotConnected: return Error::NotConnected;
    case WsaShutdown:
    case WsaDisconnected: return Error::Shutdown;
    case WsaBadHandle:
    case WsaNotSocket: return Error::BadSocket;
    case WsaNoBuffers: return Error::NoBuffers;
    case WsaHostNotFound: return Error::NameNotFound;
    case WsaTryAgain: return Error::NameTryAgain;
    case WsaNoRecovery: return Error::NameFailure;
    case WsaNoData: return Error::NameNoData;
    default: return Error::Other;
    }
}

Error ErrorFromErrno(int code) {
    switch (code) {
    case 0: return Error::None;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return Error::WouldBlock;
    case EINTR: return Error::Interrupted;
    case ECANCELED: return Error::Cancelled;
    case ETIMEDOUT: return Error::TimedOut;
    case ECONNREFUSED: return Error::Refused;
    case ECONNRESET:
    case ENETRESET: return Error::Reset;
    case ECONNABORTED: return Error::Aborted;
    case ENETDOWN: return Error::NetworkDown;
    case ENETUNREACH: return Error::NetworkUnreachable;
    case EHOSTUNREACH: return Error::HostUnreachable;
#ifdef EHOSTDOWN
    case EHOSTDOWN: return Error::HostDown;
#endif
    case EADDRNOTAVAIL: return Error::AddressNotAvailable;
    case ENOTCONN: return Error::NotConnected;
#ifdef ESHUTDOWN
    case ESHUTDOWN: return Error::Shutdown;
#endif
    case EBADF:
    case ENOTSOCK: return Error::BadSocket;
    case ENOBUFS: return Error::NoBuffers;
    default: return Error::Other;
    }
}

QString ErrorText(Error kind, int code) {
    switch (kind) {
    case Error::None: return QStringLiteral("Success");
    case Error::WouldBlock: return QStringLiteral("Resource temporarily unavailable");
    case Error::Interrupted: return QStringLiteral("Interrupted system call");
    case Error::Cancelled: return QStringLiteral("Operation canceled");
    case Error::TimedOut: return QStringLiteral("Connection timed out");
    case Error::Refused: return QStringLiteral("Connection refused");
    case Error::Reset: return QStringLiteral("Connection reset by peer");
    case Error::Aborted: return QStringLiteral("Software caused connection abort");
    case Error::NetworkDown: return QStringLiteral("Network is down");
    case Error::NetworkUnreachable: return QStringLiteral("Network is unreachable");
    case Error::HostUnreachable: return QStringLiteral("No route to host");
    case Error::HostDown: return QStringLiteral("Host is down");
    case Error::AddressNotAvailable: return QStringLiteral("Cannot assign requested address");
    case Error::NotConnected: return QStringLiteral("Transport endpoint is not connected");
    case Error::Shutdown: return QStringLiteral("Cannot send after transport endpoint shutdown");
    case Error::BadSocket: return QStringLiteral("Bad file descriptor");
    case Error::NoBuffers: return QStringLiteral("No buffer space available");
    case Error::NameNotFound: return QStringLiteral("Name or service not known");
    case Error::NameTryAgain: return QStringLiteral("Temporary failure in name resolution");
    case Error::NameFailure: return QStringLiteral("Non-recoverable failure in name resolution");
    case Error::NameNoData: return QStringLiteral("No address associated with hostname");
    case Error::Other: break;
    }
    return QStringLiteral("Network error %1").arg(code);
}

}  // namespace tarvello::net

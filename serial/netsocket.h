// Internal to the serial library: the few socket calls a network port makes, the same on both
// systems. NetLink (the Telnet and COM-PORT-OPTION side) is written once on top of these;
// netsocket_posix.cpp and netsocket_win32.cpp hold what differs (socket type, non-blocking
// mode, poll or WSAPoll, errno or WSAGetLastError, keep-alive options, closing).
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

struct addrinfo;

namespace tarvello::net {

#ifdef _WIN32
using Socket = std::uintptr_t;  // a Winsock SOCKET
inline constexpr Socket InvalidSocket = ~Socket(0);
#else
using Socket = int;
inline constexpr Socket InvalidSocket = -1;
#endif

// What a failed socket call means to a network port, whichever system reported it.
enum class Error {
    None,
    WouldBlock,  // nothing to read or no room to write now
    Interrupted,
    Cancelled,  // a wait gave way to the stop descriptor
    TimedOut,
    Refused,
    Reset,
    Aborted,
    NetworkDown,
    NetworkUnreachable,
    HostUnreachable,
    HostDown,
    AddressNotAvailable,
    NotConnected,
    Shutdown,
    BadSocket,
    NoBuffers,
    NameNotFound,   // resolver: no such host
    NameTryAgain,   // resolver: temporary failure
    NameFailure,    // resolver: non-recoverable failure
    NameNoData,     // resolver: the host has no address
    Other,
};

// Winsock's error numbers (WSAGetLastError, getaddrinfo), told as kinds; numbers only, so that
// the mapping is the same wherever it is compiled.
Error ErrorFromWinsock(int code);
// Winsock's error numbers (winsock2.h), for the mapping above; netsocket_win32.cpp checks them
// against the header.
namespace winsock {
enum Code : int {
    WsaOperationAborted = 995,
    WsaInterrupted = 10004,
    WsaBadHandle = 10009,
    WsaWouldBlock = 10035,
    WsaInProgress = 10036,
    WsaNotSocket = 10038,
    WsaAddressNotAvailable = 10049,
    WsaNetworkDown = 10050,
    WsaNetworkUnreachable = 10051,
    WsaNetworkReset = 10052,
    WsaConnectionAborted = 10053,
    WsaConnectionReset = 10054,
    WsaNoBuffers = 10055,
    WsaNotConnected = 10057,
    WsaShutdown = 10058,
    WsaTimedOut = 10060,
    WsaRefused = 10061,
    WsaHostDown = 10064,
    WsaHostUnreachable = 10065,
    WsaDisconnected = 10101,
    WsaCancelled = 10103,
    WsaHostNotFound = 11001,
    WsaTryAgain = 11002,
    WsaNoRecovery = 11003,
    WsaNoData = 11004,
};
}  // namespace winsock

// errno values of this system's C library, told as kinds.
Error ErrorFromErrno(int code);
// This system's socket error numbers (errno on Linux, Winsock's on Windows), told as kinds.
Error ErrorFromCode(int code);
// The operator's text for a kind: the wording the Linux port layer has always used (the C
// library's), so that both systems say the same. code names an error of kind Other.
QString ErrorText(Error kind, int code);

// The system's own number of the last failed socket call on this thread, and its kind.
int LastErrorCode();
Error LastError();
// Sets the last error, as a socket call would have (kinds WouldBlock, Cancelled, TimedOut), or
// back to a number LastErrorCode gave.
void SetLastError(Error kind);
void SetLastErrorCode(int code);
// The text for a system error number: the C library's on Linux, ErrorText's on Windows.
QString SystemErrorText(int code);
// The text for a getaddrinfo failure.
QString ResolveErrorText(int code);

// Makes the socket layer ready (Winsock's start-up, once per process). False: no sockets here,
// with the reason in failure.
bool Startup(QString& failure);

// A non-blocking stream socket, not inherited by child processes.
Socket OpenStream(const addrinfo& address);
// Starts connecting: 0 with pending set when the connection is under way, 0 without it when it
// is made, else the system's error number.
int StartConnect(Socket s, const addrinfo& address, bool& pending);
// Waits at most timeoutMs for a connection under way: 0 when made, the system's error number
// when not (a time-out as that system's TimedOut).
int WaitConnected(Socket s, int timeoutMs);
// Frames are small and leave at once; a server that vanishes without closing is noticed within
// seconds (keep-alive probes, and a limit on unacknowledged bytes where the system has one).
void Tune(Socket s);
void Close(Socket s);

// As recv(2) and send(2): the count, 0 at the peer's close (recv), -1 with the last error set.
// An interrupted call is repeated; send never raises SIGPIPE.
long Receive(Socket s, uint8_t* buffer, size_t size);
long Send(Socket s, const uint8_t* bytes, size_t size);
// Bytes given to the socket that the peer has not taken yet (0 where the system cannot tell).
int UnsentBytes(Socket s);

enum PollFlag : short { PollIn = 1, PollOut = 2, PollError = 4, PollHangup = 8, PollInvalid = 16 };
struct PollEntry {
    Socket socket = InvalidSocket;  // passed over when invalid, as poll(2) passes over -1
    short events = 0;
    short revents = 0;
};
// As poll(2) over count entries: the number ready, 0 on time-out, -1 with the last error set.
// timeoutMs -1: no limit.
int Poll(PollEntry* entries, size_t count, int timeoutMs);

// A pair of connected sockets: a byte written into writeEnd makes readEnd readable. On systems
// whose stop descriptor is not a socket, it lets a socket wait give way to a stop.
bool MakeWakePair(Socket& readEnd, Socket& writeEnd);
void Wake(Socket writeEnd);

}  // namespace tarvello::net

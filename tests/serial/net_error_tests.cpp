// What the operator is told when a socket call fails: Winsock's numbers and this system's errno
// values must come out in the same words, so that a device server that cannot be reached reads
// the same on both systems.
#include "serial/netlink.h"
#include "serial/netsocket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <netdb.h>

namespace {

using tarvello::net::Error;

TEST(NetErrorText, WinsockNumbersAreToldInTheWordsOfTheLinuxPortLayer) {
    struct Case {
        int code;
        Error kind;
        const char* text;
    };
    const Case cases[] = {
        {10061, Error::Refused, "Connection refused"},
        {10060, Error::TimedOut, "Connection timed out"},
        {10054, Error::Reset, "Connection reset by peer"},
        {10052, Error::Reset, "Connection reset by peer"},
        {10053, Error::Aborted, "Software caused connection abort"},
        {10065, Error::HostUnreachable, "No route to host"},
        {10064, Error::HostDown, "Host is down"},
        {10051, Error::NetworkUnreachable, "Network is unreachable"},
        {10050, Error::NetworkDown, "Network is down"},
        {10049, Error::AddressNotAvailable, "Cannot assign requested address"},
        {10057, Error::NotConnected, "Transport endpoint is not connected"},
        {10058, Error::Shutdown, "Cannot send after transport endpoint shutdown"},
        {10101, Error::Shutdown, "Cannot send after transport endpoint shutdown"},
        {10055, Error::NoBuffers, "No buffer space available"},
        {10035, Error::WouldBlock, "Resource temporarily unavailable"},
        {10036, Error::WouldBlock, "Resource temporarily unavailable"},
        {10004, Error::Interrupted, "Interrupted system call"},
        {10103, Error::Cancelled, "Operation canceled"},
        {995, Error::Cancelled, "Operation canceled"},
        {10038, Error::BadSocket, "Bad file descriptor"},
        {11001, Error::NameNotFound, "Name or service not known"},
        {11002, Error::NameTryAgain, "Temporary failure in name resolution"},
        {11003, Error::NameFailure, "Non-recoverable failure in name resolution"},
        {11004, Error::NameNoData, "No address associated with hostname"},
        {10013, Error::Other, "Network error 10013"},  // WSAEACCES: named by number
        {0, Error::None, "Success"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const Error kind = tarvello::net::ErrorFromWinsock(c.code);
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(tarvello::net::ErrorText(kind, c.code).toStdString(), c.text);
    }
}

// The texts are the C library's own: an errno value (or a resolver failure) told through its
// kind reads exactly as strerror (gai_strerror) has always put it on Linux.
TEST(NetErrorText, EachKindReadsAsTheCLibrarySaysIt) {
    const int errnos[] = {ECONNREFUSED, ETIMEDOUT,     ECONNRESET, ECONNABORTED, EHOSTUNREACH,
                          EHOSTDOWN,    ENETUNREACH,   ENETDOWN,   EADDRNOTAVAIL, ENOTCONN, ESHUTDOWN,
                          ENOBUFS,      EAGAIN,        EINTR,      ECANCELED, EBADF};
    for (const int e : errnos) {
        SCOPED_TRACE(e);
        const Error kind = tarvello::net::ErrorFromErrno(e);
        EXPECT_NE(kind, Error::Other);
        EXPECT_EQ(tarvello::net::ErrorText(kind, e).toStdString(), std::strerror(e));
    }
    const struct {
        int code;
        Error kind;
    } resolver[] = {{EAI_NONAME, Error::NameNotFound},
                    {EAI_AGAIN, Error::NameTryAgain},
                    {EAI_FAIL, Error::NameFailure},
                    {EAI_NODATA, Error::NameNoData}};
    for (const auto& r : resolver) {
        SCOPED_TRACE(r.code);
        EXPECT_EQ(tarvello::net::ErrorText(r.kind, r.code).toStdString(), gai_strerror(r.code));
    }
}

// Network port names, split as the connection needs them; anything else is refused.
TEST(NetPortName, NamesSplitIntoKindHostAndPort) {
    using Kind = tarvello::NetLink::Kind;
    struct Case {
        const char* name;
        bool ok;
        Kind kind;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"tcp://192.168.10.20:4001", true, Kind::RawTcp, "192.168.10.20", 4001},
        {"RFC2217://stage-server:2001", true, Kind::Rfc2217, "stage-server", 2001},
        {"TCP://[fe80::1]:65535", true, Kind::RawTcp, "fe80::1", 65535},
        {"rfc2217://h:00001", true, Kind::Rfc2217, "h", 1},
        {"tcp://h:0", false, Kind::RawTcp, "", 0},
        {"tcp://h:65536", false, Kind::RawTcp, "", 0},
        {"tcp://h:123456", false, Kind::RawTcp, "", 0},
        {"tcp://h:", false, Kind::RawTcp, "", 0},
        {"tcp://h:4x", false, Kind::RawTcp, "", 0},
        {"tcp://:4000", false, Kind::RawTcp, "", 0},
        {"tcp://h", false, Kind::RawTcp, "", 0},
        {"tcp://a:b:4000", false, Kind::RawTcp, "", 0},
        {"tcp://a/b:4000", false, Kind::RawTcp, "", 0},
        {"tcp://[]:4000", false, Kind::RawTcp, "", 0},
        {"tcp://[::1]x:4000", false, Kind::RawTcp, "", 0},
        {"tcp://[a]]:4000", false, Kind::RawTcp, "", 0},
        {"udp://h:4000", false, Kind::RawTcp, "", 0},
        {"tcp:/h:4000", false, Kind::RawTcp, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Kind kind = Kind::RawTcp;
        QString host;
        int port = 0;
        ASSERT_EQ(tarvello::NetLink::parseName(QString::fromLatin1(c.name), kind, host, port), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(host.toStdString(), c.host);
        EXPECT_EQ(port, c.port);
    }
}

}  // namespace

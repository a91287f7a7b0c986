// TCP sockets on 127.0.0.1 for the network port tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

// A stream socket bound to 127.0.0.1 at a port of the system's choosing, which *port receives.
inline int BindLoopback(uint16_t* port, int flags = 0)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return s;
}

// A port on 127.0.0.1 that nobody listens on (bound for a moment, then given back).
inline uint16_t FreeLoopbackPort()
{
    uint16_t port = 0;
    ::close(BindLoopback(&port));
    return port;
}

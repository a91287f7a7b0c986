// The socket layer under NetLink, on real connections over 127.0.0.1: what the reader is told
// about a peer that sends, says nothing, closes or resets, and how a wait gives way to a stop
// socket (the way the Windows threads' close event reaches a socket wait).
#include "../support/loopback.h"

#include "serial/netsocket.h"

#include <gtest/gtest.h>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

namespace net = tarvello::net;

// A connection made through the layer, and the listener's end of it.
struct Connection {
    Connection() {
        uint16_t port = 0;
        const int listener = BindLoopback(&port);
        ::listen(listener, 1);
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        addrinfo* found = nullptr;
        if (getaddrinfo("127.0.0.1", std::to_string(port).c_str(), &hints, &found) == 0) {
            client = net::OpenStream(*found);
            bool pending = false;
            int error = net::StartConnect(client, *found, pending);
            if (error == 0 && pending) error = net::WaitConnected(client, 5000);
            freeaddrinfo(found);
            if (error == 0) server = ::accept(listener, nullptr, nullptr);
        }
        ::close(listener);
    }
    ~Connection() {
        net::Close(client);
        if (server >= 0) ::close(server);
    }
    net::Socket client = net::InvalidSocket;
    int server = -1;
};

TEST(NetSocket, WhatThePeerDoesIsToldAsTheReaderNeedsIt) {
    enum class Peer { Silent, Sends, Closes, Resets };
    struct Case {
        const char* what;
        Peer peer;
        bool readable;     // the socket wakes a wait for input
        long received;     // what a read gives
        net::Error error;  // the error kind when it gives -1
    };
    const Case cases[] = {
        {"silent peer", Peer::Silent, false, -1, net::Error::WouldBlock},
        {"peer sends", Peer::Sends, true, 3, net::Error::None},
        {"peer closes", Peer::Closes, true, 0, net::Error::None},
        {"peer resets", Peer::Resets, true, -1, net::Error::Reset},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Connection link;
        ASSERT_NE(link.client, net::InvalidSocket);
        ASSERT_GE(link.server, 0);
        if (c.peer == Peer::Sends) {
            ASSERT_EQ(::send(link.server, "abc", 3, 0), 3);
        }
        if (c.peer == Peer::Resets) {
            const linger abort{1, 0};  // closing then sends a reset
            ::setsockopt(link.server, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        if (c.peer == Peer::Closes || c.peer == Peer::Resets) {
            ::close(link.server);
            link.server = -1;
        }
        net::PollEntry entry{link.client, net::PollIn, 0};
        const int ready = net::Poll(&entry, 1, c.readable ? 5000 : 0);
        EXPECT_EQ(ready, c.readable ? 1 : 0);
        EXPECT_EQ((entry.revents & (net::PollIn | net::PollHangup | net::PollError)) != 0, c.readable);
        uint8_t buffer[16];
        const long n = net::Receive(link.client, buffer, sizeof buffer);
        EXPECT_EQ(n, c.received);
        if (n < 0) {
            EXPECT_EQ(net::LastError(), c.error);
        }
    }
}

TEST(NetSocket, AWakePairWakesEveryLaterWaitAndInvalidEntriesArePassedOver) {
    net::Socket readEnd = net::InvalidSocket, writeEnd = net::InvalidSocket;
    ASSERT_TRUE(net::MakeWakePair(readEnd, writeEnd));
    net::PollEntry entries[2] = {{net::InvalidSocket, net::PollIn, 0}, {readEnd, net::PollIn, 0}};
    EXPECT_EQ(net::Poll(entries, 2, 0), 0);
    net::Wake(writeEnd);
    for (int wait = 0; wait < 3; ++wait) {  // never read back: it stays signalled
        EXPECT_EQ(net::Poll(entries, 2, 5000), 1);
        EXPECT_EQ(entries[0].revents, 0);
        EXPECT_EQ(entries[1].revents & net::PollIn, net::PollIn);
    }
    net::Close(readEnd);
    net::Close(writeEnd);
}

// A kind set as the last error comes back as that kind: NetLink tells a stop, a time-out and a
// read of nothing but Telnet commands through it.
TEST(NetSocket, LastErrorKindsSetByTheLinkComeBackAsSet) {
    for (const net::Error kind : {net::Error::WouldBlock, net::Error::Cancelled, net::Error::TimedOut}) {
        net::SetLastError(kind);
        EXPECT_EQ(net::LastError(), kind);
    }
}

}  // namespace

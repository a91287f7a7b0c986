// Internal to the serial library: a port reached over the network, behind CommPort.
//
// "tcp://HOST:PORT" is a raw TCP stream to a device server whose line is already set up;
// "rfc2217://HOST:PORT" is Telnet with the COM-PORT-OPTION (RFC 2217): the line settings are
// sent to the server, and 0xFF bytes are doubled on the way out and undoubled on the way in.
// The reader and writer threads use the socket through readSome/writeSome as they use a tty.
#pragma once

#include "serial/netsocket.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tarvello {

struct LineSettings;

class NetLink {
public:
    enum class Kind { RawTcp, Rfc2217 };
    // Connecting and, for RFC 2217, the option negotiation together take no longer than this.
    static constexpr int OpenTimeLimitMs = 1500;
    // How long an opened connection is watched for the server turning it away.
    static constexpr int TurnAwayWaitMs = 100;

    // True when the name is a network port name (whether or not it is well formed).
    static bool isNetworkName(const QString& name);
    // Splits a network port name into its parts; false when it is not well formed.
    static bool parseName(const QString& name, Kind& kind, QString& host, int& port);
    // Connects; on failure returns null and sets failure to a text for the operator.
    static std::unique_ptr<NetLink> open(const QString& name, QString& failure);
    ~NetLink();
    NetLink(const NetLink&) = delete;
    NetLink& operator=(const NetLink&) = delete;

    net::Socket fd() const { return m_fd; }
    Kind kind() const { return m_kind; }

    // As read(2) on a non-blocking descriptor: bytes of the line (Telnet commands removed),
    // -1 with the last error WouldBlock when only commands came, 0 when the connection has
    // closed (other errors as net::LastError tells them).
    long readSome(uint8_t* buffer, size_t size);
    // Sends all n bytes (0xFF doubled for RFC 2217) in one turn at the socket: no control bytes
    // fall among them. Waits for room in the socket as long as it takes, or until stopFd is
    // readable. n, or -1 with the last error set (Cancelled: stopFd came first).
    long writeWhole(const uint8_t* buffer, size_t size, net::Socket stopFd);
    // Bytes given to the socket that the peer has not taken yet.
    int unsentBytes() const;
    // RFC 2217: sends the line settings to the server. Raw TCP: nothing (the server's line is fixed).
    void applyLineSettings(const LineSettings& settings);

    // Telnet helpers, exposed for the tests.
    static std::vector<uint8_t> escapeIac(const uint8_t* bytes, size_t n);
    static std::vector<uint8_t> comPortCommands(const LineSettings& settings);

private:
    NetLink(net::Socket fd, Kind kind) : m_fd(fd), m_kind(kind) {}
    bool negotiate(int timeLimitMs, QString& failure);
    // A server whose port is taken (ser2net: another client holds it) takes the connection, says
    // so in a line of text and closes it. Waits a moment for that before the port counts as open.
    bool checkNotTurnedAway(int waitMs, QString& failure);
    void keepEarlyBytes(const uint8_t* bytes, long n);
    // Strips Telnet commands from raw bytes in place, answering option requests; returns the
    // count of line bytes left at the front.
    size_t filterTelnet(uint8_t* bytes, size_t n);
    void answerOption(uint8_t verb, uint8_t option);
    // Queues control bytes (option answers, line settings) and sends them at once when nobody
    // holds the socket; else the holder sends them before letting go. False: they could not go
    // out (the connection is broken or stuck).
    bool sendControl(const std::vector<uint8_t>& bytes);
    // With the turn at the socket held: sends the queued control bytes (the queue lock is held on
    // entry and on return). False: some could not go; they stay queued, first in line.
    bool sendControlQueue(std::unique_lock<std::mutex>& queue, net::Socket stopFd, int roomWaitMs);
    // Sends the queued control bytes, then gives up the turn at the socket.
    bool endSendTurn(std::unique_lock<std::mutex>& turn, net::Socket stopFd, int roomWaitMs);
    // send(2) until all is gone; waits for room at most roomWaitMs at a time (-1: no limit) and
    // gives way to stopFd (InvalidSocket: none). sent tells how far it came.
    bool sendBytes(const uint8_t* bytes, size_t size, net::Socket stopFd, int roomWaitMs, size_t& sent);

    net::Socket m_fd = net::InvalidSocket;
    Kind m_kind;
    // One turn at the socket: held across a whole write, so that the control bytes of the reader
    // (option answers) and of the owner (line settings) never fall inside the line's bytes,
    // between the two halves of a doubled 0xFF among them.
    std::mutex m_sendLock;
    std::mutex m_controlLock;             // guards m_controlQueue
    std::vector<uint8_t> m_controlQueue;  // control bytes waiting for a turn at the socket

    // Telnet receive state, kept across reads.
    enum class RxState { Data, Iac, Option, Sub, SubIac } m_rx = RxState::Data;
    uint8_t m_verb = 0;
    bool m_comPortAccepted = false;  // the server said DO COM-PORT-OPTION
    bool m_comPortRefused = false;   // the server said DONT COM-PORT-OPTION
    bool m_binaryRefused = false;    // the server said WONT or DONT TRANSMIT-BINARY
    QByteArray m_early;              // line bytes that came before the port counted as open
};

}  // namespace tarvello

// Internal to the serial library: a port reached over the network, behind CommPort.
//
// "tcp://HOST:PORT" is a raw TCP stream to a device server whose line is already set up;
// "rfc2217://HOST:PORT" is Telnet with the COM-PORT-OPTION (RFC 2217): the line settings are
// sent to the server, and 0xFF bytes are doubled on the way out and undoubled on the way in.
// The reader and writer threads use the socket through readSome/writeSome as they use a tty.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sys/types.h>
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
    // Connects; on failure returns null and sets failure to a text for the operator.
    static std::unique_ptr<NetLink> open(const QString& name, QString& failure);
    ~NetLink();
    NetLink(const NetLink&) = delete;
    NetLink& operator=(const NetLink&) = delete;

    int fd() const { return m_fd; }
    Kind kind() const { return m_kind; }

    // As read(2) on a non-blocking descriptor: bytes of the line (Telnet commands removed),
    // -1 with EAGAIN when only commands came, 0 when the connection has closed.
    ssize_t readSome(uint8_t* buffer, size_t size);
    // As write(2): n when all n bytes have gone into the socket, -1 with EAGAIN when the socket
    // is full (call again with the same bytes once it is writable).
    ssize_t writeSome(const uint8_t* buffer, size_t size);
    // Bytes given to the socket that the peer has not taken yet.
    int unsentBytes() const;
    // RFC 2217: sends the line settings to the server. Raw TCP: nothing (the server's line is fixed).
    void applyLineSettings(const LineSettings& settings);

    // Telnet helpers, exposed for the tests.
    static std::vector<uint8_t> escapeIac(const uint8_t* bytes, size_t n);
    static std::vector<uint8_t> comPortCommands(const LineSettings& settings);

private:
    NetLink(int fd, Kind kind) : m_fd(fd), m_kind(kind) {}
    bool negotiate(int timeLimitMs, QString& failure);
    // A server whose port is taken (ser2net: another client holds it) takes the connection, says
    // so in a line of text and closes it. Waits a moment for that before the port counts as open.
    bool checkNotTurnedAway(int waitMs, QString& failure);
    void keepEarlyBytes(const uint8_t* bytes, ssize_t n);
    // Strips Telnet commands from raw bytes in place, answering option requests; returns the
    // count of line bytes left at the front.
    size_t filterTelnet(uint8_t* bytes, size_t n);
    void answerOption(uint8_t verb, uint8_t option);
    bool sendControl(const std::vector<uint8_t>& bytes);

    int m_fd = -1;
    Kind m_kind;
    std::mutex m_sendLock;         // the writer's data and the owner's control bytes interleave whole
    std::vector<uint8_t> m_outgoing;  // escaped bytes of the write in progress
    size_t m_outgoingSent = 0;

    // Telnet receive state, kept across reads.
    enum class RxState { Data, Iac, Option, Sub, SubIac } m_rx = RxState::Data;
    uint8_t m_verb = 0;
    bool m_comPortAccepted = false;  // the server said DO COM-PORT-OPTION
    bool m_comPortRefused = false;   // the server said DONT COM-PORT-OPTION
    QByteArray m_early;              // line bytes that came before the port counted as open
};

}  // namespace tarvello

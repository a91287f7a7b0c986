#pragma once
// A bus of lifting devices behind a pseudo-terminal. The control centre opens
// the slave side as if it were a serial port; the simulator reads frames from
// the master side and answers as the devices would, paced at the line's baud
// rate. Everything is thread-safe: tests drive faults and read the frame log
// from their own thread while the simulator runs on two of its own (receiver
// and transmitter).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frames.h"

enum class Motion { Stopped, Up, Down, TiltedForward, TiltedBackward };
const char* MotionName(Motion m);

// Faults a device can show; any combination may be set at run time.
struct DeviceFaults {
    bool offline = false;     // hears nothing and answers nothing
    bool badChecksum = false; // reply checksum off by one
    bool split = false;       // reply arrives in two chunks with a gap between
    bool noise = false;       // noise bytes ahead of the reply
    bool wrongGroup = false;  // reply names group + 1 (mod 16)
    bool late = false;        // reply comes Options::lateBy after its time
    bool operator==(const DeviceFaults&) const = default;
};

struct SimDeviceConfig {
    uint8_t group = 0;
    uint16_t id = 0;
    uint8_t replyCode = 0xFF;
    std::string name;
};

// Snapshot of one device.
struct SimDevice {
    uint8_t group = 0;
    uint16_t id = 0;
    uint8_t replyCode = 0xFF;
    std::string name;
    Motion motion = Motion::Stopped;
    DeviceFaults faults;
};

using SimClock = std::chrono::steady_clock;

struct ReceivedFrame {
    SimClock::time_point time; // arrival of the last byte
    std::vector<uint8_t> bytes;
    bool checksumOk = false;
    uint8_t address = 0;
    uint16_t id = 0;
    uint8_t command = 0;
    uint8_t data1 = 0, data2 = 0, data3 = 0; // medium frames only
    // Two-wire line: some of its bytes came while a reply was on the line.
    // The frame is lost (checksumOk is false) and bytes holds it as sent.
    bool collided = false;
};

struct SentReply {
    uint8_t group = 0; // the answering device's own address at the time
    uint16_t id = 0;
    // Everything put on the line, noise included (also when nobody listened).
    std::vector<uint8_t> bytes;
    SimClock::time_point firstByte, lastByte;
    // Two-wire line: a frame came while it was on the line, and every byte
    // from then on was garbled.
    bool collided = false;
};

// Collision: a frame lost on a two-wire line; the event holds it as sent.
enum class SimEventKind { FrameReceived, Garbage, ReplySent, PortVanished, Collision };
struct SimEvent {
    SimEventKind kind = SimEventKind::FrameReceived;
    SimClock::time_point time;
    std::vector<uint8_t> bytes;
};

class BusSimulator {
public:
    struct Options {
        uint32_t baud = 4800;
        std::chrono::milliseconds turnaround{20};
        // Long enough that a reader ending chunks after 100 ms of silence
        // sees two chunks.
        std::chrono::milliseconds splitGap{150};
        std::vector<uint8_t> noise{0x00, 0x55, 0xAA};
        // A partial frame left this long without its remaining bytes is dropped.
        std::chrono::milliseconds frameTimeout{100};
        // The turnaround counts from the moment a query's last byte would
        // have arrived on a real line (its bytes at the baud rate), not from
        // its arrival on the pseudo-terminal, which takes it at once.
        bool queryLineTime = true;
        // Extra delay of a late device's reply: longer than the control
        // centre's 190 ms time-out, so the answer comes while it asks another.
        std::chrono::milliseconds lateBy{200};
        // One pair of wires for both directions (half duplex): bytes from
        // the control centre while a device's reply is on the line, from its
        // first byte's start to its last byte's end, collide with it. The
        // frame they belong to is lost and the rest of the reply is garbled.
        bool twoWire = false;
        // The adapter hears itself: every byte from the control centre comes
        // back to it at once (garbled as well when it collides).
        bool echo = false;
    };

    BusSimulator();
    explicit BusSimulator(Options options);
    ~BusSimulator();
    BusSimulator(const BusSimulator&) = delete;
    BusSimulator& operator=(const BusSimulator&) = delete;

    // Opens the pseudo-terminal and starts the threads; throws std::runtime_error.
    void start();
    // Stops the threads and closes the pseudo-terminal. Safe to call twice.
    void stop();
    bool running() const { return m_running; }
    std::string slavePath() const;

    // The port disappears: the master side is closed, readers of the slave
    // see a hang-up. Returns once the port is gone.
    void vanish();
    bool vanished() const { return m_vanished; }

    void addDevice(uint8_t group, uint16_t id, uint8_t replyCode = 0xFF, std::string name = {});
    void addDevice(const SimDeviceConfig& config);
    // Removes every device at (group, id); returns how many.
    int removeDevice(uint8_t group, uint16_t id);
    void clearDevices();
    std::vector<SimDevice> devices() const;
    // The first device at (group, id), if any.
    std::optional<SimDevice> device(uint8_t group, uint16_t id) const;
    bool hasDevice(uint8_t group, uint16_t id) const { return device(group, id).has_value(); }

    // Each of these applies to every device now at (group, id) and returns
    // how many were changed. Faults stay with a device when it is re-addressed.
    int setFaults(uint8_t group, uint16_t id, const DeviceFaults& faults);
    int setOffline(uint8_t group, uint16_t id, bool on = true);
    int setBadChecksum(uint8_t group, uint16_t id, bool on = true);
    int setSplit(uint8_t group, uint16_t id, bool on = true);
    int setNoise(uint8_t group, uint16_t id, bool on = true);
    int setWrongGroup(uint8_t group, uint16_t id, bool on = true);
    int setLate(uint8_t group, uint16_t id, bool on = true);
    int setReplyCode(uint8_t group, uint16_t id, uint8_t code);
    int setMotion(uint8_t group, uint16_t id, Motion motion);

    void setBaud(uint32_t baud);
    void setTurnaround(std::chrono::milliseconds t);
    void setSplitGap(std::chrono::milliseconds gap);
    void setLateBy(std::chrono::milliseconds delay);
    void setNoiseBytes(std::vector<uint8_t> noise);
    void setTwoWire(bool on);
    void setEcho(bool on);
    Options options() const;

    // Every frame received since start (or the last clearLog), bad ones included.
    std::vector<ReceivedFrame> frames() const;
    size_t frameCount() const;
    bool waitForFrames(size_t count, std::chrono::milliseconds timeout) const;
    std::vector<SentReply> replies() const;
    size_t replyCount() const;
    bool waitForReplies(size_t count, std::chrono::milliseconds timeout) const;
    // Bytes thrown away because they belonged to no frame.
    size_t garbageBytes() const;
    // Frames lost to collisions on a two-wire line.
    size_t collisions() const;
    // True once no reply is waiting or being written.
    bool waitIdle(std::chrono::milliseconds timeout) const;
    void clearLog();

    // Called on the simulator's threads, without its lock held, for every
    // frame, run of garbage, reply, collision and vanishing.
    void setEventHook(std::function<void(const SimEvent&)> hook);

private:
    struct Device {
        SimDevice state;
    };
    struct PendingReply {
        SimClock::time_point due;
        uint8_t group = 0;
        uint16_t id = 0;
        std::vector<std::vector<uint8_t>> chunks;
    };
    // The reply the transmitter has on the line, from the moment it takes it
    // until its last byte is out (a split reply's gap included: the device
    // keeps driving the line).
    struct LineReply {
        bool busy = false;
        std::vector<uint8_t> bytes; // all chunks in a row; a collision garbles the unsent ones
        size_t sent = 0;            // bytes whose time on the line is over
        bool garbled = false;
    };

    void receiverLoop();
    void transmitterLoop();
    void feed(const uint8_t* bytes, size_t n, SimClock::time_point now);
    // True when a reply is on the line, which is then garbled from its next byte on.
    bool collideLocked();
    void echoBack(const uint8_t* bytes, size_t n, bool garbled);
    void dropGarbage(size_t n, SimClock::time_point now);
    // heard: when the frame's last byte would have arrived on a real line.
    void handleFrame(std::vector<uint8_t> frame, SimClock::time_point now, SimClock::time_point heard,
                     bool collided);
    void applyLocked(const ReceivedFrame& f, SimClock::time_point now);
    void queueReplyLocked(const Device& d, SimClock::time_point now);
    void transmit(PendingReply& reply, SentReply& sent);
    void handleOpenCloseEvents();
    void closePort();
    void wake();
    void publish(const SimEvent& e);
    template <class F> int forEachAt(uint8_t group, uint16_t id, F f);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed; // frames, replies, vanishing, idle
    std::condition_variable m_txWake;
    Options m_options;
    std::vector<Device> m_devices;
    std::vector<ReceivedFrame> m_frames;
    std::vector<SentReply> m_replies;
    size_t m_garbage = 0;
    size_t m_collisions = 0;
    std::deque<PendingReply> m_queue; // ordered by due time
    bool m_transmitting = false;
    LineReply m_line;
    std::function<void(const SimEvent&)> m_hook;
    std::string m_slavePath;

    // The master is written by the transmitter and closed by the receiver.
    std::mutex m_fdMutex;
    int m_master = -1;
    int m_keepSlave = -1; // held so the master never sees a hang-up
    int m_inotify = -1;
    int m_wakeFd = -1;
    // Opens of the slave by others, counted from inotify events; while it is
    // zero nobody listens and replies are lost on the line.
    std::atomic<int> m_slaveOpens{0};
    std::atomic<bool> m_countingOpens{false};

    // Receiver-thread state
    std::vector<uint8_t> m_rx;
    std::vector<bool> m_rxCollided; // one flag per byte of m_rx
    SimClock::time_point m_rxLast;

    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_vanishRequested{false};
    std::atomic<bool> m_vanished{false};
    std::thread m_receiver;
    std::thread m_transmitter;
};

#pragma once
// Every motion frame (Up, Down, Stop, Forward, Backward) goes through here, and so does the rule
// that makes a stop stick: a stop asked for a device is owed until a stop frame that covers it
// (to the device, to its group, or the broadcast stop) has left the port.
//
// - An owed stop is never replaced, cancelled or put behind a later press: stops are handed to
//   the port as soon as they are asked for, ahead of whatever else of a press still waits, and a
//   stop the port could not take or gave back (a purge, a lost port) waits for the port's return.
// - The frames of any other command go one at a time (the line's write-empty events pace them);
//   a later press replaces the unsent rest of the last one, never its stops.
// - What was set moving and has had no stop since is kept, so that the end of the window, a lost
//   port's return or a port change can stop it.
//
// The class knows no port: it hands frames over through a function and hears back which frame
// left the line and which was taken back.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "protocol/targets.h"

struct MotionFrame {
    uint8_t group = 0; // BroadcastGroup: every device
    uint16_t id = 0;   // 0: the whole group
    uint8_t command = 0;
    bool operator==(const MotionFrame&) const = default;
};

class MotionSender {
public:
    // Hands one frame to the port; false when the port refused it (closed).
    using HandOver = std::function<bool(const MotionFrame& frame)>;

    // Above this many frames, a stop to "everything that moved" is the one broadcast stop.
    static constexpr size_t MaxStopFrames = 16;

    explicit MotionSender(HandOver handOver);

    // A press for the targets. A Stop is owed at once and handed over whole; any other command
    // replaces the unsent rest of the last press and hands over its first group frame and its
    // first device frame now unless `hold` (an answer is due on the line), the rest one a call to
    // sendNext(). False when the port refused what was to go now (a stop stays owed then).
    bool press(uint8_t command, const Targets& targets, bool hold = false);
    // Stop all: the unsent rest of every press goes, and the broadcast stop is owed and handed
    // over now. False when the port refused it (it stays owed).
    bool stopEverything();
    // The next frame of a press, handed over; false when none waits (or the port refused it:
    // the press then ends).
    bool sendNext();
    // Owed stops waiting for the port, handed over now, in the order asked. False when none went.
    bool sendOwed();

    // Reports of the port, in the order the frames were handed over.
    void frameLeft(const MotionFrame& frame);
    void frameTakenBack(const MotionFrame& frame);
    // The unsent rest of the last press goes (the port is gone: a press does not resume by
    // itself minutes later); owed stops stay owed.
    void dropMoves();
    // Called after the first group frame of a press other than Stop, before what follows it.
    std::function<void()> afterGroupFrame;

    // What a stop must reach now, compressed to few frames: owed stops, and with `moving` what was
    // set moving and not stopped since, and `extra`. Handed over at once; true when any went.
    bool stopAll(bool moving, const Targets& extra = {});
    // The old bus is given up (another port): what was owed or moving there is returned, for a
    // message, and forgotten.
    Targets forget();

    bool movesWaiting() const { return !m_moves.empty(); }
    bool stopsWaiting() const { return !m_waitingStops.empty(); }
    // Whether this very stop waits to be handed over (again).
    bool stopWaiting(const MotionFrame& stop) const;
    bool owes() const { return !m_owed.empty(); }
    // Stops asked for that have not left the port yet, and devices set moving since their last stop.
    Targets owed() const { return toTargets(m_owed); }
    Targets moving() const { return toTargets(m_moving); }
    // The press still being sent (its targets), empty once its last frame is handed over.
    const Targets& pressInFlight() const { return m_pressTargets; }
    uint8_t pressCommand() const { return m_pressCommand; }

    // Whether a stop to `stop` reaches `target` (both as frames address them).
    static bool covers(const MotionFrame& stop, const MotionFrame& target);
    // As few stop frames as reach every address given: the broadcast stop when one of them is
    // every device or there are more than MaxStopFrames, a device frame only when its group's frame
    // is not among them.
    static std::vector<MotionFrame> stopFramesFor(const Targets& targets);

private:
    static Targets toTargets(const std::vector<MotionFrame>& addresses);
    static void add(std::vector<MotionFrame>& set, const MotionFrame& address);
    bool handStops(const std::vector<MotionFrame>& stops);
    bool handOver(const MotionFrame& frame);

    HandOver m_handOver;
    std::deque<MotionFrame> m_waitingStops; // owed, not handed over (yet, or again)
    std::deque<MotionFrame> m_moves;        // the unsent rest of the last press
    std::vector<MotionFrame> m_owed;        // stop addresses asked for, until a covering stop left
    std::vector<MotionFrame> m_moving;      // addresses set moving, until a covering stop left
    Targets m_pressTargets;
    uint8_t m_pressCommand = 0;
};

#pragma once
// Frames lost on a two-wire line: the engine on the simulated bus with one pair of wires for
// both directions, and motion presses or re-address frames made at random moments while a
// status poll or a search has answers on the line. A frame written while a device's reply is on
// the line is lost, and the rest of the reply is garbled (BusSimulator::Options::twoWire).
//
// Only what the engine, the rig and the simulator have had all along is used here, so the same
// scenario builds and runs on an older checkout of the engine as well (tarvello-bench
// --collisions-only), and its figures can be set beside today's.

#include "bench/engine_rig.h"

#include <QElapsedTimer>
#include <QObject>

#include <algorithm>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace tarvello {

enum class BusAction {
    Press,     // Up and Down by turns, to one device
    Readdress, // one device moved between two groups by turns
};

struct CollisionRun {
    bool ok = true;
    int actions = 0;            // presses or re-address frames made
    int actionFramesHeard = 0;  // of their frames, those that reached the devices whole
    // Presses whose frame never went out: the next press came while it waited for an answer
    // due, and a new press replaces what the last one still had queued.
    int pressesReplaced = 0;
    size_t framesLost = 0;      // every frame lost to a collision (sim.collisions())
    size_t replies = 0;         // replies the devices put on the line
    size_t repliesGarbled = 0;  // of them, those a frame garbled
    int markedSilent = 0;       // devices on the bus that the poll marked off line
};

struct CollisionPlan {
    int actions = 200;
    uint32_t seed = 20261207;
    bool echo = false; // the adapter hears its own frames
    // The poll: one action in each slot, at a random moment within it.
    int pollDevices = 8;
    int pressSlotMs = 150;
    // A re-address is followed by the query to its new address: each one falls at a random
    // moment within this long after that query's answer or time-out.
    int readdressSlotMs = 200;
    // The search: each action in a search of its own (a press ends the search), at a random
    // moment within this much of its start.
    int searchIds = 12;
    int searchWindowMs = 320;
    int searchSettleMs = 120;
};

namespace collisions {

inline BusSimulator::Options twoWireBus(bool echo)
{
    BusSimulator::Options options;
    options.twoWire = true;
    options.echo = echo;
    return options;
}

// The group the device with this ID has on the bus now (-1: none).
inline int groupOnBus(const BusSimulator& sim, int id)
{
    for (const SimDevice& d : sim.devices())
        if (d.id == id)
            return d.group;
    return -1;
}

inline void waitUntilMs(const QElapsedTimer& clock, qint64 at)
{
    EngineRig::runUntil([&] { return clock.elapsed() >= at; }, int(std::max<qint64>(0, at - clock.elapsed())) + 50);
}

// Up and Down by turns to the device with this ID, at its group on the bus; the moment is noted.
inline void press(EngineRig& rig, int id, int k, std::vector<SimClock::time_point>& pressedAt)
{
    pressedAt.push_back(SimClock::now());
    Targets targets;
    targets.devices.emplace_back(uint8_t(std::max(0, groupOnBus(rig.sim, id))), uint16_t(id));
    rig.engine.move(k % 2 == 0 ? CmdUp : CmdDown, targets);
}

// The device with this ID moves from the group it has on the bus to the other one of the two,
// and the register follows, as the editor records a move.
inline void readdress(EngineRig& rig, int id, int groupA, int groupB)
{
    const int from = groupOnBus(rig.sim, id);
    const int to = from == groupA ? groupB : groupA;
    rig.reg.groupById[id] = to;
    rig.engine.sendReaddress(from, id, to, id);
}

inline void count(const EngineRig& rig, BusAction action, CollisionRun& r,
    const std::vector<SimClock::time_point>& pressedAt = {})
{
    r.framesLost = rig.sim.collisions();
    // Press k went out when a frame of its command came between it and press k + 2, the next
    // one of the same command (press k + 1 has the other).
    const std::vector<ReceivedFrame> frames = rig.sim.frames();
    for (size_t k = 0; k < pressedAt.size(); ++k) {
        const uint8_t command = k % 2 == 0 ? CmdUp : CmdDown;
        const auto from = pressedAt[k];
        const auto to = k + 2 < pressedAt.size() ? pressedAt[k + 2] : SimClock::time_point::max();
        const bool out = std::any_of(frames.begin(), frames.end(), [&](const ReceivedFrame& f) {
            return f.command == command && f.time >= from && f.time < to;
        });
        r.pressesReplaced += out ? 0 : 1;
    }
    for (const ReceivedFrame& f : frames) {
        const bool ours = action == BusAction::Press ? (f.command == CmdUp || f.command == CmdDown)
                                                     : f.command == CmdReaddress;
        if (ours && f.checksumOk && !f.collided)
            ++r.actionFramesHeard;
    }
    for (const SentReply& reply : rig.sim.replies()) {
        ++r.replies;
        if (reply.collided)
            ++r.repliesGarbled;
    }
}

} // namespace collisions

// A status poll of plan.pollDevices answering devices goes round and round. Device 1 is pressed
// at a random moment in each slot of plan.pressSlotMs, or moved between groups 1 and 9 at a
// random moment within plan.readdressSlotMs of the end of the check of its last move.
inline CollisionRun collisionsDuringPoll(bool fast, BusAction action, const CollisionPlan& plan)
{
    CollisionRun r;
    EngineRig rig(collisions::twoWireBus(plan.echo));
    std::vector<std::pair<int, int>> listed;
    for (int id = 1; id <= plan.pollDevices; ++id) {
        listed.emplace_back(id, id);
        rig.sim.addDevice(uint8_t(id), uint16_t(id));
    }
    rig.open();
    if (fast)
        rig.fastBus();
    rig.listDevices(listed);
    QObject::connect(&rig.engine, &ControlEngine::deviceSilent, &rig.view, [&r](int, int) { ++r.markedSilent; });

    // A round that has ended starts again, as the window's next refresh would.
    QTimer again;
    again.setInterval(1);
    QObject::connect(&again, &QTimer::timeout, &rig.view, [&rig] {
        ControlEngine& e = rig.engine;
        if (!e.pollTimer.isActive() && !e.pollPaused() && !e.verifying() && !e.searchRunning())
            e.startPoll();
    });
    rig.engine.prepareRebuild();
    rig.engine.startPoll();
    again.start();

    std::vector<SimClock::time_point> pressedAt;
    std::mt19937 rng(plan.seed);
    const int slot = action == BusAction::Press ? plan.pressSlotMs : plan.readdressSlotMs;
    std::uniform_int_distribution<int> within(0, slot - 1);
    QElapsedTimer clock;
    clock.start();
    for (int k = 0; k < plan.actions; ++k) {
        if (action == BusAction::Press) {
            collisions::waitUntilMs(clock, qint64(k) * slot + within(rng));
            collisions::press(rig, 1, k, pressedAt);
        } else {
            collisions::waitUntilMs(clock, clock.elapsed() + within(rng));
            collisions::readdress(rig, 1, 1, 9);
            // The next move waits for this one's check: moved back before it, the device
            // would not answer at its new address.
            bool asked = false;
            const bool checked = EngineRig::runUntil([&] {
                asked = asked || rig.engine.verifying();
                return asked && !rig.engine.verifying();
            }, 3000);
            r.ok = r.ok && checked;
        }
        ++r.actions;
    }
    if (action == BusAction::Press)
        collisions::waitUntilMs(clock, qint64(plan.actions) * slot);
    again.stop();
    // What was held or queued goes out, the last answers come.
    EngineRig::settle(600);
    r.ok = rig.sim.waitIdle(std::chrono::milliseconds(1000));
    collisions::count(rig, action, r, pressedAt);
    return r;
}

// A search of IDs 1..plan.searchIds, all present, is started once for each press; the press
// falls at a random moment within plan.searchWindowMs of the start and ends the search, as the
// buttons do. Device 1 is pressed.
inline CollisionRun collisionsDuringSearch(bool fast, const CollisionPlan& plan)
{
    CollisionRun r;
    EngineRig rig(collisions::twoWireBus(plan.echo));
    for (int id = 1; id <= plan.searchIds; ++id)
        rig.sim.addDevice(uint8_t(id % 16), uint16_t(id));
    rig.open();
    if (fast)
        rig.fastBus();
    rig.view.edit1 = QStringLiteral("1");
    rig.view.edit2 = QString::number(plan.searchIds);

    std::vector<SimClock::time_point> pressedAt;
    std::mt19937 rng(plan.seed);
    std::uniform_int_distribution<int> within(0, plan.searchWindowMs - 1);
    QElapsedTimer clock;
    clock.start();
    for (int k = 0; k < plan.actions; ++k) {
        rig.view.search();
        const qint64 started = clock.elapsed();
        collisions::waitUntilMs(clock, started + within(rng));
        if (!rig.engine.searchRunning())
            r.ok = false; // the search ended before its press: the window is too long
        collisions::press(rig, 1, k, pressedAt);
        ++r.actions;
        // The press is out and the last probe's answer has come and been handed over (the
        // default reader holds it for 100 ms of silence): the next search starts afresh.
        EngineRig::settle(plan.searchSettleMs);
        if (rig.engine.searchRunning())
            rig.view.search(); // the search button ends a running search
        const bool quiet = EngineRig::runUntil([&rig] {
            size_t delivered = 0;
            for (const auto& chunk : rig.view.rxLog)
                delivered += chunk.size();
            return delivered == rig.comm.receivedBytes();
        }, 1000);
        r.ok = r.ok && quiet;
    }
    EngineRig::settle(400);
    r.ok = rig.sim.waitIdle(std::chrono::milliseconds(1000)) && r.ok;
    collisions::count(rig, BusAction::Press, r, pressedAt);
    return r;
}

} // namespace tarvello

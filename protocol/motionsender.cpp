#include "protocol/motionsender.h"

#include <algorithm>
#include <utility>

#include "protocol/frames.h"

namespace {

MotionFrame everyDevice(uint8_t command)
{
    return MotionFrame { BroadcastGroup, 0, command };
}

std::vector<MotionFrame> framesOf(uint8_t command, const Targets& targets)
{
    std::vector<MotionFrame> frames;
    for (uint8_t g : targets.groups)
        frames.push_back({ g, 0, command });
    for (const auto& [g, id] : targets.devices)
        frames.push_back({ g, id, command });
    return frames;
}

} // namespace

MotionSender::MotionSender(HandOver handOver)
    : m_handOver(std::move(handOver))
{
}

bool MotionSender::covers(const MotionFrame& stop, const MotionFrame& target)
{
    if (stop.group == BroadcastGroup)
        return true;
    if (target.group == BroadcastGroup || stop.group != target.group)
        return false;
    return stop.id == 0 || stop.id == target.id;
}

void MotionSender::add(std::vector<MotionFrame>& set, const MotionFrame& address)
{
    const MotionFrame a { address.group, address.id, 0 };
    if (std::none_of(set.begin(), set.end(), [&a](const MotionFrame& s) { return s == a; }))
        set.push_back(a);
}

Targets MotionSender::toTargets(const std::vector<MotionFrame>& addresses)
{
    Targets t;
    for (const MotionFrame& a : addresses) {
        if (a.id == 0)
            t.groups.push_back(a.group);
        else
            t.devices.emplace_back(a.group, a.id);
    }
    return t;
}

std::vector<MotionFrame> MotionSender::stopFramesFor(const Targets& targets)
{
    std::vector<MotionFrame> frames;
    const bool everyone = std::find(targets.groups.begin(), targets.groups.end(), BroadcastGroup) != targets.groups.end();
    for (uint8_t g : targets.groups)
        if (std::none_of(frames.begin(), frames.end(), [g](const MotionFrame& f) { return f.group == g; }))
            frames.push_back({ g, 0, CmdStop });
    for (const auto& [g, id] : targets.devices) {
        const MotionFrame f { g, id, CmdStop };
        if (std::none_of(frames.begin(), frames.end(), [&f](const MotionFrame& s) { return covers(s, f); }))
            frames.push_back(f);
    }
    if (everyone || frames.size() > MaxStopFrames)
        return { everyDevice(CmdStop) };
    return frames;
}

bool MotionSender::handOver(const MotionFrame& frame)
{
    if (!m_handOver || !m_handOver(frame))
        return false;
    if (frame.command != CmdStop)
        add(m_moving, frame);
    return true;
}

bool MotionSender::handStops(const std::vector<MotionFrame>& stops)
{
    for (const MotionFrame& s : stops) {
        add(m_owed, s);
        if (std::any_of(m_waitingStops.begin(), m_waitingStops.end(), [&s](const MotionFrame& w) { return covers(w, s); }))
            continue; // a stop waiting already reaches it, and keeps its place
        // A stop already waiting that this one covers goes as this one.
        std::erase_if(m_waitingStops, [&s](const MotionFrame& w) { return covers(s, w); });
        m_waitingStops.push_back(s);
    }
    return sendOwed();
}

bool MotionSender::stopWaiting(const MotionFrame& stop) const
{
    return std::find(m_waitingStops.begin(), m_waitingStops.end(), stop) != m_waitingStops.end();
}

bool MotionSender::sendOwed()
{
    bool sent = false;
    while (!m_waitingStops.empty()) {
        if (!handOver(m_waitingStops.front()))
            break;
        m_waitingStops.pop_front();
        sent = true;
    }
    return sent;
}

bool MotionSender::press(uint8_t command, const Targets& targets, bool hold)
{
    if (command == CmdStop) {
        // The unsent rest of a press the stop reaches would move again what it stops.
        if (!m_moves.empty()) {
            const std::vector<MotionFrame> stops = framesOf(CmdStop, targets);
            std::erase_if(m_moves, [&stops](const MotionFrame& m) {
                return std::any_of(stops.begin(), stops.end(), [&m](const MotionFrame& s) { return covers(s, m); });
            });
            if (m_moves.empty())
                m_pressTargets = {};
        }
        handStops(framesOf(CmdStop, targets));
        return m_waitingStops.empty();
    }
    const std::vector<MotionFrame> frames = framesOf(command, targets);
    m_moves.assign(frames.begin(), frames.end());
    m_pressTargets = targets;
    m_pressCommand = command;
    // Owed stops go first, whatever this press is.
    sendOwed();
    if (hold || m_moves.empty())
        return true;
    // The first group frame and the first device frame go at once, the rest one per call.
    bool refused = false;
    auto firstOf = [this](bool group) {
        return std::find_if(m_moves.begin(), m_moves.end(), [group](const MotionFrame& f) { return (f.id == 0) == group; });
    };
    for (const bool group : { true, false }) {
        const auto it = firstOf(group);
        if (it == m_moves.end())
            continue;
        const MotionFrame f = *it;
        m_moves.erase(it);
        if (!handOver(f)) {
            refused = true;
            break;
        }
        // Give the devices a moment between the group frame and whatever follows it on the line.
        if (group && afterGroupFrame)
            afterGroupFrame();
    }
    if (refused) {
        // Nothing of this press goes later, when a port opened again reports its first frame written.
        m_moves.clear();
        m_pressTargets = {};
        return false;
    }
    if (m_moves.empty())
        m_pressTargets = {};
    return true;
}

bool MotionSender::sendNext()
{
    if (sendOwed())
        return true;
    if (m_moves.empty())
        return false;
    const MotionFrame f = m_moves.front();
    m_moves.pop_front();
    const bool sent = handOver(f);
    if (!sent)
        m_moves.clear();
    if (m_moves.empty())
        m_pressTargets = {};
    return sent;
}

bool MotionSender::stopEverything()
{
    m_moves.clear();
    m_pressTargets = {};
    return handStops({ everyDevice(CmdStop) }) && m_waitingStops.empty();
}

void MotionSender::frameLeft(const MotionFrame& frame)
{
    if (frame.command != CmdStop)
        return;
    std::erase_if(m_owed, [&frame](const MotionFrame& o) { return covers(frame, o); });
    std::erase_if(m_moving, [&frame](const MotionFrame& m) { return covers(frame, m); });
}

void MotionSender::frameTakenBack(const MotionFrame& frame)
{
    if (frame.command != CmdStop)
        return;
    // Still owed: it goes again, ahead of what waits, unless a stop waiting already reaches it.
    if (std::none_of(m_waitingStops.begin(), m_waitingStops.end(), [&frame](const MotionFrame& w) { return covers(w, frame); }))
        m_waitingStops.push_front(frame);
}

void MotionSender::dropMoves()
{
    m_moves.clear();
    m_pressTargets = {};
}

bool MotionSender::stopAll(bool moving, const Targets& extra)
{
    Targets reach = toTargets(m_owed);
    if (moving)
        reach.merge(toTargets(m_moving));
    reach.merge(extra);
    if (reach.empty())
        return false;
    m_moves.clear();
    m_pressTargets = {};
    // Stops already waiting go as part of these.
    return handStops(stopFramesFor(reach));
}

Targets MotionSender::forget()
{
    std::vector<MotionFrame> left = m_owed;
    for (const MotionFrame& m : m_moving)
        add(left, m);
    m_owed.clear();
    m_moving.clear();
    m_waitingStops.clear();
    m_moves.clear();
    m_pressTargets = {};
    return toTargets(left);
}

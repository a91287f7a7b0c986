// The control engine's received-chunk handler, fed through receive with the in-memory
// window and register. The input's first bytes list the devices and start a poll, a search, a
// re-address check or a move, in the default or the fast bus timing; the rest is a sequence of
// events: raw chunks, answers of listed devices (whole, split, corrupted), answers to the last
// query on the wire, time-outs, write-empty events and clicks. The engine must never touch a row
// the list does not have nor misuse the progress bar, and must keep its poll and search cursors
// within their bounds.

#include "bench/engine_recorder.h"
#include "fuzz/input.h"
#include "protocol/engine.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void need(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "engine: %s\n", what);
        std::abort();
    }
}

Bytes statusReply(uint8_t group, uint16_t id, uint8_t code)
{
    CmdRecord r;
    r.group = group;
    r.id = id;
    r.command = code;
    Bytes b(ShortFrameLength);
    EncodeShortFrame(r, b.data());
    return b;
}

struct Rig {
    tarvello::EngineRecorder view;
    tarvello::MemoryRegister reg;
    std::vector<Bytes> wire;
    TxChannel tx { [this](const uint8_t* b, uint16_t n) {
        if (!view.portIsOpen)
            return false;
        wire.emplace_back(b, b + n);
        return true;
    } };
    ControlEngine engine { reg, tx };
    size_t mostRows = 0;

    Rig() { view.attach(engine, reg); }

    void receive(const Bytes& b) { engine.receive(b.data(), static_cast<uint16_t>(b.size())); }
    // A listed device's answer, or one the register does not know.
    uint16_t deviceId(uint8_t pick) const
    {
        if (view.rows.empty() || pick >= 0xF0)
            return static_cast<uint16_t>(pick % 8 + 1000 - 8); // beyond any ID
        return static_cast<uint16_t>(view.rows[pick % view.rows.size()].id);
    }
    uint8_t groupOf(uint16_t id) const
    {
        const auto it = reg.groupById.find(id);
        return static_cast<uint8_t>(it == reg.groupById.end() ? 0 : it->second);
    }
};

void checkBounds(Rig& rig)
{
    rig.mostRows = std::max(rig.mostRows, rig.view.rows.size());
    const ControlEngine& e = rig.engine;
    need(rig.view.misuses == 0, "a row the list does not have, or the progress bar misused");
    // A row taken from the list leaves the poll's cursor where it was; it never goes past the most
    // rows the list has had.
    need(e.PollIndex >= 0 && e.PollIndex <= static_cast<int>(rig.mostRows), "poll row out of the list");
    need(e.motion().pressInFlight().groups.size() <= Targets::MaxGroups + 1, "group queue overrun");
    need(e.motion().pressInFlight().devices.size() <= Targets::MaxDevices, "device queue overrun");
    need(!e.searchRunning() || (e.SearchCursor >= 0 && e.SearchCursor <= HighestDeviceId + 1), "search cursor out of range");
}

void setUp(Rig& rig, FuzzInput& in)
{
    const uint8_t setup = in.byte();
    const int rows = in.byte() % 12;
    for (int i = 0; i < rows; ++i) {
        const int id = 1 + in.word() % HighestDeviceId;
        const int group = in.byte() % 16;
        rig.view.rows.push_back(tarvello::MemoryRow { id, (group & 1) != 0, std::nullopt, -1, std::nullopt });
        rig.reg.groupById[id] = group;
        rig.view.checked[1 + static_cast<size_t>(group)] = (id & 2) != 0;
    }
    if (setup & 0x08)
        rig.engine.setFastBus(true, 1 + in.byte() % 60, (setup & 0x10) ? 9600 : 4800);
    switch ((setup & 0x07) % 5) {
    case 0: // a poll
        rig.engine.prepareRebuild();
        rig.engine.startPoll();
        break;
    case 1: { // a search over a small range
        const int from = 1 + in.word() % HighestDeviceId;
        const int to = from + in.byte() % 40;
        rig.view.edit1 = QString::number(from);
        rig.view.edit2 = QString::number(to);
        rig.view.search();
        break;
    }
    case 2: { // a re-address, then the check that the device answers at its new address
        // (arguments read one by one: the order of a call's arguments is the compiler's choice)
        const int group = in.byte() % 16, id = 1 + in.word() % HighestDeviceId;
        const int newGroup = in.byte() % 16, newId = 1 + in.word() % HighestDeviceId;
        rig.engine.startPoll();
        rig.engine.sendReaddress(group, id, newGroup, newId);
        break;
    }
    case 3: { // a move of several devices between groups
        const int from = in.byte() % 16, to = in.byte() % 16;
        std::vector<int> ids;
        for (int i = 0; i < 3; ++i)
            ids.push_back(1 + i * 300 + in.byte());
        rig.engine.sendReaddressBatch(from, to, ids);
        rig.engine.startPoll();
        break;
    }
    default: // a poll interrupted by a motion press
        rig.engine.startPoll();
        rig.view.up();
        break;
    }
}

void click(Rig& rig, uint8_t which)
{
    ControlEngine& e = rig.engine;
    switch (which % 12) {
    case 0: e.refreshClicked(); break;
    case 1: rig.view.search(); break;
    case 2: e.stopSearch(); break;
    case 3: rig.view.stop(); break;
    case 4: rig.view.down(); break;
    case 5: rig.view.forward(); break;
    case 6: e.endSearchForGroupClick(); break;
    case 7: e.stopPoll(); break;
    case 8: rig.view.portIsOpen = false; e.portClosed(); break;
    case 9: rig.view.portIsOpen = true; e.prepareRebuild(); e.startPoll(); break;
    case 10: rig.view.selfCheck(); break;
    default: // a row gone from the list while the engine works on it
        if (!rig.view.rows.empty())
            rig.view.rows.pop_back();
        break;
    }
}

void fire(Rig& rig, uint8_t which)
{
    ControlEngine& e = rig.engine;
    switch (which % 6) {
    case 0: if (e.pollTimer.isActive()) e.onPollTimeout(); break;
    case 1: if (e.probeTimer.isActive()) e.onProbeTimeout(); break;
    case 2: if (e.verifyTimer.isActive()) e.onVerifyTimeout(); break;
    case 3: if (e.overdueTimer.isActive()) e.onOverdueTimeout(); break;
    case 4: e.onSelfCheckPeriod(); break;
    default: // a time-out that fires late, after its timer was stopped
        e.onPollTimeout();
        break;
    }
}

// The answer a device on the bus would give to the last frame on the wire, if any.
bool answerLast(Rig& rig, Bytes* out, uint8_t code)
{
    if (rig.wire.empty())
        return false;
    const Bytes& q = rig.wire.back();
    if (q.size() != static_cast<size_t>(ShortFrameLength) || q[6] != CmdAskState)
        return false;
    const uint16_t id = static_cast<uint16_t>(q[4] << 8 | q[5]);
    const uint8_t group = q[3] == 0xFF ? rig.groupOf(id) : static_cast<uint8_t>(q[3] & 0x0F);
    *out = statusReply(group, id, code);
    return true;
}

void event(Rig& rig, FuzzInput& in)
{
    const uint8_t op = in.byte();
    const uint8_t arg = static_cast<uint8_t>(op >> 3);
    switch (op & 0x07) {
    case 0:
    case 1: { // raw bytes as the reader hands them over
        size_t n = 0;
        const uint8_t* b = in.take(1 + arg + (op & 1) * 32, &n);
        rig.engine.receive(b, static_cast<uint16_t>(n));
        break;
    }
    case 2:
    case 3: { // the answer to the last query, whole or in two chunks, or with noise before it
        Bytes r;
        if (!answerLast(rig, &r, static_cast<uint8_t>(StateReplyBase + arg % 3)))
            break;
        const size_t cut = in.byte() % (r.size() + 2);
        if (cut == r.size() + 1) {
            r.insert(r.begin(), { 0x00, 0x55, 0xAA });
            rig.receive(r);
        } else if (cut == 0 || cut == r.size()) {
            rig.receive(r);
        } else {
            rig.receive(Bytes(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(cut)));
            rig.receive(Bytes(r.begin() + static_cast<std::ptrdiff_t>(cut), r.end()));
        }
        break;
    }
    case 4: { // an answer of some device, possibly in the wrong group or with a bad checksum
        const uint16_t id = rig.deviceId(in.byte());
        const uint8_t group = static_cast<uint8_t>((rig.groupOf(id) + (arg & 1)) % 16);
        Bytes r = statusReply(group, id, static_cast<uint8_t>(StateReplyBase + (arg >> 1) % 3));
        if (arg & 0x10)
            r.back() ^= 1;
        if (arg & 0x08)
            r.insert(r.end(), r.begin(), r.end()); // the same answer twice in one chunk
        rig.receive(r);
        break;
    }
    case 5:
        fire(rig, arg);
        break;
    case 6:
        rig.engine.lineIdle();
        break;
    default:
        click(rig, arg);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char name[] = "engine_fuzz";
    static char* argv[] = { name, nullptr };
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;

    FuzzInput in(data, size);
    Rig rig;
    rig.engine.Pause = [](int) {};
    setUp(rig, in);
    checkBounds(rig);
    for (int events = 0; !in.empty() && events < 400; ++events) {
        event(rig, in);
        checkBounds(rig);
    }
    return 0;
}

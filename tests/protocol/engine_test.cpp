// The control engine against the in-memory window and register and a wire
// recorder. Timers never fire on their own here (no event loop runs); the
// tests call the timer handlers and inspect isActive()/interval().

#include "bench/engine_recorder.h"
#include "protocol/engine.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <tuple>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes shortFrame(uint8_t group, uint16_t id, uint8_t cmd)
{
    CmdRecord r;
    r.group = group;
    r.id = id;
    r.command = cmd;
    Bytes b(ShortFrameLength);
    EncodeShortFrame(r, b.data());
    return b;
}

Bytes reply(uint8_t group, uint16_t id, uint8_t code = 0xFF)
{
    // A status reply is laid out like a short frame with the device's group.
    return shortFrame(group, id, code);
}

// The re-address frame: to (group, id), taking newGroup and newId.
Bytes mediumFrame(uint8_t group, uint16_t id, uint8_t newGroup, uint16_t newId)
{
    CmdRecord r;
    r.group = group;
    r.id = id;
    r.command = CmdReaddress;
    r.data1 = newGroup;
    r.data2 = uint8_t(newId >> 8);
    r.data3 = uint8_t(newId & 0xFF);
    Bytes b(MediumFrameLength);
    EncodeMediumFrame(r, b.data());
    return b;
}

std::string hex(const Bytes& b) { return HexLine(b.data(), b.size()); }

std::vector<std::string> hexAll(const std::vector<Bytes>& frames)
{
    std::vector<std::string> out;
    for (const Bytes& f : frames)
        out.push_back(hex(f));
    return out;
}

using tarvello::MemoryRegister;
using tarvello::MemoryRow;
using tarvello::EngineRecorder;

class EngineTest : public ::testing::Test {
protected:
    EngineRecorder view;
    MemoryRegister reg;
    // Frames that left through the port. A closed port (view.portIsOpen
    // false) refuses them, as Comm1.WriteData does.
    std::vector<Bytes> wire;
    TxChannel tx { [this](const uint8_t* b, uint16_t n) {
        if (!view.portIsOpen)
            return false;
        wire.emplace_back(b, b + n);
        return true;
    } };
    ControlEngine engine { reg, tx };
    std::vector<int> pauses;

    void SetUp() override
    {
        view.attach(engine, reg);
        engine.Pause = [this](int ms) { pauses.push_back(ms); };
    }
    // No test may see the engine touch a row the list does not have, or move
    // a progress bar that does not exist.
    void TearDown() override { EXPECT_EQ(view.misuses, 0); }

    // Lists and registers devices (id, group) in list order.
    void listDevices(std::initializer_list<std::pair<int, int>> devices)
    {
        view.rows.clear();
        for (auto [id, group] : devices) {
            view.rows.push_back(MemoryRow { id, false, std::nullopt, -1, std::nullopt });
            reg.groupById[id] = group;
        }
    }

    void receive(const Bytes& b) { engine.receive(b.data(), uint16_t(b.size())); }

    // Three listed devices; the poll has given row 0 up and now asks row 1.
    void pollAtRowOne()
    {
        listDevices({ { 5, 2 }, { 6, 3 }, { 7, 4 } });
        engine.startPoll();
        engine.onPollTimeout();
        ASSERT_EQ(hex(wire.back()), hex(shortFrame(3, 6, CmdAskState)));
        ASSERT_EQ(view.images(), (std::vector<std::optional<bool>> { false, std::nullopt, std::nullopt }));
    }

    // Write-empty events until the queues have nothing more to send.
    void drain()
    {
        for (int guard = 0; guard < 2100; ++guard) {
            const size_t before = wire.size();
            engine.lineIdle();
            if (wire.size() == before)
                return;
        }
        FAIL() << "continuation never ran dry";
    }
};

// ---------------------------------------------------------------- motion

struct MotionCase {
    const char* name;
    std::vector<std::tuple<int, int, bool>> rows; // id, group, selected
    std::vector<int> checkedEntries;
    int highlighted;
    void (EngineRecorder::*button)();
    uint8_t command;
    // (group, id) of each frame in wire order; the first `immediate` of them
    // go out within the press, the rest by the continuation.
    std::vector<std::pair<uint8_t, uint16_t>> expected;
    size_t immediate;
    bool groupPause;
    bool selectionMessage;
};

class MotionTest : public EngineTest, public ::testing::WithParamInterface<MotionCase> {};

TEST_P(MotionTest, FramesOnTheWireInOrder)
{
    const MotionCase& c = GetParam();
    view.rows.clear();
    for (auto [id, group, selected] : c.rows) {
        view.rows.push_back(MemoryRow { id, selected, std::nullopt, -1, std::nullopt });
        reg.groupById[id] = group;
    }
    for (int e : c.checkedEntries)
        view.checked[e] = true;
    view.highlighted = c.highlighted;

    (view.*c.button)();
    EXPECT_EQ(wire.size(), c.immediate) << "frames sent within the press";
    drain();

    std::vector<Bytes> expected;
    for (auto [group, id] : c.expected)
        expected.push_back(shortFrame(group, id, c.command));
    EXPECT_EQ(hexAll(wire), hexAll(expected));
    EXPECT_EQ(engine.LastCmd, c.command);
    // Every motion frame, immediate or continued, appears in the traffic log.
    EXPECT_EQ(hexAll(view.txLog), hexAll(expected));
    EXPECT_EQ(pauses, c.groupPause ? std::vector<int> { ControlEngine::GroupFramePauseMs } : std::vector<int> {});
    if (c.selectionMessage)
        EXPECT_EQ(view.infos, std::vector<EngineMessage> { EngineMessage::SelectMembersFirst });
    else
        EXPECT_TRUE(view.infos.empty());
}

INSTANTIATE_TEST_SUITE_P(Targets, MotionTest,
    ::testing::Values(
        MotionCase { "AllDevicesBroadcast", { { 1, 0, false }, { 2, 0, false } }, { 0 }, 0,
            &EngineRecorder::up, CmdUp, { { 0xFF, 0 } }, 1, true, false },
        MotionCase { "TwoCheckedGroups", { { 1, 0, false } }, { 3, 6 }, 1, &EngineRecorder::down,
            CmdDown, { { 2, 0 }, { 5, 0 } }, 1, true, false },
        MotionCase { "PartialSelectionOfHighlightedGroup",
            { { 7, 4, true }, { 8, 4, false }, { 9, 4, true } }, { 5 }, 5, &EngineRecorder::forward,
            CmdForward, { { 4, 7 }, { 4, 9 } }, 1, false, false },
        MotionCase { "FullySelectedHighlightedGroup", { { 7, 4, true }, { 9, 4, true } }, { 5 }, 5,
            &EngineRecorder::backward, CmdBackward, { { 4, 0 } }, 1, true, false },
        MotionCase { "BroadcastPlusPartialSelection",
            { { 1, 0, true }, { 2, 3, true }, { 3, 0, false } }, { 0 }, 0, &EngineRecorder::up,
            CmdUp, { { 0xFF, 0 }, { 0, 1 }, { 3, 2 } }, 2, true, false },
        // Stop with nothing chosen stops every device; the other buttons say to choose first.
        MotionCase { "NothingChosen", { { 1, 0, false } }, {}, 0, &EngineRecorder::stop, CmdStop,
            { { 0xFF, 0 } }, 1, false, false },
        MotionCase { "EmptyListNothingChecked", {}, {}, -1, &EngineRecorder::stop, CmdStop, { { 0xFF, 0 } },
            1, false, false },
        MotionCase { "NothingChosenUp", { { 1, 0, false } }, {}, 0, &EngineRecorder::up, CmdUp, {}, 0,
            false, true },
        // The highlighted group's mark cleared by hand while all its rows stay selected: the rows
        // go out one by one instead of the press doing nothing.
        MotionCase { "FullySelectedButUnchecked", { { 7, 4, true }, { 9, 4, true } }, {}, 5,
            &EngineRecorder::up, CmdUp, { { 4, 7 }, { 4, 9 } }, 1, false, false },
        // Its box checked with no row selected: the whole group.
        MotionCase { "CheckedHighlightedGroupNoRowSelected", { { 7, 4, false }, { 9, 4, false } }, { 5 }, 5,
            &EngineRecorder::down, CmdDown, { { 4, 0 } }, 1, true, false }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, QueuedMotionFramesKeepTheirCommandWhenAStatusQueryGoesOutMeanwhile)
{
    listDevices({ { 7, 4 }, { 8, 4 }, { 9, 4 } });
    view.checked[3] = true; // group 2
    view.checked[6] = true; // group 5
    view.highlighted = 5;   // group 4, partly selected
    view.rows[0].selected = view.rows[2].selected = true;

    view.up();
    ASSERT_EQ(wire.size(), 2u); // group 2 and device 7 at once
    engine.askState(1);         // a poll query slips in
    EXPECT_EQ(engine.LastCmd, CmdAskState);
    const size_t afterQuery = wire.size();
    drain();
    engine.onAnswerTimer();     // its answer has not begun in time: the press goes on
    drain();

    std::vector<Bytes> continued(wire.begin() + afterQuery, wire.end());
    EXPECT_EQ(hexAll(continued), hexAll({ shortFrame(5, 0, CmdUp), shortFrame(4, 9, CmdUp) }));
    // The query itself is not in the traffic log; the motion frames are.
    EXPECT_EQ(hexAll(view.txLog),
        hexAll({ shortFrame(2, 0, CmdUp), shortFrame(4, 7, CmdUp), shortFrame(5, 0, CmdUp),
            shortFrame(4, 9, CmdUp) }));
}

TEST_F(EngineTest, NewPressCancelsQueuedFramesOfTheLastOne)
{
    listDevices({ { 1, 0 } });
    view.checked[2] = view.checked[3] = view.checked[4] = true;
    view.up();
    view.stop();
    drain();
    EXPECT_EQ(hexAll(wire),
        hexAll({ shortFrame(1, 0, CmdUp), shortFrame(1, 0, CmdStop), shortFrame(2, 0, CmdStop),
            shortFrame(3, 0, CmdStop) }));
}

TEST_F(EngineTest, MotionPressDuringSearchEndsTheSearchFirst)
{
    view.edit1 = "1";
    view.edit2 = "50";
    view.search();
    ASSERT_TRUE(engine.searchRunning());
    view.checked[0] = true;

    view.stop();

    EXPECT_FALSE(engine.searchRunning());
    EXPECT_FALSE(view.searchCaptionRunning);
    EXPECT_FALSE(engine.probeTimer.isActive());
    EXPECT_EQ(engine.SearchCursor, 0);
    EXPECT_EQ(hex(wire.back()), hex(shortFrame(0xFF, 0, CmdStop)));
    engine.onProbeTimeout(); // a tick already queued must not probe again
    EXPECT_EQ(hex(wire.back()), hex(shortFrame(0xFF, 0, CmdStop)));
}

// ---------------------------------------------------------------- continuation

TEST_F(EngineTest, ContinuationDrainsGroupsThenDevicesThenReaddressBatch)
{
    listDevices({ { 20, 6 }, { 21, 6 } });
    // The first group frame and the first device frame go at once, the rest one per write-empty.
    engine.move(CmdDown, Targets { { 1, 2 }, { { 6, 20 }, { 6, 21 } }, {} });
    ASSERT_EQ(wire.size(), 2u);
    // A move made while the press is still being sent: its first frame goes at once.
    ASSERT_TRUE(engine.sendReaddressBatch(1, 3, { 10, 300, 12 }));

    drain();

    ASSERT_EQ(wire.size(), 8u);
    EXPECT_EQ(hex(wire[0]), hex(shortFrame(1, 0, CmdDown)));
    EXPECT_EQ(hex(wire[1]), hex(shortFrame(6, 20, CmdDown)));
    EXPECT_EQ(hex(wire[2]), hex(mediumFrame(1, 10, 3, 10)));
    EXPECT_EQ(hex(wire[3]), hex(shortFrame(2, 0, CmdDown)));
    EXPECT_EQ(hex(wire[4]), hex(shortFrame(6, 21, CmdDown)));
    EXPECT_EQ(hex(wire[5]), "FF AC E1 E1 01 2C 6D 03 01 2C 01 AB ");
    EXPECT_EQ(hex(wire[6]), hex(mediumFrame(1, 12, 3, 12)));
    // Only with nothing left to send is the first moved device asked.
    EXPECT_EQ(hex(wire[7]), hex(shortFrame(3, 10, CmdAskState)));
    EXPECT_EQ(hexAll(view.txLog), hexAll({ wire.begin(), wire.begin() + 7 }));
}

// ---------------------------------------------------------------- poll

TEST_F(EngineTest, PollOfThreeWhereOnlyTheSecondAnswers)
{
    listDevices({ { 5, 2 }, { 6, 2 }, { 40, 7 } });
    engine.prepareRebuild();
    engine.startPoll();
    EXPECT_EQ(hex(wire.back()), hex(shortFrame(2, 5, CmdAskState)));
    EXPECT_TRUE(engine.pollTimer.isActive());
    EXPECT_EQ(engine.pollTimer.interval(), 500);
    EXPECT_EQ(engine.pollTimer.timerType(), Qt::PreciseTimer);

    engine.onPollTimeout(); // row 0 silent
    EXPECT_EQ(engine.pollTimer.interval(), 190);
    EXPECT_TRUE(engine.pollTimer.isActive());
    EXPECT_EQ(hex(wire.back()), hex(shortFrame(2, 6, CmdAskState)));

    receive(reply(2, 6, 0xFD)); // row 1 answers
    EXPECT_EQ(hex(wire.back()), hex(shortFrame(7, 40, CmdAskState)));
    EXPECT_TRUE(engine.pollTimer.isActive());

    engine.onPollTimeout(); // row 2 silent: the poll is over
    EXPECT_FALSE(engine.pollTimer.isActive());
    EXPECT_EQ(wire.size(), 3u);
    EXPECT_EQ(view.images(), (std::vector<std::optional<bool>> { false, true, false }));
    EXPECT_TRUE(view.txLog.empty()) << "status queries are not logged";
    EXPECT_EQ(view.rxLog.size(), 1u);

    // The last device answers late, after its time-out: there is no row for
    // it any more, and nothing else changes.
    receive(reply(7, 40));
    EXPECT_EQ(engine.PollIndex, 0);
    EXPECT_FALSE(engine.pollTimer.isActive());
    EXPECT_EQ(wire.size(), 3u);
    EXPECT_EQ(view.images(), (std::vector<std::optional<bool>> { false, true, false }));
}

TEST_F(EngineTest, LateAnswerAfterTheListShrankTouchesNoRow)
{
    listDevices({ { 1, 0 }, { 2, 0 }, { 3, 0 } });
    engine.startPoll();
    receive(reply(0, 1));
    receive(reply(0, 2));
    ASSERT_EQ(engine.PollIndex, 2);
    view.rows.resize(1); // the list was rebuilt shorter meanwhile
    const size_t sent = wire.size();

    receive(reply(0, 3));

    EXPECT_EQ(engine.PollIndex, 0);
    EXPECT_FALSE(engine.pollTimer.isActive());
    EXPECT_EQ(wire.size(), sent);
}

TEST_F(EngineTest, ARepeatedAnswerOrAGlitchAfterACompletedPollMarksNothing)
{
    listDevices({ { 1, 0 }, { 2, 0 } });
    engine.startPoll();
    receive(reply(0, 1));
    receive(reply(0, 2));
    ASSERT_FALSE(engine.pollTimer.isActive());
    view.rows[0].online = false; // as a later time-out would have left it
    const size_t sent = wire.size();

    receive(reply(0, 2));   // the last device answers again
    receive(Bytes { 0xFF }); // one stray byte over the stored reply

    EXPECT_EQ(view.rows[0].online, std::optional<bool>(false));
    EXPECT_EQ(wire.size(), sent) << "no new round";
    EXPECT_EQ(view.rxLog.size(), 4u) << "every chunk is still logged";
}

TEST_F(EngineTest, ShortChunksAreLoggedAndJudgedNoFurther)
{
    listDevices({ { 5, 2 } });
    engine.startPoll();
    const Bytes whole = reply(2, 5);
    receive(Bytes(whole.begin(), whole.begin() + 5));
    receive(Bytes(whole.begin() + 5, whole.end()));
    EXPECT_FALSE(view.rows[0].online.has_value());
    EXPECT_TRUE(engine.pollTimer.isActive()) << "the time-out decides";
    EXPECT_EQ(view.rxLog.size(), 2u);
}

TEST_F(EngineTest, PollAcceptsOnlyAValidReplyFromThePolledDevice)
{
    auto wrongByOne = reply(2, 5);
    wrongByOne[8] ^= 1;
    auto noNibbleE = reply(2, 5);
    noNibbleE[3] = 0xD2;
    auto badHeader = reply(2, 5);
    badHeader[1] = 0xAD;
    auto longChunk = reply(2, 5);
    longChunk.resize(100, 0x55);
    struct Case {
        const char* name;
        Bytes bytes;
        bool accepted;
    };
    const std::vector<Case> cases {
        { "code FD", reply(2, 5, 0xFD), true },
        { "code FE", reply(2, 5, 0xFE), true },
        { "code FF", reply(2, 5, 0xFF), true },
        { "long chunk judged by its first frame", longChunk, true },
        { "checksum wrong by one", wrongByOne, false },
        { "same ID, other group", reply(3, 5), false },
        { "other ID", reply(2, 6), false },
        { "code below the reply range", reply(2, 5, 0xFC), false },
        { "address without high nibble E", noNibbleE, false },
        { "broadcast address", shortFrame(0xFF, 5, 0xFF), false },
        { "bad header", badHeader, false },
        { "two-byte noise", { 0xAA, 0xBB }, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        listDevices({ { 5, 2 }, { 6, 3 } });
        view.rxLog.clear();
        engine.startPoll();
        const size_t sent = wire.size();

        receive(c.bytes);

        ASSERT_EQ(view.rxLog.size(), 1u);
        EXPECT_EQ(hex(view.rxLog[0]), hex(c.bytes)) << "every chunk is logged whole";
        EXPECT_TRUE(engine.pollTimer.isActive());
        if (c.accepted) {
            EXPECT_EQ(view.rows[0].online, std::optional<bool>(true));
            EXPECT_EQ(engine.PollIndex, 1);
            ASSERT_EQ(wire.size(), sent + 1);
            EXPECT_EQ(hex(wire.back()), hex(shortFrame(3, 6, CmdAskState)));
        } else {
            EXPECT_FALSE(view.rows[0].online.has_value());
            EXPECT_EQ(engine.PollIndex, 0);
            EXPECT_EQ(wire.size(), sent);
        }
    }
}

// A motion press, About, Password or Groups (all through stopSearch), or a
// search tick left over, while row 1's query is outstanding: its answer or
// time-out still goes to row 1 and the poll goes on with row 2.
enum class Interruption { MotionPress, stopSearch, LeftoverSearchTick };
enum class Outcome { Answer, TimeOut };

class InterruptedPollTest : public EngineTest,
                            public ::testing::WithParamInterface<std::tuple<Interruption, Outcome>> {};

TEST_P(InterruptedPollTest, TheOutstandingQueryIsBookedToItsOwnRow)
{
    const auto [interruption, outcome] = GetParam();
    pollAtRowOne();

    switch (interruption) {
    case Interruption::MotionPress:
        view.checked[0] = true;
        view.stop();
        EXPECT_EQ(hex(wire.back()), hex(shortFrame(0xFF, 0, CmdStop)));
        break;
    case Interruption::stopSearch:
        engine.stopSearch();
        break;
    case Interruption::LeftoverSearchTick:
        engine.onProbeTimeout();
        break;
    }
    EXPECT_TRUE(engine.pollTimer.isActive()) << "row 1 is still being waited for";

    if (outcome == Outcome::Answer)
        receive(reply(3, 6));
    else
        engine.onPollTimeout();

    EXPECT_EQ(view.images(),
        (std::vector<std::optional<bool>> { false, outcome == Outcome::Answer, std::nullopt }));
    // A broadcast stop goes once more when an answer has come: the last query is what counts.
    const auto query = std::find_if(wire.rbegin(), wire.rend(), [](const Bytes& f) { return f[6] == CmdAskState; });
    ASSERT_NE(query, wire.rend());
    EXPECT_EQ(hex(*query), hex(shortFrame(4, 7, CmdAskState)));
    EXPECT_EQ(engine.PollIndex, 2);
    EXPECT_TRUE(engine.pollTimer.isActive());
}

std::string interruptedPollName(const std::tuple<Interruption, Outcome>& p)
{
    static const char* const names[] = { "MotionPress", "stopSearch", "LeftoverSearchTick" };
    return std::string(names[int(std::get<0>(p))]) + (std::get<1>(p) == Outcome::Answer ? "ThenAnswer" : "ThenTimeOut");
}

INSTANTIATE_TEST_SUITE_P(Interruptions, InterruptedPollTest,
    ::testing::Combine(
        ::testing::Values(Interruption::MotionPress, Interruption::stopSearch, Interruption::LeftoverSearchTick),
        ::testing::Values(Outcome::Answer, Outcome::TimeOut)),
    [](const auto& info) { return interruptedPollName(info.param); });

TEST_F(EngineTest, APollEndedByTimeOutTakesNoLateAnswerForANewRound)
{
    listDevices({ { 5, 2 }, { 6, 3 } });
    engine.startPoll();
    engine.onPollTimeout();
    engine.onPollTimeout(); // the last row is silent too: the round is over
    ASSERT_FALSE(engine.pollTimer.isActive());

    receive(reply(3, 6)); // the last device answers late,
    receive(reply(3, 6)); // and its answer arrives twice

    EXPECT_EQ(view.images(), (std::vector<std::optional<bool>> { false, false }));
    EXPECT_EQ(wire.size(), 2u) << "no new round";
    EXPECT_FALSE(engine.pollTimer.isActive());
}

// Once the poll is given up, what its last query still brings books nothing.
TEST_F(EngineTest, AGivenUpPollBooksNeitherAnswerNorTimeOut)
{
    struct Case {
        const char* name;
        std::function<void(ControlEngine&, EngineRecorder& v)> giveUp;
    };
    const std::vector<Case> cases {
        { "search declined", [](ControlEngine&, EngineRecorder& v) {
             v.confirmAnswer = false;
             v.search();
         } },
        { "group click", [](ControlEngine& e, EngineRecorder&) { e.endSearchForGroupClick(); } },
        { "port lost", [](ControlEngine& e, EngineRecorder&) { e.portClosed(); } },
        { "stopped", [](ControlEngine& e, EngineRecorder&) { e.stopPoll(); } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wire.clear();
        pollAtRowOne();
        c.giveUp(engine, view);
        const size_t sent = wire.size();

        receive(reply(3, 6));
        engine.onPollTimeout(); // a time-out that fires all the same

        EXPECT_EQ(view.images(), (std::vector<std::optional<bool>> { false, std::nullopt, std::nullopt }));
        EXPECT_EQ(wire.size(), sent);
        EXPECT_FALSE(engine.pollTimer.isActive());
    }
}

TEST_F(EngineTest, RefreshRestartsThePollAtRowZero)
{
    listDevices({ { 5, 2 }, { 6, 2 }, { 7, 2 } });
    engine.startPoll();
    engine.lineIdle();
    engine.onPollTimeout();
    ASSERT_EQ(engine.PollIndex, 1);
    engine.refreshClicked();
    EXPECT_EQ(engine.PollIndex, 0);
    EXPECT_EQ(hex(wire.back()), hex(shortFrame(2, 5, CmdAskState)));
    EXPECT_TRUE(engine.pollTimer.isActive());
    engine.lineIdle();
    EXPECT_EQ(view.barPositions, (std::vector<int> { 1, 1 })) << "the new round brings a new bar";
}

// A search press that stops the poll, and then no search, takes the poll's bar too.
TEST_F(EngineTest, ASearchPressThatStopsThePollLeavesNoBar)
{
    for (bool validRange : { false, true }) {
        SCOPED_TRACE(validRange ? "confirmation declined" : "range refused");
        listDevices({ { 5, 2 }, { 6, 2 }, { 7, 2 } });
        engine.startPoll();
        engine.lineIdle();
        ASSERT_TRUE(view.barExists);
        view.edit1 = validRange ? "1" : "10";
        view.edit2 = "9";
        view.confirmAnswer = false;

        view.search();

        EXPECT_FALSE(engine.pollTimer.isActive());
        EXPECT_FALSE(view.barExists);
    }
}

TEST_F(EngineTest, PollProgressBarFollowsTheQueries)
{
    listDevices({ { 1, 0 }, { 2, 0 }, { 3, 0 } });
    engine.startPoll();
    engine.lineIdle();
    EXPECT_TRUE(view.barExists);
    EXPECT_EQ(view.barMaximum, 3);
    receive(reply(0, 1));
    engine.lineIdle();
    receive(reply(0, 2));
    engine.lineIdle();
    EXPECT_EQ(view.barPositions, (std::vector<int> { 1, 3 }));
    EXPECT_FALSE(view.barExists) << "gone once the last row is asked";

    // One row: shown for its query, removed after the short pause.
    listDevices({ { 1, 0 } });
    engine.startPoll();
    engine.lineIdle();
    EXPECT_FALSE(view.barExists);
    EXPECT_EQ(view.barDestroyed, 2);
    EXPECT_EQ(pauses, std::vector<int> { ControlEngine::SingleRowBarPauseMs });
}

// ---------------------------------------------------------------- search

TEST_F(EngineTest, SearchEntersAnsweringDevicesWithTheirGroups)
{
    listDevices({ { 900, 1 } });
    view.edit1 = "3";
    view.edit2 = "6";
    view.search();

    EXPECT_EQ(view.confirms, std::vector<EngineMessage> { EngineMessage::ConfirmSearch });
    EXPECT_TRUE(engine.searchRunning());
    EXPECT_TRUE(view.searchCaptionRunning);
    EXPECT_EQ(reg.emptied, 1);
    EXPECT_TRUE(view.rows.empty());
    EXPECT_TRUE(engine.probeTimer.isActive());
    EXPECT_EQ(engine.probeTimer.interval(), 190);
    EXPECT_EQ(engine.probeTimer.timerType(), Qt::PreciseTimer);

    engine.onProbeTimeout();       // ID 3 silent
    receive(reply(5, 4, 0xFE)); // ID 4 in group 5
    engine.onProbeTimeout();       // ID 5 silent
    receive(reply(0, 6));       // ID 6 in group 0: the end of the range

    EXPECT_EQ(hexAll(wire),
        hexAll({ shortFrame(0xFF, 3, CmdAskState), shortFrame(0xFF, 4, CmdAskState),
            shortFrame(0xFF, 5, CmdAskState), shortFrame(0xFF, 6, CmdAskState) }));
    EXPECT_EQ(reg.appended, (std::vector<std::pair<int, int>> { { 4, 5 }, { 6, 0 } }));
    EXPECT_EQ(view.searched, reg.appended);
    EXPECT_EQ(view.progressTexts, (std::vector<std::pair<int, int>> { { 0, 6 }, { 4, 6 }, { 4, 6 }, { 6, 6 }, { 6, 6 } }));
    EXPECT_FALSE(engine.searchRunning());
    EXPECT_FALSE(view.searchCaptionRunning);
    EXPECT_FALSE(engine.probeTimer.isActive());
    EXPECT_EQ(engine.SearchCursor, 0);
    EXPECT_TRUE(view.txLog.empty()) << "probes are not logged";
}

TEST_F(EngineTest, SearchProgressBarSpansTheRange)
{
    view.edit1 = "10";
    view.edit2 = "14";
    view.search();
    for (int i = 0; i < 5; ++i) {
        engine.lineIdle();
        engine.onProbeTimeout();
    }
    EXPECT_EQ(view.barMaximum, 4);
    EXPECT_EQ(view.barPositions, (std::vector<int> { 1, 3, 4 }));
    EXPECT_FALSE(view.barExists);
    EXPECT_FALSE(engine.searchRunning());
}

TEST_F(EngineTest, RejectedFrameDuringSearchSkipsNoId)
{
    view.edit1 = "1";
    view.edit2 = "3";
    view.search();
    auto bad = reply(0, 1);
    bad[7] ^= 0x10;
    receive(bad);              // answer to probe 1 with a broken checksum
    receive(reply(0, 2));      // an answer for an ID not probed yet
    EXPECT_EQ(engine.SearchCursor, 1);
    engine.onProbeTimeout();
    engine.onProbeTimeout();
    engine.onProbeTimeout();

    EXPECT_EQ(hexAll(wire),
        hexAll({ shortFrame(0xFF, 1, CmdAskState), shortFrame(0xFF, 2, CmdAskState),
            shortFrame(0xFF, 3, CmdAskState) }));
    EXPECT_TRUE(reg.appended.empty());
    EXPECT_FALSE(engine.searchRunning());
}

TEST_F(EngineTest, SearchButtonDuringSearchStopsWithoutAQuestion)
{
    view.edit1 = "1";
    view.edit2 = "999";
    view.search();
    engine.onProbeTimeout();
    ASSERT_TRUE(engine.searchRunning());

    view.search();

    EXPECT_EQ(view.confirms.size(), 1u);
    EXPECT_FALSE(engine.searchRunning());
    EXPECT_FALSE(view.searchCaptionRunning);
    EXPECT_FALSE(engine.probeTimer.isActive());
    EXPECT_EQ(engine.SearchCursor, 0);
    EXPECT_EQ(wire.size(), 2u);
    EXPECT_EQ(reg.emptied, 1);
}

TEST_F(EngineTest, NoToTheConfirmationLeavesTheRegisterButStopsThePoll)
{
    listDevices({ { 5, 2 }, { 6, 2 } });
    engine.startPoll();
    view.confirmAnswer = false;

    view.search();

    EXPECT_EQ(view.confirms.size(), 1u);
    EXPECT_FALSE(engine.searchRunning());
    EXPECT_EQ(reg.emptied, 0);
    EXPECT_EQ(view.rows.size(), 2u);
    EXPECT_EQ(wire.size(), 1u) << "no probe";
    EXPECT_FALSE(engine.pollTimer.isActive());
    EXPECT_FALSE(engine.probeTimer.isActive());
}

// A search that could not rebuild the register leaves the register and the
// list as they were, and says so once.
TEST_F(EngineTest, ASearchThatCannotRebuildTheRegisterEmptiesNothing)
{
    struct Case {
        const char* name;
        bool portOpen, writable, emptyingFails;
        std::vector<EngineMessage> infos, confirms;
        int registerMessages;
    };
    const std::vector<Case> cases {
        { "port closed", false, true, false, { EngineMessage::PortClosed }, {}, 0 },
        { "table not writable", true, false, false, {}, {}, 1 },
        { "emptying fails after Yes", true, true, true, {}, { EngineMessage::ConfirmSearch }, 1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineRecorder v;
        MemoryRegister r;
        std::vector<Bytes> sent;
        TxChannel t { [&](const uint8_t* b, uint16_t n) {
            if (!v.portIsOpen)
                return false;
            sent.emplace_back(b, b + n);
            return true;
        } };
        ControlEngine e { r, t };
        v.attach(e, r);
        v.rows = { MemoryRow { 5, false, true, -1, std::nullopt }, MemoryRow { 6, false, false, -1, std::nullopt } };
        r.groupById = { { 5, 2 }, { 6, 2 } };
        v.portIsOpen = c.portOpen;
        r.writable = c.writable;
        r.emptyingFails = c.emptyingFails;

        v.search();

        EXPECT_EQ(v.infos, c.infos);
        EXPECT_EQ(v.confirms, c.confirms);
        EXPECT_EQ(r.messages, c.registerMessages);
        EXPECT_EQ(r.emptied, 0);
        EXPECT_EQ(r.groupById, (std::map<int, int> { { 5, 2 }, { 6, 2 } }));
        EXPECT_EQ(v.images(), (std::vector<std::optional<bool>> { true, false }));
        EXPECT_TRUE(sent.empty()) << "no probe";
        EXPECT_FALSE(e.searchRunning());
        EXPECT_FALSE(v.searchCaptionRunning);
        EXPECT_FALSE(e.probeTimer.isActive());
        EXPECT_EQ(v.misuses, 0);
    }
}

TEST_F(EngineTest, InvalidSearchRangesAreRefusedAndReset)
{
    const std::vector<std::pair<QString, QString>> ranges {
        { "10", "9" }, { "0", "5" }, { "5", "0" }, { "", "5" }, { "5", "" }, { "", "" }, { "a", "5" },
        { "1", "1000" },
    };
    for (const auto& [start, end] : ranges) {
        SCOPED_TRACE((start + ".." + end).toStdString());
        view.infos.clear();
        view.edit1 = start;
        view.edit2 = end;

        view.search();

        EXPECT_EQ(view.infos, std::vector<EngineMessage> { EngineMessage::SearchRangeWrong });
        EXPECT_EQ(view.edit1, "1");
        EXPECT_EQ(view.edit2, "999");
        EXPECT_TRUE(view.confirms.empty());
        EXPECT_TRUE(wire.empty());
        EXPECT_FALSE(engine.searchRunning());
    }
}

TEST_F(EngineTest, OneIdSearchWithoutAnswerEndsAfterOneTick)
{
    view.edit1 = "5";
    view.edit2 = "5";
    view.search();
    ASSERT_EQ(wire.size(), 1u);
    engine.onProbeTimeout();
    EXPECT_FALSE(engine.searchRunning());
    EXPECT_FALSE(view.searchCaptionRunning);
    EXPECT_EQ(wire.size(), 1u);
}

TEST_F(EngineTest, AnAnswerArrivingWhileTheConfirmationIsOpenDoesNotRestartThePoll)
{
    listDevices({ { 5, 2 }, { 6, 2 } });
    engine.startPoll();
    view.confirmAnswer = false;
    view.onConfirm = [this] { receive(reply(2, 5)); }; // the outstanding query's answer
    const size_t sent = wire.size();

    view.search();

    EXPECT_EQ(wire.size(), sent);
    EXPECT_FALSE(engine.pollTimer.isActive());
    EXPECT_FALSE(view.rows[0].online.has_value());
}

TEST_F(EngineTest, NoSearchLeavesItsProgressBarBehind)
{
    // A one-ID search: its bar has an empty span and no later write-empty event removes it.
    view.edit1 = "5";
    view.edit2 = "5";
    view.search();
    engine.lineIdle();
    ASSERT_TRUE(view.barExists);
    engine.onProbeTimeout();
    EXPECT_FALSE(engine.searchRunning());
    EXPECT_FALSE(view.barExists);

    // A group click that ends a search whose register is now empty.
    view.edit1 = "1";
    view.edit2 = "50";
    view.search();
    engine.lineIdle();
    ASSERT_TRUE(view.barExists);
    engine.endSearchForGroupClick();
    EXPECT_FALSE(view.barExists);
}

TEST_F(EngineTest, TheBarComesOnlyWithAPollOrASearch)
{
    listDevices({ { 1, 0 }, { 2, 0 } });
    engine.startPoll();
    receive(reply(0, 1));
    receive(reply(0, 2));
    ASSERT_FALSE(engine.pollTimer.isActive());
    const int created = int(view.barPositions.size());
    engine.lineIdle(); // later traffic after the completed poll
    EXPECT_FALSE(view.barExists);
    EXPECT_EQ(int(view.barPositions.size()), created);
}

TEST_F(EngineTest, GroupClickEndsSearchAndSelfCheckInPlace)
{
    listDevices({ { 1, 0 } });
    view.rows[0].selected = true;
    view.selfCheck();
    ASSERT_TRUE(engine.selfCheckTimer.isActive());
    view.edit2 = "20";
    view.search(); // ends the self-check, starts a search
    ASSERT_TRUE(engine.searchRunning());
    EXPECT_FALSE(engine.selfCheckTimer.isActive());

    engine.endSearchForGroupClick();

    EXPECT_FALSE(engine.searchRunning());
    EXPECT_FALSE(view.searchCaptionRunning);
    EXPECT_FALSE(engine.probeTimer.isActive());
    EXPECT_FALSE(engine.pollTimer.isActive());
    EXPECT_EQ(engine.SearchCursor, 0);
}

// ---------------------------------------------------------------- closed port

// Each press (or self-check step) made while the port is closed: nothing goes
// out, now or when the port comes back, the traffic log shows nothing, and the
// port message appears exactly once.
struct ClosedPortCase {
    const char* name;
    bool selfCheckRunning; // started while the port was still open
    void (EngineRecorder::*action)();
    bool stopOwed = false; // a stop was asked for: it goes once the port is back, and nothing else
};

class ClosedPortTest : public EngineTest, public ::testing::WithParamInterface<ClosedPortCase> {};

TEST_P(ClosedPortTest, NothingLooksSentAndThePortMessageComesOnce)
{
    const ClosedPortCase& c = GetParam();
    listDevices({ { 1, 0 }, { 2, 3 }, { 3, 0 } });
    view.rows[0].selected = view.rows[1].selected = true;
    view.checked[2] = view.checked[3] = view.checked[4] = true; // groups 1 to 3 besides
    if (c.selfCheckRunning) {
        view.selfCheck();
        ASSERT_TRUE(engine.selfCheckTimer.isActive());
    }
    const size_t sent = wire.size(), logged = view.txLog.size();
    view.infos.clear();
    view.portIsOpen = false;

    (view.*c.action)();
    drain();

    EXPECT_EQ(view.infos, std::vector<EngineMessage> { EngineMessage::PortClosed });
    EXPECT_EQ(wire.size(), sent);
    EXPECT_EQ(view.txLog.size(), logged);

    // The port is picked again: the press's remaining frames do not go out, an owed stop does.
    view.portIsOpen = true;
    drain();
    if (!c.stopOwed) {
        EXPECT_EQ(wire.size(), sent);
        return;
    }
    ASSERT_GT(wire.size(), sent);
    for (size_t i = sent; i < wire.size(); ++i)
        EXPECT_EQ(wire[i][6], CmdStop) << i;
}

INSTANTIATE_TEST_SUITE_P(Presses, ClosedPortTest,
    ::testing::Values(ClosedPortCase { "Up", false, &EngineRecorder::up },
        ClosedPortCase { "Stop", false, &EngineRecorder::stop, true },
        ClosedPortCase { "SelfCheckStart", false, &EngineRecorder::selfCheck },
        ClosedPortCase { "SelfCheckPeriod", true, &EngineRecorder::selfCheckPeriod },
        ClosedPortCase { "SelfCheckStop", true, &EngineRecorder::selfCheck, true },
        ClosedPortCase { "SearchEndingASelfCheck", true, &EngineRecorder::search, true }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, QueuedFramesAndQueriesTheClosedPortRefusesAreNotLogged)
{
    listDevices({ { 5, 2 } });
    view.checked[3] = view.checked[6] = true; // groups 2 and 5
    view.highlighted = 1;
    view.up();
    ASSERT_EQ(view.txLog.size(), 1u);
    engine.ReaddressBatch.items[1] = 44; // and an editor's move behind it
    engine.ReaddressBatch.count = 2;
    engine.ReaddressBatch.position = 0;
    view.portIsOpen = false; // closed before the continuation runs

    engine.lineIdle(); // group 5
    engine.lineIdle(); // the re-address frame
    engine.startPoll();

    EXPECT_EQ(hexAll(view.txLog), hexAll({ shortFrame(2, 0, CmdUp) }));
    EXPECT_TRUE(view.infos.empty()) << "no press was made just now";
}

TEST_F(EngineTest, LosingThePortStopsPollSelfCheckAndEverythingQueued)
{
    listDevices({ { 1, 0 }, { 2, 3 }, { 3, 0 } });
    view.rows[0].selected = view.rows[1].selected = true;
    view.checked[2] = view.checked[3] = view.checked[4] = true;
    view.selfCheck();    // self-check: up to group 1 and device 1 at once, the rest queued
    engine.startPoll();       // query for row 0
    engine.lineIdle(); // group 2 goes out; the poll's bar comes up
    ASSERT_TRUE(view.barExists);
    engine.ReaddressBatch.items[1] = 44; // an editor's move still under way
    engine.ReaddressBatch.count = 2;
    engine.ReaddressBatch.position = 0;
    const size_t sent = wire.size();

    view.portIsOpen = false;
    engine.portClosed();

    EXPECT_FALSE(engine.pollTimer.isActive());
    EXPECT_FALSE(engine.selfCheckTimer.isActive());
    EXPECT_EQ(engine.SelfCheckState, 0);
    EXPECT_FALSE(view.selfCheckCaptionRunning);
    EXPECT_FALSE(view.barExists);
    EXPECT_TRUE(view.infos.empty());
    EXPECT_EQ(wire.size(), sent) << "no stop frame";

    view.portIsOpen = true; // another port is picked
    drain();
    receive(reply(0, 1));
    engine.onSelfCheckPeriod();
    EXPECT_EQ(wire.size(), sent) << "nothing queued before the loss goes out";
    EXPECT_FALSE(view.rows[0].online.has_value());
    EXPECT_FALSE(view.barExists);
}

TEST_F(EngineTest, LosingThePortEndsASearchWithItsNormalEndSteps)
{
    view.edit1 = "1";
    view.edit2 = "50";
    view.search();
    engine.lineIdle();
    engine.onProbeTimeout();
    ASSERT_TRUE(view.barExists);
    const size_t sent = wire.size();

    view.portIsOpen = false;
    engine.portClosed();

    EXPECT_FALSE(engine.searchRunning());
    EXPECT_FALSE(view.searchCaptionRunning);
    EXPECT_FALSE(engine.probeTimer.isActive());
    EXPECT_EQ(engine.SearchCursor, 0);
    EXPECT_FALSE(view.barExists);
    view.portIsOpen = true;
    engine.onProbeTimeout();
    receive(reply(0, 2));
    EXPECT_EQ(wire.size(), sent);
    EXPECT_TRUE(reg.appended.empty());
}

// ---------------------------------------------------------------- self-check

TEST_F(EngineTest, SelfCheckAlternatesAndAStopEndsIt)
{
    listDevices({ { 8, 1 }, { 9, 1 } }); // part of the list selected: addressed by device
    view.rows[0].selected = true;
    view.edit3 = "90";
    const Bytes up = shortFrame(1, 8, CmdUp), down = shortFrame(1, 8, CmdDown), stop = shortFrame(1, 8, CmdStop);

    view.selfCheck();
    EXPECT_TRUE(engine.selfCheckTimer.isActive());
    EXPECT_EQ(engine.selfCheckTimer.interval(), 90000);
    EXPECT_EQ(engine.selfCheckTimer.timerType(), Qt::PreciseTimer);
    EXPECT_TRUE(view.selfCheckCaptionRunning);
    engine.onSelfCheckPeriod();
    engine.onSelfCheckPeriod();
    // Stop ends the self-check as well: its next period would move the device again.
    view.rows[0].selected = false;
    view.stop();
    drain();
    EXPECT_FALSE(engine.selfCheckTimer.isActive());
    EXPECT_EQ(engine.SelfCheckState, 0);
    EXPECT_FALSE(view.selfCheckCaptionRunning);
    engine.onSelfCheckPeriod();
    engine.stopSelfCheck(); // nothing left to stop

    // The broadcast stop reaches the self-check's device too: no second frame for it.
    EXPECT_EQ(hexAll(wire), hexAll({ up, down, up, shortFrame(0xFF, 0, CmdStop) }));
}

TEST_F(EngineTest, SelfCheckRefusesBadPeriodsAndMissingTargets)
{
    listDevices({ { 8, 1 } });
    view.rows[0].selected = true;
    for (const char* period : { "59", "361", "", "x" }) {
        SCOPED_TRACE(period);
        view.infos.clear();
        view.edit3 = period;
        view.selfCheck();
        EXPECT_EQ(view.infos, std::vector<EngineMessage> { EngineMessage::SelfCheckPeriodWrong });
        EXPECT_EQ(view.edit3, "60");
        EXPECT_FALSE(engine.selfCheckTimer.isActive());
    }
    view.rows[0].selected = false;
    view.infos.clear();
    view.selfCheck();
    EXPECT_EQ(view.infos, std::vector<EngineMessage> { EngineMessage::SelectMembersFirst });
    EXPECT_FALSE(engine.selfCheckTimer.isActive());
    EXPECT_TRUE(wire.empty());

    // A ticked group is a target.
    view.checked[2] = true;
    view.edit3 = "360";
    view.selfCheck();
    EXPECT_TRUE(engine.selfCheckTimer.isActive());
}

TEST_F(EngineTest, SelfCheckButtonStopsEvenAfterTheSelectionWasLost)
{
    listDevices({ { 8, 1 } });
    view.rows[0].selected = true;
    view.selfCheck();
    ASSERT_TRUE(engine.selfCheckTimer.isActive());
    view.rows[0].selected = false; // deselected by keyboard, no list click
    view.edit3 = "";
    view.selfCheck();
    EXPECT_FALSE(engine.selfCheckTimer.isActive());
    EXPECT_EQ(engine.SelfCheckState, 0);
    // The stop goes to the device the self-check was driving.
    EXPECT_TRUE(view.infos.empty());
    EXPECT_EQ(hex(wire.back()), hex(shortFrame(1, 8, CmdStop)));
}

// ---------------------------------------------------------------- re-addressing

// Each re-address frame goes out alone and into the traffic log: the first at
// once, every further one on the next write-empty event. Once the last has
// left, each device is asked at its new address, one query at a time.
struct ReaddressCase {
    const char* name;
    std::function<bool(ControlEngine&)> send;
    std::vector<std::string> frames;                 // wire and log, in order
    std::vector<std::pair<uint8_t, uint16_t>> asked; // (group, ID) of the queries that follow
};

class ReaddressTest : public EngineTest, public ::testing::WithParamInterface<ReaddressCase> {};

TEST_P(ReaddressTest, FramesOneByOneThenOneQueryPerDevice)
{
    const ReaddressCase& c = GetParam();
    ASSERT_TRUE(c.send(engine));
    EXPECT_EQ(hexAll(wire), std::vector<std::string> { c.frames[0] }) << "the first frame at once, alone";
    for (size_t i = 1; i < c.frames.size(); ++i) {
        engine.lineIdle();
        ASSERT_EQ(wire.size(), i + 1) << "one frame per write-empty event";
        EXPECT_EQ(hex(wire.back()), c.frames[i]);
    }
    EXPECT_FALSE(engine.verifying()) << "no query before the last frame has left";
    EXPECT_EQ(wire.size(), c.frames.size());

    engine.lineIdle(); // the last frame has left
    std::vector<std::string> queries, expected;
    for (auto [group, id] : c.asked) {
        ASSERT_TRUE(engine.verifying());
        queries.push_back(hex(wire.back()));
        expected.push_back(hex(shortFrame(group, id, CmdAskState)));
        const size_t sent = wire.size();
        engine.lineIdle(); // the query has left; nothing goes out beside it
        EXPECT_EQ(wire.size(), sent);
        receive(reply(group, id));
    }
    EXPECT_EQ(queries, expected);
    EXPECT_FALSE(engine.verifying());
    EXPECT_EQ(wire.size(), c.frames.size() + c.asked.size());
    EXPECT_EQ(hexAll(view.txLog), c.frames) << "status queries are not logged";
    EXPECT_EQ(view.rxLog.size(), c.asked.size()) << "answers are";
    EXPECT_TRUE(view.unanswered.empty());
}

INSTANTIATE_TEST_SUITE_P(Operations, ReaddressTest,
    ::testing::Values(
        ReaddressCase { "ModifyToANewId", [](ControlEngine& e) { return e.sendReaddress(2, 5, 2, 7); },
            { "FF AC E1 E2 00 05 6D 02 00 07 01 5D " }, { { 2, 7 } } },
        ReaddressCase { "ModifyKeepingTheId", [](ControlEngine& e) { return e.sendReaddress(1, 300, 3, 300); },
            { "FF AC E1 E1 01 2C 6D 03 01 2C 01 AB " }, { { 3, 300 } } },
        ReaddressCase { "ForceModify", [](ControlEngine& e) { return e.sendReaddress(255, 0, 4, 999); },
            { "FF AC E1 FF 00 00 6D 04 03 E7 02 5A " }, { { 4, 999 } } },
        // ID 0 is no device of its own: a query to it would go to the whole group.
        ReaddressCase { "ForceModifyToIdZero", [](ControlEngine& e) { return e.sendReaddress(255, 0, 4, 0); },
            { "FF AC E1 FF 00 00 6D 04 00 00 01 70 " }, {} },
        ReaddressCase { "MoveOfOne", [](ControlEngine& e) { return e.sendReaddressBatch(0, 15, { 999 }); },
            { "FF AC E1 E0 03 E7 6D 0F 03 E7 03 30 " }, { { 15, 999 } } },
        ReaddressCase { "MoveOfThree",
            [](ControlEngine& e) { return e.sendReaddressBatch(1, 3, { 10, 300, 12 }); },
            { hex(mediumFrame(1, 10, 3, 10)), "FF AC E1 E1 01 2C 6D 03 01 2C 01 AB ",
                hex(mediumFrame(1, 12, 3, 12)) },
            { { 3, 10 }, { 3, 300 }, { 3, 12 } } }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, EachMovedDeviceIsMarkedByItsOwnAnswerAndTheSilentAreNamedOnce)
{
    listDevices({ { 10, 3 }, { 11, 3 }, { 99, 3 }, { 12, 3 } });
    ASSERT_TRUE(engine.sendReaddressBatch(1, 3, { 10, 11, 12 }));
    drain(); // the three frames, then the first query

    for (auto [id, answers] : std::vector<std::pair<uint16_t, bool>> { { 10, true }, { 11, false }, { 12, true } }) {
        SCOPED_TRACE(id);
        ASSERT_EQ(hex(wire.back()), hex(shortFrame(3, id, CmdAskState)));
        EXPECT_TRUE(engine.verifyTimer.isActive());
        EXPECT_EQ(engine.verifyTimer.interval(), ControlEngine::FirstPollTimeoutMs);
        const auto images = view.images();
        const size_t sent = wire.size();

        // Only this device, at its new address, with a valid reply counts.
        auto broken = reply(3, id);
        broken[8] ^= 1;
        for (const Bytes& stray : { reply(1, id), reply(3, 99), reply(3, id, 0xFC), broken })
            receive(stray);
        EXPECT_EQ(view.images(), images);
        EXPECT_EQ(wire.size(), sent);
        EXPECT_TRUE(engine.verifyTimer.isActive());
        EXPECT_TRUE(view.unanswered.empty()) << "no message before the last device was asked";

        if (answers)
            receive(reply(3, id));
        else
            engine.onVerifyTimeout();
    }

    EXPECT_EQ(view.images(), (std::vector<std::optional<bool>> { true, false, std::nullopt, true }));
    EXPECT_EQ(view.unanswered, std::vector<std::vector<int>> { { 11 } });
    EXPECT_FALSE(engine.verifying());
    EXPECT_FALSE(engine.verifyTimer.isActive());
    EXPECT_EQ(wire.size(), 6u);

    // The silent device answers late: nothing is booked, nothing more said.
    receive(reply(3, 11));
    engine.onVerifyTimeout();
    EXPECT_EQ(view.images(), (std::vector<std::optional<bool>> { true, false, std::nullopt, true }));
    EXPECT_EQ(view.unanswered.size(), 1u);
    EXPECT_EQ(wire.size(), 6u);
}

// The poll's outstanding query is answered (or times out) first; the
// verification takes the next turn, and the poll goes on with its next row.
TEST_F(EngineTest, AVerificationTakesTheTurnAfterThePollsOutstandingQuery)
{
    for (Outcome outcome : { Outcome::Answer, Outcome::TimeOut }) {
        SCOPED_TRACE(outcome == Outcome::Answer ? "answer" : "time-out");
        wire.clear();
        listDevices({ { 5, 2 }, { 6, 3 }, { 7, 4 } });
        engine.startPoll();
        engine.onPollTimeout(); // row 0 silent; row 1 asked
        engine.onAnswerTimer(); // row 1's answer has not begun in time: the line is free
        reg.groupById[5] = 9; // as the editor records it
        ASSERT_TRUE(engine.sendReaddress(2, 5, 9, 5));
        engine.lineIdle(); // the frame has left, but row 1's query is outstanding
        EXPECT_FALSE(engine.verifying());
        EXPECT_EQ(hex(wire.back()), hex(mediumFrame(2, 5, 9, 5)));

        if (outcome == Outcome::Answer)
            receive(reply(3, 6));
        else
            engine.onPollTimeout();
        EXPECT_EQ(hex(wire.back()), hex(shortFrame(9, 5, CmdAskState))) << "the verification, not row 2";
        EXPECT_FALSE(engine.pollTimer.isActive());

        // What the poll's queries still bring is booked nowhere meanwhile.
        receive(reply(3, 6));
        receive(reply(4, 7));
        engine.onPollTimeout();
        EXPECT_EQ(view.images(),
            (std::vector<std::optional<bool>> { false, outcome == Outcome::Answer, std::nullopt }));
        EXPECT_TRUE(engine.verifying());

        receive(reply(9, 5));
        EXPECT_EQ(view.images(),
            (std::vector<std::optional<bool>> { true, outcome == Outcome::Answer, std::nullopt }));
        EXPECT_EQ(hex(wire.back()), hex(shortFrame(4, 7, CmdAskState))) << "the poll goes on at row 2";
        EXPECT_TRUE(engine.pollTimer.isActive());
        EXPECT_EQ(engine.pollTimer.interval(), ControlEngine::PollTimeoutMs);
        receive(reply(4, 7));
        EXPECT_EQ(view.images(), (std::vector<std::optional<bool>> { true, outcome == Outcome::Answer, true }));
        EXPECT_EQ(wire.size(), 5u);
    }
}

TEST_F(EngineTest, APollStartedDuringAVerificationBeginsOnceItIsOver)
{
    listDevices({ { 5, 2 }, { 6, 2 } });
    ASSERT_TRUE(engine.sendReaddress(2, 6, 2, 9));
    engine.lineIdle();
    ASSERT_EQ(hex(wire.back()), hex(shortFrame(2, 9, CmdAskState)));

    engine.prepareRebuild();
    engine.startPoll(); // the list is rebuilt while device 9 is asked
    engine.refreshClicked();
    EXPECT_EQ(wire.size(), 2u);
    EXPECT_FALSE(engine.pollTimer.isActive());
    receive(reply(2, 5)); // row 0's device, unasked, books nothing
    EXPECT_EQ(view.images(), (std::vector<std::optional<bool>> { std::nullopt, std::nullopt }));

    engine.onVerifyTimeout(); // device 9 is silent
    EXPECT_EQ(view.unanswered, std::vector<std::vector<int>> { { 9 } });
    EXPECT_EQ(hex(wire.back()), hex(shortFrame(2, 5, CmdAskState))) << "the poll begins at row 0";
    EXPECT_EQ(engine.pollTimer.interval(), ControlEngine::FirstPollTimeoutMs);
    engine.lineIdle();
    EXPECT_TRUE(view.barExists) << "with its bar";
}

// What "->" does before a move: the poll ends and stays ended; the move is
// still verified.
TEST_F(EngineTest, StoppingThePollLeavesTheMoveAndItsVerification)
{
    listDevices({ { 5, 2 }, { 6, 3 }, { 7, 4 } });
    engine.startPoll();
    engine.lineIdle();
    ASSERT_TRUE(view.barExists);
    engine.onPollTimeout(); // row 0 silent; row 1 asked

    engine.stopPoll();
    EXPECT_FALSE(engine.pollTimer.isActive());
    EXPECT_FALSE(view.barExists);
    ASSERT_TRUE(engine.sendReaddressBatch(3, 5, { 6, 7 }));
    receive(reply(3, 6)); // row 1's query answered after all
    drain();

    EXPECT_EQ(view.images(), (std::vector<std::optional<bool>> { false, std::nullopt, std::nullopt }));
    EXPECT_EQ(hex(wire.back()), hex(shortFrame(5, 6, CmdAskState)));
    receive(reply(5, 6));
    EXPECT_EQ(hex(wire.back()), hex(shortFrame(5, 7, CmdAskState)));
    engine.onVerifyTimeout();
    EXPECT_EQ(view.images(), (std::vector<std::optional<bool>> { false, true, false }));
    EXPECT_EQ(view.unanswered, std::vector<std::vector<int>> { { 7 } });
    EXPECT_FALSE(engine.pollTimer.isActive()) << "the poll does not come back";
}

TEST_F(EngineTest, AMoveMadeWhileAnotherIsSentWaitsBehindIt)
{
    ASSERT_TRUE(engine.sendReaddressBatch(1, 3, { 10, 11, 12 }));
    ASSERT_TRUE(engine.sendReaddressBatch(3, 5, { 20, 21 }));
    ASSERT_TRUE(engine.sendReaddressBatch(0, 2, { 30 }));
    EXPECT_EQ(wire.size(), 1u);
    drain();

    const std::vector<Bytes> frames { mediumFrame(1, 10, 3, 10), mediumFrame(1, 11, 3, 11), mediumFrame(1, 12, 3, 12),
        mediumFrame(3, 20, 5, 20), mediumFrame(3, 21, 5, 21), mediumFrame(0, 30, 2, 30) };
    std::vector<Bytes> expected = frames;
    expected.push_back(shortFrame(3, 10, CmdAskState));
    EXPECT_EQ(hexAll(wire), hexAll(expected));
    EXPECT_EQ(hexAll(view.txLog), hexAll(frames));

    // Every moved device is asked in its own new group.
    std::vector<Bytes> queries;
    for (auto [group, id] : std::vector<std::pair<uint8_t, uint16_t>> {
             { 3, 10 }, { 3, 11 }, { 3, 12 }, { 5, 20 }, { 5, 21 }, { 2, 30 } }) {
        queries.push_back(wire.back());
        receive(reply(group, id));
    }
    EXPECT_EQ(hexAll(queries),
        hexAll({ shortFrame(3, 10, CmdAskState), shortFrame(3, 11, CmdAskState), shortFrame(3, 12, CmdAskState),
            shortFrame(5, 20, CmdAskState), shortFrame(5, 21, CmdAskState), shortFrame(2, 30, CmdAskState) }));
    EXPECT_FALSE(engine.verifying());
    EXPECT_TRUE(view.unanswered.empty());

    // A move made once the last frame of the one before was handed over goes at once.
    wire.clear();
    ASSERT_TRUE(engine.sendReaddressBatch(4, 6, { 40, 41 }));
    engine.lineIdle();
    ASSERT_TRUE(engine.sendReaddressBatch(6, 7, { 50 }));
    EXPECT_EQ(hexAll(wire), hexAll({ mediumFrame(4, 40, 6, 40), mediumFrame(4, 41, 6, 41), mediumFrame(6, 50, 7, 50) }));
}

TEST_F(EngineTest, AMoveLongerThanABatchGoesOutWhole)
{
    std::vector<int> ids(1030);
    for (size_t i = 0; i < ids.size(); ++i)
        ids[i] = int(i % HighestDeviceId) + 1;
    ASSERT_TRUE(engine.sendReaddressBatch(2, 4, ids));
    drain();

    std::vector<Bytes> expected;
    for (int id : ids)
        expected.push_back(mediumFrame(2, uint16_t(id), 4, uint16_t(id)));
    expected.push_back(shortFrame(4, 1, CmdAskState));
    EXPECT_EQ(hexAll(wire), hexAll(expected));
}

TEST_F(EngineTest, ReaddressingToAClosedPortSendsAndSchedulesNothing)
{
    view.portIsOpen = false;
    EXPECT_FALSE(engine.sendReaddress(2, 5, 3, 7));
    EXPECT_FALSE(engine.sendReaddressBatch(1, 3, { 10, 11, 12 }));
    EXPECT_TRUE(view.txLog.empty());
    EXPECT_TRUE(view.infos.empty()) << "the caller decides what to say";

    view.portIsOpen = true; // another port is picked
    drain();
    EXPECT_TRUE(wire.empty());
    EXPECT_FALSE(engine.verifying());

    // A move refused behind a running one is not sent when the port is back.
    ASSERT_TRUE(engine.sendReaddressBatch(1, 3, { 10, 11 }));
    view.portIsOpen = false;
    EXPECT_FALSE(engine.sendReaddressBatch(3, 5, { 20 }));
    view.portIsOpen = true;
    drain();
    EXPECT_EQ(hexAll(wire),
        hexAll({ mediumFrame(1, 10, 3, 10), mediumFrame(1, 11, 3, 11), shortFrame(3, 10, CmdAskState) }));
}

TEST_F(EngineTest, LosingThePortDropsQueuedMovesAndVerifications)
{
    struct Case {
        const char* name;
        int writeEmptiesBeforeTheLoss;
    };
    for (const Case& c : { Case { "while the moves are sent", 1 }, Case { "while a device is asked", 3 } }) {
        SCOPED_TRACE(c.name);
        wire.clear();
        ASSERT_TRUE(engine.sendReaddressBatch(1, 3, { 10, 11 }));
        ASSERT_TRUE(engine.sendReaddressBatch(3, 5, { 20 }));
        for (int i = 0; i < c.writeEmptiesBeforeTheLoss; ++i)
            engine.lineIdle();
        const size_t sent = wire.size();

        view.portIsOpen = false;
        engine.portClosed();
        EXPECT_FALSE(engine.verifying());
        EXPECT_FALSE(engine.verifyTimer.isActive());

        view.portIsOpen = true;
        drain();
        engine.onVerifyTimeout();
        EXPECT_EQ(wire.size(), sent);
        EXPECT_TRUE(view.unanswered.empty()) << "the port message says why";
    }

    // The port closed by the closing window, without notice: the query's
    // time-out names nobody.
    ASSERT_TRUE(engine.sendReaddress(2, 5, 3, 7));
    engine.lineIdle();
    ASSERT_TRUE(engine.verifying());
    view.portIsOpen = false;
    engine.onVerifyTimeout();
    EXPECT_FALSE(engine.verifying());
    EXPECT_TRUE(view.unanswered.empty());
}

// Probes are broadcast queries: a verification cannot be outstanding beside one.
TEST_F(EngineTest, ASearchHoldsTheVerificationBackUntilItEnds)
{
    ASSERT_TRUE(engine.sendReaddress(2, 5, 3, 7));
    engine.lineIdle();
    ASSERT_TRUE(engine.verifying());
    view.edit1 = "1";
    view.edit2 = "1";

    view.search();
    EXPECT_FALSE(engine.verifyTimer.isActive());
    EXPECT_EQ(hex(wire.back()), hex(shortFrame(0xFF, 1, CmdAskState)));
    receive(reply(3, 7)); // the device answers its query during the search
    engine.onVerifyTimeout();
    EXPECT_TRUE(view.unanswered.empty());

    engine.onProbeTimeout(); // probe 1 silent: the search is over
    EXPECT_FALSE(engine.searchRunning());
    EXPECT_EQ(hex(wire.back()), hex(shortFrame(3, 7, CmdAskState))) << "asked again";
    engine.onVerifyTimeout();
    EXPECT_EQ(view.unanswered, std::vector<std::vector<int>> { { 7 } });
}

// ---------------------------------------------------------------- fast bus

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

const Bytes noise { 0x00, 0x55, 0xAA };

// Whatever comes ahead of a reply in its chunk does not hide it, in either
// timing, in a poll and in a search.
TEST_F(EngineTest, AReplyAfterNoiseInItsChunkIsTakenInBothTimings)
{
    const Bytes stale = reply(4, 7);      // another device's answer, complete
    const Bytes torn { 0xFF, 0xAC, 0xE1 }; // a header with nothing behind it
    for (const bool fast : { false, true }) {
        for (const Bytes& before : { noise, stale, torn, join({ noise, stale }) }) {
            SCOPED_TRACE(std::string(fast ? "fast: " : "default: ") + hex(before));
            wire.clear();
            reg.appended.clear();
            engine.setFastBus(fast);
            listDevices({ { 5, 2 }, { 6, 3 } });
            engine.startPoll();
            receive(join({ before, reply(2, 5) }));
            EXPECT_EQ(view.images(), (std::vector<std::optional<bool>> { true, std::nullopt }));
            EXPECT_EQ(hex(wire.back()), hex(shortFrame(3, 6, CmdAskState))) << "the next row is asked";
            engine.stopPoll();

            view.edit1 = "9";
            view.edit2 = "10";
            view.search();
            receive(join({ before, reply(1, 9) }));
            EXPECT_EQ(reg.appended, (std::vector<std::pair<int, int>> { { 9, 1 } }));
            engine.onProbeTimeout();
            if (fast) {
                // The last probe's answer stays overdue for a while.
                EXPECT_TRUE(engine.searchRunning());
                engine.onOverdueTimeout();
            }
            EXPECT_FALSE(engine.searchRunning());
        }
    }
}

// The fast timing joins a reply handed over in pieces, wherever it was cut;
// the default timing judges each piece on its own and leaves the row to the
// time-out.
TEST_F(EngineTest, OnlyTheFastTimingJoinsASplitReply)
{
    const Bytes whole = join({ noise, reply(2, 5) });
    for (const bool fast : { false, true }) {
        for (size_t cut = 1; cut < whole.size(); ++cut) {
            SCOPED_TRACE(std::string(fast ? "fast" : "default") + ", cut after " + std::to_string(cut));
            engine.setFastBus(fast);
            listDevices({ { 5, 2 }, { 6, 3 } });
            engine.startPoll();
            receive(Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(cut)));
            EXPECT_EQ(view.rows[0].online, std::nullopt) << "nothing before the reply is whole";
            receive(Bytes(whole.begin() + std::ptrdiff_t(cut), whole.end()));
            // A default chunk is taken when it holds the reply whole.
            const bool taken = fast || cut <= noise.size();
            EXPECT_EQ(view.rows[0].online, taken ? std::optional<bool>(true) : std::nullopt);
            engine.stopPoll();
        }
    }
}

// Bytes that came before a query are never joined with its answer: the rest
// of a reply that missed its time-out is not booked to the next device, and
// a complete frame after a taken one (its device was not asked yet) is
// dropped with the chunk.
TEST_F(EngineTest, TheFastTimingJoinsNothingAcrossAQuery)
{
    for (const bool fast : { false, true }) {
        SCOPED_TRACE(fast ? "fast" : "default");
        engine.setFastBus(fast);
        // The start of ID 5's answer, then the poll starts over and asks ID 5
        // again: the rest of the old answer is not the answer to the new query.
        listDevices({ { 5, 2 }, { 6, 2 } });
        engine.startPoll();
        const Bytes five = reply(2, 5);
        receive(Bytes(five.begin(), five.begin() + 5));
        engine.refreshClicked();
        receive(Bytes(five.begin() + 5, five.end()));
        EXPECT_EQ(view.rows[0].online, std::nullopt);
        // ID 5 answers, and ID 6's answer to an earlier query comes in the
        // same chunk: it predates the query to ID 6 and is dropped with it.
        receive(join({ five, reply(2, 6) }));
        EXPECT_EQ(view.images(), (std::vector<std::optional<bool>> { true, std::nullopt }));
        EXPECT_EQ(engine.PollID, 6);
        engine.stopPoll();
    }
}

// In the fast timing a probe that timed out keeps its answer overdue until
// the default window has passed: it is booked to the probed ID, behind a later
// probe's or ahead of it in the same chunk, but never once that window is over,
// never in the default timing, and never for an ID not yet probed.
TEST_F(EngineTest, AnOverdueProbeAnswerIsBookedToItsOwnIdOnlyInTheFastTiming)
{
    Bytes corrupt = reply(1, 9);
    corrupt.back() ^= 0x01;
    struct Case {
        const char* name;
        bool fast;
        int expired; // overdue waits that ran out before the chunk
        Bytes chunk; // while ID 11 is probed, 9 and 10 having timed out
        std::vector<std::pair<int, int>> entered;
    };
    const Case cases[] = {
        { "two probes late, then the probed ID", true, 0, join({ reply(1, 9), reply(3, 10), reply(4, 11) }),
            { { 9, 1 }, { 10, 3 }, { 11, 4 } } },
        { "default timing", false, 0, join({ reply(1, 9), reply(3, 10), reply(4, 11) }), { { 11, 4 } } },
        { "the oldest wait is over", true, 1, join({ reply(1, 9), reply(3, 10) }), { { 10, 3 } } },
        { "every wait is over", true, 2, join({ reply(1, 9), reply(3, 10) }), {} },
        { "bad checksum, an ID not probed yet", true, 0, join({ corrupt, reply(5, 12) }), {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reg.appended.clear();
        engine.setFastBus(c.fast);
        view.edit1 = "9";
        view.edit2 = "12";
        view.search();
        engine.onProbeTimeout();
        engine.onProbeTimeout();
        ASSERT_EQ(engine.SearchCursor, 11);
        for (int i = 0; i < c.expired; ++i)
            engine.onOverdueTimeout();
        receive(c.chunk);
        EXPECT_EQ(reg.appended, c.entered);
        view.search(); // stops it
        ASSERT_FALSE(engine.searchRunning());
    }
}

// The search waits past its last probe only while an answer is overdue.
TEST_F(EngineTest, TheFastSearchEndsWhenNoProbeAnswerIsOverdue)
{
    engine.setFastBus(true);
    view.edit1 = "9";
    view.edit2 = "10";
    view.search();
    engine.onProbeTimeout();
    engine.onProbeTimeout();
    EXPECT_TRUE(engine.searchRunning());
    EXPECT_FALSE(engine.probeTimer.isActive()) << "no further probe";
    receive(reply(3, 10));
    EXPECT_TRUE(engine.searchRunning()) << "ID 9 is still overdue";
    engine.onOverdueTimeout();
    EXPECT_FALSE(engine.searchRunning());
    EXPECT_EQ(reg.appended, (std::vector<std::pair<int, int>> { { 10, 3 } }));
    // Nothing of the ended search is booked afterwards.
    receive(reply(1, 9));
    EXPECT_EQ(reg.appended.size(), 1u);
}

// The poll's row that timed out in the fast timing is marked on-line by its
// own device's answer (group and ID) while its wait lasts; the row asked now
// still waits for its own answer.
TEST_F(EngineTest, AnOverduePollAnswerMarksOnlyItsOwnRow)
{
    using Images = std::vector<std::optional<bool>>;
    struct Case {
        const char* name;
        bool fast;
        std::function<void(ControlEngine&)> before;
        Bytes chunk;
        Images images;
    };
    const auto nothing = [](ControlEngine&) {};
    const Case cases[] = {
        { "its answer", true, nothing, reply(2, 5), { true, std::nullopt, std::nullopt } },
        { "default timing", false, nothing, reply(2, 5), { false, std::nullopt, std::nullopt } },
        { "another group", true, nothing, reply(3, 5), { false, std::nullopt, std::nullopt } },
        { "its wait is over", true, [](ControlEngine& e) { e.onOverdueTimeout(); }, reply(2, 5),
            { false, std::nullopt, std::nullopt } },
        { "the poll was stopped", true, [](ControlEngine& e) { e.stopPoll(); }, reply(2, 5),
            { false, std::nullopt, std::nullopt } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine.setFastBus(c.fast);
        pollAtRowOne();
        c.before(engine);
        receive(c.chunk);
        EXPECT_EQ(view.images(), c.images);
        engine.stopPoll();
    }
    // The last row's answer still counts after its round ended.
    engine.setFastBus(true);
    pollAtRowOne();
    engine.onPollTimeout();
    engine.onPollTimeout();
    receive(reply(4, 7));
    EXPECT_EQ(view.images(), (Images { false, false, true }));
}

TEST_F(EngineTest, TheFastTimingTakesItsTimeOutsFromTheLine)
{
    struct Case {
        int turnaroundMs, baud, timeoutMs;
    };
    // Query and reply (2 x 90 bits), the allowance, three byte times, rounded up.
    for (const Case c : { Case { 30, 4800, 38 + 30 + 7 }, Case { 0, 9600, 19 + 0 + 4 }, Case { 50, 1200, 150 + 50 + 25 } }) {
        engine.setFastBus(true, c.turnaroundMs, c.baud);
        engine.prepareRebuild();
        EXPECT_EQ(engine.pollTimer.interval(), c.timeoutMs) << c.baud;
        engine.onPollTimeout();
        EXPECT_EQ(engine.pollTimer.interval(), c.timeoutMs);
        EXPECT_EQ(engine.probeTimer.interval(), c.timeoutMs);
        EXPECT_EQ(engine.verifyTimer.interval(), c.timeoutMs);
    }
    engine.setFastBus(false);
    engine.prepareRebuild();
    EXPECT_EQ(engine.pollTimer.interval(), 500);
    engine.onPollTimeout();
    EXPECT_EQ(engine.pollTimer.interval(), 190);
    EXPECT_EQ(engine.probeTimer.interval(), 190);
    EXPECT_EQ(engine.verifyTimer.interval(), 500); // a re-addressed device gets the long window
}

// The fast timing knows a silent device once no byte of its answer has come by the query's end
// on the line + the turnaround + two byte times; an answer begun by then (its bytes still with
// the reader) is waited for to its end, and one that comes after the verdict is still booked to
// the device asked.
TEST_F(EngineTest, TheFastTimingKnowsASilentDeviceWhenNoAnswerHasBegun)
{
    using Images = std::vector<std::optional<bool>>;
    struct Case {
        const char* name;
        uint64_t begun;     // bytes the reader holds at the first time-out
        int timeouts;       // time-outs before the reply comes
        bool probe;         // a search's probe instead of a poll query
        Images images;      // rows 0 and 1 after the reply
        std::vector<std::pair<int, int>> found;
    };
    const Case cases[] = {
        { "nothing begun: silent, and its late answer still its own", 0, 1, false, { true, std::nullopt }, {} },
        { "begun just before the time-out", 3, 1, false, { true, std::nullopt }, {} },
        { "begun, then waited out", 3, 2, false, { true, std::nullopt }, {} },
        { "a probe begun just before the time-out", 3, 1, true, { std::nullopt, std::nullopt }, { { 5, 2 } } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint64_t received = 0;
        engine.setReceivedCount([&received] { return received; });
        engine.setFastBus(true, 30, 4800);
        reg.appended.clear();
        listDevices({ { 5, 2 }, { 6, 3 } });
        if (c.probe) {
            view.edit1 = "5";
            view.edit2 = "6";
            view.search();
        } else {
            engine.startPoll();
        }
        QTimer& timer = c.probe ? engine.probeTimer : engine.pollTimer;
        // The query on the line (19 ms), the turnaround and two byte times.
        EXPECT_GE(timer.interval(), 30 + 5);
        EXPECT_LE(timer.interval(), 19 + 30 + 5);
        received = c.begun;
        for (int k = 0; k < c.timeouts; ++k)
            c.probe ? engine.onProbeTimeout() : engine.onPollTimeout();
        const bool waiting = c.begun > 0 && c.timeouts == 1;
        EXPECT_EQ(view.rows[0].online, waiting ? std::nullopt : std::optional<bool>(false));
        if (waiting) {
            EXPECT_EQ(timer.interval(), 25) << "its reply and the reader's three byte times";
        }
        receive(reply(2, 5));
        if (!c.probe) {
            EXPECT_EQ(view.images(), c.images);
        }
        EXPECT_EQ(reg.appended, c.found);
        engine.portClosed(); // no time passes here: the next case starts on a line that is free
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// ---------------------------------------------------------------- what is chosen, and stop all

TEST_F(EngineTest, AddressesComeFromGroupIdsAndTheRegisterNeverFromAGuess)
{
    // A group table with IDs {0, 1, 2, 5}: the fourth group entry stands for group 5.
    view.entryGroups = { -1, 0, 1, 2, 5 };
    view.checked = std::vector<bool>(5, false);
    view.checked[4] = true;
    view.highlighted = 1;
    view.up();
    EXPECT_EQ(hexAll(wire), hexAll({ shortFrame(5, 0, CmdUp) }));

    // Device 7 left the register while its row (group 3) stayed listed.
    wire.clear();
    view.checked[4] = false;
    view.rows = { MemoryRow { 7, true, std::nullopt, -1, 3 }, MemoryRow { 8, true, std::nullopt, -1, 3 } };
    reg.groupById = { { 8, 3 } };
    view.up();
    drain();
    EXPECT_EQ(hexAll(wire), hexAll({ shortFrame(3, 8, CmdUp) }));
    EXPECT_EQ(view.missingTargets, std::vector<std::vector<int>> { { 7 } });
    wire.clear();
    view.stop(); // a Stop still reaches it where its row showed it
    drain();
    EXPECT_EQ(hexAll(wire), hexAll({ shortFrame(3, 7, CmdStop), shortFrame(3, 8, CmdStop) }));
    EXPECT_EQ(view.missingTargets.size(), 1u);
}

TEST_F(EngineTest, AVerificationHearingSeveralAnswersSaysTheAddressIsShared)
{
    listDevices({ { 40, 4 } });
    ASSERT_TRUE(engine.sendReaddress(255, 0, 4, 40));
    drain();
    ASSERT_EQ(hex(wire.back()), hex(shortFrame(4, 40, CmdAskState)));
    Bytes fifteen;
    for (int k = 0; k < 15; ++k) {
        const Bytes r = reply(4, 40);
        fifteen.insert(fifteen.end(), r.begin(), r.end());
    }
    receive(fifteen);
    EXPECT_EQ(view.shared, (std::vector<std::vector<std::pair<int, int>>> { { { 4, 40 } } }));
    EXPECT_TRUE(view.unanswered.empty());
}

// A port that holds frames until the test lets them leave, as a real line does.
class QueuedPortTest : public ::testing::Test {
public:
    EngineRecorder view;
    MemoryRegister reg;
    std::deque<Bytes> queued; // handed to the port, not yet on the line
    std::vector<Bytes> line;  // left the port, in order
    TxChannel tx { [this](const uint8_t* b, uint16_t n) {
        queued.emplace_back(b, b + n);
        return true;
    } };
    ControlEngine engine { reg, tx };

    void SetUp() override
    {
        view.attach(engine, reg);
        engine.Pause = [](int) {};
        engine.setLogWhenWritten(true);
        tx.Purge = [this] {
            const size_t n = queued.size();
            queued.clear();
            return n;
        };
    }
    // The oldest frame leaves the line; the port says so, and that it is empty when it is.
    void leave()
    {
        if (queued.empty())
            return;
        line.push_back(queued.front());
        queued.pop_front();
        engine.frameWritten();
        if (queued.empty())
            engine.lineIdle();
    }
    void run()
    {
        for (int guard = 0; guard < 3000 && !queued.empty(); ++guard)
            leave();
    }
};

TEST_F(QueuedPortTest, ThePollGoesOnAtItsRowAfterTheStopsWithTheLongWindow)
{
    for (int id : { 5, 6, 7 }) {
        view.rows.push_back(MemoryRow { id, false, std::nullopt, -1, std::nullopt });
        reg.groupById[id] = 2;
    }
    engine.startPoll();
    engine.onPollTimeout(); // row 0 silent
    engine.onPollTimeout(); // row 1 silent; row 2 asked
    engine.stopAll();
    engine.onStopRepeat();
    run();
    ASSERT_GE(line.size(), 2u);
    EXPECT_EQ(hex(line.back()), hex(shortFrame(2, 7, CmdAskState)));
    EXPECT_EQ(engine.pollTimer.interval(), ControlEngine::FirstPollTimeoutMs);
}

// However a motion ends, Stop reaches what it drove: each case leaves something moving, ends it, and
// every device must hear a stop after the last motion frame that reached it; a frame taken back is
// logged as dropped, never as sent, and the moves that never went out are named.
struct EndCase {
    const char* name;
    std::function<void(ControlEngine&, EngineRecorder&, QueuedPortTest&)> end;
    std::vector<ReaddressMove> dropped;
};

class MotionEndTest : public QueuedPortTest, public ::testing::WithParamInterface<EndCase> {
protected:
    // The last Up, Down or Stop that reaches (group, id) is a Stop.
    static bool stoppedLast(const std::vector<Bytes>& line, int group, int id)
    {
        for (auto it = line.rbegin(); it != line.rend(); ++it) {
            const DecodedFrame f = DecodeFrame(it->data());
            const uint8_t address = (*it)[3];
            if ((address == 0xFF || (address == 0xE0 + group && (f.id == 0 || f.id == id)))
                && (f.code == CmdUp || f.code == CmdDown || f.code == CmdStop))
                return f.code == CmdStop;
        }
        return true;
    }
};

TEST_P(MotionEndTest, EveryDeviceThatMovedHearsAStopLast)
{
    for (int id = 1; id <= 6; ++id) {
        view.rows.push_back(MemoryRow { id, id <= 4, std::nullopt, -1, std::nullopt });
        reg.groupById[id] = 2;
    }
    GetParam().end(engine, view, *this);
    run();
    for (int id = 1; id <= 6; ++id)
        EXPECT_TRUE(stoppedLast(line, 2, id)) << "device " << id;
    // Logged as sent only what left the port, in its order.
    size_t logged = 0;
    for (const Bytes& f : line)
        logged += logged < view.txLog.size() && view.txLog[logged] == f ? 1 : 0;
    EXPECT_EQ(logged, view.txLog.size());
    EXPECT_EQ(view.dropped.empty() ? std::vector<ReaddressMove> {} : view.dropped.front(), GetParam().dropped);
    EXPECT_FALSE(engine.searchRunning());
}

// Stop all: the broadcast stop, then the same once more; nothing queued goes after it.
void stopAllTwice(ControlEngine& e, QueuedPortTest& t)
{
    const size_t before = t.line.size();
    e.stopAll();
    t.run();
    e.onStopRepeat();
    t.run();
    const Bytes stop = shortFrame(0xFF, 0, CmdStop);
    ASSERT_GT(t.line.size(), before);
    EXPECT_EQ(hex(t.line[before]), hex(stop)); // the next frame on the line
    EXPECT_EQ(std::count(t.line.begin() + std::ptrdiff_t(before), t.line.end(), stop), 2);
}

INSTANTIATE_TEST_SUITE_P(Ends, MotionEndTest,
    ::testing::Values(
        EndCase { "StopAllDuringAPress",
            [](ControlEngine& e, EngineRecorder& v, QueuedPortTest& t) {
                v.up();
                t.leave();
                stopAllTwice(e, t);
            },
            {} },
        EndCase { "StopAllDuringTheSelfCheck",
            [](ControlEngine& e, EngineRecorder& v, QueuedPortTest& t) {
                v.edit3 = "60";
                v.selfCheck();
                t.leave();
                stopAllTwice(e, t);
                EXPECT_EQ(e.selfCheckPhase(), ControlEngine::SelfCheckPhase::Stopped);
            },
            {} },
        EndCase { "StopAllDuringASearch",
            [](ControlEngine& e, EngineRecorder& v, QueuedPortTest& t) {
                v.edit2 = "999";
                v.search();
                stopAllTwice(e, t);
            },
            {} },
        EndCase { "StopAllDuringABatchMove",
            [](ControlEngine& e, EngineRecorder&, QueuedPortTest& t) {
                e.sendReaddressBatch(2, 3, { 1, 2, 3, 4 });
                t.leave();
                stopAllTwice(e, t);
            },
            { { 2, 3, 2 }, { 2, 3, 3 }, { 2, 3, 4 } } },
        EndCase { "StopAllTakesBackASingleReaddress",
            [](ControlEngine& e, EngineRecorder&, QueuedPortTest& t) {
                e.sendReaddress(2, 5, 3, 16);
                stopAllTwice(e, t);
            },
            { { 2, 3, 16, 5 } } },
        // Up on four devices, then Stop, then another port before the stops are out.
        EndCase { "StopPressCutShortByAPortChange",
            [](ControlEngine& e, EngineRecorder& v, QueuedPortTest& t) {
                v.up();
                t.run();
                v.stop();
                t.leave();
                e.endForPortChange();
            },
            {} },
        // A stop-all whose stop waits behind the frame on the line, then another port.
        EndCase { "StopAllCutShortByAPortChange",
            [](ControlEngine& e, EngineRecorder& v, QueuedPortTest& t) {
                v.up();
                t.leave();
                e.stopAll();
                e.endForPortChange();
            },
            {} },
        // A plain Stop while the self-check runs ends it: its next period moves nothing.
        EndCase { "StopDuringTheSelfCheck",
            [](ControlEngine& e, EngineRecorder& v, QueuedPortTest& t) {
                v.edit3 = "60";
                v.selfCheck();
                t.run();
                for (MemoryRow& r : v.rows)
                    r.selected = false;
                v.stop();
                e.onSelfCheckPeriod();
            },
            {} },
        // The self-check's devices are stopped before one of them is re-addressed.
        EndCase { "ReaddressDuringTheSelfCheck",
            [](ControlEngine& e, EngineRecorder& v, QueuedPortTest& t) {
                v.edit3 = "60";
                v.selfCheck();
                t.run();
                e.sendReaddress(2, 1, 3, 1);
            },
            {} },
        // A stop-all while the box about a device the register lost is open: the press's Up
        // does not follow it.
        EndCase { "StopAllWhileAMessageIsOpen",
            [](ControlEngine& e, EngineRecorder& v, QueuedPortTest&) {
                v.rows.push_back(MemoryRow { 9, true, std::nullopt, -1, 2 });
                v.onMessage = [&e] { e.stopAll(); };
                v.up();
                e.onStopRepeat();
            },
            {} },
        // The adapter pulled during the self-check and plugged in again: the stops go first.
        EndCase { "PortLostAndBack",
            [](ControlEngine& e, EngineRecorder& v, QueuedPortTest& t) {
                v.edit3 = "60";
                v.selfCheck();
                t.leave();
                t.queued.clear(); // gone with the port
                e.portClosed();
                e.stopWhatMovedBeforeTheLoss();
            },
            {} }),
    [](const auto& info) { return std::string(info.param.name); });

// A frame written while a device answers garbles both on a two-wire bus: a press at each moment
// of an exchange (row 1 asked) goes out only once no answer is due, ahead of the next query; a
// stop goes at once and again after the answer.
struct DueCase {
    const char* name;
    std::function<void(EngineTest&, uint64_t& received)> steps;
    std::vector<Bytes> after; // on the wire after row 1's query
};

class AnswerDueTest : public EngineTest, public ::testing::WithParamInterface<DueCase> {
public:
    ControlEngine& e() { return engine; }
    EngineRecorder& v() { return view; }
    void answer(const Bytes& b) { receive(b); }
    std::vector<Bytes>& line() { return wire; }
};

TEST_P(AnswerDueTest, NoFrameIsWrittenOverAnAnswer)
{
    uint64_t received = 0;
    engine.setReceivedCount([&received] { return received; });
    pollAtRowOne();
    const size_t asked = wire.size();
    view.rows[0].selected = true; // device 5 in group 2
    GetParam().steps(*this, received);
    EXPECT_EQ(hexAll(std::vector<Bytes>(wire.begin() + std::ptrdiff_t(asked), wire.end())), hexAll(GetParam().after));
}

INSTANTIATE_TEST_SUITE_P(Moments, AnswerDueTest,
    ::testing::Values(
        DueCase { "AfterTheAnswerCouldHaveBegun",
            [](EngineTest& t, uint64_t&) {
                auto& s = static_cast<AnswerDueTest&>(t);
                s.e().onAnswerTimer();
                EXPECT_FALSE(s.e().answerDue());
                s.v().up();
            },
            { shortFrame(2, 5, CmdUp) } },
        DueCase { "BeforeTheAnswerCouldBegin",
            [](EngineTest& t, uint64_t&) {
                auto& s = static_cast<AnswerDueTest&>(t);
                s.v().up();
                EXPECT_TRUE(s.line().size() == 2u && s.e().framesHeld());
                s.e().onAnswerTimer(); // nothing came: the device is silent, the line free
            },
            { shortFrame(2, 5, CmdUp) } },
        // The reader holds the answer's first bytes: it is due until its last byte.
        DueCase { "WhileTheAnswerComes",
            [](EngineTest& t, uint64_t& received) {
                auto& s = static_cast<AnswerDueTest&>(t);
                s.v().up();
                received = 4;
                s.e().onAnswerTimer();
                EXPECT_TRUE(s.e().answerDue());
                EXPECT_EQ(s.line().size(), 2u);
                s.e().onAnswerTimer();
            },
            { shortFrame(2, 5, CmdUp) } },
        DueCase { "AnsweredMeanwhileGoesAheadOfTheNextQuery",
            [](EngineTest& t, uint64_t&) {
                auto& s = static_cast<AnswerDueTest&>(t);
                s.v().up();
                s.answer(reply(3, 6));
            },
            { shortFrame(2, 5, CmdUp), shortFrame(4, 7, CmdAskState) } },
        DueCase { "StopGoesAtOnceAndAgainAfterTheAnswer",
            [](EngineTest& t, uint64_t&) {
                auto& s = static_cast<AnswerDueTest&>(t);
                s.v().stop();
                s.answer(reply(3, 6));
            },
            { shortFrame(2, 5, CmdStop), shortFrame(2, 5, CmdStop), shortFrame(4, 7, CmdAskState) } },
        DueCase { "ReaddressWaitsToo",
            [](EngineTest& t, uint64_t&) {
                auto& s = static_cast<AnswerDueTest&>(t);
                ASSERT_TRUE(s.e().sendReaddress(2, 5, 9, 5));
                ASSERT_TRUE(s.e().sendReaddressBatch(4, 6, { 7 }));
                s.answer(reply(3, 6));
                s.e().lineIdle(); // row 2's answer is due now
                s.answer(reply(4, 7));
            },
            // Both go once the answer is in, ahead of row 2's query; the check of 9:5 follows it.
            { mediumFrame(2, 5, 9, 5), mediumFrame(4, 7, 6, 7), shortFrame(4, 7, CmdAskState),
                shortFrame(9, 5, CmdAskState) } },
        // A two-wire adapter hands the query back: that is no answer, and no answer begun.
        DueCase { "OwnEchoIsNoAnswer",
            [](EngineTest& t, uint64_t& received) {
                auto& s = static_cast<AnswerDueTest&>(t);
                received = 18;
                s.answer(shortFrame(2, 5, CmdAskState));
                s.answer(shortFrame(3, 6, CmdAskState));
                s.e().onPollTimeout(); // row 1 silent, row 2 asked
                received = 27;
                s.answer(shortFrame(4, 7, CmdAskState));
                s.v().up();
                s.e().onAnswerTimer();
                EXPECT_EQ(s.v().images(), (std::vector<std::optional<bool>> { false, false, std::nullopt }));
            },
            { shortFrame(4, 7, CmdAskState), shortFrame(2, 5, CmdUp) } },
        // One chunk of the default timing: the query's echo, the answer and the echo of a press
        // sent after it. The press's echo is no answer to the next query.
        DueCase { "EchoAfterTheAnswerInOneChunk",
            [](EngineTest& t, uint64_t& received) {
                auto& s = static_cast<AnswerDueTest&>(t);
                received = 18;
                s.answer(shortFrame(2, 5, CmdAskState));
                s.e().onAnswerTimer(); // row 1's answer has not begun: the press goes at once
                s.v().up();
                std::vector<uint8_t> chunk = shortFrame(3, 6, CmdAskState);
                for (const Bytes& b : { reply(3, 6), shortFrame(2, 5, CmdUp) })
                    chunk.insert(chunk.end(), b.begin(), b.end());
                received = 18 + 9 + 9;
                s.answer(chunk); // row 1 answered: row 2 asked
                s.v().down();
                EXPECT_TRUE(s.e().framesHeld());
                s.e().onAnswerTimer();
                EXPECT_FALSE(s.e().answerDue()) << "the Up's echo is not row 2's answer begun";
            },
            { shortFrame(2, 5, CmdUp), shortFrame(4, 7, CmdAskState), shortFrame(2, 5, CmdDown) } },
        // A reply the reader still held when the next query went out came before it: handed over
        // afterwards, it does not end that query's answer.
        DueCase { "AReplyHeldByTheReaderIsNotTheNextAnswer",
            [](EngineTest& t, uint64_t& received) {
                auto& s = static_cast<AnswerDueTest&>(t);
                received = 9;          // row 1's late reply, still with the reader
                s.e().onPollTimeout(); // row 1 silent; row 2 asked
                s.v().up();
                s.answer(reply(3, 6));
                EXPECT_TRUE(s.e().answerDue());
            },
            { shortFrame(4, 7, CmdAskState) } },
        // A stop-all takes back what waited: nothing of it follows the stop. Its second stop goes
        // once the answer is over, and the poll asks its row again behind it.
        DueCase { "StopAllDropsWhatWaited",
            [](EngineTest& t, uint64_t&) {
                auto& s = static_cast<AnswerDueTest&>(t);
                s.v().up();
                s.e().stopAll();
                s.e().onAnswerTimer();
                s.e().lineIdle();
            },
            { shortFrame(0xFF, 0, CmdStop), shortFrame(0xFF, 0, CmdStop), shortFrame(3, 6, CmdAskState) } }),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- owed stops

namespace {

Targets devicesOfGroup(uint8_t group, uint16_t first, uint16_t last)
{
    Targets t;
    for (uint16_t id = first; id <= last; ++id)
        t.devices.emplace_back(group, id);
    return t;
}

size_t countOf(const std::vector<Bytes>& frames, const Bytes& frame)
{
    return size_t(std::count(frames.begin(), frames.end(), frame));
}

} // namespace

// A Stop to forty devices, then an Up to another group before the line has carried the stops:
// every stop is on the wire before the Up, whatever the continuation had left.
TEST_F(EngineTest, ALaterPressLeavesEveryStopOfAStopPressInPlaceAndAhead)
{
    engine.move(CmdStop, devicesOfGroup(1, 1, 40));
    engine.move(CmdUp, Targets { { 2 }, {}, {} });
    drain();
    ASSERT_EQ(wire.size(), 41u);
    for (uint16_t id = 1; id <= 40; ++id)
        EXPECT_EQ(hex(wire[id - 1]), hex(shortFrame(1, id, CmdStop)));
    EXPECT_EQ(hex(wire.back()), hex(shortFrame(2, 0, CmdUp)));
}

// Stop all hands its stop to the port before anything else happens: when the lists hear of it,
// the stop is already there, and no status query (a verification the search held back) is
// handed over between the two stops.
TEST_F(EngineTest, StopAllHandsItsStopOverBeforeAnythingElse)
{
    listDevices({ { 5, 2 } });
    ASSERT_TRUE(engine.sendReaddress(2, 5, 3, 5)); // a verification waits for the search
    view.search();
    ASSERT_TRUE(engine.searchRunning());
    const size_t before = wire.size();
    size_t wireAtNotice = 0;
    QObject::connect(&engine, &ControlEngine::motionTargetsChanged, &view, [&] { wireAtNotice = wire.size(); });

    engine.stopAll();

    ASSERT_GT(wire.size(), before);
    EXPECT_EQ(hex(wire[before]), hex(shortFrame(0xFF, 0, CmdStop)));
    EXPECT_GT(wireAtNotice, before) << "the stop was handed over before the lists were told";
    EXPECT_EQ(wire.size(), before + 1) << "nothing follows the stop before its repeat";
    engine.onStopRepeat();
    EXPECT_EQ(hex(wire[before + 1]), hex(shortFrame(0xFF, 0, CmdStop)));
}

// Stop with nothing chosen is the broadcast stop, and like stop-all's it goes once more one
// answer window later.
TEST_F(EngineTest, StopWithNothingChosenGoesTwice)
{
    listDevices({ { 5, 2 } });
    view.stop();
    EXPECT_TRUE(engine.stopAllPending());
    EXPECT_EQ(engine.stopRepeatTimer.interval(), engine.pollTimeoutMs());
    engine.onStopRepeat();
    EXPECT_EQ(countOf(wire, shortFrame(0xFF, 0, CmdStop)), 2u);
}

// Stops the port took but had not written when it was lost are still owed: they go first once
// the port is back, followed by a stop to what had been set moving.
TEST_F(EngineTest, StopsLostWithThePortGoAgainWhenItIsBack)
{
    engine.setLogWhenWritten(true);
    engine.move(CmdUp, Targets { { 4 }, {}, {} });
    engine.frameWritten(); // the Up left the line
    engine.move(CmdStop, devicesOfGroup(1, 1, 3));
    view.portIsOpen = false;
    engine.portClosed();
    EXPECT_EQ(engine.owedStops(), devicesOfGroup(1, 1, 3));

    view.portIsOpen = true;
    const size_t before = wire.size();
    EXPECT_TRUE(engine.stopWhatMovedBeforeTheLoss());
    const std::vector<Bytes> again(wire.begin() + std::ptrdiff_t(before), wire.end());
    EXPECT_EQ(hexAll(again), hexAll({ shortFrame(1, 1, CmdStop), shortFrame(1, 2, CmdStop), shortFrame(1, 3, CmdStop),
                                      shortFrame(4, 0, CmdStop) }));
    for (size_t i = 0; i < again.size(); ++i)
        engine.frameWritten();
    EXPECT_TRUE(engine.owedStops().empty());
    EXPECT_TRUE(engine.stillMoving().empty());
}

// Stop all with the port closed: said as such (not as the port error alone), recorded as not
// sent, and kept for the port's return.
TEST_F(EngineTest, StopAllOnAClosedPortIsSaidAndOwed)
{
    int refused = 0, recorded = 0;
    QObject::connect(&engine, &ControlEngine::stopAllRefused, &view, [&] { ++refused; });
    QObject::connect(&engine, &ControlEngine::stoppedAll, &view, [&] { ++recorded; });
    view.portIsOpen = false;
    engine.stopAll();
    EXPECT_EQ(view.infos, std::vector<EngineMessage> { EngineMessage::StopAllNotSent });
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(recorded, 0);
    EXPECT_TRUE(wire.empty());

    view.portIsOpen = true;
    EXPECT_TRUE(engine.stopWhatMovedBeforeTheLoss());
    EXPECT_EQ(hexAll(wire), hexAll({ shortFrame(0xFF, 0, CmdStop) }));
    EXPECT_TRUE(engine.stopAllPending()) << "and once more, as a stop-all goes";
}

// The port goes while the search's question is open: no search on a closed port, and the
// register stays as it was.
TEST_F(EngineTest, ASearchConfirmedAfterThePortWentDoesNotStart)
{
    listDevices({ { 5, 2 } });
    view.onConfirm = [this] { view.portIsOpen = false; };
    view.search();
    EXPECT_FALSE(engine.searchRunning());
    EXPECT_EQ(reg.emptied, 0);
    EXPECT_EQ(view.infos, std::vector<EngineMessage> { EngineMessage::PortClosed });
}

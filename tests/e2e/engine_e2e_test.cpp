// The control engine over a real TComm (Comm1's settings, 4800 baud) and the
// simulated bus on a pseudo-terminal. Timers run in real time here; bounds on
// durations are deliberately loose.

#include "bench/engine_rig.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>

namespace {

using namespace std::chrono_literals;
using tarvello::EngineRig;

std::string hex(const std::vector<uint8_t>& b) { return HexLine(b.data(), b.size()); }

std::string frameHex(uint8_t group, uint16_t id, uint8_t cmd)
{
    uint8_t b[ShortFrameLength];
    EncodeShortFrame(CmdRecord { group, id, cmd }, b);
    return HexLine(b, ShortFrameLength);
}

class EngineE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        rig = std::make_unique<EngineRig>();
        ASSERT_NO_THROW(rig->open());
    }

    std::unique_ptr<EngineRig> rig;
};

TEST_F(EngineE2E, SearchEntersExactlyThePresentDevicesWithTheirGroups)
{
    rig->sim.addDevice(3, 4);
    rig->sim.addDevice(0, 11, 0xFD);
    rig->sim.addDevice(7, 17, 0xFE);
    rig->sim.addDevice(2, 25); // outside the range
    rig->listDevices({ { 900, 1 } });
    rig->view.edit1 = "1";
    rig->view.edit2 = "20";

    rig->view.search();
    ASSERT_TRUE(rig->engine.searchRunning());
    ASSERT_TRUE(EngineRig::runUntil([&] { return !rig->engine.searchRunning(); }, 15000));

    const std::vector<std::pair<int, int>> found { { 4, 3 }, { 11, 0 }, { 17, 7 } };
    EXPECT_EQ(rig->reg.appended, found);
    EXPECT_EQ(rig->reg.emptied, 1);
    EXPECT_EQ(rig->view.searched, found);
    ASSERT_EQ(rig->view.rows.size(), 3u);
    for (const auto& row : rig->view.rows)
        EXPECT_EQ(row.online, std::optional<bool>(true));

    // Each ID of the range was probed exactly once, in order.
    std::vector<uint16_t> probed;
    for (const ReceivedFrame& f : rig->sim.frames()) {
        EXPECT_EQ(f.address, BroadcastGroup);
        EXPECT_EQ(f.command, CmdAskState);
        probed.push_back(f.id);
    }
    std::vector<uint16_t> expected(20);
    for (int i = 0; i < 20; ++i)
        expected[size_t(i)] = uint16_t(i + 1);
    EXPECT_EQ(probed, expected);
    EXPECT_FALSE(rig->view.searchCaptionRunning);
    EXPECT_TRUE(rig->view.txLog.empty());
}

TEST_F(EngineE2E, PollMarksOnlyTheAnsweringDeviceAndTakesTheLongTimeOutFirst)
{
    rig->sim.addDevice(2, 6);
    rig->listDevices({ { 5, 2 }, { 6, 2 }, { 40, 7 } });

    const qint64 start = rig->view.clock.elapsed();
    rig->engine.prepareRebuild();
    rig->engine.startPoll();
    ASSERT_TRUE(EngineRig::runUntil([&] { return rig->pollDone(); }, 5000));

    const auto& rows = rig->view.rows;
    EXPECT_EQ(rows[0].online, std::optional<bool>(false));
    EXPECT_EQ(rows[1].online, std::optional<bool>(true));
    EXPECT_EQ(rows[2].online, std::optional<bool>(false));

    const qint64 firstTimeout = rows[0].markedAtMs - start;
    const qint64 answer = rows[1].markedAtMs - rows[0].markedAtMs;
    const qint64 lastTimeout = rows[2].markedAtMs - rows[1].markedAtMs;
    EXPECT_GE(firstTimeout, 480);
    EXPECT_LT(firstTimeout, 1500);
    EXPECT_LT(answer, 480) << "an answer moves on before any time-out";
    EXPECT_GE(lastTimeout, 180);
    EXPECT_LT(lastTimeout, 480);

    // Three status queries, one per row, and only the second device answered.
    std::vector<std::string> queries;
    for (const ReceivedFrame& f : rig->sim.frames())
        queries.push_back(hex(f.bytes));
    EXPECT_EQ(queries,
        (std::vector<std::string> { frameHex(2, 5, CmdAskState), frameHex(2, 6, CmdAskState),
            frameHex(7, 40, CmdAskState) }));
    EXPECT_EQ(rig->sim.replyCount(), 1u);
}

TEST_F(EngineE2E, LaterTimeOutsAreTheShortOnes)
{
    rig->listDevices({ { 1, 0 }, { 2, 0 }, { 3, 0 } }); // nobody on the bus
    const qint64 start = rig->view.clock.elapsed();
    rig->engine.prepareRebuild();
    rig->engine.startPoll();
    ASSERT_TRUE(EngineRig::runUntil([&] { return rig->pollDone(); }, 5000));

    const auto& rows = rig->view.rows;
    for (const auto& r : rows)
        EXPECT_EQ(r.online, std::optional<bool>(false));
    EXPECT_GE(rows[0].markedAtMs - start, 480);
    for (size_t i = 1; i < rows.size(); ++i) {
        const qint64 gap = rows[i].markedAtMs - rows[i - 1].markedAtMs;
        EXPECT_GE(gap, 180) << "row " << i;
        EXPECT_LT(gap, 480) << "row " << i;
    }
    EXPECT_EQ(rig->engine.pollTimer.interval(), ControlEngine::PollTimeoutMs);
}

TEST_F(EngineE2E, BadChecksumAndWrongGroupRepliesAreIgnored)
{
    rig->sim.addDevice(2, 5);
    rig->sim.setBadChecksum(2, 5);
    rig->sim.addDevice(3, 6);
    rig->sim.setWrongGroup(3, 6);
    rig->sim.addDevice(4, 7);
    rig->listDevices({ { 5, 2 }, { 6, 3 }, { 7, 4 } });

    rig->engine.prepareRebuild();
    rig->engine.startPoll();
    ASSERT_TRUE(EngineRig::runUntil([&] { return rig->pollDone(); }, 5000));

    const auto& rows = rig->view.rows;
    EXPECT_EQ(rows[0].online, std::optional<bool>(false));
    EXPECT_EQ(rows[1].online, std::optional<bool>(false));
    EXPECT_EQ(rows[2].online, std::optional<bool>(true));
    // The faulty devices did answer; their replies reached the log only.
    EXPECT_EQ(rig->sim.replyCount(), 3u);
    EXPECT_EQ(rig->view.rxLog.size(), 3u);
}

TEST_F(EngineE2E, AllDevicesEntrySendsOneBroadcastFrame)
{
    rig->sim.addDevice(1, 10);
    rig->sim.addDevice(9, 300);
    rig->view.checked[0] = true;

    rig->view.up();
    ASSERT_TRUE(rig->sim.waitForFrames(1, 2000ms));
    EngineRig::settle(300); // any continuation would have gone out by now

    const auto frames = rig->sim.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(hex(frames[0].bytes), "FF AC E1 FF 00 00 DD 01 DC ");
    EXPECT_EQ(rig->sim.device(1, 10)->motion, Motion::Up);
    EXPECT_EQ(rig->sim.device(9, 300)->motion, Motion::Up);
    EXPECT_EQ(rig->view.txLog.size(), 1u);
}

TEST_F(EngineE2E, TwoCheckedGroupsGoOutAsTwoGroupFramesInOrder)
{
    rig->sim.addDevice(1, 10);
    rig->sim.addDevice(2, 20);
    rig->sim.addDevice(5, 50);
    rig->view.checked[3] = true; // group 2
    rig->view.checked[6] = true; // group 5
    rig->view.highlighted = 1;

    rig->view.down();
    ASSERT_TRUE(EngineRig::runUntil([&] { return rig->sim.frameCount() >= 2; }, 3000));
    EngineRig::settle(300);

    const auto frames = rig->sim.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(hex(frames[0].bytes), frameHex(2, 0, CmdDown));
    EXPECT_EQ(hex(frames[1].bytes), frameHex(5, 0, CmdDown));
    EXPECT_LE(frames[0].time, frames[1].time);
    EXPECT_EQ(rig->sim.device(2, 20)->motion, Motion::Down);
    EXPECT_EQ(rig->sim.device(5, 50)->motion, Motion::Down);
    EXPECT_EQ(rig->sim.device(1, 10)->motion, Motion::Stopped);
}

TEST_F(EngineE2E, MotionToAClosedPortIsNeitherSentNorLogged)
{
    rig->sim.addDevice(1, 10);
    rig->view.checked[0] = true;
    rig->closePort();

    rig->view.up();
    EngineRig::settle(300);

    EXPECT_EQ(rig->sim.frameCount(), 0u);
    EXPECT_EQ(rig->sim.device(1, 10)->motion, Motion::Stopped);
    EXPECT_TRUE(rig->view.txLog.empty());
    EXPECT_EQ(rig->view.infos, std::vector<EngineMessage> { EngineMessage::PortClosed });
}

TEST_F(EngineE2E, AHangUpEndsThePollAndTakesItsBar)
{
    rig->listDevices({ { 1, 0 }, { 2, 0 }, { 3, 0 }, { 4, 0 } }); // nobody answers
    rig->engine.prepareRebuild();
    rig->engine.startPoll();
    ASSERT_TRUE(EngineRig::runUntil([&] { return rig->view.barExists; }, 2000));

    rig->sim.vanish();
    ASSERT_TRUE(EngineRig::runUntil([&] { return !rig->view.portIsOpen; }, 3000)) << "hang-up seen";

    EXPECT_FALSE(rig->view.barExists);
    EXPECT_FALSE(rig->engine.pollTimer.isActive());
    const auto marked = rig->view.images();
    EngineRig::settle(700); // longer than any time-out
    EXPECT_EQ(rig->view.images(), marked) << "the poll does not run on against the closed port";
}

// ---------------------------------------------------------------- re-addressing

// Every re-address frame and every verification is over.
bool readdressDone(const EngineRig& rig) { return rig.view.allRowsMarked() && !rig.engine.verifying(); }

std::vector<std::string> framesOnTheBus(const EngineRig& rig)
{
    std::vector<std::string> out;
    for (const ReceivedFrame& f : rig.sim.frames())
        out.push_back(hex(f.bytes));
    return out;
}

std::string readdressHex(uint8_t group, uint16_t id, uint8_t newGroup, uint16_t newId)
{
    uint8_t b[MediumFrameLength];
    EncodeMediumFrame(CmdRecord { group, id, CmdReaddress, newGroup, uint8_t(newId >> 8), uint8_t(newId & 0xFF) }, b);
    return HexLine(b, MediumFrameLength);
}

TEST_F(EngineE2E, AReaddressedDeviceTakesItsNewAddressAndAnswersThere)
{
    rig->sim.addDevice(2, 5);
    rig->listDevices({ { 7, 3 } }); // the list as the register now has it

    ASSERT_TRUE(rig->engine.sendReaddress(2, 5, 3, 7));
    ASSERT_TRUE(EngineRig::runUntil([&] { return readdressDone(*rig); }, 3000));

    EXPECT_FALSE(rig->sim.hasDevice(2, 5));
    EXPECT_TRUE(rig->sim.hasDevice(3, 7));
    EXPECT_EQ(rig->view.rows[0].online, std::optional<bool>(true));
    EXPECT_TRUE(rig->view.unanswered.empty());
    EXPECT_EQ(framesOnTheBus(*rig),
        (std::vector<std::string> { "FF AC E1 E2 00 05 6D 03 00 07 01 5E ", frameHex(3, 7, CmdAskState) }));
    ASSERT_EQ(rig->view.txLog.size(), 1u);
    EXPECT_EQ(hex(rig->view.txLog[0]), "FF AC E1 E2 00 05 6D 03 00 07 01 5E ");
    EXPECT_EQ(rig->view.rxLog.size(), 1u);
}

TEST_F(EngineE2E, AMoveOfThreeTakesEffectOnTheBusAndEachDeviceAnswersInItsNewGroup)
{
    for (uint16_t id : { 10, 11, 12, 13 })
        rig->sim.addDevice(1, id);
    rig->listDevices({ { 10, 3 }, { 11, 3 }, { 12, 3 } });

    ASSERT_TRUE(rig->engine.sendReaddressBatch(1, 3, { 10, 11, 12 }));
    ASSERT_TRUE(EngineRig::runUntil([&] { return readdressDone(*rig); }, 5000));

    for (uint16_t id : { 10, 11, 12 })
        EXPECT_TRUE(rig->sim.hasDevice(3, id)) << id;
    EXPECT_TRUE(rig->sim.hasDevice(1, 13)) << "a device not moved stays";
    EXPECT_EQ(rig->view.images(), (std::vector<std::optional<bool>> { true, true, true }));
    EXPECT_TRUE(rig->view.unanswered.empty());
    // All three frames first, then one query per device.
    EXPECT_EQ(framesOnTheBus(*rig),
        (std::vector<std::string> { readdressHex(1, 10, 3, 10), readdressHex(1, 11, 3, 11), readdressHex(1, 12, 3, 12),
            frameHex(3, 10, CmdAskState), frameHex(3, 11, CmdAskState), frameHex(3, 12, CmdAskState) }));
    EXPECT_EQ(rig->view.txLog.size(), 3u);
}

TEST_F(EngineE2E, ADeviceOffLineOnTheBusIsNamedAsNotAnswering)
{
    for (uint16_t id : { 10, 11, 12 })
        rig->sim.addDevice(1, id);
    rig->sim.setOffline(1, 11);
    rig->listDevices({ { 10, 3 }, { 11, 3 }, { 12, 3 } });

    ASSERT_TRUE(rig->engine.sendReaddressBatch(1, 3, { 10, 11, 12 }));
    ASSERT_TRUE(EngineRig::runUntil([&] { return readdressDone(*rig); }, 5000));

    EXPECT_EQ(rig->view.images(), (std::vector<std::optional<bool>> { true, false, true }));
    EXPECT_EQ(rig->view.unanswered, std::vector<std::vector<int>> { { 11 } });
    EXPECT_TRUE(rig->sim.hasDevice(1, 11)) << "it never heard its frame";
    EXPECT_TRUE(rig->sim.hasDevice(3, 10));
    EXPECT_TRUE(rig->sim.hasDevice(3, 12));
}

// A search of IDs 1..10 on a bus with one device of each fault, in the
// default and in the fast timing: both find the same devices, and the late
// reply, which comes while another ID is asked, is never entered. The split
// reply is tried with the simulator's gap (two chunks in either timing, the
// second after the time-out) and with a gap that the fast reader sees as two
// chunks but that leaves the reply within the time-out (it must be joined).
TEST(EngineE2EFast, FastBusFindsExactlyTheDevicesTheDefaultTimingFinds)
{
    struct Case {
        int splitGapMs;
        std::vector<std::pair<int, int>> found; // (ID, group) in probe order
    };
    const Case cases[] = {
        { 150, { { 2, 2 }, { 3, 3 }, { 4, 4 }, { 8, 8 } } },
        { 15, { { 2, 2 }, { 3, 3 }, { 4, 4 }, { 5, 5 }, { 8, 8 } } },
    };
    for (const Case& c : cases) {
        for (const bool fast : { false, true }) {
            SCOPED_TRACE(std::string(fast ? "fast" : "default") + ", split gap " + std::to_string(c.splitGapMs));
            EngineRig rig;
            for (uint8_t id : { 2, 3, 4, 5, 7, 8 })
                rig.sim.addDevice(id, id); // group = ID, so a reply booked to another ID shows
            rig.sim.setNoise(3, 3);
            rig.sim.setSplit(5, 5);
            rig.sim.setLate(7, 7);
            rig.sim.setSplitGap(std::chrono::milliseconds(c.splitGapMs));
            ASSERT_NO_THROW(rig.open());
            // Allowance for the split reply's gap on top of the turnaround.
            if (fast)
                rig.fastBus(60);
            rig.view.edit1 = "1";
            rig.view.edit2 = "10";
            rig.view.search();
            ASSERT_TRUE(EngineRig::runUntil([&] { return !rig.engine.searchRunning(); }, 10000));
            EngineRig::settle(300); // the late reply arrives after the search
            EXPECT_EQ(rig.reg.appended, c.found);
            if (fast) {
                // The split reply reached the fast reader in two chunks.
                EXPECT_GE(rig.view.rxLog.size(), c.found.size() + 2);
            }
        }
    }
}

// A crowded bus in the fast timing at its default allowance: the devices
// asked right after a split or a late reply answer behind it on the line, past
// their own time-out. Their answers are still booked to them, so both timings
// find the same devices, and none with another's group.
// On a two-wire line a press at any moment of a poll's exchange (during the query, the
// turnaround, the answer, or after it) reaches its device and garbles nothing, in both timings
// and behind an adapter that echoes what the PC sends.
TEST(EngineE2ETwoWire, APressAtEachMomentOfAnExchangeCollidesWithNothing)
{
    for (const bool fast : { false, true }) {
        SCOPED_TRACE(fast ? "fast, echo" : "default");
        BusSimulator::Options options;
        options.twoWire = true;
        options.echo = fast;
        EngineRig rig(options);
        for (uint16_t id : { 1, 2, 3 })
            rig.sim.addDevice(1, id);
        std::atomic<int> queries { 0 };
        rig.sim.setEventHook([&queries](const SimEvent& e) {
            if (e.kind == SimEventKind::FrameReceived && e.bytes.size() == size_t(ShortFrameLength)
                && e.bytes[6] == CmdAskState)
                ++queries;
        });
        ASSERT_NO_THROW(rig.open());
        if (fast)
            rig.fastBus();
        rig.listDevices({ { 1, 1 }, { 2, 1 }, { 3, 1 } });
        rig.view.rows[0].selected = true;

        int presses = 0;
        for (int delayMs = 0; delayMs <= 75; delayMs += 5) {
            // The poll runs round after round; the press comes delayMs after a query.
            const int seen = queries;
            ASSERT_TRUE(EngineRig::runUntil([&] {
                if (!rig.engine.pollTimer.isActive())
                    rig.engine.startPoll();
                return queries > seen;
            }, 2000));
            EngineRig::settle(delayMs);
            (presses++ % 2 == 0) ? rig.view.up() : rig.view.down();
        }
        ASSERT_TRUE(EngineRig::runUntil([&] {
            const auto frames = rig.sim.frames();
            return std::count_if(frames.begin(), frames.end(), [](const ReceivedFrame& f) {
                return f.checksumOk && (f.command == CmdUp || f.command == CmdDown);
            }) == presses;
        }, 3000));
        rig.engine.stopPoll();
        EngineRig::settle(200);
        EXPECT_EQ(rig.sim.collisions(), 0u);
        for (const SentReply& r : rig.sim.replies())
            EXPECT_FALSE(r.collided);
        EXPECT_EQ(rig.sim.device(1, 1)->motion, presses % 2 == 1 ? Motion::Up : Motion::Down);
    }
}

TEST(EngineE2EFast, AnswersHeldUpBehindAFaultyReplyAreFoundInBothTimings)
{
    const std::vector<std::pair<int, int>> found { { 4, 4 }, { 6, 6 }, { 8, 8 }, { 9, 9 }, { 10, 10 }, { 11, 11 } };
    for (const bool fast : { false, true }) {
        SCOPED_TRACE(fast ? "fast" : "default");
        EngineRig rig;
        for (uint8_t id = 4; id <= 11; ++id)
            rig.sim.addDevice(id, id);
        rig.sim.setSplit(5, 5);
        rig.sim.setLate(7, 7);
        ASSERT_NO_THROW(rig.open());
        if (fast)
            rig.fastBus();
        rig.view.edit1 = "4";
        rig.view.edit2 = "11";
        rig.view.search();
        ASSERT_TRUE(EngineRig::runUntil([&] { return !rig.engine.searchRunning(); }, 10000));
        EngineRig::settle(300);
        EXPECT_EQ(rig.reg.appended, found);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

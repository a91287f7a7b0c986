// The rule that makes a stop stick, on MotionSender alone: what is handed to the port, in which
// order, and what stays owed, for sequences of presses, refusals, take-backs and reports.
#include "protocol/motionsender.h"
#include "protocol/frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string name(const MotionFrame& f)
{
    const char* cmd = f.command == CmdStop ? "stop" : f.command == CmdUp ? "up" : f.command == CmdDown ? "down" : "?";
    const std::string where = f.group == BroadcastGroup ? "all" : std::to_string(f.group) + ":" + std::to_string(f.id);
    return std::string(cmd) + " " + where;
}

struct Port {
    bool open = true;
    std::vector<MotionFrame> handed;
    MotionSender sender { [this](const MotionFrame& f) {
        if (!open)
            return false;
        handed.push_back(f);
        return true;
    } };
    std::vector<std::string> names(size_t from = 0) const
    {
        std::vector<std::string> out;
        for (size_t i = from; i < handed.size(); ++i)
            out.push_back(name(handed[i]));
        return out;
    }
    void drain()
    {
        while (sender.sendNext()) {
        }
    }
};

Targets groups(std::vector<uint8_t> g) { return Targets { std::move(g), {}, {} }; }
Targets devices(std::vector<std::pair<uint8_t, uint16_t>> d) { return Targets { {}, std::move(d), {} }; }

using Names = std::vector<std::string>;

} // namespace

TEST(MotionSender, CoverageOfAStop)
{
    struct Case { MotionFrame stop, target; bool covered; };
    const Case cases[] = {
        { { BroadcastGroup, 0, CmdStop }, { 3, 7, 0 }, true },
        { { BroadcastGroup, 0, CmdStop }, { BroadcastGroup, 0, 0 }, true },
        { { 3, 0, CmdStop }, { 3, 7, 0 }, true },
        { { 3, 0, CmdStop }, { 3, 0, 0 }, true },
        { { 3, 0, CmdStop }, { 4, 7, 0 }, false },
        { { 3, 0, CmdStop }, { BroadcastGroup, 0, 0 }, false }, // a group stop leaves the rest moving
        { { 3, 7, CmdStop }, { 3, 7, 0 }, true },
        { { 3, 7, CmdStop }, { 3, 0, 0 }, false },              // one device of a moving group
        { { 3, 7, CmdStop }, { 2, 7, 0 }, false },              // the same ID in another group
    };
    for (const Case& c : cases)
        EXPECT_EQ(MotionSender::covers(c.stop, c.target), c.covered) << name(c.stop) << " over " << name(c.target);
}

TEST(MotionSender, FewestStopFrames)
{
    struct Case { Targets reach; Names frames; };
    std::vector<std::pair<uint8_t, uint16_t>> many;
    for (uint16_t id = 1; id <= MotionSender::MaxStopFrames + 1; ++id)
        many.emplace_back(1, id);
    const Case cases[] = {
        { Targets { { 2 }, { { 2, 5 }, { 3, 6 } }, {} }, { "stop 2:0", "stop 3:6" } },
        { Targets { { 2, BroadcastGroup }, { { 3, 6 } }, {} }, { "stop all" } },
        { devices(many), { "stop all" } },
        { Targets {}, {} },
    };
    for (const Case& c : cases) {
        Names got;
        for (const MotionFrame& f : MotionSender::stopFramesFor(c.reach))
            got.push_back(name(f));
        EXPECT_EQ(got, c.frames);
    }
}

TEST(MotionSender, OwedStopsSurviveRefusalsAndTakeBacksAndGoFirst)
{
    Port port;
    // A stop the closed port refused waits; an Up pressed on the port's return goes after it.
    port.open = false;
    EXPECT_FALSE(port.sender.press(CmdStop, groups({ 1 })));
    EXPECT_TRUE(port.sender.stopsWaiting());
    port.open = true;
    size_t mark = port.handed.size();
    port.sender.press(CmdUp, devices({ { 2, 5 }, { 2, 6 } }));
    EXPECT_EQ(port.names(mark), (Names { "stop 1:0", "up 2:5" }));
    // The port gives a stop back (a purge): it goes again ahead of the rest of the Up.
    port.sender.press(CmdStop, devices({ { 3, 9 } }));
    port.sender.frameTakenBack({ 3, 9, CmdStop });
    mark = port.handed.size();
    port.drain();
    EXPECT_EQ(port.names(mark), (Names { "stop 3:9", "up 2:6" }));
    // A Stop takes out the unsent rest of a press it reaches, nothing else.
    port.sender.press(CmdDown, devices({ { 4, 1 }, { 4, 2 }, { 5, 3 } }));
    mark = port.handed.size();
    port.sender.press(CmdStop, groups({ 4 }));
    port.drain();
    EXPECT_EQ(port.names(mark), (Names { "stop 4:0", "down 5:3" }));
    // Stop all: the broadcast stop replaces every stop still waiting and the rest of the press.
    port.open = false;
    port.sender.press(CmdStop, groups({ 6 }));
    port.sender.press(CmdUp, devices({ { 7, 1 }, { 7, 2 } }));
    EXPECT_FALSE(port.sender.stopEverything());
    port.open = true;
    mark = port.handed.size();
    port.drain();
    EXPECT_EQ(port.names(mark), (Names { "stop all" }));
}

// [BUS] PollEverySeconds: the window polls its rows again while the bus is idle, and never cuts
// into a search.
#include <gtest/gtest.h>

#include "app/mainwindow.h"
#include "register/register.h"
#include "testsupport.h"

TEST(IdlePollTest, TheSettingArmsTheTimerAndATurnPollsOnlyAnIdleBus)
{
    const struct {
        const char* setting;
        int intervalMs; // 0: no timer
    } cases[] = { { "", 0 }, { "PollEverySeconds=0\n", 0 }, { "PollEverySeconds=-5\n", 0 }, { "PollEverySeconds=7\n", 7000 } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        DataDir dir;
        PtyMaster bus;
        dir.writeIni("[PORTS]\nCOM1=" + bus.slavePath().toLocal8Bit() + "\n[BUS]\n" + c.setting);
        {
            TRegister reg(dir.path());
            reg.Open();
            for (int id : { 5, 6 }) {
                reg.Member_Table.Append();
                reg.Member_Table.SetFieldByName(QStringLiteral("ID"), id);
                reg.Member_Table.SetFieldByName(QStringLiteral("Group_ID"), 1);
                reg.Member_Table.Post();
            }
        }
        MainWindow f(dir.path());
        LogInAs(f, ModeOperator);
        ASSERT_TRUE(f.startUp());
        EXPECT_EQ(f.idlePollTimer().isActive(), c.intervalMs > 0);
        if (c.intervalMs > 0) {
            EXPECT_EQ(f.idlePollTimer().interval(), c.intervalMs);
        }

        // The rebuild's poll is under way: a turn now leaves it be.
        ControlEngine& engine = f.session().engine();
        ASSERT_TRUE(engine.pollTimer.isActive());
        EXPECT_FALSE(f.idle());
        engine.stopPoll();
        EXPECT_TRUE(RunUntil([&] { return f.idle(); })) << engine.answerDue(); // the last query's answer window
        f.idlePollDue();
        EXPECT_TRUE(engine.pollTimer.isActive()); // a new poll from the first row
        EXPECT_EQ(engine.PollIndex, 0);

        // A search is never cut short by a turn.
        engine.stopPoll();
        engine.searchClicked(1, 20, [] { return true; });
        ASSERT_TRUE(engine.searchRunning());
        f.idlePollDue();
        EXPECT_TRUE(engine.searchRunning());
        EXPECT_FALSE(engine.pollTimer.isActive());
        f.close();
    }
}

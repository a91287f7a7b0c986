#include <gtest/gtest.h>

#include <QTest>
#include <QToolButton>

#include "app/mainwindow.h"
#include "app/windowplacement.h"
#include "editor/groupeditor.h"
#include "testsupport.h"

// A window goes beside the main window where the screen has room for it, else into the nearest
// band of the screen that leaves the motion panel free, narrowed to that band when it must be.
TEST(WindowPlacement, BesideTheMainWindowOrClearOfThePanel)
{
    const QRect wide(0, 0, 1920, 1080);
    const struct {
        const char* name;
        QSize size;
        QRect main, panel, screen;
        QRect expected;
    } cases[] = {
        {"right of it", {400, 300}, {540, 270, 840, 540}, {1160, 310, 220, 480}, wide, {1380, 270, 400, 300}},
        {"left of it at the screen's right edge", {400, 300}, {1080, 270, 840, 540}, {1700, 310, 220, 480}, wide,
         {680, 270, 400, 300}},
        {"slid up along its edge", {400, 500}, {540, 800, 840, 280}, {1160, 810, 220, 260}, wide, {1380, 580, 400, 500}},
        {"below a window as wide as the screen", {600, 300}, {0, 0, 1920, 700}, {1700, 40, 220, 600}, wide,
         {0, 700, 600, 300}},
        {"too big to go beside: left of the panel, covering least of the main window", {1100, 720},
         {540, 100, 840, 800}, {1160, 140, 220, 480}, wide, {60, 360, 1100, 720}},
        {"a little too wide for either side: at the screen's edge", {446, 471}, {419, 182, 830, 534},
         {1039, 222, 210, 480}, {0, 0, 1600, 900}, {0, 182, 446, 471}},
        {"a small screen: narrowed to the room left of the panel", {700, 500}, {0, 0, 800, 560}, {580, 40, 220, 480},
         {0, 0, 800, 600}, {0, 100, 580, 500}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Placement p = PlaceBeside(c.size, c.main, c.panel, c.screen);
        const QRect got(p.topLeft, p.size);
        EXPECT_EQ(got, c.expected);
        EXPECT_TRUE(c.screen.contains(got));
        EXPECT_FALSE(got.intersects(c.panel));
    }
}

TEST(WindowPlacement, StoredPlacesAreReadBackOrIgnored)
{
    EXPECT_EQ(ParsePlace(PlaceText(QRect(-10, 20, 300, 200), false)), QRect(-10, 20, 0, 0));
    EXPECT_EQ(ParsePlace(PlaceText(QRect(10, 20, 300, 200), true)), QRect(10, 20, 300, 200));
    for (const char* bad : {"", "a,b", "1,2,3", "1,2,0,5", "1,,2"}) EXPECT_FALSE(ParsePlace(bad)) << bad;
}

// The editor opens clear of the motion panel, and where the operator put it once, it opens again,
// also in the next run.
TEST(WindowPlacement, TheEditorKeepsThePanelFreeAndComesBackWhereItWasPut)
{
    DataDir dir;
    RecordingMessages messages;
    QPoint put;
    for (int run = 0; run < 2; ++run) {
        MainWindow form(dir.path(), nullptr, NowherePort);
        LogInAs(form, ModeAdministrator);
        form.startUp();
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        form.controls().groupsButton->click();
        GroupEditor* editor = form.groupEditor();
        ASSERT_TRUE(editor->isVisible());
        QWidget* panel = form.controls().controlPanel;
        const QRect panelOnScreen(panel->mapToGlobal(QPoint(0, 0)), panel->size());
        if (run == 0) {
            EXPECT_FALSE(editor->frameGeometry().intersects(panelOnScreen));
            put = editor->frameGeometry().topLeft() + QPoint(7, 5);
            editor->move(put);
        } else {
            EXPECT_EQ(editor->frameGeometry().topLeft(), put);
        }
        editor->close();
    }
}

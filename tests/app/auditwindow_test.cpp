// The audit window over a real record in a temporary folder: what its filters leave in the table,
// the timeline's bands, the exports, a device it cannot read, and both languages.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QWheelEvent>

#include <functional>

#include <memory>
#include <optional>

#include "app/auditwindow.h"
#include "app/timelinestrip.h"
#include "audit/auditlog.h"
#include "common/texts.h"
#include "testsupport.h"
#include "ui/language.h"

namespace {

// Days back from today, so the record's keep time never reaches the rows.
QDate day(int n)
{
    return QDate::currentDate().addDays(-20 + n);
}

QDateTime at(int n, int h, int m = 0, int s = 0)
{
    return QDateTime(day(n), QTime(h, m, s)).toUTC();
}

// The box and the window it stood in front of.
struct Boxes : RecordingMessages {
    bool show(QWidget* parent, Kind kind, const QString& text) override
    {
        parents.append(parent);
        return RecordingMessages::show(parent, kind, text);
    }
    QList<QWidget*> parents;
};

// Seven actions over ten days, the detail naming each; three devices' on-line history.
struct AuditWindowTest : ::testing::Test {
    DataDir dir;
    Boxes boxes;
    std::unique_ptr<AuditLog> log;
    std::unique_ptr<QWidget> owner = std::make_unique<QWidget>();
    std::unique_ptr<AuditWindow> window;

    void SetUp() override
    {
        setCurrentLanguage(1);
        log = std::make_unique<AuditLog>(dir.path());
        const auto add = [&](const QDateTime& time, const char* action, const char* detail,
                             std::vector<AuditDevice> devices) {
            log->record({time, ModeAdministrator, QStringLiteral("window"), QStringLiteral("ops"),
                         QString::fromLatin1(action), QString::fromLatin1(detail), std::move(devices)});
        };
        add(at(1, 9), "log-in", "d1", {});
        add(at(4, 10), "move", "d2", {{1, 5}});
        add(at(4, 10, 5), "move", "d3", {{1, 5}, {1, 6}});
        add(at(6, 12), "stop-all", "d4", {});
        add(at(7, 8), "readdress", "d5", {{2, 7}});
        add(at(8, 23, 59, 59), "move", "d6", {{2, 7}});
        add(at(9, 0, 0, 1), "search", "d7", {});
        const auto state = [&](const QDateTime& time, int group, int id, DeviceState s) {
            log->recordState({time, group, id, s});
        };
        state(at(0, 6), 1, 5, DeviceState::Online);   // before the range: its left edge
        state(at(4, 12), 1, 5, DeviceState::Offline);
        state(at(6, 12), 1, 5, DeviceState::Unknown);
        state(at(5, 0), 1, 5, DeviceState::Offline);  // a repeat: no band of its own
        state(at(5, 0), 1, 6, DeviceState::Online);
        state(at(7, 0), 2, 7, DeviceState::Offline);
        log->flush();
        window = std::make_unique<AuditWindow>(*log, owner.get());
        showRange(1, 9);
    }
    void showRange(int from, int to)
    {
        window->fromDate()->setDate(day(from));
        window->toDate()->setDate(day(to));
        window->refresh();
    }
    void filter(const char* action, const QString& devices)
    {
        window->deviceField()->setText(devices);
        QComboBox* actions = window->actionSelector();
        actions->setCurrentIndex(std::max(0, actions->findData(QString::fromLatin1(action))));
        window->applyButton()->click();
    }
    QStringList column(int c) const
    {
        QStringList cells;
        for (int r = 0; r < window->model()->rowCount(); ++r)
            cells << window->model()->index(r, c).data().toString();
        return cells;
    }
};

TEST_F(AuditWindowTest, FiltersNarrowTheTableNewestFirst)
{
    struct Case {
        const char* name;
        int from, to;
        const char* action;
        QString devices;
        QStringList details;
    } cases[] = {
        {"everything", 0, 9, "", "", {"d7", "d6", "d5", "d4", "d3", "d2", "d1"}},
        {"middle_days", 4, 7, "", "", {"d5", "d4", "d3", "d2"}},
        {"one_day_to_its_last_second", 8, 8, "", "", {"d6"}},
        {"action", 0, 9, "move", "", {"d6", "d3", "d2"}},
        // A named device's changes of state are rows too: the table never says "0 rows" beside a strip with bands.
        {"device", 0, 9, "", "1:6", {"On line", "d3"}},
        {"device_without_actions", 0, 9, "", "2:7", {"d6", "d5", "Off line"}},
        {"two_devices_each_row_once", 0, 9, "", "2:7, 1:5",
         {"d6", "d5", "Off line", "Unknown", "Off line", "Off line", "d3", "d2", "On line"}},
        {"states_within_the_dates", 5, 6, "state", "1:5, 1:6", {"Unknown", "Off line", "On line"}},
        {"states_need_devices", 0, 9, "state", "", {}},
        {"all_three", 4, 4, "move", "1:5", {"d3", "d2"}},
        {"nothing_left", 0, 9, "search", "1:5", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        filter(c.action, c.devices);
        showRange(c.from, c.to);
        EXPECT_EQ(column(AuditTableModel::DetailColumn), c.details);
        EXPECT_TRUE(boxes.texts.isEmpty());
    }
    // The cells of one row as read in English.
    filter("move", "1:6");
    EXPECT_EQ(window->model()->index(0, AuditTableModel::TimeColumn).data().toString(),
              QDateTime(day(4), QTime(10, 5)).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    EXPECT_EQ(window->model()->index(0, AuditTableModel::LevelColumn).data().toString(), QStringLiteral("Administrator"));
    EXPECT_EQ(window->model()->index(0, AuditTableModel::ActionColumn).data().toString(), QStringLiteral("Move"));
    EXPECT_EQ(window->model()->index(0, AuditTableModel::ActionColumn).data(AuditTableModel::ActionKeyRole),
              QStringLiteral("move"));
    EXPECT_EQ(window->model()->index(0, AuditTableModel::DevicesColumn).data().toString(), QStringLiteral("1:5, 1:6"));
}

// 1:5 was on line before the range, goes off line, then unknown; 1:6 is unknown until it comes on
// line; 2:7 goes off line. Read off the strip as drawn.
TEST_F(AuditWindowTest, TimelineLanesShowEachDevicesStateInItsColour)
{
    filter("", QStringLiteral("1:5 1:6 2:7"));
    TimelineStrip* strip = window->timeline();
    strip->resize(900, 300);
    const QImage image = strip->grab().toImage();
    struct Case {
        int lane;
        QDateTime time;
        DeviceState state;
    } cases[] = {
        // Half past odd hours: clear of the lane's edges and of the ticks' lines.
        {0, at(1, 5, 30), DeviceState::Online},  {0, at(4, 7, 30), DeviceState::Online},
        {0, at(5, 13, 30), DeviceState::Offline}, {0, at(8, 13, 30), DeviceState::Unknown},
        {1, at(2, 5, 30), DeviceState::Unknown},  {1, at(6, 11, 30), DeviceState::Online},
        {2, at(3, 7, 30), DeviceState::Unknown},  {2, at(9, 17, 30), DeviceState::Offline},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "lane " << c.lane << " at " << c.time.toString().toStdString());
        const QRect lane = strip->laneRect(strip->rect(), strip->fontMetrics(), c.lane);
        const QPoint point(strip->xAt(lane, c.time), lane.center().y());
        EXPECT_EQ(image.pixelColor(point).rgb(), TimelineColor(c.state).rgb());
    }
    EXPECT_EQ(strip->bands(0).size(), 3u) << "repeated or foreign changes make no band";

    // With the field empty, the devices are those of the selected rows.
    filter("", QString());
    window->table()->selectRow(2); // d5: 2:7
    window->table()->selectionModel()->select(window->model()->index(4, 0),
                                              QItemSelectionModel::Select | QItemSelectionModel::Rows); // d3
    EXPECT_EQ(window->timelineDevices(), (std::vector<AuditDevice>{{1, 5}, {1, 6}, {2, 7}}));
    EXPECT_EQ(strip->devices(), window->timelineDevices());
}

TEST_F(AuditWindowTest, ExportsWriteWholeFilesOrSayWhyNot)
{
    filter("move", QString());
    QTemporaryDir out;
    struct Case {
        const char* name;
        bool picture;
        QString path;
        bool written;
    } cases[] = {
        {"csv", false, out.filePath("audit.csv"), true},
        {"png", true, out.filePath("online.png"), true},
        {"csv_into_no_folder", false, out.filePath("missing/audit.csv"), false},
        {"png_into_no_folder", true, out.filePath("missing/online.png"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.texts.clear();
        boxes.parents.clear();
        EXPECT_EQ(c.picture ? window->exportPng(c.path) : window->exportCsv(c.path), c.written);
        EXPECT_EQ(QFile::exists(c.path), c.written);
        EXPECT_EQ(boxes.texts.size(), c.written ? 0 : 1);
        if (!c.written) {
            EXPECT_TRUE(boxes.texts.value(0).contains(QStringLiteral("could not be")));
            EXPECT_EQ(boxes.parents.value(0), window.get());
        }
    }
    QFile csv(out.filePath("audit.csv"));
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    const QByteArray bytes = csv.readAll();
    EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
    EXPECT_EQ(bytes, AuditCsv(window->model()->rows())) << "the rows the table shows, as the record writes them";
    EXPECT_TRUE(bytes.contains("d6") && bytes.contains("d3") && bytes.contains("d2"));
    EXPECT_FALSE(bytes.contains("d1") || bytes.contains("d4") || bytes.contains("d5") || bytes.contains("d7"));
    EXPECT_FALSE(QImage(out.filePath("online.png")).isNull());

    // The button asks where; an empty answer writes nothing.
    QStringList asked;
    window->chooseExportFile = [&](const QString& title, const QString&, const QString& proposed) {
        asked << title << QFileInfo(proposed).suffix();
        return asked.size() > 2 ? out.filePath("chosen.csv") : QString();
    };
    window->exportCsvButton()->click();
    window->exportCsvButton()->click();
    EXPECT_EQ(asked, QStringList({"Export the audit record", "csv", "Export the audit record", "csv"}));
    EXPECT_TRUE(QFile::exists(out.filePath("chosen.csv")));
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files).size(), 3);
}

TEST_F(AuditWindowTest, ADeviceNotUnderstoodIsSaidOnceAndLeavesTheTable)
{
    struct Case {
        QString text;
        std::optional<std::vector<AuditDevice>> devices;
    } cases[] = {
        {"", std::vector<AuditDevice>{}},
        {" 1:5 ", std::vector<AuditDevice>{{1, 5}}},
        {"1:5,2:7;1:5", std::vector<AuditDevice>{{1, 5}, {2, 7}}},
        {"0:999", std::vector<AuditDevice>{{0, 999}}},
        {"5", std::nullopt},
        {"1:0", std::nullopt},
        {"16:1", std::nullopt},
        {"1:1000", std::nullopt},
        {"a:b", std::nullopt},
        {"1:5, x", std::nullopt},
        {"-1:5", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(ParseAuditDevices(c.text), c.devices);
        filter("", QString());
        const int rows = window->model()->rowCount();
        boxes.texts.clear();
        boxes.parents.clear();
        filter("", c.text);
        if (c.devices) {
            EXPECT_TRUE(boxes.texts.isEmpty());
            continue;
        }
        ASSERT_EQ(boxes.texts.size(), 1);
        EXPECT_EQ(boxes.kinds.last(), MessageSink::Kind::Error);
        EXPECT_TRUE(boxes.texts[0].contains(QStringLiteral("\"%1\"").arg(c.text.trimmed())));
        EXPECT_TRUE(boxes.texts[0].contains(QStringLiteral("G:ID")));
        EXPECT_EQ(boxes.parents[0], window.get());
        EXPECT_EQ(window->model()->rowCount(), rows);
    }
    setCurrentLanguage(0);
    boxes.texts.clear();
    filter("", QStringLiteral("1-5"));
    EXPECT_TRUE(boxes.texts.value(0).startsWith(QStringLiteral("设备“1-5”无法识别")));
}

// The dates open on the record's own days (at most a month back); "Today", "Whole record" and a
// date typed into From set them; the strip's view opens on the part the record covers and follows
// the wheel and a dragged range.
TEST_F(AuditWindowTest, DatesAndTheTimelinesViewFollowTheRecordAndTheUser)
{
    AuditWindow fresh(*log, owner.get());
    EXPECT_EQ(fresh.fromDate()->date(), day(0)) << "the record's first day, not a month back";
    EXPECT_EQ(fresh.toDate()->date(), QDate::currentDate());

    struct Case {
        const char* name;
        std::function<void()> act;
        QDate from, to;
        QStringList details;
    } cases[] = {
        {"today", [&] { window->todayButton()->click(); }, QDate::currentDate(), QDate::currentDate(), {}},
        {"whole_record", [&] { window->wholeRecordButton()->click(); }, day(0), QDate::currentDate(),
         {"d7", "d6", "d5", "d4", "d3", "d2", "d1"}},
        {"typed_from", [&] {
             window->fromDate()->setFocus();
             window->fromDate()->setSelectedSection(QDateTimeEdit::YearSection);
             QTest::keyClick(window->fromDate(), Qt::Key_A, Qt::ControlModifier);
             QTest::keyClicks(window->fromDate(), day(7).toString(QStringLiteral("yyyy-MM-dd")));
             QTest::keyClick(window->fromDate(), Qt::Key_Return);
         }, day(7), day(9), {"d7", "d6", "d5"}},
        {"typed_and_applied", [&] {
             window->fromDate()->findChild<QLineEdit*>()->setText(day(8).toString(QStringLiteral("yyyy-MM-dd")));
             window->applyButton()->click();
         }, day(8), day(9), {"d7", "d6"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        showRange(1, 9);
        c.act();
        EXPECT_EQ(window->fromDate()->date(), c.from);
        EXPECT_EQ(window->toDate()->date(), c.to);
        EXPECT_EQ(column(AuditTableModel::DetailColumn), c.details);
    }

    // The view: over dates reaching today, from the record's first row to now, not to the end of today.
    filter("", QStringLiteral("1:5"));
    window->wholeRecordButton()->click();
    TimelineStrip* strip = window->timeline();
    strip->resize(900, 200);
    EXPECT_EQ(strip->viewFrom(), at(0, 6)) << "1:5's first change is the record's oldest row";
    EXPECT_LE(std::abs(strip->viewTo().secsTo(QDateTime::currentDateTimeUtc())), 60);
    const QRect lane = strip->laneRect(strip->rect(), strip->fontMetrics(), 0);
    const QDateTime before = strip->viewFrom(), after = strip->viewTo();
    const int x = lane.left() + lane.width() / 4;
    const QDateTime under = strip->timeAt(lane, x);
    QWheelEvent in(QPointF(x, lane.center().y()), strip->mapToGlobal(QPointF(x, lane.center().y())), {}, {0, 240},
                   Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(strip, &in);
    EXPECT_NEAR(double(strip->viewFrom().msecsTo(strip->viewTo())), 0.64 * double(before.msecsTo(after)), 1000.0);
    EXPECT_LE(std::abs(strip->timeAt(lane, x).secsTo(under)), before.secsTo(after) / lane.width() + 1) << "zoomed about the pointer";
    for (int turn = 0; turn < 20; ++turn) {
        QWheelEvent out(QPointF(x, lane.center().y()), strip->mapToGlobal(QPointF(x, lane.center().y())), {}, {0, -120},
                        Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(strip, &out);
    }
    EXPECT_GE(strip->viewFrom(), window->fromDate()->date().startOfDay().toUTC()) << "never past the dates";
    EXPECT_LE(strip->viewTo(), window->toDate()->date().endOfDay().toUTC());
    // A range dragged across the lanes becomes the view.
    const int left = lane.left() + lane.width() / 5, right = lane.left() + lane.width() / 2;
    const QDateTime wantFrom = strip->timeAt(lane, left), wantTo = strip->timeAt(lane, right);
    QTest::mousePress(strip, Qt::LeftButton, {}, QPoint(left, lane.center().y()));
    QTest::mouseMove(strip, QPoint(right, lane.center().y()));
    QTest::mouseRelease(strip, Qt::LeftButton, {}, QPoint(right, lane.center().y()));
    EXPECT_EQ(strip->viewFrom(), wantFrom);
    EXPECT_EQ(strip->viewTo(), wantTo);
}

// A record begun two hours ago, shown under the dates it opens with: the device's band fills the
// lane rather than a sliver at its right end.
TEST(AuditWindowOfToday, TheTimelineOpensOnTheHoursTheRecordHolds)
{
    setCurrentLanguage(1);
    DataDir dir;
    AuditLog log(dir.path());
    const QDateTime now = QDateTime::currentDateTimeUtc();
    log.record({now.addSecs(-7200), ModeOperator, QStringLiteral("window"), QStringLiteral("ops"), QStringLiteral("log-in"),
                QStringLiteral("operator"), {}});
    log.recordState({now.addSecs(-7000), 1, 1, DeviceState::Online});
    log.flush();
    QWidget owner;
    AuditWindow window(log, &owner);
    window.deviceField()->setText(QStringLiteral("1:1"));
    window.applyButton()->click();
    EXPECT_EQ(window.fromDate()->date(), QDate::currentDate());
    EXPECT_EQ(window.model()->rowCount(), 1) << "the device's change of state; the log-in names no device";
    TimelineStrip* strip = window.timeline();
    strip->resize(900, 200);
    ASSERT_EQ(strip->bands(0).size(), 2u);
    const QRect lane = strip->laneRect(strip->rect(), strip->fontMetrics(), 0);
    const int online = strip->xAt(lane, strip->bands(0)[1].to) - strip->xAt(lane, strip->bands(0)[1].from);
    EXPECT_GT(online, lane.width() * 9 / 10);
}

TEST_F(AuditWindowTest, LanguageSwitchRetitlesWindowHeadersAndCells)
{
    filter("move", QString());
    struct Case {
        int16_t language;
        QString title, apply, moveItem, moveCell, today, wholeRecord;
        QStringList headers;
    } cases[] = {
        {0, "审计", "查询", "运动 (move)", "运动", "今天", "全部记录", {"时间", "级别", "来源", "用户", "操作", "详情", "设备"}},
        {1, "Audit", "Apply", "Move (move)", "Move", "Today", "Whole record", {"Time", "Level", "Source", "User", "Action", "Detail", "Devices"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.language);
        switchLanguage(c.language);
        EXPECT_EQ(window->windowTitle(), c.title);
        EXPECT_EQ(window->applyButton()->text(), c.apply);
        EXPECT_EQ(window->todayButton()->text(), c.today);
        EXPECT_EQ(window->wholeRecordButton()->text(), c.wholeRecord);
        EXPECT_EQ(window->actionSelector()->currentText(), c.moveItem);
        EXPECT_EQ(window->model()->index(0, AuditTableModel::ActionColumn).data().toString(), c.moveCell);
        QStringList headers;
        for (int s = 0; s < AuditTableModel::ColumnCount; ++s)
            headers << window->table()->model()->headerData(s, Qt::Horizontal).toString();
        EXPECT_EQ(headers, c.headers);
    }
    // Pictures for the documentation: the three devices over the whole record in each language,
    // then zoomed into a dragged stretch.
    const QByteArray pictures = qgetenv("TARVELLO_SCREENSHOT_DIR");
    if (pictures.isEmpty())
        return;
    window->resize(1100, 640);
    window->show();
    for (int16_t language : {1, 0}) {
        switchLanguage(language);
        filter("", QStringLiteral("1:5, 1:6, 2:7"));
        window->wholeRecordButton()->click();
        QCoreApplication::processEvents();
        window->grab().save(QString::fromLocal8Bit(pictures) + (language ? "/audit-en.png" : "/audit-zh.png"));
    }
    switchLanguage(1);
    TimelineStrip* strip = window->timeline();
    const QRect lane = strip->laneRect(strip->rect(), strip->fontMetrics(), 0);
    QTest::mousePress(strip, Qt::LeftButton, {}, QPoint(lane.left() + lane.width() / 8, lane.center().y()));
    QTest::mouseMove(strip, QPoint(lane.left() + lane.width() * 3 / 8, lane.center().y()));
    QTest::mouseRelease(strip, Qt::LeftButton, {}, QPoint(lane.left() + lane.width() * 3 / 8, lane.center().y()));
    QCoreApplication::processEvents();
    window->grab().save(QString::fromLocal8Bit(pictures) + "/audit-timeline.png");
}

} // namespace

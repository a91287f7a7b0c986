#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>

#include "app/portnamedialog.h"

#include "app/editorlink.h"
#include "app/mainwindow.h"
#include "core/session.h"
#include "common/state.h"
#include "testsupport.h"
#include "../support/loopback.h"

namespace {

struct PortTest : ::testing::Test {
    DataDir dir;
    RecordingMessages messages;
    PtyMaster bus;
    void SetUp() override { setCurrentLanguage(1); }
    void TearDown() override { setCurrentLanguage(0); }
    void writeIni(const QByteArray& extra)
    {
        dir.writeIni("[LANGUAGE]\nLanguage=English\n" + extra + "[PORTS]\nCOM1=" + bus.slavePath().toLocal8Bit()
                     + "\nCOM7=/nonexistent/tarvello-com7\n");
    }
};

} // namespace

TEST_F(PortTest, StartUpOpensThePortOfTheSettingsAndPaintsItsSettings)
{
    writeIni("");
    MainWindow f(dir.path());
    EXPECT_TRUE(f.portKeeper().counted());
    EXPECT_TRUE(f.session().port().isOpen());
    EXPECT_EQ(f.session().port().BaudRate(), 4800u);
    EXPECT_EQ(f.controls().statusBar->paintedText(), QString("COM1，4800，8，N，1"));
    EXPECT_EQ(f.controls().statusBar->paintedColor(), QColor(Qt::black));
    EXPECT_TRUE(f.controls().statusBar->panelText(PortPanel).isEmpty()); // painted, not stored as panel text
    EXPECT_TRUE(messages.texts.isEmpty());
}

TEST_F(PortTest, AnyPortNameOfTheSettingsIsOpenedWhileTheSelectorShowsCom1)
{
    dir.writeIni("[COM]\nnum=COM12\n[PORTS]\nCOM12=" + bus.slavePath().toLocal8Bit() + "\n");
    MainWindow f(dir.path());
    EXPECT_EQ(f.session().port().CommName(), QString("COM12"));
    EXPECT_TRUE(f.session().port().isOpen());
    EXPECT_EQ(f.controls().portSelector->currentText(), QString("COM1"));
}

TEST_F(PortTest, APortThatFailsIsReportedAndNotRemembered)
{
    writeIni("[COM]\nnum=COM1\n");
    MainWindow f(dir.path());
    const QByteArray before = dir.readIni();
    f.controls().portSelector->setCurrentIndex(6);
    f.portSelected(6);
    EXPECT_FALSE(f.portKeeper().counted());
    EXPECT_FALSE(f.session().port().isOpen());
    ASSERT_EQ(messages.texts.size(), 1);
    EXPECT_EQ(messages.kinds.at(0), MessageSink::Kind::Error);
    EXPECT_EQ(messages.texts.at(0), QString("Error opening serial port. \n"
                                            "COM7 (/nonexistent/tarvello-com7): no such device (not plugged in, or a wrong name)"));
    EXPECT_EQ(f.controls().statusBar->paintedText(), QString("Error opening COM7"));
    EXPECT_EQ(f.controls().statusBar->paintedColor(), QColor(Qt::red));
    EXPECT_EQ(dir.readIni(), before);

    setCurrentLanguage(0);
    f.portSelected(6);
    EXPECT_EQ(messages.texts.last(), QString("串口打开出错。\nCOM7（/nonexistent/tarvello-com7）：设备不存在（未连接，或名称有误）"));
    EXPECT_EQ(f.controls().statusBar->paintedText(), QString("COM7打开出错"));

    // Back to the port that works: it opens and is written to the settings.
    f.controls().portSelector->setCurrentIndex(0);
    f.portSelected(0);
    EXPECT_TRUE(f.portKeeper().counted());
    EXPECT_EQ(TIniFile(dir.ini()).ReadString("COM", "num", ""), QString("COM1"));
    EXPECT_EQ(f.controls().statusBar->paintedColor(), QColor(Qt::black));
}

TEST_F(PortTest, ChoosingTheOpenPortAgainReopensIt)
{
    writeIni("");
    MainWindow f(dir.path());
    ASSERT_TRUE(f.session().port().isOpen());
    f.portSelected(0);
    EXPECT_TRUE(f.session().port().isOpen()); // closed first, so the exclusive open succeeds again
    EXPECT_TRUE(f.portKeeper().counted());
    EXPECT_TRUE(messages.texts.isEmpty());
    EXPECT_EQ(TIniFile(dir.ini()).ReadString("COM", "num", ""), QString("COM1"));
}

TEST_F(PortTest, AVanishedDeviceClosesThePortAndShowsTheError)
{
    writeIni("");
    MainWindow f(dir.path());
    ASSERT_TRUE(f.session().port().isOpen());
    bus.close();
    EXPECT_TRUE(RunUntil([&] { return !f.session().port().isOpen(); }));
    EXPECT_FALSE(f.portKeeper().counted());
    EXPECT_EQ(f.controls().statusBar->paintedText(), QString("Error opening COM1"));
    EXPECT_EQ(f.controls().statusBar->paintedColor(), QColor(Qt::red));
}

TEST_F(PortTest, ThePanelNamesThePortThatWasOpenedOrTried)
{
    struct Case {
        QByteArray num;
        QByteArray path; // empty: leads nowhere
        const char* painted;
    };
    const QByteArray pty = bus.slavePath().toLocal8Bit();
    const Case cases[] = {
        {"COM12", pty, "COM12，4800，8，N，1"},
        {"COM12", "", "Error opening COM12"},
        {"/nonexistent/ttyUSB3", "", "Error opening /nonexistent/ttyUSB3"},
        {pty, "", nullptr}, // a path that opens: shown as the path
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.num.constData());
        QByteArray ini = "[LANGUAGE]\nLanguage=English\n[COM]\nnum=" + c.num + "\n";
        if (!c.path.isEmpty()) ini += "[PORTS]\n" + c.num + "=" + c.path + "\n";
        dir.writeIni(ini);
        MainWindow f(dir.path());
        const QString expected = c.painted ? QString(c.painted) : bus.slavePath() + QString("，4800，8，N，1");
        EXPECT_EQ(f.controls().statusBar->paintedText(), expected);
    }
}

TEST_F(PortTest, LosingThePortTakesTheProgressBarAlong)
{
    writeIni("");
    MainWindow f(dir.path());
    ASSERT_TRUE(f.session().port().isOpen());
    f.session().deviceRegister().Open();
    for (int id = 1; id <= 3; ++id) {
        f.session().deviceRegister().Member_Table.Append();
        f.session().deviceRegister().Member_Table.SetFieldByName("ID", id);
        f.session().deviceRegister().Member_Table.SetFieldByName("Group_ID", 0);
        f.session().deviceRegister().Member_Table.Post();
    }
    f.refreshLists();                // the poll starts
    f.session().engine().lineIdle(); // its first query has left: the bar comes up
    ASSERT_NE(f.pollProgressBar(), nullptr);
    bus.close();
    EXPECT_TRUE(RunUntil([&] { return !f.session().port().isOpen(); }));
    EXPECT_EQ(f.pollProgressBar(), nullptr);
    EXPECT_FALSE(f.session().engine().pollTimer.isActive()); // the poll does not run on against the closed port
}

TEST_F(PortTest, TheFastBusIsTakenFromTheSettingsOnlyWhenAskedFor)
{
    struct Case {
        QByteArray bus;
        bool fast;
        int readInterval;
    };
    const Case cases[] = {
        {"", false, 100},
        {"[BUS]\nFast=0\n", false, 100},
        {"[BUS]\nFast=1\n", true, 7},
        {"[BUS]\nFast=1\nTurnaroundMs=5000\n", true, 7}, // out of range: the default turnaround
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bus.constData());
        writeIni(c.bus);
        MainWindow f(dir.path());
        EXPECT_EQ(f.session().engine().fastBus(), c.fast);
        EXPECT_EQ(f.controls().fastBusCheck->isChecked(), c.fast);
        EXPECT_EQ(static_cast<int>(f.session().port().ReadIntervalTimeout()), c.readInterval);
        EXPECT_TRUE(f.session().port().isOpen());
    }
}

TEST_F(PortTest, TheFastBusBoxSwitchesTheTimingAtOnceAndForTheNextStart)
{
    writeIni("");
    MainWindow f(dir.path());
    f.controls().fastBusCheck->click();
    EXPECT_TRUE(f.session().engine().fastBus());
    EXPECT_EQ(f.session().port().ReadIntervalTimeout(), 7u);
    EXPECT_EQ(TIniFile(dir.ini()).ReadString("BUS", "Fast", ""), QString("1"));
    f.controls().fastBusCheck->click();
    EXPECT_FALSE(f.session().engine().fastBus());
    EXPECT_EQ(f.session().port().ReadIntervalTimeout(), 100u);
    EXPECT_EQ(TIniFile(dir.ini()).ReadString("BUS", "Fast", ""), QString("0"));
    EXPECT_TRUE(messages.texts.isEmpty());
}

// A port on a device server is connected behind the window: the window goes on at once and says
// what the connection is doing; a failure names the port and the reason, a lost connection says
// so and comes back by itself.
TEST_F(PortTest, ANetworkPortConnectsBehindTheWindowAndSaysWhatBecameOfIt)
{
    uint16_t rawPort = 0, silentPort = 0;
    const int raw = BindLoopback(&rawPort);       // the kernel completes connections to it
    const int silent = BindLoopback(&silentPort); // says nothing to a Telnet offer
    ::listen(raw, 4);
    ::listen(silent, 4);
    dir.writeIni("[LANGUAGE]\nLanguage=English\n[COM]\nnum=COM3\n[PORTS]\nCOM3=tcp://127.0.0.1:"
                 + QByteArray::number(rawPort) + "\nCOM4=rfc2217://127.0.0.1:" + QByteArray::number(silentPort) + "\n");
    MainWindow f(dir.path());
    auto panel = [&] { return f.controls().statusBar->paintedText(); };
    EXPECT_FALSE(f.portKeeper().counted());
    EXPECT_TRUE(f.portKeeper().connecting());
    EXPECT_EQ(panel(), QString("Connecting to COM3..."));
    ASSERT_TRUE(RunUntil([&] { return f.portKeeper().counted(); }));
    EXPECT_EQ(panel(), QString("COM3，4800，8，N，1"));

    // The server closes the connection: a lost port with its own words, and no box.
    const int peer = ::accept(raw, nullptr, nullptr);
    ::close(peer);
    ASSERT_TRUE(RunUntil([&] { return !f.portKeeper().counted(); }));
    EXPECT_EQ(panel(), QString("COM3 connection lost"));
    EXPECT_EQ(f.controls().statusBar->paintedColor(), QColor(Qt::red));
    EXPECT_TRUE(f.portKeeper().retrying());
    f.portKeeper().retryTick(); // the retry timer's turn, without its two seconds
    ASSERT_TRUE(RunUntil([&] { return f.portKeeper().counted(); }));
    EXPECT_FALSE(f.portKeeper().retrying());
    EXPECT_TRUE(messages.texts.isEmpty());

    // A server that never answers the Telnet offer: one box naming the port and the reason,
    // and the settings keep the port that worked.
    for (int language : { 1, 0 }) {
        setCurrentLanguage(static_cast<int16_t>(language));
        f.controls().portSelector->setCurrentIndex(3);
        f.portSelected(3);
        EXPECT_TRUE(f.portKeeper().connecting());
        EXPECT_TRUE(messages.texts.isEmpty()); // nothing is said before the server has answered
        ASSERT_TRUE(RunUntil([&] { return !f.portKeeper().connecting(); }));
        ASSERT_FALSE(messages.texts.isEmpty());
        const QString text = messages.texts.takeLast();
        EXPECT_TRUE(text.startsWith(language ? "Error opening serial port COM4:\n" : "串口COM4打开出错：\n")) << text.toStdString();
        EXPECT_TRUE(text.contains("gave no RFC 2217 answer")) << text.toStdString();
        EXPECT_EQ(panel(), language ? QString("Error opening COM4") : QString("COM4打开出错"));
    }
    EXPECT_EQ(TIniFile(dir.ini()).ReadString("COM", "num", ""), QString("COM3"));
    ::close(raw);
    ::close(silent);
}

// A USB adapter is chosen by its lasting name in /dev/serial/by-id, which is what is remembered:
// the device behind it may be another one at the next plugging in.
TEST_F(PortTest, TheSelectorOffersTheAdaptersPluggedInAndRemembersTheirLastingName)
{
    writeIni("");
    QTemporaryDir byId;
    const QString adapter = byId.path() + "/usb-Test_Adapter_A1-if00-port0";
    ASSERT_TRUE(QFile::link(QDir(byId.path()).relativeFilePath(bus.slavePath()), adapter)); // as udev makes them
    ASSERT_TRUE(QFile::link("/nonexistent/ttyUSB9", byId.path() + "/usb-Pulled_Out-if00-port0"));
    QFile(byId.path() + "/notes.txt").open(QIODevice::WriteOnly); // no link, no adapter
    {
        MainWindow f(dir.path());
        PortSelector& selector = *f.controls().portSelector;
        selector.setAdapterFolder(byId.path());
        ASSERT_EQ(selector.count(), 11); // COM1..COM9, the adapter, Other…
        EXPECT_EQ(selector.itemText(9), "usb-Test_Adapter_A1-if00-port0 (" + bus.slavePath() + ")");
        EXPECT_EQ(selector.itemData(9, Qt::ToolTipRole).toString(), "USB serial adapter " + adapter + ", now " + bus.slavePath());
        EXPECT_EQ(selector.itemText(10), QString("Other…"));
        f.portSelected(0); // COM1 is the same pseudo-terminal: let it go
        selector.setCurrentIndex(9);
        f.portSelected(9);
        EXPECT_TRUE(f.portKeeper().counted());
        EXPECT_EQ(TIniFile(dir.ini()).ReadString("COM", "num", ""), adapter);
        EXPECT_EQ(f.controls().statusBar->paintedText(), adapter + "，4800，8，N，1");
        f.languageSelected(0);
        EXPECT_EQ(selector.itemText(10), QString("其他…"));
        EXPECT_EQ(selector.currentIndex(), 9);
    }
    MainWindow again(dir.path());
    again.controls().portSelector->setAdapterFolder(byId.path());
    EXPECT_TRUE(again.session().port().isOpen());
    EXPECT_EQ(again.controls().portSelector->currentIndex(), 9);
    EXPECT_TRUE(messages.texts.isEmpty());
}

TEST_F(PortTest, OtherTakesAPathOrAnAddressAndSaysWhatIsWrongInTheCurrentLanguage)
{
    dir.writeIni("[LANGUAGE]\nLanguage=English\n[COM]\nnum=/nonexistent/ttyS7\n");
    MainWindow f(dir.path());
    PortSelector& selector = *f.controls().portSelector;
    const int other = selector.count() - 1;
    messages.texts.clear();
    auto type = [&](const QString& text) {
        f.portSelected(other);
        PortNameDialog* dialog = f.portNameDialog();
        EXPECT_TRUE(dialog && dialog->isVisible());
        EXPECT_EQ(selector.portName(selector.currentIndex()), QString("/nonexistent/ttyS7")); // nothing chosen yet
        dialog->nameEdit()->setText(text);
        dialog->accept();
        return dialog->isVisible();
    };
    EXPECT_TRUE(type("/nonexistent/ttyUSB7"));
    EXPECT_EQ(messages.texts.takeLast(), QString("There is no device /nonexistent/ttyUSB7."));
    f.languageSelected(0);
    EXPECT_TRUE(type("tcp://10.0.0.7"));
    EXPECT_EQ(messages.texts.takeLast(), QString("tcp://10.0.0.7 不是有效的网络地址。\n应为 tcp://主机:端口 或 rfc2217://主机:端口（端口 1–65535）。"));
    f.portNameDialog()->reject();
    EXPECT_FALSE(f.portKeeper().counted());
    EXPECT_EQ(TIniFile(dir.ini()).ReadString("COM", "num", ""), QString("/nonexistent/ttyS7"));

    // Taken as it is, blanks around it aside: opened, shown in the list and remembered.
    EXPECT_FALSE(type("  " + bus.slavePath() + " "));
    EXPECT_TRUE(messages.texts.isEmpty());
    EXPECT_TRUE(f.portKeeper().counted());
    EXPECT_EQ(TIniFile(dir.ini()).ReadString("COM", "num", ""), bus.slavePath());
    EXPECT_EQ(selector.portName(selector.currentIndex()), bus.slavePath());
    EXPECT_TRUE(selector.isOtherEntry(selector.currentIndex() + 1));
}

// The editor's Undo last search asks whether devices were re-addressed since the search: the
// re-address frames of the engine, through the audit record.
TEST_F(PortTest, AReaddressSentIsSeenByTheEditorsUndo)
{
    writeIni("");
    MainWindow f(dir.path());
    ASSERT_TRUE(f.session().port().isOpen());
    SessionEditorHost host(f.session());
    const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1);
    EXPECT_FALSE(host.readdressedSince(before));
    ASSERT_TRUE(f.session().engine().sendReaddress(1, 5, 2, 6));
    ASSERT_TRUE(RunUntil([&] {
        f.session().audit().flush();
        return host.readdressedSince(before);
    }, 3000));
    EXPECT_FALSE(host.readdressedSince(QDateTime::currentDateTimeUtc().addSecs(1)));
}

// A port picked by name that does not open: nothing is vouched for on a closed port, so no row
// keeps its green light, and the name is not offered again.
TEST_F(PortTest, APickedPortThatDoesNotOpenLeavesEveryDeviceUnknownAndIsNotKept)
{
    writeIni("");
    MainWindow f(dir.path());
    ASSERT_TRUE(f.session().port().isOpen());
    DeviceModel& rows = f.session().devices();
    rows.setDevices({ { 1, 7, QString(), std::nullopt, QString() }, { 2, 9, QString(), std::nullopt, QString() } });
    rows.setOnline(1, 7, true);
    rows.setOnline(2, 9, false);
    PortSelector& selector = *f.controls().portSelector;
    f.portSelected(selector.count() - 1);
    f.portNameDialog()->nameEdit()->setText("/etc/passwd");
    f.portNameDialog()->accept();
    EXPECT_FALSE(f.portKeeper().counted());
    EXPECT_EQ(messages.texts.size(), 1);
    for (const DeviceRow& row : rows.devices())
        EXPECT_FALSE(row.online.has_value()) << row.id;
    for (int i = 0; i < selector.count(); ++i)
        EXPECT_NE(selector.portName(i), QString("/etc/passwd"));
}

// The main window: tool bar, group check-list, device list, control panel, traffic log, status bar.
// It owns the program's state (port, register, control engine); EngineFace shows the engine's work
// and hands it the lists' choice, RegisterAdapter keeps the register for it.
#pragma once

#include <QHash>
#include <QMainWindow>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

#include "core/portkeeper.h"
#include "core/session.h"
#include "app/maincontrols.h"
#include "app/trafficrecord.h"
#include "protocol/engine.h"
#include "protocol/txchannel.h"
#include "register/register.h"
#include "serial/comm.h"

class QProgressBar;
class AboutBox;
class AuditAccess;
class AdminPasswordDialog;
class GroupEditor;
class SessionEditorHost;
class PasswordChangeDialog;
class EngineFace;
class StatusHints;
class StateBallColumn;
class RegisterAdapter;
class QTranslator;
class PortNameDialog;
class MqttPublisher;
struct MqttProblem;


class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // Wide enough for the tool bar's six buttons beside the language and port boxes.
    static constexpr int DesignWidth = 760;
    static constexpr int DesignHeight = 534;
    static constexpr int MaxLogLines = MainControls::MaxLogLines;

    using PortPaths = std::function<QString(const QString& name)>;

    // dataDir is the data directory ("DFiles" under the working directory in the program).
    // portPaths, when given, maps port names to devices instead of [PORTS] and the COMn rule.
    // The window of a session that outlives it.
    explicit MainWindow(Session& session, QWidget* parent = nullptr);
    // The window of a session of its own (the tests' and tools' way).
    explicit MainWindow(const QString& dataDir, QWidget* parent = nullptr, PortPaths portPaths = {});
    ~MainWindow() override;

    // Start-up after creation: the log-in (with the passwords asked for first on a first start);
    // then the window is shown and filled. False when nobody logged in: tables and port are
    // closed, nothing was written, and the program ends.
    bool startUp();
    // The program's exit status when startUp answered false: 0 when the user chose to end, 1 when
    // the start failed (a password store that cannot be used).
    int startFailureStatus() const { return m_startFailureStatus; }
    // The log-in step of startUp; true when the password store holds a level. Tests replace it.
    std::function<bool(MainWindow&)> LogIn;

    // Operations the start-up code, the other windows and the engine's view use.
    void openScene();
    void refreshLists();
    void showAccessLevel();
    // The texts of every control in the current language.
    void retranslate();
    bool fitToolBar();  // true when the window had to grow
    void logFrame(bool transmitted, const uint8_t* bytes, int count);
    // A table failure in the current language, naming the file.
    void reportTableError(const std::exception& error);
    // Says once a run that a changed setting could not be saved.
    void reportSettingsNotSaved();

    // The group editor, after the level allows it.
    void openGroupEditor();

    // What the controls do (public so that tests act as a user's click would).
    void languageSelected(int index);
    void portSelected(int index);
    // "Other…" of the port selector: open while a name is being typed (null before the first use).
    PortNameDialog* portNameDialog() const { return m_portNameDialog; }
    // The port error in the current language: the device tried and why it did not open.
    QString portErrorText() const;
    void fastBusClicked(bool on);
    void clearLogClicked();
    void aboutClicked();
    void exitClicked();
    void passwordClicked();
    void groupsClicked();
    void groupClicked();
    void groupDoubleClicked();
    void deviceListClicked();
    void deviceSelectionChanged();
    // Stop all (the button, or F12 in any window of the program).
    void stopAllPressed();
    // SIGTERM, SIGINT or SIGHUP: nobody can be asked, so what this window set moving is stopped
    // and the window ends.
    void endRequested();
    // The line under the motion buttons: what a press moves now.
    void updateTargetLine();
    // Moves of a batch that never went out: the register keeps those devices where they were.
    void readdressDropped(const std::vector<ReaddressMove>& moves);
    // The window the operator is using, for a message box to belong to.
    QWidget* windowInUse();

    const MainControls& controls() const { return m_ui; }
    QProgressBar* pollProgressBar() const;
    TIniFile& SettingsFile() { return m_settings; }
    const QString& dataDir() const { return m_dataDir; }
    AboutBox* aboutForm() const { return m_about; }
    AdminPasswordDialog* administratorDialog() const { return m_administratorDialog; }
    PasswordChangeDialog* passwordDialog() const { return m_passwordDialog; }
    GroupEditor* groupEditor() const { return m_editor; }
    TPasswordStore& passwordStore() { return m_passwords; }
    int scene() const { return m_scene; }
    // True once the window has begun to close: nothing is rebuilt or sent any more.
    bool closing() const { return m_closed; }
    // Every frame sent or received, with its time and meaning (the newest 100,000).
    const TrafficRecord& trafficRecord() const { return m_record; }
    void saveTrafficRecord();

    // The port, register and engine the window is a face of.
    Session& session() { return *m_session; }
    // The port's life: opened, picked, lost and tried again.
    PortKeeper& portKeeper() { return *m_portKeeper; }
    // The group-list entry whose devices the list shows (0: every device).
    int shownGroupEntry() const { return m_shownEntry; }
    // The broker the session publishes to (none: nothing to say but the problem, if any): its
    // loss and return are said in the status bar and the traffic record.
    void watchBroker(MqttPublisher* publisher, const MqttProblem& problem);
    // Nothing runs on the bus: no poll, search, self-check, press or re-address under way.
    bool idle() const;
    // [BUS] PollEverySeconds: its timer, and the timer's turn (a poll, when the bus is idle).
    const QTimer& idlePollTimer() const { return m_idlePoll; }
    void idlePollDue();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void setUpRun();
    void endRun();
    bool searchRunning() const;
    bool selfCheckRunning() const;
    void connectControls();
    void rebuildLists();
    void showGroup();
    void connectPortKeeper();
    void paintPortState(PortKeeper::State state);
    void reportPortNotOpened();
    void otherPortChosen(const QString& name);
    void setGroupHeader();
    // A line of the traffic record that is not a frame (the port lost or back).
    void noteInRecord(const QString& text);
    void showSelfCheckControls(bool visible);
    void levelRaised();
    void writeSetting(const QString& section, const QString& key, const QString& value);
    void fitControlPanel();
    void installStopAllKey();
    // [BUS] PollEverySeconds: the listed rows polled again while the bus is idle.
    int idlePollSeconds() const; // 0: no idle polls
    void startIdlePolls();

    friend class EngineFace;

    MainWindow(Session* session, std::unique_ptr<Session> owned, QWidget* parent);
    std::unique_ptr<Session> m_ownedSession;
    Session* m_session = nullptr;
    TComm& m_port;
    ControlEngine& m_engine;
    TIniFile& m_settings;
    TPasswordStore& m_passwords;
    MainControls m_ui;
    QString m_dataDir;
    int m_scene = 1;
    AboutBox* m_about = nullptr;
    AuditAccess* m_audit = nullptr;
    AdminPasswordDialog* m_administratorDialog = nullptr;
    PasswordChangeDialog* m_passwordDialog = nullptr;
    std::unique_ptr<SessionEditorHost> m_editorHost;
    GroupEditor* m_editor = nullptr;
    EngineFace* m_face = nullptr;
    int m_shownEntry = 0;
    DeviceFilter* m_filter = nullptr;
    StateBallColumn* m_balls = nullptr;
    StatusHints* m_hints = nullptr;
    bool m_closed = false;
    bool m_endWithoutAsking = false; // a signal ends the window
    int m_startFailureStatus = 0;
    bool m_settingsWarned = false;
    PortKeeper* m_portKeeper = nullptr;
    PortNameDialog* m_portNameDialog = nullptr;
    TrafficRecord m_record;
    QObject* m_stopAllKey = nullptr;
    QTimer m_idlePoll;
};

// The main window: tool bar, group check-list, device list, control panel, traffic log, status bar.
#pragma once

#include <QHash>
#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

#include "app/inifile.h"
#include "app/widgets.h"
#include "protocol/engine.h"
#include "protocol/txchannel.h"
#include "register/register.h"
#include "serial/comm.h"
#include "serial/portname.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTableWidget;
class QToolBar;
class QToolButton;
class TAboutForm;

// Status-bar panels, left to right.
enum StatusPanel { HintPanel = 0, ProgressPanel = 1, SpacerPanel = 2, ModePanel = 3, PortPanel = 4, LastPanel = 5 };

class TMainForm : public QMainWindow, public EngineView, public DeviceRegister {
    Q_OBJECT
public:
    static constexpr int DesignWidth = 676;
    static constexpr int DesignHeight = 534;

    using PortPaths = std::function<QString(const QString& name)>;

    // dataDir is the data directory ("DFiles" under the working directory in the program).
    // portPaths, when given, maps port names to devices instead of [PORTS] and the COMn rule.
    explicit TMainForm(const QString& dataDir = QStringLiteral("DFiles"), QWidget* parent = nullptr,
                       PortPaths portPaths = {});
    ~TMainForm() override;

    // Start-up after creation: log-in, then the window is shown and filled.
    void startUp();

    // Named operations other windows and the start-up code use.
    void FormShow();
    void MainFormProcLanguage(int16_t language);
    void ProcStatusBar();
    void ComboBox4Select(int index);
    void Button1Click();
    void ToolButton4Click();
    void ToolButton6Click();
    void ToolButton11Click();
    void LogFrame(bool transmitted, const uint8_t* bytes, int count);
    void ToolBar1MouseMove();

    // Port opening and selection.
    bool ComOpen();
    void ComboBox1Select(int index);
    void Comm1RequestHangup();

    // Device list and group filter.
    void ListRefresh();
    void CheckListBox1Click();
    void CheckListBox1DblClick();
    void ListView1Click();
    void ListView1SelectItem();
    void ToolButton1Click();

    TComm Comm1;
    TxChannel Tx;
    TRegister Register;
    ControlEngine* Engine = nullptr;
    QProgressBar* PollProgressBar = nullptr;

    // EngineView
    int rowCount() const override;
    int rowId(int row) const override;
    void setRowOnline(int row, bool online) override;
    bool rowSelected(int row) const override;
    int selectedCount() const override;
    void clearRows() override;
    void addSearchedDevice(int id, int group) override;
    int groupEntryCount() const override;
    bool groupEntryChecked(int entry) const override;
    int highlightedGroupEntry() const override;
    QString rangeStartText() const override;
    QString rangeEndText() const override;
    void setRangeTexts(const QString& start, const QString& end) override;
    QString periodText() const override;
    void setPeriodText(const QString& text) override;
    void searchRunningChanged(bool running) override;
    void selfCheckRunningChanged(bool running) override;
    void showSearchProgress(int cursor, int end) override;
    bool progressBarExists() const override;
    void createProgressBar(int maximum, int position) override;
    void setProgressBar(int position) override;
    void destroyProgressBar() override;
    void logFrame(bool transmitted, const uint8_t* bytes, int count) override;
    void information(EngineMessage message) override;
    bool confirm(EngineMessage message) override;

    // DeviceRegister
    std::optional<int> groupOfDevice(int id) override;
    void emptyDevices() override;
    void appendDevice(int id, int group) override;

    TIniFile& SettingsFile() { return m_settings; }
    const QString& dataDir() const { return m_dataDir; }
    TAboutForm* aboutForm() const { return m_about; }
    int scene() const { return m_scene; }

    // Controls keep their designer names.
    QToolBar* ToolBar1 = nullptr;
    QToolButton* ToolButton10 = nullptr; // refresh
    QToolButton* ToolButton1 = nullptr;  // groups
    QToolButton* ToolButton11 = nullptr; // password
    QToolButton* ToolButton4 = nullptr;  // about
    QToolButton* ToolButton6 = nullptr;  // exit
    QGroupBox* GroupBox1 = nullptr;      // language frame
    QComboBox* ComboBox4 = nullptr;      // language selector
    QGroupBox* GroupBox3 = nullptr;      // port frame
    QComboBox* ComboBox1 = nullptr;      // port selector
    TCheckListBox* CheckListBox1 = nullptr;
    QSplitter* Splitter1 = nullptr;
    TListView* ListView1 = nullptr;
    QWidget* Panel1 = nullptr; // right panel
    QToolButton* SpeedButton1 = nullptr; // forward
    QToolButton* SpeedButton2 = nullptr; // backward
    QToolButton* SpeedButton3 = nullptr; // up
    QToolButton* SpeedButton4 = nullptr; // stop
    QToolButton* SpeedButton5 = nullptr; // down
    QLabel* Label2 = nullptr;            // self-check period caption
    QLineEdit* Edit3 = nullptr;          // self-check period
    QPushButton* Button4 = nullptr;      // self-check start
    QLineEdit* Edit1 = nullptr;          // search range start
    QLabel* Label1 = nullptr;            // "～"
    QLineEdit* Edit2 = nullptr;          // search range end
    QPushButton* Button3 = nullptr;      // search
    QPlainTextEdit* Memo1 = nullptr;     // traffic log
    QPushButton* Button1 = nullptr;      // clear log
    QWidget* Panel2 = nullptr;           // lower strip of the right panel
    TStatusBar* StatusBar1 = nullptr;

    // Program state kept by the main window.
    uint8_t PortOpen = 0;
    uint8_t GroupFilter = 0;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    void FormClose();
    void buildToolBar();
    void buildPanes();
    void buildRightPanel();
    void buildStatusBar();
    void installHints();
    void showHint(const QString& key);
    bool searchRunning() const;
    bool selfCheckRunning() const;
    void connectControls();
    void rebuildLists();
    void showGroup();
    void paintPortState(bool opened);
    void addDeviceRow(int id, const QString& name, const QString& groupText, bool online);
    QString groupTextOf(int groupId, bool storedUngroupedName);
    void setGroupHeader();
    bool numberFieldKey(QLineEdit* edit, QEvent* event);
    void showTableError(const std::exception& error);

    QString m_dataDir;
    TIniFile m_settings;
    int m_scene = 1;
    TAboutForm* m_about = nullptr;
    QHash<QObject*, QString> m_hintKeys;
    QHash<QObject*, bool> m_fieldMarked;
    bool m_closed = false;
    PortPaths m_portPaths;
};

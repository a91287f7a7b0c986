// The main window's widgets, named for what they do, and how they are laid out.
#pragma once

#include "app/portselector.h"

class QAbstractItemModel;
class QMainWindow;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class QToolBar;
class QToolButton;
class QWidget;

#include "app/widgets.h"

#include <qnamespace.h>

#include <cstdint>


// Status-bar panels, left to right.
enum StatusPanel { HintPanel = 0, ProgressPanel = 1, SpacerPanel = 2, ModePanel = 3, PortPanel = 4, LastPanel = 5 };

struct MainControls {
    static constexpr int MaxLogLines = 5000; // the traffic log keeps the newest lines

    // Builds every control of `window` in the Chinese texts it starts with; the device list
    // shows deviceRows. What the controls do is wired by the window.
    void setUp(QMainWindow* window, QAbstractItemModel* deviceRows);
    // The texts of the controls in `language` (0 or 1); the search and self-check buttons say
    // whether theirs runs.
    void retranslateUi(int16_t language, bool searching, bool selfChecking);
    // The names and descriptions a screen reader gives the controls of `window`.
    void nameFor(QWidget* window, int16_t language);

    QToolBar* toolBar = nullptr;
    QToolButton* refreshButton = nullptr;
    QToolButton* groupsButton = nullptr;
    QToolButton* passwordButton = nullptr;
    QToolButton* aboutButton = nullptr;
    QToolButton* auditButton = nullptr; // administrator and super-user only
    QToolButton* exitButton = nullptr;
    QGroupBox* languageFrame = nullptr;
    QComboBox* languageSelector = nullptr;
    QGroupBox* portFrame = nullptr;
    PortSelector* portSelector = nullptr; // COM1..COM9, adapters present, names typed in, "Other…"
    QCheckBox* fastBusCheck = nullptr;    // the fast bus timing, [BUS] Fast of the settings
    QSplitter* splitter = nullptr;
    TCheckListBox* groupList = nullptr;   // entry 0 all devices, entry 1 ungrouped, then the groups
    TListView* deviceList = nullptr;      // state image, ID, name, group
    QLabel* listLegend = nullptr;         // what the balls and the tint of the rows mean
    QWidget* controlPanel = nullptr;      // the right-hand panel
    QToolButton* upButton = nullptr;
    QToolButton* downButton = nullptr;
    QToolButton* stopButton = nullptr;
    QToolButton* forwardButton = nullptr;
    QToolButton* backwardButton = nullptr;
    QPushButton* stopAllButton = nullptr; // the broadcast stop ahead of everything queued; F12 anywhere
    QLabel* targetLine = nullptr;         // what a press of a motion button moves
    QLabel* periodLabel = nullptr;        // self-check period caption
    QLineEdit* periodEdit = nullptr;      // self-check period in seconds
    QPushButton* selfCheckButton = nullptr;
    QLineEdit* rangeStartEdit = nullptr;  // search range
    QLabel* rangeTilde = nullptr;
    QLineEdit* rangeEndEdit = nullptr;
    QPushButton* searchButton = nullptr;
    QPlainTextEdit* trafficLog = nullptr;
    QWidget* clearStrip = nullptr;        // lower strip of the right-hand panel
    QPushButton* clearButton = nullptr;
    TStatusBar* statusBar = nullptr;

private:
    void setUpToolBar(QMainWindow* window);
    void setUpPanes(QMainWindow* window, QAbstractItemModel* deviceRows);
    void setUpRightPanel(QMainWindow* window);
    void setUpStatusBar(QMainWindow* window);
};

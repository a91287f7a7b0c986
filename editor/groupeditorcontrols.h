// The editor window's controls, named for what they do.
#pragma once

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QWidget;
class TDeviceListView;

struct GroupEditorControls {
    // Always shown: two groups side by side.
    QComboBox* leftGroupSelector = nullptr;   // one entry per group record, its group ID as item data
    TDeviceListView* leftList = nullptr;      // devices of the left group
    QComboBox* rightGroupSelector = nullptr;
    TDeviceListView* rightList = nullptr;
    QPushButton* moveRightButton = nullptr;   // "->": selected rows of the left list to the right group
    QPushButton* moveLeftButton = nullptr;    // "<-"
    QPushButton* exitButton = nullptr;
    QPushButton* formToggleButton = nullptr;  // compact <-> advanced

    // The advanced form's panel.
    QWidget* advancedPanel = nullptr;

    QGroupBox* groupNameBox = nullptr;
    QComboBox* renameGroupSelector = nullptr;  // the groups but the ungrouped record: ID as text and item data
    QLineEdit* groupNameEdit = nullptr;
    QPushButton* renameButton = nullptr;

    QGroupBox* deviceBox = nullptr;
    QLabel* oldColumnLabel = nullptr;
    QLabel* newColumnLabel = nullptr;
    QLabel* groupRowLabel = nullptr;
    QLabel* idRowLabel = nullptr;
    QLabel* nameRowLabel = nullptr;
    QLabel* oldGroupText = nullptr;  // the old information: the picked device's group label,
    QLabel* oldIdText = nullptr;     // its ID
    QLabel* oldNameText = nullptr;   // and its name
    QLabel* groupArrow = nullptr;
    QLabel* idArrow = nullptr;
    QLabel* nameArrow = nullptr;
    QComboBox* newGroupSelector = nullptr;  // as the left selector
    QLineEdit* newIdEdit = nullptr;
    QLineEdit* newNameEdit = nullptr;
    QButtonGroup* modes = nullptr;
    QRadioButton* modifyMode = nullptr;
    QRadioButton* forceModifyMode = nullptr;
    QRadioButton* deleteMode = nullptr;
    QRadioButton* addMode = nullptr;
    QPushButton* modifyButton = nullptr;
    QPushButton* forceModifyButton = nullptr;
    QPushButton* deleteButton = nullptr;
    QPushButton* addButton = nullptr;
    QLabel* forceModifyWarning = nullptr;

    QGroupBox* backupBox = nullptr;
    QPushButton* backupButton = nullptr;
    QPushButton* restoreButton = nullptr;
    QPushButton* undoSearchButton = nullptr;  // the device table from before the last search back

    // What the editor says in passing (a name cut to fit), at the bottom left.
    QLabel* statusLine = nullptr;
};

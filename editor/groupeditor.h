// The group editor: the register two groups at a time, group names, and in the advanced form the
// devices themselves (add, delete, re-address on the bus) and the backup of the register.
#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>

#include "editor/groupeditorcontrols.h"

class EditorHost;
class QEvent;
class QComboBox;
class ETableError;
class TDeviceListView;
class TRegister;
class TTable;
struct Text;

class GroupEditor : public QWidget {
    Q_OBJECT
public:
    static constexpr int CompactWidth = 446;
    static constexpr int AdvancedWidth = 710;
    static constexpr int FormHeight = 471;

    enum class EditMode { Modify, ForceModify, Add, Delete };

    explicit GroupEditor(EditorHost& host, QWidget* owner = nullptr);

    // Opens the window from the main window: both lists start on the ungrouped devices and
    // group 1, in the form it was last left in, on top, without blocking. Already open, it is
    // only brought forward.
    void showEditor();
    // The register changed under the editor (moves that never went out were put back).
    void registerChanged();

    const GroupEditorControls& controls() const { return m_ui; }
    // The device the old information shows, by ID; none when it shows nothing.
    std::optional<int> pickedDevice() const { return m_picked; }
    // How long the status line keeps a message.
    static constexpr int StatusMilliseconds = 10000;
    QTimer& statusTimer() { return m_statusTimer; }
    bool advanced() const { return m_advanced; }
    EditMode mode() const { return m_mode; }

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Composition.
    void buildLists();
    void buildAdvancedPanel();
    void buildDeviceBox();
    void connectControls();

    // Refresh.
    // With `firstLeftRow`, a device picked that no list shows gives way to the first of the left list.
    void refreshEditor(bool firstLeftRow = true);
    void refreshSelectors();
    void refreshLists();
    void fillList(TDeviceListView* list, int group);
    void applyForm();
    // The old information follows the device picked: kept while a list shows it, else (with
    // `firstLeftRow`) the first device of the left list, else nothing.
    void settlePick(bool firstLeftRow);
    void showPicked();
    void showPickedAsNew(int group, int id, const QString& name);
    // The list row showing the picked device, the left list first; -1 when none does.
    int pickedRow(TDeviceListView** list) const;
    void selectPicked();
    void clearPicked();
    void showStatus(const Text& text);
    void updateForceModifyWarning();
    // Sets the texts of the current language (none for an index other than 0 and 1).
    void retranslate();
    // The same in the given language: Chinese at construction, before the language is known.
    void applyTexts(int16_t language);
    QString shownGroupName(bool ungroupedRecord, qint64 id, const QString& storedName) const;
    QString storedGroupName(int groupId);
    QString groupLabel(int groupId) const;
    // The group ID a selector's entry carries; NoGroup when it shows no entry.
    static constexpr int NoGroup = -1;
    static int groupOf(const QComboBox* selector);
    int newGroup() const;

    // Group side.
    void leftGroupChanged(int index);
    void rightGroupChanged(int index);
    void leftListClicked();
    void rightListClicked();
    void listClicked(TDeviceListView* list, TDeviceListView* other);
    void leftListDoubleClicked();
    void rightListDoubleClicked();
    void renameGroupPicked(int index);
    void renameClicked();
    void renameGroup();
    void formToggleClicked();
    void backupClicked();
    void restoreClicked();
    void undoSearchClicked();

    // Device side.
    void modeSelected(int mode, bool checked);
    void applyMode();
    void newIdChanged();
    void newGroupChanged(int index);
    void newNameReturnPressed();
    void addClicked();
    void addDevice();
    void deleteClicked();
    void deleteDevices();
    void deleteSelectedRows(TDeviceListView* list);
    void modifyClicked();
    void modifyDevice();
    void renameDevice(int group, int id, const QString& oldName, const QString& name);
    void showModified(int id);
    void forceModifyClicked();
    void forceModifyDevice();
    void moveRightClicked();
    void moveLeftClicked();
    void moveDevices(TDeviceListView* source, int sourceGroup, int targetGroup);

    // Shared by the handlers.
    // Runs a handler's work; a table failure ends it with one error box naming the file.
    void guarded(const std::function<void()>& action);
    // Opens the register when a table is not open (a damaged file at the scene's opening); false,
    // with the failure naming the file that is at fault, when it still cannot be opened.
    bool registerReady();
    void reportTableError(const ETableError& error);
    void inform(const Text& text);
    bool portReady();  // the port message when the port is closed
    void showPortError();
    bool deviceNameFits();
    // The new-ID field as a device ID (1 to 999), or the refusal shown: `emptyText` for an empty
    // field, `zeroText` for 0, the digits message for anything else. With `markField` a refused
    // value is left selected in the focused field.
    std::optional<int> newDeviceId(const Text& emptyText, const Text& zeroText, bool markField);
    // False, with a message, when `id` cannot stand alone in a frame (0 addresses a whole group).
    bool addressable(int id);
    TTable& devices();
    TTable& groups();

    EditorHost& m_host;
    GroupEditorControls m_ui;

    // The group each selector shows, by group ID, restored after every refresh; none at the
    // opening, where the selectors start on their first entries (the right one on its second).
    std::optional<int> m_leftGroup;
    std::optional<int> m_rightGroup;
    std::optional<int> m_renameGroup;
    std::optional<int> m_newGroup;
    std::optional<int> m_picked;
    QTimer m_statusTimer;

    bool m_advanced = false;  // kept across openings
    EditMode m_mode = EditMode::Modify;
};

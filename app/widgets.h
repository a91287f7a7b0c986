// Controls of the main window that Qt has no exact counterpart for.
#pragma once

#include <QColor>
#include <QIcon>
#include <QListWidget>
#include <QIdentityProxyModel>
#include <QTableView>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include <cstdint>

// A status bar of fixed-width panels, left to right, as the main window lays them out.
class TStatusBar : public QWidget {
    Q_OBJECT
public:
    struct Panel {
        int width;
        bool lowered; // bevel
        QString text;
        int made = 0; // the width it was made with
    };

    explicit TStatusBar(QWidget* parent = nullptr);

    void addPanel(int width, bool lowered);
    // The panel that takes the width the others leave (never less than its own width).
    void setStretchPanel(int index) { m_stretchPanel = index; update(); }
    // Widens a panel to the longest of these texts, up to the limit (never narrower than it was made).
    void fitPanel(int index, const QStringList& texts, int limit = 1000);
    int panelCount() const { return static_cast<int>(m_panels.size()); }
    int panelWidth(int index) const;
    int panelLeft(int index) const;
    QString panelText(int index) const;
    void setPanelText(int index, const QString& text);

    // Text painted over a panel from 5 pixels inside it, in its own colour. It is kept, so it
    // survives every repaint of the bar.
    void paintPanelText(int index, const QString& text, const QColor& color);
    QString paintedText() const { return m_paintedText; }
    QColor paintedColor() const { return m_paintedColor; }

    // The rectangle of the owner-drawn panel as last painted (bar coordinates).
    QRect ownerDrawRect() const { return m_ownerDrawRect; }
    void setOwnerDrawPanel(int index) { m_ownerDrawPanel = index; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QRect panelRect(int index) const;

    std::vector<Panel> m_panels;
    int m_stretchPanel = -1;
    int m_ownerDrawPanel = -1;
    QRect m_ownerDrawRect;
    int m_paintedPanel = -1;
    QString m_paintedText;
    QColor m_paintedColor;
};

// A list of entries with a check box each, kept sorted by text as entries are added, single
// selection. A click selects the entry and reports
// it with the mark as it was; a click on the box then toggles the mark.
// A group entry's group ID (-1: every device). A device row's first cell holds its ID and the
// group the register held for it (protocol/targets.h).
inline constexpr int GroupIdRole = Qt::UserRole + 3;

class TCheckListBox : public QListWidget {
    Q_OBJECT
public:
    explicit TCheckListBox(QWidget* parent = nullptr);

    QListWidgetItem* addEntry(const QString& text);
    // The group ID an entry stands for (GroupIdRole; -1: every device, or no such entry).
    int groupOf(int entry) const;
    bool checked(int index) const;
    void setChecked(int index, bool on);

signals:
    void entryClicked();
    void entryDoubleClicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool onCheckBox(const QPoint& pos, int* row) const;
    bool m_pressed = false;
    int m_rowBeforePress = -1;
};

// The device list: a report of rows. A click anywhere in it is reported after the view has
// updated its selection for that click.
class TListView : public QTableView {
    Q_OBJECT
public:
    using QTableView::QTableView;

    // The rows shown, and what a cell or a column's header shows.
    int rowCount() const { return model() ? model()->rowCount() : 0; }
    QVariant cellData(int row, int column, int role = Qt::DisplayRole) const;
    QString cellText(int row, int column) const { return cellData(row, column).toString(); }
    QString headerText(int column) const;

signals:
    void listClicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
};

// The first column shows each device's on-line state as a ball: green on line, red when its last
// query timed out, grey while it has not been asked since its row was made. The rows a motion
// press would move are tinted, and every cell's tool tip says both.
class StateBallColumn : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    // What a press reaches now: its group frames (the broadcast group: every row) and device frames.
    void setPressTargets(const std::vector<uint8_t>& groups, const std::vector<std::pair<uint8_t, uint16_t>>& devices);
    bool movedByPress(int row) const;

private:
    std::vector<uint8_t> m_groups;
    std::vector<std::pair<uint8_t, uint16_t>> m_devices;
};

// The tint of a row a press would move.
QColor PressTargetTint();

// F12 reaches the program whichever of its windows has the focus, a modal dialog or a message
// box included (Qt holds back an ordinary shortcut while a modal dialog is open). Installed on
// the application.
class StopAllKey : public QObject {
public:
    StopAllKey(QObject* parent, std::function<void()> stop) : QObject(parent), m_stop(std::move(stop)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void()> m_stop;
};

// Pictures drawn at run time, so the program needs no image files.
namespace Pictures {
// 16 x 16 green, red or (not known) grey ball; ringed for a device a press moves.
QIcon stateBall(std::optional<bool> online, bool ringed);
QIcon toolButton(const QString& which);  // 40 x 40: refresh, groups, password, about, exit
QIcon motionArrow(const QString& which); // up, down, stop, forward, backward
} // namespace Pictures

// The device list's state images, drawn once: the off-line and the on-line ball.
const QIcon& StateBallIcon(std::optional<bool> online, bool movedByPress = false);

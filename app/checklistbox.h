// The group list: entries with a check box each.
#pragma once

#include <QListWidget>
#include <QString>

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

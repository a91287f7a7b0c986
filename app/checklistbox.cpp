#include "app/checklistbox.h"

#include <algorithm>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionViewItem>


// ---------------------------------------------------------------- TCheckListBox

TCheckListBox::TCheckListBox(QWidget* parent) : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
}

QListWidgetItem* TCheckListBox::addEntry(const QString& text)
{
    // Sorted on adding only: renaming an entry later keeps its place.
    int row = count();
    while (row > 0 && QString::compare(text, item(row - 1)->text(), Qt::CaseSensitive) < 0) --row;
    // A long group name is cut at the list's edge; its tool tip shows it whole.
    struct Entry : QListWidgetItem {
        using QListWidgetItem::QListWidgetItem;
        QVariant data(int role) const override
        {
            return role == Qt::ToolTipRole ? QVariant(text()) : QListWidgetItem::data(role);
        }
    };
    auto* entry = new Entry(text);
    entry->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable); // the mark is toggled here, not by Qt
    entry->setData(Qt::CheckStateRole, Qt::Unchecked);
    insertItem(row, entry);
    return entry;
}

int TCheckListBox::groupOf(int entry) const
{
    const QListWidgetItem* it = entry >= 0 ? item(entry) : nullptr;
    return it ? it->data(GroupIdRole).toInt() : -1;
}

bool TCheckListBox::checked(int index) const
{
    const QListWidgetItem* it = item(index);
    return it && it->data(Qt::CheckStateRole).toInt() == Qt::Checked;
}

void TCheckListBox::setChecked(int index, bool on)
{
    if (QListWidgetItem* it = item(index)) it->setData(Qt::CheckStateRole, on ? Qt::Checked : Qt::Unchecked);
}

bool TCheckListBox::onCheckBox(const QPoint& pos, int* row) const
{
    const QModelIndex index = indexAt(pos);
    if (row) *row = index.isValid() ? index.row() : -1;
    if (!index.isValid()) return false;
    QStyleOptionViewItem opt;
    initViewItemOption(&opt);
    opt.rect = visualRect(index);
    opt.features |= QStyleOptionViewItem::HasCheckIndicator;
    const QRect box = style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &opt, this);
    return box.contains(pos);
}

void TCheckListBox::mousePressEvent(QMouseEvent* event)
{
    // Only the left button picks an entry; the highlight must always stand for the rows shown.
    if (event->button() != Qt::LeftButton) return;
    int row = -1;
    onCheckBox(event->position().toPoint(), &row);
    m_pressed = row >= 0;
    m_rowBeforePress = currentRow();
    if (row >= 0) setCurrentRow(row);
}

void TCheckListBox::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_pressed || event->button() != Qt::LeftButton) return;
    m_pressed = false;
    int row = -1;
    const bool box = onCheckBox(event->position().toPoint(), &row);
    if (row < 0 || row != currentRow()) {
        // Released elsewhere: no click, so the entry of the rows shown stays highlighted.
        setCurrentRow(m_rowBeforePress);
        return;
    }
    emit entryClicked();
    if (box) setChecked(row, !checked(row));
}

void TCheckListBox::mouseDoubleClickEvent(QMouseEvent* event)
{
    int row = -1;
    onCheckBox(event->position().toPoint(), &row);
    if (row >= 0) emit entryDoubleClicked();
}

void TCheckListBox::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Space && currentRow() >= 0) {
        setChecked(currentRow(), !checked(currentRow()));
        return;
    }
    const int before = currentRow();
    QListWidget::keyPressEvent(event);
    if (currentRow() != before && currentRow() >= 0) emit entryClicked();
}

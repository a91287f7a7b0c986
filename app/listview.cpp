#include "app/listview.h"

#include <algorithm>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionViewItem>


// ---------------------------------------------------------------- TListView

QVariant TListView::cellData(int row, int column, int role) const
{
    return model() ? model()->index(row, column).data(role) : QVariant();
}

QString TListView::headerText(int column) const
{
    return model() ? model()->headerData(column, Qt::Horizontal).toString() : QString();
}

void TListView::mouseReleaseEvent(QMouseEvent* event)
{
    QTableView::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton) emit listClicked();
}

QModelIndex TListView::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers)
{
    // Rows are what is chosen here, so Home and End go to the first and last row (a table would
    // stay in the row), and with Shift they extend the selection as in any list.
    if ((action == MoveHome || action == MoveEnd) && rowCount() > 0) {
        const int column = currentIndex().isValid() ? currentIndex().column() : 0;
        return model()->index(action == MoveHome ? 0 : rowCount() - 1, column);
    }
    return QTableView::moveCursor(action, modifiers);
}

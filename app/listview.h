// The device list.
#pragma once

#include <QTableView>
#include <QString>

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

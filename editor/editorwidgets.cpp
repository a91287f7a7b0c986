#include "editor/editorwidgets.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QRegularExpressionValidator>

#include <algorithm>

#include "common/gbk.h"
#include "ui/messages.h"

// ---------------------------------------------------------------- device list

TDeviceListView::TDeviceListView(QWidget* parent) : QTableWidget(0, 2, parent)
{
    setShowGrid(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(18);
    QHeaderView* head = horizontalHeader();
    head->setSectionsClickable(false);
    head->setHighlightSections(false);
    head->setSectionResizeMode(QHeaderView::Fixed);
    head->setStretchLastSection(true);
    setColumnWidth(0, 40);
    setColumnWidth(1, 150);
    setHorizontalHeaderLabels({QStringLiteral(" ID"), QString()});
    horizontalHeaderItem(0)->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    // The selection stays as visible when another control has the focus.
    QPalette pal = palette();
    pal.setColor(QPalette::Inactive, QPalette::Highlight, pal.color(QPalette::Active, QPalette::Highlight));
    pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
                 pal.color(QPalette::Active, QPalette::HighlightedText));
    setPalette(pal);

    m_narrowTimer.setSingleShot(true);
    connect(&m_narrowTimer, &QTimer::timeout, this, &TDeviceListView::narrowToPressedRow);
}

void TDeviceListView::addDevice(int id, const QString& name)
{
    const int row = rowCount();
    insertRow(row);
    setItem(row, 0, new QTableWidgetItem(QString::number(id)));
    auto* nameItem = new QTableWidgetItem(name);
    nameItem->setTextAlignment(Qt::AlignCenter);
    setItem(row, 1, nameItem);
}

void TDeviceListView::clearDevices()
{
    clearSelection();
    setRowCount(0);
}

int TDeviceListView::deviceId(int row) const
{
    const QTableWidgetItem* cell = item(row, 0);
    return cell ? cell->text().toInt() : 0;
}

QString TDeviceListView::deviceName(int row) const
{
    const QTableWidgetItem* cell = item(row, 1);
    return cell ? cell->text() : QString();
}

QList<int> TDeviceListView::selectedRowsInOrder() const
{
    QList<int> rows;
    for (const QModelIndex& index : selectionModel()->selectedRows()) rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

int TDeviceListView::rowOf(int id) const
{
    for (int row = 0; row < rowCount(); ++row)
        if (deviceId(row) == id) return row;
    return -1;
}

void TDeviceListView::setNameHeader(const QString& text)
{
    auto* head = new QTableWidgetItem(text);
    head->setTextAlignment(Qt::AlignCenter);
    setHorizontalHeaderItem(1, head);
}

void TDeviceListView::mousePressEvent(QMouseEvent* event)
{
    m_narrowTimer.stop();
    m_pressedRow = -1;
    m_doubleClicked = false;
    const QModelIndex index = indexAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && event->modifiers() == Qt::NoModifier && index.isValid()
        && selectionModel()->isRowSelected(index.row(), {}) && selectedRowsInOrder().size() > 1) {
        m_pressedRow = index.row();
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
        event->accept();
        return;
    }
    QTableWidget::mousePressEvent(event);
}

void TDeviceListView::mouseReleaseEvent(QMouseEvent* event)
{
    if (m_pressedRow >= 0) {
        event->accept();
        if (m_doubleClicked) {
            m_pressedRow = -1;
            m_doubleClicked = false;
        } else {
            m_narrowTimer.start(QApplication::doubleClickInterval());
        }
        return;
    }
    QTableWidget::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton) emit listClicked();
}

void TDeviceListView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (m_pressedRow >= 0 && event->button() == Qt::LeftButton) {
        m_narrowTimer.stop();
        m_doubleClicked = true;
        event->accept();
        emit listDoubleClicked();
        return;
    }
    QTableWidget::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton) emit listDoubleClicked();
}

// The click on one of several selected rows that no double-click followed.
void TDeviceListView::narrowToPressedRow()
{
    const int row = m_pressedRow;
    m_pressedRow = -1;
    if (row < 0 || row >= rowCount()) return;
    const QModelIndex index = model()->index(row, 0);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    emit listClicked();
}

// ---------------------------------------------------------------- name length

GbkLengthValidator::GbkLengthValidator(int maxBytes, QObject* parent) : QValidator(parent), m_maxBytes(maxBytes) {}

QValidator::State GbkLengthValidator::validate(QString& input, int& pos) const
{
    if (GbkLength(input) <= m_maxBytes) return Acceptable;
    // What was typed or pasted ends at the cursor: it loses its end, the text after it stays.
    const int cursor = std::clamp(pos, 0, int(input.size()));
    const QString after = input.mid(cursor);
    const int room = m_maxBytes - GbkLength(after);
    // A blank the cut leaves at the end of what stays goes too: nobody wants a name stored with it.
    const auto cut = [](const QString& text, int bytes) {
        QString kept = TruncateToGbkBytes(text, bytes);
        while (!kept.isEmpty() && kept.back().isSpace()) kept.chop(1);
        return kept;
    };
    if (room >= 0) {
        const QString before = cut(input.left(cursor), room);
        input = before + after;
        pos = int(before.size());
    } else {
        input = cut(input, m_maxBytes);
        pos = int(input.size());
    }
    emit textCut();
    return Acceptable;
}

// ---------------------------------------------------------------- new-ID field

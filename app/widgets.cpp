#include "app/widgets.h"

#include <algorithm>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionViewItem>

#include "app/mainwindow_texts.h"
#include "core/devicemodel.h"
#include "protocol/frames.h"
#include "protocol/targets.h"

// ---------------------------------------------------------------- TStatusBar

TStatusBar::TStatusBar(QWidget* parent) : QWidget(parent)
{
    setAutoFillBackground(true);
    setFixedHeight(sizeHint().height());
}

QSize TStatusBar::sizeHint() const
{
    return {400, fontMetrics().height() + 8};
}

void TStatusBar::addPanel(int width, bool lowered)
{
    m_panels.push_back({width, lowered, QString(), width});
    update();
}

void TStatusBar::fitPanel(int index, const QStringList& texts, int limit)
{
    if (index < 0 || index >= panelCount()) return;
    Panel& panel = m_panels[static_cast<size_t>(index)];
    int widest = 0;
    for (const QString& text : texts) widest = std::max(widest, fontMetrics().horizontalAdvance(text));
    // Text stands 5 pixels in from the left and needs as much again on the right, bevel included.
    panel.width = std::max(panel.made, std::min(widest + 14, limit));
    update();
}

int TStatusBar::panelWidth(int index) const
{
    if (index < 0 || index >= panelCount()) return 0;
    const int own = m_panels[static_cast<size_t>(index)].width;
    if (index != m_stretchPanel) return own;
    int others = 0;
    for (int i = 0; i < panelCount(); ++i)
        if (i != index) others += m_panels[static_cast<size_t>(i)].width;
    return std::max(own, width() - others);
}

int TStatusBar::panelLeft(int index) const
{
    int x = 0;
    for (int i = 0; i < index && i < panelCount(); ++i) x += m_panels[static_cast<size_t>(i)].width;
    return x;
}

QString TStatusBar::panelText(int index) const
{
    return index >= 0 && index < panelCount() ? m_panels[static_cast<size_t>(index)].text : QString();
}

void TStatusBar::setPanelText(int index, const QString& text)
{
    if (index < 0 || index >= panelCount()) return;
    m_panels[static_cast<size_t>(index)].text = text;
    if (index == m_stretchPanel)
        setToolTip(fontMetrics().horizontalAdvance(text) > panelWidth(index) - 5 ? text : QString());
    update(panelRect(index));
}

void TStatusBar::paintPanelText(int index, const QString& text, const QColor& color)
{
    m_paintedPanel = index;
    m_paintedText = text;
    // The panel widens to hold it (a port's full path, say) up to a point; beyond that the text
    // loses its middle.
    fitPanel(index, {text}, 340);
    m_paintedColor = color;
    update();
}

QRect TStatusBar::panelRect(int index) const
{
    return QRect(panelLeft(index), 0, panelWidth(index), height());
}

void TStatusBar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QPalette pal = palette();
    for (int i = 0; i < panelCount(); ++i) {
        const Panel& panel = m_panels[static_cast<size_t>(i)];
        QRect r = panelRect(i).adjusted(0, 1, -2, -1);
        if (panel.lowered) {
            p.setPen(pal.color(QPalette::Dark));
            p.drawLine(r.topLeft(), r.topRight());
            p.drawLine(r.topLeft(), r.bottomLeft());
            p.setPen(pal.color(QPalette::Light));
            p.drawLine(r.bottomLeft(), r.bottomRight());
            p.drawLine(r.topRight(), r.bottomRight());
        }
        if (i == m_ownerDrawPanel) {
            m_ownerDrawRect = r.adjusted(1, 1, 0, 0);
            continue; // the owner draws nothing here; the progress bar covers it
        }
        if (!panel.text.isEmpty()) {
            // A text longer than the bar is wide ends in an ellipsis; the bar's tool tip has it whole.
            const QRect textRect = r.adjusted(3, 0, -2, 0);
            p.setPen(pal.color(QPalette::WindowText));
            p.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
                       fontMetrics().elidedText(panel.text, Qt::ElideRight, textRect.width()));
        }
    }
    if (m_paintedPanel >= 0 && !m_paintedText.isEmpty()) {
        const int x = panelLeft(m_paintedPanel) + 5;
        const QRect r(QPoint(x, 3), QPoint(x + panelWidth(m_paintedPanel) - 10, height() - 1));
        p.fillRect(r, pal.color(QPalette::Window));
        p.setPen(m_paintedColor);
        p.drawText(r, Qt::AlignVCenter | Qt::AlignLeft, fontMetrics().elidedText(m_paintedText, Qt::ElideMiddle, r.width()));
    }
}

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

// ---------------------------------------------------------------- StopAllKey

bool StopAllKey::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_F12 && key->modifiers() == Qt::NoModifier) {
            // The press is taken once; a held key does not repeat it.
            if (event->type() == QEvent::KeyPress && !key->isAutoRepeat()) m_stop();
            event->accept();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

// ---------------------------------------------------------------- StateBallColumn

using namespace mainwindow;

QVariant StateBallColumn::data(const QModelIndex& index, int role) const
{
    const auto online = [&]() -> std::optional<bool> {
        const QVariant known = QIdentityProxyModel::data(index.siblingAtColumn(DeviceModel::StateColumn), DeviceModel::OnlineRole);
        return known.isValid() ? std::optional<bool>(known.toBool()) : std::nullopt;
    };
    if (role == Qt::DecorationRole && index.column() == DeviceModel::StateColumn)
        return StateBallIcon(online(), movedByPress(index.row()));
    if (role == Qt::BackgroundRole && movedByPress(index.row())) return PressTargetTint();
    if (role == Qt::ToolTipRole) {
        const std::optional<bool> state = online();
        QString tip = pick(!state ? StateNotAsked : *state ? StateOnLine : StateOffLine);
        if (movedByPress(index.row())) tip += QLatin1Char('\n') + pick(RowMovedByPress);
        return tip;
    }
    return QIdentityProxyModel::data(index, role);
}

void StateBallColumn::setPressTargets(const std::vector<uint8_t>& groups,
                                      const std::vector<std::pair<uint8_t, uint16_t>>& devices)
{
    if (groups == m_groups && devices == m_devices) return;
    m_groups = groups;
    m_devices = devices;
    if (rowCount() > 0) emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1), {Qt::BackgroundRole, Qt::ToolTipRole, Qt::DecorationRole});
}

bool StateBallColumn::movedByPress(int row) const
{
    if (m_groups.empty() && m_devices.empty()) return false;
    const QModelIndex first = index(row, 0);
    const int group = first.data(DeviceGroupRole).toInt();
    const int id = first.data(DeviceIdRole).toInt();
    for (uint8_t g : m_groups)
        if (g == BroadcastGroup || g == group) return true;
    for (const auto& [g, i] : m_devices)
        if (g == group && i == id) return true;
    return false;
}

QColor PressTargetTint()
{
    return QColor(255, 236, 170);
}

// ---------------------------------------------------------------- Pictures

namespace Pictures {

QIcon stateBall(std::optional<bool> online, bool ringed)
{
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor base = !online ? QColor(150, 150, 150) : *online ? QColor(0, 170, 0) : QColor(210, 0, 0);
    // A device a press moves wears an amber ring, seen also on a selected row.
    const QRectF ball = ringed ? QRectF(3.5, 3.5, 9, 9) : QRectF(1.5, 1.5, 13, 13);
    if (ringed) {
        p.setPen(QPen(QColor(235, 150, 0), 2.5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(1.25, 1.25, 13.5, 13.5));
    }
    QRadialGradient g(ball.topLeft() + QPointF(ball.width() / 3, ball.height() / 3), ball.width() * 0.6);
    g.setColorAt(0, base.lighter(180));
    g.setColorAt(1, base.darker(120));
    p.setBrush(g);
    p.setPen(base.darker(160));
    p.drawEllipse(ball);
    return QIcon(pm);
}

static QPixmap canvas(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    return pm;
}

QIcon toolButton(const QString& which)
{
    QPixmap pm = canvas(40);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(30, 80, 160), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    if (which == QLatin1String("refresh")) {
        p.drawArc(QRectF(8, 8, 24, 24), 40 * 16, 280 * 16);
        p.setBrush(QColor(30, 80, 160));
        QPolygonF head;
        head << QPointF(27, 5) << QPointF(34, 13) << QPointF(24, 15);
        p.drawPolygon(head);
    } else if (which == QLatin1String("groups")) {
        p.setBrush(QColor(120, 170, 230));
        p.drawEllipse(QRectF(5, 8, 11, 11));
        p.drawEllipse(QRectF(24, 8, 11, 11));
        p.drawEllipse(QRectF(14.5, 20, 11, 11));
        p.drawLine(QPointF(10, 30), QPointF(30, 30));
    } else if (which == QLatin1String("password")) {
        p.setBrush(QColor(230, 190, 60));
        p.drawEllipse(QRectF(6, 12, 14, 14));
        p.drawLine(QPointF(20, 19), QPointF(35, 19));
        p.drawLine(QPointF(30, 19), QPointF(30, 25));
        p.drawLine(QPointF(35, 19), QPointF(35, 25));
    } else if (which == QLatin1String("about")) {
        p.setBrush(QColor(220, 235, 255));
        p.drawEllipse(QRectF(5, 5, 30, 30));
        p.drawLine(QPointF(20, 18), QPointF(20, 28));
        p.drawPoint(QPointF(20, 12));
    } else if (which == QLatin1String("audit")) {
        // A sheet with lines and a magnifying glass.
        p.setBrush(QColor(245, 245, 250));
        p.drawRect(QRectF(6, 5, 20, 27));
        p.drawLine(QPointF(10, 12), QPointF(22, 12));
        p.drawLine(QPointF(10, 18), QPointF(22, 18));
        p.drawLine(QPointF(10, 24), QPointF(17, 24));
        p.setBrush(QColor(220, 235, 255));
        p.drawEllipse(QRectF(18, 18, 12, 12));
        p.drawLine(QPointF(28.5, 28.5), QPointF(35, 35));
    } else if (which == QLatin1String("exit")) {
        pen.setColor(QColor(180, 30, 30));
        p.setPen(pen);
        p.drawRect(QRectF(7, 6, 16, 28));
        p.drawLine(QPointF(18, 20), QPointF(35, 20));
        p.drawLine(QPointF(29, 14), QPointF(35, 20));
        p.drawLine(QPointF(29, 26), QPointF(35, 20));
    }
    return QIcon(pm);
}

QIcon motionArrow(const QString& which)
{
    QPixmap pm = canvas(32);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(20, 60, 120), 1.5));
    p.setBrush(QColor(60, 120, 200));
    if (which == QLatin1String("stop")) {
        p.setBrush(QColor(200, 40, 40));
        p.drawRoundedRect(QRectF(8, 8, 16, 16), 3, 3);
        return QIcon(pm);
    }
    if (which == QLatin1String("forward") || which == QLatin1String("backward")) {
        // A load hanging from its point, tipped to one side, and the turn that tips it: forward
        // turns it to the left, as the button sits left of Stop.
        const bool forward = which == QLatin1String("forward");
        const qreal side = forward ? -1 : 1;
        p.setPen(QPen(QColor(20, 60, 120), 1.5));
        p.drawLine(QPointF(16, 12), QPointF(16, 16)); // the hook
        p.save();
        p.translate(16, 19);
        p.rotate(25 * side);
        p.drawRoundedRect(QRectF(-11, -3, 22, 6), 2, 2);
        p.restore();
        // The turn: an arc over the load with its head at the end the load goes down to.
        QPen turn(QColor(20, 60, 120), 2.2, Qt::SolidLine, Qt::RoundCap);
        p.setPen(turn);
        p.setBrush(Qt::NoBrush);
        const QRectF arc(5, 4, 22, 22);
        p.drawArc(arc, forward ? 60 * 16 : 120 * 16, forward ? 80 * 16 : -80 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(20, 60, 120));
        const QPointF tip(16 + side * 11 * 0.866, 15 - 11 * 0.5 + 0.5);
        QPolygonF head;
        head << tip + QPointF(side * 1.5, 4.5) << tip + QPointF(-side * 4.5, -0.5) << tip + QPointF(side * 3.5, -3.5);
        p.drawPolygon(head);
        return QIcon(pm);
    }
    QPolygonF arrow; // pointing up
    arrow << QPointF(16, 4) << QPointF(28, 17) << QPointF(21, 17) << QPointF(21, 28) << QPointF(11, 28)
          << QPointF(11, 17) << QPointF(4, 17);
    p.translate(16, 16);
    if (which == QLatin1String("down")) p.rotate(180);
    p.translate(-16, -16);
    p.drawPolygon(arrow);
    return QIcon(pm);
}

} // namespace Pictures

const QIcon& StateBallIcon(std::optional<bool> online, bool movedByPress)
{
    static const QIcon icons[2][3] = {
        {Pictures::stateBall(std::nullopt, false), Pictures::stateBall(false, false), Pictures::stateBall(true, false)},
        {Pictures::stateBall(std::nullopt, true), Pictures::stateBall(false, true), Pictures::stateBall(true, true)}};
    return icons[movedByPress ? 1 : 0][!online ? 0 : *online ? 2 : 1];
}

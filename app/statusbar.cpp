#include "app/statusbar.h"

#include <algorithm>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionViewItem>


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

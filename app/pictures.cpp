#include "app/pictures.h"

#include <algorithm>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionViewItem>


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

#include "app/timelinestrip.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

#include "app/auditwindow_texts.h"

using namespace auditwindow;

std::vector<TimelineBand> TimelineBands(const std::vector<StateChange>& history, const AuditDevice& device,
                                        const QDateTime& since, const QDateTime& until)
{
    std::vector<TimelineBand> bands;
    if (!since.isValid() || !until.isValid() || !(since < until))
        return bands;
    std::vector<StateChange> own;
    for (const StateChange& c : history)
        if (c.group == device.first && c.id == device.second)
            own.push_back(c);
    std::stable_sort(own.begin(), own.end(), [](const StateChange& a, const StateChange& b) { return a.time < b.time; });
    DeviceState state = DeviceState::Unknown;
    QDateTime from = since;
    for (const StateChange& c : own) {
        if (c.time <= since) {
            state = c.state;
            continue;
        }
        if (c.time >= until)
            break;
        if (c.state == state)
            continue;
        bands.push_back({from, c.time, state});
        from = c.time;
        state = c.state;
    }
    bands.push_back({from, until, state});
    return bands;
}

QColor TimelineColor(DeviceState state)
{
    // Told apart in colour and, printed in grey, by their lightness.
    switch (state) {
    case DeviceState::Online:
        return QColor(0x1f, 0x9e, 0x3d);
    case DeviceState::Offline:
        return QColor(0xd0, 0x1c, 0x1c);
    case DeviceState::Unknown:
        break;
    }
    return QColor(0xbe, 0xbe, 0xbe);
}

namespace {

QString laneLabel(const AuditDevice& device)
{
    return QStringLiteral("%1:%2").arg(device.first).arg(device.second);
}

// Ticks on whole minutes, hours or days of local time, as many as their labels leave room for.
struct Ticks {
    std::vector<QDateTime> times;
    QString format;
};

Ticks ticksFor(const QDateTime& since, const QDateTime& until, int width, const QFontMetrics& metrics)
{
    Ticks ticks;
    if (!(since < until) || width <= 0)
        return ticks;
    const QDateTime first = since.toLocalTime(), last = until.toLocalTime();
    const bool overYears = first.date().year() != last.date().year();
    const bool overDays = first.date() != last.date();
    const double minutes = since.secsTo(until) / 60.0;
    static const int stepsInMinutes[] = {1, 2, 5, 10, 15, 30, 60, 2 * 60, 3 * 60, 6 * 60, 12 * 60, 24 * 60, 48 * 60,
                                         72 * 60, 7 * 1440, 14 * 1440, 28 * 1440, 56 * 1440, 91 * 1440, 182 * 1440, 364 * 1440};
    const auto formatFor = [&](int step) {
        if (step < 1440)
            return overDays ? QStringLiteral("MM-dd HH:mm") : QStringLiteral("HH:mm");
        return overYears ? QStringLiteral("yyyy-MM-dd") : QStringLiteral("MM-dd");
    };
    int step = stepsInMinutes[std::size(stepsInMinutes) - 1];
    for (int candidate : stepsInMinutes) {
        const int room = metrics.horizontalAdvance(first.toString(formatFor(candidate))) + metrics.height() * 2;
        if (minutes / candidate * room <= width) {
            step = candidate;
            break;
        }
    }
    ticks.format = formatFor(step);
    if (step < 1440) {
        for (QDate day = first.date(); day <= last.date(); day = day.addDays(1))
            for (int m = 0; m < 1440; m += step) {
                const QDateTime t(day, QTime(m / 60, m % 60));
                if (t >= since && t <= until)
                    ticks.times.push_back(t);
            }
    } else {
        for (QDate day = first.date(); day <= last.date(); day = day.addDays(step / 1440)) {
            const QDateTime t = day.startOfDay();
            if (t >= since && t <= until)
                ticks.times.push_back(t);
        }
    }
    return ticks;
}

} // namespace

TimelineStrip::TimelineStrip(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("timelineStrip"));
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TimelineStrip::setTimeline(std::vector<AuditDevice> devices, const QDateTime& since, const QDateTime& until,
                                const std::vector<StateChange>& history, const QDateTime& knownUntil)
{
    m_devices = std::move(devices);
    m_since = since;
    m_until = until;
    m_knownUntil = std::clamp(knownUntil, since, until);
    setView(m_viewFrom.isValid() ? m_viewFrom : since, m_viewTo.isValid() ? m_viewTo : until);
    m_bands.clear();
    for (const AuditDevice& device : m_devices)
        m_bands.push_back(TimelineBands(history, device, m_since, m_knownUntil));
    updateGeometry();
    update();
}

void TimelineStrip::setView(const QDateTime& from, const QDateTime& to)
{
    if (!m_since.isValid() || !m_until.isValid() || !(m_since < m_until))
        return;
    QDateTime a = std::clamp(from, m_since, m_until), b = std::clamp(to, m_since, m_until);
    if (b < a)
        std::swap(a, b);
    // No narrower than a minute, kept within the axis.
    const qint64 shortest = std::min(MinimumViewMs, m_since.msecsTo(m_until));
    if (a.msecsTo(b) < shortest) {
        const QDateTime middle = a.addMSecs(a.msecsTo(b) / 2);
        a = middle.addMSecs(-shortest / 2);
        b = a.addMSecs(shortest);
        if (a < m_since) {
            a = m_since;
            b = a.addMSecs(shortest);
        } else if (b > m_until) {
            b = m_until;
            a = b.addMSecs(-shortest);
        }
    }
    m_viewFrom = a;
    m_viewTo = b;
    update();
}

QDateTime TimelineStrip::timeAt(const QRect& lane, int x) const
{
    if (lane.width() <= 0)
        return m_viewFrom;
    const double share = std::clamp(double(x - lane.left()) / double(lane.width()), 0.0, 1.0);
    return m_viewFrom.addMSecs(qint64(share * double(m_viewFrom.msecsTo(m_viewTo))));
}

QRect TimelineStrip::lanesArea() const
{
    const Layout at = layout(rect(), fontMetrics());
    return QRect(at.lanes.left(), at.lanes.top(), at.lanes.width(), std::max(at.lanes.height(), 1));
}

void TimelineStrip::zoom(double factor, int x)
{
    if (!m_viewFrom.isValid())
        return;
    const QRect lanes = lanesArea();
    const QDateTime anchor = timeAt(lanes, x);
    const double share = lanes.width() > 0 ? std::clamp(double(x - lanes.left()) / lanes.width(), 0.0, 1.0) : 0.5;
    const qint64 span = qint64(double(m_viewFrom.msecsTo(m_viewTo)) * factor);
    QDateTime from = anchor.addMSecs(-qint64(share * double(span))), to = from.addMSecs(span);
    // Zoomed out against one end of the axis, the view slides along it rather than shrinking.
    if (from < m_since) {
        to = to.addMSecs(from.msecsTo(m_since));
        from = m_since;
    }
    if (to > m_until) {
        from = from.addMSecs(-m_until.msecsTo(to));
        to = m_until;
    }
    setView(from, to);
    emit viewChanged();
}

void TimelineStrip::wheelEvent(QWheelEvent* event)
{
    const int notches = event->angleDelta().y() / 120;
    if (notches == 0 || m_devices.empty()) {
        QWidget::wheelEvent(event);
        return;
    }
    // Away from the user: closer in.
    zoom(std::pow(0.8, notches), int(event->position().x()));
    event->accept();
}

void TimelineStrip::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || m_devices.empty() || !lanesArea().contains(event->position().toPoint())) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_dragFrom = m_dragTo = int(event->position().x());
    update();
}

void TimelineStrip::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_dragFrom) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    const QRect lanes = lanesArea();
    m_dragTo = std::clamp(int(event->position().x()), lanes.left(), lanes.right());
    update();
}

void TimelineStrip::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_dragFrom || event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    const QRect lanes = lanesArea();
    const int from = *m_dragFrom, to = std::clamp(int(event->position().x()), lanes.left(), lanes.right());
    m_dragFrom.reset();
    m_dragTo.reset();
    // A click is no range.
    if (std::abs(to - from) >= 4) {
        setView(timeAt(lanes, std::min(from, to)), timeAt(lanes, std::max(from, to)));
        emit viewChanged();
    }
    update();
}

TimelineStrip::Layout TimelineStrip::layout(const QRect& area, const QFontMetrics& metrics) const
{
    const int line = metrics.height(), pad = line / 2;
    int labelWidth = metrics.horizontalAdvance(QStringLiteral("15:999"));
    for (const AuditDevice& device : m_devices)
        labelWidth = std::max(labelWidth, metrics.horizontalAdvance(laneLabel(device)));
    // Room on the right for half a time label past the axis's end.
    const int tail = metrics.horizontalAdvance(QStringLiteral("00-00 00:00")) / 2 + pad;
    Layout at;
    at.legend = QRect(area.left() + pad, area.top() + pad, area.width() - 2 * pad, line + pad);
    at.axis = QRect(area.left(), area.bottom() - (2 * line + pad / 2) + 1, area.width(), 2 * line);
    const int top = at.legend.bottom() + pad;
    at.labels = QRect(area.left() + pad, top, labelWidth + 2 * pad, at.axis.top() - top);
    at.lanes = QRect(at.labels.right() + 1, top, std::max(1, area.right() - tail - at.labels.right()), at.labels.height());
    const int count = int(m_devices.size());
    at.laneHeight = count == 0 ? 0 : std::min(2 * line, at.lanes.height() / count);
    at.lanes.setHeight(at.laneHeight * count);
    at.labels.setHeight(at.lanes.height());
    at.axis.moveTop(at.lanes.bottom() + 1);
    at.axis.setLeft(at.lanes.left());
    at.axis.setRight(at.lanes.right());
    return at;
}

QRect TimelineStrip::laneRect(const QRect& area, const QFontMetrics& metrics, int lane) const
{
    const Layout at = layout(area, metrics);
    const int gap = std::max(2, at.laneHeight / 5);
    return QRect(at.lanes.left(), at.lanes.top() + lane * at.laneHeight + gap / 2, at.lanes.width(), at.laneHeight - gap);
}

int TimelineStrip::xAt(const QRect& lane, const QDateTime& time) const
{
    const qint64 span = m_viewFrom.msecsTo(m_viewTo);
    if (span <= 0)
        return lane.left();
    const double share = std::clamp(double(m_viewFrom.msecsTo(time)) / double(span), 0.0, 1.0);
    return lane.left() + int(share * lane.width() + 0.5);
}

void TimelineStrip::paintLegend(QPainter& painter, const QRect& legend) const
{
    const QFontMetrics metrics = painter.fontMetrics();
    QFont bold = painter.font();
    bold.setBold(true);
    painter.save();
    painter.setFont(bold);
    painter.setPen(Qt::black);
    const QString caption = pick(TimelineCaption);
    painter.drawText(legend, Qt::AlignLeft | Qt::AlignVCenter, caption);
    int x = legend.left() + QFontMetrics(bold).horizontalAdvance(caption) + 2 * metrics.height();
    painter.restore();
    const int box = metrics.ascent();
    for (const auto& [state, text] : {std::pair{DeviceState::Online, &Online}, std::pair{DeviceState::Offline, &Offline},
                                      std::pair{DeviceState::Unknown, &Unknown}}) {
        const QRect swatch(x, legend.center().y() - box / 2, 2 * box, box);
        painter.setPen(Qt::black);
        painter.setBrush(TimelineColor(state));
        painter.drawRect(swatch);
        const QString name = pick(*text);
        painter.drawText(QRect(swatch.right() + box / 2, legend.top(), metrics.horizontalAdvance(name) + 2, legend.height()),
                         Qt::AlignLeft | Qt::AlignVCenter, name);
        x = swatch.right() + box / 2 + metrics.horizontalAdvance(name) + 2 * box;
    }
    // The dates the axis spans, for a printout read away from the window.
    if (m_viewFrom.isValid() && m_viewTo.isValid()) {
        const QString format = m_viewFrom.secsTo(m_viewTo) < 3 * 86400 ? QStringLiteral("yyyy-MM-dd HH:mm") : QStringLiteral("yyyy-MM-dd");
        const QString range = QStringLiteral("%1 – %2").arg(m_viewFrom.toLocalTime().toString(format),
                                                            m_viewTo.toLocalTime().toString(format));
        if (x + metrics.horizontalAdvance(range) < legend.right())
            painter.drawText(legend, Qt::AlignRight | Qt::AlignVCenter, range);
    }
}

void TimelineStrip::paintAxis(QPainter& painter, const Layout& at) const
{
    const QFontMetrics metrics = painter.fontMetrics();
    const int tick = metrics.height() / 3;
    painter.setPen(QPen(Qt::black, 1));
    painter.drawLine(at.axis.left(), at.axis.top(), at.axis.right(), at.axis.top());
    const Ticks ticks = ticksFor(m_viewFrom, m_viewTo, at.axis.width(), metrics);
    for (const QDateTime& t : ticks.times) {
        const int x = xAt(at.axis, t);
        painter.setPen(QPen(Qt::black, 1));
        painter.drawLine(x, at.axis.top(), x, at.axis.top() + tick);
        // A faint line up through the lanes, for reading a time off the bands.
        painter.setPen(QPen(QColor(0, 0, 0, 70), 1, Qt::DotLine));
        painter.drawLine(x, at.lanes.top(), x, at.lanes.bottom());
        const QString label = t.toLocalTime().toString(ticks.format);
        const int w = metrics.horizontalAdvance(label);
        painter.setPen(Qt::black);
        painter.drawText(QRect(x - w / 2 - 1, at.axis.top() + tick + 1, w + 2, metrics.height()), Qt::AlignCenter, label);
    }
}

void TimelineStrip::paint(QPainter& painter, const QRect& area) const
{
    painter.fillRect(area, Qt::white);
    painter.setPen(Qt::black);
    const QFontMetrics metrics = painter.fontMetrics();
    const Layout at = layout(area, metrics);
    paintLegend(painter, at.legend);
    if (m_devices.empty()) {
        const QRect note(area.left() + metrics.height(), at.legend.bottom(), area.width() - 2 * metrics.height(),
                         area.bottom() - at.legend.bottom());
        painter.drawText(note, Qt::AlignCenter | Qt::TextWordWrap, pick(NoDevices));
        return;
    }
    for (int lane = 0; lane < int(m_devices.size()); ++lane) {
        const QRect rect = laneRect(area, metrics, lane);
        painter.setPen(Qt::NoPen);
        for (const TimelineBand& band : m_bands[size_t(lane)]) {
            if (band.to < m_viewFrom || band.from > m_viewTo)
                continue;
            const int left = xAt(rect, band.from), right = xAt(rect, band.to);
            painter.fillRect(QRect(left, rect.top(), std::max(1, right - left), rect.height()), TimelineColor(band.state));
        }
        painter.setPen(QPen(Qt::black, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect.adjusted(0, 0, -1, -1));
        painter.drawText(QRect(at.labels.left(), rect.top(), at.labels.width() - metrics.height() / 2, rect.height()),
                         Qt::AlignRight | Qt::AlignVCenter, laneLabel(m_devices[size_t(lane)]));
    }
    paintAxis(painter, at);
    if (m_dragFrom && m_dragTo) {
        // The range being dragged, over the lanes.
        const QRect range(std::min(*m_dragFrom, *m_dragTo), at.lanes.top(), std::abs(*m_dragTo - *m_dragFrom) + 1, at.lanes.height());
        painter.fillRect(range, QColor(40, 90, 200, 60));
        painter.setPen(QPen(QColor(40, 90, 200), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(range.adjusted(0, 0, -1, -1));
    }
}

QImage TimelineStrip::picture() const
{
    // About A4 landscape across at 150 dots an inch, with type that reads at arm's length.
    QFont font = this->font();
    font.setPixelSize(26);
    const QFontMetrics metrics(font);
    const int lanes = std::max<int>(1, int(m_devices.size()));
    const QSize size(1700, metrics.height() * (2 * lanes + 5));
    QImage image(size, QImage::Format_RGB32);
    image.setDotsPerMeterX(5906); // 150 dpi
    image.setDotsPerMeterY(5906);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(font);
    paint(painter, image.rect());
    return image;
}

QSize TimelineStrip::sizeHint() const
{
    const int line = fontMetrics().height();
    return QSize(600, line * (2 * std::max<int>(2, int(m_devices.size())) + 5));
}

QSize TimelineStrip::minimumSizeHint() const
{
    // Lanes no lower than their labels, for a dozen devices; more share that room.
    const int line = fontMetrics().height();
    const int lanes = std::clamp<int>(int(m_devices.size()), 2, 12);
    return QSize(300, line * (lanes * 5 / 4 + 5));
}

void TimelineStrip::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    paint(painter, rect());
}

void TimelineStrip::changeEvent(QEvent* event)
{
    // The legend and the note are picked as they are painted.
    if (event->type() == QEvent::LanguageChange || event->type() == QEvent::FontChange)
        update();
    QWidget::changeEvent(event);
}

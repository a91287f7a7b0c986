#include "app/timelinestrip.h"

#include <QEvent>
#include <QPainter>

#include <algorithm>

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

// Ticks on whole hours or days of local time, as many as their labels leave room for.
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
    const double hours = since.secsTo(until) / 3600.0;
    static const int stepsInHours[] = {1, 2, 3, 6, 12, 24, 48, 72, 7 * 24, 14 * 24, 28 * 24, 56 * 24, 91 * 24, 182 * 24, 364 * 24};
    int step = stepsInHours[std::size(stepsInHours) - 1];
    for (int candidate : stepsInHours) {
        const QString format = candidate < 24 ? QStringLiteral("MM-dd HH:mm")
                                              : (overYears ? QStringLiteral("yyyy-MM-dd") : QStringLiteral("MM-dd"));
        const int room = metrics.horizontalAdvance(first.toString(format)) + metrics.height() * 2;
        if (hours / candidate * room <= width) {
            step = candidate;
            ticks.format = format;
            break;
        }
    }
    if (ticks.format.isEmpty())
        ticks.format = overYears ? QStringLiteral("yyyy-MM-dd") : QStringLiteral("MM-dd");
    if (step < 24) {
        for (QDate day = first.date(); day <= last.date(); day = day.addDays(1))
            for (int h = 0; h < 24; h += step) {
                const QDateTime t(day, QTime(h, 0));
                if (t >= since && t <= until)
                    ticks.times.push_back(t);
            }
    } else {
        for (QDate day = first.date(); day <= last.date(); day = day.addDays(step / 24)) {
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
    m_bands.clear();
    for (const AuditDevice& device : m_devices)
        m_bands.push_back(TimelineBands(history, device, m_since, m_knownUntil));
    updateGeometry();
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
    const qint64 span = m_since.msecsTo(m_until);
    if (span <= 0)
        return lane.left();
    const double share = std::clamp(double(m_since.msecsTo(time)) / double(span), 0.0, 1.0);
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
    if (m_since.isValid() && m_until.isValid()) {
        const QString range = QStringLiteral("%1 – %2").arg(m_since.toLocalTime().toString(QStringLiteral("yyyy-MM-dd")),
                                                            m_until.toLocalTime().toString(QStringLiteral("yyyy-MM-dd")));
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
    const Ticks ticks = ticksFor(m_since, m_until, at.axis.width(), metrics);
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

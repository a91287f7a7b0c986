// The on-line history of a few devices drawn as lanes along a time axis: green while a device is on
// line, red while it is off line, grey while its state is unknown. Drawn for the screen and, larger,
// for a printout (picture()).
#pragma once

#include <QDateTime>
#include <QImage>
#include <QWidget>

#include <optional>
#include <vector>

#include "audit/auditlog.h"

struct TimelineBand {
    QDateTime from, to; // UTC
    DeviceState state = DeviceState::Unknown;
};

// The bands of `device` from `since` to `until`: the state at `since` is that of its last change at
// or before it (unknown without one), then one band per change of state; the last band reaches
// `until`. Changes of other devices, and repeats of the state a device is already in, are passed over.
std::vector<TimelineBand> TimelineBands(const std::vector<StateChange>& history, const AuditDevice& device,
                                        const QDateTime& since, const QDateTime& until);

QColor TimelineColor(DeviceState state);

class TimelineStrip : public QWidget {
    Q_OBJECT
public:
    explicit TimelineStrip(QWidget* parent = nullptr);

    // One lane per device; the axis runs from `since` to `until`, the bands up to `knownUntil` (the
    // present when the axis reaches past it; no later than `until`). `history`: oldest first, as
    // AuditLog::history gives it.
    void setTimeline(std::vector<AuditDevice> devices, const QDateTime& since, const QDateTime& until,
                     const std::vector<StateChange>& history, const QDateTime& knownUntil);
    const std::vector<AuditDevice>& devices() const { return m_devices; }
    const std::vector<TimelineBand>& bands(int lane) const { return m_bands[size_t(lane)]; }

    // The part of the axis drawn across the strip: within since..until, at least MinimumView long.
    // The wheel zooms it about the time under the pointer; a range dragged across the lanes
    // becomes the view.
    static constexpr qint64 MinimumViewMs = 60 * 1000;
    void setView(const QDateTime& from, const QDateTime& to);
    QDateTime viewFrom() const { return m_viewFrom; }
    QDateTime viewTo() const { return m_viewTo; }
    // The time drawn at x within the lane.
    QDateTime timeAt(const QRect& lane, int x) const;
    // Zooms by factor (below 1: in) about the time at x of the widget.
    void zoom(double factor, int x);

    // The strip on white at a size for a printout.
    QImage picture() const;

    // Where a lane is drawn within `area`, and where a time falls along it.
    QRect laneRect(const QRect& area, const QFontMetrics& metrics, int lane) const;
    int xAt(const QRect& lane, const QDateTime& time) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // The view changed by the wheel or a dragged range.
    void viewChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    struct Layout {
        QRect legend, labels, lanes, axis;
        int laneHeight = 0;
    };
    Layout layout(const QRect& area, const QFontMetrics& metrics) const;
    void paint(QPainter& painter, const QRect& area) const;
    void paintLegend(QPainter& painter, const QRect& legend) const;
    void paintAxis(QPainter& painter, const Layout& at) const;

    std::vector<AuditDevice> m_devices;
    std::vector<std::vector<TimelineBand>> m_bands;
    QRect lanesArea() const;

    QDateTime m_since, m_until, m_knownUntil;
    QDateTime m_viewFrom, m_viewTo;
    std::optional<int> m_dragFrom, m_dragTo; // x of a range being dragged
};

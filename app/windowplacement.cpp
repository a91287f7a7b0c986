#include "app/windowplacement.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QMainWindow>
#include <QMessageBox>
#include <QScreen>
#include <QStringList>
#include <QWidget>

#include <algorithm>
#include <climits>

namespace {

// A window counts as on a screen when this much of its title bar can be grabbed there.
constexpr int GrabbableWidth = 80;
constexpr int GrabbableHeight = 20;

QPoint clampInto(QPoint p, QSize size, const QRect& screen)
{
    return {std::clamp(p.x(), screen.left(), std::max(screen.left(), screen.right() + 1 - size.width())),
            std::clamp(p.y(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - size.height()))};
}

int distance(const QRect& a, const QRect& b)
{
    const QPoint d = a.center() - b.center();
    return d.manhattanLength();
}

} // namespace

Placement PlaceBeside(QSize size, const QRect& main, const QRect& keepVisible, const QRect& screen)
{
    // Beside the main window, its top (or left edge) kept where the screen allows.
    const QPoint beside[] = {
        {main.right() + 1, main.top()},
        {main.left() - size.width(), main.top()},
        {main.left(), main.bottom() + 1},
        {main.left(), main.top() - size.height()},
    };
    for (int k = 0; k < 4; ++k) {
        QPoint p = beside[k];
        // Slid along the main window's edge into the screen, but never off that edge.
        if (k < 2) p.setY(clampInto(p, size, screen).y());
        else p.setX(clampInto(p, size, screen).x());
        if (screen.contains(QRect(p, size))) return {p, size};
    }
    // No room beside it: the nearest place on the screen that leaves the panel free, in one of the
    // four bands around the panel; narrowed or lowered to the band where the window does not fit.
    const QRect bands[] = {
        QRect(QPoint(screen.left(), screen.top()), QPoint(keepVisible.left() - 1, screen.bottom())),
        QRect(QPoint(keepVisible.right() + 1, screen.top()), QPoint(screen.right(), screen.bottom())),
        QRect(QPoint(screen.left(), keepVisible.bottom() + 1), QPoint(screen.right(), screen.bottom())),
        QRect(QPoint(screen.left(), screen.top()), QPoint(screen.right(), keepVisible.top() - 1)),
    };
    std::optional<Placement> best;
    long long bestScore = LLONG_MAX;
    for (const QRect& band : bands) {
        if (band.width() < GrabbableWidth * 3 || band.height() < GrabbableHeight * 6) continue;
        const QSize fitted(std::min(size.width(), band.width()), std::min(size.height(), band.height()));
        const QPoint nearMain = clampInto(main.topLeft(), fitted, band);
        // Against each edge of the band, level with the main window where it can be.
        const QPoint tries[] = {{band.left(), nearMain.y()}, {band.right() + 1 - fitted.width(), nearMain.y()},
                                {nearMain.x(), band.top()}, {nearMain.x(), band.bottom() + 1 - fitted.height()}};
        for (const QPoint& at : tries) {
            const QRect r(at, fitted);
            // Least cut off the window first, then least of the main window covered, then nearest.
            const long long lost = (long long)size.width() * size.height() - (long long)fitted.width() * fitted.height();
            const QRect covered = r.intersected(main);
            const long long score = lost * 8 + (long long)covered.width() * covered.height() * 2 + distance(r, main);
            if (score < bestScore) bestScore = score, best = Placement{at, fitted};
        }
    }
    if (best) return *best;
    return {clampInto(main.topLeft(), size, screen), size};
}

std::optional<QRect> ParsePlace(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 2 && parts.size() != 4) return std::nullopt;
    int values[4] = {0, 0, 0, 0};
    for (int k = 0; k < parts.size(); ++k) {
        bool number = false;
        values[k] = parts[k].trimmed().toInt(&number);
        if (!number) return std::nullopt;
    }
    if (parts.size() == 4 && (values[2] <= 0 || values[3] <= 0)) return std::nullopt;
    return QRect(values[0], values[1], values[2], values[3]);
}

QString PlaceText(const QRect& rect, bool withSize)
{
    return withSize ? QStringLiteral("%1,%2,%3,%4").arg(rect.x()).arg(rect.y()).arg(rect.width()).arg(rect.height())
                    : QStringLiteral("%1,%2").arg(rect.x()).arg(rect.y());
}

WindowPlacement::WindowPlacement(QMainWindow* main, QWidget* keepVisible, Read read, Write write)
    : QObject(main), m_main(main), m_keepVisible(keepVisible), m_read(std::move(read)), m_write(std::move(write))
{
    qApp->installEventFilter(this);
}

bool WindowPlacement::placed(QWidget* window) const
{
    if (!window || !window->isWindow() || window == m_main || !m_main->isVisible()) return false;
    if (qobject_cast<QMessageBox*>(window) || keyOf(window).isEmpty()) return false;
    if (window->windowType() == Qt::Popup || window->windowType() == Qt::ToolTip) return false;
    // Only windows of this program's main window, not a second main window's or a stray one's.
    for (QWidget* w = window->parentWidget(); w; w = w->parentWidget())
        if (w == m_main) return true;
    return false;
}

QString WindowPlacement::keyOf(const QWidget* window)
{
    return window->objectName().isEmpty() ? QString::fromLatin1(window->metaObject()->className()) : window->objectName();
}

bool WindowPlacement::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if ((type == QEvent::Show || type == QEvent::Hide) && watched->isWidgetType()) {
        auto* window = static_cast<QWidget*>(watched);
        if (placed(window)) {
            if (type == QEvent::Show) place(window);
            else remember(window);
        }
    }
    return QObject::eventFilter(watched, event);
}

void WindowPlacement::place(QWidget* window)
{
    const QString key = keyOf(window);
    const bool resizable = window->minimumSize() != window->maximumSize();
    // The frame the window manager adds, as the main window has it.
    const QMargins frame(m_main->geometry().left() - m_main->frameGeometry().left(),
                         m_main->geometry().top() - m_main->frameGeometry().top(),
                         m_main->frameGeometry().right() - m_main->geometry().right(),
                         m_main->frameGeometry().bottom() - m_main->geometry().bottom());
    std::optional<QRect> stored = m_places.contains(key) ? std::optional<QRect>(m_places.value(key)) : ParsePlace(m_read(key));
    if (stored) {
        const QSize size = resizable && stored->width() > 0 ? stored->size() : window->size();
        const QRect grip(stored->topLeft(), QSize(GrabbableWidth, GrabbableHeight));
        for (QScreen* screen : QGuiApplication::screens()) {
            if (screen->availableGeometry().intersected(grip).width() >= GrabbableWidth / 2
                && screen->availableGeometry().intersected(grip).height() >= GrabbableHeight / 2) {
                if (resizable) window->resize(size);
                window->move(stored->topLeft());
                m_placedAt.insert(key, QRect(stored->topLeft(), window->size()));
                return;
            }
        }
    }
    QScreen* screen = m_main->screen() ? m_main->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect panel(m_keepVisible->mapToGlobal(QPoint(0, 0)), m_keepVisible->size());
    const QSize framed = window->size().grownBy(frame);
    const Placement p = PlaceBeside(framed, m_main->frameGeometry(), panel, screen->availableGeometry());
    if (p.size != framed && resizable)
        window->resize(p.size.shrunkBy(frame).expandedTo(window->minimumSize()));
    window->move(p.topLeft);
    m_placedAt.insert(key, QRect(p.topLeft, window->size()));
}

void WindowPlacement::remember(QWidget* window)
{
    const bool resizable = window->minimumSize() != window->maximumSize();
    const QRect where(window->frameGeometry().topLeft(), window->size());
    const QString key = keyOf(window);
    // Where this program put it is found again next time; only the operator's own place is kept.
    if (m_placedAt.value(key) == where) return;
    m_placedAt.insert(key, where);
    m_places.insert(key, where);
    m_write(key, PlaceText(where, resizable));
}

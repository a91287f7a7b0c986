// Where the windows the main window opens appear: beside the main window where the screen has
// room, else as close to it as the screen allows, and never over the motion buttons and Stop all.
// A window the operator moved comes back where it was put, in this run and the next ones.
#pragma once

#include <QHash>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <functional>
#include <optional>

class QMainWindow;
class QWidget;

// Where a window of `size` (its frame included) goes: right of `main`, left of it, below, above,
// the first that lies wholly on `screen`; else the nearest place on `screen` beside `keepVisible`
// (which it never covers when the screen can hold both side by side); `size` narrowed then to what
// that place holds when the window is wider than it. All rectangles in screen coordinates.
struct Placement {
    QPoint topLeft;
    QSize size;
};
Placement PlaceBeside(QSize size, const QRect& main, const QRect& keepVisible, const QRect& screen);

// Stored positions are "x,y" or "x,y,width,height"; nothing for anything else.
std::optional<QRect> ParsePlace(const QString& text);
QString PlaceText(const QRect& rect, bool withSize);

class WindowPlacement : public QObject {
public:
    using Read = std::function<QString(const QString& key)>;
    using Write = std::function<void(const QString& key, const QString& value)>;
    // Places the windows shown while `main` is up (message boxes excepted: they stay over the
    // window they speak for); `keepVisible` is the panel no window may cover. The stored places
    // are read and written through `read` and `write`, keyed by each window's object name.
    WindowPlacement(QMainWindow* main, QWidget* keepVisible, Read read, Write write);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool placed(QWidget* window) const;
    void place(QWidget* window);
    void remember(QWidget* window);
    static QString keyOf(const QWidget* window);

    QMainWindow* m_main;
    QWidget* m_keepVisible;
    Read m_read;
    Write m_write;
    QHash<QString, QRect> m_places;   // where the operator put each window
    QHash<QString, QRect> m_placedAt; // where each window was shown or last left
};

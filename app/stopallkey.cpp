#include "app/stopallkey.h"

#include <algorithm>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionViewItem>


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

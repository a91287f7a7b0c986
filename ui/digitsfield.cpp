#include "ui/digitsfield.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QRegularExpressionValidator>

#include "ui/messages.h"

DigitsOnlyFilter::DigitsOnlyFilter(QLineEdit* field, QString defaultText, const Text& message, QObject* parent)
    : QObject(parent), m_field(field), m_default(std::move(defaultText)), m_message(message)
{
    // Pasted text never reaches the key filter: the field keeps digits only all the same.
    field->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), field));
    field->installEventFilter(this);
}

bool DigitsOnlyFilter::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_field || (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease))
        return QObject::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    if (event->type() == QEvent::KeyPress) {
        const QString text = key->text();
        if (text.isEmpty()) return false; // arrows, shift and the like
        // Focus moves, the delete key and shortcuts (select all, copy, paste) are keys, not
        // typed characters.
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab || key->key() == Qt::Key_Delete)
            return false;
        if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
        m_marked = false; // every typed character decides anew
        const QChar c = text.at(0);
        const bool accepted = (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c.unicode() == 8
                              || c.unicode() == 7 || c.unicode() == 20 || c.unicode() == 18;
        if (accepted) return false;
        m_marked = true;
        m_field->setText(m_default);
        return true;
    }
    if (!m_marked) return false;
    m_marked = false;
    if (const QString s = pick(m_message); !s.isNull()) ShowInformation(m_field->window(), s);
    m_field->setText(m_default);
    return true;
}

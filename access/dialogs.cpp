#include "access/dialogs.h"

#include "access/passwordstore.h"
#include "common/messages.h"
#include "common/state.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

void CentreOnDesktop(QWidget* window)
{
    window->adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect desktop = screen->availableGeometry();
        window->move(desktop.center() - QPoint(window->width() / 2, window->height() / 2));
    }
}

void ReportStoreError(QWidget* parent, const ETableError& error)
{
    const QString text = PasswordStoreErrorText(error, CurLanguage);
    if (!text.isEmpty())
        ShowError(parent, text);
}

void Inform(QWidget* parent, const Text& text)
{
    const QString message = pick(text);
    if (!message.isNull())
        ShowInformation(parent, message);
}

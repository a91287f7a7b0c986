#include "ui/language.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>

#include "common/state.h"

void switchLanguage(int16_t language)
{
    CurLanguage = language;
    // Qt sends LanguageChange by itself only when a translator is installed or removed, so the program sends it here.
    QEvent change(QEvent::LanguageChange);
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        // A window with an owner hears it from the owner, which passes it on to all its children.
        if (!window->parentWidget())
            QCoreApplication::sendEvent(window, &change);
    }
}

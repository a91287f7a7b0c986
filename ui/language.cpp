#include "ui/language.h"

#include <QApplication>
#include <QEvent>
#include <QLibraryInfo>
#include <QPointer>
#include <QTranslator>
#include <QWidget>

#include "common/texts.h"

void switchLanguage(int16_t language)
{
    setCurrentLanguage(language);
    // Qt sends LanguageChange by itself only when a translator is installed or removed, so the program sends it here.
    QEvent change(QEvent::LanguageChange);
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        // A window with an owner hears it from the owner, which passes it on to all its children.
        if (!window->parentWidget())
            QCoreApplication::sendEvent(window, &change);
    }
}

void loadQtTranslations(int16_t language, QObject* owner)
{
    static QPointer<QTranslator> installed;
    if (language != 0 && language != 1)
        return;
    if (installed) {
        QCoreApplication::removeTranslator(installed);
        delete installed;
    }
    if (language != 0)
        return;
    auto* translator = new QTranslator(owner);
    if (translator->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(translator);
        installed = translator;
    } else {
        delete translator;
    }
}

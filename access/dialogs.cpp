#include "access/dialogs.h"

#include "access/passwordedit.h"
#include "access/passwordstore.h"
#include "ui/language.h"
#include "ui/messages.h"
#include "common/state.h"

#include <QComboBox>
#include <QDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
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
    const QString text = PasswordStoreErrorText(error, currentLanguage());
    if (!text.isEmpty())
        ShowError(parent, text);
}

void Inform(QWidget* parent, const Text& text)
{
    const QString message = pick(text);
    if (!message.isNull())
        ShowInformation(parent, message);
}

PasswordPrompt BuildPasswordPrompt(QDialog* dialog, const Text& prompt, const Text& enter, const Text& cancel)
{
    PasswordPrompt face;
    face.promptLabel = new QLabel(pick(prompt, 0), dialog);
    face.promptLabel->setObjectName(QStringLiteral("promptLabel"));
    face.passwordEdit = NewPasswordEdit(dialog, QStringLiteral("passwordEdit"));
    face.passwordEdit->setMinimumWidth(150);
    face.promptLabel->setBuddy(face.passwordEdit);
    face.enterButton = new QPushButton(pick(enter, 0), dialog);
    face.enterButton->setObjectName(QStringLiteral("enterButton"));
    face.enterButton->setDefault(true);
    face.cancelButton = new QPushButton(pick(cancel, 0), dialog);
    face.cancelButton->setObjectName(QStringLiteral("cancelButton"));

    auto* field = new QHBoxLayout;
    field->addWidget(face.promptLabel);
    field->addWidget(face.passwordEdit, 1);
    auto* buttons = new QHBoxLayout;
    face.buttonRow = buttons;
    buttons->addStretch(1);
    buttons->addWidget(face.enterButton);
    buttons->addWidget(face.cancelButton);
    auto* layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(20, 20, 20, 14);
    layout->setSpacing(16);
    layout->addLayout(field);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    return face;
}

void ShowOrBringForward(QWidget* dialog, const std::function<void()>& prepare)
{
    if (!dialog->isVisible()) {
        prepare();
        dialog->show();
    }
    dialog->raise();
    dialog->activateWindow();
}

LanguageChoice NewLanguageChoice(QWidget* dialog, const LanguagePicked& picked)
{
    LanguageChoice choice;
    choice.label = new QLabel(QStringLiteral("语言(Language)："), dialog);
    choice.label->setObjectName(QStringLiteral("languageLabel"));
    choice.selector = new QComboBox(dialog);
    choice.selector->setObjectName(QStringLiteral("languageSelector"));
    choice.selector->addItems({QStringLiteral("简体中文"), QStringLiteral("English")});
    choice.label->setBuddy(choice.selector);
    ShowCurrentLanguage(choice);
    QObject::connect(choice.selector, &QComboBox::activated, dialog, [picked](int index) {
        const auto language = static_cast<int16_t>(index);
        if (picked)
            picked(language);
        else
            switchLanguage(language);
    });
    return choice;
}

void ShowCurrentLanguage(const LanguageChoice& choice)
{
    const int16_t language = currentLanguage();
    if (language == 0 || language == 1)
        choice.selector->setCurrentIndex(language);
}

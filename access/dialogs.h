// Shared by the password dialogs.
#pragma once

#include <functional>

#include "access/login.h"
#include "common/texts.h"

class ETableError;
class QComboBox;
class QDialog;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// The face the log-in and the administrator password dialogs share: one label, one field of at
// most 8 characters shown as "*", a default button and a cancel button, laid out at a fixed size.
struct PasswordPrompt {
    QLabel* promptLabel = nullptr;
    QLineEdit* passwordEdit = nullptr;
    QPushButton* enterButton = nullptr;
    QPushButton* cancelButton = nullptr;
    QHBoxLayout* buttonRow = nullptr;
};
PasswordPrompt BuildPasswordPrompt(QDialog* dialog, const Text& prompt, const Text& enter, const Text& cancel);

// Shows a dialog that is created once and reused: one already visible is only brought forward;
// otherwise `prepare` readies it (language, fields) before it shows.
void ShowOrBringForward(QWidget* dialog, const std::function<void()>& prepare);

// Puts a window in the middle of the desktop at the size its layout asks for.
void CentreOnDesktop(QWidget* window);

// Shows a failure of the password store in an error box in the current language (none for a
// language index other than 0 and 1).
void ReportStoreError(QWidget* parent, const ETableError& error);

// Shows the text of the current language in an information box (none for a language index
// other than 0 and 1).
void Inform(QWidget* parent, const Text& text);

// The language selector of the dialogs at start: "简体中文" and "English" under a caption in both
// languages, so that a user who reads only one finds it. Picking an entry hands it to `picked`
// (none: switchLanguage, for this run); every window then sets its texts in that language.
struct LanguageChoice {
    QLabel* label = nullptr;
    QComboBox* selector = nullptr;
};
LanguageChoice NewLanguageChoice(QWidget* dialog, const LanguagePicked& picked);
// Shows the current language in the selector.
void ShowCurrentLanguage(const LanguageChoice& choice);

// The log-in at start: the typed password grants the highest level whose password it is.
#pragma once

#include <QDialog>

#include "access/dialogs.h"

class QComboBox;
class QEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class TPasswordStore;

class LoginDialog : public QDialog {
    Q_OBJECT
public:
    // Modal; hides the owner (the main window stays hidden until a log-in succeeds). Opens
    // the store when shown. exec() answers Accepted when a level was granted (the store's level holds
    // it) and Rejected when the log-in was abandoned (the store's level is ModeNone, the store closed).
    explicit LoginDialog(TPasswordStore& store, QWidget* owner = nullptr, const LanguagePicked& languagePicked = {});

    QLabel* promptLabel() const { return m_promptLabel; }
    QLineEdit* passwordEdit() const { return m_passwordEdit; }
    QPushButton* enterButton() const { return m_enterButton; }
    QPushButton* cancelButton() const { return m_cancelButton; }
    QComboBox* languageSelector() const { return m_language.selector; }

    void done(int result) override;

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void prepareToShow();
    // Sets the texts of the current language (none for an index other than 0 and 1).
    void retranslate();
    void enterClicked();

    TPasswordStore& m_store;
    LanguageChoice m_language;
    QLabel* m_promptLabel = nullptr;
    QLineEdit* m_passwordEdit = nullptr;
    QPushButton* m_enterButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
};

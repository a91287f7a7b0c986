// The first start: no password store yet. The user sets the passwords before the first log-in;
// the program never brings or makes up a password of its own.
#pragma once

#include <QDialog>

#include "access/dialogs.h"

#include <array>

class QComboBox;
class QEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class TPasswordStore;

// One level's row: the password typed twice.
struct TFirstPasswordRow {
    QLabel* levelLabel = nullptr;
    QLineEdit* passwordEdit = nullptr;
    QLineEdit* repeatEdit = nullptr;
};

class FirstStartDialog : public QDialog {
    Q_OBJECT
public:
    // Modal. Asks for the operator's and the administrator's passwords, and the super-user's
    // in the advanced-user edition. exec() answers Accepted once the store has been created,
    // Rejected when the user cancelled (nothing is written then).
    explicit FirstStartDialog(TPasswordStore& store, QWidget* owner = nullptr, const LanguagePicked& languagePicked = {});

    QLabel* introLabel() const { return m_introLabel; }
    TFirstPasswordRow& operatorRow() { return m_rows[0]; }
    TFirstPasswordRow& administratorRow() { return m_rows[1]; }
    TFirstPasswordRow& superUserRow() { return m_rows[2]; }
    QPushButton* createButton() const { return m_createButton; }
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
    void createClicked();
    bool asksSuperUser() const;

    TPasswordStore& m_store;
    LanguageChoice m_language;
    QLabel* m_introLabel = nullptr;
    QLabel* m_passwordHeader = nullptr;
    QLabel* m_repeatHeader = nullptr;
    std::array<TFirstPasswordRow, 3> m_rows;
    QPushButton* m_createButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
};

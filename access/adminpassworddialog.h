// The administrator password: raises an operator to administrator (or super-user) before the
// group editor opens.
#pragma once

#include <QDialog>

class QEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class TPasswordStore;

class AdminPasswordDialog : public QDialog {
    Q_OBJECT
public:
    // Created once, hidden, and reused; not modal. The store must be open when a password is
    // entered (it is from the log-in on).
    explicit AdminPasswordDialog(TPasswordStore& store, QWidget* owner = nullptr);

    // Shows the dialog in the current language; one already visible is only brought forward.
    void showAdmPSW();

    QLabel* promptLabel() const { return m_promptLabel; }
    QLineEdit* passwordEdit() const { return m_passwordEdit; }
    QPushButton* enterButton() const { return m_enterButton; }
    QPushButton* cancelButton() const { return m_cancelButton; }

    void done(int result) override;

signals:
    // The dialog closed after raising the store's level to administrator or super-user: time to open
    // the group editor and to show the new level.
    void levelRaised();

protected:
    void changeEvent(QEvent* event) override;

private:
    void prepareToShow();
    // Sets the texts of the current language (none for an index other than 0 and 1).
    void retranslate();
    void enterClicked();

    TPasswordStore& m_store;
    QLabel* m_promptLabel = nullptr;
    QLineEdit* m_passwordEdit = nullptr;
    QPushButton* m_enterButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
};

// The password change: the current level's password and those of the levels below it.
#pragma once

#include <QDialog>

#include <array>

class QEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class TPasswordStore;

// One level's page: the old password, the new one and the new one again.
struct TPasswordTab {
    int record = 0;
    QWidget* page = nullptr;
    QLabel* oldPasswordLabel = nullptr;
    QLineEdit* oldPasswordEdit = nullptr;
    QLabel* newPasswordLabel = nullptr;
    QLineEdit* newPasswordEdit = nullptr;
    QLabel* repeatLabel = nullptr;
    QLineEdit* repeatEdit = nullptr;
};

class PasswordChangeDialog : public QDialog {
    Q_OBJECT
public:
    // Created once, hidden, and reused; not modal. The store must be open (it is from the
    // log-in on).
    explicit PasswordChangeDialog(TPasswordStore& store, QWidget* owner = nullptr);

    // Shows the dialog for the current level in the current language, on the operator tab
    // with empty fields; one already visible is only brought forward.
    void showModPSW();

    // Whether the last Apply stored a new password.
    bool changed() const { return m_changed; }

    QTabWidget* tabWidget() const { return m_tabWidget; }
    TPasswordTab& operatorTab() { return m_tabs[0]; }
    TPasswordTab& administratorTab() { return m_tabs[1]; }
    TPasswordTab& superUserTab() { return m_tabs[2]; }
    QPushButton* okButton() const { return m_okButton; }
    QPushButton* applyButton() const { return m_applyButton; }
    QPushButton* cancelButton() const { return m_cancelButton; }

    void done(int result) override;

signals:
    // A new password was stored.
    void passwordChanged();

protected:
    void changeEvent(QEvent* event) override;

private:
    void prepareToShow();
    // Sets the texts of the current language (none for an index other than 0 and 1).
    void retranslate();
    void tabChanged(int index);
    void applyClicked();
    void okClicked();
    void clearFields();
    TPasswordTab& activeTab();

    TPasswordStore& m_store;
    bool m_changed = false;
    QTabWidget* m_tabWidget = nullptr;
    std::array<TPasswordTab, 3> m_tabs;
    QPushButton* m_okButton = nullptr;
    QPushButton* m_applyButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
};

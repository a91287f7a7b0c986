#include "access/passwordchangedialog.h"

#include "access/dialogs.h"
#include "access/passwordedit.h"
#include "access/passwordstore.h"
#include "common/state.h"
#include "common/texts.h"
#include "ui/messages.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

constexpr Text CaptionText{"Tarvello", "Tarvello"};
constexpr Text OldPasswordText{"输入原密码：", "Old password: "};
constexpr Text NewPasswordText{"输入新密码：", "New password: "};
constexpr Text RepeatText{"重复新密码：", "Repeat New: "};
constexpr Text OperatorTabText{"操作员", "Operator"};
constexpr Text AdministratorTabText{"管理员", "Administrator"};
constexpr Text SuperUserTabText{"超级用户", "Super User"};
constexpr Text OkText{"确定", "&OK"};
constexpr Text ApplyText{"应用", "&Apply"};
constexpr Text CancelText{"取消", "&Cancel"};
constexpr Text SuccessText{"新密码修改成功。", "The new password is modified successfully."};
constexpr Text DifferText{"两次输入的新密码不同，请重新输入。",
                          "It NOT same between the two new passwords, please input again."};
constexpr Text WrongPasswordText{"密码输入不正确，请重新输入。",
                                 "The password is WRONG, please input the correct password."};

constexpr Text SharedText{"这个密码已是另一级用户的密码。各级用户的密码不能相同（否则登录时只会进入较高的级别），"
                          "请另选一个新密码。",
                          "This password is already another level's. The levels cannot share a password (a log-in "
                          "with it would only reach the higher level); please choose another new password."};
constexpr Text EmptyText{"新密码为空：任何人不输入密码即可以这一级别登录。\n仍要使用空密码吗？",
                         "The new password is empty: anyone could log in at this level without typing a "
                         "password.\nUse the empty password anyway?"};

}  // namespace

PasswordChangeDialog::PasswordChangeDialog(TPasswordStore& store, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint
                         | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_store(store)
{
    setObjectName(QStringLiteral("ModPSWForm"));
    setModal(false);
    setWindowTitle(pick(CaptionText, 0));

    m_tabWidget = new QTabWidget(this);
    m_tabWidget->setObjectName(QStringLiteral("tabWidget"));
    const int records[] = {OperatorRecord, AdministratorRecord, SuperUserRecord};
    const char* names[] = {"operatorTab", "administratorTab", "superUserTab"};
    const Text* captions[] = {&OperatorTabText, &AdministratorTabText, &SuperUserTabText};
    for (size_t i = 0; i < m_tabs.size(); ++i) {
        TPasswordTab& tab = m_tabs[i];
        tab.record = records[i];
        tab.page = new QWidget(m_tabWidget);
        tab.page->setObjectName(QString::fromLatin1(names[i]));
        tab.oldPasswordLabel = new QLabel(pick(OldPasswordText, 0), tab.page);
        tab.oldPasswordEdit = NewPasswordEdit(tab.page, QStringLiteral("oldPasswordEdit"));
        tab.newPasswordLabel = new QLabel(pick(NewPasswordText, 0), tab.page);
        tab.newPasswordEdit = NewPasswordEdit(tab.page, QStringLiteral("newPasswordEdit"));
        tab.repeatLabel = new QLabel(pick(RepeatText, 0), tab.page);
        tab.repeatEdit = NewPasswordEdit(tab.page, QStringLiteral("repeatEdit"));
        auto* grid = new QGridLayout(tab.page);
        grid->setContentsMargins(24, 20, 24, 20);
        grid->setHorizontalSpacing(10);
        grid->setVerticalSpacing(12);
        const std::pair<QLabel*, QLineEdit*> rows[] = {{tab.oldPasswordLabel, tab.oldPasswordEdit},
                                                       {tab.newPasswordLabel, tab.newPasswordEdit},
                                                       {tab.repeatLabel, tab.repeatEdit}};
        int row = 0;
        for (const auto& [label, edit] : rows) {
            label->setBuddy(edit);
            edit->setMinimumWidth(160);
            grid->addWidget(label, row, 0);
            grid->addWidget(edit, row, 1);
            ++row;
        }
        m_tabWidget->addTab(tab.page, pick(*captions[i], 0));
    }
    m_tabWidget->setTabVisible(1, false);
    m_tabWidget->setTabVisible(2, false);

    m_okButton = new QPushButton(pick(OkText, 0), this);
    m_okButton->setObjectName(QStringLiteral("okButton"));
    m_okButton->setDefault(true);
    m_applyButton = new QPushButton(pick(ApplyText, 0), this);
    m_applyButton->setObjectName(QStringLiteral("applyButton"));
    m_applyButton->setAutoDefault(false);
    m_cancelButton = new QPushButton(pick(CancelText, 0), this);
    m_cancelButton->setObjectName(QStringLiteral("cancelButton"));
    m_cancelButton->setAutoDefault(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_okButton);
    buttons->addWidget(m_applyButton);
    buttons->addWidget(m_cancelButton);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(12);
    layout->addWidget(m_tabWidget);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(m_tabWidget, &QTabWidget::currentChanged, this, &PasswordChangeDialog::tabChanged);
    connect(m_okButton, &QPushButton::clicked, this, &PasswordChangeDialog::okClicked);
    connect(m_applyButton, &QPushButton::clicked, this, &PasswordChangeDialog::applyClicked);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void PasswordChangeDialog::showModPSW()
{
    ShowOrBringForward(this, [this] { prepareToShow(); });
}

void PasswordChangeDialog::prepareToShow()
{
    m_changed = false;
    if (m_store.level() == ModeOperator || m_store.level() == ModeAdministrator || m_store.level() == ModeSuperUser) {
        m_tabWidget->setTabVisible(0, true);
        m_tabWidget->setTabEnabled(0, true);
        m_tabWidget->setTabVisible(1, m_store.level() == ModeAdministrator || m_store.level() == ModeSuperUser);
        m_tabWidget->setTabVisible(2, m_store.level() == ModeSuperUser);
    }
    m_tabWidget->setCurrentIndex(0);
    clearFields();
    m_tabs[0].oldPasswordEdit->setFocus();
    retranslate();
    CentreOnDesktop(this);
}

void PasswordChangeDialog::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LanguageChange)
        retranslate();
    QDialog::changeEvent(event);
}

void PasswordChangeDialog::retranslate()
{
    const int16_t language = currentLanguage();
    if (language != 0 && language != 1)
        return;
    setWindowTitle(pick(CaptionText, language));
    const Text* captions[] = {&OperatorTabText, &AdministratorTabText, &SuperUserTabText};
    for (size_t i = 0; i < m_tabs.size(); ++i) {
        m_tabWidget->setTabText(static_cast<int>(i), pick(*captions[i], language));
        m_tabs[i].oldPasswordLabel->setText(pick(OldPasswordText, language));
        m_tabs[i].newPasswordLabel->setText(pick(NewPasswordText, language));
        m_tabs[i].repeatLabel->setText(pick(RepeatText, language));
    }
    m_okButton->setText(pick(OkText, language));
    m_applyButton->setText(pick(ApplyText, language));
    m_cancelButton->setText(pick(CancelText, language));
}

void PasswordChangeDialog::clearFields()
{
    for (TPasswordTab& tab : m_tabs) {
        tab.oldPasswordEdit->clear();
        tab.newPasswordEdit->clear();
        tab.repeatEdit->clear();
    }
}

TPasswordTab& PasswordChangeDialog::activeTab()
{
    const int index = m_tabWidget->currentIndex();
    return m_tabs[static_cast<size_t>(index >= 0 && index < static_cast<int>(m_tabs.size()) ? index : 0)];
}

void PasswordChangeDialog::tabChanged(int index)
{
    clearFields();
    if (index >= 0 && index < static_cast<int>(m_tabs.size()))
        m_tabs[static_cast<size_t>(index)].oldPasswordEdit->setFocus();
}

void PasswordChangeDialog::applyClicked()
{
    m_changed = false;
    TPasswordTab& tab = activeTab();
    try {
        if (!m_store.Matches(tab.record, tab.oldPasswordEdit->text())) {
            Inform(this, WrongPasswordText);
            if (tab.record != OperatorRecord)
                tab.oldPasswordEdit->setFocus();
            return;
        }
        if (tab.newPasswordEdit->text() != tab.repeatEdit->text()) {
            Inform(this, DifferText);
            tab.newPasswordEdit->setFocus();
            return;
        }
        const QString fresh = tab.newPasswordEdit->text();
        for (const int other : {OperatorRecord, AdministratorRecord, SuperUserRecord}) {
            if (other != tab.record && m_store.Matches(other, fresh)) {
                Inform(this, SharedText);
                tab.newPasswordEdit->setFocus();
                return;
            }
        }
        // No to the question goes back to the new password; nothing is written.
        if (fresh.isEmpty() && !pick(EmptyText).isNull() && !AskConfirmation(this, pick(EmptyText))) {
            tab.newPasswordEdit->setFocus();
            return;
        }
        m_store.Change(tab.record, fresh);
    } catch (const ETableError& e) {
        // Nothing was stored; the fields stay as typed so the change can be tried again.
        ReportStoreError(this, e);
        return;
    }
    Inform(this, SuccessText);
    tab.oldPasswordEdit->clear();
    tab.newPasswordEdit->clear();
    tab.repeatEdit->clear();
    tab.oldPasswordEdit->setFocus();
    m_changed = true;
    emit passwordChanged();
}

void PasswordChangeDialog::okClicked()
{
    if (!activeTab().oldPasswordEdit->text().isEmpty())
        applyClicked();
    else
        close();
    if (m_changed)
        close();
}

void PasswordChangeDialog::done(int result)
{
    clearFields();
    QDialog::done(result);
}

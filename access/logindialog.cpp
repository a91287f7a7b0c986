#include "access/logindialog.h"

#include "access/dialogs.h"
#include "access/passwordedit.h"
#include "access/passwordstore.h"
#include "common/state.h"
#include "common/texts.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

namespace {

constexpr Text CaptionText{"Tarvello", "Tarvello"};
constexpr Text PromptText{"请输入密码：", "Password: "};
constexpr Text EnterText{"进入", "Enter"};
constexpr Text CancelText{"取消", "Cancel"};
constexpr Text WrongPasswordText{"密码输入不正确，请重新输入。",
                                 "The password is WRONG, please input the correct password."};

}  // namespace

LoginDialog::LoginDialog(TPasswordStore& store, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint
                         | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_store(store)
{
    setObjectName(QStringLiteral("OptPSWForm"));
    setModal(true);
    setWindowTitle(pick(CaptionText, 0));

    const PasswordPrompt face = BuildPasswordPrompt(this, PromptText, EnterText, CancelText);
    m_promptLabel = face.promptLabel;
    m_passwordEdit = face.passwordEdit;
    m_enterButton = face.enterButton;
    m_cancelButton = face.cancelButton;

    connect(m_enterButton, &QPushButton::clicked, this, &LoginDialog::enterClicked);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    if (owner && owner->isWindow())
        owner->hide();
}

void LoginDialog::showEvent(QShowEvent* event)
{
    if (!event->spontaneous())
        prepareToShow();
    QDialog::showEvent(event);
}

void LoginDialog::prepareToShow()
{
    retranslate();
    CentreOnDesktop(this);
    m_passwordEdit->setFocus();
    try {
        m_store.Open();
    } catch (const ETableError& e) {
        // Without its passwords nobody can log in; the log-in ends as if abandoned.
        ReportStoreError(this, e);
        QMetaObject::invokeMethod(this, &QDialog::reject, Qt::QueuedConnection);
    }
}

void LoginDialog::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LanguageChange)
        retranslate();
    QDialog::changeEvent(event);
}

void LoginDialog::retranslate()
{
    const int16_t language = currentLanguage();
    if (language != 0 && language != 1)
        return;
    setWindowTitle(pick(CaptionText, language));
    m_promptLabel->setText(pick(PromptText, language));
    m_enterButton->setText(pick(EnterText, language));
    m_cancelButton->setText(pick(CancelText, language));
}

void LoginDialog::enterClicked()
{
    const QString typed = m_passwordEdit->text();
    m_store.setLevel(ModeNone);
    try {
        m_store.setLevel(m_store.levelOf(typed));
    } catch (const ETableError& e) {
        m_store.setLevel(ModeNone);
        ReportStoreError(this, e);
        return;
    }
    const bool opened = m_store.level() == ModeOperator || m_store.level() == ModeAdministrator
        || (m_store.level() == ModeSuperUser && m_store.edition() == EditionAdvanced);
    m_store.logInAttempted(opened ? m_store.level() : ModeNone);
    if (opened) {
        m_passwordEdit->clear();
        accept();
        return;
    }
    Inform(this, WrongPasswordText);
    m_passwordEdit->clear();
    m_passwordEdit->setFocus();
}

void LoginDialog::done(int result)
{
    if (m_store.level() == ModeNone) {
        m_passwordEdit->clear();
        m_store.Close();
        result = Rejected;
    }
    QDialog::done(result);
}

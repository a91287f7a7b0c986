#include "access/adminpassworddialog.h"

#include "access/dialogs.h"
#include "access/passwordedit.h"
#include "access/passwordstore.h"
#include "common/state.h"
#include "common/texts.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr Text CaptionText{"Tarvello", "Tarvello"};
constexpr Text PromptText{"请输入管理员密码：", "Administrator's Password: "};
constexpr Text EnterText{"进入", "Enter"};
constexpr Text CancelText{"取消", "Cancel"};
constexpr Text WrongPasswordText{"密码输入不正确，请重新输入。",
                                 "The password is WRONG, please input the correct password."};

}  // namespace

AdminPasswordDialog::AdminPasswordDialog(TPasswordStore& store, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                         | Qt::WindowCloseButtonHint),
      m_store(store)
{
    setObjectName(QStringLiteral("AdmPSWForm"));
    setModal(false);
    setWindowTitle(pick(CaptionText, 0));

    const PasswordPrompt face = BuildPasswordPrompt(this, PromptText, EnterText, CancelText);
    m_promptLabel = face.promptLabel;
    m_passwordEdit = face.passwordEdit;
    m_enterButton = face.enterButton;
    m_cancelButton = face.cancelButton;

    connect(m_enterButton, &QPushButton::clicked, this, &AdminPasswordDialog::enterClicked);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void AdminPasswordDialog::showAdmPSW()
{
    ShowOrBringForward(this, [this] { prepareToShow(); });
}

void AdminPasswordDialog::prepareToShow()
{
    retranslate();
    CentreOnDesktop(this);
    m_passwordEdit->setFocus();
}

void AdminPasswordDialog::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LanguageChange)
        retranslate();
    QDialog::changeEvent(event);
}

void AdminPasswordDialog::retranslate()
{
    const int16_t language = currentLanguage();
    if (language != 0 && language != 1)
        return;
    setWindowTitle(pick(CaptionText, language));
    m_promptLabel->setText(pick(PromptText, language));
    m_enterButton->setText(pick(EnterText, language));
    m_cancelButton->setText(pick(CancelText, language));
}

void AdminPasswordDialog::enterClicked()
{
    const QString typed = m_passwordEdit->text();
    if (m_store.level() == ModeOperator) {
        try {
            int32_t level = ModeOperator;
            if (m_store.Matches(AdministratorRecord, typed))
                level = ModeAdministrator;
            if (m_store.Matches(SuperUserRecord, typed))
                level = ModeSuperUser;
            m_store.setLevel(level);
            if (level == ModeOperator)
                m_store.logInAttempted(ModeNone);
            else
                m_store.levelRaised(ModeOperator, level);
        } catch (const ETableError& e) {
            ReportStoreError(this, e);
            return;
        }
    }
    if (m_store.level() == ModeAdministrator || m_store.level() == ModeSuperUser) {
        accept();
        emit levelRaised();
        return;
    }
    Inform(this, WrongPasswordText);
    m_passwordEdit->clear();
    m_passwordEdit->setFocus();
}

void AdminPasswordDialog::done(int result)
{
    // A password typed and then abandoned must not wait in the field for the next person.
    m_passwordEdit->clear();
    QDialog::done(result);
}

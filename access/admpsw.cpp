#include "access/admpsw.h"

#include "access/dialogs.h"
#include "access/passwordedit.h"
#include "access/passwordstore.h"
#include "common/state.h"
#include "common/texts.h"

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

TAdmPSWForm::TAdmPSWForm(TPasswordStore& store, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                         | Qt::WindowCloseButtonHint),
      m_store(store)
{
    setObjectName(QStringLiteral("AdmPSWForm"));
    setModal(false);
    setWindowTitle(pick(CaptionText, 0));

    m_promptLabel = new QLabel(pick(PromptText, 0), this);
    m_promptLabel->setObjectName(QStringLiteral("promptLabel"));
    m_passwordEdit = NewPasswordEdit(this, QStringLiteral("passwordEdit"));
    m_passwordEdit->setMinimumWidth(150);
    m_promptLabel->setBuddy(m_passwordEdit);
    m_enterButton = new QPushButton(pick(EnterText, 0), this);
    m_enterButton->setObjectName(QStringLiteral("enterButton"));
    m_enterButton->setDefault(true);
    m_cancelButton = new QPushButton(pick(CancelText, 0), this);
    m_cancelButton->setObjectName(QStringLiteral("cancelButton"));

    auto* field = new QHBoxLayout;
    field->addWidget(m_promptLabel);
    field->addWidget(m_passwordEdit, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_enterButton);
    buttons->addWidget(m_cancelButton);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 14);
    layout->setSpacing(16);
    layout->addLayout(field);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(m_enterButton, &QPushButton::clicked, this, &TAdmPSWForm::enterClicked);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

void TAdmPSWForm::showAdmPSW()
{
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    FormShow();
    show();
    raise();
    activateWindow();
}

void TAdmPSWForm::FormShow()
{
    AdmPSWFormProcLanguage(CurLanguage);
    CentreOnDesktop(this);
    m_passwordEdit->setFocus();
}

void TAdmPSWForm::AdmPSWFormProcLanguage(int16_t language)
{
    if (language != 0 && language != 1)
        return;
    setWindowTitle(pick(CaptionText, language));
    m_promptLabel->setText(pick(PromptText, language));
    m_enterButton->setText(pick(EnterText, language));
    m_cancelButton->setText(pick(CancelText, language));
}

void TAdmPSWForm::enterClicked()
{
    const QString typed = m_passwordEdit->text();
    if (UserMode == ModeOperator) {
        try {
            int32_t level = ModeOperator;
            if (m_store.Matches(AdministratorRecord, typed))
                level = ModeAdministrator;
            if (m_store.Matches(SuperUserRecord, typed))
                level = ModeSuperUser;
            UserMode = level;
        } catch (const ETableError& e) {
            ReportStoreError(this, e);
            return;
        }
    }
    if (UserMode == ModeAdministrator || UserMode == ModeSuperUser) {
        accept();
        emit levelRaised();
        return;
    }
    Inform(this, WrongPasswordText);
    m_passwordEdit->clear();
    m_passwordEdit->setFocus();
}

void TAdmPSWForm::done(int result)
{
    // A password typed and then abandoned must not wait in the field for the next person.
    m_passwordEdit->clear();
    QDialog::done(result);
}

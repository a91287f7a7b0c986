#include "access/logindialog.h"

#include "access/dialogs.h"
#include "access/passwordedit.h"
#include "access/passwordstore.h"
#include "common/state.h"
#include "common/texts.h"

#include <QComboBox>
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

// Said at an administrator's or a super user's log-in while two levels share a password, with the
// way to mend it.
constexpr Text OperatorAdministratorSharedText{
    "操作员和管理员的密码相同：用这个密码登录的都会成为管理员，没有人能以操作员身份登录。\n"
    "请点击“修改密码”，在“操作员”页为操作员另设一个密码。",
    "The operator and the administrator share one password: every log-in with it is the administrator's, "
    "and nobody can log in as operator.\n"
    "Click \"Password\" and give the operator a password of its own on the \"Operator\" tab."};
constexpr Text OperatorSuperUserSharedText{
    "操作员和超级用户的密码相同：用这个密码登录的都会成为超级用户，没有人能以操作员身份登录。\n"
    "请点击“修改密码”，在“操作员”页为操作员另设一个密码。",
    "The operator and the super user share one password: every log-in with it is the super user's, "
    "and nobody can log in as operator.\n"
    "Click \"Password\" and give the operator a password of its own on the \"Operator\" tab."};
constexpr Text AdministratorSuperUserSharedText{
    "管理员和超级用户的密码相同：用这个密码登录的都会成为超级用户，没有人能以管理员身份登录。\n"
    "请点击“修改密码”，在“管理员”页为管理员另设一个密码。",
    "The administrator and the super user share one password: every log-in with it is the super user's, "
    "and nobody can log in as administrator.\n"
    "Click \"Password\" and give the administrator a password of its own on the \"Administrator\" tab."};
constexpr Text AllLevelsSharedText{
    "操作员、管理员和超级用户的密码相同：用这个密码登录的都会成为超级用户。\n"
    "请点击“修改密码”，在“操作员”页和“管理员”页为操作员和管理员各设一个不同的密码。",
    "The operator, the administrator and the super user share one password: every log-in with it is the "
    "super user's.\n"
    "Click \"Password\" and give the operator and the administrator passwords of their own on the "
    "\"Operator\" and \"Administrator\" tabs."};

// What a log-in at `level` is told about passwords that two levels share, among those it may
// change; nullptr when nothing is shared. The super user counts in the advanced-user edition only.
const Text* SharedPasswordsText(TPasswordStore& store, int32_t level)
{
    if (level != ModeAdministrator && level != ModeSuperUser)
        return nullptr;
    const bool superUser = store.edition() == EditionAdvanced;
    const bool operatorAdministrator = store.Shared(OperatorRecord, AdministratorRecord);
    const bool operatorSuperUser = superUser && store.Shared(OperatorRecord, SuperUserRecord);
    const bool administratorSuperUser =
        superUser && level == ModeSuperUser && store.Shared(AdministratorRecord, SuperUserRecord);
    if (operatorAdministrator && operatorSuperUser)
        return &AllLevelsSharedText;
    if (operatorAdministrator)
        return &OperatorAdministratorSharedText;
    if (operatorSuperUser)
        return &OperatorSuperUserSharedText;
    if (administratorSuperUser)
        return &AdministratorSuperUserSharedText;
    return nullptr;
}

}  // namespace

LoginDialog::LoginDialog(TPasswordStore& store, QWidget* owner, const LanguagePicked& languagePicked)
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
    m_language = NewLanguageChoice(this, languagePicked);
    face.buttonRow->insertWidget(0, m_language.label);
    face.buttonRow->insertWidget(1, m_language.selector);
    // The password is typed next, whatever the language.
    connect(m_language.selector, &QComboBox::activated, this, [this] { m_passwordEdit->setFocus(); });

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
    ShowCurrentLanguage(m_language);
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
        const Text* shared = nullptr;
        try {
            shared = SharedPasswordsText(m_store, m_store.level());
        } catch (const ETableError&) {
            // The log-in stands; what cannot be read now is reported where it is used.
        }
        if (shared)
            Inform(this, *shared);
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

#include "access/firststartdialog.h"

#include "access/dialogs.h"
#include "access/encode.h"
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
constexpr Text IntroText{"这是第一次启动，还没有设置密码。\n"
                         "请为各级用户各设一个不同的密码（最多 8 个字符），每个密码输入两次。",
                         "This is the first start and no passwords are set yet.\n"
                         "Set a different password for each user level (at most 8 characters),\n"
                         "typing each one twice."};
constexpr Text PasswordHeaderText{"密码", "Password"};
constexpr Text RepeatHeaderText{"再次输入", "Repeat"};
constexpr Text OperatorText{"操作员：", "Operator:"};
constexpr Text AdministratorText{"管理员：", "Administrator:"};
constexpr Text SuperUserText{"超级用户：", "Super user:"};
constexpr Text CreateText{"确定", "OK"};
constexpr Text CancelText{"取消", "Cancel"};

constexpr Text OperatorEmptyText{"请输入操作员密码。", "Please type a password for the operator."};
constexpr Text AdministratorEmptyText{"请输入管理员密码。", "Please type a password for the administrator."};
constexpr Text SuperUserEmptyText{"请输入超级用户密码。", "Please type a password for the super user."};
constexpr Text OperatorDifferText{"两次输入的操作员密码不同，请重新输入。",
                                  "The two operator passwords differ, please type them again."};
constexpr Text AdministratorDifferText{"两次输入的管理员密码不同，请重新输入。",
                                       "The two administrator passwords differ, please type them again."};
constexpr Text SuperUserDifferText{"两次输入的超级用户密码不同，请重新输入。",
                                   "The two super user passwords differ, please type them again."};

// Two levels never share a password: a log-in with it would always reach the higher one.
constexpr Text OperatorAdministratorSameText{
    "操作员和管理员的密码不能相同（否则用这个密码登录的都会成为管理员），请为管理员另设一个密码。",
    "The operator and the administrator cannot share a password (every log-in with it would be the "
    "administrator's); please choose another one for the administrator."};
constexpr Text OperatorSuperUserSameText{
    "操作员和超级用户的密码不能相同（否则用这个密码登录的都会成为超级用户），请为超级用户另设一个密码。",
    "The operator and the super user cannot share a password (every log-in with it would be the "
    "super user's); please choose another one for the super user."};
constexpr Text AdministratorSuperUserSameText{
    "管理员和超级用户的密码不能相同（否则用这个密码登录的都会成为超级用户），请为超级用户另设一个密码。",
    "The administrator and the super user cannot share a password (every log-in with it would be the "
    "super user's); please choose another one for the super user."};

struct RowTexts {
    const Text* level;
    const Text* empty;
    const Text* differ;
};
constexpr RowTexts Rows[] = {{&OperatorText, &OperatorEmptyText, &OperatorDifferText},
                             {&AdministratorText, &AdministratorEmptyText, &AdministratorDifferText},
                             {&SuperUserText, &SuperUserEmptyText, &SuperUserDifferText}};

}  // namespace

FirstStartDialog::FirstStartDialog(TPasswordStore& store, QWidget* owner, const LanguagePicked& languagePicked)
    : QDialog(owner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint
                         | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_store(store)
{
    setObjectName(QStringLiteral("FirstStartForm"));
    setModal(true);
    setWindowTitle(pick(CaptionText, 0));

    m_introLabel = new QLabel(pick(IntroText, 0), this);
    m_introLabel->setObjectName(QStringLiteral("introLabel"));
    m_passwordHeader = new QLabel(pick(PasswordHeaderText, 0), this);
    m_repeatHeader = new QLabel(pick(RepeatHeaderText, 0), this);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(10);
    grid->addWidget(m_passwordHeader, 0, 1);
    grid->addWidget(m_repeatHeader, 0, 2);
    const char* names[] = {"operator", "administrator", "superUser"};
    for (size_t i = 0; i < m_rows.size(); ++i) {
        TFirstPasswordRow& row = m_rows[i];
        const QString name = QString::fromLatin1(names[i]);
        row.levelLabel = new QLabel(pick(*Rows[i].level, 0), this);
        row.levelLabel->setObjectName(name + QStringLiteral("Label"));
        row.passwordEdit = NewPasswordEdit(this, name + QStringLiteral("PasswordEdit"));
        row.repeatEdit = NewPasswordEdit(this, name + QStringLiteral("RepeatEdit"));
        row.passwordEdit->setMinimumWidth(140);
        row.repeatEdit->setMinimumWidth(140);
        row.levelLabel->setBuddy(row.passwordEdit);
        const int line = static_cast<int>(i) + 1;
        grid->addWidget(row.levelLabel, line, 0);
        grid->addWidget(row.passwordEdit, line, 1);
        grid->addWidget(row.repeatEdit, line, 2);
    }

    m_createButton = new QPushButton(pick(CreateText, 0), this);
    m_createButton->setObjectName(QStringLiteral("createButton"));
    m_createButton->setDefault(true);
    m_cancelButton = new QPushButton(pick(CancelText, 0), this);
    m_cancelButton->setObjectName(QStringLiteral("cancelButton"));
    m_cancelButton->setAutoDefault(false);

    m_language = NewLanguageChoice(this, languagePicked);
    connect(m_language.selector, &QComboBox::activated, this, [this] { operatorRow().passwordEdit->setFocus(); });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_language.label);
    buttons->addWidget(m_language.selector);
    buttons->addStretch(1);
    buttons->addWidget(m_createButton);
    buttons->addWidget(m_cancelButton);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 14);
    layout->setSpacing(16);
    layout->addWidget(m_introLabel);
    layout->addLayout(grid);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(m_createButton, &QPushButton::clicked, this, &FirstStartDialog::createClicked);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

bool FirstStartDialog::asksSuperUser() const
{
    return m_store.edition() == EditionAdvanced;
}

void FirstStartDialog::showEvent(QShowEvent* event)
{
    if (!event->spontaneous())
        prepareToShow();
    QDialog::showEvent(event);
}

void FirstStartDialog::prepareToShow()
{
    superUserRow().levelLabel->setVisible(asksSuperUser());
    superUserRow().passwordEdit->setVisible(asksSuperUser());
    superUserRow().repeatEdit->setVisible(asksSuperUser());
    retranslate();
    CentreOnDesktop(this);
    operatorRow().passwordEdit->setFocus();
}

void FirstStartDialog::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LanguageChange)
        retranslate();
    QDialog::changeEvent(event);
}

void FirstStartDialog::retranslate()
{
    const int16_t language = currentLanguage();
    if (language != 0 && language != 1)
        return;
    setWindowTitle(pick(CaptionText, language));
    ShowCurrentLanguage(m_language);
    m_introLabel->setText(pick(IntroText, language));
    m_passwordHeader->setText(pick(PasswordHeaderText, language));
    m_repeatHeader->setText(pick(RepeatHeaderText, language));
    for (size_t i = 0; i < m_rows.size(); ++i)
        m_rows[i].levelLabel->setText(pick(*Rows[i].level, language));
    m_createButton->setText(pick(CreateText, language));
    m_cancelButton->setText(pick(CancelText, language));
}

void FirstStartDialog::createClicked()
{
    const size_t asked = asksSuperUser() ? 3 : 2;
    for (size_t i = 0; i < asked; ++i) {
        TFirstPasswordRow& row = m_rows[i];
        if (row.passwordEdit->text().isEmpty()) {
            Inform(this, *Rows[i].empty);
            row.passwordEdit->setFocus();
            return;
        }
        if (row.passwordEdit->text() != row.repeatEdit->text()) {
            Inform(this, *Rows[i].differ);
            row.passwordEdit->clear();
            row.repeatEdit->clear();
            row.passwordEdit->setFocus();
            return;
        }
    }
    // Row `higher` is cleared and asked again when it repeats a lower level's password; only the
    // first 8 bytes of a password count, so the encodings are compared.
    const struct {
        size_t lower, higher;
        const Text* text;
    } pairs[] = {{0, 1, &OperatorAdministratorSameText},
                 {0, 2, &OperatorSuperUserSameText},
                 {1, 2, &AdministratorSuperUserSameText}};
    for (const auto& pair : pairs) {
        if (pair.higher >= asked
            || EnCode(m_rows[pair.lower].passwordEdit->text()) != EnCode(m_rows[pair.higher].passwordEdit->text()))
            continue;
        Inform(this, *pair.text);
        TFirstPasswordRow& row = m_rows[pair.higher];
        row.passwordEdit->clear();
        row.repeatEdit->clear();
        row.passwordEdit->setFocus();
        return;
    }
    try {
        const std::optional<QString> superUser =
            asksSuperUser() ? std::optional<QString>(superUserRow().passwordEdit->text()) : std::nullopt;
        // False when another copy of the program made a store meanwhile: that one is used.
        m_store.Create(administratorRow().passwordEdit->text(), operatorRow().passwordEdit->text(), superUser);
    } catch (const ETableError& e) {
        ReportStoreError(this, e);
        return;
    }
    accept();
}

void FirstStartDialog::done(int result)
{
    for (TFirstPasswordRow& row : m_rows) {
        row.passwordEdit->clear();
        row.repeatEdit->clear();
    }
    QDialog::done(result);
}

#include "app/auditaccess.h"

#include <QAction>
#include <QDir>
#include <QToolBar>
#include <QToolButton>
#include <QWidget>

#include "app/auditwindow.h"
#include "app/mainwindow_texts.h"
#include "common/texts.h"
#include "core/session.h"
#include "ui/messages.h"

AuditAccess::AuditAccess(Session& session, TPasswordStore& passwords, QToolButton* button, QWidget* window)
    : QObject(window), m_session(session), m_passwords(passwords), m_button(button), m_window(window)
{
    connect(button, &QToolButton::clicked, this, &AuditAccess::open);
}

AuditAccess::~AuditAccess() = default;

AuditWindow* AuditAccess::viewer() const
{
    return m_viewer;
}

void AuditAccess::levelShown()
{
    const int32_t level = m_passwords.level();
    showButton(level == ModeAdministrator || level == ModeSuperUser);
    if (level == ModeNone || std::exchange(m_watching, true))
        return;
    connect(&m_session.audit(), &AuditLog::writeFailed, this, &AuditAccess::reportNotWritten);
    connect(&m_session.audit(), &AuditLog::writeRecovered, this, &AuditAccess::reportWrittenAgain);
    if (!m_session.audit().writable())
        reportNotWritten(QString(), false);
}

void AuditAccess::showButton(bool shown)
{
    // On a tool bar the button's action there decides: the bar shows a widget hidden by hand again
    // at its next layout. The button is hidden at once too, and the separator after it goes with it.
    m_button->setVisible(shown);
    auto* bar = qobject_cast<QToolBar*>(m_button->parentWidget());
    if (!bar)
        return;
    const QList<QAction*> actions = bar->actions();
    for (qsizetype i = 0; i < actions.size(); ++i) {
        if (bar->widgetForAction(actions[i]) != m_button)
            continue;
        actions[i]->setVisible(shown);
        if (i + 1 < actions.size() && actions[i + 1]->isSeparator())
            actions[i + 1]->setVisible(shown);
    }
}

void AuditAccess::reportNotWritten(const QString& reason, bool diskFull)
{
    if (m_warned)
        return;
    // A full disk is said in the language shown; SQLite's own words add nothing to it.
    const QString text = pick(diskFull ? mainwindow::AuditDiskFullText : mainwindow::AuditNotWrittenText);
    if (text.isNull())
        return;
    m_warned = true;
    const QString file = QDir::toNativeSeparators(m_session.audit().fileName());
    ShowError(m_window, diskFull ? text.arg(file) : text.arg(file, reason).trimmed());
}

void AuditAccess::reportWrittenAgain(qint64 droppedRows)
{
    if (!m_warned)
        return;
    m_warned = false;
    ShowInformation(m_window, pick(mainwindow::AuditWrittenAgainText)
                                  .arg(QDir::toNativeSeparators(m_session.audit().fileName()))
                                  .arg(droppedRows));
}

void AuditAccess::open()
{
    if (m_passwords.level() != ModeAdministrator && m_passwords.level() != ModeSuperUser)
        return;
    if (!m_viewer)
        m_viewer = new AuditWindow(m_session.audit(), m_window);
    m_session.audit().flush(); // what was just done is in the list too
    m_viewer->refresh();
    m_viewer->show();
    m_viewer->raise();
    m_viewer->activateWindow();
}

std::function<void(const QString&)> AuditAccess::conversionRecorder()
{
    return [this](const QString& detail) { m_session.auditTrail().record(QStringLiteral("convert"), detail); };
}

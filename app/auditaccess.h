// The window's way to the audit record: the viewer for the administrator and the super-user, the
// one message when the record cannot be written and the one when it can again.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class AuditWindow;
class QToolButton;
class QWidget;
class Session;
class TPasswordStore;

class AuditAccess : public QObject {
    Q_OBJECT
public:
    // The button opens the viewer.
    AuditAccess(Session& session, TPasswordStore& passwords, QToolButton* button, QWidget* window);
    ~AuditAccess() override;

    // The level logged in is shown: the button is there for the administrator and the
    // super-user, and from the log-in on a record that cannot be written is said once, and once
    // more when it can be written again.
    void levelShown();
    // The viewer, brought up to date and to the front (administrator and super-user only).
    void open();
    AuditWindow* viewer() const;
    // What a conversion at start hands to the record.
    std::function<void(const QString&)> conversionRecorder();

private:
    void showButton(bool shown);
    void reportNotWritten(const QString& reason, bool diskFull);
    void reportWrittenAgain(qint64 droppedRows);

    Session& m_session;
    TPasswordStore& m_passwords;
    QToolButton* m_button;
    QWidget* m_window;
    QPointer<AuditWindow> m_viewer;
    bool m_warned = false; // a failure said and no recovery since
    bool m_watching = false;
};

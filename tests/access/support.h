// What the access tests share: a data directory with a password store, recorded message boxes,
// and a way to answer the modal dialogs of the start.
#pragma once

#include <QApplication>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <functional>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "access/passwordstore.h"
#include "ui/messages.h"
#include "../support/recording_messages.h"
#include "common/state.h"
#include "common/texts.h"

inline QByteArray ReadBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline unsigned FileMode(const QString& path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}


// A data directory of its own. Every test starts in Chinese, in the customer edition, with
// nobody logged in.
struct StoreDir {
    StoreDir()
    {
        setCurrentLanguage(0);
    }
    QString path() const { return m_tmp.path() + QStringLiteral("/DFiles"); }
    QString file() const { return path() + QStringLiteral("/SysSet.DB"); }
    void create(const char* superUser, const char* administrator, const char* operatorPassword)
    {
        TPasswordStore(path()).Create(QString::fromUtf8(administrator), QString::fromUtf8(operatorPassword),
                                      QString::fromUtf8(superUser));
    }
    RecordingMessages messages;

private:
    QTemporaryDir m_tmp;
};

// Answers the modal dialogs that come up while a test is inside exec(), one step each, in order.
// A dialog no step is waiting for is closed after a few seconds, failing the test instead of
// hanging it.
class ModalScript {
public:
    ModalScript()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
        m_timer.start(5);
    }
    template <typename T>
    ModalScript& then(std::function<void(T*)> act)
    {
        m_steps.push_back([act](QWidget* modal) {
            auto* dialog = qobject_cast<T*>(modal);
            if (dialog)
                act(dialog);
            return dialog != nullptr;
        });
        return *this;
    }
    bool finished() const { return m_steps.empty(); }

private:
    void tick()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (!m_steps.empty() && m_steps.front()(modal)) {
            m_steps.pop_front();
            m_idle = 0;
        } else if (++m_idle > 600) {
            ADD_FAILURE() << "unexpected dialog " << modal->objectName().toStdString();
            m_idle = 0;
            modal->close();
        }
    }
    QTimer m_timer;
    std::deque<std::function<bool(QWidget*)>> m_steps;
    int m_idle = 0;
};

// Helpers shared by the main-window tests.
#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "ui/messages.h"
#include "../support/recording_messages.h"
#include "common/state.h"

// A port table for tests: every port name leads to a device that does not exist, so no real
// serial port of the machine is ever opened.
inline QString NowherePort(const QString&)
{
    return QStringLiteral("/nonexistent/tarvello-test-port");
}


// Makes the window's log-in grant `mode` at once instead of asking.
template <class Form>
void LogInAs(Form& form, int32_t mode)
{
    form.LogIn = [mode](Form& f) {
        f.passwordStore().setLevel(mode);
        return true;
    };
}

// A data directory of its own for each test, with an optional DB.ini.
class DataDir {
public:
    DataDir() { QDir().mkpath(path()); }
    QString path() const { return m_tmp.path() + QStringLiteral("/DFiles"); }
    QString ini() const { return path() + QStringLiteral("/DB.ini"); }
    void writeIni(const QByteArray& bytes) const
    {
        QFile f(ini());
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
    }
    QByteArray readIni() const
    {
        QFile f(ini());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_tmp;
};

#include <QCoreApplication>
#include <QElapsedTimer>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>

// Runs the event loop until done() holds or the time is up; answers done().
inline bool RunUntil(const std::function<bool()>& done, int timeoutMs = 3000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

// The device side of a pseudo-terminal; the control centre opens slavePath().
class PtyMaster {
public:
    PtyMaster()
    {
        m_fd = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_fd >= 0 && grantpt(m_fd) == 0 && unlockpt(m_fd) == 0) m_slave = QString::fromLocal8Bit(ptsname(m_fd));
    }
    ~PtyMaster() { close(); }
    QString slavePath() const { return m_slave; }
    // What the control centre wrote to the line, waiting up to `ms` for the first bytes.
    QByteArray read(int ms)
    {
        QByteArray out;
        pollfd p { m_fd, POLLIN, 0 };
        while (m_fd >= 0 && ::poll(&p, 1, out.isEmpty() ? ms : 50) > 0 && (p.revents & POLLIN)) {
            char buffer[256];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0) break;
            out.append(buffer, n);
        }
        return out;
    }
    void close()
    {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    QString m_slave;
};

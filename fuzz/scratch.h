// A file of the harness's own for inputs that must be read from disk: in a folder of this process
// (on tmpfs where there is one, so the writes cost no disk), removed when the process ends.
#pragma once

#include <QDir>
#include <QString>

#include <unistd.h>

class ScratchDir {
public:
    explicit ScratchDir(const QString& tag)
    {
        const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        m_dir = base + QStringLiteral("/tarvello-fuzz-%1-%2").arg(tag).arg(::getpid());
        QDir().mkpath(m_dir);
    }
    ~ScratchDir() { QDir(m_dir).removeRecursively(); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    QString file(const QString& name) const { return m_dir + QLatin1Char('/') + name; }

private:
    QString m_dir;
};

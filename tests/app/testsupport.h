// Helpers shared by the main-window tests.
#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "app/messages.h"

// Records every message box instead of showing it; answers confirmations with `answer`.
class RecordingMessages : public MessageSink {
public:
    RecordingMessages() { SetMessageSink(this); }
    ~RecordingMessages() override { SetMessageSink(nullptr); }
    bool show(QWidget*, Kind kind, const QString& text) override
    {
        kinds.append(kind);
        texts.append(text);
        return kind == Kind::Confirmation ? answer : true;
    }
    QList<Kind> kinds;
    QStringList texts;
    bool answer = true;
};

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

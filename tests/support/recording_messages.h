// Message boxes for tests: every box is recorded instead of shown; confirmations are answered with
// `answer`.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "ui/messages.h"

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

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
    bool show(QWidget* parent, Kind kind, const QString& text) override
    {
        parents.append(parent);
        kinds.append(kind);
        texts.append(text);
        return kind == Kind::Confirmation || kind == Kind::StopConfirmation ? answer : true;
    }
    QList<Kind> kinds;
    QStringList texts;
    QList<QWidget*> parents;  // the window each box belongs to
    bool answer = true;
};

// Every message box of the program goes through here, so tests can answer them instead of
// blocking on a modal dialog.
#pragma once

#include <QString>

#include <memory>

class QMessageBox;
class QWidget;

class MessageSink {
public:
    // StopConfirmation: a question whose Yes stops devices, the default answer.
    enum class Kind { Information, Confirmation, Error, StopConfirmation };
    virtual ~MessageSink() = default;
    // Returns true for OK / Yes.
    virtual bool show(QWidget* parent, Kind kind, const QString& text) = 0;
};

// The sink in use; by default real modal message boxes.
MessageSink& Messages();
// Replaces the sink (nullptr restores the message boxes). The caller keeps ownership.
void SetMessageSink(MessageSink* sink);

// The window a box belongs to: a modal dialog in use comes first, then the program's window the
// operator is using; `parent` only when none of the program's windows is active (another program
// has the focus), or its nearest shown window when it is hidden. A box over a window kept on top
// of the others is kept on top too, so it never sits under the window it speaks for.
QWidget* MessageOwner(QWidget* parent);

// The box the default sink shows, titled with the program's name.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, MessageSink::Kind kind, const QString& text);

inline void ShowInformation(QWidget* parent, const QString& text)
{
    Messages().show(MessageOwner(parent), MessageSink::Kind::Information, text);
}
inline bool AskConfirmation(QWidget* parent, const QString& text)
{
    return Messages().show(MessageOwner(parent), MessageSink::Kind::Confirmation, text);
}
inline void ShowError(QWidget* parent, const QString& text)
{
    Messages().show(MessageOwner(parent), MessageSink::Kind::Error, text);
}

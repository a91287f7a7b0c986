#include "ui/messages.h"

#include <QApplication>
#include <QMessageBox>

namespace {

class BoxSink : public MessageSink {
public:
    bool show(QWidget* parent, Kind kind, const QString& message) override
    {
        const QString title = QApplication::applicationName();
        // A lone carriage return in a text is a line break.
        QString text = message;
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        switch (kind) {
        case Kind::Information:
            QMessageBox::information(parent, title, text, QMessageBox::Ok);
            return true;
        case Kind::Confirmation:
            return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
                   == QMessageBox::Yes;
        case Kind::Error:
            QMessageBox::critical(parent, title, text, QMessageBox::Ok);
            return true;
        }
        return false;
    }
};

BoxSink g_boxes;
MessageSink* g_sink = &g_boxes;

} // namespace

MessageSink& Messages()
{
    return *g_sink;
}

void SetMessageSink(MessageSink* sink)
{
    g_sink = sink ? sink : &g_boxes;
}

#include "ui/messages.h"

#include <QApplication>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

namespace {

class BoxSink : public MessageSink {
public:
    bool show(QWidget* parent, Kind kind, const QString& message) override
    {
        std::unique_ptr<QMessageBox> box = MakeMessageBox(parent, kind, message);
        return box->exec() != QMessageBox::No;
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

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, MessageSink::Kind kind, const QString& message)
{
    const QString title = QApplication::applicationName();
    // A lone carriage return in a text is a line break.
    QString text = message;
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    using Kind = MessageSink::Kind;
    const QMessageBox::Icon icon = kind == Kind::Confirmation ? QMessageBox::Question
                                   : kind == Kind::Error      ? QMessageBox::Critical
                                                              : QMessageBox::Information;
    const QMessageBox::StandardButtons buttons =
        kind == Kind::Confirmation ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok;
    auto box = std::make_unique<QMessageBox>(icon, title, text, buttons, parent);
    box->setDefaultButton(kind == Kind::Confirmation ? QMessageBox::No : QMessageBox::Ok);
    // A short text makes a box narrower than its own title, which the title bar then cuts: the
    // box keeps room for the title beside the title bar's buttons.
    if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
        const int room = box->fontMetrics().horizontalAdvance(title) + 140;
        grid->addItem(new QSpacerItem(room, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
    return box;
}

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
        box->show();
        box->raise();
        box->activateWindow();
        const int answer = box->exec();
        return answer != QMessageBox::No && answer != QMessageBox::Cancel;
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

namespace {

// A window the operator can see and use: shown, not a pop-up or a tool tip.
bool inUse(const QWidget* w)
{
    return w && w->isVisible() && !(w->windowType() == Qt::Popup || w->windowType() == Qt::ToolTip);
}

// The nearest shown window at or above `w`.
QWidget* shownWindow(QWidget* w)
{
    for (; w; w = w->parentWidget()) {
        QWidget* top = w->window();
        if (inUse(top)) return top;
        w = top;
    }
    return nullptr;
}

}  // namespace

QWidget* MessageOwner(QWidget* parent)
{
    if (QWidget* modal = QApplication::activeModalWidget(); inUse(modal)) return modal;
    if (QWidget* active = QApplication::activeWindow(); inUse(active)) return active;
    if (QWidget* shown = shownWindow(parent)) return shown;
    // Nothing of the program is active and the parent is not shown: the window kept on top, if one is
    // shown, else the first shown window, else no parent (the box centres on the screen).
    QWidget* first = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (!inUse(top)) continue;
        if (top->windowFlags() & Qt::WindowStaysOnTopHint) return top;
        if (!first) first = top;
    }
    return first ? first : parent;
}

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, MessageSink::Kind kind, const QString& message)
{
    const QString title = QApplication::applicationName();
    // A lone carriage return in a text is a line break.
    QString text = message;
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    using Kind = MessageSink::Kind;
    const bool question = kind == Kind::Confirmation || kind == Kind::StopConfirmation;
    const QMessageBox::Icon icon = question ? QMessageBox::Question
                                   : kind == Kind::Error      ? QMessageBox::Critical
                                                              : QMessageBox::Information;
    const QMessageBox::StandardButtons buttons = kind == Kind::Confirmation ? QMessageBox::Yes | QMessageBox::No
        : kind == Kind::StopConfirmation                                  ? QMessageBox::Yes | QMessageBox::Cancel
                                                                          : QMessageBox::Ok;
    auto box = std::make_unique<QMessageBox>(icon, title, text, buttons, parent);
    box->setDefaultButton(kind == Kind::Confirmation ? QMessageBox::No
                          : kind == Kind::StopConfirmation ? QMessageBox::Yes
                                                           : QMessageBox::Ok);
    // Over a window kept on top (the editor), the box is kept on top as well.
    if (parent && (parent->window()->windowFlags() & Qt::WindowStaysOnTopHint))
        box->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    // A short text makes a box narrower than its own title, which the title bar then cuts: the
    // box keeps room for the title beside the title bar's buttons.
    if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
        const int room = box->fontMetrics().horizontalAdvance(title) + 140;
        grid->addItem(new QSpacerItem(room, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                      grid->columnCount());
    }
    return box;
}

// The main window's motion panel beyond the five buttons: stop-all (the button and F12 in every
// window of the program), the line that says what a press moves, and ending the work on a port.
#include "app/mainwindow.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <map>

#include "app/engineface.h"
#include "app/mainwindow_texts.h"
#include "ui/messages.h"
#include "common/state.h"
#include "editor/groupeditor.h"
#include "protocol/frames.h"

using namespace mainwindow;

void MainWindow::installStopAllKey()
{
    m_stopAllKey = new StopAllKey(this, [this] { stopAllPressed(); });
    qApp->installEventFilter(m_stopAllKey);
}

void MainWindow::stopAllPressed()
{
    if (m_closed) return;
    m_engine.stopAll();
}

void MainWindow::updateTargetLine()
{
    if (!m_ui.targetLine || !m_session) return;
    m_ui.targetLine->setText(m_face->targetLineText());
    const Targets press = m_face->targets(CmdUp);
    m_balls->setPressTargets(press.groups, press.devices);
}

void MainWindow::fitControlPanel()
{
    // As wide as the stop-all button, the longest fixed line and the self-check row need, in
    // either language; the layout gives it more as the window grows.
    auto advance = [](const QWidget* w, const Text& text, int language) {
        return w->fontMetrics().horizontalAdvance(pick(text, language));
    };
    int button = 40;
    int label = 0;
    int widest = 0;
    for (int language : { 0, 1 }) {
        button = std::max({button, advance(m_ui.selfCheckButton, TextSelfCheckStart, language) + 16,
                           advance(m_ui.selfCheckButton, TextSelfCheckStop, language) + 16});
        label = std::max(label, advance(m_ui.periodLabel, TextSelfCheck, language));
        widest = std::max({widest, advance(m_ui.targetLine, TargetNothing, language),
                           advance(m_ui.stopAllButton, TextStopAll, language) + 24});
    }
    m_ui.selfCheckButton->setMinimumWidth(button);
    widest = std::max(widest, label + m_ui.periodEdit->width() + button + 6);
    m_ui.controlPanel->setMinimumWidth(std::clamp(widest + 12, 138, 260));
}

void MainWindow::readdressDropped(const std::vector<ReaddressMove>& moves)
{
    QStringList named;
    for (const ReaddressMove& m : moves)
        named << QStringLiteral("%1:%2 → %3:%4").arg(m.sourceGroup).arg(m.oldId >= 0 ? m.oldId : m.id).arg(m.targetGroup).arg(m.id);
    m_session->undoMoves(moves);
    // Said once the work in hand is over: this may run while the port is being changed.
    const QString text = pick(ReaddressDroppedText).arg(named.join(QStringLiteral(", ")));
    QTimer::singleShot(0, this, [this, text] {
        if (m_closed) return;
        refreshLists();
        if (m_editor) m_editor->registerChanged();
        ShowInformation(windowInUse(), text);
    });
}

QWidget* MainWindow::windowInUse()
{
    QWidget* active = QApplication::activeWindow();
    if (active && (active == this || active->parentWidget() == this || active == m_editor)) return active;
    if (m_editor && m_editor->isVisible()) return m_editor;
    return this;
}

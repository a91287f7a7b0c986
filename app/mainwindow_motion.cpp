// The main window's motion panel beyond the five buttons: stop-all (the button and F12 in every
// window of the program), the line that says what a press moves, and ending the work on a port.
#include "app/mainwindow.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
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
}

void MainWindow::fitControlPanel()
{
    // As wide as the stop-all button and the longest fixed line need, in either language.
    const QFontMetrics metrics(m_ui.targetLine->font());
    int widest = 0;
    for (int language : { 0, 1 }) {
        widest = std::max(widest, metrics.horizontalAdvance(pick(TargetNothing, language)));
        widest = std::max(widest, QFontMetrics(m_ui.stopAllButton->font()).horizontalAdvance(pick(TextStopAll, language)) + 24);
    }
    m_ui.controlPanel->setFixedWidth(std::clamp(widest + 12, 138, 260));
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

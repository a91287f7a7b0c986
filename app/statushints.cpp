#include "app/statushints.h"

#include <QAbstractItemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QToolBar>
#include <QWidget>

#include "app/maincontrols.h"
#include "app/mainwindow_texts.h"

using namespace mainwindow;

StatusHints::StatusHints(QMainWindow* window, const MainControls& ui, std::function<bool()> searching)
    : QObject(window), m_ui(ui), m_searching(std::move(searching))
{
    // Controls with a hint of their own.
    for (const Hint& hint : Hints) {
        if (QWidget* w = window->findChild<QWidget*>(QString::fromLatin1(hint.key))) {
            w->setMouseTracking(true);
            w->installEventFilter(this);
            m_keys.insert(w, QString::fromLatin1(hint.key));
        }
    }
    // Controls that show the device count.
    QWidget* shared[] = {m_ui.toolBar, window->findChild<QWidget*>(QStringLiteral("ToolBarSpace")), m_ui.groupList,
                         m_ui.groupList->viewport(), m_ui.deviceList, m_ui.deviceList->viewport(), m_ui.statusBar, m_ui.controlPanel, m_ui.clearStrip,
                         m_ui.trafficLog, m_ui.trafficLog->viewport(), m_ui.rangeTilde, m_ui.periodLabel, m_ui.rangeStartEdit, m_ui.rangeEndEdit, m_ui.periodEdit};
    // A count on show follows the rows.
    if (QAbstractItemModel* rows = m_ui.deviceList->model()) {
        const auto recount = [this] {
            if (m_counting && !(m_searching && m_searching())) showLine();
        };
        connect(rows, &QAbstractItemModel::rowsInserted, this, recount);
        connect(rows, &QAbstractItemModel::rowsRemoved, this, recount);
        connect(rows, &QAbstractItemModel::modelReset, this, recount);
        connect(rows, &QAbstractItemModel::layoutChanged, this, recount);
    }
    for (QWidget* w : shared) {
        if (!w) continue;
        w->setMouseTracking(true);
        w->installEventFilter(this);
        m_keys.insert(w, QString());
    }
}

bool StatusHints::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseMove) {
        auto it = m_keys.constFind(watched);
        if (it != m_keys.constEnd()) {
            if (it->isEmpty()) {
                showDeviceCount();
            } else {
                showHint(*it);
                // Buttons and frames ignore a plain move, which would pass it on to the panel
                // beneath and overwrite the hint with the device count.
                if (static_cast<QMouseEvent*>(event)->buttons() == Qt::NoButton) return true;
            }
        }
    }
    return QObject::eventFilter(watched, event);
}

void StatusHints::showHint(const QString& key)
{
    for (const Hint& hint : Hints) {
        if (key == QLatin1String(hint.key)) return show([text = hint.text] { return pick(text); });
    }
}

void StatusHints::showDeviceCount()
{
    if (m_searching && m_searching()) return; // the search progress text stays visible
    show([this] {
        const QString s = pick(DeviceCountText);
        return s.isNull() ? s : s.arg(m_ui.deviceList->rowCount());
    });
    m_counting = true;
}

void StatusHints::show(std::function<QString()> say)
{
    m_line = std::move(say);
    m_counting = false;
    showLine();
}

void StatusHints::retranslate()
{
    showLine();
}

void StatusHints::showLine()
{
    if (!m_line) return;
    const QString s = m_line();
    // A language with no texts leaves the panel as it is.
    if (!s.isNull()) m_ui.statusBar->setPanelText(HintPanel, s);
}

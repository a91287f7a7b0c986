// The main window's motion panel beyond the five buttons: stop-all (the button and F12 in every
// window of the program), the line that says what a press moves, and ending the work on a port.
#include "app/mainwindow.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTableView>
#include <QThread>
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

namespace {

// A target line names at most this many groups or devices, then counts the rest.
constexpr int TargetLineNames = 8;

// F12 reaches the program whichever of its windows has the focus, a modal dialog or a message
// box included (Qt holds back an ordinary shortcut while a modal dialog is open).
class StopAllKey : public QObject {
public:
    StopAllKey(QObject* parent, std::function<void()> stop) : QObject(parent), m_stop(std::move(stop)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_F12 && key->modifiers() == Qt::NoModifier) {
                // The press is taken once; a held key does not repeat it.
                if (event->type() == QEvent::KeyPress && !key->isAutoRepeat()) m_stop();
                event->accept();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_stop;
};

QString listSeparator(int language)
{
    return language == 0 ? QStringLiteral("、") : QStringLiteral(", ");
}

QString namesOf(const std::vector<int>& numbers, int language)
{
    QStringList names;
    for (size_t k = 0; k < numbers.size() && k < size_t(TargetLineNames); ++k) names << QString::number(numbers[k]);
    if (numbers.size() > size_t(TargetLineNames)) names << QStringLiteral("… (%1)").arg(numbers.size());
    return names.join(listSeparator(language));
}

// "All devices", "Groups 2, 5", "Devices 7, 9 (group 3)", several of them joined.
QString describe(const Targets& t, int language)
{
    QStringList parts;
    if (std::find(t.groups.begin(), t.groups.end(), BroadcastGroup) != t.groups.end()) {
        parts << pick(TargetAllDevices, language);
    } else if (!t.groups.empty()) {
        parts << pick(TargetGroups, language).arg(namesOf(std::vector<int>(t.groups.begin(), t.groups.end()), language));
    }
    std::map<int, std::vector<int>> byGroup;
    for (const auto& [group, id] : t.devices) byGroup[group].push_back(id);
    if (byGroup.size() == 1) {
        parts << pick(TargetDevices, language).arg(namesOf(byGroup.begin()->second, language)).arg(byGroup.begin()->first);
    } else if (!byGroup.empty()) {
        QStringList named;
        for (const auto& [group, members] : byGroup)
            for (int id : members) named << QStringLiteral("%1:%2").arg(group).arg(id);
        if (named.size() > TargetLineNames) {
            const qsizetype all = named.size();
            named = named.mid(0, TargetLineNames);
            named << QStringLiteral("… (%1)").arg(all);
        }
        parts << pick(TargetDevicesMixed, language).arg(named.join(listSeparator(language)));
    }
    if (!t.missing.empty()) parts << pick(TargetNotInRegister, language).arg(namesOf(t.missing, language));
    return parts.join(language == 0 ? QStringLiteral("；") : QStringLiteral("; "));
}

} // namespace

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
    QString text;
    if (m_engine.selfCheckPhase() != ControlEngine::SelfCheckPhase::Stopped) {
        text = pick(TargetSelfCheck).arg(describe(m_engine.selfCheckTargets(), CurLanguage));
    } else {
        // Looked up with Up: a listed device the register lost is named as not reached.
        const Targets targets = m_face->targets(CmdUp);
        text = targets.empty() && targets.missing.empty() ? pick(TargetNothing) : describe(targets, CurLanguage);
    }
    m_ui.targetLine->setText(text);
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

void MainWindow::logDropped(const uint8_t* bytes, int count)
{
    const QString hex = QString::fromStdString(HexLine(bytes, static_cast<size_t>(count)));
    m_record.addNote(pick(DroppedRecord, 1) + QStringLiteral(": ") + hex.trimmed());
    m_ui.trafficLog->appendPlainText(pick(DroppedRecord) + QLatin1Char(':'));
    m_ui.trafficLog->appendPlainText(hex);
}

void MainWindow::readdressDropped(const std::vector<ReaddressMove>& moves)
{
    // The register keeps each device where it was; only a record the move had changed is put back.
    QStringList named;
    TTable& members = m_register.Member_Table;
    try {
        for (const ReaddressMove& m : moves) {
            const int oldId = m.oldId >= 0 ? m.oldId : m.id;
            named << QStringLiteral("%1:%2 → %3:%4").arg(m.sourceGroup).arg(oldId).arg(m.targetGroup).arg(m.id);
            if (!members.Active() || !members.Locate(QStringLiteral("ID"), m.id)) continue;
            if (members.FieldByName(QStringLiteral("Group_ID")).AsInteger() != m.targetGroup) continue;
            if (oldId != m.id && members.Locate(QStringLiteral("ID"), oldId)) continue; // its old ID is taken
            members.Locate(QStringLiteral("ID"), m.id);
            members.Edit();
            members.SetFieldByName(QStringLiteral("ID"), oldId);
            members.SetFieldByName(QStringLiteral("Group_ID"), m.sourceGroup);
            members.Post();
        }
    } catch (const std::exception& e) {
        if (members.Editing()) members.Cancel();
        reportTableError(e);
    }
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

#include "app/engineface.h"

#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>

#include <algorithm>
#include <map>

#include "app/mainwindow.h"
#include "app/mainwindow_texts.h"
#include "app/widgets.h"
#include "ui/messages.h"
#include "common/state.h"

using namespace mainwindow;

namespace {

// A target line names at most this many groups or devices, then counts the rest.
constexpr int TargetLineNames = 8;

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

EngineFace::EngineFace(MainWindow& form, ControlEngine& engine, DeviceRegister& reg)
    : QObject(&form), m_form(form), m_engine(engine), m_reg(reg)
{
    engine.setRows(ui().deviceList->model());
    engine.setPortState([&form] { return form.session().port().isOpen(); });
    connect(&engine, &ControlEngine::deviceFound, this, &EngineFace::addSearchedDevice);
    connect(&engine, &ControlEngine::searchRunningChanged, this, &EngineFace::searchRunningChanged);
    connect(&engine, &ControlEngine::selfCheckRunningChanged, this, &EngineFace::selfCheckRunningChanged);
    connect(&engine, &ControlEngine::searchProgress, this, &EngineFace::showSearchProgress);
    connect(&engine, &ControlEngine::searchRangeReset, this, [this](int from, int to) {
        ui().rangeStartEdit->setText(QString::number(from));
        ui().rangeEndEdit->setText(QString::number(to));
    });
    connect(&engine, &ControlEngine::periodReset, this, [this](int seconds) { ui().periodEdit->setText(QString::number(seconds)); });
    connect(&engine, &ControlEngine::progressStarted, this, &EngineFace::showProgress);
    connect(&engine, &ControlEngine::progress, this, &EngineFace::moveProgress);
    connect(&engine, &ControlEngine::progressEnded, this, &EngineFace::hideProgress);
    connect(&engine, &ControlEngine::frameSent, this, [this](const QByteArray& b) {
        m_form.logFrame(true, reinterpret_cast<const uint8_t*>(b.constData()), int(b.size()));
    });
    connect(&engine, &ControlEngine::frameReceived, this, [this](const QByteArray& b) {
        m_form.logFrame(false, reinterpret_cast<const uint8_t*>(b.constData()), int(b.size()));
    });
    // A frame a stop-all took back before it left the port.
    connect(&engine, &ControlEngine::frameDropped, this, [this](const QByteArray& b) {
        const QString hex = QString::fromStdString(HexLine(reinterpret_cast<const uint8_t*>(b.constData()), size_t(b.size())));
        m_form.m_record.addNote(pick(DroppedRecord, 1) + QStringLiteral(": ") + hex.trimmed());
        ui().trafficLog->appendPlainText(pick(DroppedRecord) + QLatin1Char(':'));
        ui().trafficLog->appendPlainText(hex);
    });
    connect(&engine, &ControlEngine::message, this, &EngineFace::information);
    connect(&engine, &ControlEngine::targetsNotInRegister, this, &EngineFace::targetsNotInRegister);
    connect(&engine, &ControlEngine::readdressUnanswered, this, &EngineFace::readdressUnanswered);
    connect(&engine, &ControlEngine::readdressShared, this, &EngineFace::readdressShared);
    connect(&engine, &ControlEngine::readdressDropped, this, [this](const std::vector<ReaddressMove>& moves) {
        m_form.readdressDropped(moves);
    });
    connect(&engine, &ControlEngine::motionTargetsChanged, this, [this] { m_form.updateTargetLine(); });
}

const MainControls& EngineFace::ui() const
{
    return m_form.controls();
}

// ---------------------------------------------------------------- the operator's choice

Selection EngineFace::chosen() const
{
    Selection s;
    const TCheckListBox* groups = ui().groupList;
    const int entries = groups->count();
    s.everyDevice = entries > 0 && groups->checked(0);
    for (int e = 1; e < entries; ++e)
        if (groups->checked(e)) s.checkedGroups.push_back(groups->groupOf(e));
    const int highlighted = groups->currentRow();
    if (highlighted > 0 && highlighted < entries) {
        s.highlightedGroup = groups->groupOf(highlighted);
        s.highlightedChecked = groups->checked(highlighted);
    }
    const TListView* list = ui().deviceList;
    s.rowCount = list->rowCount();
    const QItemSelectionModel* selection = list->selectionModel();
    for (int row = 0; row < s.rowCount; ++row) {
        if (!selection->isRowSelected(row, QModelIndex())) continue;
        const QVariant group = list->cellData(row, 0, DeviceGroupRole);
        s.selectedRows.push_back({ list->cellData(row, 0, DeviceIdRole).toInt(),
                                   group.isValid() ? std::optional<int>(group.toInt()) : std::nullopt });
    }
    return s;
}

Targets EngineFace::targets(uint8_t command) const
{
    return targetsOf(command, chosen(), m_reg);
}

QString EngineFace::targetLineText() const
{
    if (m_engine.selfCheckPhase() != ControlEngine::SelfCheckPhase::Stopped)
        return pick(TargetSelfCheck).arg(describe(m_engine.selfCheckTargets(), currentLanguage()));
    // Looked up with Up: a listed device the register lost is named as not reached.
    const Targets t = targets(CmdUp);
    return t.empty() && t.missing.empty() ? pick(TargetNothing) : describe(t, currentLanguage());
}

void EngineFace::press(uint8_t command)
{
    m_engine.move(command, targets(command));
}

void EngineFace::searchClicked()
{
    m_engine.searchClicked(ControlEngine::fieldValue(ui().rangeStartEdit->text()),
                           ControlEngine::fieldValue(ui().rangeEndEdit->text()), [this] {
                               const QString s = pick(ConfirmSearchText);
                               return !s.isNull() && AskConfirmation(&m_form, s);
                           });
}

void EngineFace::selfCheckClicked()
{
    m_engine.selfCheckClicked(ControlEngine::fieldValue(ui().periodEdit->text()), targets(CmdUp));
}

// ---------------------------------------------------------------- device list

void EngineFace::markAllOffLine()
{
    m_form.session().devices().markAllOffLine();
}

void EngineFace::addSearchedDevice(int group, int id)
{
    DeviceModel& devices = m_form.session().devices();
    // A group's own view shows its devices only, without the group column.
    if (m_form.shownGroupEntry() > 0) {
        devices.addDevice({ group, id, QString(), true, QString() });
        return;
    }
    QString text;
    if (group == 0) {
        text = pick(TextUngrouped);
    } else {
        TTable& groups = m_form.session().deviceRegister().Group_Table;
        QString name;
        try {
            if (groups.Locate(QStringLiteral("ID"), group)) name = groups.FieldByName(QStringLiteral("Name")).AsString();
        } catch (const std::exception& e) {
            m_form.reportTableError(e); // the device is in the register; only its group's name is missing
        }
        text = GroupLabel(group, name);
    }
    devices.addDevice({ group, id, QString(), true, text });
}

void EngineFace::searchRunningChanged(bool running)
{
    const QString caption = pick(running ? TextSearchStop : TextSearch);
    if (!caption.isNull()) ui().searchButton->setText(caption);
    ui().rangeStartEdit->setEnabled(!running);
    ui().rangeEndEdit->setEnabled(!running);
    if (running) m_form.session().devices().clear(); // the list shows what the search finds
}

void EngineFace::selfCheckRunningChanged(bool running)
{
    const QString caption = pick(running ? TextSelfCheckStop : TextSelfCheckStart);
    if (!caption.isNull()) ui().selfCheckButton->setText(caption);
}

void EngineFace::showSearchProgress(int cursor, int end)
{
    const QString text = pick(SearchProgressText);
    if (!text.isNull()) ui().statusBar->setPanelText(HintPanel, text.arg(cursor).arg(end));
}

// ---------------------------------------------------------------- progress bar

void EngineFace::showProgress(int maximum, int position)
{
    hideProgress();
    TStatusBar* bar = ui().statusBar;
    m_progressBar = new QProgressBar(bar);
    m_progressBar->setObjectName(QStringLiteral("pollProgressBar"));
    m_progressBar->setTextVisible(false);
    QRect r = bar->ownerDrawRect();
    if (r.isEmpty()) // not painted yet: the panel's place on the bar
        r = QRect(bar->panelLeft(ProgressPanel) + 1, 2, bar->panelWidth(ProgressPanel) - 3, bar->height() - 4);
    m_progressBar->setGeometry(r);
    m_progressBar->setRange(0, std::max(1, maximum)); // a range of 0 would be a busy indicator
    m_progressBar->setValue(position);
    m_progressBar->show();
}

void EngineFace::moveProgress(int position)
{
    if (!m_progressBar) return;
    m_progressBar->setValue(position);
    m_progressBar->show();
}

void EngineFace::hideProgress()
{
    delete m_progressBar;
    m_progressBar = nullptr;
}

// ---------------------------------------------------------------- messages

void EngineFace::information(EngineMessage message)
{
    const Text* text = nullptr;
    switch (message) {
    case EngineMessage::SearchRangeWrong: text = &SearchRangeWrongText; break;
    case EngineMessage::SelectMembersFirst: text = &SelectMembersText; break;
    case EngineMessage::SelfCheckPeriodWrong: text = &PeriodRangeText; break;
    case EngineMessage::ConfirmSearch: text = &ConfirmSearchText; break;
    case EngineMessage::PortClosed:
        // The same error box as a port that failed to open.
        if (const QString s = m_form.portErrorText(); !s.isNull()) ShowError(m_form.windowInUse(), s);
        return;
    case EngineMessage::TargetsNotInRegister: targetsNotInRegister({}); return;
    case EngineMessage::StopAllNotSent:
        if (const QString s = pick(StopAllNotSentText); !s.isNull())
            ShowError(m_form.windowInUse(), s.arg(m_form.session().port().CommName()));
        return;
    }
    if (const QString s = pick(*text); !s.isNull()) ShowInformation(m_form.windowInUse(), s);
}

QString EngineFace::namedTargets(const Targets& targets)
{
    QStringList named;
    for (uint8_t g : targets.groups)
        named << (g == BroadcastGroup ? pick(EveryDeviceNamed) : pick(GroupNamed).arg(g));
    for (const auto& [g, id] : targets.devices)
        named << pick(DeviceNamed).arg(g).arg(id);
    return named.join(pick(ListSeparator));
}

void EngineFace::readdressUnanswered(const std::vector<int>& ids)
{
    QStringList numbers;
    for (int id : ids) numbers << QString::number(id);
    if (const QString s = pick(ReaddressUnansweredText); !s.isNull())
        ShowInformation(m_form.windowInUse(), s.arg(numbers.join(QStringLiteral(", "))));
}

void EngineFace::readdressShared(const std::vector<std::pair<int, int>>& addresses)
{
    QStringList named;
    for (const auto& [group, id] : addresses) named << QStringLiteral("%1:%2").arg(group).arg(id);
    if (const QString s = pick(ReaddressSharedText); !s.isNull())
        ShowInformation(m_form.windowInUse(), s.arg(named.join(QStringLiteral(", "))));
}

void EngineFace::targetsNotInRegister(const std::vector<int>& ids)
{
    QStringList named;
    for (int id : ids) named << QString::number(id);
    if (const QString s = pick(TargetsNotInRegisterText); !s.isNull())
        ShowInformation(m_form.windowInUse(), s.arg(named.join(QStringLiteral(", "))));
}


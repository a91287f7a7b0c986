#include "app/engineview.h"

#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>

#include <algorithm>

#include "app/mainwindow.h"
#include "app/mainwindow_texts.h"
#include "app/widgets.h"
#include "ui/messages.h"

using namespace mainwindow;

WindowEngineView::WindowEngineView(MainWindow& form) : m_form(form) {}

WindowEngineView::~WindowEngineView() = default;

const MainControls& WindowEngineView::ui() const
{
    return m_form.controls();
}

// ---------------------------------------------------------------- device list

int WindowEngineView::rowCount() const
{
    return ui().deviceList->rowCount();
}

int WindowEngineView::rowId(int row) const
{
    const QTableWidgetItem* item = ui().deviceList->item(row, 1);
    return item ? item->data(DeviceIdRole).toInt() : 0;
}

std::optional<int> WindowEngineView::rowGroup(int row) const
{
    const QTableWidgetItem* item = ui().deviceList->item(row, 1);
    const QVariant group = item ? item->data(DeviceGroupRole) : QVariant();
    if (!group.isValid()) return std::nullopt;
    return group.toInt();
}

void WindowEngineView::setRowOnline(int row, bool online)
{
    if (QTableWidgetItem* item = ui().deviceList->item(row, 0)) item->setIcon(StateBallIcon(online));
}

bool WindowEngineView::rowSelected(int row) const
{
    return ui().deviceList->selectionModel()->isRowSelected(row, QModelIndex());
}

int WindowEngineView::selectedCount() const
{
    return static_cast<int>(ui().deviceList->selectionModel()->selectedRows().size());
}

void WindowEngineView::clearRows()
{
    ui().deviceList->clearSelection();
    ui().deviceList->setRowCount(0);
}

void WindowEngineView::addSearchedDevice(int id, int group)
{
    // The group view shows the devices of its own group only, without the group column.
    if (m_form.GroupFilter > 0) {
        if (group == m_form.groupIdOfEntry(m_form.GroupFilter)) m_form.addDeviceRow(id, group, QString(), QString(), true);
        return;
    }
    QString text;
    if (group == 0) {
        text = pick(TextUngrouped);
    } else {
        TTable& groups = m_form.Register.Group_Table;
        QString name;
        try {
            if (groups.Locate(QStringLiteral("ID"), group)) name = groups.FieldByName(QStringLiteral("Name")).AsString();
        } catch (const std::exception& e) {
            m_form.reportTableError(e); // the device is in the register; only its group's name is missing
        }
        text = GroupLabel(group, name);
    }
    m_form.addDeviceRow(id, group, QString(), text, true);
}

// ---------------------------------------------------------------- group check-list

int WindowEngineView::groupEntryCount() const
{
    return ui().groupList->count();
}

int WindowEngineView::groupEntryGroup(int entry) const
{
    return m_form.groupIdOfEntry(entry);
}

bool WindowEngineView::groupEntryChecked(int entry) const
{
    return ui().groupList->checked(entry);
}

int WindowEngineView::highlightedGroupEntry() const
{
    return ui().groupList->currentRow();
}

// ---------------------------------------------------------------- fields and captions

QString WindowEngineView::rangeStartText() const
{
    return ui().rangeStartEdit->text();
}

QString WindowEngineView::rangeEndText() const
{
    return ui().rangeEndEdit->text();
}

void WindowEngineView::setRangeTexts(const QString& start, const QString& end)
{
    ui().rangeStartEdit->setText(start);
    ui().rangeEndEdit->setText(end);
}

QString WindowEngineView::periodText() const
{
    return ui().periodEdit->text();
}

void WindowEngineView::setPeriodText(const QString& text)
{
    ui().periodEdit->setText(text);
}

void WindowEngineView::searchRunningChanged(bool running)
{
    const QString caption = pick(running ? TextSearchStop : TextSearch);
    if (!caption.isNull()) ui().searchButton->setText(caption);
    ui().rangeStartEdit->setEnabled(!running);
    ui().rangeEndEdit->setEnabled(!running);
}

void WindowEngineView::selfCheckRunningChanged(bool running)
{
    const QString caption = pick(running ? TextSelfCheckStop : TextSelfCheckStart);
    if (!caption.isNull()) ui().selfCheckButton->setText(caption);
}

void WindowEngineView::showSearchProgress(int cursor, int end)
{
    const QString text = pick(SearchProgressText);
    if (!text.isNull()) ui().statusBar->setPanelText(HintPanel, text.arg(cursor).arg(end));
}

// ---------------------------------------------------------------- progress bar

bool WindowEngineView::progressBarExists() const
{
    return m_progressBar != nullptr;
}

void WindowEngineView::createProgressBar(int maximum, int position)
{
    destroyProgressBar();
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

void WindowEngineView::setProgressBar(int position)
{
    if (!m_progressBar) return;
    m_progressBar->setValue(position);
    m_progressBar->show();
}

void WindowEngineView::destroyProgressBar()
{
    delete m_progressBar;
    m_progressBar = nullptr;
}

// ---------------------------------------------------------------- traffic log, port, messages

void WindowEngineView::logFrame(bool transmitted, const uint8_t* bytes, int count)
{
    m_form.logFrame(transmitted, bytes, count);
}

bool WindowEngineView::portOpen() const
{
    return m_form.Comm1.isOpen();
}

void WindowEngineView::information(EngineMessage message)
{
    const Text* text = nullptr;
    switch (message) {
    case EngineMessage::SearchRangeWrong: text = &SearchRangeWrongText; break;
    case EngineMessage::SelectMembersFirst: text = &SelectMembersText; break;
    case EngineMessage::SelfCheckPeriodWrong: text = &PeriodRangeText; break;
    case EngineMessage::ConfirmSearch: text = &ConfirmSearchText; break;
    case EngineMessage::PortClosed:
        // The same error box as a port that failed to open.
        if (const QString s = pick(PortErrorMessage); !s.isNull()) ShowError(m_form.windowInUse(), s);
        return;
    case EngineMessage::TargetsNotInRegister: targetsNotInRegister({}); return;
    }
    if (const QString s = pick(*text); !s.isNull()) ShowInformation(m_form.windowInUse(), s);
}

bool WindowEngineView::confirm(EngineMessage message)
{
    if (message != EngineMessage::ConfirmSearch) return false;
    const QString s = pick(ConfirmSearchText);
    return !s.isNull() && AskConfirmation(&m_form, s);
}

void WindowEngineView::readdressUnanswered(const std::vector<int>& ids)
{
    QStringList numbers;
    for (int id : ids) numbers << QString::number(id);
    if (const QString s = pick(ReaddressUnansweredText); !s.isNull())
        ShowInformation(m_form.windowInUse(), s.arg(numbers.join(QStringLiteral(", "))));
}

void WindowEngineView::readdressShared(const std::vector<std::pair<int, int>>& addresses)
{
    QStringList named;
    for (const auto& [group, id] : addresses) named << QStringLiteral("%1:%2").arg(group).arg(id);
    if (const QString s = pick(ReaddressSharedText); !s.isNull())
        ShowInformation(m_form.windowInUse(), s.arg(named.join(QStringLiteral(", "))));
}

void WindowEngineView::targetsNotInRegister(const std::vector<int>& ids)
{
    QStringList named;
    for (int id : ids) named << QString::number(id);
    if (const QString s = pick(TargetsNotInRegisterText); !s.isNull())
        ShowInformation(m_form.windowInUse(), s.arg(named.join(QStringLiteral(", "))));
}

void WindowEngineView::readdressDropped(const std::vector<ReaddressMove>& moves)
{
    m_form.readdressDropped(moves);
}

void WindowEngineView::logDropped(const uint8_t* bytes, int count)
{
    m_form.logDropped(bytes, count);
}

void WindowEngineView::motionTargetsChanged()
{
    m_form.updateTargetLine();
}

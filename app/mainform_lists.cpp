// The main window's device list and group filter, its port, and what the control engine sees of it.
#include "app/mainform.h"

#include <QComboBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>

#include <cstdio>

#include "app/mainform_texts.h"
#include "common/messages.h"
#include "common/state.h"

using namespace mainform;

namespace {

const QIcon& ballIcon(bool online)
{
    static const QIcon off = Pictures::stateBall(false);
    static const QIcon on = Pictures::stateBall(true);
    return online ? on : off;
}

QTableWidgetItem* cell(const QString& text)
{
    auto* item = new QTableWidgetItem(text);
    item->setTextAlignment(Qt::AlignCenter);
    return item;
}

// Paints the list once when a rebuild is over, however it ended.
class UpdatesPaused {
public:
    explicit UpdatesPaused(QWidget* w) : m_widget(w) { m_widget->setUpdatesEnabled(false); }
    ~UpdatesPaused() { m_widget->setUpdatesEnabled(true); }
    UpdatesPaused(const UpdatesPaused&) = delete;
    UpdatesPaused& operator=(const UpdatesPaused&) = delete;

private:
    QWidget* m_widget;
};

} // namespace

void TMainForm::connectControls()
{
    connect(ToolButton10, &QToolButton::clicked, this, [this] { Engine->ToolButton10Click(); });
    connect(ToolButton1, &QToolButton::clicked, this, &TMainForm::ToolButton1Click);
    connect(SpeedButton1, &QToolButton::clicked, this, [this] { Engine->SpeedButton1Click(); });
    connect(SpeedButton2, &QToolButton::clicked, this, [this] { Engine->SpeedButton2Click(); });
    connect(SpeedButton3, &QToolButton::clicked, this, [this] { Engine->SpeedButton3Click(); });
    connect(SpeedButton4, &QToolButton::clicked, this, [this] { Engine->SpeedButton4Click(); });
    connect(SpeedButton5, &QToolButton::clicked, this, [this] { Engine->SpeedButton5Click(); });
    connect(Button3, &QPushButton::clicked, this, [this] { Engine->Button3Click(); });
    connect(Button4, &QPushButton::clicked, this, [this] { Engine->Button4Click(); });
    connect(ComboBox1, &QComboBox::activated, this, &TMainForm::ComboBox1Select);
    connect(CheckListBox1, &TCheckListBox::entryClicked, this, &TMainForm::CheckListBox1Click);
    connect(CheckListBox1, &TCheckListBox::entryDoubleClicked, this, &TMainForm::CheckListBox1DblClick);
    connect(ListView1, &QTableWidget::itemSelectionChanged, this, &TMainForm::ListView1SelectItem);
    connect(ListView1, &TListView::listClicked, this, &TMainForm::ListView1Click);
    for (QLineEdit* e : {Edit1, Edit2, Edit3}) e->installEventFilter(this);
}

// ---------------------------------------------------------------- port

bool TMainForm::ComOpen()
{
    try {
        Comm1.OpenPort();
    } catch (const ECommsError&) {
        if (const QString s = pick(PortErrorMessage); !s.isNull()) ShowError(this, s);
        paintPortState(false);
        return false;
    }
    paintPortState(true);
    return true;
}

void TMainForm::paintPortState(bool opened)
{
    const QString name = ComboBox1->currentText();
    if (opened) {
        // The settings text is the same in both languages.
        StatusBar1->paintPanelText(PortPanel, QString::fromUtf8(PortSettingsPanel).arg(name), Qt::black);
    } else {
        const QString text = pick(PortErrorPanel);
        StatusBar1->paintPanelText(PortPanel, text.isNull() ? QString() : text.arg(name), Qt::red);
    }
}

void TMainForm::ComboBox1Select(int)
{
    destroyProgressBar();
    Comm1.ClosePort();
    Comm1.setCommName(ComboBox1->currentText());
    PortOpen = ComOpen() ? 1 : 0;
    // Only a port that opened is remembered for the next start.
    if (PortOpen) m_settings.WriteString(QStringLiteral("COM"), QStringLiteral("num"), ComboBox1->currentText());
}

void TMainForm::Comm1RequestHangup()
{
    // The device went away (a USB adapter pulled out): a port that cannot carry frames any more
    // must not look healthy, so close it and show the port error until another port is picked.
    Comm1.ClosePort();
    PortOpen = 0;
    paintPortState(false);
}

// ---------------------------------------------------------------- device list and group filter

void TMainForm::setGroupHeader()
{
    ListView1->horizontalHeaderItem(3)->setText(GroupFilter > 0 ? QString() : pick(TextGroupHeader));
}

QString TMainForm::groupTextOf(int groupId, bool storedUngroupedName)
{
    TTable& groups = Register.Group_Table;
    // A device whose group has no record is shown as ungrouped.
    if (!groups.Locate(QStringLiteral("ID"), groupId) || groups.RecNo() == 1) {
        if (storedUngroupedName && CurLanguage == 0 && groups.Locate(QStringLiteral("ID"), 0))
            return groups.FieldByName(QStringLiteral("Name")).AsString();
        return pick(TextUngrouped);
    }
    return GroupLabel(groups.FieldByName(QStringLiteral("ID")).AsLargeInt(),
                      groups.FieldByName(QStringLiteral("Name")).AsString());
}

void TMainForm::addDeviceRow(int id, const QString& name, const QString& groupText, bool online)
{
    const int row = ListView1->rowCount();
    ListView1->insertRow(row);
    auto* image = new QTableWidgetItem;
    image->setIcon(ballIcon(online));
    ListView1->setItem(row, 0, image);
    ListView1->setItem(row, 1, cell(QString::number(id)));
    if (!name.isNull()) ListView1->setItem(row, 2, cell(name));
    if (!groupText.isNull()) ListView1->setItem(row, 3, new QTableWidgetItem(groupText));
}

void TMainForm::ListRefresh()
{
    if (!Register.Member_Table.Active() || !Register.Group_Table.Active()) return;
    try {
        rebuildLists();
    } catch (const std::exception& e) {
        // The window stays up with whatever was built.
        showTableError(e);
    }
}

void TMainForm::rebuildLists()
{
    Engine->prepareRebuild();

    CheckListBox1->clear();
    CheckListBox1->addEntry(pick(TextAllUnits));
    CheckListBox1->addEntry(pick(TextUngroupedEntry));
    TTable& groups = Register.Group_Table;
    groups.First();
    if (!groups.Eof()) groups.Next(); // the ungrouped record has its fixed entry
    for (unsigned k = 1; !groups.Eof(); groups.Next(), ++k) {
        char number[16];
        std::snprintf(number, sizeof number, "%3u", k);
        CheckListBox1->addEntry(QString::fromLatin1(number) + QLatin1Char('-')
                                + groups.FieldByName(QStringLiteral("Name")).AsString());
    }

    UpdatesPaused paused(ListView1);
    ListView1->clearSelection();
    ListView1->setRowCount(0);
    setGroupHeader();
    qint64 filterId = -1;
    if (GroupFilter > 0 && GroupFilter <= groups.RecordCount()) {
        groups.setRecNo(GroupFilter);
        filterId = groups.FieldByName(QStringLiteral("ID")).AsLargeInt();
    }
    TTable& members = Register.Member_Table;
    for (members.First(); !members.Eof(); members.Next()) {
        const int id = members.FieldByName(QStringLiteral("ID")).AsInteger();
        const QString name = members.FieldByName(QStringLiteral("Name")).AsString();
        const qint64 group = members.FieldByName(QStringLiteral("Group_ID")).AsLargeInt();
        if (GroupFilter > 0) {
            if (group == filterId) addDeviceRow(id, name, QString(), false);
        } else {
            addDeviceRow(id, name, groupTextOf(static_cast<int>(group), false), false);
        }
    }

    CheckListBox1->setCurrentRow(GroupFilter);
    if (ListView1->rowCount() > 0) Engine->startPoll();
}

void TMainForm::CheckListBox1Click()
{
    if (!Register.Member_Table.Active() || !Register.Group_Table.Active()) return;
    try {
        showGroup();
    } catch (const std::exception& e) {
        showTableError(e);
    }
}

void TMainForm::showGroup()
{
    Engine->endSearchForGroupClick();

    ListView1->clearSelection();
    ListView1->setRowCount(0);
    GroupFilter = static_cast<uint8_t>(std::max(0, CheckListBox1->currentRow()));
    setGroupHeader();
    if (CheckListBox1->checked(0))
        for (int i = 1; i < CheckListBox1->count(); ++i) CheckListBox1->setChecked(i, false);

    TTable& groups = Register.Group_Table;
    qint64 groupId = -1;
    const bool all = GroupFilter == 0;
    const int record = all ? 1 : GroupFilter;
    if (record <= groups.RecordCount()) {
        groups.setRecNo(record);
        groupId = groups.FieldByName(QStringLiteral("ID")).AsLargeInt();
    }
    {
        UpdatesPaused paused(ListView1);
        TTable& members = Register.Member_Table;
        for (members.First(); !members.Eof(); members.Next()) {
            const int id = members.FieldByName(QStringLiteral("ID")).AsInteger();
            const QString name = members.FieldByName(QStringLiteral("Name")).AsString();
            const qint64 group = members.FieldByName(QStringLiteral("Group_ID")).AsLargeInt();
            if (all) addDeviceRow(id, name, groupTextOf(static_cast<int>(group), true), false);
            else if (group == groupId) addDeviceRow(id, name, QString(), false);
        }
    }

    if (ListView1->rowCount() > 0) {
        destroyProgressBar();
        Engine->startPoll();
    }
    if (CheckListBox1->checked(CheckListBox1->currentRow())) ListView1->selectAll();
}

void TMainForm::CheckListBox1DblClick()
{
    const int entry = CheckListBox1->currentRow();
    if (entry < 0) return;
    if (CheckListBox1->checked(entry)) {
        CheckListBox1->setChecked(entry, false);
        ListView1->clearSelection();
        return;
    }
    CheckListBox1->setChecked(entry, true);
    if (CheckListBox1->checked(0)) {
        for (int i = 1; i < CheckListBox1->count(); ++i) CheckListBox1->setChecked(i, false);
    } else {
        ListView1->selectAll();
    }
}

void TMainForm::ListView1Click()
{
    Engine->StopSelfChk();
    const int entry = CheckListBox1->currentRow();
    if (entry >= 0) CheckListBox1->setChecked(entry, selectedCount() == rowCount());
    if (selectedCount() == 0) {
        ListView1->clearSelection();
        if (entry >= 0) CheckListBox1->setChecked(entry, false);
    }
}

void TMainForm::ListView1SelectItem()
{
    // Selecting every row, by hand or with the keyboard, checks the group's entry.
    if (rowCount() == 0 || selectedCount() != rowCount()) return;
    if (CheckListBox1->currentRow() < 0 && CheckListBox1->count() > 0) CheckListBox1->setCurrentRow(0);
    if (CheckListBox1->currentRow() >= 0) CheckListBox1->setChecked(CheckListBox1->currentRow(), true);
}

void TMainForm::ToolButton1Click()
{
    Engine->StopSelfChk();
    Engine->StopSearch();
    // The group editor and the administrator password window come with the access levels;
    // until a log-in exists nobody holds a level that may open them.
}

// ---------------------------------------------------------------- number fields

bool TMainForm::numberFieldKey(QLineEdit* edit, QEvent* event)
{
    const QString reset = edit == Edit1 ? QStringLiteral("1") : edit == Edit2 ? QStringLiteral("999")
                                                                           : QStringLiteral("60");
    if (event->type() == QEvent::KeyPress) {
        const QString text = static_cast<QKeyEvent*>(event)->text();
        if (text.isEmpty()) return false; // arrows, shift and the like
        const int key = static_cast<QKeyEvent*>(event)->key();
        // Focus moves and the delete key are keys, not typed characters.
        if (key == Qt::Key_Tab || key == Qt::Key_Backtab || key == Qt::Key_Delete) return false;
        const QChar c = text.at(0);
        const bool accepted = (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c.unicode() == 8
                              || c.unicode() == 7 || c.unicode() == 20 || c.unicode() == 18;
        if (accepted) return false;
        m_fieldMarked[edit] = true;
        edit->setText(reset);
        return true;
    }
    if (!m_fieldMarked.value(edit)) return false;
    m_fieldMarked[edit] = false;
    const Text& message = edit == Edit1 ? RangeStartDigitsText : edit == Edit2 ? RangeEndDigitsText : PeriodRangeText;
    if (const QString s = pick(message); !s.isNull()) ShowInformation(this, s);
    edit->setText(reset);
    return true;
}

// ---------------------------------------------------------------- what the engine sees

int TMainForm::rowCount() const
{
    return ListView1->rowCount();
}

int TMainForm::rowId(int row) const
{
    const QTableWidgetItem* item = ListView1->item(row, 1);
    return item ? item->text().toInt() : 0;
}

void TMainForm::setRowOnline(int row, bool online)
{
    if (QTableWidgetItem* item = ListView1->item(row, 0)) item->setIcon(ballIcon(online));
}

bool TMainForm::rowSelected(int row) const
{
    return ListView1->selectionModel()->isRowSelected(row, QModelIndex());
}

int TMainForm::selectedCount() const
{
    return static_cast<int>(ListView1->selectionModel()->selectedRows().size());
}

void TMainForm::clearRows()
{
    ListView1->clearSelection();
    ListView1->setRowCount(0);
}

void TMainForm::addSearchedDevice(int id, int group)
{
    if (GroupFilter == 0) {
        QString text;
        if (group == 0) {
            text = pick(TextUngrouped);
        } else {
            TTable& groups = Register.Group_Table;
            QString name;
            try {
                if (group + 1 <= groups.RecordCount()) {
                    groups.setRecNo(group + 1);
                    name = groups.FieldByName(QStringLiteral("Name")).AsString();
                }
            } catch (const std::exception& e) {
                showTableError(e); // the device is in the register; only its group's name is missing
            }
            text = GroupLabel(group, name);
        }
        addDeviceRow(id, QString(), text, true);
    } else if (group == GroupFilter - 1) {
        addDeviceRow(id, QString(), QString(), true);
    }
}

int TMainForm::groupEntryCount() const
{
    return CheckListBox1->count();
}

bool TMainForm::groupEntryChecked(int entry) const
{
    return CheckListBox1->checked(entry);
}

int TMainForm::highlightedGroupEntry() const
{
    return CheckListBox1->currentRow();
}

QString TMainForm::rangeStartText() const
{
    return Edit1->text();
}

QString TMainForm::rangeEndText() const
{
    return Edit2->text();
}

void TMainForm::setRangeTexts(const QString& start, const QString& end)
{
    Edit1->setText(start);
    Edit2->setText(end);
}

QString TMainForm::periodText() const
{
    return Edit3->text();
}

void TMainForm::setPeriodText(const QString& text)
{
    Edit3->setText(text);
}

void TMainForm::searchRunningChanged(bool running)
{
    const QString caption = pick(running ? TextSearchStop : TextSearch);
    if (!caption.isNull()) Button3->setText(caption);
    Edit1->setEnabled(!running);
    Edit2->setEnabled(!running);
}

void TMainForm::selfCheckRunningChanged(bool running)
{
    const QString caption = pick(running ? TextSelfCheckStop : TextSelfCheckStart);
    if (!caption.isNull()) Button4->setText(caption);
}

void TMainForm::showSearchProgress(int cursor, int end)
{
    const QString text = pick(SearchProgressText);
    if (!text.isNull()) StatusBar1->setPanelText(HintPanel, text.arg(cursor).arg(end));
}

bool TMainForm::progressBarExists() const
{
    return PollProgressBar != nullptr;
}

void TMainForm::createProgressBar(int maximum, int position)
{
    destroyProgressBar();
    PollProgressBar = new QProgressBar(StatusBar1);
    PollProgressBar->setObjectName(QStringLiteral("PollProgressBar"));
    PollProgressBar->setTextVisible(false);
    QRect r = StatusBar1->ownerDrawRect();
    if (r.isEmpty()) // not painted yet: the panel's place on the bar
        r = QRect(StatusBar1->panelLeft(ProgressPanel) + 1, 2, StatusBar1->panelWidth(ProgressPanel) - 3,
                  StatusBar1->height() - 4);
    PollProgressBar->setGeometry(r);
    PollProgressBar->setRange(0, std::max(1, maximum)); // a range of 0 would be a busy indicator
    PollProgressBar->setValue(position);
    PollProgressBar->show();
}

void TMainForm::setProgressBar(int position)
{
    if (!PollProgressBar) return;
    PollProgressBar->setValue(position);
    PollProgressBar->show();
}

void TMainForm::destroyProgressBar()
{
    delete PollProgressBar;
    PollProgressBar = nullptr;
}

void TMainForm::logFrame(bool transmitted, const uint8_t* bytes, int count)
{
    LogFrame(transmitted, bytes, count);
}

void TMainForm::information(EngineMessage message)
{
    const Text* text = nullptr;
    switch (message) {
    case EngineMessage::SearchRangeWrong: text = &SearchRangeWrongText; break;
    case EngineMessage::SelectMembersFirst: text = &SelectMembersText; break;
    case EngineMessage::SelfCheckPeriodWrong: text = &PeriodRangeText; break;
    case EngineMessage::ConfirmSearch: text = &ConfirmSearchText; break;
    }
    if (const QString s = pick(*text); !s.isNull()) ShowInformation(this, s);
}

bool TMainForm::confirm(EngineMessage message)
{
    if (message != EngineMessage::ConfirmSearch) return false;
    const QString s = pick(ConfirmSearchText);
    return !s.isNull() && AskConfirmation(this, s);
}

// ---------------------------------------------------------------- what the engine keeps in the register

std::optional<int> TMainForm::groupOfDevice(int id)
{
    TTable& members = Register.Member_Table;
    try {
        if (!members.Active() || !members.Locate(QStringLiteral("ID"), id)) return std::nullopt;
        return members.FieldByName(QStringLiteral("Group_ID")).AsInteger();
    } catch (const std::exception& e) {
        showTableError(e);
        return std::nullopt;
    }
}

void TMainForm::emptyDevices()
{
    TTable& members = Register.Member_Table;
    try {
        members.Close();
        members.EmptyTable();
        members.Open();
    } catch (const std::exception& e) {
        showTableError(e);
    }
}

void TMainForm::appendDevice(int id, int group)
{
    TTable& members = Register.Member_Table;
    try {
        members.Append();
        members.SetFieldByName(QStringLiteral("ID"), id);
        members.SetFieldByName(QStringLiteral("Group_ID"), group);
        members.Post();
    } catch (const std::exception& e) {
        if (members.Editing()) members.Cancel();
        showTableError(e);
    }
}

void TMainForm::showTableError(const std::exception& error)
{
    if (const auto* table = dynamic_cast<const ETableError*>(&error)) {
        const QString text = table->Text(CurLanguage);
        if (!text.isEmpty()) ShowError(this, text);
        return;
    }
    ShowError(this, QString::fromLocal8Bit(error.what()));
}

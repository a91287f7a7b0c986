#include "app/auditwindow.h"

#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStandardPaths>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <set>

#include "app/auditwindow_texts.h"
#include "app/timelinestrip.h"
#include "protocol/frames.h"
#include "ui/messages.h"

using namespace auditwindow;

namespace {

constexpr int HighestGroup = 15;

QString devicesText(const std::vector<AuditDevice>& devices)
{
    QStringList named;
    for (const auto& [group, id] : devices)
        named << QStringLiteral("%1:%2").arg(group).arg(id);
    return named.join(QStringLiteral(", "));
}

QString levelName(int level)
{
    for (const LevelName& l : LevelNames)
        if (l.level == level)
            return pick(l.name);
    return QString::number(level);
}

QString sourceName(const QString& source)
{
    for (const SourceName& s : SourceNames)
        if (source == QLatin1String(s.key))
            return pick(s.name);
    return source;
}

QString actionName(const QString& action)
{
    for (const ActionName& a : ActionNames)
        if (action == QLatin1String(a.key))
            return pick(a.name);
    return action;
}

} // namespace

std::optional<std::vector<AuditDevice>> ParseAuditDevices(const QString& text)
{
    static const QRegularExpression separators(QStringLiteral("[,;，；\\s]+"));
    static const QRegularExpression device(QStringLiteral("^(\\d{1,2})[:：](\\d{1,3})$"));
    std::vector<AuditDevice> devices;
    for (const QString& entry : text.split(separators, Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = device.match(entry);
        if (!m.hasMatch())
            return std::nullopt;
        const int group = m.captured(1).toInt(), id = m.captured(2).toInt();
        if (group > HighestGroup || id < 1 || id > HighestDeviceId)
            return std::nullopt;
        if (std::find(devices.begin(), devices.end(), AuditDevice{group, id}) == devices.end())
            devices.emplace_back(group, id);
    }
    return devices;
}

void AuditTableModel::setRows(std::vector<AuditRow> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

void AuditTableModel::retranslate()
{
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
    if (!m_rows.empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1), {Qt::DisplayRole});
}

int AuditTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int AuditTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant AuditTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const AuditRow& row = m_rows[size_t(index.row())];
    if (role == ActionKeyRole && index.column() == ActionColumn)
        return row.action;
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    switch (Column(index.column())) {
    case TimeColumn:
        return row.time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    case LevelColumn:
        return row.action == QLatin1String(StateAction) ? QString() : levelName(row.level);
    case SourceColumn:
        return sourceName(row.source);
    case UserColumn:
        return row.user;
    case ActionColumn:
        return role == Qt::ToolTipRole ? row.action : actionName(row.action);
    case DetailColumn:
        if (row.action == QLatin1String(StateAction)) {
            // A change of state in the window's language, as the timeline's legend names it.
            const Text* states[] = {&Unknown, &Online, &Offline};
            for (int state = 0; state < 3; ++state)
                if (row.detail == QLatin1String(StateDetails[state]))
                    return pick(*states[state]);
        }
        return row.detail;
    case DevicesColumn:
        return devicesText(row.devices);
    case ColumnCount:
        break;
    }
    return {};
}

QVariant AuditTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    return pick(Headers[section]);
}

AuditWindow::AuditWindow(AuditLog& log, QWidget* owner) : QWidget(owner, Qt::Window), m_log(log)
{
    setObjectName(QStringLiteral("auditWindow"));

    m_fromLabel = new QLabel(this);
    m_fromDate = new QDateEdit(this);
    m_fromDate->setObjectName(QStringLiteral("fromDate"));
    m_toLabel = new QLabel(this);
    m_toDate = new QDateEdit(this);
    m_toDate->setObjectName(QStringLiteral("toDate"));
    for (QDateEdit* edit : {m_fromDate, m_toDate}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        // A date typed is taken whole (Enter, or leaving the field), not at each digit.
        edit->setKeyboardTracking(false);
    }
    // The record's own days, at most the last month of them.
    const QDate today = QDate::currentDate();
    const std::optional<std::pair<QDateTime, QDateTime>> span = m_log.span();
    m_toDate->setDate(today);
    m_fromDate->setDate(span ? std::clamp(span->first.toLocalTime().date(), today.addDays(-30), today) : today);
    m_fromLabel->setBuddy(m_fromDate);
    m_toLabel->setBuddy(m_toDate);

    m_actionLabel = new QLabel(this);
    m_actionSelector = new QComboBox(this);
    m_actionSelector->setObjectName(QStringLiteral("actionSelector"));
    m_actionSelector->addItem(QString(), QString());
    for (const ActionName& a : ActionNames)
        m_actionSelector->addItem(QString(), QString::fromLatin1(a.key));
    m_actionSelector->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_actionSelector->setMinimumContentsLength(14);
    m_actionLabel->setBuddy(m_actionSelector);

    m_deviceLabel = new QLabel(this);
    m_deviceField = new QLineEdit(this);
    m_deviceField->setObjectName(QStringLiteral("deviceField"));
    m_deviceField->setClearButtonEnabled(true);
    m_deviceField->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("00:000, 00:000, 00:000")));
    m_deviceLabel->setBuddy(m_deviceField);

    m_applyButton = new QPushButton(this);
    m_applyButton->setObjectName(QStringLiteral("applyButton"));
    m_applyButton->setDefault(true);
    m_todayButton = new QPushButton(this);
    m_todayButton->setObjectName(QStringLiteral("todayButton"));
    m_wholeRecordButton = new QPushButton(this);
    m_wholeRecordButton->setObjectName(QStringLiteral("wholeRecordButton"));
    m_exportCsvButton = new QPushButton(this);
    m_exportCsvButton->setObjectName(QStringLiteral("exportCsvButton"));
    m_exportPictureButton = new QPushButton(this);
    m_exportPictureButton->setObjectName(QStringLiteral("exportPictureButton"));

    m_model = new AuditTableModel(this);
    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("auditTable"));
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setAlternatingRowColors(true);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->hide();
    // The detail takes the room the short columns leave; its whole text is in its tool tip.
    m_table->horizontalHeader()->setSectionResizeMode(AuditTableModel::DetailColumn, QHeaderView::Stretch);
    m_table->horizontalHeader()->setHighlightSections(false);

    m_timeline = new TimelineStrip(this);
    m_countLabel = new QLabel(this);
    m_countLabel->setObjectName(QStringLiteral("countLabel"));

    auto* filters = new QHBoxLayout;
    filters->addWidget(m_fromLabel);
    filters->addWidget(m_fromDate);
    filters->addWidget(m_toLabel);
    filters->addWidget(m_toDate);
    filters->addWidget(m_todayButton);
    filters->addWidget(m_wholeRecordButton);
    filters->addSpacing(12);
    filters->addWidget(m_actionLabel);
    filters->addWidget(m_actionSelector);
    filters->addSpacing(12);
    filters->addWidget(m_deviceLabel);
    filters->addWidget(m_deviceField, 1);
    filters->addWidget(m_applyButton);

    m_splitter = new QSplitter(Qt::Vertical, this);
    m_splitter->addWidget(m_table);
    m_splitter->addWidget(m_timeline);
    m_splitter->setStretchFactor(0, 1);
    m_splitter->setStretchFactor(1, 0);
    m_splitter->setChildrenCollapsible(false);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_countLabel, 1);
    bottom->addWidget(m_exportCsvButton);
    bottom->addWidget(m_exportPictureButton);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(m_splitter, 1);
    layout->addLayout(bottom);

    connect(m_applyButton, &QPushButton::clicked, this, &AuditWindow::refresh);
    connect(m_deviceField, &QLineEdit::returnPressed, this, &AuditWindow::refresh);
    connect(m_fromDate, &QDateEdit::dateChanged, this, [this](const QDate& from) {
        if (m_toDate->date() < from)
            m_toDate->setDate(from); // refreshes by itself
        else
            refresh();
    });
    connect(m_toDate, &QDateEdit::dateChanged, this, [this](const QDate& to) {
        if (m_fromDate->date() > to)
            m_fromDate->setDate(to);
        else
            refresh();
    });
    connect(m_todayButton, &QPushButton::clicked, this, &AuditWindow::showToday);
    connect(m_wholeRecordButton, &QPushButton::clicked, this, &AuditWindow::showWholeRecord);
    connect(m_actionSelector, &QComboBox::currentIndexChanged, this, &AuditWindow::refresh);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { updateTimeline(); });
    connect(m_exportCsvButton, &QPushButton::clicked, this, &AuditWindow::exportCsvClicked);
    connect(m_exportPictureButton, &QPushButton::clicked, this, &AuditWindow::exportPictureClicked);

    retranslate();
    resize(1100, 720);
    refresh();
}

QDateTime AuditWindow::since() const
{
    return m_fromDate->date().startOfDay().toUTC();
}

QDateTime AuditWindow::until() const
{
    return m_toDate->date().endOfDay().toUTC();
}

void AuditWindow::setDates(const QDate& from, const QDate& to)
{
    {
        const QSignalBlocker quietFrom(m_fromDate), quietTo(m_toDate);
        m_fromDate->setDate(from);
        m_toDate->setDate(std::max(from, to));
    }
    refresh();
}

void AuditWindow::showToday()
{
    const QDate today = QDate::currentDate();
    setDates(today, today);
}

void AuditWindow::showWholeRecord()
{
    const QDate today = QDate::currentDate();
    const std::optional<std::pair<QDateTime, QDateTime>> span = m_log.span();
    if (!span)
        return setDates(today, today);
    setDates(std::min(span->first.toLocalTime().date(), today), std::max(span->second.toLocalTime().date(), today));
}

void AuditWindow::takeTypedDates()
{
    // A date typed and not yet taken (the field still has the focus, or Apply was clicked).
    for (QDateEdit* edit : {m_fromDate, m_toDate}) {
        const QDate typed = QDate::fromString(edit->text().trimmed(), edit->displayFormat());
        if (typed.isValid() && typed != edit->date()) {
            const QSignalBlocker quiet(edit);
            edit->setDate(typed);
        }
    }
    if (m_toDate->date() < m_fromDate->date()) {
        const QSignalBlocker quiet(m_toDate);
        m_toDate->setDate(m_fromDate->date());
    }
}

void AuditWindow::refresh()
{
    takeTypedDates();
    const std::optional<std::vector<AuditDevice>> devices = ParseAuditDevices(m_deviceField->text());
    if (!devices) {
        ShowError(this, pick(BadDevice).arg(m_deviceField->text().trimmed()));
        m_deviceField->setFocus();
        m_deviceField->selectAll();
        return;
    }
    m_fieldDevices = *devices;
    AuditFilter filter;
    filter.since = since();
    filter.until = until();
    const QString action = m_actionSelector->currentData().toString();
    const bool states = action.isEmpty() || action == QLatin1String(StateAction);
    if (!action.isEmpty())
        filter.actions = QStringList{action};
    std::vector<AuditRow> rows;
    if (action == QLatin1String(StateAction)) {
        // The changes of state alone.
    } else if (m_fieldDevices.size() <= 1) {
        if (!m_fieldDevices.empty())
            filter.device = m_fieldDevices.front();
        rows = m_log.rows(filter);
    } else {
        // Rows that name any of the devices, once each, newest first.
        std::set<qint64> seen;
        for (const AuditDevice& device : m_fieldDevices) {
            filter.device = device;
            for (AuditRow& row : m_log.rows(filter))
                if (seen.insert(row.seq).second)
                    rows.push_back(std::move(row));
        }
    }
    // What the timeline draws for the named devices is in the table too.
    if (states && !m_fieldDevices.empty())
        for (const StateChange& change : m_log.history(m_fieldDevices, filter.since.value(), filter.until.value())) {
            if (change.time < *filter.since)
                continue; // the state the range starts in, not a change within it
            AuditRow row;
            row.time = change.time;
            row.action = QLatin1String(StateAction);
            row.detail = QLatin1String(StateDetails[std::clamp(int(change.state), 0, 2)]);
            row.devices = {{change.group, change.id}};
            rows.push_back(std::move(row));
        }
    std::stable_sort(rows.begin(), rows.end(), [](const AuditRow& a, const AuditRow& b) {
        return a.time != b.time ? a.time > b.time : a.seq > b.seq;
    });
    m_model->setRows(std::move(rows));
    fitColumns();
    m_countLabel->setText(pick(RowCount).arg(m_model->rowCount()));
    updateTimeline(true);
}

std::vector<AuditDevice> AuditWindow::timelineDevices() const
{
    if (!m_fieldDevices.empty())
        return m_fieldDevices;
    std::set<AuditDevice> chosen;
    for (const QModelIndex& index : m_table->selectionModel()->selectedRows())
        for (const AuditDevice& device : m_model->rows()[size_t(index.row())].devices)
            chosen.insert(device);
    return {chosen.begin(), chosen.end()};
}

void AuditWindow::updateTimeline(bool newView)
{
    std::vector<AuditDevice> devices = timelineDevices();
    const QDateTime from = since(), to = until(), now = QDateTime::currentDateTimeUtc();
    std::vector<StateChange> history;
    if (!devices.empty())
        history = m_log.history(devices, from, to);
    const size_t lanesBefore = m_timeline->devices().size();
    const bool sameAxis = m_timeline->devices().empty() || !newView;
    m_timeline->setTimeline(std::move(devices), from, to, history, std::min(to, now));
    if (newView || !sameAxis) {
        // The view opens on the part of the dates the record covers: from its oldest row (or
        // the first day) to now (or the last day), so a record of a few hours is not a sliver.
        QDateTime viewFrom = from, viewTo = std::min(to, now);
        if (const auto span = m_log.span()) {
            viewFrom = std::max(from, span->first);
            viewTo = std::min(to, std::max(span->second, now));
        }
        if (!(viewFrom < viewTo))
            viewFrom = from, viewTo = to;
        m_timeline->setView(viewFrom, viewTo);
    }
    if (m_timeline->devices().size() != lanesBefore)
        fitTimeline();
}

void AuditWindow::fitColumns()
{
    // The detail column stretches: sized by hand it would keep that size.
    for (int column = 0; column < AuditTableModel::ColumnCount; ++column)
        if (column != AuditTableModel::DetailColumn)
            m_table->resizeColumnToContents(column);
}

void AuditWindow::fitTimeline()
{
    // The strip as tall as its lanes need, up to half the room; the table has the rest.
    const QList<int> sizes = m_splitter->sizes();
    const int room = sizes.value(0) + sizes.value(1);
    if (room <= 0)
        return; // not laid out yet: done when shown
    const int strip = std::min(m_timeline->sizeHint().height(), room / 2);
    m_splitter->setSizes({room - strip, strip});
}

bool AuditWindow::exportCsv(const QString& path)
{
    QSaveFile file(path);
    const QByteArray csv = AuditCsv(m_model->rows());
    if (file.open(QIODevice::WriteOnly) && file.write(csv) == csv.size() && file.commit())
        return true;
    const QString error = file.errorString();
    file.cancelWriting();
    ShowError(this, pick(CsvFailed).arg(QDir::toNativeSeparators(path), error));
    return false;
}

bool AuditWindow::exportPng(const QString& path)
{
    QSaveFile file(path);
    QString error;
    if (file.open(QIODevice::WriteOnly)) {
        if (m_timeline->picture().save(&file, "PNG") && file.commit())
            return true;
        error = file.errorString();
        file.cancelWriting();
    } else {
        error = file.errorString();
    }
    ShowError(this, pick(PictureFailed).arg(QDir::toNativeSeparators(path), error));
    return false;
}

QString AuditWindow::askExportFile(const QString& title, const QString& filter, const QString& proposed)
{
    if (chooseExportFile)
        return chooseExportFile(title, filter, proposed);
    // Guarded: the dialog goes with this window if it closes while the dialog is open.
    const QPointer<QFileDialog> dialog = new QFileDialog(this, title);
    // Qt's own dialog, so its texts follow the program's language rather than the desktop's.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(filter);
    dialog->setDefaultSuffix(QFileInfo(proposed).suffix());
    QString dir = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (dir.isEmpty() || !QFileInfo(dir).isDir())
        dir = QDir::homePath();
    dialog->setDirectory(dir);
    dialog->selectFile(proposed);
    QString path;
    if (dialog->exec() == QDialog::Accepted && dialog && !dialog->selectedFiles().isEmpty())
        path = dialog->selectedFiles().first();
    delete dialog.data();
    return path;
}

void AuditWindow::exportCsvClicked()
{
    const QString stem = QStringLiteral("tarvello-audit-") + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString path = askExportFile(pick(CsvDialogTitle), pick(CsvFilter), stem + QStringLiteral(".csv"));
    if (!path.isEmpty())
        exportCsv(path);
}

void AuditWindow::exportPictureClicked()
{
    const QString stem = QStringLiteral("tarvello-online-") + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString path = askExportFile(pick(PictureDialogTitle), pick(PictureFilter), stem + QStringLiteral(".png"));
    if (!path.isEmpty())
        exportPng(path);
}

void AuditWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    fitTimeline();
}

void AuditWindow::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LanguageChange)
        retranslate();
    QWidget::changeEvent(event);
}

void AuditWindow::retranslate()
{
    // An index other than 0 and 1 sets no text anywhere.
    const int16_t language = currentLanguage();
    if (language != 0 && language != 1)
        return;
    setWindowTitle(pick(Title));
    m_fromLabel->setText(pick(FromLabel));
    m_toLabel->setText(pick(ToLabel));
    m_actionLabel->setText(pick(ActionLabel));
    m_deviceLabel->setText(pick(DeviceLabel));
    m_deviceField->setPlaceholderText(pick(DevicePlaceholder));
    m_applyButton->setText(pick(Apply));
    m_todayButton->setText(pick(Today));
    m_wholeRecordButton->setText(pick(WholeRecord));
    m_timeline->setToolTip(pick(TimelineHint));
    m_exportCsvButton->setText(pick(ExportCsv));
    m_exportPictureButton->setText(pick(ExportPicture));
    m_actionSelector->setItemText(0, pick(AllActions));
    for (int i = 0; i < int(std::size(ActionNames)); ++i)
        m_actionSelector->setItemText(i + 1, QStringLiteral("%1 (%2)").arg(pick(ActionNames[i].name), QLatin1String(ActionNames[i].key)));
    m_countLabel->setText(pick(RowCount).arg(m_model->rowCount()));
    m_model->retranslate();
    fitColumns();
    m_timeline->update();
}

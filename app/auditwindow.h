// The audit window: the audit record newest first, narrowed by dates, action and devices, the
// on-line history of the chosen devices as a timeline strip, and both exported for a report.
// Opened by the main window for the administrator and the super user.
#pragma once

#include <QAbstractTableModel>
#include <QDate>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

#include "audit/auditlog.h"

class QComboBox;
class QDateEdit;
class QEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QShowEvent;
class QSplitter;
class QTableView;
class TimelineStrip;

// "G:ID" entries apart by commas, semicolons or spaces ("1:5, 1:6"); nothing for an empty text, no
// value when an entry is not a device (group 0..15, ID 1..999). Repeats are left out.
std::optional<std::vector<AuditDevice>> ParseAuditDevices(const QString& text);

// The rows of the record as the audit window's table shows them.
class AuditTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { TimeColumn, LevelColumn, SourceColumn, UserColumn, ActionColumn, DetailColumn, DevicesColumn, ColumnCount };
    // The stored key of a row's action, under Qt::DisplayRole's text in the current language.
    static constexpr int ActionKeyRole = Qt::UserRole;

    using QAbstractTableModel::QAbstractTableModel;

    void setRows(std::vector<AuditRow> rows);
    const std::vector<AuditRow>& rows() const { return m_rows; }
    // The texts of the current language: headers, levels, actions.
    void retranslate();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    std::vector<AuditRow> m_rows;
};

class AuditWindow : public QWidget {
    Q_OBJECT
public:
    AuditWindow(AuditLog& log, QWidget* owner);

    // Reads the record again with the filters as shown, dates typed into From and To included.
    // The table and the timeline take the same filter: with devices named, the table lists their
    // changes of on-line state among the actions (action "state"). The timeline's view starts at
    // the part of the dates the record covers. A device field that is not understood is said in
    // a message and the table is left as it was.
    void refresh();
    // The dates: today alone, or every day the record covers.
    void showToday();
    void showWholeRecord();

    // Write the filtered rows as CSV, or the timeline as a PNG picture; a failed write is said in a
    // message, and leaves no file behind. Answer whether the file was written.
    bool exportCsv(const QString& path);
    bool exportPng(const QString& path);

    // Asks where an export goes: (dialog title, name filter, proposed file name) → the path, empty to
    // cancel. By default Qt's file dialog in front of this window; tests put their own answer here.
    std::function<QString(const QString& title, const QString& filter, const QString& proposed)> chooseExportFile;

    // The devices the timeline shows: those of the device field, else those of the selected rows.
    std::vector<AuditDevice> timelineDevices() const;

    QDateEdit* fromDate() const { return m_fromDate; }
    QDateEdit* toDate() const { return m_toDate; }
    QComboBox* actionSelector() const { return m_actionSelector; }
    QLineEdit* deviceField() const { return m_deviceField; }
    QPushButton* applyButton() const { return m_applyButton; }
    QPushButton* todayButton() const { return m_todayButton; }
    QPushButton* wholeRecordButton() const { return m_wholeRecordButton; }
    QPushButton* exportCsvButton() const { return m_exportCsvButton; }
    QPushButton* exportPictureButton() const { return m_exportPictureButton; }
    QTableView* table() const { return m_table; }
    AuditTableModel* model() const { return m_model; }
    TimelineStrip* timeline() const { return m_timeline; }

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void retranslate();
    void updateTimeline(bool newView = false);
    void takeTypedDates();
    void setDates(const QDate& from, const QDate& to);
    void fitColumns();
    void fitTimeline();
    void exportCsvClicked();
    void exportPictureClicked();
    QString askExportFile(const QString& title, const QString& filter, const QString& proposed);
    // The range the dates give, inclusive, in UTC: from the start of the first day to the end of the last.
    QDateTime since() const;
    QDateTime until() const;

    AuditLog& m_log;
    std::vector<AuditDevice> m_fieldDevices; // as last read from the device field
    QLabel* m_fromLabel = nullptr;
    QDateEdit* m_fromDate = nullptr;
    QLabel* m_toLabel = nullptr;
    QDateEdit* m_toDate = nullptr;
    QLabel* m_actionLabel = nullptr;
    QComboBox* m_actionSelector = nullptr;
    QLabel* m_deviceLabel = nullptr;
    QLineEdit* m_deviceField = nullptr;
    QPushButton* m_applyButton = nullptr;
    QPushButton* m_todayButton = nullptr;
    QPushButton* m_wholeRecordButton = nullptr;
    QPushButton* m_exportCsvButton = nullptr;
    QPushButton* m_exportPictureButton = nullptr;
    QSplitter* m_splitter = nullptr; // the table above the timeline
    QTableView* m_table = nullptr;
    AuditTableModel* m_model = nullptr;
    TimelineStrip* m_timeline = nullptr;
    QLabel* m_countLabel = nullptr;
};

#pragma once
// The devices of the current scene as the faces list them: one row per device, keyed by its
// group and ID, with its name, its group's label and its on-line state. The first column carries
// DeviceIdRole and DeviceGroupRole, so the control engine polls the rows straight from this model
// or from DeviceFilter over it, in the order the operator sees them. Every change emits, so every
// list over it follows at once.

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <QStringList>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

#include "protocol/targets.h"

struct DeviceRow {
    int group = 0;
    int id = 0;
    QString name;
    std::optional<bool> online; // unset until the poll has asked the device
    QString groupText;          // what the group column shows
};

class DeviceModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { StateColumn, IdColumn, NameColumn, GroupColumn, ColumnCount };
    // Whether the device answered: true, false, or no value while it has not been asked.
    static constexpr int OnlineRole = Qt::UserRole + 4;

    explicit DeviceModel(QObject* parent = nullptr);

    // The whole list anew (a scene opened, the register rebuilt).
    void setDevices(std::vector<DeviceRow> devices);
    void addDevice(DeviceRow device);
    void clear();
    // Marks the device listed at (group, id); false when the list does not hold it.
    bool setOnline(int group, int id, bool online);
    void markAllOffLine();
    // Nothing is known of any row (the port did not open).
    void markAllUnknown();

    // Every group label `from` becomes `to` (the language switched).
    void replaceGroupText(const QString& from, const QString& to);
    void setHeaders(const QStringList& headers);

    int rowOf(int group, int id) const;
    const std::vector<DeviceRow>& devices() const { return m_devices; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    std::vector<DeviceRow> m_devices;
    QStringList m_headers;
};

// The devices of one group (or all of them), in the model's order; a group's own view leaves the
// group column's cells empty and keeps its header.
class DeviceFilter : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit DeviceFilter(QObject* parent = nullptr);
    // No group: every device.
    void setGroup(std::optional<int> group);
    std::optional<int> group() const { return m_group; }

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    std::optional<int> m_group;
};

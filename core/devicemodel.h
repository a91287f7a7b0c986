#pragma once
// The devices of the current scene as the faces list them: one row per device, keyed by its
// group and ID, with its name and on-line state. The first column carries DeviceIdRole and
// DeviceGroupRole, so the control engine polls the rows straight from this model (or from a
// filter over it, in the order the operator sees them).

#include <QAbstractTableModel>
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

    int rowOf(int group, int id) const;
    const std::vector<DeviceRow>& devices() const { return m_devices; }
    // The text of the group column; unset, the group's number.
    void setGroupText(std::function<QString(int group)> text) { m_groupText = std::move(text); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::vector<DeviceRow> m_devices;
    std::function<QString(int)> m_groupText;
};

#include "core/devicemodel.h"

DeviceModel::DeviceModel(QObject* parent) : QAbstractTableModel(parent) {}

void DeviceModel::setDevices(std::vector<DeviceRow> devices)
{
    beginResetModel();
    m_devices = std::move(devices);
    endResetModel();
}

void DeviceModel::addDevice(DeviceRow device)
{
    const int row = int(m_devices.size());
    beginInsertRows(QModelIndex(), row, row);
    m_devices.push_back(std::move(device));
    endInsertRows();
}

void DeviceModel::clear()
{
    setDevices({});
}

bool DeviceModel::setOnline(int group, int id, bool online)
{
    const int row = rowOf(group, id);
    if (row < 0)
        return false;
    m_devices[size_t(row)].online = online;
    emit dataChanged(index(row, StateColumn), index(row, StateColumn));
    return true;
}

void DeviceModel::markAllOffLine()
{
    if (m_devices.empty())
        return;
    for (DeviceRow& d : m_devices)
        d.online = false;
    emit dataChanged(index(0, StateColumn), index(int(m_devices.size()) - 1, StateColumn));
}

void DeviceModel::markAllUnknown()
{
    if (m_devices.empty())
        return;
    for (DeviceRow& d : m_devices)
        d.online.reset();
    emit dataChanged(index(0, StateColumn), index(int(m_devices.size()) - 1, StateColumn));
}

void DeviceModel::replaceGroupText(const QString& from, const QString& to)
{
    for (size_t row = 0; row < m_devices.size(); ++row) {
        if (m_devices[row].groupText != from)
            continue;
        m_devices[row].groupText = to;
        emit dataChanged(index(int(row), GroupColumn), index(int(row), GroupColumn));
    }
}

void DeviceModel::setHeaders(const QStringList& headers)
{
    m_headers = headers;
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
}

QVariant DeviceModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::DisplayRole)
        return m_headers.value(section);
    if (role == Qt::TextAlignmentRole && section == GroupColumn)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    return {};
}

int DeviceModel::rowOf(int group, int id) const
{
    for (size_t row = 0; row < m_devices.size(); ++row)
        if (m_devices[row].group == group && m_devices[row].id == id)
            return int(row);
    return -1;
}

int DeviceModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_devices.size());
}

int DeviceModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DeviceModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_devices.size()))
        return {};
    const DeviceRow& d = m_devices[size_t(index.row())];
    if (index.column() == StateColumn) {
        if (role == DeviceIdRole)
            return d.id;
        if (role == DeviceGroupRole)
            return d.group;
        if (role == OnlineRole)
            return d.online ? QVariant(*d.online) : QVariant();
        return {};
    }
    if (role == Qt::TextAlignmentRole && index.column() != GroupColumn)
        return QVariant::fromValue(Qt::Alignment(Qt::AlignCenter));
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case IdColumn: return QString::number(d.id);
    case NameColumn: return d.name;
    case GroupColumn: return d.groupText;
    default: return {};
    }
}

// ---------------------------------------------------------------- DeviceFilter

DeviceFilter::DeviceFilter(QObject* parent) : QSortFilterProxyModel(parent) {}

void DeviceFilter::setGroup(std::optional<int> group)
{
    m_group = group;
    invalidateFilter();
}

bool DeviceFilter::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    if (!m_group)
        return true;
    const QModelIndex first = sourceModel()->index(sourceRow, DeviceModel::StateColumn, sourceParent);
    return first.data(DeviceGroupRole).toInt() == *m_group;
}

QVariant DeviceFilter::data(const QModelIndex& index, int role) const
{
    if (m_group && index.column() == DeviceModel::GroupColumn && role == Qt::DisplayRole)
        return QString();
    return QSortFilterProxyModel::data(index, role);
}


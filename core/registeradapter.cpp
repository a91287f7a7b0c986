#include "core/registeradapter.h"

#include "register/register.h"

RegisterAdapter::RegisterAdapter(TRegister& reg, ErrorReporter report) : m_reg(reg), m_report(std::move(report)) {}

std::optional<int> RegisterAdapter::groupOfDevice(int id)
{
    TTable& members = m_reg.Member_Table;
    try {
        if (!members.Active() || !members.Locate(QStringLiteral("ID"), id)) return std::nullopt;
        return members.FieldByName(QStringLiteral("Group_ID")).AsInteger();
    } catch (const std::exception& e) {
        m_report(e);
        return std::nullopt;
    }
}

bool RegisterAdapter::devicesWritable()
{
    try {
        m_reg.CheckDevicesWritable();
        return true;
    } catch (const std::exception& e) {
        m_report(e);
        return false;
    }
}

bool RegisterAdapter::emptyDevices()
{
    try {
        // The names typed in are kept beside the register until the next search.
        m_reg.SaveBeforeSearch();
        m_reg.EmptyDevices();
        return true;
    } catch (const std::exception& e) {
        m_report(e);
        return false;
    }
}

void RegisterAdapter::appendDevice(int id, int group)
{
    TTable& members = m_reg.Member_Table;
    try {
        members.Append();
        members.SetFieldByName(QStringLiteral("ID"), id);
        members.SetFieldByName(QStringLiteral("Group_ID"), group);
        members.Post();
    } catch (const std::exception& e) {
        if (members.Editing()) members.Cancel();
        m_report(e);
    }
}

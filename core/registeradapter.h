// The device table as the control engine keeps it: located by ID while polling and moving,
// emptied and filled by a search. Failures reach the user as one message naming the file.
#pragma once

#include <exception>
#include <functional>

#include "protocol/engine.h"

class TRegister;

class RegisterAdapter : public DeviceRegister {
public:
    using ErrorReporter = std::function<void(const std::exception&)>;

    RegisterAdapter(TRegister& reg, ErrorReporter report);

    std::optional<int> groupOfDevice(int id) override;
    bool devicesWritable() override;
    // Keeps a copy of the device file, then empties the table; it stays open in every case.
    bool emptyDevices() override;
    void appendDevice(int id, int group) override;

private:
    TRegister& m_reg;
    ErrorReporter m_report;
};

#include "protocol/bussettings.h"

#include "common/inifile.h"
#include "protocol/engine.h"
#include "serial/comm.h"

#include <QString>

void ApplyBusSettings(TIniFile& settings, ControlEngine& engine, TComm& comm)
{
    const QString section = QStringLiteral("BUS");
    const bool fast = settings.ReadInteger(section, QStringLiteral("Fast"), 0) == 1;
    if (!fast) {
        // The default timing, as the port and the engine have it from the start.
        if (engine.fastBus()) {
            engine.setFastBus(false);
            comm.setReadIntervalTimeout(DefaultReadIntervalMs);
        }
        return;
    }
    int turnaround = settings.ReadInteger(section, QStringLiteral("TurnaroundMs"), ControlEngine::DefaultTurnaroundMs);
    // A value no device could need (or a typing error) falls back to the default.
    if (turnaround < 0 || turnaround > 1000)
        turnaround = ControlEngine::DefaultTurnaroundMs;
    const int baud = static_cast<int>(comm.BaudRate());
    engine.setFastBus(true, turnaround, baud);
    comm.setReadIntervalTimeout(static_cast<uint32_t>(ControlEngine::fastReadIntervalMs(baud)));
}

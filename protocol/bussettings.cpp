#include "protocol/bussettings.h"

#include "common/inifile.h"
#include "protocol/engine.h"
#include "protocol/frames.h"
#include "serial/comm.h"

#include <QString>

void ApplyBusSettings(TIniFile& settings, ControlEngine& engine, TComm& comm)
{
    const QString section = QStringLiteral("BUS");
    int turnaround = settings.ReadInteger(section, QStringLiteral("TurnaroundMs"), ControlEngine::DefaultTurnaroundMs);
    // A value no device could need (or a typing error) falls back to the default.
    if (turnaround < 0 || turnaround > 1000)
        turnaround = ControlEngine::DefaultTurnaroundMs;
    // A USB serial adapter says its own latency; other ports have the one the settings name.
    int latency = settings.ReadInteger(section, QStringLiteral("AdapterLatencyMs"), 0);
    if (latency < 0 || latency > 1000)
        latency = 0;
    latency = comm.adapterLatencyMs().value_or(latency);
    const int baud = static_cast<int>(comm.BaudRate());
    engine.setLineTiming(baud, turnaround, latency);

    const bool fast = settings.ReadInteger(section, QStringLiteral("Fast"), 0) == 1;
    if (!fast) {
        // The default timing, as the port and the engine have it from the start.
        if (engine.fastBus()) {
            engine.setFastBus(false);
            comm.setReadIntervalTimeout(DefaultReadIntervalMs);
            comm.setChunkBytes(0);
        }
        return;
    }
    engine.setFastBus(true, turnaround, baud);
    comm.setReadIntervalTimeout(static_cast<uint32_t>(ControlEngine::fastReadIntervalMs(baud)));
    // Every answer is one short frame: the reader hands it over at its last byte.
    comm.setChunkBytes(ShortFrameLength);
}

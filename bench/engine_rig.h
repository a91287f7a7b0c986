#pragma once
// The control engine wired as the main window wires it — a real TComm with
// Comm1's line settings, the write-empty and receive events bound to the
// engine — but talking to the simulated bus instead of a port, with an
// in-memory device list and register instead of the window. Used by the
// benchmark and by the engine's end-to-end tests.

#include "bench/engine_recorder.h"
#include "protocol/engine.h"
#include "serial/comm.h"
#include "sim/bus_simulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>
#include <utility>
#include <vector>

namespace tarvello {

class EngineRig {
public:
    explicit EngineRig(BusSimulator::Options options = {})
        : sim(options)
    {
        view.attach(engine, reg);
    }

    ~EngineRig()
    {
        comm.OnReceiveData = nullptr;
        comm.OnSendDataEmpty = nullptr;
        comm.OnDataWritten = nullptr;
        comm.OnRequestHangup = nullptr;
        comm.ClosePort();
        sim.stop();
    }

    // Starts the bus and opens its port with Comm1's settings. Throws
    // std::runtime_error (simulator) or ECommsError (port).
    void open()
    {
        sim.start();
        ApplyComm1Defaults(comm);
        comm.setCommName(QString::fromStdString(sim.slavePath()));
        comm.OnReceiveData = [this](TComm*, const uint8_t* buffer, uint16_t length) {
            engine.receive(buffer, length);
        };
        comm.OnSendDataEmpty = [this](TComm*) { engine.lineIdle(); };
        // A frame is logged once it has left the port; a stop-all takes back what has not.
        comm.OnDataWritten = [this](TComm*, const uint8_t*, uint16_t) { engine.frameWritten(); };
        engine.setLogWhenWritten(true);
        tx.Purge = [this] { return comm.PurgeOutput().size(); };
        // As the main window does: a port that hung up is closed, and the
        // engine stops using it.
        comm.OnRequestHangup = [this](TComm*) { closePort(); };
        engine.setReceivedCount([this] { return comm.receivedBytes(); });
        engine.setLineTiming(static_cast<int>(comm.BaudRate()), ControlEngine::DefaultTurnaroundMs, 0);
        comm.OpenPort();
        view.clock.start();
    }

    // The fast bus as the control centre switches it on: the engine takes
    // replies as soon as they are whole and shortens its time-outs, and the
    // reader ends a chunk after a few byte times of silence.
    void fastBus(int turnaroundMs = ControlEngine::DefaultTurnaroundMs)
    {
        const int baud = static_cast<int>(comm.BaudRate());
        engine.setFastBus(true, turnaroundMs, baud);
        comm.setReadIntervalTimeout(static_cast<uint32_t>(ControlEngine::fastReadIntervalMs(baud)));
        comm.setChunkBytes(ShortFrameLength);
    }

    // The port closes under the engine (hang-up, or closed by a test).
    void closePort()
    {
        comm.ClosePort();
        view.portIsOpen = false;
        engine.portClosed();
    }

    // Lists the devices (id, group) in this order and registers them.
    void listDevices(const std::vector<std::pair<int, int>>& devices)
    {
        view.rows.clear();
        for (const auto& [id, group] : devices) {
            view.rows.push_back({ id, false, std::nullopt, -1, std::nullopt });
            reg.groupById[id] = group;
        }
    }

    // Runs the event loop until the condition holds or the time is up.
    static bool runUntil(const std::function<bool()>& done, int timeoutMs)
    {
        if (done())
            return true;
        QEventLoop loop;
        QTimer check;
        check.setTimerType(Qt::PreciseTimer);
        check.setInterval(1);
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (done())
                loop.quit();
        });
        QTimer::singleShot(timeoutMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        check.start();
        loop.exec();
        return done();
    }

    // Lets the event loop run for a while (to see that nothing more happens).
    static void settle(int ms)
    {
        runUntil([] { return false; }, ms);
    }

    // Every row marked and no query outstanding.
    bool pollDone() const { return view.allRowsMarked() && !engine.pollTimer.isActive(); }

    BusSimulator sim;
    TComm comm;
    EngineRecorder view;
    MemoryRegister reg;
    TxChannel tx { [this](const uint8_t* buffer, uint16_t length) { return comm.WriteData(buffer, length); } };
    ControlEngine engine { reg, tx };
};

} // namespace tarvello

// Test support: a pseudo-terminal whose slave side TComm opens, an event-loop runner with a
// deadline, and a recorder of the component's events.
#pragma once

#include "serial/comm.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <termios.h>
#include <vector>

using Bytes = std::vector<uint8_t>;
using SteadyClock = std::chrono::steady_clock;

class PseudoTerminal {
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    QString slavePath() const { return m_slavePath; }
    void send(const Bytes& bytes);          // from the device side
    Bytes readAvailable();                  // what the component has written so far
    Bytes readExactly(size_t count, int timeoutMs);
    termios slaveSettings() const;          // the settings the component put on its side
    void setSlaveSettings(const termios& settings);
    void closeMaster();                     // the device vanishes

private:
    int m_master = -1;
    QString m_slavePath;
};

// Runs the Qt event loop until done() holds or timeoutMs pass; answers done().
bool RunUntil(const std::function<bool()>& done, int timeoutMs = 3000);
// Runs the Qt event loop for a while (to see that something does not happen).
void RunFor(int ms);

int OpenDescriptorCount();
int ThreadCount();
double ProcessCpuSeconds();

struct EventRecorder {
    explicit EventRecorder(TComm& comm);
    std::vector<Bytes> chunks;
    std::vector<SteadyClock::time_point> chunkTimes;
    bool chunksNulTerminated = true;
    int sendEmpty = 0;
    int hangups = 0;
    Bytes received() const;  // all chunks joined
};

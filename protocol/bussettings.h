// The bus timing chosen in DFiles/DB.ini, section [BUS]:
//
//   [BUS]
//   ; 1: take each reply as soon as it is whole, time-outs from the line's needs
//   Fast=1
//   ; the time a device may take to begin its answer, in milliseconds (default 30)
//   TurnaroundMs=30
//   ; the receive latency of the adapter, in milliseconds (default 0); a USB serial
//   ; adapter's own latency timer is read from the system instead
//   AdapterLatencyMs=0
//
// Without the section (or with Fast other than 1) the bus keeps its default
// timing: a chunk ends after 100 ms of silence, time-outs of 500 / 190 ms.
// TurnaroundMs and the latency count in both timings for the answer a query is
// owed, over which no motion frame is written (ControlEngine::answerDue).
#pragma once

class TIniFile;
class ControlEngine;
class TComm;

// Reads [BUS] Fast and TurnaroundMs and applies them to the engine and to the
// port's reader. Call once the port's settings are in place (the line speed
// counts); an open port takes the new read interval at once.
// Switching back to the default timing restores the reader's 100 ms.
void ApplyBusSettings(TIniFile& settings, ControlEngine& engine, TComm& comm);

// The reader's silence that ends a chunk in the default timing.
constexpr unsigned DefaultReadIntervalMs = 100;

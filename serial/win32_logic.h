// The decisions of the Windows port layer that need no Windows: how a port name becomes the
// path CreateFile takes, which DCB and COMMTIMEOUTS values the settings become, how the
// driver's event and error words map to the component's events, and when the reader ends a
// chunk. Compiled on every system, so that the ordinary test suite checks them.
#pragma once

#include "serial/commport.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace tarvello::win32 {

// The path CreateFile opens for COM<number>: "COM1" to "COM9" as they are, "\\.\COM10" and
// above through the device namespace (the short form only exists for the first nine).
QString DevicePathForCom(int number);

// The DCB fields the line settings become, with the values windows.h gives them.
struct DcbValues {
    uint32_t baudRate = 0;
    bool binary = true;
    bool parity = false;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    uint8_t dtrControl = 0;  // DTR_CONTROL_DISABLE 0, _ENABLE 1, _HANDSHAKE 2
    bool dsrSensitivity = false;
    bool txContinueOnXoff = false;
    bool outX = false;
    bool inX = false;
    bool errorChar = false;
    bool nullStrip = false;
    uint8_t rtsControl = 0;  // RTS_CONTROL_DISABLE 0, _ENABLE 1, _HANDSHAKE 2, _TOGGLE 3
    bool abortOnError = false;
    uint16_t xonLim = 0;
    uint16_t xoffLim = 0;
    uint8_t byteSize = 8;
    uint8_t parityKind = 0;  // NOPARITY 0, ODD 1, EVEN 2, MARK 3, SPACE 4
    uint8_t stopBits = 0;    // ONESTOPBIT 0, ONE5STOPBITS 1, TWOSTOPBITS 2
    uint8_t xonChar = 17;
    uint8_t xoffChar = 19;
    uint8_t errorCharValue = 0;
};
DcbValues DcbFor(const LineSettings& settings);

// WaitCommEvent's mask bits (EV_...) and ClearCommError's error bits (CE_...).
constexpr uint32_t EvRxChar = 0x0001;
constexpr uint32_t EvRlsd = 0x0020;
constexpr uint32_t EvBreak = 0x0040;
constexpr uint32_t EvErr = 0x0080;
constexpr uint32_t EvRing = 0x0100;
constexpr uint32_t EvRx80Full = 0x0400;
// What the reader waits for.
constexpr uint32_t WatchedEvents = EvRxChar | EvRlsd | EvBreak | EvErr | EvRing | EvRx80Full;

constexpr uint32_t CeRxOver = 0x0001;
constexpr uint32_t CeOverrun = 0x0002;
constexpr uint32_t CeRxParity = 0x0004;
constexpr uint32_t CeFrame = 0x0008;
constexpr uint32_t CeBreak = 0x0010;
constexpr uint32_t CeTxFull = 0x0100;

// The OnReceiveError bits for ClearCommError's error word: receive-side errors only.
uint32_t LineErrorsFromCommErrors(uint32_t commErrors);
// The OnModemStateChange bits for WaitCommEvent's mask: ring and carrier detect.
uint32_t ModemBitsFromEvents(uint32_t eventMask);

// Where the reader stands with the chunk it is gathering.
struct ChunkState {
    size_t count = 0;          // bytes gathered
    uint64_t sinceFirstMs = 0;  // since the chunk's first byte
    uint64_t sinceLastMs = 0;   // since its latest byte
};
// How long the reader may wait for more before the chunk must go: 0 = deliver it now,
// nullopt = no limit (nothing gathered, or only a full buffer ends the chunk). An interval of
// MAXDWORD with no totals delivers whatever one read brings; a chunk that holds the chunk count
// (timeouts.chunkBytes, when not 0) goes at once.
std::optional<uint32_t> ChunkWait(const CommTimeouts& timeouts, const ChunkState& chunk);

}  // namespace tarvello::win32

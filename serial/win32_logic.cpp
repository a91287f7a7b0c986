#include "serial/win32_logic.h"

#include <algorithm>

namespace tarvello::win32 {

QString DevicePathForCom(int number) {
    if (number >= 1 && number <= 9) return QStringLiteral("COM%1").arg(number);
    return QStringLiteral("\\\\.\\COM%1").arg(number);
}

namespace {

uint8_t dtrValue(TDtrControl control) {
    switch (control) {
    case TDtrControl::DtrDisable: return 0;
    case TDtrControl::DtrEnable: return 1;
    case TDtrControl::DtrHandshake: return 2;
    }
    return 0;
}

uint8_t rtsValue(TRtsControl control) {
    switch (control) {
    case TRtsControl::RtsDisable: return 0;
    case TRtsControl::RtsEnable: return 1;
    case TRtsControl::RtsHandshake: return 2;
    case TRtsControl::RtsTransmissionAvailable: return 3;
    }
    return 0;
}

uint8_t byteSizeValue(TByteSize size) {
    switch (size) {
    case TByteSize::_5: return 5;
    case TByteSize::_6: return 6;
    case TByteSize::_7: return 7;
    case TByteSize::_8: return 8;
    }
    return 8;
}

uint8_t parityValue(TParity parity) {
    switch (parity) {
    case TParity::None: return 0;
    case TParity::Odd: return 1;
    case TParity::Even: return 2;
    case TParity::Mark: return 3;
    case TParity::Space: return 4;
    }
    return 0;
}

uint8_t stopBitsValue(TStopBits stopBits) {
    switch (stopBits) {
    case TStopBits::_1: return 0;
    case TStopBits::_1_5: return 1;
    case TStopBits::_2: return 2;
    }
    return 0;
}

}  // namespace

DcbValues DcbFor(const LineSettings& s) {
    DcbValues d;
    d.baudRate = s.baudRate;
    d.binary = true;  // the only mode Windows supports
    d.parity = s.parityCheck;
    d.outxCtsFlow = s.outxCtsFlow;
    d.outxDsrFlow = s.outxDsrFlow;
    d.dtrControl = dtrValue(s.dtrControl);
    d.dsrSensitivity = s.dsrSensitivity;
    d.txContinueOnXoff = s.txContinueOnXoff;
    d.outX = s.outxXonXoffFlow;
    d.inX = s.inxXonXoffFlow;
    d.errorChar = s.replaceWhenParityError;
    d.errorCharValue = s.replacedChar;
    d.nullStrip = s.ignoreNullChar;
    d.rtsControl = rtsValue(s.rtsControl);
    // A line error must not stop every later read until it is cleared: the reader reports it.
    d.abortOnError = false;
    d.xonLim = s.xonLimit;
    d.xoffLim = s.xoffLimit;
    d.byteSize = byteSizeValue(s.byteSize);
    d.parityKind = parityValue(s.parity);
    d.stopBits = stopBitsValue(s.stopBits);
    d.xonChar = s.xonChar;
    d.xoffChar = s.xoffChar;
    return d;
}

uint32_t LineErrorsFromCommErrors(uint32_t e) {
    uint32_t bits = 0;
    if (e & CeRxOver) bits |= LineErrorInputOverflow;
    if (e & CeOverrun) bits |= LineErrorOverrun;
    if (e & CeRxParity) bits |= LineErrorParity;
    if (e & CeFrame) bits |= LineErrorFraming;
    if (e & CeBreak) bits |= LineErrorBreak;
    return bits;
}

uint32_t ModemBitsFromEvents(uint32_t mask) {
    uint32_t bits = 0;
    if (mask & EvRing) bits |= ModemRing;
    if (mask & EvRlsd) bits |= ModemCarrierDetect;
    return bits;
}

std::optional<uint32_t> ChunkWait(const CommTimeouts& t, const ChunkState& chunk) {
    if (chunk.count == 0) return std::nullopt;
    if (chunk.count >= ReadBufferSize) return 0;
    if (t.chunkBytes != 0 && chunk.count >= t.chunkBytes) return 0;
    const uint64_t total = uint64_t(t.readTotalMultiplier) * ReadBufferSize + t.readTotalConstant;
    if (t.readInterval == UINT32_MAX && total == 0) return 0;

    std::optional<uint64_t> wait;
    if (t.readInterval != 0 && t.readInterval != UINT32_MAX)
        wait = t.readInterval > chunk.sinceLastMs ? t.readInterval - chunk.sinceLastMs : 0;
    if (total != 0) {
        const uint64_t left = total > chunk.sinceFirstMs ? total - chunk.sinceFirstMs : 0;
        wait = wait ? std::min(*wait, left) : left;
    }
    if (!wait) return std::nullopt;
    return static_cast<uint32_t>(std::min<uint64_t>(*wait, UINT32_MAX - 1));
}

}  // namespace tarvello::win32

// The Windows port layer's decisions that need no Windows: port paths, DCB values, event
// mapping and the reader's chunk clock.
#include "serial/win32_logic.h"

#include <gtest/gtest.h>

using namespace tarvello;
using namespace tarvello::win32;

TEST(Win32Logic, ComNumbersBecomeTheirCreateFilePaths) {
    // COM10 and above exist only in the device namespace: "COM10" alone does not open.
    const struct {
        int number;
        const char* path;
    } cases[] = {{1, "COM1"}, {9, "COM9"}, {10, "\\\\.\\COM10"}, {256, "\\\\.\\COM256"}};
    for (const auto& c : cases) EXPECT_EQ(DevicePathForCom(c.number), QString::fromLatin1(c.path)) << c.number;
}

TEST(Win32Logic, LineSettingsBecomeDcbValues) {
    LineSettings comm1;  // what the main window's port carries: 4800 8N1, DTR and RTS off
    comm1.baudRate = 4800;
    comm1.dtrControl = TDtrControl::DtrDisable;
    comm1.rtsControl = TRtsControl::RtsDisable;
    comm1.outxXonXoffFlow = comm1.inxXonXoffFlow = comm1.txContinueOnXoff = false;

    struct Case {
        const char* label;
        std::function<void(LineSettings&)> change;
        std::function<bool(const DcbValues&)> holds;
    };
    const Case cases[] = {
        {"comm1", [](LineSettings&) {},
         [](const DcbValues& d) {
             return d.baudRate == 4800 && d.binary && d.byteSize == 8 && d.parityKind == 0 && d.stopBits == 0 &&
                    d.dtrControl == 0 && d.rtsControl == 0 && !d.outX && !d.inX && !d.outxCtsFlow && !d.parity &&
                    !d.abortOnError && !d.nullStrip;
         }},
        {"dtr on", [](LineSettings& s) { s.dtrControl = TDtrControl::DtrEnable; }, [](const DcbValues& d) { return d.dtrControl == 1; }},
        {"dtr handshake", [](LineSettings& s) { s.dtrControl = TDtrControl::DtrHandshake; }, [](const DcbValues& d) { return d.dtrControl == 2; }},
        {"rts on", [](LineSettings& s) { s.rtsControl = TRtsControl::RtsEnable; }, [](const DcbValues& d) { return d.rtsControl == 1; }},
        {"rts handshake", [](LineSettings& s) { s.rtsControl = TRtsControl::RtsHandshake; }, [](const DcbValues& d) { return d.rtsControl == 2; }},
        {"rts toggle", [](LineSettings& s) { s.rtsControl = TRtsControl::RtsTransmissionAvailable; }, [](const DcbValues& d) { return d.rtsControl == 3; }},
        {"7 bits", [](LineSettings& s) { s.byteSize = TByteSize::_7; }, [](const DcbValues& d) { return d.byteSize == 7; }},
        {"5 bits", [](LineSettings& s) { s.byteSize = TByteSize::_5; }, [](const DcbValues& d) { return d.byteSize == 5; }},
        {"odd", [](LineSettings& s) { s.parity = TParity::Odd; }, [](const DcbValues& d) { return d.parityKind == 1; }},
        {"even", [](LineSettings& s) { s.parity = TParity::Even; }, [](const DcbValues& d) { return d.parityKind == 2; }},
        {"space", [](LineSettings& s) { s.parity = TParity::Space; }, [](const DcbValues& d) { return d.parityKind == 4; }},
        {"1.5 stop", [](LineSettings& s) { s.stopBits = TStopBits::_1_5; }, [](const DcbValues& d) { return d.stopBits == 1; }},
        {"2 stop", [](LineSettings& s) { s.stopBits = TStopBits::_2; }, [](const DcbValues& d) { return d.stopBits == 2; }},
        {"xon/xoff", [](LineSettings& s) { s.outxXonXoffFlow = true; s.inxXonXoffFlow = true; s.xonChar = 1; s.xoffChar = 2; },
         [](const DcbValues& d) { return d.outX && d.inX && d.xonChar == 1 && d.xoffChar == 2; }},
        {"parity replaced", [](LineSettings& s) { s.parityCheck = true; s.replaceWhenParityError = true; s.replacedChar = '?'; },
         [](const DcbValues& d) { return d.parity && d.errorChar && d.errorCharValue == '?'; }},
        {"nulls dropped", [](LineSettings& s) { s.ignoreNullChar = true; }, [](const DcbValues& d) { return d.nullStrip; }},
        {"cts flow", [](LineSettings& s) { s.outxCtsFlow = true; }, [](const DcbValues& d) { return d.outxCtsFlow && !d.outxDsrFlow; }},
        {"115200", [](LineSettings& s) { s.baudRate = 115200; }, [](const DcbValues& d) { return d.baudRate == 115200; }},
    };
    for (const Case& c : cases) {
        LineSettings s = comm1;
        c.change(s);
        EXPECT_TRUE(c.holds(DcbFor(s))) << c.label;
    }
}

TEST(Win32Logic, DriverWordsBecomeTheComponentsEventBits) {
    const struct {
        uint32_t commErrors;
        uint32_t lineErrors;
    } errors[] = {
        {0, 0},
        {CeRxOver, LineErrorInputOverflow},
        {CeOverrun | CeFrame, LineErrorOverrun | LineErrorFraming},
        {CeRxParity | CeBreak, LineErrorParity | LineErrorBreak},
        {CeTxFull, 0},  // a send-side condition is no receive error
    };
    for (const auto& c : errors) EXPECT_EQ(LineErrorsFromCommErrors(c.commErrors), c.lineErrors) << c.commErrors;

    const struct {
        uint32_t events;
        uint32_t modem;
    } events[] = {
        {EvRxChar, 0},
        {EvRing, ModemRing},
        {EvRlsd | EvRxChar, ModemCarrierDetect},
        {EvRing | EvRlsd, ModemRing | ModemCarrierDetect},
        {EvErr | EvBreak, 0},
    };
    for (const auto& c : events) EXPECT_EQ(ModemBitsFromEvents(c.events), c.modem) << c.events;
}

TEST(Win32Logic, ChunkEndsWhereTheLinuxReaderEndsIt) {
    const std::optional<uint32_t> none;
    const struct {
        const char* label;
        CommTimeouts timeouts;  // interval, total multiplier, total constant, (write totals), chunk count
        ChunkState chunk;       // count, since first, since last
        std::optional<uint32_t> wait;
    } cases[] = {
        {"nothing gathered", {100, 0, 0}, {0, 0, 0}, none},
        {"interval running", {100, 0, 0}, {5, 30, 30}, 70u},
        {"interval over", {100, 0, 0}, {5, 100, 100}, 0u},
        {"interval long over", {100, 0, 0}, {5, 900, 250}, 0u},
        {"interval restarts with each byte", {100, 0, 0}, {40, 450, 10}, 90u},
        {"whatever a read brings", {UINT32_MAX, 0, 0}, {3, 0, 0}, 0u},
        {"no interval, total left", {UINT32_MAX, 0, 500}, {3, 200, 5}, 300u},
        {"neither: only a full buffer", {0, 0, 0}, {3, 5000, 5000}, none},
        {"full buffer", {100, 0, 0}, {ReadBufferSize, 0, 0}, 0u},
        {"total cuts the interval short", {100, 0, 150}, {8, 120, 10}, 30u},
        {"multiplier counts the whole buffer", {0, 1, 0}, {8, 48, 48}, 2000u},
        {"chunk count reached (or passed by one read)", {600, 0, 0, 0, 0, 9}, {12, 5, 5}, 0u},
        {"short of the chunk count: the interval runs", {600, 0, 0, 0, 0, 9}, {4, 30, 30}, 570u},
    };
    for (const auto& c : cases) EXPECT_EQ(ChunkWait(c.timeouts, c.chunk), c.wait) << c.label;
}

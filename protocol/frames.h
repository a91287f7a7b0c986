#pragma once
// Bus frame layout shared by the control centre and the devices: a fixed
// header, the address byte, a 16-bit ID, a code byte, optional data bytes
// and a 16-bit additive checksum sent high byte first.
//
// Everything here is a pure function over byte arrays; the transport lives
// elsewhere (TxChannel, TComm).

#include <cstddef>
#include <cstdint>

#include "common/busaddress.h"
#include <string>

constexpr uint8_t CmdAskState = 0x0D;
constexpr uint8_t CmdUp = 0xDD;
constexpr uint8_t CmdDown = 0xED;
constexpr uint8_t CmdStop = 0xCD;
constexpr uint8_t CmdForward = 0x1D;
constexpr uint8_t CmdBackward = 0x2D;
constexpr uint8_t CmdReaddress = 0x6D;

// Reply codes at or above this value mark a status reply (0xFD, 0xFE, 0xFF).
constexpr uint8_t StateReplyBase = 0xFD;

constexpr uint8_t FrameHeader0 = 0xFF;
constexpr uint8_t FrameHeader1 = 0xAC;
constexpr uint8_t FrameHeader2 = 0xE1;

constexpr int ShortFrameLength = 9;
constexpr int MediumFrameLength = 12;
constexpr int TxBufferSize = 32;
constexpr int RxBufferSize = 32;

struct CmdRecord {
    uint8_t group = 0;
    uint16_t id = 0;
    uint8_t command = 0;
    uint8_t data1 = 0, data2 = 0, data3 = 0;
};

// "CmdUp", "CmdAskState", ... for the command codes above; nullptr otherwise.
const char* CommandName(uint8_t code);

// 0xFF stays the broadcast address; any other value keeps only its low nibble.
uint8_t AddressByte(uint8_t group);

// Sum of the bytes in a 16-bit accumulator that wraps.
uint16_t FrameChecksum(const uint8_t* bytes, int count);

// Writes exactly ShortFrameLength bytes: header, address, ID, command, checksum.
void EncodeShortFrame(const CmdRecord& r, uint8_t* out);
// Writes exactly MediumFrameLength bytes: as the short frame plus three data bytes.
void EncodeMediumFrame(const CmdRecord& r, uint8_t* out);

struct DecodedFrame {
    // Header bytes FF AC E1 and an address byte whose high nibble is 0xE.
    bool headerOk = false;
    uint8_t group = 0;
    uint16_t id = 0;
    uint8_t code = 0;
    uint16_t receivedChecksum = 0;
    uint16_t computedChecksum = 0;

    bool checksumOk() const { return receivedChecksum == computedChecksum; }
    bool isStatusReply() const { return code >= StateReplyBase; }
    // A frame the control centre takes as a device's answer.
    bool isValidReply() const { return headerOk && checksumOk() && isStatusReply(); }
};

// Reads offsets 0..8 of a reply laid out like the short frame.
DecodedFrame DecodeFrame(const uint8_t* rx9);

// Traffic-log form: two upper-case hex digits and one blank per byte, the
// last byte's blank included ("FF AC E1 ").
std::string HexLine(const uint8_t* bytes, size_t n);

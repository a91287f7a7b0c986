#pragma once
// The meaning of a run of bus bytes in a few words, for technical logs: the traffic record the
// control centre saves and the simulator's frame log use the same words, so both sides of a line
// can be compared. The words are English only on purpose: these are logs for whoever debugs the
// bus, not texts the operator sees, and a log must not change with the language switch.
//
// What a run of bytes can be called:
//   status query group 2 ID 15           status query whole group 2      status query all devices
//   search probe ID 37                   (status query to the broadcast address with a real ID)
//   up / down / stop / tilt forward / tilt backward  + group 2 ID 15 | whole group 2 | all devices
//                                                    | ID 15 in all groups
//   re-address group 1 ID 7 → group 3 ID 9           re-address all devices → group 3 ID 9
//   reply: group 2 ID 15 on line         (a status reply, codes FD, FE and FF alike)
//   bad checksum (status query group 2 ID 15)         the claimed meaning in brackets
//   wrong header (address byte 0x45)     wrong header (FF AC E2 …)
//   unknown command 0x42 group 2 ID 15
//   too short (5 of 9 bytes)             a header followed by fewer bytes than its frame needs
//   not a frame (3 bytes)                no header in the bytes at all
//   empty
// Bytes ahead of a header are noise ("3 noise bytes, then reply: group 2 ID 15 on line"); bytes after
// a frame are described in turn and joined with "; " (two replies in one chunk, or trailing noise).

#include <cstddef>
#include <cstdint>
#include <string>

// Describes `n` bytes as received in one chunk or sent as one frame. Never reads past `n`.
std::string FrameDescription(const uint8_t* bytes, size_t n);

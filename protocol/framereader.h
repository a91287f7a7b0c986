// Finding the frames in the bytes the reader hands over: plain code, no Qt object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// Hands each 9-byte frame found in `bytes` to `take`, in order, until `take` keeps one (returns
// true; `*taken` is set then). A frame whose checksum holds is passed over whole when not kept;
// otherwise a header may hide inside what only looked like one, and the scan goes on a byte later.
// Returns where the unfinished rest begins: the start of a frame (or of its header) that the end
// of the bytes cut off, or `count` when nothing is left to wait for.
size_t ScanFrames(const uint8_t* bytes, size_t count, const std::function<bool(const uint8_t* frame)>& take,
                  bool* taken);

// The meter's side of the protocol as pure functions: cutting request frames
// from a byte stream, answering one, and what the line carries when several
// meters answer at once. Exposed for tests and fuzzing.
#pragma once

#include "SimTypes.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Builds the answer to one request frame (CRC already checked), as the meter
// would; empty when it stays silent.
//   - Silent (empty) unless request[0] is 0xF8 or state.address (0 never
//     answers), or when length < 4.
//   - 0x03 / 0x04: start and count from the request; count 0 or above 125,
//     or a frame not 8 bytes long -> exception 03; start + count beyond the
//     block (holding 0-3, input 0-7) -> exception 02; else address,
//     function, 2 x count, the registers, CRC.
//   - 0x10: count 0 or above 123, byte count != 2 x count, or a frame not
//     9 + byte count long -> 03; beyond holding 0-3 -> 02; a refused value
//     (threshold outside 100..35000, address outside 1..247, range code
//     above 3) -> 03 and nothing is written; else all are written and the
//     answer is address, 0x10, start, count, CRC.
//   - 0x41: 6 bytes with the access code 37 21 -> the request echoed (the
//     caller adds the calibration time); another code or length -> 03.
//   - 0x42: 4 bytes -> energy cleared, the request echoed; else 03.
//   - any other function -> exception 01.
// Exception answers are address (as in the request), function | 0x80,
// code, CRC. The answer's address byte is always the request's.
std::vector<uint8_t> SimAnswer(SimMeterState& state, const uint8_t* request, size_t length);

// The exception answer: address, function | 0x80, code, CRC.
std::vector<uint8_t> SimExceptionAnswer(uint8_t address, uint8_t function, uint8_t code);

// Splits a byte stream into request frames: returns the length of the first
// complete frame at the start of `bytes`, 0 if more bytes are needed, or -1
// if the first byte cannot start a frame (skip it).
//   - -1 when byte 0 is above 0xF8 (no such slave), or byte 1 is 0 or has
//     bit 7 set (no request has such a function code).
//   - Fixed lengths by function: 01-06 -> 8, 07/0B/0C/11/42 -> 4, 41 -> 6,
//     0F/10 -> 9 + byte 6 (the byte count; 0 until 7 bytes are there).
//   - Any other function: the shortest length from 4 up whose last two
//     bytes are the checksum of the rest; 0 while none is found, -1 once
//     255 bytes hold none.
// The checksum of a fixed-length frame is not checked here.
int SimFrameLength(const uint8_t* bytes, size_t length);

// What a master hears when several meters answer the same request at once:
// the answers laid over each other from their first bytes, bit by bit, as on
// an RS-485 line where a driven 0 wins over an idle or driven 1 (bytewise
// AND; a shorter answer leaves the line idle). As long as the longest
// answer. Two or more answers never come out as a frame with a good
// checksum: if the overlay happens to pass (identical answers), the lowest
// set bit of its last non-zero byte is cleared, which the CRC always
// detects. One answer comes back
// as it is; none gives an empty frame.
std::vector<uint8_t> SimOverlap(const std::vector<std::vector<uint8_t>>& answers);

// Building the simulated reader's frames and spoiling its answers (the
// engine's own helpers; XorBytes and BuildRequest are in engine.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "reader-sim/engine.h"

namespace talvex::sim {

// Writes `value` as two big-endian bytes.
void PutBigEndian16(std::uint8_t* at, std::uint32_t value);

// A valid response frame with SW1 = SW2 = 0 and the given status and data.
std::vector<std::uint8_t> BuildResponse(std::uint8_t status, const std::uint8_t* data,
                                        std::size_t size);

// Every fault of `active` applied to the answer, in the order of their kinds.
void SpoilAnswer(std::vector<Fault> active, std::vector<std::uint8_t>* answer);

}  // namespace talvex::sim

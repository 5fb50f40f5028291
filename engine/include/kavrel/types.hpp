// Plain values shared by the bank and its kernels.
#pragma once

#include <cstdint>

namespace kavrel {

// One complex channel value in single precision, laid out as (re, im).
struct Complex32 {
    float re;
    float im;
};

// Every channel's phasor is scaled back to unit magnitude after each sample
// whose running count (from construction or reset) is a multiple of this.
inline constexpr std::uint64_t renorm_period = 256;

}  // namespace kavrel

// The oracle: the bank's arithmetic written once, plainly, in scalar C++. The
// engine tests check every kernel against it bit for bit. Not part of the
// engine library: it lives with the tests, which alone compile it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernel.hpp"

namespace kavrel::oracle {

// One sample x through channel k.
void step(const kernel::Channels& c, std::size_t k, float x) noexcept;

// Scales every phasor back to unit magnitude: p * (1 / sqrt(pr*pr + pm*pm)).
void renormalize(const kernel::Channels& c) noexcept;

// The block step: each sample through every channel, the running count
// advanced, and every phasor renormalised when the count reaches a multiple
// of renorm_period.
void process_samples(const kernel::Channels& c, std::uint64_t& count, const float* xs,
                     std::size_t len) noexcept;

}  // namespace kavrel::oracle

// The per-sample recurrence over a run of channels. Internal to the engine.
//
// For channel k and sample x, in single precision, each operation rounded on
// its own except the four fused multiply-adds:
//   xa = x * a;  ka = 1 - a;  kb = 1 - b
//   s1 = fma(ka, s1, xa * p)          (real and imaginary parts)
//   s2 = fma(kb, s2, b * s1)          (with the new s1)
//   p  = (pr*rr - pm*rm, pr*rm + pm*rr)
// Channels never read each other's state, so the order of the channel and
// sample loops does not change a bit of the result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kavrel/bank.hpp"

namespace kavrel::kernel {

struct Channels {
    const float* alpha;
    const float* beta;
    const float* rot_re;
    const float* rot_im;
    float* phasor_re;
    float* phasor_im;
    float* stage1_re;
    float* stage1_im;
    float* stage2_re;
    float* stage2_im;
    std::size_t n;
};

// Sample-outer, channel-inner: eight channels per vector step and a scalar
// remainder. The reference form.
void run_reference(const Channels& c, const float* xs, std::size_t len) noexcept;

// Where a run records frames of channel values: after every `hop` samples the
// second stage of every channel is written to `row` (channel k at row[k]),
// then `row` moves on by `stride`. `filled` counts the samples already taken
// into the current frame. A null `row` records nothing.
struct FrameSink {
    Complex32* row = nullptr;
    std::size_t stride = 0;
    std::uint64_t hop = 0;
    std::uint64_t filled = 0;
};

// Runs `len` samples through all channels, tile by tile: each tile of 16
// channels (the last one masked to the channels that exist) keeps its state in
// registers for the whole run, renormalises its phasors whenever the running
// count, starting from `count`, reaches a multiple of 256, and records frames.
// Advances `frames` past the samples consumed. The caller advances the count.
void run_tiled(const Channels& c, const float* xs, std::size_t len, std::uint64_t count,
               FrameSink* frames) noexcept;

// Scales every phasor back to unit magnitude: p * (1 / sqrt(pr*pr + pm*pm)).
void renormalize(const Channels& c) noexcept;

}  // namespace kavrel::kernel

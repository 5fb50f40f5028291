// The kernels: the per-sample recurrence over a run of channels, and the
// choice between its implementations. Internal to the engine.
//
// For channel k and sample x, in single precision, each operation rounded on
// its own except the four fused multiply-adds:
//   xa = x * a;  ka = 1 - a;  kb = 1 - b
//   s1 = fma(ka, s1, xa * p)          (real and imaginary parts)
//   s2 = fma(kb, s2, b * s1)          (with the new s1)
//   p  = (pr*rr - pm*rm, pr*rm + pm*rr)
// Channels never read each other's state, so the order of the channel and
// sample loops does not change a bit of the result. The plain statement of
// these rules, which every kernel is tested against, is the oracle beside the
// engine tests (tests/engine/oracle.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kavrel/processor.hpp"
#include "kavrel/types.hpp"

namespace kavrel::kernel {

// The state of a bank as one array per field, n channels each.
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

// Every implementation of the recurrence provides these two functions:
//
// run_tiled(c, xs, len, count, frames) runs `len` samples through all
// channels, tile by tile: each tile (a few vector registers' worth of
// channels, its size the kernel's own; the last tile may be smaller and is
// masked to the channels that exist) keeps its state in registers for the whole run,
// renormalises its phasors whenever the running count, starting from `count`,
// reaches a multiple of renorm_period, and records frames. Advances `frames`
// past the samples consumed. The caller advances the count.
//
// magnitudes(re, im, n, out) sets out[k] = sqrt(re[k]*re[k] + im[k]*im[k])
// for k < n: the magnitude readout, which a real-time caller takes after every
// block. The square root is correctly rounded in every form, so the bits are
// those of the per-channel magnitude(i).
using RunTiled = void (*)(const Channels& c, const float* xs, std::size_t len, std::uint64_t count,
                          FrameSink* frames) noexcept;
using Magnitudes = void (*)(const float* re, const float* im, std::size_t n, float* out) noexcept;

struct Implementation {
    KernelKind kind;
    RunTiled run_tiled;
    Magnitudes magnitudes;
};

// Plain C++ for any processor (kernel_portable.cpp).
namespace portable {
void run_tiled(const Channels& c, const float* xs, std::size_t len, std::uint64_t count,
               FrameSink* frames) noexcept;
void magnitudes(const float* re, const float* im, std::size_t n, float* out) noexcept;
}  // namespace portable

#ifdef KAVREL_X86_KERNELS
// AVX2 and FMA intrinsics (kernel_avx2.cpp, compiled for those instructions
// and only for x86-64): never call it unless the processor has them.
namespace avx2 {
void run_tiled(const Channels& c, const float* xs, std::size_t len, std::uint64_t count,
               FrameSink* frames) noexcept;
void magnitudes(const float* re, const float* im, std::size_t n, float* out) noexcept;
}  // namespace avx2

// AVX-512F intrinsics (kernel_avx512.cpp, compiled for AVX-512 and only for
// x86-64): never call it unless the processor and the operating system
// support AVX-512.
namespace avx512 {
void run_tiled(const Channels& c, const float* xs, std::size_t len, std::uint64_t count,
               FrameSink* frames) noexcept;
void magnitudes(const float* re, const float* im, std::size_t n, float* out) noexcept;
}  // namespace avx512
#endif

// The implementation of the given kind, or null when this build or this
// processor cannot run it.
const Implementation* find(KernelKind kind) noexcept;

// The implementation in use, chosen on the first call of any thread: the
// fastest one this processor runs (see kernel.cpp for the rule).
const Implementation& active() noexcept;

// Makes `impl` the implementation in use; for the engine's tests and
// benchmarks, which compare implementations within one process.
void use(const Implementation& impl) noexcept;

}  // namespace kavrel::kernel

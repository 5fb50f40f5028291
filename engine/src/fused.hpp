// a * b + c rounded once, for the portable kernel. Internal to the engine.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace kavrel::kernel {

// The fused multiply-add computed from double arithmetic, which compilers can
// vectorise: the product of two floats is exact in double; its sum with c is
// rounded to double by round-to-odd (the nearest double, moved towards zero
// if that rounded away, with its lowest bit set whenever the sum was
// inexact), which keeps enough of the exact sum for the final rounding to
// float to be the single correct one. The exact error of the double sum comes
// from the classic two-sum sequence; a non-finite sum is passed on unchanged.
// Internal linkage, so that no copy compiled with other instruction-set flags
// can stand in for this one at link time.
static inline float fma_from_double(float a, float b, float c) noexcept {
    const double p = static_cast<double>(a) * static_cast<double>(b);
    const double d = static_cast<double>(c);
    const double s = p + d;
    const double dv = s - p;
    const double pv = s - dv;
    const double e = (p - pv) + (d - dv);
    // Branch-free: the sign bits say whether s rounded away from zero.
    const std::uint64_t sb = std::bit_cast<std::uint64_t>(s);
    const std::uint64_t eb = std::bit_cast<std::uint64_t>(e);
    const std::uint64_t finite = ((sb >> 52) & 0x7ff) != 0x7ff ? 1 : 0;
    const std::uint64_t inexact = finite & ((eb << 1) != 0 ? 1 : 0);
    const std::uint64_t rounded_away = inexact & ((sb ^ eb) >> 63);
    return static_cast<float>(std::bit_cast<double>((sb - rounded_away) | inexact));
}

// Where the target has a fused multiply-add instruction (FP_FAST_FMAF),
// std::fma is that instruction. Elsewhere (x86-64 without FMA) it is a call
// into the C library that costs tens of nanoseconds, and the double
// arithmetic above is used instead.
static inline float fused(float a, float b, float c) noexcept {
#ifdef FP_FAST_FMAF
    return std::fma(a, b, c);
#else
    return fma_from_double(a, b, c);
#endif
}

}  // namespace kavrel::kernel

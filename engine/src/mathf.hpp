#pragma once

// The single-precision functions of the platform's C library, which the
// engine's results are defined by (cosf, sinf, expf, exp2f, logf, log10f,
// atan2f).
//
// On Windows that library is the UCRT, and an MSVC build calls its functions.
// A MinGW-style toolchain may link its own copies instead (zig links those of
// its compiler runtime, which differ from the UCRT's in the last bits), so
// there each call goes through the UCRT's import table entry, __imp_<name>,
// which only the UCRT's import library defines.

#include <bit>
#include <cmath>
#include <cstdint>

#if defined(_WIN32) && defined(__MINGW32__)
extern "C" {
extern float (*__imp_cosf)(float);
extern float (*__imp_sinf)(float);
extern float (*__imp_expf)(float);
extern float (*__imp_exp2f)(float);
extern float (*__imp_logf)(float);
extern float (*__imp_log10f)(float);
extern float (*__imp_atan2f)(float, float);
}
#endif

namespace kavrel::mathf {

// The logarithm of a number below zero is the quiet NaN with its sign bit set
// (0xffc00000), whatever the C library and the processor: they disagree on
// that sign (glibc returns the processor's default NaN, signed on x86-64 and
// unsigned on aarch64, except glibc 2.43's compatibility log10f, which modules
// built against older glibc call and which returns it unsigned everywhere).
inline float domain_nan() noexcept { return std::bit_cast<float>(std::uint32_t{0xffc00000u}); }

#if defined(_WIN32) && defined(__MINGW32__)
inline float cos(float x) noexcept { return __imp_cosf(x); }
inline float sin(float x) noexcept { return __imp_sinf(x); }
inline float exp(float x) noexcept { return __imp_expf(x); }
inline float exp2(float x) noexcept { return __imp_exp2f(x); }
inline float log(float x) noexcept { return x < 0.0f ? domain_nan() : __imp_logf(x); }
inline float log10(float x) noexcept { return x < 0.0f ? domain_nan() : __imp_log10f(x); }
inline float atan2(float y, float x) noexcept { return __imp_atan2f(y, x); }
#else
inline float cos(float x) noexcept { return ::cosf(x); }
inline float sin(float x) noexcept { return ::sinf(x); }
inline float exp(float x) noexcept { return ::expf(x); }
inline float exp2(float x) noexcept { return ::exp2f(x); }
inline float log(float x) noexcept { return x < 0.0f ? domain_nan() : ::logf(x); }
inline float log10(float x) noexcept { return x < 0.0f ? domain_nan() : ::log10f(x); }
inline float atan2(float y, float x) noexcept { return ::atan2f(y, x); }
#endif

}  // namespace kavrel::mathf

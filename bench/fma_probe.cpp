// The multiply-class vector throughput of one core: independent chains of
// fused multiply-adds, enough of them to cover the instruction's latency on
// every current processor. bench/kernels.cpp runs it as the bound of the
// kernels. This file is compiled twice, once for AVX2 and FMA and once for
// AVX-512, and gives the function of the widest vector it was compiled for.
#include <immintrin.h>

#include <chrono>
#include <cstdint>

#ifdef __AVX512F__
#define KAVREL_PROBE fma_lanes_per_second_512
using Vec = __m512;
constexpr int lanes = 16;
inline Vec splat(float v) { return _mm512_set1_ps(v); }
inline Vec fmadd(Vec a, Vec b, Vec c) { return _mm512_fmadd_ps(a, b, c); }
inline float first(Vec v) { return _mm512_cvtss_f32(v); }
#else
#define KAVREL_PROBE fma_lanes_per_second_256
using Vec = __m256;
constexpr int lanes = 8;
inline Vec splat(float v) { return _mm256_set1_ps(v); }
inline Vec fmadd(Vec a, Vec b, Vec c) { return _mm256_fmadd_ps(a, b, c); }
inline float first(Vec v) { return _mm256_cvtss_f32(v); }
#endif

namespace kavrel_bench {

// Lanes of fused multiply-adds per second over `iterations` rounds of 12
// independent chains; `sink` receives a result so that nothing is left out.
double KAVREL_PROBE(std::uint64_t iterations, float& sink) {
    constexpr int chains = 12;
    Vec acc[chains];
    for (int i = 0; i < chains; ++i) acc[i] = splat(static_cast<float>(i));
    const Vec m = splat(0.999f), c = splat(0.001f);
    const auto t0 = std::chrono::steady_clock::now();
    for (std::uint64_t r = 0; r < iterations; ++r)
        for (int i = 0; i < chains; ++i) acc[i] = fmadd(acc[i], m, c);
    const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    float s = 0.0f;
    for (int i = 0; i < chains; ++i) s += first(acc[i]);
    sink = s;
    return static_cast<double>(iterations) * chains * lanes / dt;
}

}  // namespace kavrel_bench

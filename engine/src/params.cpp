#include "kavrel/params.hpp"

#include <immintrin.h>

#include <cmath>

namespace kavrel {

float midi_to_hz(float midi, float tuning) noexcept {
    const float e = (midi + -69.0f) / 12.0f;
    const float p = ::exp2f(e);
    return p * tuning;
}

float alpha_from_tau(float tau, float sample_rate) noexcept {
    const float k = -1.0f / sample_rate;
    const float x = k / tau;
    return 1.0f - ::expf(x);
}

float tau_from_alpha(float alpha, float sample_rate) noexcept {
    const float k = -1.0f / sample_rate;
    const float l = ::logf(1.0f - alpha);
    return k / l;
}

namespace {

// Steps 2 to 5 of the rule, with k = -1 / sample_rate already formed.
inline float heuristic_from_k(float k, float f) noexcept {
    const float p = k * f;
    const float d = ::log10f(f + 1.0f);
    const float q = p / d;
    return 1.0f - ::expf(q);
}

}  // namespace

float heuristic_alpha(float freq, float sample_rate) noexcept {
    return heuristic_from_k(-1.0f / sample_rate, freq);
}

void heuristic_alphas(const float* freqs, std::size_t n, float sample_rate, float* out) noexcept {
    const float k = -1.0f / sample_rate;
    const __m256 kv = _mm256_set1_ps(k);
    const __m256 one = _mm256_set1_ps(1.0f);
    std::size_t i = 0;
    alignas(32) float lane[8];
    for (; i + 8 <= n; i += 8) {
        const __m256 f = _mm256_loadu_ps(freqs + i);
        const __m256 p = _mm256_mul_ps(kv, f);
        _mm256_store_ps(lane, _mm256_add_ps(f, one));
        for (float& v : lane) v = ::log10f(v);
        const __m256 q = _mm256_div_ps(p, _mm256_load_ps(lane));
        _mm256_store_ps(lane, q);
        for (float& v : lane) v = ::expf(v);
        _mm256_storeu_ps(out + i, _mm256_sub_ps(one, _mm256_load_ps(lane)));
    }
    for (; i < n; ++i) out[i] = heuristic_from_k(k, freqs[i]);
}

FloatBuffer heuristic_alphas(const float* freqs, std::size_t n, float sample_rate) {
    FloatBuffer out(n);
    heuristic_alphas(freqs, n, sample_rate, out.data());
    return out;
}

}  // namespace kavrel

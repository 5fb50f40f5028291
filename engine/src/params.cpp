#include "kavrel/params.hpp"

#include "mathf.hpp"

namespace kavrel {

float midi_to_hz(float midi, float tuning) noexcept {
    const float e = (midi + -69.0f) / 12.0f;
    const float p = mathf::exp2(e);
    return p * tuning;
}

float alpha_from_tau(float tau, float sample_rate) noexcept {
    const float k = -1.0f / sample_rate;
    const float x = k / tau;
    return 1.0f - mathf::exp(x);
}

float tau_from_alpha(float alpha, float sample_rate) noexcept {
    const float k = -1.0f / sample_rate;
    const float l = mathf::log(1.0f - alpha);
    return k / l;
}

namespace {

// The default factor of a channel at `f` Hz, 1 - expf((k * f) / log10f(f + 1)),
// with k = -1 / sample_rate formed by the caller: once for a whole array, and
// in the same single rounding for one channel, so that both give equal bits.
inline float heuristic_from_k(float k, float f) noexcept {
    const float p = k * f;
    const float d = mathf::log10(f + 1.0f);
    const float q = p / d;
    return 1.0f - mathf::exp(q);
}

}  // namespace

float heuristic_alpha(float freq, float sample_rate) noexcept {
    return heuristic_from_k(-1.0f / sample_rate, freq);
}

void heuristic_alphas(const float* freqs, std::size_t n, float sample_rate, float* out) noexcept {
    const float k = -1.0f / sample_rate;
    for (std::size_t i = 0; i < n; ++i) out[i] = heuristic_from_k(k, freqs[i]);
}

FloatBuffer heuristic_alphas(const float* freqs, std::size_t n, float sample_rate) {
    FloatBuffer out(n);
    heuristic_alphas(freqs, n, sample_rate, out.data());
    return out;
}

}  // namespace kavrel

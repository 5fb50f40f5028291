// Parameter helpers: pitch and time-constant conversions and the default
// smoothing factors. All arithmetic is single precision, each operation rounded
// on its own, in exactly the order written below. Nothing is checked: invalid
// inputs give the IEEE results of the formula (NaN, infinities).
#pragma once

#include <cstddef>

#include "kavrel/memory.hpp"

namespace kavrel {

// Hz of a MIDI note number in equal temperament: tuning * exp2f((midi + -69) / 12).
float midi_to_hz(float midi, float tuning) noexcept;

// Smoothing factor of time constant tau (seconds): 1 - expf((-1 / sample_rate) / tau).
float alpha_from_tau(float tau, float sample_rate) noexcept;

// Time constant in seconds of a smoothing factor: (-1 / sample_rate) / logf(1 - alpha).
float tau_from_alpha(float alpha, float sample_rate) noexcept;

// Default smoothing factor of one channel: 1 - expf(((-1 / s) * f) / log10f(f + 1)).
float heuristic_alpha(float freq, float sample_rate) noexcept;

// heuristic_alpha of each of `n` frequencies into `out`, which may not alias `freqs`.
void heuristic_alphas(const float* freqs, std::size_t n, float sample_rate, float* out) noexcept;

// The same into a new buffer. Throws AllocationError.
FloatBuffer heuristic_alphas(const float* freqs, std::size_t n, float sample_rate);

}  // namespace kavrel

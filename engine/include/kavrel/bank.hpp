// The resonator bank: a set of independent complex resonator channels, each a
// turning unit phasor followed by two cascaded exponential moving averages.
//
// For a C++ caller: link kavrel::engine and compile with C++20; nothing else is
// needed. No argument is checked unless its contract says so; failures are
// exceptions (kavrel::Panic for a broken precondition that is checked,
// kavrel::AllocationError, a std::bad_alloc, for exhausted memory). A bank is
// not synchronised: use one from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kavrel/memory.hpp"
#include "kavrel/types.hpp"

namespace kavrel {

namespace detail {
struct BankAccess;  // the engine's own kernels and tests; not part of the API
}  // namespace detail

// One channel: its frequency in Hz and the two smoothing factors (0..1, not checked).
struct ChannelConfig {
    float freq;
    float alpha;
    float beta;
};

// Frames of channel values, frame-major: frame k holds channels 0..channels-1.
struct ComplexFrames {
    Buffer<Complex32> values;  // frames * channels elements
    std::size_t frames = 0;
    std::size_t channels = 0;
};

class ResonatorBank {
public:
    // A bank of no channels.
    ResonatorBank() noexcept = default;
    // One channel per record, read once in order; sample_rate in Hz. Checks
    // nothing. Throws AllocationError.
    ResonatorBank(std::span<const ChannelConfig> configs, float sample_rate);

    // Moves take the channels and the sample count over; the bank moved from
    // is left a bank of no channels with a sample count of 0, as if
    // default-constructed, and every call on it behaves as on such a bank.
    ResonatorBank(ResonatorBank&& other) noexcept;
    ResonatorBank& operator=(ResonatorBank&& other) noexcept;

    // Number of channels.
    std::size_t n_channels() const noexcept { return n_channels_; }
    // Samples taken since construction or the last reset.
    std::uint64_t sample_count() const noexcept { return sample_count_; }

    // Advances every channel by one sample (and renormalises, see renorm_period).
    void process_sample(float x) noexcept;
    // Advances by `len` samples from `xs`; bit-identical to process_sample on each.
    void process_samples(const float* xs, std::size_t len) noexcept;

    // Runs len / hop * hop samples and returns the channel values after every
    // `hop` of them; the trailing len % hop samples are not consumed. Panics
    // when hop is 0; throws AllocationError before any state changes.
    ComplexFrames resonate(const float* xs, std::size_t len, std::uint64_t hop);

    // Readouts of channel i's value (the second stage). Panic when i >= n_channels().
    float freq(std::size_t i) const;         // Hz, as configured
    float phase(std::size_t i) const;        // radians, atan2f(im, re)
    float power(std::size_t i) const;        // re * re + im * im
    float magnitude(std::size_t i) const;    // sqrt of the power
    Complex32 complex(std::size_t i) const;  // (re, im)

    // The same readouts for every channel. Throw AllocationError.
    FloatBuffer frequencies() const;
    FloatBuffer phases() const;
    FloatBuffer powers() const;
    FloatBuffer magnitudes() const;

    // Back to the state right after construction; configuration is kept.
    void reset() noexcept;

private:
    friend struct detail::BankAccess;

    void swap(ResonatorBank& other) noexcept;

    FloatBuffer freqs_, alphas_, betas_;
    FloatBuffer rot_re_, rot_im_;
    FloatBuffer phasor_re_, phasor_im_;
    FloatBuffer stage1_re_, stage1_im_;
    FloatBuffer stage2_re_, stage2_im_;
    std::size_t n_channels_ = 0;
    std::uint64_t sample_count_ = 0;
};

}  // namespace kavrel

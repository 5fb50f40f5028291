// The resonator bank: a set of independent complex resonator channels, each a
// turning unit phasor followed by two cascaded exponential moving averages.
//
// State is held as a structure of arrays (one float array per field), so that
// the kernels process eight channels per 256-bit vector operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kavrel/memory.hpp"

namespace kavrel {

namespace kernel {
struct Channels;
struct FrameSink;
}  // namespace kernel

struct ChannelConfig {
    float freq;   // Hz
    float alpha;  // first-stage smoothing factor
    float beta;   // second-stage smoothing factor
};

struct Complex32 {
    float re;
    float im;
};

// Frames of channel values, frame-major: frame k holds channels 0..channels-1.
struct ComplexFrames {
    Buffer<Complex32> values;  // frames * channels elements
    std::size_t frames = 0;
    std::size_t channels = 0;
};

class ResonatorBank {
public:
    // Phasors are scaled back to unit magnitude after every this many samples.
    static constexpr std::uint64_t renorm_period = 256;

    ResonatorBank() noexcept = default;
    // Reads each record once, in order; checks nothing.
    ResonatorBank(std::span<const ChannelConfig> configs, float sample_rate);

    ResonatorBank(ResonatorBank&&) noexcept = default;
    ResonatorBank& operator=(ResonatorBank&&) noexcept = default;

    std::size_t n_channels() const noexcept { return n_channels_; }
    std::uint64_t sample_count() const noexcept { return sample_count_; }

    // Advances every channel by one sample, then renormalises on every 256th.
    void process_sample(float x) noexcept;
    // Advances by a block; bit-identical to process_sample on each element.
    void process_samples(const float* xs, std::size_t len) noexcept;
    // The straightforward sample-outer kernel, kept as the reference that the
    // fast kernel is tested against. Same results, bit for bit.
    void process_samples_reference(const float* xs, std::size_t len) noexcept;

    // One frame of channel values after every `hop` samples; the trailing
    // len % hop samples are not consumed. Panics when hop is 0.
    ComplexFrames resonate(const float* xs, std::size_t len, std::uint64_t hop);

    // Readouts of the channel value (second stage). Index checks panic.
    float freq(std::size_t i) const;
    float phase(std::size_t i) const;
    float power(std::size_t i) const;
    float magnitude(std::size_t i) const;
    Complex32 complex(std::size_t i) const;

    FloatBuffer frequencies() const;
    FloatBuffer phases() const;
    FloatBuffer powers() const;
    FloatBuffer magnitudes() const;

    // Back to the state right after construction; configuration is kept.
    void reset() noexcept;

    // Read access to every field, for tests and tools.
    const float* freqs() const noexcept { return freqs_.data(); }
    const float* alphas() const noexcept { return alphas_.data(); }
    const float* betas() const noexcept { return betas_.data(); }
    const float* phasor_re() const noexcept { return phasor_re_.data(); }
    const float* phasor_im() const noexcept { return phasor_im_.data(); }
    const float* rot_re() const noexcept { return rot_re_.data(); }
    const float* rot_im() const noexcept { return rot_im_.data(); }
    const float* stage1_re() const noexcept { return stage1_re_.data(); }
    const float* stage1_im() const noexcept { return stage1_im_.data(); }
    const float* stage2_re() const noexcept { return stage2_re_.data(); }
    const float* stage2_im() const noexcept { return stage2_im_.data(); }

private:
    void check_index(std::size_t i) const;
    kernel::Channels channels() noexcept;
    void advance(const float* xs, std::size_t len, kernel::FrameSink* frames) noexcept;
    void advance_reference(const float* xs, std::size_t len) noexcept;

    FloatBuffer freqs_, alphas_, betas_;
    FloatBuffer phasor_re_, phasor_im_;
    FloatBuffer rot_re_, rot_im_;
    FloatBuffer stage1_re_, stage1_im_;
    FloatBuffer stage2_re_, stage2_im_;
    std::size_t n_channels_ = 0;
    std::uint64_t sample_count_ = 0;
};

}  // namespace kavrel

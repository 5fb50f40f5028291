#include "kavrel/bank.hpp"

#include <immintrin.h>

#include <cmath>
#include <cstring>
#include <string>

#include "kavrel/panic.hpp"
#include "kernel.hpp"

namespace kavrel {

namespace {

// -2*pi rounded to single precision (bit pattern 0xC0C90FDB).
constexpr float minus_two_pi = -6.2831855f;

// The fast kernel runs the samples in blocks that stay in the first-level
// cache while every channel tile passes over them.
constexpr std::size_t block_len = 2048;

}  // namespace

ResonatorBank::ResonatorBank(std::span<const ChannelConfig> configs, float sample_rate)
    : freqs_(configs.size()),
      alphas_(configs.size()),
      betas_(configs.size()),
      rot_re_(configs.size()),
      rot_im_(configs.size()),
      n_channels_(configs.size()) {
    for (std::size_t i = 0; i < configs.size(); ++i) {
        const ChannelConfig& cfg = configs[i];
        freqs_[i] = cfg.freq;
        alphas_[i] = cfg.alpha;
        betas_[i] = cfg.beta;
        const float w = (cfg.freq * minus_two_pi) / sample_rate;
        rot_re_[i] = ::cosf(w);
        rot_im_[i] = ::sinf(w);
    }
    phasor_re_ = FloatBuffer(n_channels_, 1.0f);
    phasor_im_ = FloatBuffer(n_channels_, 0.0f);
    stage1_re_ = FloatBuffer(n_channels_, 0.0f);
    stage1_im_ = FloatBuffer(n_channels_, 0.0f);
    stage2_re_ = FloatBuffer(n_channels_, 0.0f);
    stage2_im_ = FloatBuffer(n_channels_, 0.0f);
}

kernel::Channels ResonatorBank::channels() noexcept {
    return {alphas_.data(),    betas_.data(),     rot_re_.data(),    rot_im_.data(),
            phasor_re_.data(), phasor_im_.data(), stage1_re_.data(), stage1_im_.data(),
            stage2_re_.data(), stage2_im_.data(), n_channels_};
}

// The block step, straightforward form: cut at the multiples of 256 of
// sample_count, so that the renormalisation test stays out of the per-sample loop.
void ResonatorBank::advance_reference(const float* xs, std::size_t len) noexcept {
    if (n_channels_ == 0) {
        sample_count_ += len;
        return;
    }
    const kernel::Channels c = channels();
    while (len > 0) {
        const std::uint64_t room = renorm_period - sample_count_ % renorm_period;
        const std::size_t chunk = room < len ? static_cast<std::size_t>(room) : len;
        kernel::run_reference(c, xs, chunk);
        xs += chunk;
        len -= chunk;
        sample_count_ += chunk;
        if (sample_count_ % renorm_period == 0) kernel::renormalize(c);
    }
}

// The block step, fast form: channel tiles kept in registers over blocks of
// samples, renormalising at the same sample counts and recording frames into
// `frames` if given. Bit-identical to the straightforward form.
void ResonatorBank::advance(const float* xs, std::size_t len, kernel::FrameSink* frames) noexcept {
    if (n_channels_ == 0) {
        sample_count_ += len;
        return;
    }
    const kernel::Channels c = channels();
    while (len > 0) {
        const std::size_t block = len < block_len ? len : block_len;
        kernel::run_tiled(c, xs, block, sample_count_, frames);
        xs += block;
        len -= block;
        sample_count_ += block;
    }
}

void ResonatorBank::process_sample(float x) noexcept { advance(&x, 1, nullptr); }

void ResonatorBank::process_samples(const float* xs, std::size_t len) noexcept {
    advance(xs, len, nullptr);
}

void ResonatorBank::process_samples_reference(const float* xs, std::size_t len) noexcept {
    advance_reference(xs, len);
}

ComplexFrames ResonatorBank::resonate(const float* xs, std::size_t len, std::uint64_t hop) {
    if (hop == 0) panic("attempt to divide by zero");
    const std::size_t frames = static_cast<std::size_t>(len / hop);
    const std::size_t n = n_channels_;
    std::size_t count = 0;
    if (__builtin_mul_overflow(frames, n, &count)) allocation_failed(static_cast<std::size_t>(-1));
    ComplexFrames out{Buffer<Complex32>(count), frames, n};
    const std::uint64_t used = static_cast<std::uint64_t>(frames) * hop;
    if (n == 0) {
        sample_count_ += used;
        return out;
    }
    kernel::FrameSink sink{out.values.data(), n, hop, 0};
    advance(xs, static_cast<std::size_t>(used), &sink);
    _mm_sfence();  // order the cache-bypassing frame stores before the frames are handed on
    return out;
}

void ResonatorBank::check_index(std::size_t i) const {
    if (i >= n_channels_)
        panic("index out of bounds: the len is " + std::to_string(n_channels_) + " but the index is " +
              std::to_string(i));
}

float ResonatorBank::freq(std::size_t i) const {
    check_index(i);
    return freqs_[i];
}

float ResonatorBank::phase(std::size_t i) const {
    check_index(i);
    return ::atan2f(stage2_im_[i], stage2_re_[i]);
}

namespace {
inline float power_of(float re, float im) noexcept { return (re * re) + (im * im); }
}  // namespace

float ResonatorBank::power(std::size_t i) const {
    check_index(i);
    return power_of(stage2_re_[i], stage2_im_[i]);
}

float ResonatorBank::magnitude(std::size_t i) const {
    check_index(i);
    return std::sqrt(power_of(stage2_re_[i], stage2_im_[i]));
}

Complex32 ResonatorBank::complex(std::size_t i) const {
    check_index(i);
    return {stage2_re_[i], stage2_im_[i]};
}

FloatBuffer ResonatorBank::frequencies() const {
    FloatBuffer out(n_channels_);
    if (n_channels_ != 0) std::memcpy(out.data(), freqs_.data(), n_channels_ * sizeof(float));
    return out;
}

FloatBuffer ResonatorBank::phases() const {
    FloatBuffer out(n_channels_);
    for (std::size_t k = 0; k < n_channels_; ++k) out[k] = ::atan2f(stage2_im_[k], stage2_re_[k]);
    return out;
}

namespace {

// Powers of channels [0, n), eight per vector step; optionally their roots.
template <bool Root>
void power_array(const float* re, const float* im, std::size_t n, float* out) noexcept {
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256 r = _mm256_loadu_ps(re + k);
        const __m256 m = _mm256_loadu_ps(im + k);
        __m256 p = _mm256_add_ps(_mm256_mul_ps(r, r), _mm256_mul_ps(m, m));
        if constexpr (Root) p = _mm256_sqrt_ps(p);
        _mm256_storeu_ps(out + k, p);
    }
    for (; k < n; ++k) {
        const float p = power_of(re[k], im[k]);
        out[k] = Root ? std::sqrt(p) : p;
    }
}

}  // namespace

FloatBuffer ResonatorBank::powers() const {
    FloatBuffer out(n_channels_);
    power_array<false>(stage2_re_.data(), stage2_im_.data(), n_channels_, out.data());
    return out;
}

FloatBuffer ResonatorBank::magnitudes() const {
    FloatBuffer out(n_channels_);
    power_array<true>(stage2_re_.data(), stage2_im_.data(), n_channels_, out.data());
    return out;
}

void ResonatorBank::reset() noexcept {
    for (std::size_t k = 0; k < n_channels_; ++k) phasor_re_[k] = 1.0f;
    FloatBuffer* const zeroed[5] = {&phasor_im_, &stage1_re_, &stage1_im_, &stage2_re_, &stage2_im_};
    for (FloatBuffer* f : zeroed)
        for (std::size_t k = 0; k < n_channels_; ++k) (*f)[k] = 0.0f;
    sample_count_ = 0;
}

}  // namespace kavrel

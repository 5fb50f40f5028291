#include "kavrel/bank.hpp"

#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "bank_access.hpp"
#include "kavrel/panic.hpp"
#include "kernel.hpp"
#include "mathf.hpp"

namespace kavrel {

namespace {

// -2*pi rounded to single precision (bit pattern 0xC0C90FDB).
constexpr float minus_two_pi = -6.2831855f;

// The kernels run the samples in blocks that stay in the first-level
// cache while every channel tile passes over them.
constexpr std::size_t block_len = 2048;

void check_index(std::size_t i, std::size_t n) {
    if (i >= n)
        panic("index out of bounds: the len is " + std::to_string(n) + " but the index is " +
              std::to_string(i));
}

float power_of(float re, float im) noexcept { return (re * re) + (im * im); }

// The block step: channel tiles kept in registers over blocks of samples,
// renormalising at the multiples of renorm_period of the running count and
// recording frames into `frames` if given.
void advance(ResonatorBank& bank, const float* xs, std::size_t len,
             kernel::FrameSink* frames) noexcept {
    std::uint64_t& count = detail::BankAccess::sample_count(bank);
    if (bank.n_channels() == 0) {
        count += len;
        return;
    }
    const kernel::Channels c = detail::BankAccess::channels(bank);
    const kernel::RunTiled run_tiled = kernel::active().run_tiled;
    while (len > 0) {
        const std::size_t block = len < block_len ? len : block_len;
        run_tiled(c, xs, block, count, frames);
        xs += block;
        len -= block;
        count += block;
    }
}

}  // namespace

// Every buffer is allocated before the bank exists; a failure frees the ones
// already made.
ResonatorBank::ResonatorBank(std::span<const ChannelConfig> configs, float sample_rate)
    : freqs_(configs.size()),
      alphas_(configs.size()),
      betas_(configs.size()),
      rot_re_(configs.size()),
      rot_im_(configs.size()),
      phasor_re_(configs.size(), 1.0f),
      phasor_im_(configs.size(), 0.0f),
      stage1_re_(configs.size(), 0.0f),
      stage1_im_(configs.size(), 0.0f),
      stage2_re_(configs.size(), 0.0f),
      stage2_im_(configs.size(), 0.0f),
      n_channels_(configs.size()) {
    for (std::size_t i = 0; i < configs.size(); ++i) {
        const ChannelConfig& cfg = configs[i];
        freqs_[i] = cfg.freq;
        alphas_[i] = cfg.alpha;
        betas_[i] = cfg.beta;
        const float w = (cfg.freq * minus_two_pi) / sample_rate;
        rot_re_[i] = mathf::cos(w);
        rot_im_[i] = mathf::sin(w);
    }
}

ResonatorBank::ResonatorBank(ResonatorBank&& other) noexcept { swap(other); }

ResonatorBank& ResonatorBank::operator=(ResonatorBank&& other) noexcept {
    ResonatorBank taken(std::move(other));  // leaves `other` empty, also when it is *this
    swap(taken);                            // the former channels go with `taken`
    return *this;
}

void ResonatorBank::swap(ResonatorBank& other) noexcept {
    std::swap(freqs_, other.freqs_);
    std::swap(alphas_, other.alphas_);
    std::swap(betas_, other.betas_);
    std::swap(rot_re_, other.rot_re_);
    std::swap(rot_im_, other.rot_im_);
    std::swap(phasor_re_, other.phasor_re_);
    std::swap(phasor_im_, other.phasor_im_);
    std::swap(stage1_re_, other.stage1_re_);
    std::swap(stage1_im_, other.stage1_im_);
    std::swap(stage2_re_, other.stage2_re_);
    std::swap(stage2_im_, other.stage2_im_);
    std::swap(n_channels_, other.n_channels_);
    std::swap(sample_count_, other.sample_count_);
}

void ResonatorBank::process_sample(float x) noexcept { advance(*this, &x, 1, nullptr); }

void ResonatorBank::process_samples(const float* xs, std::size_t len) noexcept {
    advance(*this, xs, len, nullptr);
}

ComplexFrames ResonatorBank::resonate(const float* xs, std::size_t len, std::uint64_t hop) {
    if (hop == 0) panic("attempt to divide by zero");
    const std::size_t frames = static_cast<std::size_t>(len / hop);
    const std::size_t n = n_channels_;
    if (n != 0 && frames > SIZE_MAX / n) throw AllocationError(SIZE_MAX);
    const std::size_t count = frames * n;
    // Allocated before any state changes, so that a failure leaves the bank as it was.
    ComplexFrames out{Buffer<Complex32>(count), frames, n};
    const std::uint64_t used = static_cast<std::uint64_t>(frames) * hop;
    if (n == 0) {
        sample_count_ += used;
        return out;
    }
    kernel::FrameSink sink{out.values.data(), n, hop, 0};
    advance(*this, xs, static_cast<std::size_t>(used), &sink);
    return out;
}

float ResonatorBank::freq(std::size_t i) const {
    check_index(i, n_channels_);
    return freqs_[i];
}

float ResonatorBank::phase(std::size_t i) const {
    check_index(i, n_channels_);
    return mathf::atan2(stage2_im_[i], stage2_re_[i]);
}

float ResonatorBank::power(std::size_t i) const {
    check_index(i, n_channels_);
    return power_of(stage2_re_[i], stage2_im_[i]);
}

float ResonatorBank::magnitude(std::size_t i) const {
    check_index(i, n_channels_);
    return std::sqrt(power_of(stage2_re_[i], stage2_im_[i]));
}

Complex32 ResonatorBank::complex(std::size_t i) const {
    check_index(i, n_channels_);
    return {stage2_re_[i], stage2_im_[i]};
}

FloatBuffer ResonatorBank::frequencies() const {
    FloatBuffer out(n_channels_);
    if (n_channels_ != 0) std::memcpy(out.data(), freqs_.data(), n_channels_ * sizeof(float));
    return out;
}

FloatBuffer ResonatorBank::phases() const {
    FloatBuffer out(n_channels_);
    for (std::size_t k = 0; k < n_channels_; ++k)
        out[k] = mathf::atan2(stage2_im_[k], stage2_re_[k]);
    return out;
}

FloatBuffer ResonatorBank::powers() const {
    FloatBuffer out(n_channels_);
    for (std::size_t k = 0; k < n_channels_; ++k) out[k] = power_of(stage2_re_[k], stage2_im_[k]);
    return out;
}

FloatBuffer ResonatorBank::magnitudes() const {
    FloatBuffer out(n_channels_);
    kernel::active().magnitudes(stage2_re_.data(), stage2_im_.data(), n_channels_, out.data());
    return out;
}

void ResonatorBank::reset() noexcept {
    for (std::size_t k = 0; k < n_channels_; ++k) phasor_re_[k] = 1.0f;
    FloatBuffer* const zeroed[5] = {&phasor_im_, &stage1_re_, &stage1_im_, &stage2_re_,
                                    &stage2_im_};
    for (FloatBuffer* f : zeroed)
        for (std::size_t k = 0; k < n_channels_; ++k) (*f)[k] = 0.0f;
    sample_count_ = 0;
}

}  // namespace kavrel

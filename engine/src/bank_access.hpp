// Access to a bank's fields for the engine's kernels and its tests. Internal
// to the engine: not installed.
#pragma once

#include <cstdint>

#include "kavrel/bank.hpp"
#include "kernel.hpp"

namespace kavrel::detail {

struct BankAccess {
    // Views of every per-channel field.
    static kernel::Channels channels(ResonatorBank& b) noexcept {
        return {b.alphas_.data(),    b.betas_.data(),     b.rot_re_.data(),    b.rot_im_.data(),
                b.phasor_re_.data(), b.phasor_im_.data(), b.stage1_re_.data(), b.stage1_im_.data(),
                b.stage2_re_.data(), b.stage2_im_.data(), b.n_channels_};
    }
    static std::uint64_t& sample_count(ResonatorBank& b) noexcept { return b.sample_count_; }
};

}  // namespace kavrel::detail

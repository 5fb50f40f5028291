#include <cmath>
#include <cstdint>

#include "fused.hpp"
#include "kernel.hpp"

// The portable kernel: plain C++ for any processor. Each tile of sixteen
// channels keeps its state in local arrays for a whole run, and every step is
// an independent loop over the sixteen lanes, which compilers turn into vector
// instructions where the target has them (four NEON registers on aarch64, two
// AVX registers when compiled for them) and into scalar code elsewhere. The
// arithmetic is that of the oracle, operation for operation: a fused
// multiply-add for the four smoothing updates, every other operation rounded
// on its own, and the build forbids contraction.
//
// The namespace can be renamed at compile time so that a benchmark can link a
// second copy of this file compiled with other instruction-set flags.
#ifndef KAVREL_PORTABLE_NAMESPACE
#define KAVREL_PORTABLE_NAMESPACE portable
#endif

namespace kavrel::kernel::KAVREL_PORTABLE_NAMESPACE {

namespace {

constexpr std::size_t lanes = 16;

// The running state and the loop-invariant factors of one tile. Lanes past the
// last channel hold zeros and are never written back.
struct Tile {
    float pr[lanes], pm[lanes], s1r[lanes], s1i[lanes], s2r[lanes], s2i[lanes];
    float a[lanes], ka[lanes], b[lanes], kb[lanes], rr[lanes], rm[lanes];
};

void load_tile(const Channels& c, std::size_t k0, std::size_t valid, Tile& t) noexcept {
    for (std::size_t j = 0; j < lanes; ++j) {
        const bool in = j < valid;
        const std::size_t k = k0 + j;
        t.a[j] = in ? c.alpha[k] : 0.0f;
        t.b[j] = in ? c.beta[k] : 0.0f;
        t.rr[j] = in ? c.rot_re[k] : 0.0f;
        t.rm[j] = in ? c.rot_im[k] : 0.0f;
        t.pr[j] = in ? c.phasor_re[k] : 0.0f;
        t.pm[j] = in ? c.phasor_im[k] : 0.0f;
        t.s1r[j] = in ? c.stage1_re[k] : 0.0f;
        t.s1i[j] = in ? c.stage1_im[k] : 0.0f;
        t.s2r[j] = in ? c.stage2_re[k] : 0.0f;
        t.s2i[j] = in ? c.stage2_im[k] : 0.0f;
    }
    // Forming 1 - alpha once per run gives the same bits as forming it every sample.
    for (std::size_t j = 0; j < lanes; ++j) {
        t.ka[j] = 1.0f - t.a[j];
        t.kb[j] = 1.0f - t.b[j];
    }
}

void store_tile(const Channels& c, std::size_t k0, std::size_t valid, const Tile& t) noexcept {
    for (std::size_t j = 0; j < valid; ++j) {
        const std::size_t k = k0 + j;
        c.phasor_re[k] = t.pr[j];
        c.phasor_im[k] = t.pm[j];
        c.stage1_re[k] = t.s1r[j];
        c.stage1_im[k] = t.s1i[j];
        c.stage2_re[k] = t.s2r[j];
        c.stage2_im[k] = t.s2i[j];
    }
}

// One sample through the sixteen lanes.
inline void step_tile(Tile& t, float x) noexcept {
    for (std::size_t j = 0; j < lanes; ++j) {
        const float pr = t.pr[j];
        const float pm = t.pm[j];
        const float xa = x * t.a[j];
        const float s1r = fused(t.ka[j], t.s1r[j], xa * pr);
        const float s1i = fused(t.ka[j], t.s1i[j], xa * pm);
        t.s1r[j] = s1r;
        t.s1i[j] = s1i;
        t.s2r[j] = fused(t.kb[j], t.s2r[j], t.b[j] * s1r);
        t.s2i[j] = fused(t.kb[j], t.s2i[j], t.b[j] * s1i);
        t.pr[j] = (pr * t.rr[j]) - (pm * t.rm[j]);
        t.pm[j] = (pr * t.rm[j]) + (pm * t.rr[j]);
    }
}

void renormalize_tile(Tile& t) noexcept {
    for (std::size_t j = 0; j < lanes; ++j) {
        const float pr = t.pr[j];
        const float pm = t.pm[j];
        const float g = 1.0f / std::sqrt((pr * pr) + (pm * pm));
        t.pr[j] = pr * g;
        t.pm[j] = pm * g;
    }
}

void record_tile(const Tile& t, std::size_t valid, Complex32* out) noexcept {
    for (std::size_t j = 0; j < valid; ++j) out[j] = {t.s2r[j], t.s2i[j]};
}

void run_tile(const Channels& c, std::size_t k0, const float* xs, std::size_t len,
              std::uint64_t count, FrameSink frames) noexcept {
    const std::size_t valid = c.n - k0 < lanes ? c.n - k0 : lanes;
    Tile t;
    load_tile(c, k0, valid, t);
    std::size_t i = 0;
    while (i < len) {
        // The next stop: the end of the run, the next renormalisation point or
        // the end of the current frame, whichever comes first.
        std::uint64_t seg = len - i;
        const std::uint64_t to_renorm = renorm_period - (count + i) % renorm_period;
        if (to_renorm < seg) seg = to_renorm;
        if (frames.row != nullptr && frames.hop - frames.filled < seg)
            seg = frames.hop - frames.filled;
        const std::size_t stop = i + static_cast<std::size_t>(seg);
        for (; i < stop; ++i) step_tile(t, xs[i]);
        if ((count + i) % renorm_period == 0) renormalize_tile(t);
        if (frames.row != nullptr) {
            frames.filled += seg;
            if (frames.filled == frames.hop) {
                record_tile(t, valid, frames.row + k0);
                frames.row += frames.stride;
                frames.filled = 0;
            }
        }
    }
    store_tile(c, k0, valid, t);
}

}  // namespace

void run_tiled(const Channels& c, const float* xs, std::size_t len, std::uint64_t count,
               FrameSink* frames) noexcept {
    if (len == 0) return;
    const FrameSink sink = frames != nullptr ? *frames : FrameSink{};
    for (std::size_t k = 0; k < c.n; k += lanes) run_tile(c, k, xs, len, count, sink);
    if (frames != nullptr) {
        const std::uint64_t total = frames->filled + len;
        frames->row += static_cast<std::size_t>(total / frames->hop) * frames->stride;
        frames->filled = total % frames->hop;
    }
}

void magnitudes(const float* re, const float* im, std::size_t n, float* out) noexcept {
    for (std::size_t k = 0; k < n; ++k) out[k] = std::sqrt((re[k] * re[k]) + (im[k] * im[k]));
}

}  // namespace kavrel::kernel::KAVREL_PORTABLE_NAMESPACE

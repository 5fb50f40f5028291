#include <cmath>
#include <cstdint>

#include "kernel.hpp"
#include "segments.hpp"

// The portable kernel: plain C++ for any processor. Each tile of sixteen
// channels keeps its state in local arrays for a whole run, and every step is
// an independent loop over the sixteen lanes, which compilers turn into vector
// instructions where the target has them (four NEON registers on aarch64, two
// AVX registers when compiled for them) and into scalar code elsewhere. The
// arithmetic is that of the oracle, operation for operation: std::fma for the
// four smoothing updates (one instruction where the target has a fused
// multiply-add, else the C library's correctly rounded fmaf), every other
// operation rounded on its own, and the build forbids contraction.
//
// The namespace can be renamed at compile time so that a benchmark can link a
// second copy of this file compiled with other instruction-set flags.
#ifndef KAVREL_PORTABLE_NAMESPACE
#define KAVREL_PORTABLE_NAMESPACE portable
#endif

namespace kavrel::kernel::KAVREL_PORTABLE_NAMESPACE {

namespace {

constexpr std::size_t lanes = 16;

// The running state and the loop-invariant factors of one tile: channels k0
// to k0 + valid - 1. Lanes past the last channel hold zeros and are never
// written back.
struct Tile {
    float pr[lanes], pm[lanes], s1r[lanes], s1i[lanes], s2r[lanes], s2i[lanes];
    float a[lanes], ka[lanes], b[lanes], kb[lanes], rr[lanes], rm[lanes];
    std::size_t k0, valid;

    Tile(const Channels& c, std::size_t first) noexcept
        : k0(first),
          valid(lanes_in_group(first, c.n, lanes)) {
        for (std::size_t j = 0; j < lanes; ++j) {
            const bool in = j < valid;
            const std::size_t k = k0 + j;
            a[j] = in ? c.alpha[k] : 0.0f;
            b[j] = in ? c.beta[k] : 0.0f;
            rr[j] = in ? c.rot_re[k] : 0.0f;
            rm[j] = in ? c.rot_im[k] : 0.0f;
            pr[j] = in ? c.phasor_re[k] : 0.0f;
            pm[j] = in ? c.phasor_im[k] : 0.0f;
            s1r[j] = in ? c.stage1_re[k] : 0.0f;
            s1i[j] = in ? c.stage1_im[k] : 0.0f;
            s2r[j] = in ? c.stage2_re[k] : 0.0f;
            s2i[j] = in ? c.stage2_im[k] : 0.0f;
        }
        // Forming 1 - alpha once per run gives the same bits as forming it every sample.
        for (std::size_t j = 0; j < lanes; ++j) {
            ka[j] = 1.0f - a[j];
            kb[j] = 1.0f - b[j];
        }
    }

    void store(const Channels& c) const noexcept {
        for (std::size_t j = 0; j < valid; ++j) {
            const std::size_t k = k0 + j;
            c.phasor_re[k] = pr[j];
            c.phasor_im[k] = pm[j];
            c.stage1_re[k] = s1r[j];
            c.stage1_im[k] = s1i[j];
            c.stage2_re[k] = s2r[j];
            c.stage2_im[k] = s2i[j];
        }
    }

    // One sample through the sixteen lanes.
    void step(const float* xp) noexcept {
        const float x = *xp;
        for (std::size_t j = 0; j < lanes; ++j) {
            const float p_re = pr[j];
            const float p_im = pm[j];
            const float xa = x * a[j];
            const float n1r = std::fma(ka[j], s1r[j], xa * p_re);
            const float n1i = std::fma(ka[j], s1i[j], xa * p_im);
            s1r[j] = n1r;
            s1i[j] = n1i;
            s2r[j] = std::fma(kb[j], s2r[j], b[j] * n1r);
            s2i[j] = std::fma(kb[j], s2i[j], b[j] * n1i);
            pr[j] = (p_re * rr[j]) - (p_im * rm[j]);
            pm[j] = (p_re * rm[j]) + (p_im * rr[j]);
        }
    }

    void renormalize() noexcept {
        for (std::size_t j = 0; j < lanes; ++j) {
            const float p_re = pr[j];
            const float p_im = pm[j];
            const float g = 1.0f / std::sqrt((p_re * p_re) + (p_im * p_im));
            pr[j] = p_re * g;
            pm[j] = p_im * g;
        }
    }

    void record(Complex32* row) const noexcept {
        for (std::size_t j = 0; j < valid; ++j) row[k0 + j] = {s2r[j], s2i[j]};
    }
};

}  // namespace

void run_tiled(const Channels& c, const float* xs, std::size_t len, std::uint64_t count,
               FrameSink* frames) noexcept {
    if (len == 0) return;
    const FrameSink sink = frames != nullptr ? *frames : FrameSink{};
    for (std::size_t k = 0; k < c.n; k += lanes) {
        Tile t(c, k);
        run_segments(t, xs, len, count, sink);
        t.store(c);
    }
    advance_frames(frames, len);
}

void magnitudes(const float* re, const float* im, std::size_t n, float* out) noexcept {
    for (std::size_t k = 0; k < n; ++k) out[k] = std::sqrt((re[k] * re[k]) + (im[k] * im[k]));
}

}  // namespace kavrel::kernel::KAVREL_PORTABLE_NAMESPACE

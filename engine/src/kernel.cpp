#include "kernel.hpp"

#include <immintrin.h>

#include <cmath>

namespace kavrel::kernel {

namespace {

inline void step_scalar(const Channels& c, std::size_t k, float x) noexcept {
    const float a = c.alpha[k];
    const float xa = x * a;
    const float ka = 1.0f - a;
    const float pr = c.phasor_re[k];
    const float pm = c.phasor_im[k];
    const float s1r = std::fma(ka, c.stage1_re[k], xa * pr);
    const float s1i = std::fma(ka, c.stage1_im[k], xa * pm);
    c.stage1_re[k] = s1r;
    c.stage1_im[k] = s1i;
    const float b = c.beta[k];
    const float kb = 1.0f - b;
    c.stage2_re[k] = std::fma(kb, c.stage2_re[k], b * s1r);
    c.stage2_im[k] = std::fma(kb, c.stage2_im[k], b * s1i);
    const float rr = c.rot_re[k];
    const float rm = c.rot_im[k];
    c.phasor_re[k] = (pr * rr) - (pm * rm);
    c.phasor_im[k] = (pr * rm) + (pm * rr);
}

inline void step_vector(const Channels& c, std::size_t k, __m256 x) noexcept {
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 a = _mm256_loadu_ps(c.alpha + k);
    const __m256 xa = _mm256_mul_ps(x, a);
    const __m256 ka = _mm256_sub_ps(one, a);
    const __m256 pr = _mm256_loadu_ps(c.phasor_re + k);
    const __m256 pm = _mm256_loadu_ps(c.phasor_im + k);
    const __m256 s1r = _mm256_fmadd_ps(ka, _mm256_loadu_ps(c.stage1_re + k), _mm256_mul_ps(xa, pr));
    const __m256 s1i = _mm256_fmadd_ps(ka, _mm256_loadu_ps(c.stage1_im + k), _mm256_mul_ps(xa, pm));
    _mm256_storeu_ps(c.stage1_re + k, s1r);
    _mm256_storeu_ps(c.stage1_im + k, s1i);
    const __m256 b = _mm256_loadu_ps(c.beta + k);
    const __m256 kb = _mm256_sub_ps(one, b);
    _mm256_storeu_ps(c.stage2_re + k,
                     _mm256_fmadd_ps(kb, _mm256_loadu_ps(c.stage2_re + k), _mm256_mul_ps(b, s1r)));
    _mm256_storeu_ps(c.stage2_im + k,
                     _mm256_fmadd_ps(kb, _mm256_loadu_ps(c.stage2_im + k), _mm256_mul_ps(b, s1i)));
    const __m256 rr = _mm256_loadu_ps(c.rot_re + k);
    const __m256 rm = _mm256_loadu_ps(c.rot_im + k);
    _mm256_storeu_ps(c.phasor_re + k, _mm256_sub_ps(_mm256_mul_ps(pr, rr), _mm256_mul_ps(pm, rm)));
    _mm256_storeu_ps(c.phasor_im + k, _mm256_add_ps(_mm256_mul_ps(pr, rm), _mm256_mul_ps(pm, rr)));
}

// The running state of eight channels, held in registers.
struct Lanes {
    __m256 pr, pm, s1r, s1i, s2r, s2i;
};

// Loop-invariant factors of eight channels: alpha, 1 - alpha, beta, 1 - beta,
// rot_re, rot_im. Forming 1 - alpha once per run gives the same bits as
// forming it every sample.
struct alignas(32) Factors {
    float a[8], ka[8], b[8], kb[8], rr[8], rm[8];
};

inline Lanes load_lanes(const Channels& c, std::size_t k, Factors& f) noexcept {
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 a = _mm256_loadu_ps(c.alpha + k);
    const __m256 b = _mm256_loadu_ps(c.beta + k);
    _mm256_store_ps(f.a, a);
    _mm256_store_ps(f.ka, _mm256_sub_ps(one, a));
    _mm256_store_ps(f.b, b);
    _mm256_store_ps(f.kb, _mm256_sub_ps(one, b));
    _mm256_store_ps(f.rr, _mm256_loadu_ps(c.rot_re + k));
    _mm256_store_ps(f.rm, _mm256_loadu_ps(c.rot_im + k));
    return {_mm256_loadu_ps(c.phasor_re + k), _mm256_loadu_ps(c.phasor_im + k),
            _mm256_loadu_ps(c.stage1_re + k), _mm256_loadu_ps(c.stage1_im + k),
            _mm256_loadu_ps(c.stage2_re + k), _mm256_loadu_ps(c.stage2_im + k)};
}

inline void store_lanes(const Channels& c, std::size_t k, const Lanes& l) noexcept {
    _mm256_storeu_ps(c.phasor_re + k, l.pr);
    _mm256_storeu_ps(c.phasor_im + k, l.pm);
    _mm256_storeu_ps(c.stage1_re + k, l.s1r);
    _mm256_storeu_ps(c.stage1_im + k, l.s1i);
    _mm256_storeu_ps(c.stage2_re + k, l.s2r);
    _mm256_storeu_ps(c.stage2_im + k, l.s2i);
}

// One sample through eight channels; the factors are read as memory operands.
inline void step_lanes(Lanes& l, __m256 x, const Factors& f) noexcept {
    const __m256 xa = _mm256_mul_ps(x, _mm256_load_ps(f.a));
    const __m256 ka = _mm256_load_ps(f.ka);
    l.s1r = _mm256_fmadd_ps(ka, l.s1r, _mm256_mul_ps(xa, l.pr));
    l.s1i = _mm256_fmadd_ps(ka, l.s1i, _mm256_mul_ps(xa, l.pm));
    const __m256 b = _mm256_load_ps(f.b);
    const __m256 kb = _mm256_load_ps(f.kb);
    l.s2r = _mm256_fmadd_ps(kb, l.s2r, _mm256_mul_ps(b, l.s1r));
    l.s2i = _mm256_fmadd_ps(kb, l.s2i, _mm256_mul_ps(b, l.s1i));
    const __m256 rr = _mm256_load_ps(f.rr);
    const __m256 rm = _mm256_load_ps(f.rm);
    const __m256 npr = _mm256_sub_ps(_mm256_mul_ps(l.pr, rr), _mm256_mul_ps(l.pm, rm));
    const __m256 npm = _mm256_add_ps(_mm256_mul_ps(l.pr, rm), _mm256_mul_ps(l.pm, rr));
    l.pr = npr;
    l.pm = npm;
}

// A tile of 8 * V channels (V = 1 or 2) whose state stays in registers for the
// whole run of samples. Two independent groups hide the latency of the phasor
// rotation, which carries from one sample to the next.
template <int V>
void run_tile(const Channels& c, std::size_t k0, const float* xs, std::size_t len) noexcept {
    static_assert(V == 1 || V == 2);
    Factors table[V];
    Lanes l0 = load_lanes(c, k0, table[0]);
    Lanes l1 = V == 2 ? load_lanes(c, k0 + 8, table[V - 1]) : l0;
    for (std::size_t t = 0; t < len; ++t) {
        // Hides the table's address from the optimiser once per sample, so that
        // it reads the factors as memory operands instead of hoisting them into
        // registers and spilling the state.
        const Factors* f = table;
        __asm__("" : "+r"(f));
        const __m256 x = _mm256_broadcast_ss(xs + t);
        step_lanes(l0, x, f[0]);
        if constexpr (V == 2) step_lanes(l1, x, f[1]);
    }
    store_lanes(c, k0, l0);
    if constexpr (V == 2) store_lanes(c, k0 + 8, l1);
}

// The last n % 16 channels, copied into a zero-padded tile so that they run in
// vector lanes too; every lane performs the same operations as a scalar step.
template <int V>
void run_padded_tail(const Channels& c, std::size_t k0, const float* xs, std::size_t len) noexcept {
    constexpr std::size_t lanes = 8 * V;
    const std::size_t r = c.n - k0;
    alignas(32) float buf[10][lanes] = {};
    const float* const in[10] = {c.alpha, c.beta, c.rot_re, c.rot_im, c.phasor_re,
                                 c.phasor_im, c.stage1_re, c.stage1_im, c.stage2_re, c.stage2_im};
    for (int f = 0; f < 10; ++f)
        for (std::size_t j = 0; j < r; ++j) buf[f][j] = in[f][k0 + j];
    const Channels tile{buf[0], buf[1], buf[2], buf[3], buf[4], buf[5],
                        buf[6], buf[7], buf[8], buf[9], lanes};
    run_tile<V>(tile, 0, xs, len);
    float* const out[6] = {c.phasor_re, c.phasor_im, c.stage1_re, c.stage1_im, c.stage2_re, c.stage2_im};
    for (int f = 0; f < 6; ++f)
        for (std::size_t j = 0; j < r; ++j) out[f][k0 + j] = buf[4 + f][j];
}

}  // namespace

void run_reference(const Channels& c, const float* xs, std::size_t len) noexcept {
    const std::size_t vec_end = c.n - c.n % 8;
    for (std::size_t t = 0; t < len; ++t) {
        const float x = xs[t];
        const __m256 xv = _mm256_set1_ps(x);
        std::size_t k = 0;
        for (; k < vec_end; k += 8) step_vector(c, k, xv);
        for (; k < c.n; ++k) step_scalar(c, k, x);
    }
}

void run_tiled(const Channels& c, const float* xs, std::size_t len) noexcept {
    if (len == 0) return;
    std::size_t k = 0;
    for (; k + 16 <= c.n; k += 16) run_tile<2>(c, k, xs, len);
    const std::size_t r = c.n - k;
    if (r > 8)
        run_padded_tail<2>(c, k, xs, len);
    else if (r > 0)
        run_padded_tail<1>(c, k, xs, len);
}

void renormalize(const Channels& c) noexcept {
    const __m256 one = _mm256_set1_ps(1.0f);
    std::size_t k = 0;
    for (; k + 8 <= c.n; k += 8) {
        const __m256 pr = _mm256_loadu_ps(c.phasor_re + k);
        const __m256 pm = _mm256_loadu_ps(c.phasor_im + k);
        const __m256 q = _mm256_add_ps(_mm256_mul_ps(pr, pr), _mm256_mul_ps(pm, pm));
        const __m256 g = _mm256_div_ps(one, _mm256_sqrt_ps(q));
        _mm256_storeu_ps(c.phasor_re + k, _mm256_mul_ps(pr, g));
        _mm256_storeu_ps(c.phasor_im + k, _mm256_mul_ps(pm, g));
    }
    for (; k < c.n; ++k) {
        const float pr = c.phasor_re[k];
        const float pm = c.phasor_im[k];
        const float q = (pr * pr) + (pm * pm);
        const float g = 1.0f / std::sqrt(q);
        c.phasor_re[k] = pr * g;
        c.phasor_im[k] = pm * g;
    }
}

}  // namespace kavrel::kernel

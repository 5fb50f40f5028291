#include <immintrin.h>

#include <cstdint>

#include "kernel.hpp"
#include "segments.hpp"

// The AVX2 kernel: the recurrence in AVX2 and FMA intrinsics, eight channels
// per register. Besides the AVX-512 kernel, this is the only file of the engine
// compiled for AVX2 and FMA (see CMakeLists.txt), and only for x86-64; kernel.cpp calls it only on
// a processor that has them. So that no AVX instruction can run elsewhere, nothing here may be
// emitted as a symbol that another file could also define (the linker keeps one copy of an inline
// function or template instance, and it could be this one): the helpers live in an unnamed
// namespace (the segment loop of segments.hpp too), and no standard-library function is called,
// only intrinsics, which are always inlined.
namespace kavrel::kernel::avx2 {

namespace {

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

// Which of the eight lanes starting at channel k hold a channel: all of them,
// except in the last group of a bank whose size is not a multiple of eight.
// Absent lanes read as zero and are never written back.
struct Mask {
    __m256i bits;
    bool full;
};

inline Mask lanes_at(std::size_t k, std::size_t n) noexcept {
    const std::size_t valid = lanes_in_group(k, n, 8);
    const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return {_mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(valid)), index), valid == 8};
}

inline __m256 load(const float* p, const Mask& m) noexcept {
    return m.full ? _mm256_loadu_ps(p) : _mm256_maskload_ps(p, m.bits);
}

inline void store(float* p, const Mask& m, __m256 v) noexcept {
    if (m.full)
        _mm256_storeu_ps(p, v);
    else
        _mm256_maskstore_ps(p, m.bits, v);
}

inline Lanes load_lanes(const Channels& c, std::size_t k, const Mask& m, Factors& f) noexcept {
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 a = load(c.alpha + k, m);
    const __m256 b = load(c.beta + k, m);
    _mm256_store_ps(f.a, a);
    _mm256_store_ps(f.ka, _mm256_sub_ps(one, a));
    _mm256_store_ps(f.b, b);
    _mm256_store_ps(f.kb, _mm256_sub_ps(one, b));
    _mm256_store_ps(f.rr, load(c.rot_re + k, m));
    _mm256_store_ps(f.rm, load(c.rot_im + k, m));
    return {load(c.phasor_re + k, m), load(c.phasor_im + k, m), load(c.stage1_re + k, m),
            load(c.stage1_im + k, m), load(c.stage2_re + k, m), load(c.stage2_im + k, m)};
}

inline void store_lanes(const Channels& c, std::size_t k, const Mask& m, const Lanes& l) noexcept {
    store(c.phasor_re + k, m, l.pr);
    store(c.phasor_im + k, m, l.pm);
    store(c.stage1_re + k, m, l.s1r);
    store(c.stage1_im + k, m, l.s1i);
    store(c.stage2_re + k, m, l.s2r);
    store(c.stage2_im + k, m, l.s2i);
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

inline void renormalize_lanes(Lanes& l) noexcept {
    const __m256 q = _mm256_add_ps(_mm256_mul_ps(l.pr, l.pr), _mm256_mul_ps(l.pm, l.pm));
    const __m256 g = _mm256_div_ps(_mm256_set1_ps(1.0f), _mm256_sqrt_ps(q));
    l.pr = _mm256_mul_ps(l.pr, g);
    l.pm = _mm256_mul_ps(l.pm, g);
}

// Writes the second stage of eight channels as (re, im) pairs at `out`.
// Frames are written once and not read back here, so aligned, complete
// groups bypass the cache.
inline void record_lanes(const Lanes& l, const Mask& m, std::size_t valid,
                         Complex32* out) noexcept {
    const __m256 lo = _mm256_unpacklo_ps(l.s2r, l.s2i);  // r0 m0 r1 m1 | r4 m4 r5 m5
    const __m256 hi = _mm256_unpackhi_ps(l.s2r, l.s2i);  // r2 m2 r3 m3 | r6 m6 r7 m7
    const __m256 first = _mm256_permute2f128_ps(lo, hi, 0x20);
    const __m256 second = _mm256_permute2f128_ps(lo, hi, 0x31);
    float* p = &out->re;
    if (m.full) {
        if (reinterpret_cast<std::uintptr_t>(p) % 32 == 0) {
            _mm256_stream_ps(p, first);
            _mm256_stream_ps(p + 8, second);
        } else {
            _mm256_storeu_ps(p, first);
            _mm256_storeu_ps(p + 8, second);
        }
        return;
    }
    alignas(32) float pairs[16];
    _mm256_store_ps(pairs, first);
    _mm256_store_ps(pairs + 8, second);
    for (std::size_t j = 0; j < 2 * valid; ++j) p[j] = pairs[j];
}

// A tile of 8 * V channels from k0 (V = 1 or 2) whose state stays in
// registers for the whole run. Two independent groups hide the latency of the
// phasor rotation, which carries from one sample to the next.
template <int V>
struct Tile {
    static_assert(V == 1 || V == 2);
    std::size_t k0;
    Mask m0, m1;
    std::size_t valid0, valid1;
    // Outside the tile, whose lanes stay in registers while the table's
    // address is hidden from the optimiser.
    Factors* table;
    Lanes l0, l1;

    Tile(const Channels& c, std::size_t first, Factors* factors) noexcept
        : k0(first),
          m0(lanes_at(first, c.n)),
          m1(V == 2 ? lanes_at(first + 8, c.n) : m0),
          valid0(lanes_in_group(first, c.n, 8)),
          valid1(V == 2 ? lanes_in_group(first + 8, c.n, 8) : 0),
          table(factors) {
        l0 = load_lanes(c, k0, m0, table[0]);
        l1 = V == 2 ? load_lanes(c, k0 + 8, m1, table[V - 1]) : l0;
    }

    void store(const Channels& c) const noexcept {
        store_lanes(c, k0, m0, l0);
        if constexpr (V == 2) store_lanes(c, k0 + 8, m1, l1);
    }

    void step(const float* xp) noexcept {
        const Factors* f = table;
#if defined(__GNUC__) || defined(__clang__)
        // Hides the table's address from the optimiser once per sample, so
        // that it reads the factors as memory operands instead of hoisting
        // them into registers and spilling the state. MSVC-style compilers
        // take no GNU inline assembly and go without.
        __asm__("" : "+r"(f));
#endif
        const __m256 x = _mm256_broadcast_ss(xp);
        step_lanes(l0, x, f[0]);
        if constexpr (V == 2) step_lanes(l1, x, f[1]);
    }

    void renormalize() noexcept {
        renormalize_lanes(l0);
        if constexpr (V == 2) renormalize_lanes(l1);
    }

    void record(Complex32* row) const noexcept {
        record_lanes(l0, m0, valid0, row + k0);
        if constexpr (V == 2) record_lanes(l1, m1, valid1, row + k0 + 8);
    }
};

template <int V>
void run_tile(const Channels& c, std::size_t k0, const float* xs, std::size_t len,
              std::uint64_t count, FrameSink frames) noexcept {
    Factors table[V];
    Tile<V> t(c, k0, table);
    run_segments(t, xs, len, count, frames);
    t.store(c);
}

}  // namespace

void run_tiled(const Channels& c, const float* xs, std::size_t len, std::uint64_t count,
               FrameSink* frames) noexcept {
    if (len == 0) return;
    const FrameSink sink = frames != nullptr ? *frames : FrameSink{};
    std::size_t k = 0;
    for (; k + 8 < c.n; k += 16) run_tile<2>(c, k, xs, len, count, sink);
    if (k < c.n) run_tile<1>(c, k, xs, len, count, sink);
    advance_frames(frames, len);
    // Orders the cache-bypassing frame stores before the frames are handed on.
    if (frames != nullptr) _mm_sfence();
}

void magnitudes(const float* re, const float* im, std::size_t n, float* out) noexcept {
    for (std::size_t k = 0; k < n; k += 8) {
        const Mask m = lanes_at(k, n);
        const __m256 r = load(re + k, m);
        const __m256 i = load(im + k, m);
        store(out + k, m, _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(r, r), _mm256_mul_ps(i, i))));
    }
}

}  // namespace kavrel::kernel::avx2

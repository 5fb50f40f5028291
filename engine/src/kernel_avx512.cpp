#include <immintrin.h>

#include <cstdint>

#include "kernel.hpp"
#include "segments.hpp"

// The AVX-512 kernel: the recurrence in AVX-512F intrinsics, sixteen channels
// per register, the channels past the end of the bank masked off. Lane by
// lane it performs the operations of the AVX2 kernel and of the oracle: the
// same four fused multiply-adds, every other multiply, add, subtraction,
// square root and division rounded on its own. This is the only file of the
// engine compiled for AVX-512 (see CMakeLists.txt), and only for x86-64;
// kernel.cpp calls it only on a processor and operating system that support
// it. As in the AVX2 kernel, nothing here may be emitted as a symbol that
// another file could also define: the helpers have internal linkage and no
// standard-library function is called.
namespace kavrel::kernel::avx512 {

namespace {

constexpr std::size_t width = 16;

// The running state of sixteen channels.
struct Lanes {
    __m512 pr, pm, s1r, s1i, s2r, s2i;
};

// Loop-invariant factors of sixteen channels: alpha, 1 - alpha, beta, 1 - beta,
// rot_re, rot_im. With 32 vector registers a tile keeps them in registers
// beside its state. Forming 1 - alpha once per run gives the same bits as
// forming it every sample.
struct Factors {
    __m512 a, ka, b, kb, rr, rm;
};

// The lanes of the group at channel k that hold a channel. Absent lanes read
// as zero and are never written back.
struct Mask {
    __mmask16 bits;
    bool full;
};

// The correctly rounded square root of every lane. Written as the zero-masked
// form with every lane selected (the same instruction and bits) because GCC 12
// warns of an uninitialised value inside its header's plain _mm512_sqrt_ps.
inline __m512 sqrt_lanes(__m512 v) noexcept { return _mm512_maskz_sqrt_ps(0xffff, v); }

inline Mask lanes_at(std::size_t k, std::size_t n) noexcept {
    const std::size_t valid = lanes_in_group(k, n, width);
    return {static_cast<__mmask16>((1u << valid) - 1u), valid == width};
}

inline __m512 load(const float* p, const Mask& m) noexcept {
    return m.full ? _mm512_loadu_ps(p) : _mm512_maskz_loadu_ps(m.bits, p);
}

inline void store(float* p, const Mask& m, __m512 v) noexcept {
    if (m.full)
        _mm512_storeu_ps(p, v);
    else
        _mm512_mask_storeu_ps(p, m.bits, v);
}

inline Lanes load_lanes(const Channels& c, std::size_t k, const Mask& m, Factors& f) noexcept {
    const __m512 one = _mm512_set1_ps(1.0f);
    f.a = load(c.alpha + k, m);
    f.ka = _mm512_sub_ps(one, f.a);
    f.b = load(c.beta + k, m);
    f.kb = _mm512_sub_ps(one, f.b);
    f.rr = load(c.rot_re + k, m);
    f.rm = load(c.rot_im + k, m);
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

// One sample through sixteen channels.
inline void step_lanes(Lanes& l, __m512 x, const Factors& f) noexcept {
    const __m512 xa = _mm512_mul_ps(x, f.a);
    l.s1r = _mm512_fmadd_ps(f.ka, l.s1r, _mm512_mul_ps(xa, l.pr));
    l.s1i = _mm512_fmadd_ps(f.ka, l.s1i, _mm512_mul_ps(xa, l.pm));
    l.s2r = _mm512_fmadd_ps(f.kb, l.s2r, _mm512_mul_ps(f.b, l.s1r));
    l.s2i = _mm512_fmadd_ps(f.kb, l.s2i, _mm512_mul_ps(f.b, l.s1i));
    const __m512 npr = _mm512_sub_ps(_mm512_mul_ps(l.pr, f.rr), _mm512_mul_ps(l.pm, f.rm));
    const __m512 npm = _mm512_add_ps(_mm512_mul_ps(l.pr, f.rm), _mm512_mul_ps(l.pm, f.rr));
    l.pr = npr;
    l.pm = npm;
}

inline void renormalize_lanes(Lanes& l) noexcept {
    const __m512 q = _mm512_add_ps(_mm512_mul_ps(l.pr, l.pr), _mm512_mul_ps(l.pm, l.pm));
    const __m512 g = _mm512_div_ps(_mm512_set1_ps(1.0f), sqrt_lanes(q));
    l.pr = _mm512_mul_ps(l.pr, g);
    l.pm = _mm512_mul_ps(l.pm, g);
}

// Writes the second stage of sixteen channels as (re, im) pairs at `out`,
// only those of the channels that exist. Frames are written once and not read
// back here, so aligned, complete groups bypass the cache.
inline void record_lanes(const Lanes& l, std::size_t valid, Complex32* out) noexcept {
    const __m512i low = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    const __m512i high =
        _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
    const __m512 first = _mm512_permutex2var_ps(l.s2r, low, l.s2i);
    const __m512 second = _mm512_permutex2var_ps(l.s2r, high, l.s2i);
    float* p = &out->re;
    if (valid == width) {
        if (reinterpret_cast<std::uintptr_t>(p) % 64 == 0) {
            _mm512_stream_ps(p, first);
            _mm512_stream_ps(p + 16, second);
        } else {
            _mm512_storeu_ps(p, first);
            _mm512_storeu_ps(p + 16, second);
        }
        return;
    }
    // 2 * valid floats, fewer than 32: the first register's share, then the rest.
    const std::size_t floats = 2 * valid;
    const std::size_t in_first = floats < width ? floats : width;
    _mm512_mask_storeu_ps(p, static_cast<__mmask16>((1u << in_first) - 1u), first);
    _mm512_mask_storeu_ps(p + width, static_cast<__mmask16>((1u << (floats - in_first)) - 1u),
                          second);
}

// A tile of 16 * V channels from k0 (V = 1 or 2) whose state and factors stay
// in registers for the whole run. Two independent groups hide the latency of
// the phasor rotation, which carries from one sample to the next.
template <int V>
struct Tile {
    static_assert(V == 1 || V == 2);
    std::size_t k0;
    Mask m0, m1;
    std::size_t valid0, valid1;
    Factors f0, f1;
    Lanes l0, l1;

    Tile(const Channels& c, std::size_t first) noexcept
        : k0(first),
          m0(lanes_at(first, c.n)),
          m1(V == 2 ? lanes_at(first + width, c.n) : m0),
          valid0(lanes_in_group(first, c.n, width)),
          valid1(V == 2 ? lanes_in_group(first + width, c.n, width) : 0) {
        l0 = load_lanes(c, k0, m0, f0);
        if constexpr (V == 2) l1 = load_lanes(c, k0 + width, m1, f1);
    }

    void store(const Channels& c) const noexcept {
        store_lanes(c, k0, m0, l0);
        if constexpr (V == 2) store_lanes(c, k0 + width, m1, l1);
    }

    void step(const float* xp) noexcept {
        const __m512 x = _mm512_set1_ps(*xp);
        step_lanes(l0, x, f0);
        if constexpr (V == 2) step_lanes(l1, x, f1);
    }

    void renormalize() noexcept {
        renormalize_lanes(l0);
        if constexpr (V == 2) renormalize_lanes(l1);
    }

    void record(Complex32* row) const noexcept {
        record_lanes(l0, valid0, row + k0);
        if constexpr (V == 2) record_lanes(l1, valid1, row + k0 + width);
    }
};

template <int V>
void run_tile(const Channels& c, std::size_t k0, const float* xs, std::size_t len,
              std::uint64_t count, FrameSink frames) noexcept {
    Tile<V> t(c, k0);
    run_segments(t, xs, len, count, frames);
    t.store(c);
}

}  // namespace

void run_tiled(const Channels& c, const float* xs, std::size_t len, std::uint64_t count,
               FrameSink* frames) noexcept {
    if (len == 0) return;
    const FrameSink sink = frames != nullptr ? *frames : FrameSink{};
    std::size_t k = 0;
    for (; k + width < c.n; k += 2 * width) run_tile<2>(c, k, xs, len, count, sink);
    if (k < c.n) run_tile<1>(c, k, xs, len, count, sink);
    advance_frames(frames, len);
    // Orders the cache-bypassing frame stores before the frames are handed on.
    if (frames != nullptr) _mm_sfence();
}

void magnitudes(const float* re, const float* im, std::size_t n, float* out) noexcept {
    for (std::size_t k = 0; k < n; k += width) {
        const Mask m = lanes_at(k, n);
        const __m512 r = load(re + k, m);
        const __m512 i = load(im + k, m);
        store(out + k, m, sqrt_lanes(_mm512_add_ps(_mm512_mul_ps(r, r), _mm512_mul_ps(i, i))));
    }
}

}  // namespace kavrel::kernel::avx512

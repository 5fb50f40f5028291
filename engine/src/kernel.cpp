// The choice of kernel: once per process, from the processor's features. This
// file is compiled for the baseline instruction set of its target, so it runs
// on every processor, including those that lack what the fast kernel needs.
#include "kernel.hpp"

#include <atomic>
#include <cstdint>

// Only an x86-64 build with the vector kernels asks the processor anything.
#if (defined(__x86_64__) || defined(_M_X64)) && defined(KAVREL_X86_KERNELS)
#define KAVREL_CHECK_X86 1
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace kavrel {

namespace kernel {

namespace {

constexpr Implementation portable_impl{KernelKind::portable, portable::run_tiled,
                                       portable::magnitudes};
#ifdef KAVREL_X86_KERNELS
constexpr Implementation avx2_impl{KernelKind::avx2, avx2::run_tiled, avx2::magnitudes};
constexpr Implementation avx512_impl{KernelKind::avx512, avx512::run_tiled, avx512::magnitudes};
#endif

#ifdef KAVREL_CHECK_X86
// CPUID leaf 1: ECX bits 12 (FMA), 27 (OSXSAVE), 28 (AVX); leaf 7: EBX bits 5
// (AVX2) and 16 (AVX512F).
constexpr std::uint32_t fma_bit = 1u << 12, osxsave_bit = 1u << 27, avx_bit = 1u << 28;
constexpr std::uint32_t avx2_bit = 1u << 5, avx512f_bit = 1u << 16;
// XCR0: the operating system saves the SSE and AVX state (bits 1, 2), and the
// AVX-512 state: opmask registers, upper halves of ZMM0-15, ZMM16-31 (bits 5-7).
constexpr std::uint64_t ymm_state = 0x6, zmm_state = 0xe0;

#if defined(_MSC_VER) && !defined(__clang__)
bool cpuid(unsigned leaf, std::uint32_t (&r)[4]) noexcept {
    int v[4];
    __cpuid(v, 0);
    if (static_cast<unsigned>(v[0]) < leaf) return false;
    __cpuidex(v, static_cast<int>(leaf), 0);
    for (int i = 0; i < 4; ++i) r[i] = static_cast<std::uint32_t>(v[i]);
    return true;
}

std::uint64_t read_xcr0() noexcept { return _xgetbv(0); }
#else
bool cpuid(unsigned leaf, std::uint32_t (&r)[4]) noexcept {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_max(0, nullptr) < leaf || __get_cpuid_count(leaf, 0, &a, &b, &c, &d) == 0)
        return false;
    r[0] = a;
    r[1] = b;
    r[2] = c;
    r[3] = d;
    return true;
}

// The extended control register XCR0; only valid when CPUID reports OSXSAVE.
std::uint64_t read_xcr0() noexcept {
    std::uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}
#endif

// What the processor and the operating system offer the vector kernels.
struct Features {
    // AVX, AVX2 and FMA, their register state saved by the operating system
    // (without which AVX instructions fault).
    bool avx2 = false;
    // AVX512F as well, and its register state saved.
    bool avx512 = false;
    // An AMD processor of family 19h (Zen 3 and Zen 4; only Zen 4 has
    // AVX-512), which executes each 512-bit operation as two 256-bit halves.
    bool splits_512 = false;
};

Features features() noexcept {
    Features f;
    std::uint32_t r0[4] = {}, r1[4] = {}, r7[4] = {};
    if (!cpuid(0, r0) || !cpuid(1, r1) || !cpuid(7, r7)) return f;
    const std::uint32_t need = fma_bit | osxsave_bit | avx_bit;
    if ((r1[2] & need) != need || (r7[1] & avx2_bit) == 0) return f;
    const std::uint64_t xcr0 = read_xcr0();
    f.avx2 = (xcr0 & ymm_state) == ymm_state;
    f.avx512 = f.avx2 && (r7[1] & avx512f_bit) != 0 && (xcr0 & zmm_state) == zmm_state;
    // Vendor "AuthenticAMD" in EBX, EDX, ECX; the family is the base family
    // (EAX bits 8-11) plus the extended family (bits 20-27).
    const bool amd = r0[1] == 0x68747541u && r0[3] == 0x69746e65u && r0[2] == 0x444d4163u;
    const std::uint32_t family = ((r1[0] >> 8) & 0xfu) + ((r1[0] >> 20) & 0xffu);
    f.splits_512 = amd && family == 0x19;
    return f;
}
#endif

// The rule: AVX-512 where the processor runs 512-bit operations at full
// width, AVX2 where it has AVX-512 but splits each 512-bit operation into two
// 256-bit halves and the AVX-512 kernel is not faster there (measured with
// bench/kernels.py), AVX2 where it has AVX2 and FMA, the portable kernel
// elsewhere.
const Implementation& choose() noexcept {
#ifdef KAVREL_CHECK_X86
    const Features f = features();
    if (f.avx512 && !f.splits_512) return avx512_impl;
    if (f.avx2) return avx2_impl;
#endif
    return portable_impl;
}

std::atomic<const Implementation*> in_use{nullptr};

}  // namespace

const Implementation* find(KernelKind kind) noexcept {
    if (kind == KernelKind::portable) return &portable_impl;
#ifdef KAVREL_CHECK_X86
    const Features f = features();
    if (kind == KernelKind::avx2 && f.avx2) return &avx2_impl;
    if (kind == KernelKind::avx512 && f.avx512) return &avx512_impl;
#endif
    return nullptr;
}

const Implementation& active() noexcept {
    const Implementation* impl = in_use.load(std::memory_order_acquire);
    if (impl != nullptr) return *impl;
    // Threads that race here compute the same choice; the first store wins.
    const Implementation* chosen = &choose();
    return in_use.compare_exchange_strong(impl, chosen, std::memory_order_acq_rel) ? *chosen
                                                                                   : *impl;
}

void use(const Implementation& impl) noexcept { in_use.store(&impl, std::memory_order_release); }

}  // namespace kernel

KernelKind active_kernel() noexcept { return kernel::active().kind; }

const char* kernel_name(KernelKind kind) noexcept {
    switch (kind) {
    case KernelKind::avx2:
        return "avx2";
    case KernelKind::avx512:
        return "avx512";
    case KernelKind::portable:
        break;
    }
    return "portable";
}

}  // namespace kavrel

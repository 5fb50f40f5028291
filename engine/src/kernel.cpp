// The choice of kernel: once per process, from the processor's features. This
// file is compiled for the baseline instruction set of its target, so it runs
// on every processor, including those that lack what the fast kernel needs.
#include "kernel.hpp"

#include <atomic>
#include <cstdint>

// Only an x86-64 build with the AVX2 kernel asks the processor anything.
#if (defined(__x86_64__) || defined(_M_X64)) && defined(KAVREL_AVX2_KERNEL)
#define KAVREL_CHECK_AVX2 1
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
#ifdef KAVREL_AVX2_KERNEL
constexpr Implementation avx2_impl{KernelKind::avx2, avx2::run_tiled, avx2::magnitudes};
#endif

#ifdef KAVREL_CHECK_AVX2
// CPUID leaf 1: ECX bits 12 (FMA), 27 (OSXSAVE), 28 (AVX); leaf 7: EBX bit 5 (AVX2).
constexpr std::uint32_t fma_bit = 1u << 12, osxsave_bit = 1u << 27, avx_bit = 1u << 28;
constexpr std::uint32_t avx2_bit = 1u << 5;

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

// AVX, AVX2 and FMA, and an operating system that saves the SSE and AVX
// register state (XCR0 bits 1 and 2) on context switches, without which AVX
// instructions fault.
bool has_avx2_and_fma() noexcept {
    std::uint32_t r1[4] = {}, r7[4] = {};
    if (!cpuid(1, r1) || !cpuid(7, r7)) return false;
    const std::uint32_t need = fma_bit | osxsave_bit | avx_bit;
    if ((r1[2] & need) != need || (r7[1] & avx2_bit) == 0) return false;
    return (read_xcr0() & 0x6) == 0x6;
}
#endif

const Implementation& choose() noexcept {
#ifdef KAVREL_CHECK_AVX2
    if (has_avx2_and_fma()) return avx2_impl;
#endif
    return portable_impl;
}

std::atomic<const Implementation*> in_use{nullptr};

}  // namespace

const Implementation* find(KernelKind kind) noexcept {
    if (kind == KernelKind::portable) return &portable_impl;
#ifdef KAVREL_CHECK_AVX2
    if (kind == KernelKind::avx2 && has_avx2_and_fma()) return &avx2_impl;
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
    return kind == KernelKind::avx2 ? "avx2" : "portable";
}

}  // namespace kavrel

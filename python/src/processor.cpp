#include "processor.hpp"

#if !defined(__x86_64__)
#error "kavrel is built for x86-64 processors only"
#endif

#include <cpuid.h>

#include <cstdint>
#include <cstring>

#include "call.hpp"

namespace kavrel::py {

namespace {

// The extended control register XCR0; only valid when CPUID reports OSXSAVE.
std::uint64_t read_xcr0() noexcept {
    std::uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}

}  // namespace

void require_vector_instructions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    bool avx = false, fma = false, osxsave = false, avx2 = false;
    if (__get_cpuid(1, &a, &b, &c, &d) != 0) {
        avx = (c & bit_AVX) != 0;
        fma = (c & bit_FMA) != 0;
        osxsave = (c & bit_OSXSAVE) != 0;
    }
    if (__get_cpuid_max(0, nullptr) >= 7 && __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0)
        avx2 = (b & bit_AVX2) != 0;
    // The operating system must save the SSE and AVX register state (XCR0 bits
    // 1 and 2) on context switches, or AVX instructions fault.
    const bool ymm_saved = osxsave && (read_xcr0() & 0x6) == 0x6;

    const char* lacks[4];
    int count = 0;
    if (!avx) lacks[count++] = "AVX";
    if (!avx2) lacks[count++] = "AVX2";
    if (!fma) lacks[count++] = "FMA";
    if (!ymm_saved) lacks[count++] = "operating-system support for the AVX registers";
    if (count == 0) return;
    // Plain C strings: nothing here may run code that the engine's objects
    // share with this file and that could have been compiled for AVX.
    char missing[160] = "";
    for (int k = 0; k < count; ++k) {
        if (k > 0) std::strcat(missing, k + 1 == count ? " and " : ", ");
        std::strcat(missing, lacks[k]);
    }
    PyErr_Format(PyExc_ImportError,
                 "kavrel needs an x86-64 processor with AVX2 and FMA; this one lacks %s.", missing);
    throw PyError{};
}

}  // namespace kavrel::py

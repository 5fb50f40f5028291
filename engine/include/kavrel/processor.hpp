// Which implementation of the per-sample recurrence the engine runs on this
// processor. Every implementation gives the same bits; they differ in speed.
#pragma once

namespace kavrel {

enum class KernelKind {
    // Plain C++, for every processor.
    portable,
    // AVX2 and FMA intrinsics, for x86-64 processors that have them.
    avx2,
    // AVX-512F intrinsics, for x86-64 processors that run 512-bit operations
    // at full width.
    avx512,
};

// The implementation in use. It is chosen once per process, on the first call
// of this function or of any computation of a bank: avx512 on an x86-64
// processor with AVX-512F whose operating system saves the 512-bit registers,
// unless the processor splits 512-bit operations into 256-bit halves (AMD
// family 19h); else avx2 on an x86-64 processor with AVX2 and FMA whose
// operating system saves the 256-bit registers; portable everywhere else. Safe to call from any
// thread; calling it at start-up makes the choice there rather than in the first computation.
KernelKind active_kernel() noexcept;

// "portable", "avx2" or "avx512".
const char* kernel_name(KernelKind kind) noexcept;

}  // namespace kavrel

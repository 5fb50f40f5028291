// Which implementation of the per-sample recurrence the engine runs on this
// processor. Every implementation gives the same bits; they differ in speed.
#pragma once

namespace kavrel {

enum class KernelKind {
    // Plain C++, for every processor.
    portable,
    // AVX2 and FMA intrinsics, for x86-64 processors that have them.
    avx2,
};

// The implementation in use. It is chosen once per process, on the first call
// of this function or of any computation of a bank: avx2 on an x86-64
// processor with AVX2 and FMA whose operating system saves the 256-bit
// registers, portable everywhere else. Safe to call from any thread; calling
// it at start-up makes the choice there rather than in the first computation.
KernelKind active_kernel() noexcept;

// "portable" or "avx2".
const char* kernel_name(KernelKind kind) noexcept;

}  // namespace kavrel

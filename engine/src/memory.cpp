#include "kavrel/memory.hpp"

#include <cstdio>

#if defined(__linux__)
#include <stdlib.h>
#include <sys/mman.h>
#endif

namespace kavrel {

#if defined(__linux__)
namespace {

// On Linux, large buffers (frame pictures of big banks) are aligned to 2 MiB
// and offered to the operating system as candidates for huge pages: filling
// them then costs a few page faults instead of one per 4 KiB.
constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t huge_threshold = std::size_t{4} << 20;

}  // namespace
#endif

// The message is formatted into the object itself: a failure to allocate must
// not need an allocation to be reported.
AllocationError::AllocationError(std::size_t bytes) noexcept : bytes_(bytes) {
    std::snprintf(message_, sizeof message_, "memory allocation of %zu bytes failed", bytes);
}

const char* AllocationError::what() const noexcept { return message_; }

void* allocate(std::size_t bytes) {
#if defined(__linux__)
    if (bytes >= huge_threshold) {
        void* p = nullptr;
        if (posix_memalign(&p, huge_page, bytes) != 0) throw AllocationError(bytes);
        madvise(p, bytes - bytes % huge_page, MADV_HUGEPAGE);
        return p;
    }
#endif
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw AllocationError(bytes);
    return p;
}

}  // namespace kavrel

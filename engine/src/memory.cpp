#include "kavrel/memory.hpp"

#include <cstdio>

namespace kavrel {

void allocation_failed(std::size_t bytes) noexcept {
    std::fprintf(stderr, "memory allocation of %zu bytes failed\n", bytes);
    std::fflush(stderr);
    std::abort();
}

void* allocate(std::size_t bytes) noexcept {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) allocation_failed(bytes);
    return p;
}

}  // namespace kavrel

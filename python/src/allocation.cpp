// Global allocation for the extension module: exhausted memory ends the
// process with "memory allocation of {n} bytes failed", as for every buffer,
// instead of unwinding as std::bad_alloc. These definitions stay local to the
// module (only PyInit_kavrel is exported), so they do not affect the host.
#include <cstdlib>
#include <new>

#include "kavrel/memory.hpp"

void* operator new(std::size_t size) { return kavrel::allocate(size); }
void* operator new[](std::size_t size) { return kavrel::allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

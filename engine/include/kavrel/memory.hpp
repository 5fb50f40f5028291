// Owned buffers of plain values, and the exception for a request that memory
// cannot satisfy.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

namespace kavrel {

// A buffer of `bytes()` bytes could not be allocated (SIZE_MAX when the size
// itself overflows); what() is "memory allocation of {bytes} bytes failed".
class AllocationError : public std::bad_alloc {
public:
    explicit AllocationError(std::size_t bytes)
        : bytes_(bytes), what_("memory allocation of " + std::to_string(bytes) + " bytes failed") {}
    std::size_t bytes() const noexcept { return bytes_; }
    const char* what() const noexcept override { return what_.c_str(); }

private:
    std::size_t bytes_;
    std::string what_;
};

// Throws AllocationError(bytes).
[[noreturn]] void allocation_failed(std::size_t bytes);

// malloc that never returns null: exhausted memory throws AllocationError.
// A request of zero bytes still yields a distinct, freeable pointer.
void* allocate(std::size_t bytes);

// A move-only, heap-owned array of trivially copyable values.
template <class T>
class Buffer {
public:
    Buffer() noexcept = default;

    // Uninitialised storage for `len` elements; `len` == 0 allocates nothing.
    explicit Buffer(std::size_t len) : len_(len) {
        if (len != 0) {
            if (len > static_cast<std::size_t>(-1) / sizeof(T)) allocation_failed(static_cast<std::size_t>(-1));
            ptr_ = static_cast<T*>(allocate(len * sizeof(T)));
        }
    }

    Buffer(std::size_t len, T fill) : Buffer(len) {
        for (std::size_t i = 0; i < len; ++i) ptr_[i] = fill;
    }

    Buffer(Buffer&& other) noexcept
        : ptr_(std::exchange(other.ptr_, nullptr)), len_(std::exchange(other.len_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            std::free(ptr_);
            ptr_ = std::exchange(other.ptr_, nullptr);
            len_ = std::exchange(other.len_, 0);
        }
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(ptr_); }

    T* data() noexcept { return ptr_; }
    const T* data() const noexcept { return ptr_; }
    std::size_t size() const noexcept { return len_; }
    T& operator[](std::size_t i) noexcept { return ptr_[i]; }
    const T& operator[](std::size_t i) const noexcept { return ptr_[i]; }

    // Gives up ownership; the caller frees the pointer with std::free.
    T* release() noexcept {
        len_ = 0;
        return std::exchange(ptr_, nullptr);
    }

private:
    T* ptr_ = nullptr;
    std::size_t len_ = 0;
};

using FloatBuffer = Buffer<float>;

}  // namespace kavrel

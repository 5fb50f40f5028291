// Owned buffers of plain values, and the failure they raise when memory runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace kavrel {

// Thrown when a buffer cannot be allocated; the engine never aborts for it.
class AllocationError : public std::bad_alloc {
public:
    explicit AllocationError(std::size_t bytes) noexcept;

    // The size requested; SIZE_MAX when computing the size itself overflowed.
    std::size_t bytes() const noexcept { return bytes_; }
    // "memory allocation of {bytes} bytes failed"
    const char* what() const noexcept override;

private:
    std::size_t bytes_;
    char message_[64];
};

// malloc that throws AllocationError instead of returning null. A request of
// zero bytes still yields a distinct pointer; free it with std::free.
void* allocate(std::size_t bytes);

// A move-only, heap-owned array of trivially copyable values.
template <class T>
class Buffer {
public:
    Buffer() noexcept = default;

    // Uninitialised storage for `len` elements; `len` == 0 allocates nothing.
    // Throws AllocationError.
    explicit Buffer(std::size_t len)
        : ptr_(len == 0 ? nullptr : static_cast<T*>(allocate(bytes_for(len)))),
          len_(len) {}

    // `len` copies of `fill`. Throws AllocationError.
    Buffer(std::size_t len, T fill) : Buffer(len) {
        for (std::size_t i = 0; i < len; ++i) ptr_[i] = fill;
    }

    Buffer(Buffer&& other) noexcept
        : ptr_(std::exchange(other.ptr_, nullptr)),
          len_(std::exchange(other.len_, 0)) {}
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
    // Unchecked element access.
    T& operator[](std::size_t i) noexcept { return ptr_[i]; }
    const T& operator[](std::size_t i) const noexcept { return ptr_[i]; }

    // Gives up ownership; the caller frees the pointer with std::free.
    T* release() noexcept {
        len_ = 0;
        return std::exchange(ptr_, nullptr);
    }

private:
    static std::size_t bytes_for(std::size_t len) {
        if (len > SIZE_MAX / sizeof(T)) throw AllocationError(SIZE_MAX);
        return len * sizeof(T);
    }

    T* ptr_ = nullptr;
    std::size_t len_ = 0;
};

using FloatBuffer = Buffer<float>;

}  // namespace kavrel

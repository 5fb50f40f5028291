// NumPy arrays in and out: the C-API table acquired on first use, read-only
// borrows of one-dimensional float32 inputs, and zero-copy results.
#pragma once

#include <cstddef>
#include <span>

#include "call.hpp"
#include "kavrel/bank.hpp"
#include "kavrel/memory.hpp"

namespace kavrel::py {

// A one-dimensional float32 array borrowed read-only for (part of) one call.
class ArrayBorrow {
public:
    ArrayBorrow() noexcept = default;
    explicit ArrayBorrow(Ref array) noexcept : array_(std::move(array)) {}

    std::size_t size() const noexcept;
    // The elements as one contiguous run; TypeError "The given array is not
    // contiguous or is misaligned." for a non-empty array that is not.
    std::span<const float> elements() const;
    // Ends the borrow early (it ends with the object otherwise).
    void release() noexcept { array_ = Ref(); }

private:
    Ref array_;
};

// Borrows `obj` as a 1-D float32 array; refusals get the note naming `name`.
ArrayBorrow array_arg(PyObject* obj, const char* name);

// A new 1-D float32 array that takes over `values` without a copy.
PyObject* array_result(FloatBuffer values);
// A new (frames, channels) complex64 array that takes over the frame buffer.
PyObject* complex_matrix_result(ComplexFrames frames);

}  // namespace kavrel::py

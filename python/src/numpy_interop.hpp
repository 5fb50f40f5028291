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
//
// Everything the body reads is fixed when the argument passes its checks: the
// data pointer, the length and whether the elements form one aligned run. The
// conversions of later arguments run user code (__index__, __float__) that can
// change the array object in place: reassign its dtype, shape or strides.
// None of these moves or frees the memory, so the recorded run stays exactly
// the elements that were checked. The borrow holds the array and its base
// (NumPy makes the base of a view the array or object that owns the memory).
// What could still release the memory is what NumPy itself calls unsafe (a
// resize of the array or its base without the reference check, assigning
// `data` under NumPy 1); elements() refuses the run then.
class ArrayBorrow {
public:
    ArrayBorrow() noexcept = default;

    // The checked elements as one contiguous run; TypeError "The given array
    // is not contiguous or is misaligned." for a non-empty array that was not
    // one, BufferError if the array's memory has been reallocated since.
    std::span<const float> elements() const;
    // Ends the borrow early (it ends with the object otherwise).
    void release() noexcept { *this = ArrayBorrow(); }

private:
    friend ArrayBorrow array_arg(PyObject* obj, const char* name);

    Ref array_;
    Ref owner_;                         // the array's base, if any
    const char* owner_data_ = nullptr;  // its data pointer, if it is an array
    const float* data_ = nullptr;
    std::size_t size_ = 0;
    bool one_run_ = false;
};

// Borrows `obj` as a 1-D float32 array; refusals get the note naming `name`.
ArrayBorrow array_arg(PyObject* obj, const char* name);

// A new 1-D float32 array that takes over `values` without a copy.
PyObject* array_result(FloatBuffer values);
// A new (frames, channels) complex64 array that takes over the frame buffer.
PyObject* complex_matrix_result(ComplexFrames frames);

}  // namespace kavrel::py

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
// data pointer, the length and whether the elements form one aligned run.
// Reading that run in place later is sound only if no code of the caller's
// runs in between. The conversion of a later argument of the same call can run
// such code (a __float__ or __index__), and that code can free the memory
// through whatever owns it, however far up a chain of owners (NumPy's
// unchecked resize of an array under a memoryview, a resized ctypes buffer),
// with nothing on the array itself to tell. So every entry point calls
// before_converting() with each later argument before converting it: unless
// that conversion certainly runs no code of the caller's, the checked elements
// are copied into memory of the borrow's own first. Either way the body reads
// exactly the elements that passed the checks, whatever the caller's code does
// to the array (its dtype, shape, values or memory); ordinary calls, whose
// later arguments are plain numbers, read the array in place.
class ArrayBorrow {
public:
    ArrayBorrow() noexcept = default;

    // The checked elements as one contiguous run; TypeError "The given array
    // is not contiguous or is misaligned." for a non-empty array that was not one.
    std::span<const float> elements() const;
    // To be called before converting `later`, an argument after this array:
    // copies the checked elements out of the array's reach unless converting
    // `later` certainly runs no code of the caller's.
    void before_converting(PyObject* later);
    // Ends the borrow early (it ends with the object otherwise).
    void release() noexcept { *this = ArrayBorrow(); }

private:
    friend ArrayBorrow array_arg(PyObject* obj, const char* name);

    Ref array_;
    FloatBuffer copy_;  // the checked elements, once taken out of the array's reach
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

#include "numpy_interop.hpp"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "numpy_abi.hpp"

namespace kavrel::py {

namespace abi = numpy_abi;

namespace {

// ---- The C-API table -------------------------------------------------------

std::atomic<void**> api_table{nullptr};

void** fetch_api_table() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    Ref lib = Ref::steal(PyObject_GetAttrString(numpy.get(), "lib"));
    Ref parsed = Ref::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
    Ref major = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
    const long major_value = PyLong_AsLong(major.get());
    if (major_value == -1 && PyErr_Occurred() != nullptr) throw PyError{};
    const char* multiarray = major_value > 1 ? "numpy._core.multiarray" : "numpy.core.multiarray";

    Ref module = Ref::steal(PyImport_ImportModule(multiarray));
    Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get())) type_error(capsule.get(), "PyCapsule");
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) throw PyError{};

    const unsigned abi_version =
        reinterpret_cast<abi::VersionFn>(table[abi::slot::GetNDArrayCVersion])();
    if (abi_version > abi::ABI_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     abi::ABI_VERSION, abi_version);
        throw PyError{};
    }
    const unsigned feature =
        reinterpret_cast<abi::VersionFn>(table[abi::slot::GetNDArrayCFeatureVersion])();
    if (feature <= abi::MIN_FEATURE_VERSION) {
        PyErr_Format(
            PyExc_RuntimeError,
            "module was compiled against NumPy C-API version 0x%x (NumPy 1.13) but the running "
            "NumPy has C-API version 0x%x",
            abi::MIN_FEATURE_VERSION, feature);
        throw PyError{};
    }
    if (reinterpret_cast<abi::EndiannessFn>(table[abi::slot::GetEndianness])() !=
        abi::NPY_CPU_LITTLE)
        raise(PyExc_RuntimeError,
              "module compiled as little endian, but detected different endianness at runtime");
    return table;
}

// The table, acquired on first use; a failure is an internal failure and the
// next call tries again.
void** numpy_api(std::source_location where = std::source_location::current()) {
    if (void** table = api_table.load(std::memory_order_acquire)) return table;
    void** table = nullptr;
    try {
        table = fetch_api_table();
    } catch (const PyError&) {
        panic(describe_pending("Failed to access NumPy array API capsule"), where);
    }
    api_table.store(table, std::memory_order_release);
    return table;
}

template <class Fn>
Fn api(int slot) {
    return reinterpret_cast<Fn>(api_table.load(std::memory_order_relaxed)[slot]);
}

PyTypeObject* array_type() {
    return static_cast<PyTypeObject*>(api_table.load(std::memory_order_relaxed)[abi::slot::Type]);
}

// A descriptor of a builtin type: a new reference.
PyObject* descr(int type_num) {
    return check(api<abi::DescrFromTypeFn>(abi::slot::DescrFromType)(type_num));
}

const abi::ArrayObject* fields(PyObject* array) {
    return reinterpret_cast<const abi::ArrayObject*>(array);
}

// Whether converting `obj` to a number (to_double, to_index) certainly runs no
// code of the caller's: an int or a float (not of a subclass), or one of
// NumPy's own integer, float32 and float64 scalars (not of a subclass), whose
// conversions are NumPy's C code and warn of nothing.
bool converts_without_code(PyObject* obj) {
    if (PyLong_CheckExact(obj) || PyFloat_CheckExact(obj)) return true;
    void** table = api_table.load(std::memory_order_relaxed);
    for (int s = abi::slot::FirstIntegerScalarType; s <= abi::slot::DoubleScalarType; ++s)
        if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) == table[s]) return true;
    return false;
}

// ---- The result holder -----------------------------------------------------

// A capsule owns one buffer allocated by this module and frees it when the
// last array that uses it goes away. The capsule type is the interpreter's
// own static type, which its instances do not hold a reference to; a heap
// type defined by this module would have its reference count raised and
// lowered by every result, and without the GIL threads making results in
// parallel would contend for that one count.
constexpr const char* holder_name = "kavrel result buffer";

void free_held(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, holder_name)); }

// A holder that owns `buffer` (freed here if the holder cannot be made).
PyObject* make_holder(void* buffer, std::source_location where = std::source_location::current()) {
    PyObject* holder = PyCapsule_New(buffer, holder_name, free_held);
    if (holder == nullptr) {
        std::free(buffer);
        panic(describe_pending("could not create the result holder"), where);
    }
    return holder;
}

// A 1-D array of `len` elements of `type_num` over `data`, kept alive by a new
// holder. The C-API table must have been acquired.
Ref wrap_buffer(void* data, int type_num, abi::npy_intp len, abi::npy_intp itemsize,
                std::source_location where = std::source_location::current()) {
    if (data == nullptr) data = allocate(0);  // NumPy would allocate its own memory for null
    PyObject* holder = make_holder(data, where);
    PyObject* d = api<abi::DescrFromTypeFn>(abi::slot::DescrFromType)(type_num);
    PyObject* array = nullptr;
    if (d != nullptr) {
        const abi::npy_intp dims[1] = {len};
        const abi::npy_intp strides[1] = {itemsize};
        array = api<abi::NewFromDescrFn>(abi::slot::NewFromDescr)(array_type(), d, 1, dims, strides,
                                                                  data, abi::WRITEABLE, nullptr);
    }
    if (array == nullptr) {
        if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(nullptr);
        Py_DecRef(holder);
        panic("PyObject pointer is null", where);
    }
    // Steals the holder, also on failure.
    if (api<abi::SetBaseObjectFn>(abi::slot::SetBaseObject)(array, holder) < 0) {
        Py_DecRef(array);
        throw PyError{};
    }
    return Ref::steal(array);
}

}  // namespace

// ---- Input arrays ----------------------------------------------------------

ArrayBorrow array_arg(PyObject* obj, const char* name) {
    numpy_api();
    return argument(name, [&] {
        type_check(obj, array_type(), "ndarray");
        const abi::ArrayObject* a = fields(obj);
        if (a->nd != 1) type_error(obj, "ndarray");
        Ref f32 = Ref::steal(descr(abi::NPY_FLOAT));
        if (a->descr != f32.get() &&
            !api<abi::EquivTypesFn>(abi::slot::EquivTypes)(a->descr, f32.get()))
            type_error(obj, "ndarray");
        ArrayBorrow borrow;
        borrow.array_ = Ref::borrow(obj);
        borrow.data_ = reinterpret_cast<const float*>(a->data);
        borrow.size_ = static_cast<std::size_t>(a->dimensions[0]);
        borrow.one_run_ = (a->flags & (abi::C_CONTIGUOUS | abi::F_CONTIGUOUS)) != 0 &&
                          (a->flags & abi::ALIGNED) != 0 && a->data != nullptr;
        return borrow;
    });
}

std::span<const float> ArrayBorrow::elements() const {
    if (size_ == 0) return {};
    if (!one_run_) raise(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return {data_, size_};
}

void ArrayBorrow::before_converting(PyObject* later) {
    // A run that is refused or already copied is never read from the array.
    if (size_ == 0 || !one_run_ || copy_.size() != 0 || converts_without_code(later)) return;
    FloatBuffer copy(size_);
    std::memcpy(copy.data(), data_, size_ * sizeof(float));
    copy_ = std::move(copy);
    data_ = copy_.data();
}

// ---- Results ---------------------------------------------------------------

PyObject* array_result(FloatBuffer values) {
    numpy_api();  // before the buffer changes hands, so that a failure frees it
    const auto len = static_cast<abi::npy_intp>(values.size());
    return wrap_buffer(values.release(), abi::NPY_FLOAT, len, sizeof(float)).release();
}

PyObject* complex_matrix_result(ComplexFrames frames) {
    numpy_api();
    abi::npy_intp shape[2] = {static_cast<abi::npy_intp>(frames.frames),
                              static_cast<abi::npy_intp>(frames.channels)};
    const auto len = static_cast<abi::npy_intp>(frames.values.size());
    Ref flat = wrap_buffer(frames.values.release(), abi::NPY_CFLOAT, len, sizeof(Complex32));
    abi::Dims dims{shape, 2};
    return check(api<abi::NewshapeFn>(abi::slot::Newshape)(flat.get(), &dims, abi::NPY_ANYORDER));
}

}  // namespace kavrel::py

// The few facts of NumPy's binary interface that this module relies on. They
// are stable across NumPy 1.x and 2.x; NumPy's own headers are not needed to build.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kavrel::numpy_abi {

using npy_intp = Py_ssize_t;

// The leading fields of every ndarray object (unchanged since NumPy 1.7).
struct ArrayObject {
    PyObject ob_base;
    char* data;            // first element
    int nd;                // number of dimensions
    npy_intp* dimensions;  // shape
    npy_intp* strides;     // bytes between elements, per dimension
    PyObject* base;        // object that keeps the data alive
    PyObject* descr;       // element type descriptor
    int flags;             // NPY_ARRAY_* flags below
};

// Argument of PyArray_Newshape: a shape as pointer and length.
struct Dims {
    npy_intp* ptr;
    int len;
};

// Array flags.
constexpr int C_CONTIGUOUS = 0x0001;
constexpr int F_CONTIGUOUS = 0x0002;
constexpr int ALIGNED = 0x0100;
constexpr int WRITEABLE = 0x0400;

// Element type numbers.
constexpr int NPY_FLOAT = 11;   // float32
constexpr int NPY_CFLOAT = 14;  // complex64

constexpr int NPY_ANYORDER = -1;   // reshape order: keep the layout
constexpr int NPY_CPU_LITTLE = 1;  // PyArray_GetEndianness result
// Highest NumPy ABI version this module handles, lowest C-API feature version.
constexpr unsigned int ABI_VERSION = 0x2000000;
constexpr unsigned int MIN_FEATURE_VERSION = 11;

// Slots of the C-API table (the `_ARRAY_API` capsule) and their signatures.
namespace slot {
constexpr int GetNDArrayCVersion = 0;  // unsigned int (void)
constexpr int Type = 2;                // PyTypeObject PyArray_Type
// NumPy's scalar types, each a PyTypeObject: the ten C integer types (signed
// char to unsigned long long) in slots 20 to 29, float32 in 30, float64 in 31.
constexpr int FirstIntegerScalarType = 20;
constexpr int DoubleScalarType = 31;
constexpr int DescrFromType = 45;               // PyObject* descr (int type)
constexpr int NewFromDescr = 94;                // see NewFromDescrFn
constexpr int Newshape = 135;                   // PyObject* (array, Dims*, order)
constexpr int EquivTypes = 182;                 // unsigned char (descr, descr)
constexpr int GetEndianness = 210;              // int (void)
constexpr int GetNDArrayCFeatureVersion = 211;  // unsigned int (void)
constexpr int SetBaseObject = 282;              // int (array, steals obj)
}  // namespace slot

using VersionFn = unsigned int (*)();
using DescrFromTypeFn = PyObject* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject* descr_stolen, int nd,
                                     const npy_intp* dims, const npy_intp* strides, void* data,
                                     int flags, PyObject* obj);
using NewshapeFn = PyObject* (*)(PyObject*, Dims*, int order);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);
using EndiannessFn = int (*)();
using SetBaseObjectFn = int (*)(PyObject*, PyObject* obj_stolen);

}  // namespace kavrel::numpy_abi

"""Single-precision reference arithmetic, independent of kavrel.

Scalar functions call the C library's float functions through ctypes; the
array forms apply them element by element. Basic operations (+, -, *, /,
sqrt) on NumPy float32 values are correctly rounded IEEE operations, which is
what the reference needs; fma goes through the C library's fmaf.
"""

import ctypes
import ctypes.util
import sys

import numpy as np


def _c_library():
    """The platform's C library, whose float functions define kavrel's results:
    the UCRT on Windows, libm (libSystem on macOS) elsewhere. Where no libm is
    found by name, the symbols already loaded into the interpreter, which links
    the C library's math."""
    if sys.platform == "win32":
        return ctypes.CDLL("ucrtbase")
    name = ctypes.util.find_library("m")
    return ctypes.CDLL(name) if name else ctypes.CDLL(None)


_libm = _c_library()

for _name in ("cosf", "sinf", "expf", "exp2f", "logf", "log10f", "sqrtf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]
_libm.atan2f.restype = ctypes.c_float
_libm.atan2f.argtypes = [ctypes.c_float, ctypes.c_float]
_libm.fmaf.restype = ctypes.c_float
_libm.fmaf.argtypes = [ctypes.c_float, ctypes.c_float, ctypes.c_float]

f32 = np.float32


def _scalar(name):
    fn = getattr(_libm, name)

    def call(*args):
        return f32(fn(*(float(f32(a)) for a in args)))

    call.__name__ = name
    return call


cosf = _scalar("cosf")
sinf = _scalar("sinf")
expf = _scalar("expf")
exp2f = _scalar("exp2f")
# The logarithm of a number below zero is the signed quiet NaN in kavrel,
# whichever sign the C library gives it (they differ).
DOMAIN_NAN = np.frombuffer(np.uint32(0xFFC00000).tobytes(), dtype=np.float32)[0]


def _logarithm(name):
    fn = _scalar(name)

    def call(x):
        return DOMAIN_NAN if f32(x) < 0 else fn(x)

    call.__name__ = name
    return call


logf = _logarithm("logf")
log10f = _logarithm("log10f")
sqrtf = _scalar("sqrtf")
atan2f = _scalar("atan2f")
fmaf = _scalar("fmaf")


def vectorize(fn):
    """Element-wise form of a scalar reference function over float32 arrays."""

    def call(*arrays):
        arrays = np.broadcast_arrays(*(np.asarray(a, dtype=f32) for a in arrays))
        out = np.empty(arrays[0].shape, dtype=f32)
        flat = [a.ravel() for a in arrays]
        o = out.ravel()
        for i in range(o.size):
            o[i] = fn(*(a[i] for a in flat))
        return out

    return call


def bits(x):
    """The float32 bit patterns of x (scalar or array), for exact comparisons."""
    return np.asarray(x, dtype=f32).view(np.uint32)


def same_bits(a, b):
    """True when a and b hold the same float32 bit patterns (NaNs compared by bits)."""
    a = np.asarray(a, dtype=f32)
    b = np.asarray(b, dtype=f32)
    return a.shape == b.shape and bool(np.array_equal(bits(a), bits(b)))

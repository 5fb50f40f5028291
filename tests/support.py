"""Small helpers shared by the test modules."""

import functools

import numpy as np

import kavrel

NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


class AsFloat:
    """An object that converts to a float only through __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class AsIndex:
    """An object that converts to an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class SubFloat(float):
    pass


@functools.lru_cache(maxsize=None)
def panic_type():
    """The module's internal-failure exception, taken from a raised one (it is
    deliberately not a module attribute)."""
    try:
        kavrel.ResonatorBank(np.zeros(0, np.float32), 1.0).freq(0)
    except BaseException as exc:  # noqa: B036 - it is not an Exception
        return type(exc)
    raise AssertionError("freq(0) on an empty bank did not raise")

"""Conversions that run user code (__index__, __float__) and use it against
arguments already bound or checked: an array changed in place after its check,
a keyword dictionary emptied before its later values are converted."""

import gc
import warnings
import weakref

import numpy as np
import pytest

import kavrel
from support import SubFloat

F = np.float32
FREQS = np.array([440.0, 1000.0, 3000.0], F)
REALLOCATED = "The given array's memory was reallocated while the call was converting its arguments."


def retype(dtype):
    def change(a):
        a.dtype = dtype
    return change


def set_strides(a):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        a.strides = (0,)


def replace_data(a):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            a.data = np.zeros_like(a).data
        except AttributeError:
            pytest.skip("only NumPy 1 lets an array's data be reassigned")


MUTATIONS = {
    "float16": retype(np.float16),  # same bytes, twice the length
    "float64": retype(np.float64),
    "2-d": lambda a: setattr(a, "shape", (2, -1)),
    "strides": set_strides,
    # What NumPy calls unsafe: resizing or re-pointing an array referenced elsewhere.
    "grown": lambda a: a.resize(10**6, refcheck=False),
    "shrunk": lambda a: a.resize(10, refcheck=False),
    "data": replace_data,
    "base shrunk": lambda a: a.base.resize(10, refcheck=False),  # `a` is a view here
}

# Each entry point that converts a scalar after an array: the call, given the
# array and the hook that stands for the scalar, and the scalar's value.
ENTRIES = {
    "constructor": (lambda bank, a, hook: kavrel.ResonatorBank(a, hook).resonate(np.ones(64, F), 8), 8000.0),
    "heuristic_alphas": (lambda bank, a, hook: kavrel.heuristic_alphas(a, hook), 8000.0),
    "resonate": (lambda bank, a, hook: bank.resonate(a, hook), 3),
}


class Hook:
    """A scalar whose conversion first runs `action`."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


@pytest.mark.parametrize("mutation", MUTATIONS)
@pytest.mark.parametrize("entry", ENTRIES)
def test_array_changed_by_a_later_conversion(entry, mutation):
    call, value = ENTRIES[entry]
    array = np.linspace(20.0, 2000.0, 1000, dtype=F)
    if mutation.startswith("base"):
        array = array[:]
    bank, twin = (kavrel.ResonatorBank(FREQS, 44100.0) for _ in range(2))
    original = array.copy()
    try:
        got = call(bank, array, Hook(value, lambda: MUTATIONS[mutation](array)))
    except BufferError as exc:
        # Memory moved or shrunk; only a resize that grows in place keeps it.
        assert mutation in ("grown", "shrunk", "data", "base shrunk") and str(exc) == REALLOCATED
    else:
        # Computed from exactly the elements that passed the checks.
        assert mutation not in ("shrunk", "data", "base shrunk")
        want = call(twin, original, value)
        assert got.shape == want.shape and got.tobytes() == want.tobytes()
    probe = np.cos(np.arange(500, dtype=F))
    assert bank.resonate(probe, 5).tobytes() == twin.resonate(probe, 5).tobytes()


def emptying(kwargs_key, value):
    """A hook that, when converted, empties the keyword dictionary of the
    running call (found as the dictionary holding `kwargs_key`) and records
    whether the value that was under that key is still alive."""
    seen = []

    def action():
        for d in gc.get_referrers(hook):
            if isinstance(d, dict) and kwargs_key in d:
                ref = weakref.ref(d[kwargs_key])
                d.clear()
                seen.append(ref() is not None)

    hook = Hook(value, action)
    return hook, seen


@pytest.mark.parametrize("later,value,call", [
    ("alphas", 44100.0, lambda h: kavrel.ResonatorBank(**{"freqs": FREQS, "sample_rate": h,
                                                          "alphas": np.full(3, 0.25, F)}).resonate(np.ones(16, F), 4)),
    ("signal", 3, lambda h: kavrel.ResonatorBank(FREQS, 44100.0).resonate(**{"signal": np.ones(9, F), "hop": h})),
    ("tuning", 69.0, lambda h: kavrel.midi_to_hz(**{"midi": h, "tuning": SubFloat(440.0)})),
    ("sample_rate", 0.5, lambda h: kavrel.alpha_from_tau(**{"tau": h, "sample_rate": SubFloat(440.0)})),
    ("sample_rate", 0.5, lambda h: kavrel.tau_from_alpha(**{"alpha": h, "sample_rate": SubFloat(440.0)})),
    ("sample_rate", 0.5, lambda h: kavrel.heuristic_alpha(**{"freq": h, "sample_rate": SubFloat(440.0)})),
], ids=["constructor", "resonate", "midi_to_hz", "alpha_from_tau", "tau_from_alpha", "heuristic_alpha"])
def test_later_argument_kept_alive_when_kwargs_are_emptied(later, value, call):
    hook, alive = emptying(later, value)
    got = call(hook)
    assert alive == [True]
    assert np.asarray(got).tobytes() == np.asarray(call(value)).tobytes()

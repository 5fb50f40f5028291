"""Conversions that run user code (__index__, __float__) against arguments
already bound or checked: an array changed in place after its check, or the
memory under it freed through whatever owns it; a keyword dictionary emptied
before its later values are converted."""

import ctypes
import gc
import mmap
import weakref

import numpy as np
import pytest

import kavrel
from support import NOT_CONTIGUOUS, F, SubFloat, argument_notes, notes

FREQS = np.array([440.0, 1000.0, 3000.0], F)


# In place, on the array or its base; the result comes from the checked elements.
MUTATIONS = {
    "float16": lambda a: setattr(a, "dtype", np.float16),  # same bytes, twice the length
    "2-d": lambda a: setattr(a, "shape", (2, -1)),
    "strides": lambda a: setattr(a, "strides", (0,)),
    "overwritten": lambda a: a.fill(7.0),
    # What NumPy itself calls unsafe, releasing the memory.
    "shrunk": lambda a: a.resize(10, refcheck=False),
    "base shrunk": lambda a: a.base.resize(10, refcheck=False),
}
if np.lib.NumpyVersion(np.__version__) < "2.0.0":  # NumPy 2 cannot reassign `data`
    MUTATIONS["data"] = lambda a: setattr(a, "data", np.zeros_like(a).data)
# Entry points that convert a scalar after an array: call(bank, array, scalar), scalar.
ENTRIES = {
    "constructor": (
        lambda bank, a, s: kavrel.ResonatorBank(a, s).resonate(np.ones(64, F), 8),
        8000.0,
    ),
    "heuristic_alphas": (lambda bank, a, s: kavrel.heuristic_alphas(a, s), 8000.0),
    "resonate": (lambda bank, a, s: bank.resonate(a, s), 3),
}


class Hook:
    """A scalar (float or int `value`) whose conversion first runs `action`."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def convert(self):
        self.action()
        return self.value

    __float__ = __index__ = convert


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("mutation", MUTATIONS)
@pytest.mark.parametrize("entry", ENTRIES)
def test_array_changed_by_a_later_conversion(entry, mutation):
    call, value = ENTRIES[entry]
    array = np.linspace(20.0, 2000.0, 1000, dtype=F)
    if mutation == "base shrunk":
        array = array[:]  # a view whose base owns the memory
    bank, twin = (kavrel.ResonatorBank(FREQS, 44100.0) for _ in range(2))
    want = call(twin, array.copy(), value)
    got = call(bank, array, Hook(value, lambda: MUTATIONS[mutation](array)))
    assert got.shape == want.shape and got.tobytes() == want.tobytes()
    probe = np.cos(np.arange(500, dtype=F))
    assert bank.resonate(probe, 5).tobytes() == twin.resonate(probe, 5).tobytes()


# Arrays over memory that another object owns, however far up: each maker
# puts `values` there and returns the array and a function that frees that
# memory behind the array's back, with nothing on the array to tell. 64 Ki
# elements, so that freed memory can go back to the system and a read of it
# fault even without the sanitizer.
N = 1 << 16
GROWN = 1 << 20  # elements after a resize: the memory moves


def over_memoryview(values):
    owner = values.copy()
    return np.asarray(memoryview(owner)), lambda: owner.resize(GROWN, refcheck=False)


def over_frombuffer_memoryview(values):
    owner = values.copy()
    return np.frombuffer(memoryview(owner), F), lambda: owner.resize(GROWN, refcheck=False)


class Sub(np.ndarray):
    pass


def over_subclass_view(values):
    owner = values.copy().view(Sub).copy()  # a subclass instance that owns its memory
    return np.asarray(owner[:]), lambda: owner.resize(GROWN, refcheck=False)


class Exposed:
    """An object that lends an array's memory through __array_interface__."""

    def __init__(self, owner):
        self.owner = owner
        self.__array_interface__ = owner.__array_interface__


def over_array_interface(values):
    owner = values.copy()
    return np.asarray(Exposed(owner)), lambda: owner.resize(GROWN, refcheck=False)


def over_array_buffer(values):
    owner = values.copy()
    return np.ndarray(N, F, buffer=owner), lambda: owner.resize(GROWN, refcheck=False)


def over_ctypes(values):
    owner = (ctypes.c_float * N)()
    array = np.ctypeslib.as_array(owner)
    array[:] = values
    return array, lambda: ctypes.resize(owner, 4 * GROWN)


def over_mmap(values):
    owner = mmap.mmap(-1, 4 * N)
    array = np.ndarray(N, F, buffer=owner)  # NumPy keeps the mmap, not an export of it
    array[:] = values
    return array, owner.close  # unmapped at once


OWNERS = {
    f.__name__[5:]: f
    for f in (
        over_memoryview,
        over_frombuffer_memoryview,
        over_subclass_view,
        over_array_interface,
        over_array_buffer,
        over_ctypes,
        over_mmap,
    )
}
# Every entry point that converts a number after an array, as call(array,
# number), positional and by keyword, and the number it takes.
ALPHAS, BETAS = np.full(N, 0.25, F), np.full(N, 0.5, F)
PROBE = np.cos(np.arange(16, dtype=F))
CALLS = {
    "constructor": (lambda a, s: kavrel.ResonatorBank(a, s).resonate(PROBE, 8), 8000.0),
    "constructor keywords": (
        lambda a, s: kavrel.ResonatorBank(
            betas=BETAS, sample_rate=s, alphas=ALPHAS, freqs=a
        ).resonate(PROBE, 8),
        8000.0,
    ),
    "heuristic_alphas": (lambda a, s: kavrel.heuristic_alphas(a, s), 8000.0),
    "heuristic_alphas keywords": (
        lambda a, s: kavrel.heuristic_alphas(sample_rate=s, freqs=a),
        8000.0,
    ),
    "resonate": (lambda a, s: kavrel.ResonatorBank(FREQS, 44100.0).resonate(a, s), 4),
    "resonate keywords": (
        lambda a, s: kavrel.ResonatorBank(FREQS, 44100.0).resonate(hop=s, signal=a),
        4,
    ),
}


class IntHook(int):
    """An int whose __float__ and __index__ first run `action` (CPython reads
    an int subclass's value directly as an index, but calls its __float__)."""

    def __new__(cls, value, action):
        self = super().__new__(cls, value)
        self.action = action
        return self

    def __float__(self):
        self.action()
        return float(int(self))

    def __index__(self):
        self.action()
        return int(self)


def hook_of(kind, value, action):
    return Hook(value, action) if kind == "object" else IntHook(int(value), action)


@pytest.mark.parametrize("kind", ["object", "int subclass"])
@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("owner", OWNERS)
def test_memory_freed_through_its_owner_by_a_later_conversion(owner, call, kind):
    run, value = CALLS[call]
    values = np.linspace(20.0, 20000.0, N, dtype=F)
    array, free = OWNERS[owner](values)
    want = run(values.copy(), value)
    got = run(array, hook_of(kind, value, free))
    assert got.shape == want.shape and got.tobytes() == want.tobytes()


# Numbers whose conversion runs no code of the caller's: the array is read in
# place. Each gives the bits of the plain number it stands for.
@pytest.mark.parametrize(
    "number",
    [np.int8(4), np.uint8(4), np.int16(4), np.uint16(4), np.intc(4), np.uintc(4)]
    + [np.int64(4), np.uint64(4), np.longlong(4), np.ulonglong(4), np.float32(4), np.float64(4)],
    ids=lambda n: type(n).__name__,
)
@pytest.mark.parametrize("call", ["constructor", "heuristic_alphas", "resonate"])
def test_numpy_scalar_after_an_array(call, number):
    run, _ = CALLS[call]
    values = np.linspace(20.0, 20000.0, 1000, dtype=F)
    if call == "resonate" and isinstance(number, np.floating):
        with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
            run(values, number)
        return
    plain = int(number) if call == "resonate" else float(number)
    assert run(values, number).tobytes() == run(values, plain).tobytes()


# A later conversion that runs code still comes before the contiguity check,
# and an array refused by its own check runs none of it.
def test_order_of_checks_with_a_hook():
    calls = []
    hop = Hook(2, lambda: calls.append("hop"))
    bank = kavrel.ResonatorBank(FREQS, 44100.0)
    with pytest.raises(TypeError) as info:
        bank.resonate(np.ones(10, F)[::2], hop)
    assert str(info.value) == NOT_CONTIGUOUS
    assert notes(info.value) is None and calls == ["hop"]
    with pytest.raises(TypeError) as info:
        bank.resonate([1.0, 2.0], hop)
    assert notes(info.value) == argument_notes("signal") and calls == ["hop"]


@pytest.mark.parametrize(
    "later,value,call",
    [
        (
            "alphas",
            44100.0,
            lambda h: kavrel.ResonatorBank(
                **{"freqs": FREQS, "sample_rate": h, "alphas": np.full(3, 0.25, F)}
            ).resonate(np.ones(16, F), 4),
        ),
        (
            "signal",
            3,
            lambda h: kavrel.ResonatorBank(FREQS, 44100.0).resonate(
                **{"signal": np.ones(9, F), "hop": h}
            ),
        ),
        ("tuning", 69.0, lambda h: kavrel.midi_to_hz(**{"midi": h, "tuning": SubFloat(440.0)})),
        (
            "sample_rate",
            0.5,
            lambda h: kavrel.alpha_from_tau(**{"tau": h, "sample_rate": SubFloat(440.0)}),
        ),
        (
            "sample_rate",
            0.5,
            lambda h: kavrel.tau_from_alpha(**{"alpha": h, "sample_rate": SubFloat(440.0)}),
        ),
        (
            "sample_rate",
            0.5,
            lambda h: kavrel.heuristic_alpha(**{"freq": h, "sample_rate": SubFloat(440.0)}),
        ),
    ],
    ids=[
        "constructor",
        "resonate",
        "midi_to_hz",
        "alpha_from_tau",
        "tau_from_alpha",
        "heuristic_alpha",
    ],
)
def test_later_argument_kept_alive_when_kwargs_are_emptied(later, value, call):
    alive = []

    def empty_the_call_kwargs():
        for d in gc.get_referrers(hook):
            if isinstance(d, dict) and later in d:
                ref = weakref.ref(d[later])
                d.clear()
                alive.append(ref() is not None)

    hook = Hook(value, empty_the_call_kwargs)
    got = call(hook)
    assert alive == [True]
    assert np.asarray(got).tobytes() == np.asarray(call(value)).tobytes()

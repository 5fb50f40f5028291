"""Conversions that run user code (__index__, __float__) against arguments
already bound or checked: an array changed in place after its check, a keyword
dictionary emptied before its later values are converted."""

import gc
import weakref

import numpy as np
import pytest

import kavrel
from support import SubFloat

F = np.float32
FREQS = np.array([440.0, 1000.0, 3000.0], F)


# In place, keeping the memory: the result comes from the checked elements.
KEEPING = {
    "float16": lambda a: setattr(a, "dtype", np.float16),  # same bytes, twice the length
    "2-d": lambda a: setattr(a, "shape", (2, -1)),
    "strides": lambda a: setattr(a, "strides", (0,)),
}
# What NumPy itself calls unsafe, releasing the memory: refused.
RELEASING = {
    "shrunk": lambda a: a.resize(10, refcheck=False),
    "base shrunk": lambda a: a.base.resize(10, refcheck=False),
}
if np.lib.NumpyVersion(np.__version__) < "2.0.0":  # NumPy 2 cannot reassign `data`
    RELEASING["data"] = lambda a: setattr(a, "data", np.zeros_like(a).data)
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
@pytest.mark.parametrize("mutation", [*KEEPING, *RELEASING])
@pytest.mark.parametrize("entry", ENTRIES)
def test_array_changed_by_a_later_conversion(entry, mutation):
    call, value = ENTRIES[entry]
    array = np.linspace(20.0, 2000.0, 1000, dtype=F)
    if mutation == "base shrunk":
        array = array[:]  # a view whose base owns the memory
    bank, twin = (kavrel.ResonatorBank(FREQS, 44100.0) for _ in range(2))
    hook = Hook(value, lambda: {**KEEPING, **RELEASING}[mutation](array))
    if mutation in RELEASING:
        with pytest.raises(
            BufferError,
            match="^The given array's memory was reallocated while the call "
            "was converting its arguments.$",
        ):
            call(bank, array, hook)
    else:
        want = call(twin, array.copy(), value)
        got = call(bank, array, hook)
        assert got.shape == want.shape and got.tobytes() == want.tobytes()
    probe = np.cos(np.arange(500, dtype=F))
    assert bank.resonate(probe, 5).tobytes() == twin.resonate(probe, 5).tobytes()


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

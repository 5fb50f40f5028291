"""Leak checks over the success and failure paths of every entry point:
the reference counts of the arguments, the number of objects the garbage
collector tracks, and resident memory over many calls whose buffers would
add up to tens of megabytes if any of them were kept."""

import gc
import sys

import numpy as np
import psutil
import pytest

import kavrel
from support import SURFACE, UNDER_ASAN, AsFloat, AsIndex, F, panic_type


class Raising:
    def __float__(self):
        raise ValueError("no float")

    def __index__(self):
        raise ValueError("no index")


def resident_bytes():
    return psutil.Process().memory_info().rss


def freqs(n):
    return np.linspace(50.0, 15000.0, n, dtype=F)


def bank(n=64):
    return kavrel.ResonatorBank(freqs(n), 44100.0)


# Each case: the callable, its positional and keyword arguments (fresh objects,
# so that their reference counts are ours to watch), the exception expected
# (None for a result) and the number of calls. Calls that allocate use sizes
# that make the buffers of all calls together at least 60 MB.
def cases():
    b = bank()
    big = bank(4096)
    sig = np.linspace(-1.0, 1.0, 4096, dtype=F)
    strided = np.linspace(-1.0, 1.0, 64, dtype=F)[::2]
    return {
        # success paths
        "new": (kavrel.ResonatorBank, (freqs(4096), AsFloat(44100.0)), {}, None, 400),
        "new with factors": (
            kavrel.ResonatorBank,
            (freqs(2048), 44100.0),
            {"alphas": np.full(2048, 0.01, F), "betas": np.full(2048, 0.02, F)},
            None,
            400,
        ),
        "process_sample": (b.process_sample, (AsFloat(0.25),), {}, None, 2000),
        "process_samples": (b.process_samples, (sig,), {}, None, 500),
        "resonate": (b.resonate, (sig,), {"hop": AsIndex(16)}, None, 500),
        "reset": (b.reset, (), {}, None, 2000),
        "freq": (b.freq, (AsIndex(3),), {}, None, 2000),
        "magnitude": (b.magnitude, (), {"i": AsIndex(3)}, None, 2000),
        "phase": (b.phase, (AsIndex(3),), {}, None, 2000),
        "power": (b.power, (AsIndex(3),), {}, None, 2000),
        "complex": (b.complex, (AsIndex(3),), {}, None, 2000),
        "frequencies": (big.frequencies, (), {}, None, 4000),
        "magnitudes": (big.magnitudes, (), {}, None, 4000),
        "phases": (big.phases, (), {}, None, 4000),
        "powers": (big.powers, (), {}, None, 4000),
        "len": (big.__len__, (), {}, None, 2000),
        "midi_to_hz": (kavrel.midi_to_hz, (AsFloat(69.0), AsFloat(440.0)), {}, None, 2000),
        "alpha_from_tau": (
            kavrel.alpha_from_tau,
            (AsFloat(0.01),),
            {"sample_rate": AsFloat(44100.0)},
            None,
            2000,
        ),
        "tau_from_alpha": (
            kavrel.tau_from_alpha,
            (AsFloat(0.01), AsFloat(44100.0)),
            {},
            None,
            2000,
        ),
        "heuristic_alpha": (
            kavrel.heuristic_alpha,
            (AsFloat(440.0), AsFloat(44100.0)),
            {},
            None,
            2000,
        ),
        "heuristic_alphas": (
            kavrel.heuristic_alphas,
            (freqs(16384), AsFloat(44100.0)),
            {},
            None,
            1000,
        ),
        # failure paths
        "new, lengths differ": (
            kavrel.ResonatorBank,
            (freqs(16384), 44100.0),
            {"betas": np.ones(3, F)},
            ValueError,
            1000,
        ),
        "new, sample_rate raises": (
            kavrel.ResonatorBank,
            (freqs(64), Raising()),
            {},
            ValueError,
            1000,
        ),
        "new, alphas float64": (
            kavrel.ResonatorBank,
            (freqs(64), 44100.0),
            {"alphas": np.ones(64)},
            TypeError,
            1000,
        ),
        "new, unexpected keyword": (
            kavrel.ResonatorBank,
            (freqs(64), 44100.0),
            {"gamma": np.ones(64, F)},
            TypeError,
            1000,
        ),
        "process_sample raises": (b.process_sample, (Raising(),), {}, ValueError, 1000),
        "process_samples strided": (b.process_samples, (strided,), {}, TypeError, 1000),
        "resonate, hop raises": (b.resonate, (sig, Raising()), {}, ValueError, 1000),
        "resonate, hop 0": (b.resonate, (sig, AsIndex(0)), {}, panic_type(), 100),
        "resonate, missing hop": (b.resonate, (sig,), {}, TypeError, 1000),
        "power out of range": (b.power, (AsIndex(64),), {}, panic_type(), 100),
        "complex, index raises": (b.complex, (Raising(),), {}, ValueError, 1000),
        "midi_to_hz raises": (kavrel.midi_to_hz, (AsFloat(69.0), Raising()), {}, ValueError, 1000),
        "heuristic_alphas, sample_rate raises": (
            kavrel.heuristic_alphas,
            (freqs(64), Raising()),
            {},
            ValueError,
            1000,
        ),
        "heuristic_alphas, 2-d": (
            kavrel.heuristic_alphas,
            (np.ones((2, 8), F), 44100.0),
            {},
            TypeError,
            1000,
        ),
    }


CASES = sorted(cases())


def test_every_entry_point_has_a_success_case():
    def entry_name(fn):
        return "len" if fn.__name__ == "__len__" else fn.__name__

    covered = {entry_name(fn) for fn, _, _, expected, _ in cases().values() if expected is None}
    assert covered == {e.name for e in SURFACE}


def run(fn, args, kwargs, expected, calls):
    for _ in range(calls):
        if expected is None:
            fn(*args, **kwargs)
        else:
            try:
                fn(*args, **kwargs)
            except expected:
                pass
            else:
                raise AssertionError("no exception")


@pytest.mark.parametrize("case", CASES)
def test_calls_keep_no_references_objects_or_memory(case):
    fn, args, kwargs, expected, calls = cases()[case]
    owner = getattr(fn, "__self__", None)
    watched = [*args, *kwargs.values()] + (
        [owner] if isinstance(owner, kavrel.ResonatorBank) else []
    )
    run(fn, args, kwargs, expected, 20)  # first-use objects (NumPy's C-API table, caches)
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in watched]
    objects = len(gc.get_objects())
    resident = resident_bytes()

    run(fn, args, kwargs, expected, calls)
    gc.collect()

    assert [sys.getrefcount(obj) for obj in watched] == refs
    assert len(gc.get_objects()) - objects < 50
    if not UNDER_ASAN:  # the sanitizer keeps freed memory in quarantine
        assert resident_bytes() - resident < 16 * 2**20

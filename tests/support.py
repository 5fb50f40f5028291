"""Small helpers shared by the test modules."""

import functools
import importlib.util
import os
import pathlib
import subprocess
import sys
import textwrap
from typing import NamedTuple

import numpy as np
import pytest

import kavrel

REPO = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = REPO / "examples"

# The module's one sample type.
F = np.float32


def make_bank(n=2):
    """A bank of `n` channels at 100, 200, ... Hz, sampled at 8 kHz."""
    return kavrel.ResonatorBank(np.arange(1, n + 1, dtype=F) * F(100.0), 8000.0)


def load_example(name):
    """Imports examples/{name}.py as the module `{name}_example`."""
    spec = importlib.util.spec_from_file_location(f"{name}_example", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run_script(code, env_extra=None):
    """Runs `code` in a fresh interpreter from the repository root, with this
    interpreter's import path and without KAVREL_BACKTRACE unless `env_extra` sets it."""
    env = {k: v for k, v in os.environ.items() if k != "KAVREL_BACKTRACE"}
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env.update(env_extra or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
        cwd=REPO,
    )


NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."

# Set by .ci/sanitize when the suite runs against the AddressSanitizer build.
UNDER_ASAN = os.environ.get("KAVREL_TESTS_UNDER_ASAN") == "1"

# Set by .ci/aarch64 when the suite runs under qemu's user-mode emulation of
# another processor, which does not apply the guest's address-space limit
# (RLIMIT_AS) to the guest's allocations.
UNDER_EMULATION = os.environ.get("KAVREL_TESTS_UNDER_EMULATION") == "1"


def _under_wine():
    if sys.platform != "win32":
        return False
    import ctypes

    return hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")


# Whether this Windows is Wine (.ci/windows runs the suite there): its ntdll
# exports wine_get_version. Tests skipped under Wine name the gap in Wine.
UNDER_WINE = _under_wine()

# Exception notes (BaseException.add_note, __notes__) exist from Python 3.11.
# On older interpreters the module raises a failed conversion's exception
# unchanged, without a note.
HAS_NOTES = hasattr(BaseException, "add_note")

needs_notes = pytest.mark.skipif(
    not HAS_NOTES, reason="exception notes (add_note) exist only from Python 3.11"
)


def notes(exc):
    """The notes attached to an exception, or None when it carries none."""
    return getattr(exc, "__notes__", None)


def argument_notes(name):
    """The notes that a failed conversion of argument `name` carries on the
    running interpreter: exactly one naming the argument, or none at all."""
    return [f"while processing '{name}'"] if HAS_NOTES else None


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


@functools.cache
def panic_type():
    """The module's internal-failure exception, taken from a raised one (it is
    deliberately not a module attribute)."""
    try:
        kavrel.ResonatorBank(np.zeros(0, np.float32), 1.0).freq(0)
    except BaseException as exc:  # noqa: B036 - it is not an Exception
        return type(exc)
    raise AssertionError("freq(0) on an empty bank did not raise")


# ---------------------------------------------------------------------------
# The call surface, listed once: the tests of names and signatures, of
# argument binding, the fuzzer and the leak checks all take it from here.
# ---------------------------------------------------------------------------


class Entry(NamedTuple):
    """One entry point of the module."""

    name: str  # as Python code reaches it: "ResonatorBank" is the constructor
    owner: str  # "class" (the constructor), "module", "method" or "slot" (len)
    positional: tuple[str, ...]  # positional-or-keyword parameters, all required
    keyword_only: tuple[str, ...] = ()  # optional, default None

    @property
    def parameters(self) -> tuple[str, ...]:
        return self.positional + self.keyword_only

    @property
    def display(self) -> str:
        """The callable as the module's messages name it."""
        if self.owner == "class":
            return "ResonatorBank.__new__()"
        if self.owner == "module":
            return f"{self.name}()"
        return f"ResonatorBank.{self.name}()"

    def target(self, bank):
        """The callable itself; methods are taken from `bank`, and len() is
        len(bank)."""
        if self.owner == "class":
            return kavrel.ResonatorBank
        if self.owner == "module":
            return getattr(kavrel, self.name)
        if self.owner == "slot":
            return functools.partial(len, bank)
        return getattr(bank, self.name)


SURFACE = (
    # The module's names, in the order of __all__.
    Entry("ResonatorBank", "class", ("freqs", "sample_rate"), ("alphas", "betas")),
    Entry("heuristic_alpha", "module", ("freq", "sample_rate")),
    Entry("heuristic_alphas", "module", ("freqs", "sample_rate")),
    Entry("alpha_from_tau", "module", ("tau", "sample_rate")),
    Entry("tau_from_alpha", "module", ("alpha", "sample_rate")),
    Entry("midi_to_hz", "module", ("midi", "tuning")),
    # The methods, in the order of the class's method table.
    Entry("process_sample", "method", ("sample",)),
    Entry("process_samples", "method", ("samples",)),
    Entry("resonate", "method", ("signal", "hop")),
    Entry("reset", "method", ()),
    Entry("freq", "method", ("i",)),
    Entry("magnitude", "method", ("i",)),
    Entry("phase", "method", ("i",)),
    Entry("power", "method", ("i",)),
    Entry("complex", "method", ("i",)),
    Entry("frequencies", "method", ()),
    Entry("magnitudes", "method", ()),
    Entry("phases", "method", ()),
    Entry("powers", "method", ()),
    Entry("len", "slot", ()),
)
ENTRIES = {e.name: e for e in SURFACE}
MODULE_NAMES = [e.name for e in SURFACE if e.owner in ("class", "module")]
FUNCTIONS = [e for e in SURFACE if e.owner == "module"]
METHODS = [e for e in SURFACE if e.owner == "method"]
# Entry points that take arguments: the module binds them itself (methods
# without parameters are METH_NOARGS, checked by the interpreter).
WITH_ARGUMENTS = [e for e in SURFACE if e.parameters]
# The methods that read one channel, given its index `i`.
READOUT_METHODS = [e.name for e in METHODS if e.positional == ("i",)]
# The methods that take no arguments at all.
NO_ARGUMENT_METHODS = [e.name for e in METHODS if not e.parameters]

# What each parameter converts its argument to: a float32 array, a real
# number (narrowed to float32) or an unsigned index.
KINDS = {
    "freqs": "array",
    "alphas": "array",
    "betas": "array",
    "samples": "array",
    "signal": "array",
    "sample_rate": "real",
    "sample": "real",
    "midi": "real",
    "tuning": "real",
    "tau": "real",
    "alpha": "real",
    "freq": "real",
    "hop": "index",
    "i": "index",
}

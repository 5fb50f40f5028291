"""Small helpers shared by the test modules."""

import functools
import importlib.util
import os
import pathlib

import numpy as np
import pytest

import kavrel

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def load_example(name):
    """Imports examples/{name}.py as the module `{name}_example`."""
    spec = importlib.util.spec_from_file_location(f"{name}_example", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."

# Set by .ci/sanitize when the suite runs against the AddressSanitizer build.
UNDER_ASAN = os.environ.get("KAVREL_TESTS_UNDER_ASAN") == "1"

# Set by .ci/aarch64 when the suite runs under qemu's user-mode emulation of
# another processor, which does not apply the guest's address-space limit
# (RLIMIT_AS) to the guest's allocations.
UNDER_EMULATION = os.environ.get("KAVREL_TESTS_UNDER_EMULATION") == "1"

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

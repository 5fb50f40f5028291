"""A buffer whose size follows from the arguments and that memory cannot hold
raises MemoryError "memory allocation of N bytes failed" and leaves the bank
exactly as it was."""

import mmap
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kavrel

F = np.float32
# 70 TiB of float32 zeros, mapped read-only so that no memory is committed: a
# result of the same size cannot fit beside it in a 47-bit address space, so
# its allocation fails outright whatever the overcommit policy.
HUGE_BYTES = 70 << 40
HUGE_FAILED = f"memory allocation of {HUGE_BYTES} bytes failed"


@pytest.fixture(scope="module")
def huge():
    try:
        area = mmap.mmap(-1, HUGE_BYTES, flags=mmap.MAP_PRIVATE, prot=mmap.PROT_READ)
    except OSError as exc:
        pytest.skip(f"cannot map 70 TiB of address space: {exc}")
    yield np.frombuffer(area, F)


def twins():
    freqs = np.linspace(50.0, 5000.0, 16, dtype=F)
    pair = [kavrel.ResonatorBank(freqs, 44100.0) for _ in range(2)]
    for bank in pair:
        bank.process_samples(np.linspace(-1.0, 1.0, 300, dtype=F))
    return pair


@pytest.mark.parametrize("call,message", [
    (lambda b, x: b.resonate(x, 1), f"memory allocation of {(HUGE_BYTES // 4) * 16 * 8} bytes failed"),
    (lambda b, x: kavrel.heuristic_alphas(x, 44100.0), HUGE_FAILED),
    (lambda b, x: kavrel.ResonatorBank(x, 44100.0), HUGE_FAILED),
    (lambda b, x: kavrel.ResonatorBank(x, 44100.0, alphas=x, betas=x), HUGE_FAILED),
], ids=["resonate", "heuristic_alphas", "constructor", "constructor-alphas"])
def test_oversized_request_raises_and_changes_nothing(huge, call, message):
    bank, twin = twins()
    held = sys.getrefcount(huge)
    with pytest.raises(MemoryError) as info:
        call(bank, huge)
    assert str(info.value) == message
    del info  # its traceback refers to the array
    assert sys.getrefcount(huge) == held
    # The bank continues as if the failed call had not happened.
    probe = np.sin(np.arange(700, dtype=F))
    got, want = bank.resonate(probe, 7), twin.resonate(probe, 7)
    assert got.tobytes() == want.tobytes()


def sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.mark.skipif(sanitizer_loaded(), reason="the address sanitizer's shadow memory defeats an address-space limit")
def test_oversized_readouts_raise_and_change_nothing():
    # A fresh interpreter whose allocator returns every large block to the
    # system when it is freed (a fixed mmap threshold), so that no freed memory
    # can serve the readout, under an address-space limit 2 MiB above its use.
    script = textwrap.dedent("""
        import ctypes, resource
        ctypes.CDLL(None).mallopt(-3, 128 << 10)  # M_MMAP_THRESHOLD
        import numpy as np, kavrel
        bank = kavrel.ResonatorBank(np.linspace(20, 20000, 2**20, dtype=np.float32), 44100.0)
        bank.process_samples(np.ones(300, np.float32))
        before = bank.phases().tobytes() + bank.powers().tobytes()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        for name in ["frequencies", "phases", "powers", "magnitudes"]:
            with open("/proc/self/statm") as statm:
                used = int(statm.read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (used + (2 << 20), hard))
            try:
                getattr(bank, name)()
                print("returned")
            except MemoryError as e:
                print(e)
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(before == bank.phases().tobytes() + bank.powers().tobytes())
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["memory allocation of 4194304 bytes failed"] * 4 + ["True"]

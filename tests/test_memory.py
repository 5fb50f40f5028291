"""A buffer whose size follows from the arguments and that memory cannot hold
raises MemoryError "memory allocation of N bytes failed" and leaves the bank
exactly as it was."""

import mmap
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import kavrel
from support import UNDER_EMULATION, F

# 70 TiB of float32 zeros mapped read-only, so no memory is committed: a result
# as large cannot fit beside it in a 47-bit address space, so its allocation
# fails outright whatever the overcommit policy.
HUGE = 70 << 40


@pytest.fixture(scope="module")
def huge():
    if not hasattr(mmap, "MAP_PRIVATE"):
        # Windows commits what an anonymous mapping covers: 70 TiB cannot be had.
        pytest.skip("no anonymous mapping that reserves address space without committing it")
    try:
        return np.frombuffer(mmap.mmap(-1, HUGE, flags=mmap.MAP_PRIVATE, prot=mmap.PROT_READ), F)
    except OSError as exc:
        pytest.skip(f"cannot map 70 TiB of address space: {exc}")


@pytest.mark.parametrize(
    "call,size",
    [
        (lambda b, x: b.resonate(x, 1), HUGE // 4 * 16 * 8),  # frames * 16 channels * 8 bytes
        (lambda b, x: kavrel.heuristic_alphas(x, 44100.0), HUGE),
        (lambda b, x: kavrel.ResonatorBank(x, 44100.0), HUGE),
        (lambda b, x: kavrel.ResonatorBank(x, 44100.0, alphas=x, betas=x), HUGE),
    ],
    ids=["resonate", "heuristic_alphas", "constructor", "constructor-alphas"],
)
def test_oversized_request_raises_and_changes_nothing(huge, call, size):
    bank, twin = (
        kavrel.ResonatorBank(np.linspace(50.0, 5000.0, 16, dtype=F), 44100.0) for _ in range(2)
    )
    for b in (bank, twin):
        b.process_samples(np.linspace(-1.0, 1.0, 300, dtype=F))
    held = sys.getrefcount(huge)
    with pytest.raises(MemoryError, match=f"^memory allocation of {size} bytes failed$"):
        call(bank, huge)
    assert sys.getrefcount(huge) == held
    probe = np.sin(np.arange(700, dtype=F))
    assert bank.resonate(probe, 7).tobytes() == twin.resonate(probe, 7).tobytes()


@pytest.mark.skipif(
    not sys.platform.startswith("linux"),
    reason="uses what only Linux has: glibc's mallopt, /proc/self/statm and RLIMIT_AS",
)
@pytest.mark.skipif(
    sys.platform.startswith("linux") and "libasan" in pathlib.Path("/proc/self/maps").read_text(),
    reason="the address sanitizer's shadow memory defeats an address-space limit",
)
@pytest.mark.skipif(
    UNDER_EMULATION, reason="qemu user-mode emulation ignores the guest's address-space limit"
)
def test_oversized_readouts_raise_and_change_nothing():
    # A fresh interpreter whose allocator returns every large block to the
    # system when it is freed (a fixed mmap threshold), each readout under an
    # address-space limit 2 MiB above what the process uses.
    script = """if True:
        import ctypes, resource
        ctypes.CDLL(None).mallopt(-3, 128 << 10)  # M_MMAP_THRESHOLD
        import numpy as np, kavrel
        bank = kavrel.ResonatorBank(np.linspace(20, 20000, 2**20, dtype=np.float32), 44100.0)
        bank.process_samples(np.ones(300, np.float32))
        before = [bank.phases(), bank.powers()]
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        for name in ["frequencies", "phases", "powers", "magnitudes"]:
            used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
            resource.setrlimit(resource.RLIMIT_AS, (used + (2 << 20), hard))
            try:
                print(getattr(bank, name)())
            except MemoryError as e:
                print(e)
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        after = [bank.phases(), bank.powers()]
        print(all(a.tobytes() == b.tobytes() for a, b in zip(before, after)))
    """
    run = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["memory allocation of 4194304 bytes failed"] * 4 + ["True"]

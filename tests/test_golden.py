"""A fixed workload gives the same bits on every processor.

The workload's results are hashed part by part (SHA-256 of their float32 bit
patterns) and compared with tests/golden/workload.sha256, which holds one
line per part. glibc 2.43 made log10f correctly rounded, which moves the last
bit of a few default smoothing factors (5 of the workload's 5105 helper
results): with glibc 2.43 and later the file is workload-glibc2.43.sha256.
The suite runs natively on x86-64 and under emulation on aarch64, so both are
held to the same file. Every input is built from
integers and exact float32 scalings, never from NumPy's transcendental
functions, whose last bits may depend on the processor.

Two things are left out because the processor or its C library decides them,
not this library. The sign and payload of a NaN that an invalid operation
creates (0/0 gives 0xffc00000 on x86-64 and 0x7fc00000 on aarch64): every NaN
is hashed as 0x7fc00000. And the phases: they are the C library's atan2f of a
channel's complex value, and glibc's atan2f differs in the last bit between
x86-64 and aarch64 for some arguments; the complex values themselves are
hashed, and the phases are held to the local atan2f by tests/bank_model.py.

When a deliberate change alters the results, the failure message prints the
new lines of the file.
"""

import hashlib
import pathlib
import platform

import numpy as np
import pytest

import kavrel
from support import F

GOLDEN_DIR = pathlib.Path(__file__).resolve().parent / "golden"


def golden_file():
    """The digests for this C library's float functions."""
    name, version = platform.libc_ver()
    if name == "glibc" and tuple(int(part) for part in version.split(".")[:2]) >= (2, 43):
        return GOLDEN_DIR / "workload-glibc2.43.sha256"
    return GOLDEN_DIR / "workload.sha256"


GOLDEN = golden_file()

# Channel counts around the vector widths (8 and 16 channels) and their tails.
CHANNEL_COUNTS = [1, 7, 8, 9, 16, 17, 37, 70]


def bits(*values):
    """The float32 bit patterns of numbers and arrays, as bytes, with every NaN
    as 0x7fc00000."""
    arrays = (np.asarray(v, dtype=F) for v in values)
    return b"".join(np.where(np.isnan(a), F("nan"), a).astype("<f4").tobytes() for a in arrays)


def signal(seed, n, scale):
    """n samples of integers in [-32768, 32767] scaled by a power of two (exact)."""
    ints = np.random.Generator(np.random.PCG64(seed)).integers(-32768, 32768, n, dtype=np.int32)
    return ints.astype(F) * F(scale)


def helpers():
    notes = [F(21.0) + F(0.25) * F(k) for k in range(360)]
    taus = [F(1.0 / 1024) * F(k) for k in range(1, 200)]
    alphas = [F(1.0 / 4096) * F(k) for k in range(1, 4097, 13)]
    return bits(
        [kavrel.midi_to_hz(m, 440.0) for m in notes],
        [kavrel.midi_to_hz(m, 415.5) for m in notes],
        [kavrel.alpha_from_tau(t, 44100.0) for t in taus],
        [kavrel.tau_from_alpha(a, 48000.0) for a in alphas],
        [kavrel.heuristic_alpha(f, 22050.0) for f in range(0, 11025, 25)],
        kavrel.heuristic_alphas(np.arange(0, 24000, 7, dtype=F), 48000.0),
    )


def bank_run(n, smoothing):
    """A bank of n channels fed blocks of odd lengths that cross several
    renormalisation points (every 256 samples) at varying offsets, single
    samples, a block analysis and a reset, with every readout taken."""
    freqs = np.array([kavrel.midi_to_hz(F(24.0) + F(1.75) * F(k), 440.0) for k in range(n)], F)
    if smoothing == "default":
        bank = kavrel.ResonatorBank(freqs, 44100.0)
    else:
        alphas = np.array([F(1.0 / 64) + F(1.0 / 1024) * F(k % 11) for k in range(n)], F)
        betas = np.array([F(1.0 / 32) - F(1.0 / 2048) * F(k % 5) for k in range(n)], F)
        bank = kavrel.ResonatorBank(freqs, 48000.0, alphas=alphas, betas=betas)
    x = signal(n, 2600, 2.0**-15)
    out = [bank.frequencies()]
    start = 0
    for length in (1, 254, 3, 300, 511, 0, 37):
        bank.process_samples(x[start : start + length])
        start += length
        out += [bank.powers(), bank.magnitudes()]
    for sample in x[start : start + 5]:
        bank.process_sample(float(sample))
    start += 5
    out.append(bank.resonate(x[start:], 13).view(F))
    out += [[bank.power(i), bank.magnitude(i)] for i in range(n)]
    out += [[bank.complex(i).real, bank.complex(i).imag, bank.freq(i)] for i in range(n)]
    # Samples so small that the channel states become subnormal.
    bank.reset()
    out.append(bank.resonate(signal(n + 1000, 700, 2.0**-140), 7).view(F))
    return bits(*out)


def workload():
    parts = {"helpers": helpers()}
    for smoothing in ("default", "given"):
        for n in CHANNEL_COUNTS:
            parts[f"bank-{smoothing}-{n}"] = bank_run(n, smoothing)
    return {name: hashlib.sha256(data).hexdigest() for name, data in parts.items()}


def read_golden():
    golden = {}
    for line in GOLDEN.read_text().splitlines():
        digest, name = line.split()
        golden[name] = digest
    return golden


@pytest.mark.skipif(
    platform.libc_ver()[0] != "glibc",
    reason="the digests hold glibc's float functions; this C library rounds some differently "
    "(tests/libm.py holds the results to it)",
)
def test_workload_gives_the_golden_digests():
    found = workload()
    golden = read_golden()
    assert list(golden) == list(found), "the parts of the workload changed"
    differing = [name for name in found if found[name] != golden[name]]
    lines = "".join(f"{digest}  {name}\n" for name, digest in found.items())
    assert not differing, f"results differ in {differing}; the new file would read:\n{lines}"

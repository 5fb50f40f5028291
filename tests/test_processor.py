"""The choice of kernel, run under user-mode emulation of older and current
x86-64 processors (qemu-x86_64 from Debian's qemu-user; its TCG emulates AVX2
and FMA from release 7.2): a processor without AVX2 or FMA runs the portable
kernel, one with them the AVX2 kernel, and both give the native bits, which
the native run may have computed with the AVX-512 kernel. qemu 7.2 does not
emulate AVX-512: it drops AVX512F from the server models that have it, and
the engine, seeing neither the feature nor its register state, picks the AVX2
kernel there. Which kernel each model gets is checked on the engine's own
test program under the same models (.ci/engine), since the module has no name
that tells."""

import os
import platform
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

from support import UNDER_ASAN

QEMU = shutil.which("qemu-x86_64")


def qemu_version():
    if QEMU is None:
        return None
    found = re.search(
        r"version (\d+)\.(\d+)",
        subprocess.run([QEMU, "--version"], capture_output=True, text=True).stdout,
    )
    return (int(found[1]), int(found[2])) if found else None


pytestmark = [
    pytest.mark.skipif(
        platform.machine() != "x86_64", reason="emulates x86-64 processors on x86-64 only"
    ),
    pytest.mark.skipif(
        QEMU is None, reason="qemu-x86_64 is not installed (Debian package qemu-user)"
    ),
    pytest.mark.skipif(
        QEMU is not None and (qemu_version() or (0, 0)) < (7, 2),
        reason="qemu before 7.2 does not emulate AVX2 and FMA",
    ),
    pytest.mark.skipif(
        UNDER_ASAN, reason="the sanitizer runtime does not run under qemu user emulation"
    ),
]

# A small real workload: default smoothing factors, a block analysis, sample
# processing and every readout, printed as float32 bit patterns. Its inputs
# are made without NumPy's transcendental functions, whose results differ
# between the code paths NumPy picks for each processor.
WORKLOAD = textwrap.dedent(
    """
    import numpy as np, kavrel
    freqs = np.array([kavrel.midi_to_hz(m, 440.0) for m in range(24, 135, 3)], np.float32)
    bank = kavrel.ResonatorBank(freqs, 44100.0)
    steps = np.arange(3000, dtype=np.int64) * 7919 % 2001 - 1000
    signal = steps.astype(np.float32) / np.float32(1000.0)
    out = [bank.resonate(signal, 7).view(np.uint32)]
    bank.process_samples(signal[:777])
    bank.process_sample(0.5)
    out += [a.view(np.uint32) for a in (bank.powers(), bank.phases(), bank.magnitudes())]
    out.append(kavrel.heuristic_alphas(freqs, 48000.0).view(np.uint32))
    scalars = [kavrel.midi_to_hz(61.5, 442.0), kavrel.alpha_from_tau(0.01, 44100.0),
               kavrel.tau_from_alpha(0.003, 44100.0), kavrel.heuristic_alpha(1000.0, 44100.0),
               bank.power(3), bank.phase(36), bank.complex(20).real, bank.complex(20).imag]
    out.append(np.array(scalars, np.float32).view(np.uint32))
    print(" ".join("%08x" % v for a in out for v in a.ravel()))
    """
)


def run(cpu, code):
    command = (
        [sys.executable, "-c", code]
        if cpu is None
        else [QEMU, "-cpu", cpu, sys.executable, "-c", code]
    )
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run(command, capture_output=True, text=True, timeout=300, env=env)


# Processors without AVX2, without FMA, or without either (the portable
# kernel), one with both (the AVX2 kernel), and two with AVX-512 as well (the
# AVX-512 kernel where qemu emulates it, else the AVX2 kernel).
AVX512_CPUS = ["Skylake-Server", "Icelake-Server"]
CPUS = ["Nehalem", "SandyBridge", "Haswell,-fma", "Haswell,-avx2", "Haswell", *AVX512_CPUS]


def dropped_features(cpu):
    """The features of a processor model that qemu's TCG cannot emulate and leaves out."""
    done = subprocess.run([QEMU, "-cpu", cpu, "/bin/true"], capture_output=True, text=True)
    return set(re.findall(r"requested feature: \S+\.([\w-]+) \[", done.stderr))


@pytest.fixture(scope="module")
def native():
    done = run(None, WORKLOAD)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("cpu", CPUS)
def test_workload_on_every_processor_matches_the_native_result(cpu, native):
    emulated = run(cpu, WORKLOAD)
    assert emulated.returncode == 0, emulated.stderr[-2000:]
    assert emulated.stdout == native


@pytest.mark.parametrize("cpu", AVX512_CPUS)
def test_avx512_models_keep_avx512_under_emulation(cpu):
    dropped = dropped_features(cpu)
    if "avx512f" in dropped:
        pytest.skip(
            f"qemu {'.'.join(map(str, qemu_version()))} does not emulate AVX-512 (it drops "
            f"AVX512F from {cpu}): the AVX-512 kernel cannot run here, the AVX2 kernel ran"
        )
    assert not dropped & {"avx2", "fma"}

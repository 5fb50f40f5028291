"""Exhausted memory ends the process with a fixed message instead of raising."""

import pathlib
import subprocess
import sys
import textwrap

import pytest


def _overcommit_always():
    try:
        return pathlib.Path("/proc/sys/vm/overcommit_memory").read_text().strip() == "1"
    except OSError:
        return True


@pytest.mark.skipif(_overcommit_always(), reason="the kernel grants any allocation")
def test_frame_buffer_that_cannot_be_allocated_aborts_the_process():
    # 10**6 channels and 10**6 frames of one sample: 8 * 10**12 bytes of frames.
    script = textwrap.dedent(
        """
        import numpy as np, kavrel
        bank = kavrel.ResonatorBank(np.full(10**6, 440.0, np.float32), 44100.0)
        bank.resonate(np.zeros(10**6, np.float32), 1)
        print("returned")
        """
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode < 0  # killed by SIGABRT, not an exception
    assert "returned" not in run.stdout
    assert "Traceback" not in run.stderr
    assert run.stderr.strip().splitlines()[-1] == "memory allocation of 8000000000000 bytes failed"

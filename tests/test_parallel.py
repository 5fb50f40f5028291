"""The channel-split example: banks of consecutive channels in threads give
exactly the frames of one bank."""

import os
import subprocess
import sys

import numpy as np
import pytest

import kavrel
from bank_model import assert_same_complex, noise, random_params
from support import EXAMPLES, load_example

SCRIPT = EXAMPLES / "parallel.py"
SR = 48000.0


@pytest.fixture(scope="module")
def parallel():
    return load_example("parallel")


@pytest.mark.parametrize(
    "channels, workers",
    [
        (32, 2),  # two whole register tiles each
        (37, 2),  # uneven halves, neither a multiple of the tile
        (100, 3),  # 33, 34, 33
        (1000, 7),
        (5, 8),  # more workers than channels: one channel each
        (1, 4),
        (16, None),  # the default worker count
    ],
)
@pytest.mark.parametrize("factors", ["default", "given"])
def test_split_frames_are_those_of_one_bank(parallel, channels, workers, factors):
    rng = np.random.default_rng(channels)
    freqs, alphas, betas = random_params(rng, channels, SR, alpha_range=(0.01, 0.5))
    kwargs = {"alphas": alphas, "betas": betas} if factors == "given" else {}
    signal = noise(rng, 3000)  # 3000 samples cross renormalisations; 3000 % 256 leaves a tail

    expected = kavrel.ResonatorBank(freqs, SR, **kwargs).resonate(signal, 256)
    actual = parallel.parallel_resonate(freqs, SR, signal, 256, workers=workers, **kwargs)

    assert actual.flags.c_contiguous
    assert_same_complex(actual, expected, f"{channels} channels, {workers} workers")


@pytest.mark.parametrize("channels, parts", [(10, 3), (5, 5), (4096, 2), (7, 1)])
def test_channel_splits_cover_every_channel_once_evenly(parallel, channels, parts):
    splits = parallel.channel_splits(channels, parts)
    assert len(splits) == parts
    assert splits[0][0] == 0 and splits[-1][1] == channels
    assert all(a[1] == b[0] for a, b in zip(splits, splits[1:]))
    sizes = [b - a for a, b in splits]
    assert max(sizes) - min(sizes) <= 1


@pytest.mark.parametrize(
    "signal, hop",
    [
        (np.zeros(100, np.float64), 10),  # wrong dtype
        (np.zeros(200, np.float32)[::2], 10),  # not contiguous
        ([0.0] * 100, 10),  # not an array
        (np.zeros(100, np.float32), -1),  # negative hop
        (np.zeros(100, np.float32), 0),  # the bank's division failure
    ],
)
def test_bad_arguments_fail_as_one_bank_fails(parallel, signal, hop):
    freqs = np.geomspace(50.0, 5000.0, 40).astype(np.float32)
    with pytest.raises(BaseException) as one:
        kavrel.ResonatorBank(freqs, SR).resonate(signal, hop)
    with pytest.raises(type(one.value)) as split:
        parallel.parallel_resonate(freqs, SR, signal, hop, workers=3)
    assert str(split.value) == str(one.value)


@pytest.mark.parametrize("workers", [0, -2])
def test_worker_count_below_one_is_refused(parallel, workers):
    freqs = np.ones(4, np.float32)
    with pytest.raises(ValueError, match=f"workers must be at least 1, not {workers}"):
        parallel.parallel_resonate(freqs, SR, np.zeros(8, np.float32), 4, workers=workers)


def test_demo_checks_identity():
    run = subprocess.run(
        [sys.executable, str(SCRIPT), "--channels", "40", "--seconds", "0.2", "--workers", "3"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[-1] == "  frames identical bit for bit: yes"


# The demo compares what an analysis needs with the machine's memory where the
# system tells it (os.sysconf); elsewhere it does not refuse.
needs_memory_size = pytest.mark.skipif(
    not hasattr(os, "sysconf"), reason="no os.sysconf: the system does not tell its memory"
)


@pytest.mark.parametrize(
    "args, message",
    [
        (["--seconds", "nan"], "--seconds must be a positive number of seconds, not nan"),
        (["--seconds", "inf"], "--seconds must be a positive number of seconds, not inf"),
        (["--seconds", "-1"], "--seconds must be a positive number of seconds, not -1.0"),
        pytest.param(
            ["--seconds", "1e12"],
            "this analysis needs about 5.26e+09 GiB, more than the ",
            marks=needs_memory_size,
        ),
        pytest.param(
            ["--seconds", "1e305"],
            "this analysis needs about 5.5e+11 GiB, more than the ",
            marks=needs_memory_size,
        ),
        pytest.param(
            ["--channels", "1" + "0" * 400],
            "this analysis needs about inf GiB, more than the ",
            marks=needs_memory_size,
        ),
        pytest.param(
            ["--channels", "100000000", "--hop", "1"],
            "this analysis needs about 9.86e+05 GiB",
            marks=needs_memory_size,
        ),
        (
            ["--hop", "1180591620717411303424"],
            "--hop 1180591620717411303424 is longer than the signal (441000 samples): no frame",
        ),
        (["--seconds", "1e-9"], "--hop 256 is longer than the signal (0 samples): no frame"),
        (["--channels", "0"], "--channels and --hop must be at least 1"),
        (["--workers", "0"], "--workers must be at least 1"),
    ],
)
def test_bad_demo_arguments_are_one_line_before_any_work(parallel, capsys, args, message):
    with pytest.raises(SystemExit) as exit_:
        parallel.main(args)

    captured = capsys.readouterr()
    assert exit_.value.code == 2 and captured.out == ""
    assert captured.err.startswith(f"parallel.py: error: {message}")
    assert captured.err.count("\n") == 1

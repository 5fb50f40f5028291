"""kavrel_tools: the streaming analyser against one resonate, the grids against their
formulas, the input scaling, the settling time against a bank, the labelled results."""

import math
import os
import re
import signal
import subprocess
import sys

import numpy as np
import pytest

import kavrel
import kavrel_tools as kt
from bank_model import assert_same_complex, noise, random_params
from kavrel_tools.audio import as_signal
from kavrel_tools.files import NotRegularFile, open_regular
from kavrel_tools.stream import settling_samples, stream_frames
from support import UNDER_ASAN, UNDER_EMULATION, F

SR = 48000.0


def random_cuts(rng, length, count):
    """Sorted cut points, repeats included (empty blocks)."""
    return np.sort(rng.integers(0, length + 1, count))


@pytest.mark.parametrize("hop", [1, 7, 256, 1000])
@pytest.mark.parametrize("seed", range(4))
def test_any_block_split_gives_the_frames_of_one_resonate(hop, seed):
    rng = np.random.default_rng(seed)
    freqs, alphas, betas = random_params(rng, 23, SR)
    signal = noise(rng, 3000 + seed)
    whole = kavrel.ResonatorBank(freqs, SR, alphas=alphas, betas=betas).resonate(signal, hop)
    analyser = kt.StreamAnalyser(freqs, SR, hop, alphas=alphas, betas=betas)
    blocks = np.split(signal, random_cuts(rng, len(signal), 12))
    parts = [analyser.feed(block) for block in blocks]
    assert_same_complex(np.concatenate(parts), whole)
    assert (analyser.frames, analyser.pending) == divmod(len(signal), hop)
    bank = kavrel.ResonatorBank(freqs, SR, alphas=alphas, betas=betas)
    assert_same_complex(np.concatenate(list(stream_frames(blocks, bank, hop))), whole)


@pytest.mark.parametrize("channel_axis", [0, 1])
def test_channels_get_a_bank_each_and_any_block_split(channel_axis):
    rng = np.random.default_rng(5)
    freqs = kt.key_frequencies()
    stereo = np.stack([noise(rng, 2000), noise(rng, 2000)])  # (channels, samples)
    data = stereo if channel_axis == 0 else stereo.T  # a transposed view: not contiguous
    analyser = kt.StreamAnalyser(freqs, SR, 100, channels=2)
    cuts = random_cuts(rng, 2000, 6)
    blocks = np.split(data, cuts, axis=1 - channel_axis)
    frames = np.concatenate([analyser.feed(b, channel_axis=channel_axis) for b in blocks], axis=1)
    for channel in range(2):
        whole = kavrel.ResonatorBank(freqs, SR).resonate(stereo[channel], 100)
        assert_same_complex(frames[channel], whole)


@pytest.mark.parametrize(
    "block, kwargs, error, message",
    [
        (np.zeros((2, 10), F), {"channel_axis": 0}, ValueError, "the block has 2 channel(s), "),
        (np.zeros((10, 2), F), {}, ValueError, "a 2-D signal needs channel_axis: 0 for"),
        (np.zeros(10, np.int64), {}, TypeError, "samples of dtype int64 are not audio"),
        (np.zeros((2, 2, 2), F), {}, ValueError, "samples must be 1-D or 2-D, not 3-D"),
    ],
)
def test_a_refused_block_changes_nothing(block, kwargs, error, message):
    signal = noise(np.random.default_rng(2), 900)
    analyser = kt.StreamAnalyser([440.0, 880.0], SR, 64)
    first = analyser.feed(signal[:100])
    with pytest.raises(error, match="^" + re.escape(message)):
        analyser.feed(block, **kwargs)
    rest = analyser.feed(signal[100:])
    whole = kavrel.ResonatorBank(np.array([440.0, 880.0], F), SR).resonate(signal, 64)
    assert_same_complex(np.concatenate([first, rest]), whole)


@pytest.mark.parametrize(
    "freqs, hop, channels, message",
    [
        ([440.0], 0, 1, "hop must be a whole number of samples, at least 1, not 0"),
        ([440.0], 2.5, 1, "hop must be a whole number of samples, at least 1, not 2.5"),
        ([440.0], 64, 0, "channels must be at least 1, not 0"),
        ([], 64, 1, "freqs must hold at least one frequency"),
    ],
)
def test_bad_analyser_arguments(freqs, hop, channels, message):
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        kt.StreamAnalyser(freqs, SR, hop, channels=channels)


def test_analyse_refuses_a_rate_with_no_key_below_nyquist():
    with pytest.raises(ValueError, match="^freqs must hold at least one frequency$"):
        kt.analyse(np.zeros(100), 50.0)


# ---------------------------------------------------------------------------
# Input


@pytest.mark.parametrize(
    "dtype, raw, expected",
    [
        (np.int16, [-32768, -1, 0, 1, 32767], [-1.0, -(2.0**-15), 0.0, 2.0**-15, 1 - 2.0**-15]),
        (np.int32, [-(2**31), -1, 1, 2**31 - 1], [-1.0, -(2.0**-31), 2.0**-31, 1.0]),
        (np.int8, [-128, 0, 127], [-1.0, 0.0, 127 / 128]),
        (np.uint8, [0, 128, 255], [-1.0, 0.0, 127 / 128]),
        (np.float64, [0.1, -2.5, 1e40], [F(0.1), -2.5, np.inf]),
    ],
)
def test_scaling_of_each_sample_type(dtype, raw, expected):
    # 2**31 - 1 over 2**31 rounds to 1.0 in float32: full scale reads 1.0 there.
    got = as_signal(np.array(raw, dtype=dtype))
    assert got.dtype == F and got.flags.c_contiguous
    assert got.tolist() == np.array(expected, F).tolist()


@pytest.mark.parametrize("dtype", [np.int16, np.int32])
def test_mixing_full_scale_channels_does_not_overflow(dtype):
    top = np.iinfo(dtype).max
    stereo = np.array([[top, top], [top, top - 1], [-top - 1, -top - 1]], dtype=dtype)
    mono = as_signal(stereo, channel_axis=1, mix=True)
    bits = np.iinfo(dtype).bits - 1
    expected = [top / 2.0**bits, (top - 0.5) / 2.0**bits, -1.0]
    assert mono.tolist() == np.array(expected, F).tolist()


def test_views_and_layouts_give_the_same_signal():
    rng = np.random.default_rng(3)
    data = rng.standard_normal((500, 3))
    by_columns = as_signal(data, channel_axis=1)
    assert by_columns.shape == (3, 500) and by_columns.flags.c_contiguous
    assert as_signal(data.T, channel_axis=0).tobytes() == by_columns.tobytes()
    assert as_signal(data[::-2, 1]).tobytes() == data[::-2, 1].astype(F).tobytes()
    ready = noise(rng, 10)
    assert as_signal(ready) is ready  # already what the bank takes: no copy


@pytest.fixture(scope="module")
def sound_files(tmp_path_factory):
    soundfile = pytest.importorskip("soundfile")
    folder = tmp_path_factory.mktemp("sounds")
    t = np.arange(8000) / 8000.0
    stereo = np.stack([0.5 * np.sin(2 * np.pi * 440 * t), 0.25 * np.sin(2 * np.pi * 220 * t)], 1)
    soundfile.write(folder / "stereo.wav", stereo, 8000, subtype="PCM_16")
    return soundfile, folder / "stereo.wav"


@pytest.mark.parametrize("dtype", ["float64", "int16"])
def test_soundfile_arrays_go_through_in_one_call(sound_files, dtype):
    soundfile, path = sound_files
    data, rate = soundfile.read(path, dtype=dtype)  # (samples, 2)
    full_scale = 1.0 if dtype == "float64" else 32768.0
    result = kt.analyse(data, rate, channel_axis=1, hop=80)
    left = (data[:, 0] / full_scale).astype(F)
    bank = kavrel.ResonatorBank(result.freqs, rate)
    assert_same_complex(result.values[0], bank.resonate(left, 80).T.copy())
    mono = kt.analyse(data[:, 0], rate, hop=80)  # one channel, as soundfile gives float64
    assert_same_complex(mono.values, result.values[0])
    assert result.freqs[-1] < rate / 2 <= kt.key_frequencies()[len(result.freqs)]


def test_load_mixes_keeps_and_resamples(sound_files):
    soundfile, path = sound_files
    data, _ = soundfile.read(path, dtype="float64")
    mixed, rate = kt.load(path)
    assert rate == 8000.0 and mixed.tolist() == data.mean(axis=1).astype(F).tolist()
    kept, _ = kt.load(path, mix=False)
    assert kept.tolist() == data.T.astype(F).tolist()
    pytest.importorskip("soxr")
    resampled, rate = kt.load(path, sample_rate=16000)
    assert rate == 16000 and resampled.dtype == F and len(resampled) == 2 * len(mixed)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="the system has no FIFOs")
@pytest.mark.parametrize("writing", [False, True])
@pytest.mark.parametrize("make, kind", [(os.mkfifo, "a FIFO"), (os.mkdir, "a directory")])
def test_only_regular_files_are_opened(tmp_path, make, kind, writing):
    # A FIFO opened for reading would wait for a writer for ever: the check
    # must come first, so a regression fails here (after the alarm) instead of hanging.
    make(tmp_path / "x.wav")
    with pytest.raises(NotRegularFile, match="x.wav is " + kind + ", not a regular file") as info:
        _with_alarm(lambda: open_regular(tmp_path / "x.wav", writing))
    assert info.value.kind == kind
    if kind == "a FIFO" and not writing:
        pytest.importorskip("soundfile")
        with pytest.raises(NotRegularFile):
            _with_alarm(lambda: kt.load(tmp_path / "x.wav"))


def test_opening_for_writing_creates_and_keeps_the_contents(tmp_path):
    with pytest.raises(FileNotFoundError):
        open_regular(tmp_path / "missing.wav")
    with open_regular(tmp_path / "new.png", writing=True) as file:
        file.write(b"abc")
    with open_regular(tmp_path / "new.png", writing=True) as file:  # not truncated
        file.write(b"X")
    assert (tmp_path / "new.png").read_bytes() == b"Xbc"


def _with_alarm(call):
    if not hasattr(signal, "SIGALRM"):
        return call()

    def blocked(*_):  # raising ends a blocked open(); a handler that returns lets it go on
        raise TimeoutError("opening the file blocked")

    previous = signal.signal(signal.SIGALRM, blocked)
    signal.alarm(10)
    try:
        return call()
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


# ---------------------------------------------------------------------------
# Frequencies


@pytest.mark.parametrize(
    "fmin, n_bins, per_octave",
    [(32.70319566, 84, 12), (27.5, 88, 12), (55.0, 97, 24), (20.0, 301, 36)],
)
def test_grid_is_the_constant_q_grid(fmin, n_bins, per_octave):
    expected = [F(fmin * math.pow(2.0, k / per_octave)) for k in range(n_bins)]
    grid = kt.log_frequencies(fmin, n_bins, bins_per_octave=per_octave)
    assert grid.dtype == F and grid.tolist() == [float(v) for v in expected]
    # Whole octaves are exact, and an fmax on the last bin keeps it.
    assert grid[::per_octave].tolist() == [
        float(F(fmin * 2**k)) for k in range(len(grid[::per_octave]))
    ]
    top = fmin * 2.0 ** ((n_bins - 1) / per_octave)
    assert kt.log_frequencies(fmin, fmax=top, bins_per_octave=per_octave).tolist() == grid.tolist()
    assert len(kt.log_frequencies(fmin, fmax=top * 0.999, bins_per_octave=per_octave)) == n_bins - 1


def test_grid_values_of_the_piano():
    grid = kt.log_frequencies(27.5, fmax=4186.01)
    assert len(grid) == 88 and grid[48] == 440.0 and grid[-1] == F(4186.009044809578)
    with pytest.raises(ValueError, match=r"^the grid reaches 4186\.01 Hz, at or above the Nyquist"):
        kt.log_frequencies(27.5, 88, sample_rate=8000)
    assert kt.below_nyquist(grid, 8000).tolist() == grid[grid < 4000].tolist()


@pytest.mark.parametrize(
    "name, midi",
    [
        ("C-1", 0),
        ("A0", 21),
        ("C4", 60),
        ("C#4", 61),
        ("Db4", 61),
        ("Cb4", 59),
        ("B#3", 60),
        ("a4", 69),
        ("G9", 127),
        ("C8", 108),
    ],
)
def test_note_names(name, midi):
    assert kt.note_to_midi(name) == midi
    assert kt.note_to_midi(kt.note_name(midi)) == midi


@pytest.mark.parametrize(
    "midi, tuning, hz",
    [(69, 440.0, 440.0), (81, 440.0, 880.0), (57, 432.0, 216.0), (21, 440.0, 27.5)],
)
def test_hz_and_midi(midi, tuning, hz):
    assert kt.midi_to_hz(midi, tuning) == hz and kt.hz_to_midi(hz, tuning) == midi
    assert kt.hz_to_midi(np.array([hz, 2 * hz]), tuning).tolist() == [midi, midi + 12]


# ---------------------------------------------------------------------------
# Settling and results


@pytest.mark.parametrize("alpha, beta", [(0.01, 0.01), (0.003, 0.02), (0.2, 0.05), (1.0, 1.0)])
@pytest.mark.parametrize("fraction", [0.5, 0.9, 0.99])
def test_settling_samples_match_a_bank_at_zero_hertz(alpha, beta, fraction):
    # At 0 Hz the phasor stays 1: a step of ones is the two stages' step response.
    bank = kavrel.ResonatorBank(
        np.zeros(1, F), SR, alphas=np.array([alpha], F), betas=np.array([beta], F)
    )
    response = np.abs(bank.resonate(np.ones(20000, F), 1)[:, 0])
    first = int(np.argmax(response >= fraction)) + 1
    expected = settling_samples([F(alpha)], [F(beta)], fraction)[0]
    assert abs(expected - first) <= 1  # the bank rounds in float32, the formula in float64


def test_settling_of_factors_that_never_settle():
    assert settling_samples([0.0, -0.1, np.nan, 0.5]).tolist() == [np.inf] * 3 + [6.0]


def test_labelled_spectrogram():
    xarray = pytest.importorskip("xarray")
    freqs = kt.key_frequencies([57, 69])
    signal = (0.5 * np.sin(2 * np.pi * 440.0 * np.arange(4800) / SR)).astype(F)
    spec = kt.analyse(signal, SR, freqs, hop=480)
    assert spec.values.shape == (2, 10) and spec.times.tolist() == [0.01 * k for k in range(1, 11)]
    levels = spec.to_xarray()
    assert isinstance(levels, xarray.DataArray) and levels.dims == ("frequency", "time")
    assert levels.coords["midi"].values.round(4).tolist() == [57.0, 69.0]
    assert abs(float(levels.sel(frequency=440.0).isel(time=-1)) - (-6.02)) < 0.1
    assert kt.power_db(np.zeros(2), floor_db=-90.0).tolist() == [-90.0, -90.0]


@pytest.mark.skipif(
    UNDER_ASAN or UNDER_EMULATION,
    reason="peak memory of the process means nothing under the sanitizer or an emulator",
)
def test_ten_minutes_through_the_analyser_in_bounded_memory(tmp_path):
    soundfile = pytest.importorskip("soundfile")
    second = np.round(16000 * np.sin(2 * np.pi * 440 * np.arange(44100) / 44100)).astype(np.int16)
    script = (
        "import sys, soundfile, kavrel_tools as kt\n"
        "a = kt.StreamAnalyser(kt.log_frequencies(400, 5), 44100, 2205)\n"
        "print(sum(len(a.feed(b)) for b in soundfile.blocks(sys.argv[1], 65536, dtype='int16')))\n"
    )
    # The script runs in a child of a fresh process, whose peak memory is the child's alone
    # (a process started from this one would count the test runner's pages as its own).
    probe = (
        "import resource, subprocess, sys\n"
        "run = subprocess.run([sys.executable, '-c', *sys.argv[1:]], capture_output=True)\n"
        "assert run.returncode == 0, run.stderr\n"
        "print(int(run.stdout), resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
    )
    peaks = {}
    for minutes in (1, 10):
        path = tmp_path / f"{minutes}.wav"
        soundfile.write(path, np.tile(second, 60 * minutes), 44100)
        run = subprocess.run(
            [sys.executable, "-c", probe, script, str(path)],
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert run.returncode == 0, run.stderr
        frames, peak = map(int, run.stdout.split())
        assert frames == 60 * minutes * 20
        peaks[minutes] = peak / 1024  # MiB
        path.unlink()
    assert peaks[10] - peaks[1] < 20, peaks  # ten minutes read whole would be 50 MiB more

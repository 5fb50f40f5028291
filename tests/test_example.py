"""The spectrogram example: run as a script and used as a module."""

import os
import re
import struct
import subprocess
import sys
import wave

import numpy as np
import pytest

import kavrel
from support import EXAMPLES, UNDER_ASAN, UNDER_EMULATION, load_example

matplotlib = pytest.importorskip("matplotlib")
pytest.importorskip("matplotlib.image")
soundfile = pytest.importorskip("soundfile")
# WAV files are written with SciPy, a writer independent of the script's reader.
wavfile = pytest.importorskip("scipy.io.wavfile")

SCRIPT = EXAMPLES / "spectrogram.py"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
SEGMENT_LINE = re.compile(r"^\s*(\d+\.\d+)-\s*(\d+\.\d+) s: (.*)$")
NOTE_ENTRY = re.compile(r"([A-G]#?-?\d+) \((-?\d+\.\d) dB\)")


@pytest.fixture(scope="module")
def example():
    return load_example("spectrogram")


@pytest.fixture(scope="module")
def demo(example):
    sample_rate = example.DEMO_SAMPLE_RATE
    signal, notes = example.synthesize_demo(sample_rate)
    return sample_rate, signal, notes


def frames_of(example, signal, sample_rate, hop, channels=None, size=1 << 16):
    """The frames of `signal` analysed block by block, `size` samples at a time."""
    channels = channels or example.Channels.between(27.5, 4186.01, 12).below(sample_rate / 2)
    bank = kavrel.ResonatorBank(channels.freqs, float(sample_rate))
    blocks = (signal[i : i + size] for i in range(0, len(signal), size))
    return bank, np.concatenate([f for f in example.analyse(blocks, bank, hop)])


def run_analysis(example, signal, sample_rate, hop, size=1 << 16):
    channels = example.Channels.between(27.5, 4186.01, 12).below(sample_rate / 2)
    bank = kavrel.ResonatorBank(channels.freqs, float(sample_rate))
    blocks = (signal[i : i + size] for i in range(0, len(signal), size))
    return example.run(blocks, bank, hop, sample_rate, len(signal) // hop)


def run_script(*args):
    proc = subprocess.run(
        [sys.executable, str(SCRIPT), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def parse_segments(stdout):
    """[(start, end, [(name, level_db), ...]), ...] from the printed report."""
    segments = []
    for line in stdout.splitlines():
        match = SEGMENT_LINE.match(line)
        if match:
            entries = [(name, float(db)) for name, db in NOTE_ENTRY.findall(match[3])]
            assert entries, line
            segments.append((float(match[1]), float(match[2]), entries))
    return segments


def check_png(path):
    data = path.read_bytes()
    assert data[:8] == PNG_SIGNATURE
    assert data[12:16] == b"IHDR"
    width, height = struct.unpack(">II", data[16:24])
    assert 600 <= width <= 4000 and 400 <= height <= 3000, (width, height)
    assert 20_000 < len(data) < 5_000_000
    assert data.rstrip(b"\0")[-8:-4] == b"IEND"


def test_demo_run_reports_the_notes_played(tmp_path, example, demo):
    out = tmp_path / "demo.png"
    stdout = run_script("-o", out)

    check_png(out)
    assert stdout.splitlines()[-1] == f"Wrote {out}"
    segments = parse_segments(stdout)
    assert len(segments) >= 10

    # Every segment that lies within a note (its first 50 ms of settling
    # excepted) lists that note among the strongest ones.
    _, _, notes = demo
    for note in notes:
        name = example.note_name(note.midi)
        inside = [s for s in segments if s[0] >= note.start + 0.05 and s[1] <= note.end]
        assert inside, f"no printed segment within {note}"
        for start, end, entries in inside:
            assert name in [n for n, _ in entries], (note, start, end, entries)

    # After the notes the chirp sweeps upwards: its strongest note climbs.
    chirp = [s for s in segments if s[0] >= max(n.end for n in notes) + 0.05]
    assert len(chirp) >= 4
    keys = {example.note_name(m): m for m in range(21, 109)}
    climb = [keys[entries[0][0]] for _, _, entries in chirp]
    assert all(a < b for a, b in zip(climb, climb[1:])), climb


def test_each_demo_note_is_its_own_strongest_channel(example, demo):
    sample_rate, signal, notes = demo
    hop = example.hop_for(sample_rate)
    _, frames = frames_of(example, signal, sample_rate, hop)
    assert frames.shape == (len(signal) // hop, 88)
    times = (np.arange(len(frames)) + 1) * hop / sample_rate

    for note in notes:
        # The steady part: after the attack has settled, before the release.
        start, end = note.start + 0.1, note.end - 0.1
        power = (np.abs(frames[(times >= start) & (times <= end)]) ** 2).mean(axis=0)
        sounding = {n.midi for n in notes if n.start <= start and n.end >= end}
        strongest = {21 + int(i) for i in np.argsort(power)[-len(sounding) :]}
        assert note.midi in sounding
        assert strongest == sounding, (note, sorted(strongest), sorted(sounding))


def tone_440(sample_rate, seconds, amplitude):
    t = np.arange(int(seconds * sample_rate)) / sample_rate
    return amplitude * np.sin(2 * np.pi * 440.0 * t)


@pytest.mark.parametrize(
    "kind, expected_db",
    [
        # left channel at 0.8, right silent: the mono mix has amplitude 0.4
        ("pcm16_stereo", 20 * np.log10(0.4)),
        ("float32_mono", 20 * np.log10(0.5)),
    ],
)
def test_wav_tone_is_reported_as_a4(tmp_path, kind, expected_db):
    sample_rate = 22050
    tone = np.concatenate([tone_440(sample_rate, 0.75, 1.0), np.zeros(sample_rate // 2)])
    wav = tmp_path / f"{kind}.wav"
    if kind == "pcm16_stereo":
        left = np.round(0.8 * tone * 32767).astype(np.int16)
        wavfile.write(wav, sample_rate, np.stack([left, np.zeros_like(left)], axis=1))
    else:
        wavfile.write(wav, sample_rate, (0.5 * tone).astype(np.float32))
    out = tmp_path / f"{kind}.png"

    stdout = run_script(wav, "-o", out)

    check_png(out)
    assert f"{wav.name}, 1.25 s at {sample_rate} Hz" in stdout
    segments = parse_segments(stdout)
    tone_segments = [s for s in segments if s[1] <= 0.75]
    assert len(tone_segments) == 3
    for start, _, entries in tone_segments:
        # the neighbouring keys pick up the tone too, but are no peaks
        assert len(entries) == 1, entries
        name, level = entries[0]
        assert name == "A4"
        if start >= 0.25:  # fully settled
            assert level == pytest.approx(expected_db, abs=0.3)
    # The tone stops at 0.75 s; the last quarter second is silence.
    assert all(s[0] < 1.0 for s in segments), segments


def write_24bit_wav(path, sample_rate, ints):
    """24-bit PCM, which scipy cannot write, through the standard wave module."""
    with wave.open(str(path), "wb") as out:
        out.setnchannels(ints.shape[1] if ints.ndim == 2 else 1)
        out.setsampwidth(3)
        out.setframerate(sample_rate)
        little = ints.reshape(-1).astype("<i4").view(np.uint8).reshape(-1, 4)
        out.writeframes(little[:, :3].tobytes())


@pytest.mark.parametrize(
    "dtype, full_scale",
    [
        ("uint8", 128),
        ("int16", 2**15),
        ("int24", 2**23),
        ("int32", 2**31),
        ("float32", 1.0),
        ("float64", 1.0),
    ],
)
@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("size", [1, 4, 1 << 16])
def test_file_blocks_scale_and_mix_to_mono(tmp_path, example, dtype, full_scale, channels, size):
    values = np.array([0.0, 0.5, -0.5, -1.0, 0.25, 0.75])
    columns = [values, -values[::-1]][:channels]
    wanted = np.mean(columns, axis=0)
    data = np.stack(columns, axis=1) if channels == 2 else values
    path = tmp_path / f"{dtype}.wav"
    if dtype == "float32" or dtype == "float64":
        wavfile.write(path, 8000, data.astype(dtype))
    else:
        ints = np.round(data * full_scale).clip(-full_scale, full_scale - 1).astype(np.int64)
        if dtype == "uint8":
            wavfile.write(path, 8000, (ints + 128).astype(np.uint8))
        elif dtype == "int24":
            write_24bit_wav(path, 8000, ints)
        else:
            wavfile.write(path, 8000, ints.astype(dtype))

    with example.open_sound(str(path)) as sound:
        blocks = list(example.mono_blocks(sound, size))
        assert sound.samplerate == 8000
    samples = np.concatenate(blocks)

    assert [len(b) for b in blocks[:-1]] == [size] * (len(blocks) - 1)
    assert all(b.dtype == np.float32 and b.flags.c_contiguous for b in blocks)
    assert samples.shape == (len(values),)
    np.testing.assert_allclose(samples, wanted, atol=1.0 / full_scale if full_scale > 1 else 1e-7)


def test_input_shorter_than_one_frame_fails_cleanly(tmp_path, example, capsys):
    wav = tmp_path / "short.wav"
    wavfile.write(wav, 44100, np.zeros(100, dtype=np.int16))  # a frame is 220 samples
    out = tmp_path / "short.png"

    assert example.main([str(wav), "-o", str(out)]) == 1

    assert not out.exists()
    assert "shorter than one frame (220 samples)" in capsys.readouterr().err


def test_silent_input_reports_no_notes(example):
    analysis = run_analysis(example, np.zeros(44100, dtype=np.float32), 44100, 220)
    assert len(analysis.segments) == 4
    assert example.audible(analysis.segments) == []


@pytest.mark.parametrize(
    "midi, name",
    [
        (21, "A0"),
        (22, "A#0"),
        (23, "B0"),
        (24, "C1"),
        (59, "B3"),
        (60, "C4"),
        (66, "F#4"),
        (69, "A4"),
        (108, "C8"),
    ],
)
def test_note_names(example, midi, name):
    assert example.note_name(midi) == name


@pytest.mark.parametrize(
    "suffix, fmt, subtype, tolerance_db",
    [
        (".flac", "FLAC", "PCM_16", 0.1),
        (".wav", "WAV", "ALAW", 0.3),
        (".wav", "WAV", "ULAW", 0.3),
        (".aiff", "AIFF", "PCM_24", 0.1),
        (".ogg", "OGG", "VORBIS", 0.5),
    ],
)
def test_sound_file_formats_are_read(tmp_path, example, capsys, suffix, fmt, subtype, tolerance_db):
    sample_rate = 22050
    path = tmp_path / f"tone-{subtype}{suffix}"
    soundfile.write(path, tone_440(sample_rate, 1.0, 0.5), sample_rate, format=fmt, subtype=subtype)

    assert example.main([str(path), "-o", str(tmp_path / "out.png")]) == 0

    segments = parse_segments(capsys.readouterr().out)
    assert len(segments) == 4
    for _, _, entries in segments[1:]:  # settled
        assert [name for name, _ in entries] == ["A4"], entries
        assert entries[0][1] == pytest.approx(20 * np.log10(0.5), abs=tolerance_db)


@pytest.mark.parametrize(
    "sample_rate, notice, count, top",
    [
        (8000, "Left out 1 channel above the Nyquist frequency (4000 Hz): C8", "87", "B7 (3951.1"),
        (
            6000,
            "Left out 6 channels above the Nyquist frequency (3000 Hz): G7 to C8",
            "82",
            "F#7 (2960.0",
        ),
        (8373, None, "88", "C8 (4186.0"),  # C8 is 4186.01 Hz
    ],
)
def test_keys_above_nyquist_are_left_out_with_a_notice(tmp_path, sample_rate, notice, count, top):
    wav = tmp_path / "tone.wav"
    wavfile.write(wav, sample_rate, tone_440(sample_rate, 0.5, 0.5).astype(np.float32))
    out = tmp_path / "tone.png"

    lines = run_script(wav, "-o", out).splitlines()

    check_png(out)
    assert [line for line in lines if "Nyquist" in line] == ([notice] if notice else [])
    analysed = f"Analysed {count} channels from A0 (27.5 Hz) to {top} Hz), 12 per octave,"
    assert lines[2 if notice else 1].startswith(analysed)


def test_no_printed_segment_is_empty(example):
    # At 8 kHz a frame is 40 samples, so the last frame of 2.00 s is read at
    # exactly 2.00 s: it closes the segment 1.75-2.00 and opens none.
    # Blocks of 7 samples split frames and segments anywhere.
    signal = tone_440(8000, 2.0, 0.5).astype(np.float32)
    for size in (7, 1 << 16):
        analysis = run_analysis(example, signal, 8000, 40, size)
        assert [s.number for s in example.audible(analysis.segments)] == list(range(8))


@pytest.mark.parametrize(
    "case, message",
    [
        ("missing", "error: no such file: {input}"),
        ("directory", "error: {input} is a directory, not a sound file"),
        ("corrupt", "error: cannot read {input}: "),
        ("not sound", "error: cannot read {input}: Format not recognised."),
        (
            "out.xyz",
            "error: cannot write {output}: the output's extension names its format, one of ",
        ),
        ("out", "error: cannot write {output}: the output's extension names its format, one of "),
        ("missing/out.png", "error: cannot write {output}: no such directory: "),
        ("tone.wav/out.png", "error: cannot write {output}: no such directory: "),
        pytest.param(
            "/proc/out.png",
            "error: cannot write {output}: No such file or directory",
            marks=pytest.mark.skipif(
                not sys.platform.startswith("linux"),
                reason="a directory in which no file can be made, /proc, is Linux's",
            ),
        ),
        ("out.png/", "error: cannot write {output}: it is a directory"),
        ("folder", "error: cannot write {output}: it is a directory"),
        ("existing out.png", "error: no such file: {input}"),  # left as it was
    ],
)
def test_unusable_input_or_output_is_one_line_and_status_1(
    tmp_path, example, capsys, case, message
):
    path = tmp_path / "tone.wav"
    wavfile.write(path, 8000, tone_440(8000, 0.5, 0.5).astype(np.float32))
    out = tmp_path / (case.split()[-1] if "out" in case else "out.png")
    if case in ("out.png/", "folder"):
        out.mkdir()
    elif case == "existing out.png":
        out.write_bytes(b"an earlier picture")
    if case in ("missing", "existing out.png"):
        path = tmp_path / "absent.wav"
    elif case == "directory":
        path = tmp_path
    elif case == "corrupt":
        path.write_bytes(path.read_bytes()[:50])
    elif case == "not sound":
        path = tmp_path / "notes.flac"
        path.write_text("not a sound file\n")

    assert example.main([str(path), "-o", str(out)]) == 1

    captured = capsys.readouterr()
    assert captured.out == ""  # refused before anything was analysed
    assert captured.err.count("\n") == 1
    assert captured.err.startswith(message.format(input=path, output=out)), captured.err
    if case == "existing out.png":
        assert out.read_bytes() == b"an earlier picture"
    elif case not in ("out.png/", "folder"):
        assert not out.exists()  # nothing left behind


# ---------------------------------------------------------------------------
# Channels, block-wise analysis and bounded memory


@pytest.mark.parametrize(
    "fmin, fmax, per_octave, count, first, last",
    [
        (27.5, 4186.01, 12, 88, "A0", "C8"),  # the defaults: the piano keys
        (60, 7900, 12, 84, "B1", "A#8"),
        (440, 441, 12, 1, "A4", "A4"),
        (430, 470, 24, 3, "A4", "A#4"),
        (400, 460, 24, 5, "403.5 Hz", "452.9 Hz"),  # quarter tones: named by frequency
        (50, 8000, 20, 146, "51.3 Hz", "7811.4 Hz"),
        (100, 200, 1, 1, "A2", "A2"),  # every channel of 1 per octave is an A
    ],
)
def test_channels_lie_on_the_grid_through_a4(example, fmin, fmax, per_octave, count, first, last):
    channels = example.Channels.between(fmin, fmax, per_octave)

    assert len(channels) == count
    assert (channels.label(0), channels.label(count - 1)) == (first, last)
    assert channels.freqs.dtype == np.float32
    assert fmin <= channels.freqs[0] and channels.freqs[-1] <= fmax
    # Outside the range lies the next channel of the grid on either side.
    steps = channels.steps
    assert np.array_equal(steps, np.arange(steps[0], steps[0] + count))
    for outside in (steps[0] - 1, steps[-1] + 1):
        hz = 440.0 * 2.0 ** (outside / per_octave)
        assert not (fmin <= hz <= fmax)
    np.testing.assert_allclose(channels.freqs, 440.0 * 2.0 ** (steps / per_octave), rtol=1e-6)
    if per_octave == 12:  # exactly the keys' frequencies, as the piano picture had them
        keys = np.array([kavrel.midi_to_hz(69 + int(k), 440.0) for k in steps], np.float32)
        assert channels.freqs.tobytes() == keys.tobytes()


def random_signal(length, seed=7):
    rng = np.random.default_rng(seed)
    return (0.3 * rng.standard_normal(length)).astype(np.float32)


@pytest.mark.parametrize("hop", [1, 64, 220, 1000])
@pytest.mark.parametrize("size", [1, 7, 64, 999, 1 << 16])
def test_blocks_give_the_frames_of_one_resonate_call_bit_for_bit(example, hop, size):
    signal = random_signal(5003)
    channels = example.Channels.between(100, 3000, 3)
    whole = kavrel.ResonatorBank(channels.freqs, 8000.0)
    expected = whole.resonate(signal, hop)
    whole.process_samples(signal[len(expected) * hop :])

    bank, frames = frames_of(example, signal, 8000, hop, channels, size)

    assert frames.dtype == np.complex64 and frames.shape == expected.shape
    assert frames.view(np.uint32).tobytes() == expected.view(np.uint32).tobytes()
    # The bank has seen every sample, the tail after the last frame included.
    state = [bank.complex(i) for i in range(len(bank))]
    assert state == [whole.complex(i) for i in range(len(whole))]


@pytest.mark.parametrize("max_columns, per_column", [(960, 1), (100, 3), (7, 40)])
@pytest.mark.parametrize("size", [13, 1 << 16])
def test_picture_columns_average_the_frames(example, monkeypatch, max_columns, per_column, size):
    monkeypatch.setattr(example, "MAX_COLUMNS", max_columns)
    signal = random_signal(40 * 276 + 17)
    frames = run_analysis(example, signal, 8000, 40, 1 << 20).frames
    _, expected = frames_of(example, signal, 8000, 40)

    analysis = run_analysis(example, signal, 8000, 40, size)

    assert analysis.frames == frames == 276
    assert analysis.frames_per_column == per_column
    assert len(analysis.columns) == -(-276 // per_column)
    power = np.abs(expected.astype(np.complex128)) ** 2
    for c, column in enumerate(analysis.columns):
        want = power[c * per_column : (c + 1) * per_column].mean(axis=0)
        if per_column == 1:
            assert column.tobytes() == want.tobytes()
        else:
            np.testing.assert_allclose(column, want, rtol=1e-12)


def speech_like(sample_rate, seconds):
    """A 110 Hz buzz with harmonics falling 6 dB an octave, then a steady
    7040 Hz tone of amplitude 0.5 (a channel of the speech range)."""
    t = np.arange(int(seconds * sample_rate)) / sample_rate
    half = len(t) // 2
    buzz = sum(np.sin(2 * np.pi * 110 * h * t[:half]) / h for h in range(1, 60))
    hiss = 0.5 * np.sin(2 * np.pi * 7040 * t[half:])
    return np.concatenate([0.3 * buzz, hiss]).astype(np.float32)


def test_speech_range_at_16_khz(tmp_path, example, capsys):
    path = tmp_path / "speech.flac"
    soundfile.write(path, speech_like(16000, 2.0), 16000, subtype="PCM_24")
    out = tmp_path / "speech.png"

    assert example.main([str(path), "--fmin", "60", "--fmax", "7900", "-o", str(out)]) == 0

    check_png(out)
    lines = capsys.readouterr().out.splitlines()
    assert lines[:2] == [
        "Input: speech.flac, 2.00 s at 16000 Hz",
        "Analysed 84 channels from B1 (61.7 Hz) to A#8 (7458.6 Hz), 12 per octave, "
        "400 frames of 80 samples (5.0 ms)",
    ]
    segments = parse_segments("\n".join(lines))
    assert len(segments) == 8
    for _, _, entries in segments[1:4]:  # the buzz: its low harmonics are strongest
        assert {name for name, _ in entries} <= {"A2", "A3", "E4", "A4", "C#5"}, entries
    for _, _, entries in segments[5:]:  # the settled tone, far above the piano's C8
        assert entries[0][0] == "A8" and entries[0][1] == pytest.approx(-6.02, abs=0.1)


@pytest.mark.parametrize(
    "options, analysed, first_entry",
    [
        (
            ["--bins-per-octave", "10"],
            "Analysed 73 channels from A0 (27.5 Hz) to 4043.4 Hz, 10 per",
            "A4",
        ),
        (
            ["--hop", "441"],
            "Analysed 88 channels from A0 (27.5 Hz) to C8 ("
            "4186.0 Hz), 12 per octave, 20 frames of 441 samples (20.0 ms)",
            "A4",
        ),
    ],
)
def test_options_set_channels_and_frames(tmp_path, example, capsys, options, analysed, first_entry):
    path = tmp_path / "tone.wav"
    wavfile.write(path, 22050, tone_440(22050, 0.4, 0.5).astype(np.float32))
    out = tmp_path / "tone.png"

    assert example.main([str(path), *options, "-o", str(out)]) == 0

    check_png(out)
    lines = capsys.readouterr().out.splitlines()
    assert lines[1].startswith(analysed), lines[1]
    assert lines[3].split(": ")[1].startswith(f"{first_entry} ("), lines[3]


def test_range_sets_the_darkest_level_drawn(tmp_path, example):
    # A tone whose skirts fall gradually across the channels: the narrower the
    # range, the more of the picture lies below it and is drawn in the darkest
    # colour of the map.
    path = tmp_path / "tone.wav"
    wavfile.write(path, 22050, tone_440(22050, 0.5, 0.5).astype(np.float32))
    darkest = {}
    for range_db in (20, 80):
        out = tmp_path / f"range{range_db}.png"
        assert example.main([str(path), "--range", str(range_db), "-o", str(out)]) == 0
        pixels = matplotlib.image.imread(out)[..., :3]
        lowest = np.array(matplotlib.colormaps["magma"](0.0)[:3])
        darkest[range_db] = np.count_nonzero(np.abs(pixels - lowest).max(axis=-1) < 1 / 255)
    assert darkest[20] > 4 * darkest[80] > 0, darkest


@pytest.mark.parametrize(
    "options, message",
    [
        (["--fmin", "500", "--fmax", "500"], "--fmin (500 Hz) must be below --fmax (500 Hz)"),
        (["--fmin", "0"], "argument --fmin: must be a finite number above 0, not '0'"),
        (["--fmax", "nan"], "argument --fmax: must be a finite number above 0, not 'nan'"),
        (["--range=-inf"], "argument --range: must be a finite number above 0, not '-inf'"),
        (["--range", "loud"], "argument --range: must be a finite number above 0, not 'loud'"),
        (["--hop", "0"], "argument --hop: must be a whole number of at least 1, not '0'"),
        (
            ["--fmin", "441", "--fmax", "460"],
            "no channel of 12 per octave lies between 441 and 460 Hz",
        ),
        (
            ["--bins-per-octave", "276"],  # 2002 channels
            "--bins-per-octave 276 gives more than 2000 channels from 27.5 to 4186.01 Hz",
        ),
        (
            ["--bins-per-octave", "277"],
            "--bins-per-octave 277 gives more than 2000 channels from 27.5 to 4186.01 Hz",
        ),
        (
            ["--bins-per-octave", "1" + "0" * 400],
            f"--bins-per-octave 1{'0' * 400} gives more than 2000 channels from 27.5 to 4186.01 Hz",
        ),
        (
            ["--fmin", "4100", "--fmax", "7900"],
            "no channel lies below the Nyquist frequency (4000 Hz); the lowest is 4186.0 Hz",
        ),
        (
            ["--hop", "1180591620717411303424"],
            "the input is shorter than one frame (1180591620717411303424 samples)",
        ),
        (["--colour", "red"], "unrecognized arguments: --colour red"),
        (
            ["--fmin", "1e-321", "--fmax", "2e-321"],
            "argument --fmin: must be at least 1.17549e-38 Hz (the smallest normal float32), "
            "not '1e-321'",
        ),
    ],
)
def test_unusable_options_are_one_line_and_status_1(tmp_path, example, capsys, options, message):
    path = tmp_path / "tone.wav"
    wavfile.write(path, 8000, tone_440(8000, 1.0, 0.5).astype(np.float32))
    out = tmp_path / "out.png"

    assert example.main([str(path), *options, "-o", str(out)]) == 1

    captured = capsys.readouterr()
    assert (captured.out, captured.err) == ("", f"error: {message}\n")
    assert not out.exists()


@pytest.mark.parametrize(
    "subtype, value, printed",
    [
        ("FLOAT", np.nan, "nan"),
        ("FLOAT", np.inf, "inf"),
        ("DOUBLE", -np.inf, "-inf"),
        ("DOUBLE", 1e300, "inf"),
    ],  # finite in the file, but not as a float32 sample
)
@pytest.mark.parametrize("index", [0, 12345, 15999])
def test_non_finite_samples_are_refused_with_their_time(
    tmp_path, example, capsys, subtype, value, printed, index
):
    samples = tone_440(8000, 2.0, 0.5)
    samples[index] = value
    samples[index + 1 :] = np.nan  # only the first is named
    path = tmp_path / "bad.wav"
    soundfile.write(path, samples, 8000, subtype=subtype)
    out = tmp_path / "out.png"

    assert example.main([str(path), "-o", str(out)]) == 1

    captured = capsys.readouterr()
    assert captured.out == ""
    assert captured.err == (
        f"error: bad.wav has a sample that is not a finite number ({printed}) at "
        f"{index / 8000:.6f} s (sample {index})\n"
    )
    assert not out.exists()


def peak_rss_mib(*args):
    """Peak resident memory (MiB) of the script run in a child of a fresh process."""
    probe = (
        "import resource, subprocess, sys\n"
        "proc = subprocess.run([sys.executable, *sys.argv[1:]], capture_output=True, text=True)\n"
        "assert proc.returncode == 0, proc.stderr\n"
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
    )
    proc = subprocess.run(
        [sys.executable, "-c", probe, str(SCRIPT), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    return int(proc.stdout) / 1024  # ru_maxrss is in KiB on Linux


@pytest.mark.skipif(
    UNDER_ASAN or UNDER_EMULATION,
    reason="peak memory of the process means nothing under the sanitizer or an emulator",
)
@pytest.mark.skipif(
    sys.platform == "win32", reason="Windows has no resource module (getrusage of children)"
)
def test_ten_minutes_at_44_1_khz_in_bounded_memory(tmp_path):
    # Read whole, ten minutes of 44.1 kHz audio alone take 212 MB as float64 and
    # 106 MB more as float32. A few channels and a long hop keep the test quick:
    # the memory of a whole-file read does not depend on them. From one minute
    # on, the picture has all its columns, so the peak must not grow further.
    sample_rate = 44100
    second = 0.5 * np.sin(2 * np.pi * 440 * np.arange(sample_rate) / sample_rate)
    second = np.round(second * 32767).astype(np.int16)
    options = ["--fmin", "400", "--fmax", "500", "--hop", "2205"]
    peak = {}
    for minutes in (1, 10):
        path = tmp_path / f"{minutes}.wav"
        wavfile.write(path, sample_rate, np.tile(second, 60 * minutes))
        peak[minutes] = peak_rss_mib(path, *options, "-o", tmp_path / f"{minutes}.png")
        path.unlink()

    assert peak[10] < 400
    assert peak[10] - peak[1] < 20, peak
    check_png(tmp_path / "10.png")


@pytest.mark.parametrize("role", ["input", "output"])
def test_fifo_is_refused_in_one_line_without_waiting(tmp_path, role):
    fifo = tmp_path / ("sound.wav" if role == "input" else "out.png")
    os.mkfifo(fifo)
    path = tmp_path / "tone.wav"
    wavfile.write(path, 8000, tone_440(8000, 0.5, 0.5).astype(np.float32))
    args = [fifo, "-o", tmp_path / "out.png"] if role == "input" else [path, "-o", fifo]

    # The timeout turns a wait on the FIFO into a failure.
    proc = subprocess.run(
        [sys.executable, str(SCRIPT), *map(str, args)], capture_output=True, text=True, timeout=60
    )

    action = "read" if role == "input" else "write"
    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr == f"error: cannot {action} {fifo}: it is a FIFO, not a regular file\n"


def test_silent_input_is_said_instead_of_drawn(tmp_path, example, capsys):
    path = tmp_path / "silence.wav"
    wavfile.write(path, 8000, np.zeros(8000, np.int16))
    out = tmp_path / "out.png"

    assert example.main([str(path), "-o", str(out)]) == 1

    captured = capsys.readouterr()
    assert captured.err == (
        "error: silence.wav is silent (no channel reaches -100 dB): there is nothing to draw\n"
    )
    assert not out.exists()


def test_paths_that_are_not_utf8_are_read_written_and_shown(tmp_path):
    folder = os.path.join(os.fsencode(tmp_path), b"\xff")
    os.mkdir(folder)
    with open(os.path.join(folder, b"tone\xfe.wav"), "wb") as file:
        soundfile.write(file, tone_440(8000, 0.5, 0.5), 8000, format="WAV")
    path, out = (os.fsdecode(os.path.join(folder, n)) for n in (b"tone\xfe.wav", b"out.png"))

    stdout = run_script(path, "-o", out)

    assert stdout.startswith(f"Input: {ascii(os.path.basename(path))}, 0.50 s at 8000 Hz")
    assert stdout.endswith(f"Wrote {ascii(out)}\n")
    check_png(tmp_path / "\udcff" / "out.png")


def test_reader_that_stops_early_ends_the_script_quietly(tmp_path):
    path = tmp_path / "tone.wav"
    wavfile.write(path, 8000, tone_440(8000, 30.0, 0.5).astype(np.float32))
    command = f"'{sys.executable}' '{SCRIPT}' '{path}' -o '{tmp_path / 'out.png'}' | head -n 1"

    proc = subprocess.run(command, shell=True, capture_output=True, text=True, timeout=120)

    assert (proc.stdout, proc.stderr) == ("Input: tone.wav, 30.00 s at 8000 Hz\n", "")

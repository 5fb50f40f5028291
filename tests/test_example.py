"""The piano-key spectrogram example: run as a script and used as a module."""

import re
import struct
import subprocess
import sys
import wave

import numpy as np
import pytest

from support import EXAMPLES, load_example

pytest.importorskip("matplotlib")
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
    frames = example.analyse(signal, sample_rate, hop)
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
def test_load_audio_scales_and_mixes_to_mono(tmp_path, example, dtype, full_scale, channels):
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

    samples, sample_rate = example.load_audio(str(path))

    assert sample_rate == 8000
    assert samples.dtype == np.float32 and samples.shape == (len(values),)
    assert samples.flags.c_contiguous
    np.testing.assert_allclose(samples, wanted, atol=1.0 / full_scale if full_scale > 1 else 1e-7)


def test_input_shorter_than_one_frame_fails_cleanly(tmp_path, example, capsys):
    wav = tmp_path / "short.wav"
    wavfile.write(wav, 44100, np.zeros(100, dtype=np.int16))  # a frame is 220 samples
    out = tmp_path / "short.png"

    assert example.main([str(wav), "-o", str(out)]) == 1

    assert not out.exists()
    assert "shorter than one frame (220 samples)" in capsys.readouterr().err


def test_silent_input_reports_no_notes(example):
    frames = example.analyse(np.zeros(44100, dtype=np.float32), 44100, 220)
    assert example.strongest_notes(frames, 220 / 44100) == []


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
    "sample_rate, notice, analysed",
    [
        (8000, "Left out 1 key above the Nyquist frequency (4000 Hz): C8", "87 keys (A0-B7)"),
        (
            6000,
            "Left out 6 keys above the Nyquist frequency (3000 Hz): G7 to C8",
            "82 keys (A0-F#7)",
        ),
        (8373, None, "88 keys (A0-C8)"),  # C8 is 4186.01 Hz
    ],
)
def test_keys_above_nyquist_are_left_out_with_a_notice(tmp_path, sample_rate, notice, analysed):
    wav = tmp_path / "tone.wav"
    wavfile.write(wav, sample_rate, tone_440(sample_rate, 0.5, 0.5).astype(np.float32))
    out = tmp_path / "tone.png"

    lines = run_script(wav, "-o", out).splitlines()

    check_png(out)
    assert [line for line in lines if "Nyquist" in line] == ([notice] if notice else [])
    assert f"Analysed {analysed}," in lines[2 if notice else 1]


def test_no_printed_segment_is_empty(example):
    # At 8 kHz a frame is 40 samples, so the last frame of 2.00 s is read at
    # exactly 2.00 s: it closes the segment 1.75-2.00 and opens none.
    frames = example.analyse(tone_440(8000, 2.0, 0.5).astype(np.float32), 8000, 40)
    segments = example.strongest_notes(frames, 40 / 8000)
    assert [(start, end) for start, end, _ in segments] == [
        (0.25 * k, 0.25 * (k + 1)) for k in range(8)
    ]


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
    ],
)
def test_unusable_input_or_output_is_one_line_and_status_1(
    tmp_path, example, capsys, case, message
):
    path = tmp_path / "tone.wav"
    wavfile.write(path, 8000, tone_440(8000, 0.5, 0.5).astype(np.float32))
    out = tmp_path / (case if "out" in case else "out.png")
    if case == "missing":
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
    assert not out.exists()

"""The live analyser example, fed from sound files and a stand-in audio device."""

import math
import os
import re
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kavrel
from support import EXAMPLES, load_example

soundfile = pytest.importorskip("soundfile")
pytest.importorskip("rich")

SCRIPT = EXAMPLES / "live.py"
LINE = re.compile(
    r"^ *(\d+\.\d\d) s  (?:--|(\S+) +([+-]\d+\.\d) cents +(-?\d+\.\d) dB  (.+?)"
    r"  \| pitch (?:--|\S+ \d+\.\d Hz))$"
)
PITCH = re.compile(r"\| pitch (?:--|(\S+) (\d+\.\d) Hz)$")


@pytest.fixture(scope="module")
def live():
    return load_example("live")


def run_script(*args, env=None, check=True):
    proc = subprocess.run(
        [sys.executable, str(SCRIPT), *map(str, args)],
        capture_output=True,
        encoding="utf-8",
        timeout=60,
        env=env,
    )
    if check:
        assert proc.returncode == 0, proc.stderr
    return proc


def plain_lines(stdout):
    """[(seconds, note, cents, level_db, notes), ...]; note is None in silence."""
    lines = []
    for text in stdout.splitlines():
        match = LINE.match(text)
        assert match, text
        t, note, cents, db, notes = match.groups()
        number = lambda field: None if field is None else float(field)  # noqa: E731
        lines.append((float(t), note, number(cents), number(db), (notes or "").split()))
    return lines


def pitches(stdout):
    """[(note, Hz) or None where unvoiced] of the lines that are not silence."""
    found = []
    for text in stdout.splitlines():
        match = PITCH.search(text)
        if match:
            found.append(None if match[1] is None else (match[1], float(match[2])))
    return found


def sine(freq, amplitude, seconds, rate):
    t = np.arange(int(seconds * rate)) / rate
    return amplitude * np.sin(2 * np.pi * freq * t)


def cents_from_key(freq, midi):
    return 1200 * math.log2(freq / (440.0 * 2 ** ((midi - 69) / 12)))


@pytest.mark.parametrize(
    "freq, midi, rate, block, channels, line",
    [
        (441.0, 69, 48000, None, 1, "  1.25 s  A4   +3.9 cents   -9.0 dB  A4  | pitch A4 440.5 Hz"),
        (261.0, 60, 44100, 100, 1, "  1.25 s  C4   -4.1 cents   -9.0 dB  C4  | pitch C4 261.1 Hz"),
        # 12 Hz above the channel, whose phase wraps 12 times a second and
        # whose level is 1.6 dB down from the tone's
        (452.0, 69, 48000, 1024, 2, "  1.26 s  A4  +46.6 cents  -10.6 dB  A4  | pitch A4 451.3 Hz"),
        # above C7: the pitch range reaches C8 where the rate allows
        (
            3000.0,
            102,
            32000,
            64,
            1,
            "  1.25 s  F#7 +23.3 cents   -9.7 dB  F#7  | pitch F#7 3006.5 Hz",
        ),
    ],
)
def test_tone_reads_its_key_and_offset(tmp_path, freq, midi, rate, block, channels, line):
    amplitude = 10 ** (-9 / 20)
    tone = sine(freq, amplitude, 1.5, rate)
    path = tmp_path / "tone.wav"
    # In stereo the tone is in the left channel at twice the level: the mix halves it.
    data = tone if channels == 1 else np.stack([2 * tone, np.zeros_like(tone)], axis=1)
    soundfile.write(path, data, rate, subtype="FLOAT")

    args = ["--file", path, "--fast", "--plain"] + (["--block", block] if block else [])
    stdout = run_script(*args).stdout

    assert line in stdout.splitlines()
    lines = plain_lines(stdout)
    assert len(lines) == 6
    exact = cents_from_key(freq, midi)
    _, key, _, settled_level, _ = plain_lines(line)[0]
    for seconds, note, cents, level, notes in lines:
        if seconds >= 0.5:
            assert (note, notes) == (key, [key])
            assert abs(cents - exact) < 0.06, (seconds, cents, exact)
            assert level == pytest.approx(settled_level, abs=0.15)
    # Every line is voiced at the tone's own pitch, within 5 cents.
    for note, hz in pitches(stdout):
        assert note == key and abs(1200 * math.log2(hz / freq)) < 5


def test_chord_lists_its_notes_loudest_first_then_silence(tmp_path):
    rate = 44100
    chord = sum(
        sine(440 * 2 ** ((m - 69) / 12), a, 1.0, rate) for m, a in [(60, 0.4), (64, 0.3), (67, 0.2)]
    )
    signal_ = np.concatenate([chord, np.zeros(rate // 2)])
    path = tmp_path / "chord.flac"
    soundfile.write(path, np.stack([0.9 * signal_, 0.5 * signal_], axis=1), rate)

    lines = plain_lines(run_script("--file", path, "--fast", "--plain").stdout)

    assert [t for t, *_ in lines] == [0.26, 0.51, 0.75, 1.0, 1.25, 1.5]
    for seconds, note, cents, level, notes in lines[:4]:
        assert (note, notes) == ("C4", ["C4", "E4", "G4"])
        if seconds >= 0.5:  # equal-tempered notes: the neighbours barely pull
            assert abs(cents) <= 0.5 and level == pytest.approx(20 * math.log10(0.28), abs=1.0)
    assert [note for _, note, *_ in lines[4:]] == [None, None]


def test_tuner_holds_one_note_of_an_equal_chord(tmp_path):
    # Equal notes take turns at the top as their neighbours' ripple comes and
    # goes; a tuner that followed every turn fitted its line through a few
    # readings and printed offsets of tens of cents.
    rate = 44100
    chord = sum(sine(440 * 2 ** ((m - 69) / 12), 0.2, 2.0, rate) for m in (60, 64, 67, 72))
    path = tmp_path / "chord.wav"
    soundfile.write(path, chord, rate, subtype="FLOAT")

    lines = plain_lines(run_script("--file", path, "--fast", "--plain").stdout)

    settled = [
        (note, cents, sorted(notes)) for seconds, note, cents, _, notes in lines if seconds >= 0.5
    ]
    assert len(settled) == 7
    assert len({note for note, _, _ in settled}) == 1
    for _, cents, notes in settled:
        assert abs(cents) <= 0.5 and notes == ["C4", "C5", "E4", "G4"]


@pytest.mark.parametrize("block", [1, 256, 1000])
def test_every_sample_of_the_file_reaches_the_bank_once(tmp_path, live, block):
    rate = 8000
    rng = np.random.default_rng(block)
    data = rng.uniform(-1, 1, (4321, 2)).astype(np.float32)
    path = tmp_path / "noise.wav"
    soundfile.write(path, data, rate, subtype="FLOAT")
    readings = []

    class RecordingView(live.PlainView):
        def show(self, reading):
            readings.append(reading)

    analyser = live.run_file(str(path), block, True, lambda source, rate: RecordingView())

    reference = kavrel.ResonatorBank(live.key_frequencies(), rate)
    reference.process_samples((data[:, 0] + data[:, 1]) / np.float32(2))
    assert analyser.samples == len(data)
    assert analyser.bank.complex(40) == reference.complex(40)
    np.testing.assert_array_equal(analyser.bank.powers(), reference.powers())
    # shown after the first block that ends at or after each quarter second
    due = [math.ceil(t * rate / block) * block / rate for t in (0.25, 0.5)]
    assert [r.seconds for r in readings] == due


FAKE_DEVICE = """
    import threading
    import numpy as np

    class PortAudioError(Exception):
        pass

    def query_devices(kind=None):
        return {"name": "stand-in", "default_samplerate": 48000.0}

    class InputStream:
        def __init__(self, samplerate, blocksize, channels, dtype, callback):
            assert (channels, dtype) == (1, "float32")
            self.rate, self.block, self.callback = samplerate, blocksize, callback
            self.active = False

        def __enter__(self):
            t = np.arange(int(self.rate)) / self.rate
            data = (0.25 * np.sin(2 * np.pi * 441.0 * t)).astype(np.float32)[:, None]
            status = type("Status", (), {"input_overflow": False})()

            def play():
                for i in range(0, len(data) - self.block + 1, self.block):
                    self.callback(data[i : i + self.block], self.block, None, status)
                self.active = False

            self.active = True
            self.thread = threading.Thread(target=play)
            self.thread.start()
            return self

        def __exit__(self, *exc_info):
            self.thread.join()
"""


def fake_sounddevice_env(tmp_path, source):
    (tmp_path / "sounddevice.py").write_text(textwrap.dedent(source))
    return dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), *sys.path]))


def test_microphone_blocks_are_analysed_in_the_callback(tmp_path):
    env = fake_sounddevice_env(tmp_path, FAKE_DEVICE)

    stdout = run_script("--plain", "--rate", 44100, "--block", 128, env=env).stdout

    assert stdout.splitlines()[-1] == "  1.00 s  A4   +3.9 cents  -12.1 dB  A4  | pitch A4 440.5 Hz"


def test_device_rate_without_a_key_below_nyquist_is_one_line(tmp_path):
    env = fake_sounddevice_env(tmp_path, FAKE_DEVICE)

    proc = run_script("--plain", "--rate", 50, env=env, check=False)

    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr == "live.py: no piano key lies below the Nyquist frequency (25 Hz)\n"


@pytest.mark.parametrize(
    "module, message",
    [
        (
            "raise ImportError('No module named sounddevice')",
            "the sounddevice package is not installed (pip install sounddevice); ",
        ),
        (
            "raise OSError('PortAudio library not found')",
            "PortAudio library not found: install PortAudio (Debian: libportaudio2) or ",
        ),
        (
            "class PortAudioError(Exception): pass\n"
            "def query_devices(kind=None): raise PortAudioError('Error querying device -1')",
            "no audio input device (Error querying device -1); ",
        ),
    ],
    ids=["no sounddevice", "no PortAudio", "no input device"],
)
def test_without_audio_input_it_says_so_in_one_line(tmp_path, module, message):
    proc = run_script("--plain", env=fake_sounddevice_env(tmp_path, module), check=False)

    assert proc.returncode == 1
    assert proc.stdout == ""
    assert proc.stderr == f"live.py: {message}analyse a sound file with --file PATH\n"


@pytest.mark.parametrize(
    "name, make, message",
    [
        ("missing.wav", None, "no such file: {}"),
        (
            "notes.wav",
            lambda p: p.write_text("not audio"),
            "cannot read {}: Format not recognised.",
        ),
        ("folder.wav", lambda p: p.mkdir(), "{} is a folder, not a sound file"),
        pytest.param(
            "loop.wav",
            lambda p: p.symlink_to(p),
            "cannot read {}: Too many levels of symbolic links",
            marks=pytest.mark.skipif(
                sys.platform == "win32", reason="a link to itself gives ELOOP on POSIX systems only"
            ),
        ),
        (
            "eight_hz.wav",
            lambda p: soundfile.write(p, np.zeros(100), 8),
            "no piano key lies below the Nyquist frequency (4 Hz)",
        ),
        # A wait on the FIFO would end in run_script's timeout, as a failure.
        ("fifo.wav", os.mkfifo, "{} is a FIFO, not a sound file"),
    ],
)
def test_unreadable_file_is_one_line(tmp_path, name, make, message):
    path = tmp_path / name
    if make is not None:
        make(path)

    proc = run_script("--file", path, "--plain", check=False)

    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr == f"live.py: {message.format(path)}\n"


@pytest.mark.parametrize(
    "channel, at, value, lines",
    [(0, 4800, "nan", ["  0.26 s", "  0.51 s"]), (1, 10, "-inf", [])],
)
def test_non_finite_sample_stops_the_analysis_with_its_time(tmp_path, channel, at, value, lines):
    data = np.zeros((8000, 2), np.float32)
    data[:, 0] = sine(440.0, 0.5, 1.0, 8000)
    data[at, channel] = float(value)
    path = tmp_path / "bad.wav"
    soundfile.write(path, data, 8000, subtype="FLOAT")

    proc = run_script("--file", path, "--fast", "--plain", check=False)

    assert proc.returncode == 1
    assert [line[:8] for line in proc.stdout.splitlines()] == lines
    assert proc.stderr == (
        f"live.py: {path} has a sample that is not a finite number ({value}) at "
        f"{at / 8000:.6f} s (sample {at}); nothing after it can be analysed\n"
    )


@pytest.mark.skipif(
    sys.platform == "win32", reason="Windows has no SIGINT to send to another process"
)
def test_ctrl_c_ends_cleanly(tmp_path):
    path = tmp_path / "long.wav"
    soundfile.write(path, sine(440.0, 0.5, 20.0, 8000), 8000)
    proc = subprocess.Popen(
        [sys.executable, str(SCRIPT), "--file", str(path), "--plain"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        first = proc.stdout.readline()  # real-time pace: the first line after 0.26 s
        proc.send_signal(signal.SIGINT)
        stdout, stderr = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert first.startswith("  0.26 s  A4")
    assert (proc.returncode, stderr) == (0, "")
    assert len(stdout.splitlines()) < 10


def test_terminal_view_shows_keyboard_tuner_and_notes(tmp_path):
    rate = 48000
    tone = sum(sine(441.0 * h, a, 1.0, rate) for h, a in [(1, 0.3), (2, 0.15), (3, 0.1)])
    path = tmp_path / "harmonics.wav"
    soundfile.write(path, tone, rate)

    # UTF-8 as a terminal shows it (on Windows a pipe takes the ANSI code page).
    env = dict(os.environ, COLUMNS="120", PYTHONIOENCODING="utf-8")
    stdout = run_script("--file", path, "--fast", env=env).stdout

    assert "harmonics.wav · 48000 Hz · block 256 (5.3 ms)" in stdout
    assert "C1          C2" in stdout and "█" * 88 in stdout
    assert re.search(r"A4 +\+3\.9 cents .*\|.*-10\.5 dB", stdout)
    rows = re.findall(r"^\W*([A-G]#?\d) +(\d+\.\d) +(-?\d+\.\d) +▇+", stdout, re.M)
    assert [(n, hz) for n, hz, _ in rows] == [("A4", "440.0"), ("A5", "880.0"), ("E6", "1318.5")]


def test_samples_near_the_float32_limit_mix_without_overflow(tmp_path):
    peak = np.finfo(np.float32).max
    left = (peak * np.sign(sine(440.0, 1.0, 0.6, 8000))).astype(np.float32)
    path = tmp_path / "loud.wav"
    soundfile.write(path, np.stack([left, left], axis=1), 8000, subtype="FLOAT")

    proc = run_script("--file", path, "--fast", "--plain")

    # Analysed to the end, not refused (the levels themselves are beyond float32).
    assert [line[:8] for line in proc.stdout.splitlines()] == ["  0.26 s", "  0.51 s"]
    assert proc.stderr == ""


def test_path_that_is_not_utf8_is_read(tmp_path):
    folder = os.path.join(os.fsencode(tmp_path), b"\xff")
    os.mkdir(folder)
    with open(os.path.join(folder, b"tone.wav"), "wb") as file:
        soundfile.write(file, sine(440.0, 0.5, 0.6, 8000), 8000, format="WAV")

    proc = run_script("--file", os.fsdecode(os.path.join(folder, b"tone.wav")), "--fast", "--plain")

    assert [line[:12] for line in proc.stdout.splitlines()] == ["  0.26 s  A4", "  0.51 s  A4"]


def test_reader_that_stops_early_ends_the_script_quietly(tmp_path):
    path = tmp_path / "long.wav"
    soundfile.write(path, sine(440.0, 0.5, 60.0, 8000), 8000)
    command = f"'{sys.executable}' '{SCRIPT}' --file '{path}' --fast --plain | head -n 1"

    proc = subprocess.run(command, shell=True, capture_output=True, text=True, timeout=60)

    assert (proc.stdout[:12], proc.stderr) == ("  0.26 s  A4", "")

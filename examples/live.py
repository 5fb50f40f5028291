"""Live analyser and tuner: an 88-key resonator bank on the microphone or a sound file.

Usage::

    python examples/live.py                          # the default microphone
    python examples/live.py --file song.flac         # a sound file, at real-time pace
    python examples/live.py --file song.wav --fast --plain

Every block of audio (256 samples unless ``--block`` says otherwise) goes through
one ``process_samples`` call of a bank with one channel per piano key, A0 to C8,
tuned to A4 = 440 Hz with the default smoothing factors, and the bank is read with
``magnitudes()`` right after it. Nothing is buffered beyond that one block: from
the microphone the work is done in the audio callback as each block arrives. A
sound file (anything ``soundfile`` reads; several channels are averaged to mono,
in double precision, so that no mix of finite samples overflows) goes through
exactly the same path, block by block, at the pace of its sample rate, or as
fast as the machine allows with ``--fast``. Only a regular file (or a link to
one) is read: a FIFO or a device is refused in one line, never opened in a way
that could wait. A sample rate of 55 Hz or less (no key below the Nyquist
frequency, half the rate) is refused, and the analysis of a file stops with an
error at a sample that is not finite (NaN or infinite), which would turn every
later reading into NaN.

The terminal view shows the keyboard with the sounding keys lit by level, the
pitch of the sound with its voicing and its track over the last two seconds,
the strongest notes, and a tuner for the strongest channel. ``--plain`` prints
one line per quarter second of audio instead, for logs and scripts (a reader
that stops early, such as ``head``, ends the script quietly)::

      1.25 s  A4   +3.9 cents   -9.0 dB  A4 E5 A5  | pitch A4 441.0 Hz

that is the time, the strongest note, its offset from equal temperament, its
level in dB relative to a full-scale sine (a sine of amplitude 1 reads 0 dB),
the strongest notes, loudest first, and the pitch: the nearest note and the
fundamental frequency, or ``--`` when the sound is not voiced (noise, or a
chord without one fundamental). A strongest channel quieter than -60 dB counts
as silence and prints ``--``.

The pitch comes from ``kavrel_tools.pitch.PitchTracker``, fed the same blocks:
a harmonic score over a second bank reads the fundamental even when it is
missing, and a voiced/unvoiced decision; it is causal, with an algorithmic
latency of 38 ms at 44.1 kHz.

The tuner. A channel tuned to f multiplies the input by a phasor that turns
by -2 pi f / sample_rate per sample, so a sine at f_in leaves the channel value
turning at f_in - f cycles per second. The tuner reads the strongest channel's
phase after every block, adds up the advances from one reading to the next
(each taken between -pi and pi), and fits a straight line to that unwrapped
phase over the last quarter second; its slope is the advance per second:

    f_in = f + advance / (2 pi),    offset = 1200 log2(f_in / f) cents

On a steady tone this resolves hundredths of a cent, which no analysis on a
fixed grid of frequency bins does. Each advance is read unambiguously while
|f_in - f| stays under half the block rate (94 Hz for 256 samples at 48 kHz,
more than half a semitone for every key up to G7).

Requires numpy, soundfile (``--file``), sounddevice with the PortAudio library
(the microphone; Debian: libportaudio2) and rich (the terminal view); they are
the ``examples`` extra: ``python -m pip install ".[examples]"``.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
import threading
import time
from collections.abc import Iterator

import numpy as np

from kavrel_tools.files import NotRegularFile, shown
from kavrel_tools.files import open_regular as open_regular_file

# The analyser, the tuner and the keys come from the toolkit: this script is
# the command line, the inputs and the views.
from kavrel_tools.frequencies import PIANO_KEYS as KEYS
from kavrel_tools.frequencies import TUNING_HZ, hz_to_midi, key_frequencies, note_name
from kavrel_tools.live import LISTED_NOTES, LiveAnalyser, Reading, Tuner

__all__ = ["KEYS", "TUNING_HZ", "LiveAnalyser", "Reading", "Tuner", "key_frequencies"]

DEFAULT_BLOCK = 256
PLAIN_SECONDS = 0.25  # audio time between two --plain lines
VIEW_SECONDS = 0.05  # audio time between two refreshes of the terminal view
VIEW_NOTES = 8  # notes in the terminal view's table


class InputUnavailable(Exception):
    """The requested input cannot be opened or analysed; the message says why, in one line."""


def open_regular(path: str):
    """The regular file at `path` (or behind a link), opened for binary reading;
    InputUnavailable for anything else, never opened in a way that could wait."""
    try:
        return open_regular_file(path)
    except NotRegularFile as exc:
        if exc.kind == "a directory":
            raise InputUnavailable(f"{path} is a folder, not a sound file") from None
        raise InputUnavailable(f"{path} is {exc.kind}, not a sound file") from None
    except FileNotFoundError:
        raise InputUnavailable(f"no such file: {path}") from None
    except OSError as exc:  # a symbolic link loop, a path through a file, ...
        raise InputUnavailable(f"cannot read {path}: {exc.strerror}") from None


# ---------------------------------------------------------------------------
# Display


def pitch_text(reading: Reading) -> str:
    """The pitch of a reading: its nearest note and Hz, or -- when unvoiced."""
    if reading.f0 is None:
        return "--"
    return f"{note_name(round(hz_to_midi(reading.f0)))} {reading.f0:.1f} Hz"


def plain_line(reading: Reading) -> str:
    """One --plain line: time, strongest note, offset, level, strongest notes, pitch."""
    if reading.strongest is None:
        return f"{reading.seconds:6.2f} s  --"
    name = note_name(KEYS[reading.strongest])
    if reading.cents is None:
        cents = "    --"
    else:
        cents = f"{round(reading.cents, 1) + 0.0:+6.1f}"  # + 0.0 turns -0.0 into 0.0
    level = reading.levels[reading.strongest]
    notes = " ".join(note_name(KEYS[k]) for k in reading.notes)
    return (
        f"{reading.seconds:6.2f} s  {name:<3}{cents} cents{level:7.1f} dB  {notes}"
        f"  | pitch {pitch_text(reading)}"
    )


class PlainView:
    """Prints one line per update on standard output."""

    period = PLAIN_SECONDS
    max_notes = LISTED_NOTES
    show_last = False  # lines come at whole periods only

    def __enter__(self) -> PlainView:
        return self

    def __exit__(self, *exc_info) -> None:
        pass

    def show(self, reading: Reading) -> None:
        print(plain_line(reading), flush=True)


class TerminalView:
    """The keyboard, the strongest notes and the tuner, redrawn in place."""

    period = VIEW_SECONDS
    max_notes = VIEW_NOTES
    show_last = True
    RANGE_DB = 60.0  # keys are lit over this range below 0 dB

    def __init__(self, source: str, sample_rate: float, block: int):
        from rich.console import Console
        from rich.live import Live

        self.title = (
            f"{source} · {sample_rate:g} Hz · block {block} ({1000 * block / sample_rate:.1f} ms)"
        )
        self.live = Live(console=Console(), auto_refresh=False)

    def __enter__(self) -> TerminalView:
        self.live.__enter__()
        return self

    def __exit__(self, *exc_info) -> None:
        self.live.__exit__(*exc_info)

    def show(self, reading: Reading) -> None:
        self.live.update(self.render(reading), refresh=True)

    def _key_style(self, key: int, level: float) -> str:
        black = (KEYS[key] % 12) in (1, 3, 6, 8, 10)
        lit = (level + self.RANGE_DB) / self.RANGE_DB
        if lit <= 0.0:
            return "grey11" if black else "grey62"
        # dark red through orange to yellow-white as the level rises
        lit = min(lit, 1.0)
        red, green, blue = 110 + int(145 * lit), int(230 * lit**1.5), int(160 * lit**4)
        return f"rgb({red},{green},{blue})"

    def render(self, reading: Reading):
        from rich.console import Group
        from rich.panel import Panel
        from rich.table import Table
        from rich.text import Text

        keyboard = Text(no_wrap=True, overflow="crop")
        for key, level in enumerate(reading.levels):
            keyboard.append("█", style=self._key_style(key, float(level)))
        # Below the keyboard, the name of every C under its key.
        cells = [" "] * (len(KEYS) + 1)
        for c in np.flatnonzero(KEYS % 12 == 0):
            cells[c : c + 2] = note_name(KEYS[c])
        labels = Text("".join(cells), no_wrap=True, overflow="crop", style="grey50")

        if reading.strongest is None:
            tuner = Text("silence", style="grey50")
        else:
            tuner = self._tuner(reading, reading.strongest)

        notes = Table(box=None, padding=(0, 2), show_header=True, header_style="bold")
        notes.add_column("note")
        notes.add_column("Hz", justify="right")
        notes.add_column("dB", justify="right")
        notes.add_column("")
        for key in reading.notes:
            level = float(reading.levels[key])
            bar = "▇" * max(0, round((level + self.RANGE_DB) / 2.0))
            freq = TUNING_HZ * 2.0 ** ((KEYS[key] - 69) / 12)
            notes.add_row(note_name(KEYS[key]), f"{freq:.1f}", f"{level:.1f}", bar)

        pitch = self._pitch(reading)

        status = Text(
            f"{reading.seconds:7.2f} s   analysis {100 * reading.load:.2f} % of real time",
            style="grey50",
        )
        if reading.overruns:
            status.append(f"   {reading.overruns} overruns", style="red")
        return Panel(
            Group(
                keyboard,
                labels,
                Text(""),
                *pitch,
                Text(""),
                tuner,
                Text(""),
                notes,
                Text(""),
                status,
            ),
            title=self.title,
            title_align="left",
            expand=False,
        )

    TRACK_CELLS = 88  # the pitch track's width, as wide as the keyboard
    TRACK_LEVELS = "▁▂▃▄▅▆▇█"

    def _pitch(self, reading: Reading):
        """The pitch line and the track of the last seconds, one cell per run of frames: its
        height is the pitch over the track's range, a space where the sound is unvoiced."""
        from rich.text import Text

        if reading.f0 is None:
            line = Text("pitch  --  unvoiced", style="grey50")
        else:
            line = Text(f"pitch  {pitch_text(reading)}", style="bold")
            line.append(f"   voiced, confidence {reading.confidence:.2f}", style="grey50")
        track = list(reading.track)
        if not track:
            return [line]
        cells = np.array_split(np.arange(len(track)), min(self.TRACK_CELLS, len(track)))
        notes = []
        for cell in cells:
            voiced = [hz_to_midi(track[i]) for i in cell if track[i] is not None]
            notes.append(float(np.median(voiced)) if voiced else None)
        sounding = [n for n in notes if n is not None]
        low, high = (min(sounding), max(sounding)) if sounding else (0.0, 0.0)
        span = max(high - low, 12.0)  # an octave at least, so a steady note stays low
        text = "".join(
            " " if n is None else self.TRACK_LEVELS[min(7, int(8 * (n - low) / span))]
            for n in notes
        )
        label = f"  {note_name(round(low))}..{note_name(round(high))}" if sounding else ""
        return [line, Text(text + label, style="cyan", no_wrap=True, overflow="crop")]

    @staticmethod
    def _tuner(reading: Reading, strongest: int):
        from rich.text import Text

        name = note_name(KEYS[strongest])
        level = reading.levels[strongest]
        line = Text(f"{name:<3} ", style="bold")
        if reading.cents is None:
            return line + Text(f"  --   cents {level:6.1f} dB")
        cents = round(reading.cents, 1) + 0.0
        # A needle from -50 to +50 cents, one cell per 2.5 cents.
        cells = ["·"] * 41
        cells[20] = "|"
        cells[min(40, max(0, 20 + round(cents / 2.5)))] = "●"
        style = "green" if abs(cents) < 5.0 else "yellow" if abs(cents) < 15.0 else "red"
        line.append(f"{cents:+6.1f} cents  ", style=style)
        line.append("-50 " + "".join(cells) + " +50", style=style)
        line.append(f"  {level:6.1f} dB")
        return line


# ---------------------------------------------------------------------------
# Inputs


def run_file(path: str, block: int, fast: bool, make_view) -> LiveAnalyser:
    """Stream a sound file through the analyser, one block at a time.

    Paced at the file's sample rate (a block is fed when its last sample
    would have arrived), or back to back with `fast`. The view, made by
    make_view(source, sample_rate), is updated every `view.period` seconds
    of audio.
    """
    import soundfile

    # soundfile reads the open file: a name that is not valid UTF-8 is no obstacle.
    with open_regular(path) as stream:
        try:
            sound = soundfile.SoundFile(stream)
        except (RuntimeError, OSError) as exc:  # LibsndfileError is a RuntimeError
            reason = getattr(exc, "error_string", None) or str(exc)
            raise InputUnavailable(f"cannot read {path}: {reason}") from None
        with sound:
            return analyse_sound(sound, path, block, fast, make_view)


@contextlib.contextmanager
def deferred_interrupt() -> Iterator[list[bool]]:
    """Ctrl-C taken as a flag (a non-empty list) while a file is read.

    soundfile reads an open file through a Python callback, and a
    KeyboardInterrupt raised inside that callback is swallowed there (printed
    as an ignored exception) instead of ending the script; so the signal only
    sets the flag, and the loop raises KeyboardInterrupt between blocks.
    """
    interrupted: list[bool] = []
    if threading.current_thread() is not threading.main_thread():
        yield interrupted  # only the main thread receives signals
        return
    previous = signal.signal(signal.SIGINT, lambda *_: interrupted.append(True))
    try:
        yield interrupted
    finally:
        signal.signal(signal.SIGINT, previous)


def analyse_sound(sound, path: str, block: int, fast: bool, make_view) -> LiveAnalyser:
    """run_file's work on the open sound file."""
    check_rate(sound.samplerate)
    analyser = LiveAnalyser(sound.samplerate)
    view = make_view(shown(os.path.basename(path)), sound.samplerate)
    next_update = view.period
    started = time.perf_counter()
    with view, deferred_interrupt() as interrupted:
        for data in sound.blocks(blocksize=block, dtype="float32", always_2d=True):
            if interrupted:
                raise KeyboardInterrupt
            # summed in float64, where finite samples cannot overflow, and
            # rounded once: the mean of one column is that column exactly
            mono = np.ascontiguousarray(data.mean(axis=1, dtype=np.float64), np.float32)
            bad = ~np.isfinite(mono)
            if bad.any():  # it would turn every later reading into NaN
                at = int(bad.argmax())
                index = analyser.samples + at
                raise InputUnavailable(
                    f"{path} has a sample that is not a finite number ({mono[at]}) at "
                    f"{index / analyser.sample_rate:.6f} s (sample {index}); "
                    "nothing after it can be analysed"
                )
            if not fast:
                due = started + (analyser.samples + len(mono)) / analyser.sample_rate
                delay = due - time.perf_counter()
                if delay > 0.0:
                    time.sleep(delay)
            if interrupted:
                raise KeyboardInterrupt
            analyser.feed(mono)
            if analyser.seconds >= next_update - 1e-9:
                view.show(analyser.reading(view.max_notes))
                while next_update <= analyser.seconds + 1e-9:
                    next_update += view.period
        if view.show_last:  # the final state stays on the screen
            view.show(analyser.reading(view.max_notes))
    return analyser


def check_rate(sample_rate: float) -> None:
    """Refuse a sample rate at which no key lies below the Nyquist frequency."""
    if not key_frequencies()[0] < sample_rate / 2:
        raise InputUnavailable(
            f"no piano key lies below the Nyquist frequency ({sample_rate / 2:g} Hz)"
        )


def import_sounddevice():
    """The sounddevice module, or InputUnavailable saying what is missing."""
    try:
        import sounddevice
    except ImportError:
        raise InputUnavailable(
            "the sounddevice package is not installed (pip install sounddevice); "
            "analyse a sound file with --file PATH"
        ) from None
    except OSError as exc:  # raised at import when the PortAudio library is missing
        raise InputUnavailable(
            f"{exc}: install PortAudio (Debian: libportaudio2) "
            "or analyse a sound file with --file PATH"
        ) from None
    return sounddevice


def run_microphone(rate: float | None, block: int, make_view) -> LiveAnalyser:
    """Analyse the default input device in its audio callback until Ctrl-C."""
    sd = import_sounddevice()
    try:
        device = sd.query_devices(kind="input")
    except (sd.PortAudioError, ValueError) as exc:
        raise InputUnavailable(
            f"no audio input device ({exc}); analyse a sound file with --file PATH"
        ) from None
    sample_rate = float(rate or device["default_samplerate"])
    check_rate(sample_rate)
    analyser = LiveAnalyser(sample_rate)

    def callback(indata, frames, time_info, status):
        if status.input_overflow:
            analyser.overruns += 1
        analyser.feed(np.ascontiguousarray(indata[:, 0]))

    try:
        stream = sd.InputStream(
            samplerate=sample_rate, blocksize=block, channels=1, dtype="float32", callback=callback
        )
    except (sd.PortAudioError, ValueError) as exc:
        raise InputUnavailable(
            f"cannot open the input device {device['name']!r} ({exc}); "
            "analyse a sound file with --file PATH"
        ) from None
    view = make_view(f"microphone: {device['name']}", sample_rate)
    with stream, view:
        while True:
            time.sleep(view.period)
            running = stream.active  # asked first, so that a stopped stream's last block is shown
            view.show(analyser.reading(view.max_notes))
            if not running:
                return analyser


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def positive_float(text: str) -> float:
    value = float(text)
    if not value > 0.0:
        raise argparse.ArgumentTypeError(f"must be positive, not {text}")
    return value


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Live piano-key analyser and tuner with a kavrel resonator bank, "
        "on the default microphone or a sound file."
    )
    parser.add_argument(
        "--file", metavar="PATH", help="analyse a sound file instead of the microphone"
    )
    parser.add_argument(
        "--fast", action="store_true", help="with --file: as fast as possible, not in real time"
    )
    parser.add_argument(
        "--block",
        type=positive_int,
        default=DEFAULT_BLOCK,
        help="samples per block (default: %(default)s)",
    )
    parser.add_argument(
        "--rate", type=positive_float, help="device sample rate in Hz (default: the device's own)"
    )
    parser.add_argument(
        "--plain", action="store_true", help="print one line per quarter second instead of the view"
    )
    args = parser.parse_args(argv)
    if args.file is None and args.fast:
        parser.error("--fast applies to --file only")
    if args.file is not None and args.rate is not None:
        parser.error("--rate sets the device rate; a file is analysed at its own rate")

    def make_view(source: str, sample_rate: float):
        return PlainView() if args.plain else TerminalView(source, sample_rate, args.block)

    try:
        if args.file is None:
            run_microphone(args.rate, args.block, make_view)
        else:
            run_file(args.file, args.block, args.fast, make_view)
    except InputUnavailable as exc:
        print(f"{parser.prog}: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        pass  # Ctrl-C: the views and the stream have closed on the way out
    except BrokenPipeError:
        # The reader of standard output has gone (--plain into head): what is
        # still to be printed goes nowhere, and the script ends quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

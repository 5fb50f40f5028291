"""Pitch, chroma and onsets of kavrel_tools against the field's trackers, on an evaluation
set made here with exact ground truth, scored with mir_eval, timed in the same run.

    pip install ".[bench]"
    python bench/features.py            # about two to five minutes
    python bench/features.py --quick    # a smaller set, for a look

The set (22050 Hz):

- pitch: harmonic tones from E1 to C7 in five spectra (1/h, missing fundamental, weak
  fundamental at -20 dB, odd harmonics only, a bright 1/sqrt(h) one), steady, with vibrato
  (±30 cents at 5.5 Hz) or gliding a whole tone, each followed by silence and by a burst
  of noise (unvoiced), at signal-to-noise ratios of 40, 20 and 10 dB;
- speech: sentences spoken by espeak-ng (when installed) in several voices; its reference
  is the consensus of pYIN, Praat and WORLD (frames where all three agree within 50 cents,
  or all three call unvoiced; the rest is left out), which favours those three;
- chroma: sequences of major and minor triads and seventh chords on random roots, with
  decaying partials, in tune and 25 cents sharp; a frame counts as right when its k
  strongest classes are the chord's k pitch classes (frames within 60 ms of a change left
  out);
- onsets: note sequences with random pitches, gaps of 80 to 500 ms, attacks of 1 to 20 ms,
  some notes repeated, at 40 and 20 dB SNR; F-measure at 50 ms.

Times are CPU seconds of this process (all its threads) per second of audio, each method
once over the whole set, and their ratio to kavrel's offline run: CPU time rather than
wall time, so that other work on a shared machine moves them less.
"""

from __future__ import annotations

import argparse
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

from kavrel_tools.chroma import ChromaStream, chromagram
from kavrel_tools.onsets import OnsetDetector, detect_onsets
from kavrel_tools.pitch import PitchTracker, track_pitch

SR = 22050
HOP = 256
FMIN, FMAX = 40.0, 2200.0
E1, C7 = 28, 96


def hz(midi):
    return 440.0 * 2.0 ** ((np.asarray(midi, dtype=np.float64) - 69.0) / 12.0)


def amplitudes(spectrum, count):
    h = np.arange(1, count + 1, dtype=np.float64)
    a = {
        "1/h": 1 / h,
        "missing": np.where(h == 1, 0.0, 1 / h),
        "weak": np.where(h == 1, 0.1, 1 / h),
        "odd": np.where(h % 2 == 1, 1 / h, 0.0),
        "bright": 1 / np.sqrt(h),
    }[spectrum]
    return a


def tone_from_track(f0, spectrum, rng):
    """A harmonic tone following the per-sample frequency track f0 (Hz), peak 1."""
    phase = 2 * np.pi * np.cumsum(f0) / SR
    count = int(0.45 * SR / f0.max())
    x = np.zeros_like(f0)
    for h, a in enumerate(amplitudes(spectrum, count), start=1):
        if a:
            x += a * np.sin(h * phase + rng.uniform(0, 2 * np.pi))
    fade = np.minimum(1, np.minimum(np.arange(len(x)), np.arange(len(x))[::-1]) / (0.01 * SR))
    return fade * x / np.abs(x).max()


def pitch_set(rng, quick):
    """(signal, per-sample f0 truth with 0 where unvoiced) for each SNR."""
    spectra = ["1/h", "missing", "weak", "odd", "bright"]
    step = 8 if quick else 4
    pieces, truth = [], []
    for i, midi in enumerate(range(E1, C7 + 1, step)):
        for j, spectrum in enumerate(spectra):
            n = int(0.4 * SR)
            t = np.arange(n) / SR
            kind = (i + j) % 3
            if kind == 0:
                notes = np.full(n, float(midi))
            elif kind == 1:
                notes = midi + 0.3 * np.sin(2 * np.pi * 5.5 * t)
            else:
                notes = midi + 2.0 * t / t[-1] * (1 if midi < 90 else -1)
            f0 = hz(notes)
            pieces.append(0.3 * tone_from_track(f0, spectrum, rng))
            truth.append(f0)
            gap = int(0.15 * SR)
            pieces += [np.zeros(gap), 0.1 * rng.standard_normal(gap)]
            truth += [np.zeros(gap), np.zeros(gap)]
    clean, f0 = np.concatenate(pieces), np.concatenate(truth)
    sets = []
    for snr in (40, 20, 10):
        rms = np.sqrt(np.mean(clean[f0 > 0] ** 2))
        noise = rng.standard_normal(len(clean)) * rms * 10 ** (-snr / 20)
        sets.append((f"synthetic {snr} dB", (clean + noise).astype(np.float32), f0))
    return sets


def frames_of(per_sample, hop=HOP):
    """Truth at times k * hop / SR (from the per-sample values), for mir_eval."""
    index = np.arange(0, len(per_sample), hop)
    return index / SR, per_sample[index]


SENTENCES = [
    ("en", "The quick brown fox jumps over the lazy dog while the band plays on."),
    ("en+f3", "Every morning she walks along the river to the old stone bridge."),
    ("de", "Der Wind weht über die Felder und die Vögel singen im Garten."),
    ("fr+m3", "Le soleil se lève sur la mer et les bateaux rentrent au port."),
    ("es+f2", "La música suena en la plaza mientras los niños juegan."),
]


def speech_set():
    espeak = shutil.which("espeak-ng")
    if espeak is None:
        return None
    import soundfile

    signals = []
    with tempfile.TemporaryDirectory() as folder:
        for k, (voice, text) in enumerate(SENTENCES):
            path = os.path.join(folder, f"s{k}.wav")
            subprocess.run([espeak, "-v", voice, "-w", path, text], check=True)
            data, rate = soundfile.read(path, dtype="float64")
            if rate != SR:
                import soxr

                data = soxr.resample(data, rate, SR)
            signals.append(data / np.abs(data).max() * 0.5)
    return np.concatenate(signals).astype(np.float32)


# -- pitch trackers: each returns (times, f0 with negative or 0 for unvoiced) -----------


def kavrel_pitch(x, smoothing="centred", **settings):
    track = track_pitch(x, SR, fmin=FMIN, fmax=FMAX, hop=HOP, smoothing=smoothing, **settings)
    return track.times, np.where(track.voiced, track.f0, -track.f0)


def pyin(x):
    import librosa

    f0, voiced, _ = librosa.pyin(
        x, fmin=FMIN, fmax=FMAX, sr=SR, hop_length=HOP, frame_length=2048, fill_na=None
    )
    times = librosa.times_like(f0, sr=SR, hop_length=HOP)
    return times, np.where(voiced, f0, -f0)


def yin(x):
    import librosa

    f0 = librosa.yin(x, fmin=FMIN, fmax=FMAX, sr=SR, hop_length=HOP, frame_length=2048)
    return librosa.times_like(f0, sr=SR, hop_length=HOP), f0


def praat(x):
    import parselmouth

    sound = parselmouth.Sound(x.astype(np.float64), SR)
    pitch = sound.to_pitch_ac(time_step=HOP / SR, pitch_floor=FMIN, pitch_ceiling=FMAX)
    return pitch.xs(), np.nan_to_num(pitch.selected_array["frequency"])


def world(x):
    import pyworld

    f0, times = pyworld.harvest(
        x.astype(np.float64), SR, f0_floor=FMIN, f0_ceil=FMAX, frame_period=1000 * HOP / SR
    )
    return times, f0


PITCH = {
    "kavrel (offline)": kavrel_pitch,
    "kavrel (streaming)": lambda x: kavrel_pitch(x, "causal"),
    "kavrel (streaming, 8 ms)": lambda x: kavrel_pitch(x, "causal", max_tau=0.008),
    "pyin (librosa)": pyin,
    "yin (librosa)": yin,
    "Praat (parselmouth)": praat,
    "WORLD harvest (pyworld)": world,
}


def pitch_scores(ref_times, ref_f0, times, f0):
    import mir_eval

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        scores = mir_eval.melody.evaluate(ref_times, ref_f0, np.asarray(times), np.asarray(f0))
    return {
        "RPA": scores["Raw Pitch Accuracy"],
        "RCA": scores["Raw Chroma Accuracy"],
        "VR": scores["Voicing Recall"],
        "VFA": scores["Voicing False Alarm"],
        "OA": scores["Overall Accuracy"],
        "octave": scores["Raw Chroma Accuracy"] - scores["Raw Pitch Accuracy"],
    }


def timed(function, *args):
    """The result and the CPU seconds of this process it took (not wall time: the
    machine may be shared)."""
    start = time.process_time()
    result = function(*args)
    return result, time.process_time() - start


def consensus(results):
    """Reference from several trackers' (times, f0) on the same frame grid: the median where
    all are voiced within 50 cents of it, 0 where all are unvoiced, left out elsewhere."""
    length = min(len(f) for _, f in results)
    f0 = np.stack([np.asarray(f[:length], dtype=np.float64) for _, f in results])
    times = np.asarray(results[0][0][:length])
    voiced = f0 > 0
    with np.errstate(divide="ignore", invalid="ignore"):
        middle = np.median(np.where(voiced, f0, np.nan), axis=0)
        agree = np.all(voiced, axis=0) & np.all(np.abs(1200 * np.log2(f0 / middle)) < 50, axis=0)
    silent = ~np.any(voiced, axis=0)
    keep = agree | silent
    return times[keep], np.where(agree, middle, 0.0)[keep]


# -- chroma -------------------------------------------------------------------------


CHORDS = {"maj": (0, 4, 7), "min": (0, 3, 7), "7": (0, 4, 7, 10), "min7": (0, 3, 7, 10)}


def chord_set(rng, quick):
    sets = []
    for cents in (0.0, 25.0):
        pieces, labels = [], []
        for _ in range(12 if quick else 40):
            root = int(rng.integers(48, 60))
            name = list(CHORDS)[int(rng.integers(len(CHORDS)))]
            n = int(0.5 * SR)
            t = np.arange(n) / SR
            x = np.zeros(n)
            for interval in CHORDS[name]:
                octave = 12 * int(rng.integers(0, 2))
                f0 = float(hz(root + interval + octave + cents / 100))
                for h in range(1, int(0.45 * SR / f0)):
                    x += np.sin(2 * np.pi * h * f0 * t + rng.uniform(0, 6.3)) / h**1.5
            x *= np.exp(-2.0 * t) * np.minimum(1, t / 0.005)
            pieces.append(0.2 * x / np.abs(x).max())
            labels.append({(root + i) % 12 for i in CHORDS[name]})
        signal = np.concatenate(pieces)
        signal = signal + 0.003 * rng.standard_normal(len(signal))
        sets.append((f"chords {cents:+.0f} cents", signal.astype(np.float32), labels))
    return sets


def chroma_accuracy(times, values, labels):
    """Share of frames whose k strongest classes are the chord's k classes."""
    hits = total = 0
    for i, classes in enumerate(labels):
        inside = (times >= 0.5 * i + 0.06) & (times < 0.5 * (i + 1) - 0.06)
        for frame in np.flatnonzero(inside):
            top = set(np.argsort(values[:, frame])[-len(classes) :].tolist())
            hits += top == classes
            total += 1
    return hits / total


def kavrel_chroma_frames(x):
    values, _ = chromagram(x, SR, hop=HOP)
    return (np.arange(values.shape[1]) + 1) * HOP / SR, values


def librosa_chroma(kind):
    def run(x):
        import librosa

        if kind == "cqt":
            values = librosa.feature.chroma_cqt(y=x, sr=SR, hop_length=HOP)
        else:
            values = librosa.feature.chroma_stft(y=x, sr=SR, hop_length=HOP)
        return librosa.times_like(values, sr=SR, hop_length=HOP), values

    return run


CHROMA = {
    "kavrel": kavrel_chroma_frames,
    "librosa chroma_cqt": librosa_chroma("cqt"),
    "librosa chroma_stft": librosa_chroma("stft"),
}


# -- onsets -------------------------------------------------------------------------


def onset_set(rng, quick):
    sets = []
    count = 40 if quick else 120
    starts = np.cumsum(rng.uniform(0.08, 0.5, count)) + 0.2
    clean = np.zeros(int((starts[-1] + 0.6) * SR))
    midi = int(rng.integers(40, 90))
    for t0 in starts:
        if rng.uniform() > 0.25:  # a quarter of the notes repeat the one before
            midi = int(rng.integers(40, 90))
        n = int(0.5 * SR)
        t = np.arange(n) / SR
        attack = rng.uniform(0.001, 0.02)
        envelope = np.minimum(1, t / attack) * np.exp(-rng.uniform(2, 12) * t)
        envelope *= np.minimum(1, (t[-1] - t) / 0.05)
        f0 = float(hz(midi))
        x = sum(
            np.sin(2 * np.pi * h * f0 * t + rng.uniform(0, 6.3)) / h
            for h in range(1, max(2, int(0.45 * SR / f0)))
        )
        start = int(t0 * SR)
        clean[start : start + n] += 0.3 * envelope * x / np.abs(x).max()
    for snr in (40, 20):
        rms = np.sqrt(np.mean(clean**2))
        noisy = clean + rng.standard_normal(len(clean)) * rms * 10 ** (-snr / 20)
        sets.append((f"notes {snr} dB", noisy.astype(np.float32), starts))
    return sets


def kavrel_onsets(x):
    return detect_onsets(x, SR, hop=HOP)[2]


def librosa_onsets(x):
    import librosa

    return librosa.onset.onset_detect(y=x, sr=SR, hop_length=HOP, units="time")


ONSETS = {"kavrel": kavrel_onsets, "librosa onset_detect": librosa_onsets}


# -- the run ------------------------------------------------------------------------


def table(title, header, rows):
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    print(f"\n{title}\n")
    line = "| " + " | ".join(str(h).ljust(w) for h, w in zip(header, widths)) + " |"
    print(line)
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(row, widths)) + " |")


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def pct(value):
    return f"{100 * value:.1f}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller set")
    args = parser.parse_args(argv)
    rng = np.random.default_rng(26)
    print(f"# kavrel features against the field: {cpu_model()}, {os.cpu_count()} CPUs,")
    print(f"# Python {platform.python_version()}; {SR} Hz, hop {HOP}; times are CPU seconds")
    print("# of this process (all its threads) per second of audio")

    # Pitch
    sets = pitch_set(rng, args.quick)
    speech = speech_set()
    totals = {name: [0.0, 0.0] for name in PITCH}  # seconds of work, seconds of audio
    rows = []
    for label, signal, truth in sets:
        ref_times, ref_f0 = frames_of(truth)
        for name, tracker in PITCH.items():
            (times, f0), seconds = timed(tracker, signal)
            totals[name][0] += seconds
            totals[name][1] += len(signal) / SR
            s = pitch_scores(ref_times, ref_f0, times, f0)
            rows.append(
                [label, name, *(pct(s[k]) for k in ("RPA", "RCA", "octave", "VR", "VFA", "OA"))]
            )
    if speech is not None:
        outputs = {}
        for name, tracker in PITCH.items():
            outputs[name], seconds = timed(tracker, speech)
            totals[name][0] += seconds
            totals[name][1] += len(speech) / SR
        ref_times, ref_f0 = consensus(
            [
                outputs[n]
                for n in ("pyin (librosa)", "Praat (parselmouth)", "WORLD harvest (pyworld)")
            ]
        )
        for name, (times, f0) in outputs.items():
            s = pitch_scores(ref_times, ref_f0, times, f0)
            rows.append(
                [
                    "speech (consensus)",
                    name,
                    *(pct(s[k]) for k in ("RPA", "RCA", "octave", "VR", "VFA", "OA")),
                ]
            )
    header = ["set", "tracker", "RPA %", "RCA %", "octave err %", "VR %", "VFA %", "OA %"]
    table("Pitch (mir_eval; octave err = RCA - RPA)", header, rows)
    if speech is None:
        print("\n(espeak-ng is not installed: no speech set)")
    base = totals["kavrel (offline)"][0] / totals["kavrel (offline)"][1]
    speed = [
        [name, f"{1000 * work / audio:.1f}", f"{work / audio / base:.1f}x"]
        for name, (work, audio) in totals.items()
    ]
    table("Pitch: time per second of audio", ["tracker", "ms per s", "vs kavrel offline"], speed)

    # Chroma
    rows, totals = [], {name: [0.0, 0.0] for name in CHROMA}
    for label, signal, labels in chord_set(rng, args.quick):
        for name, method in CHROMA.items():
            (times, values), seconds = timed(method, signal)
            totals[name][0] += seconds
            totals[name][1] += len(signal) / SR
            rows.append([label, name, pct(chroma_accuracy(times, values, labels))])
    table(
        "Chroma: frames whose strongest classes are the chord's",
        ["set", "method", "accuracy %"],
        rows,
    )
    base = totals["kavrel"][0] / totals["kavrel"][1]
    table(
        "Chroma: time per second of audio",
        ["method", "ms per s", "vs kavrel"],
        [[n, f"{1000 * w / a:.1f}", f"{w / a / base:.1f}x"] for n, (w, a) in totals.items()],
    )

    # Onsets
    import mir_eval

    rows, totals = [], {name: [0.0, 0.0] for name in ONSETS}
    for label, signal, starts in onset_set(rng, args.quick):
        for name, method in ONSETS.items():
            found, seconds = timed(method, signal)
            totals[name][0] += seconds
            totals[name][1] += len(signal) / SR
            f, p, r = mir_eval.onset.f_measure(starts, np.asarray(found), window=0.05)
            rows.append([label, name, pct(f), pct(p), pct(r)])
    table("Onsets (mir_eval, 50 ms)", ["set", "method", "F %", "P %", "R %"], rows)
    base = totals["kavrel"][0] / totals["kavrel"][1]
    table(
        "Onsets: time per second of audio",
        ["method", "ms per s", "vs kavrel"],
        [[n, f"{1000 * w / a:.1f}", f"{w / a / base:.1f}x"] for n, (w, a) in totals.items()],
    )

    # Latency of the streaming classes at 44.1 kHz with their default hop
    rows = []
    for name, make in [
        ("pitch", lambda: PitchTracker(44100)),
        ("pitch, max_tau 8 ms", lambda: PitchTracker(44100, max_tau=0.008)),
        ("chroma", lambda: ChromaStream(44100)),
        ("onsets", lambda: OnsetDetector(44100)),
    ]:
        stream = make()
        rows.append([name, stream.hop, stream.latency, f"{1000 * stream.latency / 44100:.1f}"])
    table(
        "Streaming: stated algorithmic latency at 44.1 kHz (tested in tests/test_features.py)",
        ["class", "hop", "samples", "ms"],
        rows,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())

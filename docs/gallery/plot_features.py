"""
Pitch, chroma and onsets
========================

The feature modules of the toolkit read a bank the way a listener reads a score: which
note sounds (:py:func:`~kavrel_tools.pitch.track_pitch`, with a voiced flag and a
confidence), which pitch classes a chord holds (:py:func:`~kavrel_tools.chroma.chromagram`,
with the tuning estimated once) and where notes start
(:py:func:`~kavrel_tools.onsets.detect_onsets`). Each has a streaming class as well
(:py:class:`~kavrel_tools.pitch.PitchTracker`, :py:class:`~kavrel_tools.chroma.ChromaStream`,
:py:class:`~kavrel_tools.onsets.OnsetDetector`) fed blocks of any size, with its latency in
samples as an attribute.

The melody is made on the page: five notes whose fundamental is missing (the harmonics
2 to 8 only, the case that makes trackers read an octave too high), one with vibrato and
one gliding, a silence and a burst of noise, which must read as unvoiced. The pitch track
is drawn over the bank's spectrogram; the chords (C, A minor, F, G7, 20 cents sharp) give
the chromagram; the onset curve is that of the melody, with the notes' true starts.
"""

import matplotlib.pyplot as plt
import numpy as np

import kavrel_tools as kt

rate = 16000
rng = np.random.default_rng(0)


def harmonics(midi_track, lowest=2, highest=8):
    """A tone following a per-sample MIDI track, from harmonic `lowest` to `highest`."""
    f0 = 440.0 * 2 ** ((midi_track - 69) / 12)
    phase = 2 * np.pi * np.cumsum(f0) / rate
    x = sum(np.sin(h * phase) / h for h in range(lowest, highest + 1))
    seconds = len(x) / rate
    t = np.arange(len(x)) / rate
    return 0.3 * x * np.minimum(1, np.minimum(t, seconds - t) / 0.01)


# (MIDI note, seconds, kind); kind: steady, vibrato, glide, silence or noise.
score = [(57, 0.35, "steady"), (64, 0.35, "steady"), (69, 0.5, "vibrato"), (None, 0.2, "rest"),
         (62, 0.5, "glide"), (None, 0.2, "noise"), (45, 0.4, "steady")]  # fmt: skip
pieces, truth, starts, clock = [], [], [], 0.0
for midi, seconds, kind in score:
    n = int(seconds * rate)
    t = np.arange(n) / rate
    if midi is None:
        noise = 0.05 * rng.standard_normal(n) if kind == "noise" else np.zeros(n)
        pieces.append(noise)
        truth.append(np.full(n, np.nan))
    else:
        track = np.full(n, float(midi))
        if kind == "vibrato":
            track += 0.4 * np.sin(2 * np.pi * 5.5 * t)
        if kind == "glide":
            track += 3 * t / seconds
        pieces.append(harmonics(track))
        truth.append(track)
        starts.append(clock)
    clock += seconds
melody = np.concatenate(pieces).astype(np.float32)
truth = np.concatenate(truth)

track = kt.track_pitch(melody, rate)
tracker = kt.PitchTracker(rate)
print(f"pitch: {len(track)} frames, {track.voiced.mean():.0%} voiced")
print(f"streaming latency: {tracker.latency} samples ({1000 * tracker.latency / rate:.1f} ms)")

freqs = kt.log_frequencies(55.0, fmax=2000.0, bins_per_octave=36)
picture = kt.analyse(melody, rate, freqs, hop=tracker.hop)
fig, ax = plt.subplots(figsize=(10, 5), layout="constrained")
picture.plot(ax, range_db=60, title="Pitch track over the bank (missing fundamental)")
t = np.arange(len(truth)) / rate
ax.plot(t, truth, color="white", linewidth=4, alpha=0.35, label="played")
ax.plot(track.times, track.midi(), ".", color="cyan", markersize=3, label="track_pitch")
ax.legend(loc="upper right")

# Chords, 20 cents sharp: the tuning is estimated once, then the classes are folded.
chords = [(60, 64, 67), (57, 60, 64), (53, 57, 60), (55, 59, 62, 65)]
parts = []
for notes in chords:
    n = int(0.6 * rate)
    t = np.arange(n) / rate
    chord = sum(harmonics(np.full(n, m + 0.2), lowest=1, highest=6) for m in notes)
    parts.append(chord * np.exp(-1.5 * t))
chord_signal = np.concatenate(parts).astype(np.float32)
values, tuning = kt.chromagram(chord_signal, rate)
print(f"estimated tuning: {tuning:+.1f} cents")

fig, ax = plt.subplots(figsize=(10, 3.2), layout="constrained")
duration = len(chord_signal) / rate
image = ax.imshow(values, origin="lower", aspect="auto", cmap="magma",
                  extent=(0, duration, -0.5, 11.5))  # fmt: skip
ax.set_yticks(range(12), ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"])
ax.set_xlabel("time (s)")
ax.set_title(f"Chromagram: C, Am, F, G7 (tuning estimated {tuning:+.1f} cents)")
fig.colorbar(image, ax=ax, pad=0.01)

times, strength, onsets = kt.detect_onsets(melody, rate)
print("onsets found:", ", ".join(f"{x:.2f}" for x in onsets))
fig, ax = plt.subplots(figsize=(10, 3), layout="constrained")
ax.plot(times, strength, color="black", linewidth=0.8, label="onset strength")
for x in starts:
    ax.axvline(x, color="tab:green", alpha=0.5, linewidth=3)
ax.plot(onsets, np.interp(onsets, times, strength), "v", color="tab:red", label="detected")
ax.set_xlabel("time (s)")
ax.set_ylabel("mean rise (dB per frame)")
ax.set_title("Onset strength; true starts in green")
ax.legend(loc="upper right")

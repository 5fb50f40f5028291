"""
Tuner trace from a sound file
=============================

``examples/live.py --file`` streams a sound file through the live analyser block by block,
as it would the microphone: one :py:meth:`~kavrel.ResonatorBank.process_samples` call per 256
samples, then a reading of
the strongest key and of the tuner, which takes the offset from the advance of that
channel's phase between blocks::

    python examples/live.py --file tune.wav --fast --plain

The analyser and the tuner are :py:class:`kavrel_tools.live.LiveAnalyser` and its
:py:class:`~kavrel_tools.live.Tuner`; the script adds the inputs and the views. Here each
block goes to :py:meth:`LiveAnalyser.feed <kavrel_tools.live.LiveAnalyser.feed>`, and
:py:meth:`~kavrel_tools.live.LiveAnalyser.reading` returns the strongest key and the tuner's
offset in cents. Here the file is made first: four notes at known
offsets from equal temperament (A4 in tune, C5 10 cents sharp, E5 15 cents flat), then an
A4 with a slow vibrato of ±20 cents. It is read block by block into the analyser, a reading
is kept after every block, and the trace shows the tuner's readings against the offsets
played. The tuner fits its line over the
last quarter second, so it has nothing to show for an eighth of a second after each change
of note, and it follows a vibrato with a lag of about an eighth of a second.
"""

from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import soundfile

from kavrel_tools import PIANO_KEYS, note_name
from kavrel_tools.live import LiveAnalyser

rate = 48000
# (MIDI note, offset in cents, seconds, vibrato depth in cents)
score = [(69, 0.0, 1.2, 0.0), (72, 10.0, 1.2, 0.0), (76, -15.0, 1.2, 0.0), (69, 0.0, 2.4, 20.0)]
pieces, truth = [], []
for midi, cents, seconds, vibrato in score:
    t = np.arange(int(rate * seconds)) / rate
    offset = cents + vibrato * np.sin(2 * np.pi * 1.0 * t)
    hz = 440.0 * 2 ** ((midi - 69 + offset / 100) / 12)
    fade = np.minimum(1, np.minimum(t, seconds - t) / 0.01)  # 10 ms ramps, no clicks
    pieces.append(0.4 * fade * np.sin(2 * np.pi * np.cumsum(hz) / rate))
    truth.append(offset)
signal, truth = np.concatenate(pieces), np.concatenate(truth)
soundfile.write("tune.wav", signal.astype(np.float32), rate, subtype="FLOAT")


analyser = LiveAnalyser(rate)
readings = []
for block in soundfile.blocks("tune.wav", blocksize=256, dtype="float32"):
    analyser.feed(block)
    readings.append(analyser.reading(max_notes=1))
Path("tune.wav").unlink()

seconds = np.array([r.seconds for r in readings])
cents = np.array([np.nan if r.cents is None else r.cents for r in readings])
for start in (1.0, 2.2, 3.4, 5.0):  # a moment in each note
    r = readings[int(np.searchsorted(seconds, start))]
    name = "--" if r.strongest is None else note_name(PIANO_KEYS[r.strongest])
    offset = "--" if r.cents is None else f"{r.cents:+.1f} cents"
    print(f"{r.seconds:5.2f} s  {name:<3} {offset}")

fig, ax = plt.subplots(figsize=(10, 4.5), layout="constrained")
ax.plot(np.arange(len(truth)) / rate, truth, color="0.6", linewidth=3, label="played")
ax.plot(seconds, cents, color="C1", linewidth=1.2, label="tuner (a reading every 256 samples)")
edges = np.cumsum([0] + [s for _, _, s, _ in score])
for (midi, *_), a, b in zip(score, edges[:-1], edges[1:]):
    ax.text((a + b) / 2, 27, note_name(midi), ha="center", fontsize=11)
ax.set_ylim(-30, 32)
ax.set_xlabel("time (s)")
ax.set_ylabel("offset from equal temperament (cents)")
ax.set_title("The live analyser's tuner on a sound file")
ax.legend(loc="lower left")
ax.grid(alpha=0.3)

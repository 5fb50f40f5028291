"""
Piano keys: the main job's picture
==================================

One channel per piano key, a frame every 256 samples, levels in dB relative to a full-scale
sine, time across: the picture of the quick start, made here step by step. The signal is
built on the page (piano-like notes, a chord, then a sweep), so the script runs anywhere.

The analysis is three calls: :py:func:`kavrel_tools.key_frequencies
<kavrel_tools.frequencies.key_frequencies>` gives the 88 keys' frequencies as the bank takes
them, :py:class:`kavrel.ResonatorBank` builds the bank with the default smoothing, and
:py:meth:`~kavrel.ResonatorBank.resonate` returns one row of complex channel values per hop.
:py:meth:`Spectrogram.from_frames <kavrel_tools.results.Spectrogram.from_frames>` labels the
frames with their times and :py:meth:`~kavrel_tools.results.Spectrogram.plot` draws them with
note names and a dB colour bar. ``examples/spectrogram.py`` is a command line over the same
calls, reading any sound file block by block::

    python examples/spectrogram.py -o spectrogram.png
"""

import matplotlib.pyplot as plt
import numpy as np

import kavrel
import kavrel_tools as kt

rate, hop = 22050, 256
signal = np.zeros(int(4.5 * rate))
# (MIDI note, start, end in seconds): A3, an A major chord, C5, E5
notes = [(57, 0.0, 0.7), (61, 0.75, 1.65), (64, 0.75, 1.65), (69, 0.75, 1.65), (72, 1.7, 2.3)]
for midi, start, end in notes + [(76, 2.35, 2.95)]:
    t = np.arange(int((end - start) * rate)) / rate
    f = kavrel.midi_to_hz(midi, 440.0)
    tone = sum(np.sin(2 * np.pi * k * f * t) / k**1.5 for k in range(1, 5))  # four partials
    first = int(start * rate)
    signal[first : first + len(t)] += tone * np.exp(-3 * t) * np.minimum(1, t / 0.005)
t = np.arange(int(1.5 * rate)) / rate  # a sweep from A2 to A6, the same keys every second
growth = np.log(16) / 1.5
signal[-len(t) :] += 0.5 * np.sin(2 * np.pi * 110.0 * np.expm1(growth * t) / growth)
signal = (0.9 * signal / np.abs(signal).max()).astype(np.float32)

freqs = kt.key_frequencies()  # the 88 piano keys, float32
bank = kavrel.ResonatorBank(freqs, rate)
frames = bank.resonate(signal, hop)  # (frames, 88) complex64
print(f"{len(signal)} samples -> frames {frames.shape}, {frames.dtype}")

spectrogram = kt.Spectrogram.from_frames(frames, freqs, hop, rate)
fig, ax = plt.subplots(figsize=(10, 5.5), layout="constrained")
_ = spectrogram.plot(ax, range_db=70, title="88 piano keys, a frame every 256 samples")

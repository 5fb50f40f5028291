"""
Speech: channels over any range, with the toolkit
=================================================

For speech recorded at 16 kHz, channels log-spaced from 60 Hz to just below the Nyquist
frequency show the voice's harmonics at the bottom and its formants and fricatives up to
8 kHz, which a bank of piano keys (up to 4.2 kHz) would lose. The recording is
``docs/audio/speech.flac``, a synthetic voice reading one sentence.

``kavrel_tools`` does each step in one call: ``load`` reads the file as the bank's float32
samples, ``log_frequencies`` makes the grid (refusing a bin at or above the Nyquist
frequency), ``analyse`` runs the bank and labels the frames, ``Spectrogram.plot`` draws
them with note names, Hz and a dB colour bar. The same picture from the command line::

    python examples/spectrogram.py docs/audio/speech.flac --fmin 60 --fmax 7900 -o speech.png
"""

from pathlib import Path

import matplotlib.pyplot as plt

import kavrel_tools as kt

ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())
signal, rate = kt.load(ROOT / "docs" / "audio" / "speech.flac")
freqs = kt.log_frequencies(60.0, fmax=7900.0, bins_per_octave=24, sample_rate=rate)
spectrogram = kt.analyse(signal, rate, freqs, hop=80)  # a frame every 5 ms
print(f"{len(signal) / rate:.2f} s at {rate:g} Hz: {spectrogram.values.shape} (bins, frames)")
print("settling time of the lowest bin:", f"{kt.settling_time(freqs, rate)[0] * 1e3:.1f} ms")

fig, ax = plt.subplots(figsize=(10, 5.5), layout="constrained")
_ = spectrogram.plot(ax, range_db=70, title="speech.flac, 24 bins per octave from 60 Hz")

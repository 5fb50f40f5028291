"""
Speech: channels over any range, with the toolkit
=================================================

For speech at 16 kHz, channels log-spaced from 60 Hz to just below the Nyquist frequency
show the voice's harmonics at the bottom and its formants and fricatives up to 8 kHz, which
a bank of piano keys (up to 4.2 kHz) would lose. The voice is made on the page, so that the
script runs anywhere: a pitch that falls from 150 to 100 Hz, the vowels "a", "i", "u" and
"a" shaped by their first three formants, and an "s" and a "sh" of shaped noise in between.

:py:mod:`kavrel_tools` does each step in one call:
:py:func:`~kavrel_tools.frequencies.log_frequencies` makes the grid (refusing a bin at or
above the Nyquist frequency),
:py:func:`~kavrel_tools.stream.analyse` runs the bank and labels the frames,
:py:func:`~kavrel_tools.stream.settling_time` says how long the lowest bin needs to settle,
and :py:meth:`Spectrogram.plot <kavrel_tools.results.Spectrogram.plot>` draws them with note
names, Hz and a dB colour bar. For a recording, :py:func:`kavrel_tools.load
<kavrel_tools.audio.load>` reads a sound file as the bank's float32 samples; the source
repository holds one, ``docs/audio/speech.flac`` (a synthetic voice reading one sentence),
and the same picture of it comes from the command line::

    python examples/spectrogram.py docs/audio/speech.flac --fmin 60 --fmax 7900 -o speech.png
"""

import matplotlib.pyplot as plt
import numpy as np

import kavrel_tools as kt

rate = 16000
# (sound, seconds, Hz): a vowel is voiced, shaped by its three formants; "s" and "sh" are
# noise between the two frequencies of their band.
script = [
    ("a", 0.35, (730, 1090, 2440)),
    ("s", 0.15, (4500, 7500)),
    ("i", 0.35, (270, 2290, 3010)),
    ("sh", 0.15, (2500, 5000)),
    ("u", 0.35, (300, 870, 2240)),
    ("a", 0.35, (730, 1090, 2440)),
]
rng = np.random.default_rng(0)
pieces = []
start = 0.0
total = sum(seconds for _, seconds, _ in script)
for sound, seconds, formants in script:
    t = np.arange(int(seconds * rate)) / rate
    envelope = np.minimum(1, np.minimum(t, seconds - t) / 0.02)  # 20 ms onsets and releases
    if sound in ("s", "sh"):  # noise, kept to its band in the frequency domain
        spectrum = np.fft.rfft(rng.standard_normal(len(t)))
        hz = np.fft.rfftfreq(len(t), 1 / rate)
        spectrum[(hz < formants[0]) | (hz > formants[1])] = 0
        pieces.append(0.3 * envelope * np.fft.irfft(spectrum, len(t)) / 3)
    else:  # harmonics of the falling pitch, each weighted by the three formant peaks
        f0 = 150 - 50 * (start + t) / total
        phase = 2 * np.pi * np.cumsum(f0) / rate
        voice = np.zeros(len(t))
        for k in range(1, int(rate / 2 / 150)):
            gain = sum(1 / (1 + ((k * f0 - f) / (0.06 * f + 50)) ** 2) for f in formants)
            voice += gain / k * np.sin(k * phase)
        pieces.append(envelope * voice)
    start += seconds
signal = np.concatenate(pieces)
signal = (0.9 * signal / np.abs(signal).max()).astype(np.float32)

freqs = kt.log_frequencies(60.0, fmax=7900.0, bins_per_octave=24, sample_rate=rate)
spectrogram = kt.analyse(signal, rate, freqs, hop=80)  # a frame every 5 ms
print(f"{len(signal) / rate:.2f} s at {rate:g} Hz: {spectrogram.values.shape} (bins, frames)")
print("settling time of the lowest bin:", f"{kt.settling_time(freqs, rate)[0] * 1e3:.1f} ms")

fig, ax = plt.subplots(figsize=(10, 5.5), layout="constrained")
_ = spectrogram.plot(ax, range_db=70, title='"a s i sh u a", 24 bins per octave from 60 Hz')

"""
Speech: channels over any range
===============================

A bank takes any frequencies. For speech, channels log-spaced from 60 Hz to just below the
Nyquist frequency of a 16 kHz recording, 24 per octave, show the voice's harmonics at the
bottom and its formants and fricatives up to 8 kHz, which a bank of piano keys (up to
4.2 kHz) would lose.

The recording is ``docs/audio/speech.flac`` when the repository has it; otherwise this page
makes a speech-like stand-in: a voice at about 120 Hz gliding through the formants of the
vowels /a/, /i/ and /u/, with a hiss like an "s" between them.
"""

from pathlib import Path

import matplotlib.pyplot as plt
import numpy as np
import soundfile

import kavrel

ROOT = next(p for p in [Path.cwd(), *Path.cwd().parents] if (p / "examples").is_dir())
SPEECH = ROOT / "docs" / "audio" / "speech.flac"


def speech_like(rate=16000, seconds=2.4):
    """A voiced source of harmonics shaped by moving formants, and hiss between vowels."""
    t = np.arange(int(rate * seconds)) / rate
    f0 = 120 + 15 * np.sin(2 * np.pi * 0.6 * t)  # a gentle intonation
    phase = 2 * np.pi * np.cumsum(f0) / rate
    # Formant frequencies (Hz) of /a/, /i/, /u/, each held 0.6 s, with glides between.
    vowels = np.array([[730, 1090, 2440], [270, 2290, 3010], [300, 870, 2240]], float)
    position = np.clip((t % 0.8) / 0.6, 0, 1)
    which = (t // 0.8).astype(int) % 3
    formants = vowels[which] * (1 - 0.1 * position[:, None])
    voice = np.zeros_like(t)
    for h in range(1, int(7900 / 100)):
        f = h * f0
        shape = sum(np.exp(-0.5 * ((f - formants[:, k]) / (60 + 40 * k)) ** 2) for k in range(3))
        voice += (shape + 0.02) * np.sin(h * phase) / np.sqrt(h)
    voiced = (t % 0.8) < 0.6
    noise = np.random.default_rng(0).standard_normal(len(t))
    spectrum = np.fft.rfft(noise)
    spectrum[np.fft.rfftfreq(len(t), 1 / rate) < 3500] = 0  # "s": energy above 3.5 kHz
    hiss = np.fft.irfft(spectrum, len(t))
    signal = np.where(voiced, voice / np.abs(voice).max(), 0.3 * hiss / np.abs(hiss).max())
    return (0.5 * signal).astype(np.float32), rate


if SPEECH.is_file():
    samples, rate = soundfile.read(SPEECH, dtype="float32")
    if samples.ndim == 2:
        samples = samples.mean(axis=1, dtype=np.float32)
    source = "speech.flac"
else:
    samples, rate = speech_like()
    source = "a speech-like stand-in"

fmin, fmax, per_octave = 60.0, 7900.0, 24
freqs = np.geomspace(fmin, fmax, int(round(per_octave * np.log2(fmax / fmin))) + 1)
bank = kavrel.ResonatorBank(freqs.astype(np.float32), float(rate))
hop = rate // 200  # a frame every 5 ms
frames = bank.resonate(samples, hop)
level = 10 * np.log10(4 * np.abs(frames.astype(np.complex128)) ** 2 + 1e-12)
seconds = len(samples) / rate
print(f"{source}: {seconds:.2f} s at {rate} Hz, {len(bank)} channels, {len(frames)} frames")

ratio = np.sqrt(freqs[1] / freqs[0])
edges = np.append(freqs / ratio, freqs[-1] * ratio)  # a cell around each channel, log-spaced
fig, ax = plt.subplots(figsize=(10, 5), layout="constrained")
top = level.max()
image = ax.pcolormesh(
    np.arange(len(frames) + 1) * hop / rate,  # frame k ends at (k + 1) * hop samples
    edges,
    level.T,
    cmap="magma",
    vmin=top - 70,
    vmax=top,
    shading="flat",
)
ax.set_yscale("log")
ticks = [62.5, 125, 250, 500, 1000, 2000, 4000, 7900]
ax.set_yticks(ticks, ["62.5", "125", "250", "500", "1k", "2k", "4k", "7.9k"])
ax.minorticks_off()
ax.set_xlabel("time (s)")
ax.set_ylabel("frequency (Hz)")
ax.set_title(f"{len(bank)} channels, 60 Hz to 7.9 kHz, of {source}")
_ = fig.colorbar(image, ax=ax, label="level (dB re full-scale sine)", pad=0.01)

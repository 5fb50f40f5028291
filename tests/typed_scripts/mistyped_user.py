"""A user script with mistakes that the stubs let mypy find (see the test for the lines)."""

import numpy as np

import kavrel

freqs = np.array([440.0, 880.0], dtype=np.float32)
bank = kavrel.ResonatorBank(freqs, 44100.0)
signal = np.zeros(1024, dtype=np.float32)
frames = bank.reosnate(signal, 256)
frames = bank.resonate(signal, hop="256")
bank.process_sample("0.5")
bank = kavrel.ResonatorBank(freqs, 44100.0, freqs * 0.01)
level: str = bank.power(0)

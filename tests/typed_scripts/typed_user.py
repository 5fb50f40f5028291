"""A user script with full annotations: mypy --strict accepts it as it stands."""

import numpy as np
from numpy.typing import NDArray

import kavrel


def key_frequencies(low: int, high: int) -> NDArray[np.float32]:
    return np.array([kavrel.midi_to_hz(m, 440.0) for m in range(low, high)], dtype=np.float32)


def analyse(signal: NDArray[np.float32], sample_rate: float, hop: int) -> NDArray[np.complex64]:
    freqs = key_frequencies(21, 109)
    alphas: NDArray[np.float32] = kavrel.heuristic_alphas(freqs, sample_rate)
    bank = kavrel.ResonatorBank(freqs, sample_rate, alphas=alphas, betas=None)
    frames: NDArray[np.complex64] = bank.resonate(signal, hop)
    bank.process_samples(signal[: len(signal) % hop])
    bank.process_sample(np.float32(0.5))
    value: complex = bank.complex(np.int64(0))
    level: float = bank.power(len(bank) - 1) + bank.magnitude(0) + bank.phase(0) + bank.freq(0)
    powers: NDArray[np.float32] = bank.powers()
    readouts = [bank.magnitudes(), bank.phases(), bank.frequencies(), powers]
    print(value, level, [r.shape for r in readouts])
    bank.reset()
    return frames


tau: float = kavrel.tau_from_alpha(kavrel.alpha_from_tau(0.01, 48000), 48000)
alpha: float = kavrel.heuristic_alpha(440, 48000.0)
print(analyse(np.zeros(4096, dtype=np.float32), 48000.0, 256).shape, tau, alpha)

"""Other ways of computing a resonator picture, used by run.py for comparison.

Every *_picture function returns a (frames, channels) complex array: row k holds
the second smoothing stage of every channel after samples 0 .. (k+1)*hop-1,
starting from a fresh bank (phasor 1, stages 0).  The short-time Fourier
transform is the exception: it is a different analysis, included because it
is what most people compute for a spectrogram.
"""

from typing import Any

import numpy as np

RENORM_PERIOD = 256
TWO_PI_F32 = np.float32(-6.2831855)  # -2*pi rounded to single precision


def step_angles(freqs, sample_rate):
    """Per-sample phasor angle of every channel, in float32, as the bank forms it."""
    freqs = np.asarray(freqs, dtype=np.float32)
    return (freqs * TWO_PI_F32) / np.float32(sample_rate)


def _libm_unary(name):
    import ctypes
    import ctypes.util

    lib = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
    fn = getattr(lib, name)
    fn.restype = ctypes.c_float
    fn.argtypes = [ctypes.c_float]
    return fn


def rotations(freqs, sample_rate):
    """Per-sample rotation (cos w, sin w) of every channel, as float32 arrays.

    Uses the C library's single-precision cosine and sine, like the bank, so
    that the phasors of all implementations turn by the same float32 values;
    NumPy's own float32 cos/sin may differ in the last bit, which over a few
    seconds of samples shows up as a phase drift of about 1e-4 rad.
    """
    cosf = _libm_unary("cosf")
    sinf = _libm_unary("sinf")
    w = step_angles(freqs, sample_rate)
    rr = np.array([cosf(float(v)) for v in w], dtype=np.float32)
    ri = np.array([sinf(float(v)) for v in w], dtype=np.float32)
    return rr, ri


# --------------------------------------------------------------------------
# NumPy: vectorised over channels, a Python loop over samples.


def numpy_picture(x, freqs, alphas, betas, sample_rate, hop):
    """Same float32 recurrence with NumPy ufuncs, one sample per loop turn.

    Works in place on complex64 arrays so that each sample costs eight ufunc
    calls; this is about as fast as a channel-vectorised NumPy loop gets.
    """
    n = len(freqs)
    a = np.asarray(alphas, dtype=np.float32)
    b = np.asarray(betas, dtype=np.float32)
    ka = np.float32(1) - a
    kb = np.float32(1) - b
    rr, ri = rotations(freqs, sample_rate)
    rot = (rr + 1j * ri).astype(np.complex64)
    p = np.ones(n, np.complex64)
    s1 = np.zeros(n, np.complex64)
    s2 = np.zeros(n, np.complex64)
    xa = np.empty(n, np.float32)
    t = np.empty(n, np.complex64)
    frames = len(x) // hop
    out = np.empty((frames, n), np.complex64)
    x = np.asarray(x, dtype=np.float32)
    mul, add = np.multiply, np.add
    for i in range(frames * hop):
        mul(a, x[i], out=xa)
        mul(xa, p, out=t)
        mul(s1, ka, out=s1)
        add(s1, t, out=s1)
        mul(s1, b, out=t)
        mul(s2, kb, out=s2)
        add(s2, t, out=s2)
        mul(p, rot, out=p)
        i1 = i + 1
        if i1 % RENORM_PERIOD == 0:
            p /= np.abs(p)
        if i1 % hop == 0:
            out[i1 // hop - 1] = s2
    return out


# --------------------------------------------------------------------------
# SciPy: complex heterodyne per channel, then two one-pole lfilter passes.


def scipy_picture(x, freqs, alphas, betas, sample_rate, hop):
    """Per channel: x * exp(i w n), then y[n] = a*u[n] + (1-a)*y[n-1] twice.

    The angle w is the bank's own single-precision step angle (negative for
    positive frequencies), so the phasor sequence turns the same way and at
    the same speed; the arithmetic is SciPy's default double precision.
    """
    from scipy.signal import lfilter

    frames = len(x) // hop
    used = frames * hop
    xs = np.asarray(x[:used], dtype=np.float64)
    idx = np.arange(used, dtype=np.float64)
    w = step_angles(freqs, sample_rate).astype(np.float64)
    out = np.empty((frames, len(freqs)), np.complex128)
    for k in range(len(freqs)):
        ak = float(alphas[k])
        bk = float(betas[k])
        z = xs * np.exp(1j * w[k] * idx)
        s1 = lfilter([ak], [1.0, ak - 1.0], z)
        s2 = lfilter([bk], [1.0, bk - 1.0], s1)
        out[:, k] = s2[hop - 1 :: hop]
    return out


# --------------------------------------------------------------------------
# Short-time Fourier transform: a different analysis, for its cost.


def stft_picture(x, sample_rate, hop, win_len=2048):
    from scipy.signal import ShortTimeFFT
    from scipy.signal.windows import hann

    sft = ShortTimeFFT(hann(win_len, sym=False), hop=hop, fs=sample_rate)
    return sft.stft(x)


# --------------------------------------------------------------------------
# Numba: the same recurrence compiled, plus a fused-multiply-add rate probe.


def numba_available():
    try:
        import numba  # noqa: F401
    except Exception:  # ImportError, or a broken install that fails on import
        return False
    return True


_numba_cache: dict[str, Any] = {}


def _numba_kernels():
    if _numba_cache:
        return _numba_cache
    from numba import njit

    # 'contract' lets LLVM fuse a*b + c into one FMA, as the bank's kernel
    # does for the four smoothing updates; nothing is reassociated.
    @njit(fastmath={"contract"}, cache=False)
    def resonate_loop(x, a, b, rr, ri, hop, out):
        n = a.size
        pr = np.ones(n, np.float32)
        pi = np.zeros(n, np.float32)
        s1r = np.zeros(n, np.float32)
        s1i = np.zeros(n, np.float32)
        s2r = np.zeros(n, np.float32)
        s2i = np.zeros(n, np.float32)
        one = np.float32(1.0)
        frames = out.shape[0]
        for i in range(frames * hop):
            xi = x[i]
            for k in range(n):
                ak = a[k]
                bk = b[k]
                xa = xi * ak
                ka = one - ak
                s1r[k] = ka * s1r[k] + xa * pr[k]
                s1i[k] = ka * s1i[k] + xa * pi[k]
                kb = one - bk
                s2r[k] = kb * s2r[k] + bk * s1r[k]
                s2i[k] = kb * s2i[k] + bk * s1i[k]
                p_r = pr[k]
                p_i = pi[k]
                pr[k] = p_r * rr[k] - p_i * ri[k]
                pi[k] = p_r * ri[k] + p_i * rr[k]
            i1 = i + 1
            if i1 % RENORM_PERIOD == 0:
                for k in range(n):
                    g = one / np.sqrt(pr[k] * pr[k] + pi[k] * pi[k])
                    pr[k] = pr[k] * g
                    pi[k] = pi[k] * g
            if i1 % hop == 0:
                f = i1 // hop - 1
                for k in range(n):
                    out[f, k] = complex(s2r[k], s2i[k])

    # 96 independent float32 chains: with 8 or 16 lanes per vector that is
    # 12 or 6 vector chains, enough to hide the FMA latency on two pipes.
    @njit(fastmath={"contract"}, cache=False)
    def fma_probe(iters, b, c, acc):
        for _ in range(iters):
            for j in range(96):
                acc[j] = acc[j] * b + c
        return acc.sum()

    _numba_cache["resonate"] = resonate_loop
    _numba_cache["probe"] = fma_probe
    return _numba_cache


def numba_picture(x, freqs, alphas, betas, sample_rate, hop):
    kern = _numba_kernels()["resonate"]
    rr, ri = rotations(freqs, sample_rate)
    out = np.empty((len(x) // hop, len(freqs)), np.complex64)
    kern(
        np.ascontiguousarray(x, dtype=np.float32),
        np.ascontiguousarray(alphas, dtype=np.float32),
        np.ascontiguousarray(betas, dtype=np.float32),
        rr,
        ri,
        int(hop),
        out,
    )
    return out


PROBE_LANES = 96


def fma_probe(iters):
    """Run the probe; return (seconds, lane-FMAs done, vector FMA kinds in the asm)."""
    import re
    import time

    probe = _numba_kernels()["probe"]
    b = np.float32(0.999)
    c = np.float32(0.001)
    acc = np.linspace(0.5, 1.5, PROBE_LANES).astype(np.float32)
    probe(4, b, c, acc)  # compile
    asm = "\n".join(probe.inspect_asm().values())
    kinds = sorted(set(re.findall(r"vfmadd\w*ps\s+[^\n]*?%([xyz]mm)", asm)))
    t0 = time.perf_counter()
    probe(iters, b, c, acc)
    dt = time.perf_counter() - t0
    return dt, iters * PROBE_LANES, kinds

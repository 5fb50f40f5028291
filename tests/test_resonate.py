"""resonate(signal, hop): frames of channel values every `hop` samples.

The reference is the bank itself driven block by block with process_samples
and read with complex(i), plus the float32 model of bank_model.py.
"""

import numpy as np
import pytest

import kavrel
from bank_model import (
    BankModel,
    assert_same_complex,
    assert_same_readouts,
    assert_twins_agree,
    bank_readouts,
    canonical_bits,
    complex_row,
    make_twins,
    noise,
    random_params,
)
from support import F, panic_type

c64 = np.complex64
Bank = kavrel.ResonatorBank

DIVIDE_BY_ZERO = "attempt to divide by zero"

# Signal lengths per hop: enough frames to matter, few enough to stay fast,
# and never a multiple of the hop, so that a tail is always left over.
LENGTH_FOR_HOP = {1: 45, 3: 200, 64: 700, 100: 1050, 256: 1100, 1000: 2600}


def twins(seed=0, n=9, history=300):
    return make_twins(Bank, seed, n, history)


def blockwise(bank, signal, hop):
    """What resonate must return: process_samples on each block of `hop`
    samples, then complex(i) of every channel."""
    frames = len(signal) // hop
    out = np.empty((frames, len(bank)), dtype=c64)
    for k in range(frames):
        bank.process_samples(signal[k * hop : (k + 1) * hop])
        out[k] = complex_row(bank)
    return out


@pytest.mark.parametrize("hop", sorted(LENGTH_FOR_HOP))
@pytest.mark.parametrize("n", [1, 7, 8, 23, 24, 100])
def test_resonate_equals_process_samples_blockwise(n, hop):
    # A history of 37 samples puts the renormalisation points off the frame
    # boundaries.
    a, b = twins(seed=1000 + 10 * n + hop, n=n, history=37)
    signal = noise(np.random.default_rng(n * hop), LENGTH_FOR_HOP[hop])
    got = a.resonate(signal, hop)
    assert got.shape == (len(signal) // hop, n)
    assert_same_complex(got, blockwise(b, signal, hop))
    assert_twins_agree(a, b)


@pytest.mark.parametrize("n, hop", [(1, 64), (8, 100), (23, 37), (9, 256)])
def test_resonate_matches_model(n, hop):
    rng = np.random.default_rng(2000 + n)
    freqs, alphas, betas = random_params(rng, n)
    bank = Bank(freqs, 44100.0, alphas=alphas, betas=betas)
    model = BankModel(freqs, 44100.0, alphas, betas)
    first, second = noise(rng, 650), noise(rng, 300)
    for signal in (first, second):
        assert_same_complex(bank.resonate(signal, hop), model.resonate(signal, hop))
        assert_same_readouts(bank_readouts(bank), model.readouts())


def test_renormalisation_across_frames():
    """600 samples with hop 100 from a new bank: renormalised after samples
    256 and 512, inside frames 2 and 5; the sample count ends at 600."""
    rng = np.random.default_rng(3000)
    freqs, alphas, betas = random_params(rng, 24, alpha_range=(0.3, 1.0))
    bank = Bank(freqs, 48000.0, alphas=alphas, betas=betas)
    model = BankModel(freqs, 48000.0, alphas, betas)
    unnormalised = BankModel(freqs, 48000.0, alphas, betas, renorm_period=None)
    signal = noise(rng, 600)
    got = bank.resonate(signal, 100)
    want = model.resonate(signal, 100)
    assert_same_complex(got, want)
    wrong = unnormalised.resonate(signal, 100)
    differs = [
        not np.array_equal(canonical_bits(want[k].view(F)), canonical_bits(wrong[k].view(F)))
        for k in range(6)
    ]
    assert differs[:3] == [False, False, True]  # the first effect shows in frame 2
    # Next renormalisation after 168 more samples (768), not after 256.
    more = noise(rng, 170)
    assert_same_complex(bank.resonate(more, 1), model.resonate(more, 1))


def test_ten_samples_with_hop_four():
    a, b = twins(seed=3100, n=5)
    signal = noise(np.random.default_rng(3101), 10)
    got = a.resonate(signal, 4)
    assert got.shape == (2, 5) and got.dtype == c64
    b.process_samples(signal[:4])
    assert_same_complex(got[0], complex_row(b))
    b.process_samples(signal[4:8])
    assert_same_complex(got[1], complex_row(b))
    # Samples 8 and 9 are not processed.
    assert_twins_agree(a, b)


@pytest.mark.parametrize(
    "length, hop",
    [
        (300, 300),
        (300, 299),
        (300, 301),
        (300, 2**64 - 1),
        (255, 256),
        (0, 1),
        (0, 64),
        (1, 2),
    ],
)
def test_hop_at_or_beyond_the_signal_length(length, hop):
    a, b = twins(seed=3200, n=9)
    signal = noise(np.random.default_rng(3201), length)
    got = a.resonate(signal, hop)
    frames = length // hop
    assert got.dtype == c64 and got.shape == (frames, 9)
    if frames:
        b.process_samples(signal[:hop])
        assert_same_complex(got[0], complex_row(b))
    # Otherwise nothing was processed, the sample count included.
    assert_twins_agree(a, b)


@pytest.mark.parametrize("hop", [1, 4, 2**64 - 1])
def test_empty_signals(hop):
    a, b = twins(seed=3300, n=9)
    for signal in (np.zeros(0, F), np.zeros(8, F)[::2][:0], np.zeros(8, F)[::-1][:0]):
        got = a.resonate(signal, hop)
        assert got.dtype == c64 and got.shape == (0, 9)
        assert got.flags.c_contiguous
    assert_twins_agree(a, b)


def test_consecutive_calls_continue_the_stream():
    rng = np.random.default_rng(3400)
    a, b = twins(seed=3401, n=23, history=10)
    first, second = noise(rng, 640), noise(rng, 300)
    got = np.concatenate([a.resonate(first, 64), a.resonate(second, 64)])
    want = b.resonate(np.concatenate([first, second]), 64)
    assert got.shape == want.shape == (14, 23)
    assert_same_complex(got, want)
    assert_twins_agree(a, b)


def test_samples_after_the_last_full_frame_are_lost():
    rng = np.random.default_rng(3500)
    a, b = twins(seed=3501, n=8)
    first, second = noise(rng, 650), noise(rng, 200)
    got = np.concatenate([a.resonate(first, 64), a.resonate(second, 64)])
    want = b.resonate(np.concatenate([first[:640], second]), 64)
    assert_same_complex(got, want)
    assert_twins_agree(a, b)


def test_nan_sample_poisons_its_frame_and_all_later_ones():
    rng = np.random.default_rng(3600)
    freqs, alphas, betas = random_params(rng, 9)
    bank = Bank(freqs, 48000.0, alphas=alphas, betas=betas)
    fresh = Bank(freqs, 48000.0, alphas=alphas, betas=betas)
    signal = noise(rng, 1000)
    signal[250] = np.nan
    got = bank.resonate(signal, 100)
    assert np.isfinite(got[:2].view(F)).all()
    assert np.isnan(got[2:].view(F)).all()
    assert np.isnan(bank.resonate(noise(rng, 300), 30).view(F)).all()
    assert bank.reset() is None
    clean = noise(rng, 500)
    assert_same_complex(bank.resonate(clean, 50), fresh.resonate(clean, 50))


def test_infinite_samples_match_the_model():
    rng = np.random.default_rng(3700)
    freqs, alphas, betas = random_params(rng, 9)
    bank = Bank(freqs, 48000.0, alphas=alphas, betas=betas)
    model = BankModel(freqs, 48000.0, alphas, betas)
    signal = noise(rng, 400)
    signal[[30, 31]] = [np.inf, -np.inf]
    assert_same_complex(bank.resonate(signal, 20), model.resonate(signal, 20))


@pytest.mark.parametrize("length, hop", [(1000, 64), (1000, 1), (10, 11), (0, 3), (256, 256)])
def test_bank_without_channels(length, hop):
    bank = Bank(np.zeros(0, F), 48000.0)
    got = bank.resonate(np.ones(length, F), hop)
    assert type(got) is np.ndarray
    assert got.dtype == c64 and got.shape == (length // hop, 0)
    assert bank.reset() is None and len(bank) == 0


@pytest.mark.parametrize(
    "signal",
    [
        np.ones(10, F),
        np.ones(3, F),
        np.zeros(0, F),
        np.zeros(8, F)[::2][:0],
    ],
)
@pytest.mark.parametrize("channels", [9, 0])
def test_hop_zero(signal, channels):
    if channels:
        a, b = twins(seed=3800)
    else:
        a = Bank(np.zeros(0, F), 48000.0)
    with pytest.raises(BaseException) as info:
        a.resonate(signal, 0)
    assert type(info.value) is panic_type()
    assert not isinstance(info.value, Exception)
    assert info.value.args == (DIVIDE_BY_ZERO,)
    if channels:
        assert_twins_agree(a, b)
    # Usable at once.
    assert a.resonate(np.ones(8, F), 4).shape == (2, channels)


def test_result_array():
    a, b = twins(seed=3900, n=7)
    signal = noise(np.random.default_rng(3901), 333)
    got = a.resonate(signal, 50)
    assert type(got) is np.ndarray
    assert got.dtype == c64 and got.shape == (6, 7) and got.ndim == 2
    assert got.flags.c_contiguous and got.flags.writeable and got.flags.aligned
    assert got.strides == (56, 8)
    assert not np.shares_memory(got, signal)
    # The base chain ends in the object that owns the buffer, not an array.
    base, hops = got.base, 0
    while isinstance(base, np.ndarray):
        assert not base.flags.owndata
        base, hops = base.base, hops + 1
    assert base is not None and hops >= 1
    assert got.base.size == 42
    want = blockwise(b, signal, 50)
    assert_same_complex(got, want)
    # Writing into the result changes neither the bank nor later results.
    got[:] = 99 + 7j
    assert_twins_agree(a, b)
    more = noise(np.random.default_rng(3902), 100)
    assert_same_complex(a.resonate(more, 25), b.resonate(more, 25))
    # Every call returns a new buffer.
    x = a.resonate(more, 25)
    y = b.resonate(more, 25)
    assert not np.shares_memory(x, y)


def test_keyword_and_index_like_arguments():
    a, b = twins(seed=4000, n=8)
    signal = noise(np.random.default_rng(4001), 64)
    ro = signal.copy()
    ro.setflags(write=False)
    got = np.concatenate(
        [
            a.resonate(signal=signal, hop=16),
            a.resonate(ro, np.int64(8)),
            a.resonate(signal[:3], True),
            a.resonate(hop=np.uint8(32), signal=signal),
        ]
    )
    want = np.concatenate(
        [
            blockwise(b, signal, 16),
            blockwise(b, signal, 8),
            blockwise(b, signal[:3], 1),
            blockwise(b, signal, 32),
        ]
    )
    assert_same_complex(got, want)
    assert_twins_agree(a, b)


def test_one_element_strided_view_is_accepted():
    a, b = twins(seed=4200)
    view = np.array([0.5, 9.0], F)[::2]
    assert view.size == 1
    assert_same_complex(a.resonate(view, 1), blockwise(b, np.array([0.5], F), 1))
    assert_twins_agree(a, b)

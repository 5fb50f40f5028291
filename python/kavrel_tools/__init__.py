"""kavrel_tools: what a user needs around a kavrel resonator bank.

- `kavrel_tools.frequencies`: piano keys, log-spaced grids, Hz <-> MIDI <-> note names;
- `kavrel_tools.audio`: arrays and sound files into the float32 samples a bank takes;
- `kavrel_tools.stream`: a streaming analyser (blocks of any size, frames at a fixed hop,
  bit for bit those of one `resonate`), settling times, and `analyse` for a whole signal;
- `kavrel_tools.results`: power, magnitude and dB, labelled spectrograms, their picture;
- `kavrel_tools.parallel`: one analysis split by channels over every core;
- `kavrel_tools.live`: the live analyser and tuner's core;
- `kavrel_tools.pitch`: f0 with voicing and confidence, offline and streaming;
- `kavrel_tools.chroma`: the 12 pitch classes, with the tuning estimated once;
- `kavrel_tools.onsets`: onset strength and onset times, offline and streaming;
- `kavrel_tools.corpus`: a folder of recordings into a Zarr store on a Dask cluster (the
  `corpus` extra; imported on its own, as `from kavrel_tools import corpus`).

The `kavrel` module itself is unchanged; this package only calls it.
"""

from .audio import as_signal, load
from .chroma import ChromaStream, chromagram, estimate_tuning
from .frequencies import (
    PIANO_KEYS,
    TUNING_HZ,
    below_nyquist,
    hz_to_midi,
    key_frequencies,
    log_frequencies,
    midi_to_hz,
    note_name,
    note_to_midi,
)
from .onsets import OnsetDetector, detect_onsets
from .parallel import parallel_resonate
from .pitch import PitchTrack, PitchTracker, track_pitch
from .results import Spectrogram, magnitude_db, power, power_db
from .stream import StreamAnalyser, analyse, settling_time

__all__ = [
    "PIANO_KEYS",
    "TUNING_HZ",
    "ChromaStream",
    "OnsetDetector",
    "PitchTrack",
    "PitchTracker",
    "Spectrogram",
    "StreamAnalyser",
    "analyse",
    "as_signal",
    "below_nyquist",
    "chromagram",
    "detect_onsets",
    "estimate_tuning",
    "hz_to_midi",
    "key_frequencies",
    "load",
    "log_frequencies",
    "magnitude_db",
    "midi_to_hz",
    "note_name",
    "note_to_midi",
    "parallel_resonate",
    "power",
    "power_db",
    "settling_time",
    "track_pitch",
]

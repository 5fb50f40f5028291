// The walk of a run through one tile of channels, shared by every kernel:
// where the next stop is (the end of the run, a renormalisation point or the
// end of a frame), what happens there, and how the frame sink moves on after
// the run. Internal to the engine.
//
// Everything here is in an unnamed namespace, so every kernel's object gets a
// copy of its own with internal linkage. The vector kernels are compiled for
// instructions that not every processor has: an inline function or template
// instance with external linkage emitted by their objects could be the one
// copy the linker keeps for every caller, and then run on a processor without
// those instructions (.ci/engine checks that their objects define no weak
// symbol).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernel.hpp"

namespace kavrel::kernel {

namespace {

// How many of the `width` lanes of a group starting at channel k hold a
// channel: all of them, except in the last group of a bank of n channels
// whose size is not a multiple of `width`.
constexpr std::size_t lanes_in_group(std::size_t k, std::size_t n, std::size_t width) noexcept {
    return n - k < width ? n - k : width;
}

// Runs samples xs[0 .. len) through one tile. The tile provides
//   step(const float* x)   one sample, read at x, through all of its lanes;
//   renormalize()          scales its phasors back to unit magnitude;
//   record(Complex32* row) writes its second stages into a frame row, at the
//                          position of its first channel.
// `count` is the bank's sample count before the run; `frames` is the caller's
// sink, copied, since every tile records into the same frames.
template <class Tile>
void run_segments(Tile& tile, const float* xs, std::size_t len, std::uint64_t count,
                  FrameSink frames) noexcept {
    std::size_t t = 0;
    while (t < len) {
        // The next stop: the end of the run, the next renormalisation point or
        // the end of the current frame, whichever comes first.
        std::uint64_t seg = len - t;
        const std::uint64_t to_renorm = renorm_period - (count + t) % renorm_period;
        if (to_renorm < seg) seg = to_renorm;
        if (frames.row != nullptr && frames.hop - frames.filled < seg)
            seg = frames.hop - frames.filled;
        const std::size_t stop = t + static_cast<std::size_t>(seg);
        for (; t < stop; ++t) tile.step(xs + t);
        if ((count + t) % renorm_period == 0) tile.renormalize();
        if (frames.row != nullptr) {
            frames.filled += seg;
            if (frames.filled == frames.hop) {
                tile.record(frames.row);
                frames.row += frames.stride;
                frames.filled = 0;
            }
        }
    }
}

// After every tile has run `len` samples: moves the caller's sink past the
// frames they completed, and keeps the count of samples in the frame begun.
inline void advance_frames(FrameSink* frames, std::size_t len) noexcept {
    if (frames == nullptr) return;
    const std::uint64_t total = frames->filled + len;
    frames->row += static_cast<std::size_t>(total / frames->hop) * frames->stride;
    frames->filled = total % frames->hop;
}

}  // namespace

}  // namespace kavrel::kernel

// Synthesises three notes, one after another, runs a bank of one channel per
// semitone over them and prints the strongest channel of every frame.
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <vector>

#include <kavrel/bank.hpp>
#include <kavrel/params.hpp>

int main() {
    const float sample_rate = 44100.0f;
    const std::size_t note_len = 22050;  // half a second each
    const int notes[] = {69, 72, 76};    // A4, C5, E5

    std::vector<float> signal;
    for (int midi : notes) {
        const double hz = kavrel::midi_to_hz(static_cast<float>(midi), 440.0f);
        for (std::size_t t = 0; t < note_len; ++t)
            signal.push_back(static_cast<float>(
                0.5 * std::sin(2.0 * M_PI * hz * static_cast<double>(t) / sample_rate)));
    }

    // One channel per semitone from C4 to C6, with the default smoothing factors.
    std::vector<kavrel::ChannelConfig> channels;
    for (int midi = 60; midi <= 84; ++midi) {
        const float hz = kavrel::midi_to_hz(static_cast<float>(midi), 440.0f);
        const float alpha = kavrel::heuristic_alpha(hz, sample_rate);
        channels.push_back({hz, alpha, alpha});
    }
    kavrel::ResonatorBank bank(channels, sample_rate);

    const std::size_t hop = 2205;  // 50 ms
    const kavrel::ComplexFrames frames = bank.resonate(signal.data(), signal.size(), hop);
    std::printf("frame  time_s  midi  freq_hz\n");
    for (std::size_t f = 0; f < frames.frames; ++f) {
        std::size_t best = 0;
        float best_power = -1.0f;
        for (std::size_t k = 0; k < frames.channels; ++k) {
            const kavrel::Complex32 v = frames.values[f * frames.channels + k];
            const float power = v.re * v.re + v.im * v.im;
            if (power > best_power) {
                best_power = power;
                best = k;
            }
        }
        std::printf("%5zu  %6.2f  %4d  %7.2f\n", f,
                    static_cast<double>((f + 1) * hop) / sample_rate, 60 + static_cast<int>(best),
                    static_cast<double>(channels[best].freq));
    }
}

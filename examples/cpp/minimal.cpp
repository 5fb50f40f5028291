#include <cmath>
#include <cstdio>
#include <vector>

#include <kavrel/bank.hpp>
#include <kavrel/params.hpp>

int main() {
    const float rate = 44100.0f;
    std::vector<kavrel::ChannelConfig> channels;
    for (float hz : {220.0f, 440.0f, 880.0f}) {
        const float alpha = kavrel::heuristic_alpha(hz, rate);
        channels.push_back({hz, alpha, alpha});
    }
    kavrel::ResonatorBank bank(channels, rate);

    std::vector<float> tone(44100);  // one second of a 440 Hz cosine, amplitude 0.5
    for (std::size_t t = 0; t < tone.size(); ++t)
        tone[t] = 0.5f * std::cos(6.2831855f * 440.0f * static_cast<float>(t) / rate);
    bank.process_samples(tone.data(), tone.size());

    for (std::size_t k = 0; k < bank.n_channels(); ++k)
        std::printf("%g Hz: magnitude %.3f\n", bank.freq(k), bank.magnitude(k));
}

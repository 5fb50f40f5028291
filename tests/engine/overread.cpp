// A deliberate fault for the sanitizer job: process_samples told that a heap
// buffer of 64 samples holds 65. Built and run only by .ci/sanitize, which
// fails unless AddressSanitizer reports the read past the end from inside the
// kernel: proof that the sanitizer build sees the kernel's reads of caller
// memory.
#include <cstdio>
#include <memory>
#include <vector>

#include "kavrel/bank.hpp"

int main() {
    const std::vector<kavrel::ChannelConfig> cfg = {
        {440.0f, 0.1f, 0.1f}, {880.0f, 0.1f, 0.1f}, {1760.0f, 0.1f, 0.1f}};
    kavrel::ResonatorBank bank(cfg, 44100.0f);
    const std::unique_ptr<float[]> samples(new float[64]());
    bank.process_samples(samples.get(), 65);
    std::printf("no report: the read past the end went unseen (power %g)\n",
                static_cast<double>(bank.power(0)));
    return 0;
}

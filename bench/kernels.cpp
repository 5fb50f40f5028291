// Times the engine's kernels against each other in one run: the AVX2
// intrinsics kernel, the portable kernel as the engine builds it (baseline
// x86-64, the fallback for processors without AVX2), and the same portable
// source compiled for AVX2 and FMA, which shows what a compiler makes of it
// for this machine. Prints nanoseconds per channel-sample and the ratio of
// each kernel's time to the AVX2 kernel's. Built with -DKAVREL_BUILD_BENCH=ON;
// run it through bench/kernels.py.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kernel.hpp"

#ifdef KAVREL_AVX2_KERNEL
// kernel_portable.cpp compiled a second time, with -mavx2 -mfma, under this name.
namespace kavrel::kernel::portable_avx2 {
void run_tiled(const Channels& c, const float* xs, std::size_t len, std::uint64_t count,
               FrameSink* frames) noexcept;
}
#endif

namespace {

using kavrel::kernel::Channels;
using kavrel::kernel::RunTiled;

// A bank's state as the kernels see it, with its own storage.
struct State {
    std::vector<float> f[10];
    Channels c{};

    State(std::size_t n, std::mt19937& rng) {
        std::uniform_real_distribution<float> angle(0.0f, 3.0f), factor(0.0005f, 0.05f);
        for (auto& v : f) v.assign(n, 0.0f);
        for (std::size_t k = 0; k < n; ++k) {
            const float w = angle(rng);
            f[0][k] = factor(rng);
            f[1][k] = factor(rng);
            f[2][k] = std::cos(w);
            f[3][k] = std::sin(w);
            f[4][k] = 1.0f;
        }
        c = {f[0].data(),
             f[1].data(),
             f[2].data(),
             f[3].data(),
             f[4].data(),
             f[5].data(),
             f[6].data(),
             f[7].data(),
             f[8].data(),
             f[9].data(),
             n};
    }
};

struct Kernel {
    const char* name;
    RunTiled run;
};

// Seconds per channel-sample: the best of `rounds` timings of enough 2048-sample
// blocks to take about `budget` seconds each.
double time_kernel(const Kernel& k, State& s, const std::vector<float>& xs, int rounds,
                   double budget) {
    using clock = std::chrono::steady_clock;
    const double per_block = static_cast<double>(xs.size()) * static_cast<double>(s.c.n);
    std::uint64_t count = 0;
    k.run(s.c, xs.data(), xs.size(), count, nullptr);  // warm up
    count += xs.size();
    std::size_t blocks = 1;
    for (;;) {
        const auto t0 = clock::now();
        for (std::size_t b = 0; b < blocks; ++b, count += xs.size())
            k.run(s.c, xs.data(), xs.size(), count, nullptr);
        const double dt = std::chrono::duration<double>(clock::now() - t0).count();
        if (dt >= budget / 4 || blocks > (std::size_t{1} << 24)) {
            blocks = std::max<std::size_t>(1, static_cast<std::size_t>(blocks * budget / dt));
            break;
        }
        blocks *= 2;
    }
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = clock::now();
        for (std::size_t b = 0; b < blocks; ++b, count += xs.size())
            k.run(s.c, xs.data(), xs.size(), count, nullptr);
        const double dt = std::chrono::duration<double>(clock::now() - t0).count();
        best = std::min(best, dt / (static_cast<double>(blocks) * per_block));
    }
    return best;
}

// Every kernel run from one state over one signal leaves the same bits.
bool same_bits(const std::vector<Kernel>& kernels, std::size_t n, const std::vector<float>& xs) {
    std::vector<std::vector<float>> ends;
    for (const Kernel& k : kernels) {
        std::mt19937 rng(7);
        State s(n, rng);
        for (std::uint64_t count = 0; count < 4 * xs.size(); count += xs.size())
            k.run(s.c, xs.data(), xs.size(), count, nullptr);
        std::vector<float> end;
        for (std::size_t i = 4; i < 10; ++i) end.insert(end.end(), s.f[i].begin(), s.f[i].end());
        ends.push_back(end);
    }
    for (const auto& e : ends)
        if (std::memcmp(e.data(), ends[0].data(), e.size() * sizeof(float)) != 0) return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int rounds = quick ? 3 : 7;
    const double budget = quick ? 0.02 : 0.1;

    std::vector<Kernel> kernels;
    const kavrel::kernel::Implementation* avx2 = kavrel::kernel::find(kavrel::KernelKind::avx2);
    if (avx2 != nullptr) kernels.push_back({"avx2 intrinsics", avx2->run_tiled});
#ifdef KAVREL_AVX2_KERNEL
    if (avx2 != nullptr)
        kernels.push_back({"portable, -mavx2 -mfma", kavrel::kernel::portable_avx2::run_tiled});
#endif
    kernels.push_back({"portable, as built", kavrel::kernel::portable::run_tiled});

    std::mt19937 rng(20261208);
    std::normal_distribution<float> noise(0.0f, 0.5f);
    std::vector<float> xs(2048);
    for (float& x : xs) x = noise(rng);

    std::printf("%-8s", "channels");
    for (const Kernel& k : kernels) std::printf("  %24s", k.name);
    std::printf("  (ns per channel-sample; ratio to the first kernel)\n");
    bool all_same = true;
    for (std::size_t n : {16, 64, 256, 1024, 4096}) {
        all_same = all_same && same_bits(kernels, n, xs);
        std::vector<double> t;
        for (const Kernel& k : kernels) {
            State s(n, rng);
            t.push_back(time_kernel(k, s, xs, rounds, budget));
        }
        std::printf("%-8zu", n);
        for (double v : t) {
            const std::string cell = std::to_string(v * 1e9).substr(0, 6) + " (" +
                                     std::to_string(v / t[0]).substr(0, 5) + ")";
            std::printf("  %24s", cell.c_str());
        }
        std::printf("\n");
    }
    std::printf("kernels give the same bits: %s\n", all_same ? "yes" : "NO");
    return all_same ? 0 : 1;
}

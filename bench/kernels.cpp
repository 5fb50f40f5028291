// Times the engine's kernels against each other and against the bound of the
// processor, in one run. Run it through bench/kernels.py, which builds it
// (-DKAVREL_BUILD_BENCH=ON) and explains its output.
//
// The kernels: the AVX-512 and AVX2 intrinsics kernels, the portable kernel's
// source compiled for AVX-512 and for AVX2 and FMA (copies only this program
// contains), and the portable kernel as the engine builds it (baseline x86-64,
// each fused multiply-add a call of the C library's fmaf). The bound: one
// core's fused multiply-add throughput of each vector width, measured by
// independent chains (fma_probe.cpp); a kernel issues 13 multiply-class
// operations per channel-sample, so a width's bound is its lanes per second
// / 13. Timings of the kernels are interleaved round by round and the best of
// each kept, so that a machine shared with other work spoils all alike.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kavrel/bank.hpp"
#include "kavrel/processor.hpp"
#include "kernel.hpp"

#ifdef KAVREL_X86_KERNELS
// kernel_portable.cpp compiled again for AVX2 and FMA and for AVX-512, under these names.
namespace kavrel::kernel::portable_avx2 {
void run_tiled(const Channels& c, const float* xs, std::size_t len, std::uint64_t count,
               FrameSink* frames) noexcept;
}
namespace kavrel::kernel::portable_avx512 {
void run_tiled(const Channels& c, const float* xs, std::size_t len, std::uint64_t count,
               FrameSink* frames) noexcept;
}
// fma_probe.cpp compiled for each width.
namespace kavrel_bench {
double fma_lanes_per_second_256(std::uint64_t iterations, float& sink);
double fma_lanes_per_second_512(std::uint64_t iterations, float& sink);
}  // namespace kavrel_bench
#endif

namespace {

using clock_type = std::chrono::steady_clock;
using kavrel::KernelKind;
using kavrel::kernel::Channels;
using kavrel::kernel::RunTiled;

// Multiply-class vector operations (multiplies and fused multiply-adds) per
// channel-sample of the recurrence.
constexpr double ops_per_channel_sample = 13.0;

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
    int width;  // bits of its vectors, 0 for the baseline build
};

template <class F>
double seconds_of(F&& f, std::size_t reps) {
    const auto t0 = clock_type::now();
    for (std::size_t r = 0; r < reps; ++r) f();
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// How many repetitions of f take about `budget` seconds.
template <class F>
std::size_t calibrate(F&& f, double budget) {
    f();  // warm up
    std::size_t reps = 1;
    for (;;) {
        const double dt = seconds_of(f, reps);
        if (dt >= budget / 4 || reps > (std::size_t{1} << 24))
            return std::max<std::size_t>(1, static_cast<std::size_t>(reps * budget / dt));
        reps *= 2;
    }
}

// Times every function of `fs` (each doing `units` channel-samples per call)
// in `rounds` interleaved rounds; returns the best seconds per channel-sample.
template <class F>
std::vector<double> interleaved(std::vector<F>& fs, double units, int rounds, double budget) {
    std::vector<std::size_t> reps;
    for (auto& f : fs) reps.push_back(calibrate(f, budget));
    std::vector<double> best(fs.size(), 1e30);
    for (int r = 0; r < rounds; ++r)
        for (std::size_t i = 0; i < fs.size(); ++i)
            best[i] = std::min(best[i], seconds_of(fs[i], reps[i]) / (reps[i] * units));
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

std::string fixed(double v, int decimals) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    // Many short timings: on a busy machine some of them run undisturbed.
    const int rounds = quick ? 15 : 60;
    const double budget = quick ? 0.002 : 0.003;
    const kavrel::KernelKind picked = kavrel::active_kernel();

    const kavrel::kernel::Implementation* avx512 = kavrel::kernel::find(KernelKind::avx512);
    const kavrel::kernel::Implementation* avx2 = kavrel::kernel::find(KernelKind::avx2);
    std::vector<Kernel> kernels;
    if (avx512 != nullptr) kernels.push_back({"avx512 intrinsics", avx512->run_tiled, 512});
    if (avx2 != nullptr) kernels.push_back({"avx2 intrinsics", avx2->run_tiled, 256});
#ifdef KAVREL_X86_KERNELS
    if (avx512 != nullptr)
        kernels.push_back({"portable for avx512", kavrel::kernel::portable_avx512::run_tiled, 512});
    if (avx2 != nullptr)
        kernels.push_back({"portable for avx2", kavrel::kernel::portable_avx2::run_tiled, 256});
#endif
    kernels.push_back({"portable as built", kavrel::kernel::portable::run_tiled, 0});

    std::printf("kernel picked at import on this processor: %s\n", kavrel::kernel_name(picked));
    std::printf("kernels this processor runs: %s%sportable\n\n",
                avx512 != nullptr ? "avx512, " : "", avx2 != nullptr ? "avx2, " : "");

    // The bound of each width, in channel-samples per second.
    double bound256 = 0.0, bound512 = 0.0;
#ifdef KAVREL_X86_KERNELS
    {
        float sink = 0.0f;
        const std::uint64_t iters = 500'000;
        double lanes256 = 0.0, lanes512 = 0.0;
        for (int r = 0; r < rounds; ++r) {
            if (avx2 != nullptr)
                lanes256 = std::max(lanes256, kavrel_bench::fma_lanes_per_second_256(iters, sink));
            if (avx512 != nullptr)
                lanes512 = std::max(lanes512, kavrel_bench::fma_lanes_per_second_512(iters, sink));
        }
        bound256 = lanes256 / ops_per_channel_sample;
        bound512 = lanes512 / ops_per_channel_sample;
        std::printf("fused multiply-add chains, one core: 256-bit %s G lanes/s",
                    fixed(lanes256 / 1e9, 1).c_str());
        if (avx512 != nullptr)
            std::printf(", 512-bit %s G lanes/s (%sx the 256-bit rate)",
                        fixed(lanes512 / 1e9, 1).c_str(), fixed(lanes512 / lanes256, 2).c_str());
        std::printf("%s\n", sink == 12345.0f ? " " : "");
        std::printf(
            "bound of a width = its lanes/s / 13 multiply-class operations per channel-sample:"
            "\n  256-bit %s G channel-samples/s",
            fixed(bound256 / 1e9, 2).c_str());
        if (avx512 != nullptr) std::printf(", 512-bit %s", fixed(bound512 / 1e9, 2).c_str());
        std::printf("\n\n");
    }
#endif
    const double best_bound = std::max(bound256, bound512);

    std::mt19937 rng(20261208);
    std::normal_distribution<float> noise(0.0f, 0.5f);
    std::vector<float> xs(2048);
    for (float& x : xs) x = noise(rng);

    // 1. The kernels alone: runs of 2048 samples, no frames recorded.
    std::printf("1. Kernels alone: G channel-samples/s (share of the bound of the kernel's own "
                "width / of the machine's best bound)\n");
    std::printf("%-8s", "channels");
    for (const Kernel& k : kernels) std::printf("  %22s", k.name);
    std::printf("\n");
    bool all_same = true;
    std::vector<std::vector<double>> table;
    const std::size_t sizes[] = {16, 64, 256, 1024, 4096};
    for (std::size_t n : sizes) {
        all_same = all_same && same_bits(kernels, n, xs);
        std::vector<State> states;
        for (std::size_t i = 0; i < kernels.size(); ++i) states.emplace_back(n, rng);
        std::vector<std::uint64_t> counts(kernels.size(), 0);
        std::vector<std::function<void()>> fs;
        for (std::size_t i = 0; i < kernels.size(); ++i)
            fs.push_back([&, i] {
                kernels[i].run(states[i].c, xs.data(), xs.size(), counts[i], nullptr);
                counts[i] += xs.size();
            });
        const double units = static_cast<double>(xs.size()) * static_cast<double>(n);
        const std::vector<double> t = interleaved(fs, units, rounds, budget);
        table.push_back(t);
        std::printf("%-8zu", n);
        for (std::size_t i = 0; i < kernels.size(); ++i) {
            const double rate = 1.0 / t[i];
            const double own = kernels[i].width == 512 ? bound512 : bound256;
            std::string cell = fixed(rate / 1e9, 2);
            if (kernels[i].width != 0 && own > 0.0)
                cell += " (" + fixed(rate / own, 2) + "/" + fixed(rate / best_bound, 2) + ")";
            std::printf("  %22s", cell.c_str());
        }
        std::printf("\n");
    }
    std::printf("kernels give the same bits: %s\n\n", all_same ? "yes" : "NO");

    // Ratios of time between pairs that exist here.
    auto index = [&](const char* name) -> int {
        for (std::size_t i = 0; i < kernels.size(); ++i)
            if (std::strcmp(kernels[i].name, name) == 0) return static_cast<int>(i);
        return -1;
    };
    const int i512 = index("avx512 intrinsics"), i256 = index("avx2 intrinsics");
    const int p512 = index("portable for avx512"), p256 = index("portable for avx2");
    if (i256 >= 0) {
        std::printf("2. Time ratios of the kernels alone (above 1: the first is slower)\n");
        std::printf("%-8s", "channels");
        if (i512 >= 0) std::printf("  %26s", "avx2 / avx512 intrinsics");
        std::printf("  %26s", "portable / intrinsics avx2");
        if (p512 >= 0) std::printf("  %28s", "portable / intrinsics avx512");
        std::printf("\n");
        for (std::size_t r = 0; r < table.size(); ++r) {
            const auto& t = table[r];
            std::printf("%-8zu", sizes[r]);
            if (i512 >= 0) std::printf("  %26s", fixed(t[i256] / t[i512], 3).c_str());
            std::printf("  %26s", fixed(t[p256] / t[i256], 3).c_str());
            if (p512 >= 0) std::printf("  %28s", fixed(t[p512] / t[i512], 3).c_str());
            std::printf("\n");
        }
        std::printf("\n");
    }

    // 3. Through the bank, as Python calls it: process_samples and resonate,
    // each vector kernel in turn made the engine's kernel.
    if (avx2 != nullptr && avx512 != nullptr) {
        std::printf("3. Through the bank (2048-sample blocks): time of the avx2 kernel / time of "
                    "the avx512 kernel\n");
        std::printf("%-8s  %16s  %16s  %16s\n", "channels", "process_samples", "resonate hop 64",
                    "resonate hop 1024");
        const kavrel::kernel::Implementation* impls[] = {avx2, avx512};
        for (std::size_t n : {256, 1024, 4096}) {
            std::vector<kavrel::ChannelConfig> cfg(n);
            std::uniform_real_distribution<float> freq(27.5f, 8000.0f);
            for (auto& c : cfg) c = {freq(rng), 0.01f, 0.01f};
            std::vector<kavrel::ResonatorBank> banks;
            for (int i = 0; i < 2; ++i) banks.emplace_back(cfg, 44100.0f);
            std::printf("%-8zu", n);
            for (std::uint64_t hop : {std::uint64_t{0}, std::uint64_t{64}, std::uint64_t{1024}}) {
                std::vector<std::function<void()>> fs;
                for (int i = 0; i < 2; ++i)
                    fs.push_back([&, i, hop] {
                        kavrel::kernel::use(*impls[i]);
                        if (hop == 0)
                            banks[i].process_samples(xs.data(), xs.size());
                        else
                            (void)banks[i].resonate(xs.data(), xs.size(), hop);
                    });
                const double units = static_cast<double>(xs.size()) * static_cast<double>(n);
                const std::vector<double> t = interleaved(fs, units, rounds, budget);
                std::printf("  %16s", fixed(t[0] / t[1], 3).c_str());
            }
            std::printf("\n");
        }
        kavrel::kernel::use(*kavrel::kernel::find(picked));
        std::printf("\n");
    }
    return all_same ? 0 : 1;
}

// Engine tests in plain C++: every kernel this build and processor can run
// against the oracle (the plain scalar statement of the arithmetic), bit for bit, over channel
// counts that exercise every tile and tail shape, block lengths that cross the renormalisation
// points, and awkward values (NaN, infinities, subnormals); failures that leave the bank as it was.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "bank_access.hpp"
#include "kavrel/bank.hpp"
#include "kavrel/panic.hpp"
#include "kavrel/params.hpp"
#include "kavrel/processor.hpp"
#include "oracle.hpp"

// Under AddressSanitizer, let a request too large for memory fail the way it
// does in an ordinary build (null from the allocator) instead of ending the run.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

using kavrel::detail::BankAccess;

int failures = 0;

#define EXPECT(cond, ...)                                                                          \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            ++failures;                                                                            \
            std::fprintf(stderr, "FAILED %s:%d: ", __FILE__, __LINE__);                            \
            std::fprintf(stderr, __VA_ARGS__);                                                     \
            std::fputc('\n', stderr);                                                              \
        }                                                                                          \
    } while (0)

bool same_bits(const float* a, const float* b, std::size_t n) {
    return n == 0 || std::memcmp(a, b, n * sizeof(float)) == 0;
}

bool same_state(kavrel::ResonatorBank& a, kavrel::ResonatorBank& b) {
    const kavrel::kernel::Channels x = BankAccess::channels(a), y = BankAccess::channels(b);
    const std::size_t n = a.n_channels();
    return a.sample_count() == b.sample_count() && same_bits(x.phasor_re, y.phasor_re, n) &&
           same_bits(x.phasor_im, y.phasor_im, n) && same_bits(x.stage1_re, y.stage1_re, n) &&
           same_bits(x.stage1_im, y.stage1_im, n) && same_bits(x.stage2_re, y.stage2_re, n) &&
           same_bits(x.stage2_im, y.stage2_im, n);
}

// The oracle's block step on a bank.
void oracle_samples(kavrel::ResonatorBank& bank, const float* xs, std::size_t len) {
    kavrel::oracle::process_samples(BankAccess::channels(bank), BankAccess::sample_count(bank), xs,
                                    len);
}

std::vector<kavrel::ChannelConfig> random_configs(std::size_t n, std::mt19937& rng) {
    std::uniform_real_distribution<float> freq(0.0f, 22050.0f), factor(0.0f, 1.0f);
    std::vector<kavrel::ChannelConfig> c(n);
    for (auto& cfg : c) cfg = {freq(rng), factor(rng), factor(rng)};
    return c;
}

std::vector<float> random_signal(std::size_t len, std::mt19937& rng) {
    std::normal_distribution<float> noise(0.0f, 0.5f);
    std::vector<float> xs(len);
    for (float& x : xs) x = noise(rng);
    return xs;
}

// The magnitude readout of the kernel in use equals the per-channel one.
bool magnitudes_agree(kavrel::ResonatorBank& bank) {
    const kavrel::FloatBuffer all = bank.magnitudes();
    for (std::size_t i = 0; i < bank.n_channels(); ++i) {
        const float one = bank.magnitude(i);
        if (std::memcmp(&one, &all[i], 4) != 0) return false;
    }
    return true;
}

// Kernel and oracle fed the same blocks stay bit-identical.
void kernels_agree(std::mt19937& rng) {
    const std::size_t counts[] = {1,  2,  7,  8,  9,  15, 16, 17, 23, 24,  25,  31,
                                  32, 33, 40, 47, 48, 49, 63, 64, 65, 100, 257, 1000};
    const std::size_t blocks[] = {1, 3, 255, 1, 256, 600, 168, 513, 64, 1000};
    for (std::size_t n : counts) {
        const auto cfg = random_configs(n, rng);
        kavrel::ResonatorBank fast(cfg, 44100.0f), ref(cfg, 44100.0f);
        for (std::size_t len : blocks) {
            const auto xs = random_signal(len, rng);
            fast.process_samples(xs.data(), xs.size());
            oracle_samples(ref, xs.data(), xs.size());
            EXPECT(same_state(fast, ref), "n=%zu after a block of %zu", n, len);
        }
        EXPECT(magnitudes_agree(fast), "magnitudes of n=%zu", n);
    }
}

// Per-sample calls, one block and any split give the same state.
void splits_agree(std::mt19937& rng) {
    const auto cfg = random_configs(37, rng);
    const auto xs = random_signal(1500, rng);
    kavrel::ResonatorBank whole(cfg, 48000.0f), single(cfg, 48000.0f), pieces(cfg, 48000.0f);
    whole.process_samples(xs.data(), xs.size());
    for (float x : xs) single.process_sample(x);
    std::uniform_int_distribution<std::size_t> cut(0, 300);
    for (std::size_t at = 0; at < xs.size();) {
        const std::size_t len = std::min(cut(rng), xs.size() - at);
        pieces.process_samples(xs.data() + at, len);
        at += len;
    }
    EXPECT(same_state(whole, single), "block vs per-sample");
    EXPECT(same_state(whole, pieces), "block vs random pieces");
}

// Non-finite and subnormal parameters and samples flow through both kernels alike.
void awkward_values_agree() {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float tiny = std::numeric_limits<float>::denorm_min();
    std::vector<kavrel::ChannelConfig> cfg = {
        {440.0f, 0.5f, 0.5f},    {0.0f, 1.0f, 1.0f},  {-100.0f, 2.0f, -1.0f},  {inf, 0.1f, 0.1f},
        {nan, 0.1f, 0.1f},       {1e30f, tiny, tiny}, {22050.0f, nan, 0.3f},   {5.0f, 0.3f, inf},
        {1000.0f, 1e-7f, 1e-7f}, {3.0f, 0.0f, 0.0f},  {44100.0f, 0.9f, 0.01f},
    };
    for (float rate : {44100.0f, 0.0f, -8000.0f}) {
        kavrel::ResonatorBank fast(cfg, rate), ref(cfg, rate);
        std::vector<float> xs = {1.0f, tiny, -tiny, 1e38f, -1e38f, 0.0f, -0.0f};
        xs.resize(700, 0.25f);
        xs[400] = nan;
        xs[500] = inf;
        fast.process_samples(xs.data(), xs.size());
        oracle_samples(ref, xs.data(), xs.size());
        EXPECT(same_state(fast, ref), "awkward values at sample rate %g",
               static_cast<double>(rate));
    }
}

// resonate records the channel values after each hop of the block step.
void resonate_matches_blocks(std::mt19937& rng) {
    for (std::size_t n : {1, 9, 24, 33, 50}) {
        for (std::uint64_t hop : {1, 7, 64, 100, 300}) {
            const auto cfg = random_configs(n, rng);
            const auto xs = random_signal(1000, rng);
            kavrel::ResonatorBank a(cfg, 44100.0f), b(cfg, 44100.0f);
            const kavrel::ComplexFrames frames = a.resonate(xs.data(), xs.size(), hop);
            EXPECT(frames.frames == xs.size() / hop && frames.channels == n, "frame shape");
            bool ok = true;
            for (std::size_t k = 0; k < frames.frames; ++k) {
                oracle_samples(b, xs.data() + k * hop, hop);
                for (std::size_t i = 0; i < n; ++i) {
                    const kavrel::Complex32 v = frames.values[k * n + i];
                    const kavrel::kernel::Channels c = BankAccess::channels(b);
                    ok = ok && std::memcmp(&v.re, c.stage2_re + i, 4) == 0 &&
                         std::memcmp(&v.im, c.stage2_im + i, 4) == 0;
                }
            }
            EXPECT(ok && same_state(a, b), "resonate n=%zu hop=%llu", n,
                   static_cast<unsigned long long>(hop));
        }
    }
}

void failures_leave_state() {
    const std::vector<kavrel::ChannelConfig> cfg = {{440.0f, 0.5f, 0.5f}};
    kavrel::ResonatorBank bank(cfg, 44100.0f);
    const float xs[3] = {1.0f, 2.0f, 3.0f};
    bank.process_samples(xs, 3);
    bool thrown = false;
    try {
        (void)bank.resonate(xs, 3, 0);
    } catch (const kavrel::Panic& p) {
        // Relative to the repository root; compilers for Windows separate the
        // parts after the prefix map with '\\', which failure reports turn to '/'.
        std::string file = p.where().file_name();
        std::replace(file.begin(), file.end(), '\\', '/');
        thrown = p.message() == "attempt to divide by zero" && file.rfind("engine/src/", 0) == 0;
    }
    EXPECT(thrown && bank.sample_count() == 3, "hop 0 panics from the engine and changes nothing");
    thrown = false;
    try {
        (void)bank.power(1);
    } catch (const kavrel::Panic& p) {
        thrown = p.message() == "index out of bounds: the len is 1 but the index is 1";
    }
    EXPECT(thrown, "index check");
}

// A request too large for memory, or whose size overflows, throws an
// AllocationError (catchable as std::bad_alloc) and leaves the bank as it was.
void allocation_failures_leave_state(std::mt19937& rng) {
    const auto cfg = random_configs(2, rng);
    const auto xs = random_signal(300, rng);
    kavrel::ResonatorBank bank(cfg, 44100.0f), twin(cfg, 44100.0f);
    bank.process_samples(xs.data(), xs.size());
    twin.process_samples(xs.data(), xs.size());
    // Neither length is read from: the frames are allocated before any sample is.
    const struct {
        std::size_t len;
        std::size_t bytes;
    } cases[] = {{std::size_t{1} << 56, std::size_t{1} << 60}, {SIZE_MAX, SIZE_MAX}};
    for (const auto& c : cases) {
        std::size_t bytes = 0;
        std::string what;
        try {
            (void)bank.resonate(xs.data(), c.len, 1);
        } catch (const std::bad_alloc& e) {
            const auto* err = dynamic_cast<const kavrel::AllocationError*>(&e);
            bytes = err != nullptr ? err->bytes() : 0;
            what = e.what();
        }
        EXPECT(bytes == c.bytes &&
                   what == "memory allocation of " + std::to_string(c.bytes) + " bytes failed",
               "resonate of %zu samples: %zu bytes, \"%s\"", c.len, bytes, what.c_str());
        EXPECT(same_state(bank, twin), "state after a failed resonate of %zu samples", c.len);
    }
    bank.process_samples(xs.data(), xs.size());
    twin.process_samples(xs.data(), xs.size());
    EXPECT(same_state(bank, twin), "a failed resonate leaves the bank usable");
    bool thrown = false;
    try {
        kavrel::Buffer<kavrel::Complex32> too_long(SIZE_MAX / 4);
    } catch (const kavrel::AllocationError& e) {
        thrown = e.bytes() == SIZE_MAX;
    }
    EXPECT(thrown, "a buffer whose size overflows");
}

// Every call on `bank`, which must hold no channels, gives what it gives on a
// default-constructed bank: samples only advance the count, frames have no
// channels, every channel index panics, readouts are empty.
void behaves_as_empty(kavrel::ResonatorBank& bank, const char* what) {
    kavrel::ResonatorBank empty;
    const float xs[7] = {1.0f, -2.0f, 3.0f, 0.5f, 0.25f, 8.0f, -1.0f};
    for (kavrel::ResonatorBank* b : {&bank, &empty}) {
        b->process_sample(2.0f);
        b->process_samples(xs, 7);
    }
    EXPECT(bank.n_channels() == 0 && bank.sample_count() == 8 && empty.sample_count() == 8,
           "%s: %zu channels, count %llu", what, bank.n_channels(),
           static_cast<unsigned long long>(bank.sample_count()));
    const kavrel::ComplexFrames frames = bank.resonate(xs, 7, 3);
    EXPECT(frames.frames == 2 && frames.channels == 0 && frames.values.size() == 0 &&
               bank.sample_count() == 14,
           "%s: resonate gives %zu frames of %zu channels", what, frames.frames, frames.channels);
    EXPECT(bank.frequencies().size() == 0 && bank.phases().size() == 0 &&
               bank.powers().size() == 0 && bank.magnitudes().size() == 0,
           "%s: empty readouts", what);
    int panics = 0;
    for (auto read : {&kavrel::ResonatorBank::freq, &kavrel::ResonatorBank::phase,
                      &kavrel::ResonatorBank::power, &kavrel::ResonatorBank::magnitude}) {
        try {
            (void)(bank.*read)(0);
        } catch (const kavrel::Panic& p) {
            panics += p.message() == "index out of bounds: the len is 0 but the index is 0";
        }
    }
    try {
        (void)bank.complex(0);
    } catch (const kavrel::Panic& p) {
        panics += p.message() == "index out of bounds: the len is 0 but the index is 0";
    }
    EXPECT(panics == 5, "%s: %d of 5 readouts of channel 0 panic", what, panics);
    bank.reset();
    EXPECT(bank.sample_count() == 0, "%s: reset", what);
}

// A bank moved from, by construction or assignment, is a valid bank of no
// channels; the bank moved to carries on exactly where the source was.
void moved_from_is_empty(std::mt19937& rng) {
    const auto cfg = random_configs(9, rng), other = random_configs(3, rng);
    const auto xs = random_signal(300, rng);
    kavrel::ResonatorBank a(cfg, 44100.0f), twin(cfg, 44100.0f);
    a.process_samples(xs.data(), 200);
    twin.process_samples(xs.data(), 200);

    kavrel::ResonatorBank b(std::move(a));
    behaves_as_empty(a, "moved-from by construction");
    kavrel::ResonatorBank c(other, 8000.0f);
    c = std::move(b);  // c's own channels are freed (the leak check sees it)
    behaves_as_empty(b, "moved-from by assignment");
    kavrel::ResonatorBank& alias = c;
    c = std::move(alias);  // moving a bank onto itself keeps it
    c.process_samples(xs.data() + 200, 100);
    twin.process_samples(xs.data() + 200, 100);
    EXPECT(c.n_channels() == 9 && same_state(c, twin), "the moved bank carries on");
    a = std::move(c);  // a moved-from bank takes channels again
    EXPECT(a.n_channels() == 9 && same_state(a, twin) && c.n_channels() == 0,
           "a moved-from bank assigned to");
}

void heuristic_groups_agree(std::mt19937& rng) {
    std::uniform_real_distribution<float> freq(-2.0f, 30000.0f);
    for (std::size_t n : {0, 1, 7, 8, 9, 16, 17, 100}) {
        std::vector<float> f(n);
        for (float& v : f) v = freq(rng);
        if (n > 3) f[3] = 0.0f;
        const kavrel::FloatBuffer out = kavrel::heuristic_alphas(f.data(), n, 44100.0f);
        bool ok = true;
        for (std::size_t i = 0; i < n; ++i) {
            const float one = kavrel::heuristic_alpha(f[i], 44100.0f);
            ok = ok && std::memcmp(&one, &out[i], 4) == 0;
        }
        EXPECT(ok, "heuristic_alphas n=%zu", n);
    }
}

// The kernel chosen for this processor is one it can run, a vector one where
// it has one, and the one named by `--expect-kernel NAME` if given (the CI
// runs this program under emulated processors and says which it expects).
void choice_fits_the_processor(const char* expected) {
    const kavrel::KernelKind chosen = kavrel::active_kernel();
    std::printf("the kernel in use: %s\n", kavrel::kernel_name(chosen));
    EXPECT(kavrel::kernel::find(chosen) != nullptr, "the %s kernel was chosen but cannot run",
           kavrel::kernel_name(chosen));
    EXPECT(chosen != kavrel::KernelKind::portable ||
               kavrel::kernel::find(kavrel::KernelKind::avx2) == nullptr,
           "the portable kernel was chosen on a processor with AVX2 and FMA");
    EXPECT(expected == nullptr || std::strcmp(expected, kavrel::kernel_name(chosen)) == 0,
           "the %s kernel was chosen, not the %s one", kavrel::kernel_name(chosen), expected);
#if !defined(__x86_64__) && !defined(_M_X64)
    EXPECT(chosen == kavrel::KernelKind::portable, "only x86-64 has another kernel");
#endif
}

}  // namespace

int main(int argc, char** argv) {
    const char* expected = nullptr;
    if (argc == 3 && std::strcmp(argv[1], "--expect-kernel") == 0) {
        expected = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: %s [--expect-kernel portable|avx2|avx512]\n", argv[0]);
        return 2;
    }
    choice_fits_the_processor(expected);
    for (const kavrel::KernelKind kind :
         {kavrel::KernelKind::portable, kavrel::KernelKind::avx2, kavrel::KernelKind::avx512}) {
        const kavrel::kernel::Implementation* impl = kavrel::kernel::find(kind);
        if (impl == nullptr) {
            std::printf("the %s kernel is not available here\n", kavrel::kernel_name(kind));
            continue;
        }
        kavrel::kernel::use(*impl);
        const int before = failures;
        std::mt19937 rng(20261208);
        kernels_agree(rng);
        splits_agree(rng);
        awkward_values_agree();
        resonate_matches_blocks(rng);
        failures_leave_state();
        allocation_failures_leave_state(rng);
        std::printf("the %s kernel: %s\n", kavrel::kernel_name(kind),
                    failures == before ? "agrees with the oracle" : "FAILED");
    }
    std::mt19937 rng(20261208);
    heuristic_groups_agree(rng);
    moved_from_is_empty(rng);
    if (failures != 0) {
        std::fprintf(stderr, "%d engine check(s) failed\n", failures);
        return 1;
    }
    std::puts("engine checks passed");
    return 0;
}

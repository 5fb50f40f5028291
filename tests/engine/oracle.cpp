#include "oracle.hpp"

#include <cmath>

namespace kavrel::oracle {

void step(const kernel::Channels& c, std::size_t k, float x) noexcept {
    const float a = c.alpha[k];
    const float b = c.beta[k];
    const float pr = c.phasor_re[k];
    const float pm = c.phasor_im[k];
    const float xa = x * a;
    const float ka = 1.0f - a;
    const float kb = 1.0f - b;
    c.stage1_re[k] = std::fma(ka, c.stage1_re[k], xa * pr);
    c.stage1_im[k] = std::fma(ka, c.stage1_im[k], xa * pm);
    c.stage2_re[k] = std::fma(kb, c.stage2_re[k], b * c.stage1_re[k]);
    c.stage2_im[k] = std::fma(kb, c.stage2_im[k], b * c.stage1_im[k]);
    const float rr = c.rot_re[k];
    const float rm = c.rot_im[k];
    c.phasor_re[k] = (pr * rr) - (pm * rm);
    c.phasor_im[k] = (pr * rm) + (pm * rr);
}

void renormalize(const kernel::Channels& c) noexcept {
    for (std::size_t k = 0; k < c.n; ++k) {
        const float pr = c.phasor_re[k];
        const float pm = c.phasor_im[k];
        const float g = 1.0f / std::sqrt((pr * pr) + (pm * pm));
        c.phasor_re[k] = pr * g;
        c.phasor_im[k] = pm * g;
    }
}

void process_samples(const kernel::Channels& c, std::uint64_t& count, const float* xs,
                     std::size_t len) noexcept {
    for (std::size_t t = 0; t < len; ++t) {
        for (std::size_t k = 0; k < c.n; ++k) step(c, k, xs[t]);
        ++count;
        if (count % renorm_period == 0) renormalize(c);
    }
}

}  // namespace kavrel::oracle

#include "functions.hpp"

#include "kavrel/params.hpp"
#include "numpy_interop.hpp"

namespace kavrel::py {

namespace {

// A function of two real numbers computed in single precision.
template <const Signature<2>& Sig, float (*Compute)(float, float)>
PyObject* real_function(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        const auto slots = Sig.bind(args, kwargs);
        const float a = real32_arg(slots[0], Sig.names[0]);
        const float b = real32_arg(slots[1], Sig.names[1]);
        return float_result(Compute(a, b));
    });
}

constexpr Signature<2> heuristic_alpha_sig{nullptr, "heuristic_alpha", {"freq", "sample_rate"}};
constexpr Signature<2> heuristic_alphas_sig{nullptr, "heuristic_alphas", {"freqs", "sample_rate"}};
constexpr Signature<2> alpha_from_tau_sig{nullptr, "alpha_from_tau", {"tau", "sample_rate"}};
constexpr Signature<2> tau_from_alpha_sig{nullptr, "tau_from_alpha", {"alpha", "sample_rate"}};
constexpr Signature<2> midi_to_hz_sig{nullptr, "midi_to_hz", {"midi", "tuning"}};

PyObject* heuristic_alphas_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        const auto slots = heuristic_alphas_sig.bind(args, kwargs);
        const ArrayBorrow freqs = array_arg(slots[0], "freqs");
        const float sample_rate = real32_arg(slots[1], "sample_rate");
        const std::span<const float> f = freqs.elements();
        return array_result(heuristic_alphas(f.data(), f.size(), sample_rate));
    });
}

constexpr int flags = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

}  // namespace

PyMethodDef module_functions[] = {
    {"heuristic_alpha", as_cfunction(real_function<heuristic_alpha_sig, heuristic_alpha>), flags,
     "heuristic_alpha(freq, sample_rate)\n--\n\n"},
    {"heuristic_alphas", as_cfunction(heuristic_alphas_fn), flags, "heuristic_alphas(freqs, sample_rate)\n--\n\n"},
    {"alpha_from_tau", as_cfunction(real_function<alpha_from_tau_sig, alpha_from_tau>), flags,
     "alpha_from_tau(tau, sample_rate)\n--\n\n"},
    {"tau_from_alpha", as_cfunction(real_function<tau_from_alpha_sig, tau_from_alpha>), flags,
     "tau_from_alpha(alpha, sample_rate)\n--\n\n"},
    {"midi_to_hz", as_cfunction(real_function<midi_to_hz_sig, midi_to_hz>), flags,
     "midi_to_hz(midi, tuning)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kavrel::py

#include "functions.hpp"

#include "kavrel/params.hpp"
#include "numpy_interop.hpp"

namespace kavrel::py {

namespace {

// A function of two real numbers computed in single precision.
template <const Signature<2>& Sig, float (*Compute)(float, float)>
PyObject* real_function(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        const auto a = Sig.bind(args, kwargs);
        const float x = real32_arg(a[0], a.name(0));
        const float y = real32_arg(a[1], a.name(1));
        return float_result(Compute(x, y));
    });
}

constexpr Signature<2> heuristic_alpha_sig{nullptr, "heuristic_alpha", {"freq", "sample_rate"}};
constexpr Signature<2> heuristic_alphas_sig{nullptr, "heuristic_alphas", {"freqs", "sample_rate"}};
constexpr Signature<2> alpha_from_tau_sig{nullptr, "alpha_from_tau", {"tau", "sample_rate"}};
constexpr Signature<2> tau_from_alpha_sig{nullptr, "tau_from_alpha", {"alpha", "sample_rate"}};
constexpr Signature<2> midi_to_hz_sig{nullptr, "midi_to_hz", {"midi", "tuning"}};

PyObject* heuristic_alphas_fn(PyObject*, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        const auto a = heuristic_alphas_sig.bind(args, kwargs);
        ArrayBorrow freqs = array_arg(a[0], a.name(0));
        freqs.before_converting(a[1]);
        const float sample_rate = real32_arg(a[1], a.name(1));
        const std::span<const float> f = freqs.elements();
        return array_result(heuristic_alphas(f.data(), f.size(), sample_rate));
    });
}

constexpr int flags = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

}  // namespace

PyMethodDef module_functions[] = {
    method_def<heuristic_alpha_sig>(real_function<heuristic_alpha_sig, heuristic_alpha>, flags),
    method_def<heuristic_alphas_sig>(heuristic_alphas_fn, flags),
    method_def<alpha_from_tau_sig>(real_function<alpha_from_tau_sig, alpha_from_tau>, flags),
    method_def<tau_from_alpha_sig>(real_function<tau_from_alpha_sig, tau_from_alpha>, flags),
    method_def<midi_to_hz_sig>(real_function<midi_to_hz_sig, midi_to_hz>, flags),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kavrel::py

#include "bank_type.hpp"

#include <new>

#include "kavrel/bank.hpp"
#include "kavrel/params.hpp"
#include "numpy_interop.hpp"

namespace kavrel::py {

namespace {

struct BankObject {
    PyObject ob_base;
    ResonatorBank bank;
    BorrowFlag borrow;
};

BankObject* as_bank(PyObject* self) { return reinterpret_cast<BankObject*>(self); }

// ---- Construction ----------------------------------------------------------

constexpr Signature<2, 2> new_sig{
    "ResonatorBank", "__new__", {"freqs", "sample_rate", "alphas", "betas"}};

FloatBuffer copy_of(std::span<const float> values) {
    FloatBuffer out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = values[i];
    return out;
}

PyObject* bank_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        const auto a = new_sig.bind(args, kwargs);
        ArrayBorrow freqs = array_arg(a[0], a.name(0));
        freqs.before_converting(a[1]);
        const float sample_rate = real32_arg(a[1], a.name(1));
        ArrayBorrow alphas_in, betas_in;
        const bool has_alphas = a.has_value(2);
        const bool has_betas = a.has_value(3);
        if (has_alphas) alphas_in = array_arg(a[2], a.name(2));
        if (has_betas) betas_in = array_arg(a[3], a.name(3));

        const std::span<const float> f = freqs.elements();
        FloatBuffer alphas;
        if (has_alphas) {
            alphas = copy_of(alphas_in.elements());
            alphas_in.release();
        } else {
            alphas = heuristic_alphas(f.data(), f.size(), sample_rate);
        }
        FloatBuffer betas;
        if (has_betas) {
            betas = copy_of(betas_in.elements());
            betas_in.release();
        } else {
            betas = copy_of({alphas.data(), alphas.size()});
        }
        if (f.size() != alphas.size() || f.size() != betas.size())
            raise(PyExc_ValueError, "freqs, alphas, and betas must have the same length");

        Buffer<ChannelConfig> configs(f.size());
        for (std::size_t i = 0; i < f.size(); ++i)
            configs[i] = ChannelConfig{f[i], alphas[i], betas[i]};
        ResonatorBank bank({configs.data(), configs.size()}, sample_rate);
        configs = {};
        alphas = {};
        betas = {};
        freqs.release();

        PyObject* self =
            check(reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0));
        new (&as_bank(self)->bank) ResonatorBank(std::move(bank));
        new (&as_bank(self)->borrow) BorrowFlag(0);
        return self;
    });
}

void bank_dealloc(PyObject* self) {
    as_bank(self)->bank.~ResonatorBank();
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// ---- Processing ------------------------------------------------------------

constexpr Signature<1> process_sample_sig{"ResonatorBank", "process_sample", {"sample"}};
constexpr Signature<1> process_samples_sig{"ResonatorBank", "process_samples", {"samples"}};
constexpr Signature<2> resonate_sig{"ResonatorBank", "resonate", {"signal", "hop"}};
constexpr Signature<0> reset_sig{"ResonatorBank", "reset", {}};

PyObject* process_sample(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        const auto a = process_sample_sig.bind(args, kwargs);
        ExclusiveBorrow borrow(as_bank(self)->borrow);
        const float x = real32_arg(a[0], a.name(0));
        as_bank(self)->bank.process_sample(x);
        return none_result();
    });
}

PyObject* process_samples(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        const auto a = process_samples_sig.bind(args, kwargs);
        ExclusiveBorrow borrow(as_bank(self)->borrow);
        const ArrayBorrow samples = array_arg(a[0], a.name(0));
        const std::span<const float> xs = samples.elements();
        without_lock([&] { as_bank(self)->bank.process_samples(xs.data(), xs.size()); });
        return none_result();
    });
}

PyObject* resonate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        const auto a = resonate_sig.bind(args, kwargs);
        ExclusiveBorrow borrow(as_bank(self)->borrow);
        ArrayBorrow signal = array_arg(a[0], a.name(0));
        signal.before_converting(a[1]);
        const std::uint64_t hop = index_arg(a[1], a.name(1));
        const std::span<const float> xs = signal.elements();
        ComplexFrames frames =
            without_lock([&] { return as_bank(self)->bank.resonate(xs.data(), xs.size(), hop); });
        return complex_matrix_result(std::move(frames));
    });
}

PyObject* reset(PyObject* self, PyObject*) {
    return entry([&] {
        ExclusiveBorrow borrow(as_bank(self)->borrow);
        as_bank(self)->bank.reset();
        return none_result();
    });
}

// ---- Readouts --------------------------------------------------------------

PyObject* to_python(float value) { return float_result(value); }
PyObject* to_python(Complex32 value) { return complex_result(value.re, value.im); }
PyObject* to_python(FloatBuffer values) { return array_result(std::move(values)); }

// A readout of one channel: bind `i`, take a shared borrow, convert, read.
template <const Signature<1>& Sig, auto Read>
PyObject* channel_readout(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        const auto a = Sig.bind(args, kwargs);
        SharedBorrow borrow(as_bank(self)->borrow);
        const std::uint64_t i = index_arg(a[0], a.name(0));
        return to_python((as_bank(self)->bank.*Read)(static_cast<std::size_t>(i)));
    });
}

// A readout of all channels as a new float32 array, under a shared borrow.
template <auto Read>
PyObject* array_readout(PyObject* self, PyObject*) {
    return entry([&] {
        SharedBorrow borrow(as_bank(self)->borrow);
        return to_python((as_bank(self)->bank.*Read)());
    });
}

constexpr Signature<1> freq_sig{"ResonatorBank", "freq", {"i"}};
constexpr Signature<1> magnitude_sig{"ResonatorBank", "magnitude", {"i"}};
constexpr Signature<1> phase_sig{"ResonatorBank", "phase", {"i"}};
constexpr Signature<1> power_sig{"ResonatorBank", "power", {"i"}};
constexpr Signature<1> complex_sig{"ResonatorBank", "complex", {"i"}};
constexpr Signature<0> frequencies_sig{"ResonatorBank", "frequencies", {}};
constexpr Signature<0> magnitudes_sig{"ResonatorBank", "magnitudes", {}};
constexpr Signature<0> phases_sig{"ResonatorBank", "phases", {}};
constexpr Signature<0> powers_sig{"ResonatorBank", "powers", {}};

Py_ssize_t bank_len(PyObject* self) {
    return entry_status([&] {
        SharedBorrow borrow(as_bank(self)->borrow);
        return static_cast<Py_ssize_t>(as_bank(self)->bank.n_channels());
    });
}

// ---- The type --------------------------------------------------------------

constexpr int with_args = METH_VARARGS | METH_KEYWORDS;

PyMethodDef bank_methods[] = {
    method_def<process_sample_sig>(process_sample, with_args),
    method_def<process_samples_sig>(process_samples, with_args),
    method_def<resonate_sig>(resonate, with_args),
    method_def<reset_sig>(reset, METH_NOARGS),
    method_def<freq_sig>(channel_readout<freq_sig, &ResonatorBank::freq>, with_args),
    method_def<magnitude_sig>(channel_readout<magnitude_sig, &ResonatorBank::magnitude>, with_args),
    method_def<phase_sig>(channel_readout<phase_sig, &ResonatorBank::phase>, with_args),
    method_def<power_sig>(channel_readout<power_sig, &ResonatorBank::power>, with_args),
    method_def<complex_sig>(channel_readout<complex_sig, &ResonatorBank::complex>, with_args),
    method_def<frequencies_sig>(array_readout<&ResonatorBank::frequencies>, METH_NOARGS),
    method_def<magnitudes_sig>(array_readout<&ResonatorBank::magnitudes>, METH_NOARGS),
    method_def<phases_sig>(array_readout<&ResonatorBank::phases>, METH_NOARGS),
    method_def<powers_sig>(array_readout<&ResonatorBank::powers>, METH_NOARGS),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot bank_slots[] = {
    {Py_tp_doc, const_cast<char*>(text_signature<new_sig>.data())},
    {Py_tp_new, reinterpret_cast<void*>(bank_new)},
    {Py_mp_length, reinterpret_cast<void*>(bank_len)},
    {Py_tp_methods, bank_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(bank_dealloc)},
    {0, nullptr},
};

PyType_Spec bank_spec = {
    "builtins.ResonatorBank",
    static_cast<int>(sizeof(BankObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    bank_slots,
};

ProcessObject bank_type;

}  // namespace

PyObject* resonator_bank_type() {
    return bank_type.get([] { return PyType_FromSpec(&bank_spec); });
}

}  // namespace kavrel::py

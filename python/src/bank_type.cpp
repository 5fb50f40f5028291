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

constexpr Signature<2, 2> new_sig{"ResonatorBank", "__new__", {"freqs", "sample_rate", "alphas", "betas"}};

FloatBuffer copy_of(std::span<const float> values) {
    FloatBuffer out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = values[i];
    return out;
}

PyObject* bank_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry([&]() -> PyObject* {
        const auto slots = new_sig.bind(args, kwargs);
        ArrayBorrow freqs = array_arg(slots[0], "freqs");
        const double sample_rate_wide = argument("sample_rate", [&] { return to_double(slots[1]); });
        ArrayBorrow alphas_in, betas_in;
        const bool has_alphas = slots[2] != nullptr && slots[2] != Py_None;
        const bool has_betas = slots[3] != nullptr && slots[3] != Py_None;
        if (has_alphas) alphas_in = array_arg(slots[2], "alphas");
        if (has_betas) betas_in = array_arg(slots[3], "betas");
        const auto sample_rate = static_cast<float>(sample_rate_wide);

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
        for (std::size_t i = 0; i < f.size(); ++i) configs[i] = ChannelConfig{f[i], alphas[i], betas[i]};
        ResonatorBank bank({configs.data(), configs.size()}, sample_rate);
        configs = {};
        alphas = {};
        betas = {};
        freqs.release();

        PyObject* self = check(reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc))(type, 0));
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

PyObject* process_sample(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        const auto slots = process_sample_sig.bind(args, kwargs);
        ExclusiveBorrow borrow(as_bank(self)->borrow);
        const float x = real32_arg(slots[0], "sample");
        as_bank(self)->bank.process_sample(x);
        return none_result();
    });
}

PyObject* process_samples(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        const auto slots = process_samples_sig.bind(args, kwargs);
        ExclusiveBorrow borrow(as_bank(self)->borrow);
        const ArrayBorrow samples = array_arg(slots[0], "samples");
        const std::span<const float> xs = samples.elements();
        {
            Unlocked unlocked;
            as_bank(self)->bank.process_samples(xs.data(), xs.size());
        }
        return none_result();
    });
}

PyObject* resonate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        const auto slots = resonate_sig.bind(args, kwargs);
        ExclusiveBorrow borrow(as_bank(self)->borrow);
        const ArrayBorrow signal = array_arg(slots[0], "signal");
        const std::uint64_t hop = index_arg(slots[1], "hop");
        const std::span<const float> xs = signal.elements();
        ComplexFrames frames;
        {
            Unlocked unlocked;
            frames = as_bank(self)->bank.resonate(xs.data(), xs.size(), hop);
        }
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

// A per-channel readout: bind `i`, take a shared borrow, convert, read.
template <const Signature<1>& Sig, class Read>
PyObject* channel_readout(PyObject* self, PyObject* args, PyObject* kwargs, Read read) {
    return entry([&] {
        const auto slots = Sig.bind(args, kwargs);
        SharedBorrow borrow(as_bank(self)->borrow);
        const std::uint64_t i = index_arg(slots[0], "i");
        return read(as_bank(self)->bank, static_cast<std::size_t>(i));
    });
}

constexpr Signature<1> freq_sig{"ResonatorBank", "freq", {"i"}};
constexpr Signature<1> magnitude_sig{"ResonatorBank", "magnitude", {"i"}};
constexpr Signature<1> phase_sig{"ResonatorBank", "phase", {"i"}};
constexpr Signature<1> power_sig{"ResonatorBank", "power", {"i"}};
constexpr Signature<1> complex_sig{"ResonatorBank", "complex", {"i"}};

PyObject* freq(PyObject* self, PyObject* args, PyObject* kwargs) {
    return channel_readout<freq_sig>(self, args, kwargs,
                                     [](const ResonatorBank& b, std::size_t i) { return float_result(b.freq(i)); });
}
PyObject* magnitude(PyObject* self, PyObject* args, PyObject* kwargs) {
    return channel_readout<magnitude_sig>(
        self, args, kwargs, [](const ResonatorBank& b, std::size_t i) { return float_result(b.magnitude(i)); });
}
PyObject* phase(PyObject* self, PyObject* args, PyObject* kwargs) {
    return channel_readout<phase_sig>(self, args, kwargs,
                                      [](const ResonatorBank& b, std::size_t i) { return float_result(b.phase(i)); });
}
PyObject* power(PyObject* self, PyObject* args, PyObject* kwargs) {
    return channel_readout<power_sig>(self, args, kwargs,
                                      [](const ResonatorBank& b, std::size_t i) { return float_result(b.power(i)); });
}
PyObject* complex_value(PyObject* self, PyObject* args, PyObject* kwargs) {
    return channel_readout<complex_sig>(self, args, kwargs, [](const ResonatorBank& b, std::size_t i) {
        const Complex32 v = b.complex(i);
        return complex_result(v.re, v.im);
    });
}

// An all-channel readout as a new float32 array, under a shared borrow.
template <FloatBuffer (ResonatorBank::*Read)() const>
PyObject* array_readout(PyObject* self, PyObject*) {
    return entry([&] {
        SharedBorrow borrow(as_bank(self)->borrow);
        return array_result((as_bank(self)->bank.*Read)());
    });
}

Py_ssize_t bank_len(PyObject* self) {
    return entry_status([&] {
        SharedBorrow borrow(as_bank(self)->borrow);
        return static_cast<Py_ssize_t>(as_bank(self)->bank.n_channels());
    });
}

// ---- The type --------------------------------------------------------------

constexpr int with_args = METH_VARARGS | METH_KEYWORDS;

PyMethodDef bank_methods[] = {
    {"process_sample", as_cfunction(process_sample), with_args, "process_sample($self, sample)\n--\n\n"},
    {"process_samples", as_cfunction(process_samples), with_args, "process_samples($self, samples)\n--\n\n"},
    {"resonate", as_cfunction(resonate), with_args, "resonate($self, signal, hop)\n--\n\n"},
    {"reset", as_cfunction(reset), METH_NOARGS, "reset($self)\n--\n\n"},
    {"freq", as_cfunction(freq), with_args, "freq($self, i)\n--\n\n"},
    {"magnitude", as_cfunction(magnitude), with_args, "magnitude($self, i)\n--\n\n"},
    {"phase", as_cfunction(phase), with_args, "phase($self, i)\n--\n\n"},
    {"power", as_cfunction(power), with_args, "power($self, i)\n--\n\n"},
    {"complex", as_cfunction(complex_value), with_args, "complex($self, i)\n--\n\n"},
    {"frequencies", as_cfunction(array_readout<&ResonatorBank::frequencies>), METH_NOARGS,
     "frequencies($self)\n--\n\n"},
    {"magnitudes", as_cfunction(array_readout<&ResonatorBank::magnitudes>), METH_NOARGS,
     "magnitudes($self)\n--\n\n"},
    {"phases", as_cfunction(array_readout<&ResonatorBank::phases>), METH_NOARGS, "phases($self)\n--\n\n"},
    {"powers", as_cfunction(array_readout<&ResonatorBank::powers>), METH_NOARGS, "powers($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot bank_slots[] = {
    {Py_tp_doc, const_cast<char*>("ResonatorBank(freqs, sample_rate, *, alphas=None, betas=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(bank_new)},
    {Py_mp_length, reinterpret_cast<void*>(bank_len)},
    {Py_tp_methods, bank_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(bank_dealloc)},
    {0, nullptr},
};

PyType_Spec bank_spec = {
    "builtins.ResonatorBank", static_cast<int>(sizeof(BankObject)), 0, Py_TPFLAGS_DEFAULT, bank_slots,
};

ProcessObject bank_type;

}  // namespace

PyObject* resonator_bank_type() {
    return bank_type.get([] { return PyType_FromSpec(&bank_spec); });
}

}  // namespace kavrel::py

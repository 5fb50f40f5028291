// The call layer: every entry point from the interpreter binds its arguments,
// takes the instance borrow it needs, converts arguments in parameter order,
// runs its body and converts the result. Failures travel as C++ exceptions
// inside an entry point and become Python exceptions at its boundary only:
//   PyError                 a Python exception is already set;
//   kavrel::Panic           a broken invariant, raised as PanicException after
//                           a report on standard error (failure.hpp);
//   kavrel::AllocationError a buffer sized by the arguments that memory cannot
//                           hold, raised as MemoryError with its message;
//   std::bad_alloc          any other exhausted memory, raised as MemoryError.
//
// What Python code sees of this layer is the module's contract: callers'
// code and tests depend on it, so each of these stays as it is, however odd
// it looks.
//   - Message texts, exactly. Binding failures read like the interpreter's own
//     for a function with the same parameters, with the name shown as
//     "ResonatorBank.freq()" or "midi_to_hz()"; deliberately, the count of a
//     method excludes self, "takes N positional arguments" is plural for every
//     N, too many positional arguments are reported before any keyword error,
//     and a key that is not a str is an unexpected keyword argument. Failed
//     conversions keep the interpreter's message and gain a note naming the
//     argument. tests/test_binding.py holds the texts to a Python function of
//     the same signature wherever they agree.
//   - The class's module is shown as `builtins` (repr "<class
//     'builtins.ResonatorBank'>", from the name in its type specification):
//     one class object serves every import of the module in every
//     interpreter of the process, so it names no module object of its own.
//   - PanicException derives from BaseException and is no module attribute.
//     It reports a broken invariant, not a mistake of the caller, so an
//     `except Exception` meant for bad input does not swallow it; the report
//     on standard error says where it happened even when it is caught.
//   - The module functions are static (METH_STATIC, `__self__` None): they
//     use no module state, hold no reference to the module, and keep working
//     after it is executed again or reloaded.
//   - Arguments are converted in parameter order, whatever order the keywords
//     came in: conversions run user code (__float__, __index__), and which of
//     it runs, and which failure is reported, must not depend on how the call
//     was spelled.
//   - The instance borrow's refusals are RuntimeError("Already borrowed")
//     (a call that needs the bank while another call holds it) and
//     RuntimeError("Already mutably borrowed") (a reading while a call that
//     changes the bank runs); both leave the bank as it was.
//   - PanicException's qualified name is "kavrel_runtime.PanicException", and
//     the report before it (failure.cpp) has one fixed format: a blank line,
//     "thread '<name>' (<id>) panicked at <file>:<line>:<column>:", the
//     message, then either a stack backtrace (when the environment variable
//     KAVREL_BACKTRACE is set to anything but "" or "0") or, once per
//     process, the note naming that variable. <file> is the source path
//     relative to the repository, with '/' on every platform.
//   - Arrays are borrowed, never converted: an array of another dtype (the
//     float64 a sound-file reader returns, say) is refused with "'ndarray'
//     object is not an instance of 'ndarray'", the NumPy-of-float32 type the
//     argument must be, rather than copied to float32 behind the caller's back.
//   - Documentation lives in the type stubs (kavrel-stubs) only: every
//     docstring in the module is just its text signature (text_signature
//     below) and the module's __doc__ is empty, so that the binary never
//     carries a second copy of the documentation to drift from the first.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "failure.hpp"
#include "kavrel/memory.hpp"
#include "kavrel/panic.hpp"

namespace kavrel::py {

// ---- A thread that the interpreter ends ------------------------------------
//
// A thread that asks for the interpreter lock back (or, without the GIL, to
// attach its thread state again) once the interpreter is being finalised
// never gets it. CPython 3.9 to 3.13, with the GIL or without, end the thread
// there and then (PyThread_exit_thread): on Linux with pthread_exit, which
// unwinds the thread's stack by forced unwinding, through this module's frames
// up to the thread's start; on Windows with _endthreadex, which unwinds
// nothing. From 3.14 the interpreter parks such a thread for good instead.
// Either way the thread no longer holds the lock, and once finalisation is
// done the objects it refers to may be gone. A C extension in its place just
// leaves its references behind and vanishes, and so does this layer:
//   - No frame of it is noexcept or keeps the unwinding in a catch (...)
//     (guarded below rethrows whatever is no C++ exception), so the thread
//     ends quietly instead of in std::terminate.
//   - Where this layer itself takes the lock back (retake_lock), the thread is
//     marked while it waits. A mark still set while the stack unwinds means
//     that the interpreter ended the thread there: the destructors that would
//     touch the interpreter or its objects (references, instance borrows)
//     then leave everything as it is.
// Without unwinding (Windows, 3.14) no destructor runs at all: the references
// and borrows of the thread's calls stay taken, as they would in C. A thread
// ended inside interpreter code that a conversion runs (a __float__ written in
// Python) unwinds through this layer as well, but unmarked: the references
// that call holds are then given back without the lock.

namespace detail {
inline thread_local bool retaking_lock = false;
}

// False only while the stack of a thread that the interpreter ended unwinds.
inline bool interpreter_reachable() noexcept { return !detail::retaking_lock; }

// Runs `retake`, a call into the interpreter that takes the lock back and may
// end the thread instead of returning.
template <class Retake>
void retake_lock(Retake&& retake) {
    detail::retaking_lock = true;
    retake();
    detail::retaking_lock = false;
}

// Thrown when a Python exception has been set and the call must unwind.
struct PyError {};

// Throws PyError if `p` is null, else returns it.
inline PyObject* check(PyObject* p) {
    if (p == nullptr) throw PyError{};
    return p;
}

// Sets a Python exception of `type` with `message` and unwinds.
[[noreturn]] void raise(PyObject* type, const char* message);

// An owned (strong) reference, released on scope exit.
class Ref {
public:
    Ref() noexcept = default;
    // Takes ownership of a new reference; throws PyError when it is null.
    static Ref steal(PyObject* p) { return Ref(check(p)); }
    static Ref borrow(PyObject* p) noexcept {
        Py_IncRef(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_DecRef(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (p_ != nullptr && interpreter_reachable()) Py_DecRef(p_);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A process-wide object created on first need and kept for the life of the
// process. Concurrent first uses (several interpreters) share the one stored.
class ProcessObject {
public:
    template <class Make>
    PyObject* get(Make&& make) {
        if (PyObject* v = value_.load(std::memory_order_acquire)) return v;
        PyObject* made = check(make());
        PyObject* expected = nullptr;
        if (!value_.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
            Py_DecRef(made);
            return expected;
        }
        return made;
    }

private:
    std::atomic<PyObject*> value_{nullptr};
};

// A C function of any entry-point signature, as the PyCFunction that a
// method table stores (the flags beside it say how it is called).
template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// ---- Binding ---------------------------------------------------------------

// Parameters of one callable: positional names first, then keyword-only ones.
struct Params {
    const char* cls;   // class name, or nullptr for a module function
    const char* func;  // function name ("__new__" for the constructor)
    const char* const* names;
    Py_ssize_t n_positional;
    Py_ssize_t n_total;
};

// Binds args/kwargs to `slots`, each a strong reference to its argument or
// empty where none was given. Holding them keeps every argument alive while
// conversions run user code that may drop the caller's references (a keyword
// dictionary cleared from inside a __float__, say).
void bind(const Params& params, PyObject* args, PyObject* kwargs, Ref* slots);

template <std::size_t NPos, std::size_t NKw = 0>
struct Signature;

// The arguments of one call, bound to its parameters, alive until the call ends.
template <std::size_t N>
class Arguments {
public:
    explicit Arguments(const char* const* names) noexcept : names_(names) {}

    // The argument (borrowed from this object), or nullptr when not given.
    PyObject* operator[](std::size_t i) const noexcept { return slots_[i].get(); }
    // Given and not None: an optional parameter that takes a value.
    bool has_value(std::size_t i) const noexcept { return slots_[i] && slots_[i].get() != Py_None; }
    const char* name(std::size_t i) const noexcept { return names_[i]; }

private:
    template <std::size_t, std::size_t>
    friend struct Signature;

    const char* const* names_;
    std::array<Ref, N> slots_{};
};

// A callable's parameter names, written once: binding, the notes of failed
// conversions and the text-signature docstring (text_signature below) all read
// them from here. Keyword-only parameters are optional and default to None.
template <std::size_t NPos, std::size_t NKw>
struct Signature {
    static constexpr std::size_t n_positional = NPos;
    static constexpr std::size_t n_total = NPos + NKw;

    const char* cls;   // class name, or nullptr for a module function
    const char* func;  // function name ("__new__" for the constructor)
    std::array<const char*, NPos + NKw> names;

    Arguments<NPos + NKw> bind(PyObject* args, PyObject* kwargs) const {
        Arguments<NPos + NKw> bound(names.data());
        py::bind(Params{cls, func, names.data(), static_cast<Py_ssize_t>(NPos),
                        static_cast<Py_ssize_t>(NPos + NKw)},
                 args, kwargs, bound.slots_.data());
        return bound;
    }
};

namespace detail {

// Writes the text signature of `sig` into `out` (when not null) and returns
// its length: "Class(a, b, *, c=None)" for the constructor, "name($self, a)"
// for a method, "name(a, b)" for a module function, each followed by "\n--\n\n".
template <class Sig>
constexpr std::size_t write_text_signature(const Sig& sig, char* out) {
    std::size_t n = 0;
    const auto put = [&](const char* text) {
        for (; *text != '\0'; ++text, ++n)
            if (out != nullptr) out[n] = *text;
    };
    const bool constructor = sig.cls != nullptr && std::string_view(sig.func) == "__new__";
    put(constructor ? sig.cls : sig.func);
    put("(");
    const char* separator = "";
    if (sig.cls != nullptr && !constructor) {
        put("$self");
        separator = ", ";
    }
    for (std::size_t i = 0; i < Sig::n_total; ++i) {
        put(separator);
        separator = ", ";
        if (i == Sig::n_positional) put("*, ");
        put(sig.names[i]);
        if (i >= Sig::n_positional) put("=None");
    }
    put(")\n--\n\n");
    return n;
}

template <const auto& Sig>
constexpr auto make_text_signature() {
    std::array<char, write_text_signature(Sig, nullptr) + 1> text{};
    write_text_signature(Sig, text.data());
    return text;
}

}  // namespace detail

// The docstring of the callable described by `Sig`: its text signature only.
template <const auto& Sig>
inline constexpr auto text_signature = detail::make_text_signature<Sig>();

// The method-table entry of `Sig`'s callable.
template <const auto& Sig, class F>
PyMethodDef method_def(F f, int flags) {
    return {Sig.func, as_cfunction(f), flags, text_signature<Sig>.data()};
}

// ---- Instance borrows ------------------------------------------------------

// 0: free; n > 0: n shared borrows; -1: one exclusive borrow.
using BorrowFlag = std::atomic<Py_ssize_t>;

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag);
    ~SharedBorrow() {
        if (interpreter_reachable()) flag_.fetch_sub(1, std::memory_order_release);
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag);
    ~ExclusiveBorrow() {
        if (interpreter_reachable()) flag_.store(0, std::memory_order_release);
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

// ---- Conversions -----------------------------------------------------------

// Any object PyFloat_AsDouble accepts, as a double.
double to_double(PyObject* obj);
// The same, narrowed once to single precision (round to nearest even).
inline float to_real32(PyObject* obj) { return static_cast<float>(to_double(obj)); }
// An int or an object with __index__, in 0 .. 2**64 - 1.
std::uint64_t to_index(PyObject* obj);
// `obj` if it is an instance of `type`, else the TypeError
// "'{type}' object is not an instance of '{target}'".
PyObject* type_check(PyObject* obj, PyTypeObject* type, const char* target);
[[noreturn]] void type_error(PyObject* obj, const char* target);

// Adds the note "while processing '{name}'" to the pending exception, if the
// exception supports notes.
void add_argument_note(const char* name);

// Runs a conversion of argument `name`; a failure keeps its exception and gains the note.
template <class Convert>
auto argument(const char* name, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PyError&) {
        add_argument_note(name);
        throw;
    }
}

inline float real32_arg(PyObject* obj, const char* name) {
    return argument(name, [&] { return to_real32(obj); });
}
inline std::uint64_t index_arg(PyObject* obj, const char* name) {
    return argument(name, [&] { return to_index(obj); });
}

// ---- Results ---------------------------------------------------------------

// Checks a result object from the interpreter: a null one is reported as
// unraisable and ends the call as the internal failure "PyObject pointer is null".
PyObject* result_object(PyObject* obj,
                        std::source_location where = std::source_location::current());
PyObject* float_result(float value);
PyObject* complex_result(float re, float im);
PyObject* none_result() noexcept;

// ---- Running without the interpreter lock ----------------------------------

// Runs `compute`, which touches no Python object, without the interpreter
// lock and returns its result. The lock is taken back on every path, and
// always with no exception in flight: a failure of `compute` is held until
// then and rethrown after, so that a thread the interpreter ends while it
// waits for the lock unwinds from a plain call, not from a destructor.
template <class Compute>
auto without_lock(Compute&& compute) -> decltype(compute()) {
    using Result = decltype(compute());
    PyThreadState* const state = PyEval_SaveThread();
    std::exception_ptr failure;
    if constexpr (std::is_void_v<Result>) {
        try {
            compute();
        } catch (...) {
            failure = std::current_exception();
        }
        retake_lock([&] { PyEval_RestoreThread(state); });
        if (failure) std::rethrow_exception(failure);
    } else {
        std::optional<Result> result;
        try {
            result.emplace(compute());
        } catch (...) {
            failure = std::current_exception();
        }
        retake_lock([&] { PyEval_RestoreThread(state); });
        if (failure) std::rethrow_exception(failure);
        return std::move(*result);
    }
}

// ---- The boundary ----------------------------------------------------------

// The boundary of every entry point: runs the body and turns a failure into
// the Python exception it stands for, returning `failed`. Not noexcept, and
// neither are the entry points: the forced unwinding of a thread that the
// interpreter ends passes through on its way to the thread's start (see the
// head of this file); nothing else leaves.
template <class Body, class Result>
Result guarded(Body&& body, Result failed) {
    try {
        return body();
    } catch (const PyError&) {
        // the exception is already set
    } catch (const Panic& p) {
        raise_panic(p);
    } catch (const AllocationError& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(Panic(e.what(), std::source_location::current()));
    } catch (...) {
        // No C++ exception at all: the forced unwinding by which the
        // interpreter ends this thread. It goes on to the thread's start.
        if (!std::current_exception()) throw;
        raise_panic(Panic("explicit panic", std::source_location::current()));
    }
    return failed;
}

// Entry points that return a new reference, or null with an exception set.
template <class Body>
PyObject* entry(Body&& body) {
    return guarded(std::forward<Body>(body), static_cast<PyObject*>(nullptr));
}

// Slots that return an integer status: -1 with an exception set on failure.
template <class Body>
auto entry_status(Body&& body) {
    using Result = decltype(body());
    return guarded(std::forward<Body>(body), Result(-1));
}

}  // namespace kavrel::py

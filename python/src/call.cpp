#include "call.hpp"

#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kavrel::py {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError{};
}

// ---- Binding ---------------------------------------------------------------

namespace {

std::string display_name(const Params& p) {
    std::string full;
    if (p.cls != nullptr) {
        full += p.cls;
        full += '.';
    }
    full += p.func;
    full += "()";
    return full;
}

[[noreturn]] void unexpected_keyword(const Params& p, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", display_name(p).c_str(),
                 key);
    throw PyError{};
}

// Index of the parameter called `key` (UTF-8 bytes, which may hold NULs),
// keyword-only names first; -1 if none.
Py_ssize_t find_parameter(const Params& p, const char* key, Py_ssize_t size) {
    const auto matches = [&](Py_ssize_t i) {
        return std::strlen(p.names[i]) == static_cast<std::size_t>(size) &&
               std::memcmp(p.names[i], key, static_cast<std::size_t>(size)) == 0;
    };
    for (Py_ssize_t i = p.n_positional; i < p.n_total; ++i)
        if (matches(i)) return i;
    for (Py_ssize_t i = 0; i < p.n_positional; ++i)
        if (matches(i)) return i;
    return -1;
}

}  // namespace

void bind(const Params& p, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t n = args != nullptr ? PyTuple_Size(args) : 0;
    const Py_ssize_t copied = n < p.n_positional ? n : p.n_positional;
    for (Py_ssize_t i = 0; i < copied; ++i) slots[i] = PyTuple_GetItem(args, i);
    if (n > p.n_positional) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                     display_name(p).c_str(), p.n_positional, n, n == 1 ? "was" : "were");
        throw PyError{};
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) unexpected_keyword(p, key);
            PyObject* utf8 = PyUnicode_AsUTF8String(key);
            if (utf8 == nullptr) {
                PyErr_Clear();  // a lone surrogate: it cannot name a parameter
                unexpected_keyword(p, key);
            }
            char* bytes = nullptr;
            Py_ssize_t size = 0;
            PyBytes_AsStringAndSize(utf8, &bytes, &size);
            const Py_ssize_t i = find_parameter(p, bytes, size);
            Py_DecRef(utf8);
            if (i < 0) unexpected_keyword(p, key);
            if (slots[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             display_name(p).c_str(), p.names[i]);
                throw PyError{};
            }
            slots[i] = value;
        }
    }
    if (n < p.n_positional) {
        Py_ssize_t missing = 0;
        for (Py_ssize_t i = 0; i < p.n_positional; ++i) missing += slots[i] == nullptr;
        if (missing > 0) {
            std::string list;
            Py_ssize_t listed = 0;
            for (Py_ssize_t i = 0; i < p.n_positional; ++i) {
                if (slots[i] != nullptr) continue;
                ++listed;
                if (listed > 1) {
                    if (missing > 2) list += ',';
                    list += listed == missing ? " and " : " ";
                }
                list += '\'';
                list += p.names[i];
                list += '\'';
            }
            PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s",
                         display_name(p).c_str(), missing, missing == 1 ? "argument" : "arguments",
                         list.c_str());
            throw PyError{};
        }
    }
}

// ---- Instance borrows ------------------------------------------------------

SharedBorrow::SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    Py_ssize_t seen = flag.load(std::memory_order_relaxed);
    do {
        if (seen == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed));
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    Py_ssize_t expected = 0;
    if (!flag.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed))
        raise(PyExc_RuntimeError, "Already borrowed");
}

// ---- Conversions -----------------------------------------------------------

double to_double(PyObject* obj) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred() != nullptr) throw PyError{};
    return v;
}

std::uint64_t to_index(PyObject* obj) {
    Ref index;
    if (!PyLong_Check(obj)) {
        index = Ref::steal(PyNumber_Index(obj));
        obj = index.get();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) throw PyError{};
    return v;
}

void type_error(PyObject* obj, const char* target) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
        throw PyError{};
    }
    Ref qualname = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'", qualname.get(), target);
    throw PyError{};
}

PyObject* type_check(PyObject* obj, PyTypeObject* type, const char* target) {
    if (!PyType_IsSubtype(Py_TYPE(obj), type)) type_error(obj, target);
    return obj;
}

void add_argument_note(const char* name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
        const std::string note = std::string("while processing '") + name + "'";
        PyObject* r = PyObject_CallMethod(value, "add_note", "s", note.c_str());
        if (r == nullptr)
            PyErr_Clear();  // no notes before Python 3.11: raise it as it is
        else
            Py_DecRef(r);
    }
    PyErr_Restore(type, value, traceback);
}

// ---- Results ---------------------------------------------------------------

PyObject* result_object(PyObject* obj, std::source_location where) {
    if (obj == nullptr) {
        if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(nullptr);
        panic("PyObject pointer is null", where);
    }
    return obj;
}

PyObject* float_result(float value) { return result_object(PyFloat_FromDouble(value)); }

PyObject* complex_result(float re, float im) { return result_object(PyComplex_FromDoubles(re, im)); }

PyObject* none_result() noexcept {
    Py_IncRef(Py_None);
    return Py_None;
}

// ---- Internal failures -----------------------------------------------------

namespace {

ProcessObject panic_exception_type;

PyObject* make_panic_exception_type() {
    return PyErr_NewExceptionWithDoc(
        "kavrel_runtime.PanicException",
        "An internal failure of kavrel: a broken invariant such as a channel index out of range.\n\n"
        "PanicException derives from BaseException, not Exception, so `except Exception` does not\n"
        "catch it; it normally propagates to the top level and ends the program.",
        PyExc_BaseException, nullptr);
}

// The UTF-8 text of a str (a new reference, consumed; null allowed), or ""
// when there is none. Clears any error this raises.
std::string consume_text(PyObject* str) {
    std::string text;
    if (str != nullptr && PyUnicode_Check(str)) {
        if (PyObject* utf8 = PyUnicode_AsUTF8String(str)) {
            text = PyBytes_AsString(utf8);
            Py_DecRef(utf8);
        }
    }
    Py_DecRef(str);
    PyErr_Clear();
    return text;
}

// The Python name of the current thread if the threading module is loaded,
// else "<unnamed>". Leaves any pending exception as it was.
std::string current_thread_name() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* threading = PyDict_GetItemString(PyImport_GetModuleDict(), "threading");  // borrowed
    PyObject* thread = threading != nullptr ? PyObject_CallMethod(threading, "current_thread", nullptr) : nullptr;
    std::string name = consume_text(thread != nullptr ? PyObject_GetAttrString(thread, "name") : nullptr);
    Py_DecRef(thread);
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return name.empty() ? "<unnamed>" : name;
}

bool backtrace_requested() {
    const char* v = std::getenv("KAVREL_BACKTRACE");
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

std::atomic<bool> hint_given{false};

void write_report(const Panic& p) {
    const std::string name = current_thread_name();
    std::fprintf(stderr, "\nthread '%s' (%lu) panicked at %s:%u:%u:\n%s\n", name.c_str(),
                 PyThread_get_thread_ident(), p.where().file_name(),
                 static_cast<unsigned>(p.where().line()), static_cast<unsigned>(p.where().column()),
                 p.message().empty() ? "explicit panic" : p.message().c_str());
    if (backtrace_requested()) {
        std::fputs("stack backtrace:\n", stderr);
        std::fflush(stderr);
        ::backtrace_symbols_fd(p.frames(), p.frame_count(), 2);
    } else if (!hint_given.exchange(true)) {
        std::fputs("note: run with `KAVREL_BACKTRACE=1` environment variable to display a backtrace\n",
                   stderr);
    }
    std::fflush(stderr);
}

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

void raise_panic(const Panic& p) noexcept {
    try {
        write_report(p);
        PyObject* type = panic_exception_type.get(make_panic_exception_type);
        const std::string& text = p.message().empty() ? std::string("explicit panic") : p.message();
        PyObject* message = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (message == nullptr) abort_at_boundary();
        PyErr_SetObject(type, message);
        Py_DecRef(message);
    } catch (...) {
        abort_at_boundary();
    }
}

std::string describe_pending(const char* what) {
    std::string text = what;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    // The formatted exception with its traceback; its repr if that fails.
    PyObject* tb_module = PyImport_ImportModule("traceback");
    PyObject* lines = tb_module != nullptr
                          ? PyObject_CallMethod(tb_module, "format_exception", "OOO", type ? type : Py_None,
                                                value ? value : Py_None, traceback ? traceback : Py_None)
                          : nullptr;
    PyObject* empty = PyUnicode_FromString("");
    std::string description =
        consume_text(lines != nullptr && empty != nullptr ? PyUnicode_Join(empty, lines) : nullptr);
    Py_DecRef(empty);
    Py_DecRef(lines);
    Py_DecRef(tb_module);
    while (!description.empty() && description.back() == '\n') description.pop_back();
    if (description.empty() && value != nullptr) description = consume_text(PyObject_Repr(value));
    Py_DecRef(type);
    Py_DecRef(value);
    Py_DecRef(traceback);
    text += ": ";
    text += description.empty() ? "unknown error" : description;
    return text;
}

}  // namespace kavrel::py

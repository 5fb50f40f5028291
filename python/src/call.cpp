#include "call.hpp"

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
    const Ref held = Ref::borrow(key);  // str() of a str subclass may run code that drops it
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 display_name(p).c_str(), key);
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

#ifdef Py_GIL_DISABLED
// Without the GIL another thread could change the keyword dictionary while it
// is iterated; the dictionary's own lock (a critical section) keeps it still.
// Waiting for that lock detaches the thread state and attaches it again,
// which is taking the lock back (retake_lock).
class DictLock {
public:
    explicit DictLock(PyObject* dict) {
        retake_lock([&] { PyCriticalSection_Begin(&section_, dict); });
    }
    ~DictLock() { PyCriticalSection_End(&section_); }
    DictLock(const DictLock&) = delete;
    DictLock& operator=(const DictLock&) = delete;

private:
    PyCriticalSection section_;
};
#else
// With the GIL no other thread runs during the iteration.
struct DictLock {
    explicit DictLock(PyObject*) noexcept {}
};
#endif

}  // namespace

void bind(const Params& p, PyObject* args, PyObject* kwargs, Ref* slots) {
    const Py_ssize_t n = args != nullptr ? PyTuple_Size(args) : 0;
    const Py_ssize_t copied = n < p.n_positional ? n : p.n_positional;
    for (Py_ssize_t i = 0; i < copied; ++i) slots[i] = Ref::borrow(PyTuple_GetItem(args, i));
    if (n > p.n_positional) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                     display_name(p).c_str(), p.n_positional, n, n == 1 ? "was" : "were");
        throw PyError{};
    }
    if (kwargs != nullptr) {
        const DictLock lock(kwargs);
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
            if (slots[i]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             display_name(p).c_str(), p.names[i]);
                throw PyError{};
            }
            slots[i] = Ref::borrow(value);
        }
    }
    if (n < p.n_positional) {
        Py_ssize_t missing = 0;
        for (Py_ssize_t i = 0; i < p.n_positional; ++i) missing += !slots[i];
        if (missing > 0) {
            std::string list;
            Py_ssize_t listed = 0;
            for (Py_ssize_t i = 0; i < p.n_positional; ++i) {
                if (slots[i]) continue;
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
    if (!flag.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                      std::memory_order_relaxed))
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
    Ref qualname = Ref::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
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

PyObject* complex_result(float re, float im) {
    return result_object(PyComplex_FromDoubles(re, im));
}

PyObject* none_result() noexcept {
    Py_IncRef(Py_None);
    return Py_None;
}

}  // namespace kavrel::py

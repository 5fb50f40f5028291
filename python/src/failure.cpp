#include "failure.hpp"

#if __has_include(<execinfo.h>)
#include <execinfo.h>
#define KAVREL_HAVE_BACKTRACE_SYMBOLS 1
#endif

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

#include "call.hpp"

namespace kavrel::py {

namespace {

ProcessObject panic_exception_type;

PyObject* make_panic_exception_type() {
    return PyErr_NewExceptionWithDoc(
        "kavrel_runtime.PanicException",
        "An internal failure of kavrel: a broken invariant such as a channel index out of "
        "range.\n\n"
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
    // A strong reference: without the GIL another thread may drop the module
    // from sys.modules meanwhile.
    PyObject* threading = nullptr;
    if (PyObject* key = PyUnicode_FromString("threading")) {
        threading = PyImport_GetModule(key);
        Py_DecRef(key);
    }
    PyObject* thread =
        threading != nullptr ? PyObject_CallMethod(threading, "current_thread", nullptr) : nullptr;
    std::string name =
        consume_text(thread != nullptr ? PyObject_GetAttrString(thread, "name") : nullptr);
    Py_DecRef(thread);
    Py_DecRef(threading);
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return name.empty() ? "<unnamed>" : name;
}

// The number threading.get_ident() gives for the calling thread, computed as
// the interpreter computes it. PyThread_get_thread_ident is not used: the
// python3.dll of Python 3.9 on Windows does not export it, and a module that
// imports it cannot load there.
template <class Handle>
unsigned long thread_ident_of(Handle handle) {
    // pthread_t is an integer on Linux and a pointer on macOS.
    if constexpr (std::is_pointer_v<Handle>) {
        return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(handle));
    } else {
        return static_cast<unsigned long>(handle);
    }
}

unsigned long current_thread_ident() {
#ifdef _WIN32
    return thread_ident_of(::GetCurrentThreadId());
#else
    return thread_ident_of(::pthread_self());
#endif
}

// A source path as the report shows it: with '/' between its parts on every
// platform (compilers for Windows write the part after the prefix map with
// backslashes).
std::string report_path(const char* file) {
    std::string path = file;
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

bool backtrace_requested() {
    const char* v = std::getenv("KAVREL_BACKTRACE");
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

std::atomic<bool> hint_given{false};

void write_report(const Panic& p) {
    const std::string name = current_thread_name();
    std::fprintf(stderr, "\nthread '%s' (%lu) panicked at %s:%u:%u:\n%s\n", name.c_str(),
                 current_thread_ident(), report_path(p.where().file_name()).c_str(),
                 static_cast<unsigned>(p.where().line()), static_cast<unsigned>(p.where().column()),
                 p.message().empty() ? "explicit panic" : p.message().c_str());
    if (backtrace_requested()) {
        std::fputs("stack backtrace:\n", stderr);
        std::fflush(stderr);
#ifdef KAVREL_HAVE_BACKTRACE_SYMBOLS
        ::backtrace_symbols_fd(p.frames(), p.frame_count(), 2);
#else
        std::fputs("  (not available on this platform)\n", stderr);
#endif
    } else if (!hint_given.exchange(true)) {
        std::fputs(
            "note: run with `KAVREL_BACKTRACE=1` environment variable to display a backtrace\n",
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
        PyObject* message =
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
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
    PyObject* lines =
        tb_module != nullptr
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

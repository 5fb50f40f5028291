// Internal failures at the boundary of an entry point: the report on standard
// error (thread name, source location, message, backtrace or a hint how to get
// one) and the PanicException that the call raises.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "kavrel/panic.hpp"

namespace kavrel::py {

// Writes the standard-error report and sets PanicException. Never throws; a
// failure while doing so aborts the process.
void raise_panic(const Panic& panic) noexcept;

// "{what}: {description of the pending Python exception}", clearing it.
std::string describe_pending(const char* what);

}  // namespace kavrel::py

// The Python class ResonatorBank: one engine bank plus the instance borrow flag.
#pragma once

#include "call.hpp"

namespace kavrel::py {

// The class object, created once per process on first need (borrowed reference).
PyObject* resonator_bank_type();

}  // namespace kavrel::py

// The module-level functions: pitch, time-constant and smoothing-factor helpers.
#pragma once

#include "call.hpp"

namespace kavrel::py {

// Definitions in registration order, terminated by an all-null entry.
extern PyMethodDef module_functions[];

}  // namespace kavrel::py

// Binding vector-call arguments to a method's parameters.
#pragma once

#include "ref.h"

namespace frame {

// `params` are the interned parameter names (self first), `n` of them.  On
// success `out[0..n)` holds the bound arguments, borrowed from `args`; nothing
// is allocated.  On failure a TypeError naming `name` is set and -1 returned.
int bind_arguments(const char* name, PyObject* const* params, Py_ssize_t n, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

}  // namespace frame

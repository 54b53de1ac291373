// The method function type: behaves to a caller like a plain Python function.
#pragma once

#include "module.h"

#include <string>
#include <vector>

namespace frame {

// Per-method data made at load.  A function object points at it, so it is
// never freed, not even after a failed load: it owns its parameter names.
struct MethodRuntime {
    const MethodInfo* info = nullptr;
    std::vector<PyObject*> params;  // interned parameter names, self first (owned)
    std::string traceback_name;     // "pellar.refbook.Refbook.__init__"
};

int function_type_ready();

// A new function object for `rt`, with the given names, globals and code object.
PyObject* function_new(const MethodRuntime* rt, PyObject* name, PyObject* qualname, PyObject* module,
                       PyObject* globals, PyObject* code);

}  // namespace frame

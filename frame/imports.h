// The top-level import statements of a module.
#pragma once

#include "module.h"

namespace frame {

// Runs one import statement with `globals` as the importing namespace and
// binds its name there.  Returns 0, or -1 with an exception set.
int run_import(const ImportStmt& stmt, PyObject* globals);

}  // namespace frame

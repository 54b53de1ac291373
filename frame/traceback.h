// Traceback entries for failures inside a method or while loading.
#pragma once

#include "ref.h"

namespace frame {

// Adds one entry to the current exception's traceback: function `funcname`,
// file `filename`, line `line`, with `globals` as the frame's globals.  The
// exception that is set stays as it is, even if making the entry fails.
void add_traceback(const char* funcname, const char* filename, int line, PyObject* globals);

}  // namespace frame

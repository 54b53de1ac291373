// What a module tells the frame about itself, and the frame's entry point.
//
// A module source defines its string and constant handles, its built-ins, the
// bodies of its methods and one ModuleInfo, then exports
//
//     PyMODINIT_FUNC PyInit_<short name>(void) { return frame::module_init(info); }
//
// Loading, class creation, binding and failure reports are the frame's.
#pragma once

#include "ref.h"

#include <vector>

namespace frame {

// A method body gets the bound arguments (self first, borrowed).  A failing
// statement throws PyError with its own line, for the traceback entry.
using Body = Ref (*)(PyObject* const* args);

struct MethodInfo {
    const char* name;
    std::vector<const char*> params;  // self first
    std::vector<const char*> locals;  // local variable names, after the params
    Body body;
    int line;                          // definition line
};

// One top-level import statement, run in order before the class is made:
//   import M             {Import, "M", nullptr, nullptr}
//   import M as N        {Import, "M", nullptr, "N"}
//   from M import X      {From,   "M", "X",     nullptr}
struct ImportStmt {
    enum Kind { Import, From } kind;
    const char* module;
    const char* name;
    const char* as;
    int line;
};

struct ModuleInfo {
    const char* short_name;   // "refbook"
    const char* full_name;    // "pellar.refbook"
    const char* source_file;  // "pellar/refbook"
    const char* class_name;   // "Refbook"
    std::vector<ImportStmt> imports;
    std::vector<MethodInfo> methods;
    int class_line;
    int test_line;            // the `__test__ = {}` statement
    // Called once the imports have bound their names, before the class is
    // made: for what a module prepares from the objects it imported.  Returns
    // 0, or -1 with an exception set (the load then fails).
    int (*after_imports)() = nullptr;
};

// The process-wide state that method bodies read.
PyObject* module_dict();      // the module namespace (borrowed)
PyObject* builtins_module();  // the `builtins` module (borrowed)
const ModuleInfo& module_info();

PyObject* module_init(const ModuleInfo& info);

}  // namespace frame

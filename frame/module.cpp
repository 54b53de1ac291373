// Entry point, create step and exec step.
#include "module.h"

#include "function.h"
#include "imports.h"
#include "strings.h"
#include "traceback.h"

#include <cstdint>
#include <deque>
#include <string>

// The interpreter version this module is built for.  A build may name another
// minor version to exercise the mismatch warning.
#ifndef PELLAR_BUILT_FOR_MINOR
#define PELLAR_BUILT_FOR_MINOR PY_MINOR_VERSION
#endif

namespace frame {
namespace {

// Process-wide state of this module (one copy per extension module).
struct State {
    const ModuleInfo* info = nullptr;
    PyObject* module = nullptr;
    int64_t interpreter_id = -1;
    PyObject* dict = nullptr;
    PyObject* builtins = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_str = nullptr;
    std::deque<MethodRuntime> methods;  // grows only: function objects point into it
    std::vector<PyObject*> codes;
    bool functions_made = false;
    std::string init_name;

    // Back to "absent" after a failed exec step.  Once function objects exist
    // their strings and constants stay: something may still reach them.
    void release() {
        Py_CLEAR(module);
        dict = nullptr;
        if (functions_made) return;
        for (PyObject*& c : codes) Py_CLEAR(c);
        codes.clear();
        Py_CLEAR(empty_str);
        Py_CLEAR(empty_bytes);
        Py_CLEAR(empty_tuple);
        Py_CLEAR(builtins);
        Tables::release();
    }
};

State state;
PyModuleDef definition;
PyModuleDef_Slot slots[3];

// Copies spec.<attr> to module.<target>; a missing attribute is skipped.
int copy_spec_attr(PyObject* spec, PyObject* module, const char* attr, const char* target, bool skip_none) {
    PyObject* value = PyObject_GetAttrString(spec, attr);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    int r = 0;
    if (!(skip_none && value == Py_None)) r = PyObject_SetAttrString(module, target, value);
    Py_DECREF(value);
    return r;
}

PyObject* create_step(PyObject* spec, PyModuleDef*) {
    const int64_t id = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (state.interpreter_id == -1) {
        state.interpreter_id = id;
        if (id == -1) return nullptr;
    } else if (id != state.interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);

    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;
    if (copy_spec_attr(spec, module, "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, module, "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, module, "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, module, "submodule_search_locations", "__path__", true) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

int version_check() {
    const int major = (int)((Py_Version >> 24) & 0xff);
    const int minor = (int)((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PELLAR_BUILT_FOR_MINOR) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PELLAR_BUILT_FOR_MINOR, state.info->full_name, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// Interned names of one method, its code object and function object.
PyObject* make_function(const MethodInfo& m, MethodRuntime& rt, PyObject* name, PyObject* full_name,
                        PyObject* class_qual) {
    Ref qualname = take(PyUnicode_FromFormat("%U.%U", class_qual, name));
    // Variable names: the parameters, then the locals.
    Ref varnames = take(PyTuple_New((Py_ssize_t)(m.params.size() + m.locals.size())));
    Py_ssize_t i = 0;
    for (const char* p : m.params) {
        PyObject* s = intern_at_load(p);
        if (!s) raise();
        rt.params.push_back(Py_NewRef(s));
        PyTuple_SET_ITEM(varnames.get(), i++, Py_NewRef(s));
    }
    for (const char* l : m.locals) {
        PyObject* s = intern_at_load(l);
        if (!s) raise();
        PyTuple_SET_ITEM(varnames.get(), i++, Py_NewRef(s));
    }
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(state.info->source_file, m.name, m.line)));
    if (!empty) raise();
    Ref replace = take(PyObject_GetAttrString(empty.get(), "replace"));
    Ref kwargs = take(PyDict_New());
    Ref argcount = take(PyLong_FromSsize_t((Py_ssize_t)m.params.size()));
    Ref nlocals = take(PyLong_FromSsize_t(i));
    check(PyDict_SetItemString(kwargs.get(), "co_argcount", argcount.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_nlocals", nlocals.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_varnames", varnames.get()));
    check(PyDict_SetItemString(kwargs.get(), "co_qualname", qualname.get()));
    Ref code = take(PyObject_Call(replace.get(), state.empty_tuple, kwargs.get()));
    state.codes.push_back(Py_NewRef(code.get()));
    rt.info = &m;
    rt.traceback_name = std::string(state.info->full_name) + "." + state.info->class_name + "." + m.name;
    return function_new(&rt, name, qualname.get(), full_name, state.dict, code.get());
}

// class <Name>: the namespace, one function per method, then type(name, (), ns).
void define_class(PyObject* full_name) {
    const ModuleInfo& info = *state.info;
    PyObject* class_name = intern_at_load(info.class_name);
    if (!class_name) raise();
    Ref ns = take(PyDict_New());
    check(PyDict_SetItemString(ns.get(), "__module__", full_name));
    check(PyDict_SetItemString(ns.get(), "__qualname__", class_name));
    const size_t first = state.methods.size();
    state.methods.resize(first + info.methods.size());
    for (size_t k = 0; k < info.methods.size(); ++k) {
        PyObject* name = intern_at_load(info.methods[k].name);
        if (!name) raise();
        state.functions_made = true;
        Ref fn = take(make_function(info.methods[k], state.methods[first + k], name, full_name, class_name));
        check(PyDict_SetItem(ns.get(), name, fn.get()));
    }
    Ref cls = take(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), class_name,
                                                state.empty_tuple, ns.get(), nullptr));
    check(PyDict_SetItem(state.dict, class_name, cls.get()));
}

int exec_step(PyObject* module) {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     state.info->short_name);
        return -1;
    }
    const ModuleInfo& info = *state.info;
    bool tables_made = false;
    int line = 1;
    try {
        state.module = Py_NewRef(module);
        state.dict = PyModule_GetDict(module);
        state.builtins = take(PyImport_ImportModule("builtins")).release();
        check(PyObject_SetAttrString(module, "__builtins__", state.builtins));
        check(version_check());
        state.empty_tuple = take(PyTuple_New(0)).release();
        state.empty_bytes = take(PyBytes_FromStringAndSize("", 0)).release();
        state.empty_str = take(PyUnicode_FromStringAndSize("", 0)).release();
        check(Tables::make_strings());
        PyObject* full_name = intern_at_load(info.full_name);
        if (!full_name) raise();
        state.init_name = std::string("init ") + info.full_name;
        check(Tables::make_ints());
        tables_made = true;

        PyObject* modules = PyImport_GetModuleDict();
        if (!check_borrowed(PyDict_GetItemWithError(modules, full_name)))
            check(PyDict_SetItem(modules, full_name, module));
        check(Tables::resolve_builtins(state.builtins));
        check(Tables::make_consts());
        check(function_type_ready());

        for (const ImportStmt& stmt : info.imports) {
            line = stmt.line;
            check(run_import(stmt, state.dict));
        }
        if (info.after_imports) check(info.after_imports());
        line = info.class_line;
        define_class(full_name);
        line = info.test_line;
        Ref test = take(PyDict_New());
        check(PyDict_SetItemString(state.dict, "__test__", test.get()));
        return 0;
    } catch (const PyError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (tables_made) add_traceback(state.init_name.c_str(), info.source_file, line, state.dict);
    state.release();
    return -1;
}

}  // namespace

PyObject* module_dict() { return state.dict; }
PyObject* builtins_module() { return state.builtins; }
const ModuleInfo& module_info() { return *state.info; }

PyObject* module_init(const ModuleInfo& info) {
    if (state.info) return PyModuleDef_Init(&definition);
    state.info = &info;
    definition.m_base = PyModuleDef_HEAD_INIT;
    definition.m_name = info.short_name;
    definition.m_doc = nullptr;
    definition.m_size = 0;
    slots[0] = {Py_mod_create, reinterpret_cast<void*>(create_step)};
    slots[1] = {Py_mod_exec, reinterpret_cast<void*>(exec_step)};
    slots[2] = {0, nullptr};
    definition.m_slots = slots;
    return PyModuleDef_Init(&definition);
}

}  // namespace frame

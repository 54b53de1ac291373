#include "imports.h"

namespace frame {
namespace {

// `import M`: an entry of sys.modules that is not still initialising is taken
// as it is; otherwise the import system imports it (absolute, level 0).
Ref import_module(PyObject* name, PyObject* globals) {
    PyObject* entry = check_borrowed(PyDict_GetItemWithError(PyImport_GetModuleDict(), name));
    if (entry) {
        Ref held = Ref::borrow(entry);
        bool initializing = false;
        Ref spec = Ref::steal(PyObject_GetAttrString(entry, "__spec__"));
        if (spec) {
            Ref flag = Ref::steal(PyObject_GetAttrString(spec.get(), "_initializing"));
            if (flag) initializing = check(PyObject_IsTrue(flag.get())) == 1;
            else if (PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
            else raise();
        } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            raise();
        }
        if (!initializing) return held;
    }
    return take(PyImport_ImportModuleLevelObject(name, globals, nullptr, nullptr, 0));
}

// `from M import X`, with the fallback to the sys.modules entry "M.X".
Ref import_from(PyObject* module_name, PyObject* name, PyObject* globals) {
    Ref fromlist = take(PyTuple_Pack(1, name));
    Ref module = take(PyImport_ImportModuleLevelObject(module_name, globals, nullptr, fromlist.get(), 0));
    PyObject* value = PyObject_GetAttr(module.get(), name);
    if (value) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    Ref own_name = Ref::steal(PyObject_GetAttrString(module.get(), "__name__"));
    if (own_name) {
        Ref full = take(PyUnicode_FromFormat("%S.%S", own_name.get(), name));
        PyObject* entry = check_borrowed(PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get()));
        if (entry) return Ref::borrow(entry);
    } else {
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    raise();
}

}  // namespace

int run_import(const ImportStmt& stmt, PyObject* globals) {
    try {
        Ref module_name = take(PyUnicode_InternFromString(stmt.module));
        if (stmt.kind == ImportStmt::Import) {
            Ref module = import_module(module_name.get(), globals);
            return PyDict_SetItemString(globals, stmt.as ? stmt.as : stmt.module, module.get());
        }
        Ref name = take(PyUnicode_InternFromString(stmt.name));
        Ref value = import_from(module_name.get(), name.get(), globals);
        return PyDict_SetItem(globals, name.get(), value.get());
    } catch (const PyError&) {
        return -1;
    }
}

}  // namespace frame

#include "function.h"

#include "binding.h"
#include "traceback.h"

#include <cstddef>
#include <new>
#include <structmember.h>

namespace frame {
namespace {

constexpr Py_ssize_t kMaxParams = 8;

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodRuntime* rt;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
};

Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

PyObject* function_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Function* f = as_function(self);
    const MethodRuntime& rt = *f->rt;
    const MethodInfo& m = *rt.info;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t n = (Py_ssize_t)rt.params.size();
    PyObject* bound[kMaxParams];
    int line = m.line;  // binding failures report the definition line
    // The common call, all arguments by position, binds by using them as they are.
    PyObject* const* use = args;
    if (kwnames || nargs != n) {
        use = bind_arguments(m.name, rt.params.data(), n, args, nargs, kwnames, bound) == 0 ? bound : nullptr;
    }
    if (use) {
        try {
            Ref result = m.body(use);
            if (result) return result.release();
        } catch (const PyError& e) {
            if (e.line > 0) line = e.line;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "method body failed without an exception");
    add_traceback(rt.traceback_name.c_str(), module_info().source_file, line,
                  f->globals ? f->globals : module_dict());
    return nullptr;
}

// Read from an instance the function binds; read from the class it is itself.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == Py_None || obj == nullptr) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

// Breaks reference cycles.  The names and the code object cannot be part of
// one, so they stay: a function that a finaliser still reaches after a clear
// keeps its names, and a call of it reports against the module namespace.
int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Function* f = as_function(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    PyObject_GC_Del(self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_str(PyObject** slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) {
    return set_str(&as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_type_params(PyObject*, void*) { return PyTuple_New(0); }
PyObject* get_builtins(PyObject* self, void*) {
    PyObject* globals = as_function(self)->globals;
    PyObject* b = globals ? PyDict_GetItemString(globals, "__builtins__") : nullptr;
    if (b && PyModule_Check(b)) b = PyModule_GetDict(b);
    if (!b) b = PyEval_GetBuiltins();
    return Py_NewRef(b);
}

PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// Pickled and deep-copied by reference, like a plain function.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(Function, code), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject FunctionType;

}  // namespace

int function_type_ready() {
    PyTypeObject& t = FunctionType;
    if (t.tp_flags & Py_TPFLAGS_READY) return 0;
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);  // static: never released
    t.tp_name = "pellar.function";
    t.tp_basicsize = sizeof(Function);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                 Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(Function, weakrefs);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(Function, dict);
    return PyType_Ready(&t);
}

PyObject* function_new(const MethodRuntime* rt, PyObject* name, PyObject* qualname, PyObject* module,
                       PyObject* globals, PyObject* code) {
    if ((Py_ssize_t)rt->params.size() > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a method");
        return nullptr;
    }
    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) return nullptr;
    f->vectorcall = function_call;
    f->rt = rt;
    f->name = Py_NewRef(name);
    f->qualname = Py_NewRef(qualname);
    f->module = Py_NewRef(module);
    f->doc = Py_NewRef(Py_None);
    f->globals = Py_NewRef(globals);
    f->code = Py_NewRef(code);
    f->annotations = nullptr;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace frame

#include "ops.h"

#include "module.h"

#include <vector>

namespace frame {

Str str_items("items");
static Str str_enter("__enter__");
static Str str_exit("__exit__");
static Str str_empty("");

Ref global(const Str& name, Loc loc) {
    PyObject* v = check_borrowed(PyDict_GetItemWithError(module_dict(), name.get()), loc);
    if (!v) v = check_borrowed(PyDict_GetItemWithError(PyModule_GetDict(builtins_module()), name.get()), loc);
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        raise(loc);
    }
    return Ref::borrow(v);
}

Ref call_method(PyObject* o, const Str& name, std::initializer_list<PyObject*> args, Loc loc) {
    constexpr size_t kMax = 8;
    if (args.size() >= kMax) {
        PyErr_SetString(PyExc_SystemError, "call_method: too many arguments");
        raise(loc);
    }
    PyObject* stack[kMax];
    stack[0] = o;
    size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    return take(PyObject_VectorcallMethod(name.get(), stack, n, nullptr), loc);
}

Ref type_lookup(PyTypeObject* type, PyObject* name, Loc loc) {
    Ref mro = Ref::borrow(type->tp_mro);  // a tuple once the type is ready
    if (!mro) return Ref();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        Ref dict = take(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))), loc);
        PyObject* found = check_borrowed(PyDict_GetItemWithError(dict.get(), name), loc);
        if (found) return Ref::borrow(found);
    }
    return Ref();
}

Ref display_text(PyObject* o, Loc loc) {
    if (PyUnicode_CheckExact(o)) return Ref::borrow(o);
    if (PyLong_CheckExact(o) || PyFloat_CheckExact(o)) return take(PyObject_Repr(o), loc);
    return take(PyObject_Format(o, str_empty.get()), loc);
}

void unpack(PyObject* o, Py_ssize_t n, Ref* out, Loc loc) {
    auto too_few = [loc](Py_ssize_t got) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
        raise(loc);
    };
    auto too_many = [n, loc] {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        raise(loc);
    };
    if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(o);
        if (size > n) too_many();
        if (size < n) too_few(size);
        PyObject** items = PySequence_Fast_ITEMS(o);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
        return;
    }
    Ref it = take(PyObject_GetIter(o), loc);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!next(it.get(), out[i], loc)) too_few(i);
    Ref extra;
    if (next(it.get(), extra, loc)) too_many();
}

With::With(PyObject* cm, Loc loc) : cm_(Ref::borrow(cm)) {
    PyTypeObject* type = Py_TYPE(cm);
    Ref exit = type_lookup(type, str_exit.get(), loc);
    Ref enter = type_lookup(type, str_enter.get(), loc);
    if (!enter || !exit) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                     type->tp_name, enter ? " (missed __exit__ method)" : "");
        raise(loc);
    }
    auto bind = [cm, loc](PyObject* descr) {
        descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
        return get ? take(get(descr, cm, reinterpret_cast<PyObject*>(Py_TYPE(cm))), loc) : Ref::borrow(descr);
    };
    exit_ = bind(exit.get());
    Ref bound_enter = bind(enter.get());
    value_ = call(bound_enter.get(), {}, loc);
}

void With::exit_ok(Loc loc) {
    Ref r = call(exit_.get(), {Py_None, Py_None, Py_None}, loc);
}

With::Exit With::exit_failed() {
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* tb = PyException_GetTraceback(exc);
    PyObject* args[3] = {reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, tb ? tb : Py_None};
    // __exit__ runs, and its result is tested, while the exception is being
    // handled, as in an except block: whatever they raise is chained to it by
    // the interpreter's own rules (no cycle when __exit__ re-raises it).
    PyObject* outer = PyErr_GetHandledException();
    PyErr_SetHandledException(exc);
    PyObject* r = PyObject_Vectorcall(exit_.get(), args, 3, nullptr);
    Py_XDECREF(tb);
    const int swallowed = r ? PyObject_IsTrue(r) : -1;
    Py_XDECREF(r);
    PyErr_SetHandledException(outer);
    Py_XDECREF(outer);
    if (swallowed < 0) {
        Py_DECREF(exc);
        return Exit::Raised;
    }
    if (swallowed) {
        Py_DECREF(exc);
        return Exit::Swallowed;
    }
    PyErr_SetRaisedException(exc);
    return Exit::Propagate;
}

}  // namespace frame

#include "binding.h"

namespace frame {
namespace {

int count_error(const char* name, Py_ssize_t n, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
                 "exactly", n, n == 1 ? "" : "s", given);
    return -1;
}

bool same_name(PyObject* key, PyObject* param) {
    // Parameter names are interned str; a key that is not a str never equals one.
    return PyUnicode_Check(key) && PyUnicode_Compare(key, param) == 0;
}

// Index in kwnames of the keyword naming `param`: identity first, then equality.
Py_ssize_t find_keyword(PyObject* kwnames, Py_ssize_t nkw, PyObject* param) {
    PyObject* const* keys = &PyTuple_GET_ITEM(kwnames, 0);
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (keys[k] == param) return k;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (same_name(keys[k], param)) return k;
    return -1;
}

// Index of the parameter in [from, to) that `key` names, or -1.
Py_ssize_t find_param(PyObject* const* params, Py_ssize_t from, Py_ssize_t to, PyObject* key) {
    for (Py_ssize_t i = from; i < to; ++i)
        if (params[i] == key) return i;
    for (Py_ssize_t i = from; i < to; ++i)
        if (same_name(key, params[i])) return i;
    return -1;
}

}  // namespace

int bind_arguments(const char* name, PyObject* const* params, Py_ssize_t n, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs != n) return count_error(name, n, nargs);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = args[i];
        return 0;
    }
    if (nargs > n) return count_error(name, n, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (Py_ssize_t i = nargs; i < n; ++i) {
        const Py_ssize_t k = find_keyword(kwnames, nkw, params[i]);
        if (k < 0) return count_error(name, n, i);
        out[i] = args[nargs + k];
    }
    if (nkw == n - nargs) return 0;

    // Keywords left over: each is taken in turn, so of a name given twice the
    // later value binds; the first one that names no unfilled parameter decides.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t i = find_param(params, nargs, n, key);
        if (i >= 0) {
            out[i] = args[nargs + k];
            continue;
        }
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
        } else if (find_param(params, 0, nargs, key) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
        }
        return -1;
    }
    return 0;
}

}  // namespace frame

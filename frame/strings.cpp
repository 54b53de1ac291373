#include "strings.h"

#include <cstring>
#include <vector>

namespace frame {
namespace {

// Function-local statics: safe to use from other translation units' static
// initialisers, and one set per extension module (the library is linked into
// each with hidden visibility).
std::vector<Str*>& strings() {
    static std::vector<Str*> v;
    return v;
}
std::vector<Int*>& ints() {
    static std::vector<Int*> v;
    return v;
}
std::vector<Const*>& consts() {
    static std::vector<Const*> v;
    return v;
}
std::vector<Builtin*>& builtins() {
    static std::vector<Builtin*> v;
    return v;
}
std::vector<PyObject*>& load_strings() {
    static std::vector<PyObject*> v;
    return v;
}

bool is_identifier(const char* s) {
    if (!*s) return false;
    for (const char* c = s; *c; ++c) {
        const bool alpha = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || *c == '_';
        const bool digit = *c >= '0' && *c <= '9';
        if (!alpha && !(digit && c != s)) return false;
    }
    return true;
}

// Identifiers are interned; other literals are decoded.  Both are hashed now
// so that no call has to.
PyObject* make_str(const char* text) {
    PyObject* s = is_identifier(text) ? PyUnicode_InternFromString(text)
                                      : PyUnicode_DecodeUTF8(text, (Py_ssize_t)std::strlen(text), "strict");
    if (s && PyObject_Hash(s) == -1) Py_CLEAR(s);
    return s;
}

}  // namespace

Str::Str(const char* text) : text_(text) { strings().push_back(this); }
Int::Int(long value) : value_(value) { ints().push_back(this); }
Const::Const(std::function<PyObject*()> make) : make_(std::move(make)) { consts().push_back(this); }
Builtin::Builtin(const char* name) : name_(name) { builtins().push_back(this); }

int Tables::make_strings() {
    for (Str* s : strings()) {
        s->obj_ = make_str(s->text_);
        if (!s->obj_) return -1;
    }
    return 0;
}

int Tables::make_ints() {
    for (Int* i : ints()) {
        i->obj_ = PyLong_FromLong(i->value_);
        if (!i->obj_) return -1;
    }
    return 0;
}

int Tables::resolve_builtins(PyObject* builtins_module) {
    for (Builtin* b : builtins()) {
        b->obj_ = PyObject_GetAttr(builtins_module, b->name_.get());
        if (!b->obj_) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", b->name_.get());
            }
            return -1;
        }
    }
    return 0;
}

int Tables::make_consts() {
    for (Const* c : consts()) {
        c->obj_ = c->make_();
        if (!c->obj_) return -1;
    }
    return 0;
}

void Tables::release() {
    for (Builtin* b : builtins()) Py_CLEAR(b->obj_);
    for (Const* c : consts()) Py_CLEAR(c->obj_);
    for (Int* i : ints()) Py_CLEAR(i->obj_);
    for (Str* s : strings()) Py_CLEAR(s->obj_);
    for (PyObject*& s : load_strings()) Py_CLEAR(s);
    load_strings().clear();
}

PyObject* intern_at_load(const char* text) {
    PyObject* s = make_str(text);
    if (s) load_strings().push_back(s);
    return s;
}

}  // namespace frame

// Operations that method bodies of several modules share.  Each one does what
// the corresponding statement of a plain Python method does, with the same
// results and errors; failures throw PyError carrying the caller's line (see
// ref.h).
#pragma once

#include "strings.h"

#include <initializer_list>

namespace frame {

// A module-level name: the module namespace, then the built-ins; NameError
// "name '...' is not defined" when neither has it.
Ref global(const Str& name, Loc loc = Loc::current());

inline Ref getattr(PyObject* o, const Str& name, Loc loc = Loc::current()) {
    return take(PyObject_GetAttr(o, name.get()), loc);
}
// `o.name = value` through the type's attribute setting (the names of the
// string table are interned already, so the type's slot is called directly).
inline void setattr(PyObject* o, const Str& name, PyObject* value, Loc loc = Loc::current()) {
    setattrofunc set = Py_TYPE(o)->tp_setattro;
    check(set ? set(o, name.get(), value) : PyObject_SetAttr(o, name.get(), value), loc);
}

// f(*args)
inline Ref call(PyObject* f, std::initializer_list<PyObject*> args, Loc loc = Loc::current()) {
    return take(PyObject_Vectorcall(f, const_cast<PyObject**>(args.begin()), args.size(), nullptr), loc);
}
// o.name(*args), looked up as `o.name` is.
Ref call_method(PyObject* o, const Str& name, std::initializer_list<PyObject*> args, Loc loc = Loc::current());

// What `name` is in the namespace of `type` or of the first of its bases that
// has it, as special methods are found (no descriptor is bound); null when
// none has it.
Ref type_lookup(PyTypeObject* type, PyObject* name, Loc loc = Loc::current());

// True when o is true.
inline bool truth(PyObject* o, Loc loc = Loc::current()) { return check(PyObject_IsTrue(o), loc) == 1; }

// Text of an object in a printed or written line: an exact str as it is, an
// exact int or float as its repr, anything else through format(o, "").
Ref display_text(PyObject* o, Loc loc = Loc::current());

// `a, b, ... = o` into out[0..n): the unpacking messages of this system.
void unpack(PyObject* o, Py_ssize_t n, Ref* out, Loc loc = Loc::current());

// For a native loop that can run long: pending signals (Ctrl-C) are handled
// every `every` turns, as the interpreter's own loop handles them between
// bytecodes, so that KeyboardInterrupt comes promptly.
class SignalCheck {
public:
    explicit SignalCheck(unsigned every = 4096) : every_(every) {}
    void operator()(Loc loc = Loc::current()) {
        if (++turns_ < every_) return;
        turns_ = 0;
        if (PyErr_CheckSignals() < 0) raise(loc);
    }

private:
    unsigned turns_ = 0, every_;
};

// `next(it)`: false at the end; an exception other than StopIteration throws.
// A loop over an iterator that never ends, and runs no Python code, still
// answers Ctrl-C: pending signals are handled every few thousand calls.
inline bool next(PyObject* it, Ref& out, Loc loc = Loc::current()) {
    static SignalCheck signals;
    signals(loc);
    out = Ref::steal(PyIter_Next(it));
    if (out) return true;
    if (PyErr_Occurred()) raise(loc);
    return false;
}

// for key, value in mapping.items(): an exact dict is walked directly (a change
// of it during the walk raises RuntimeError); anything else through its
// `items` method, each element unpacked into two.
template <typename F>
void for_each_item(PyObject* mapping, F&& body, Loc loc = Loc::current());

// `with cm as value:` -- the type's __exit__ is looked up first, then
// __enter__ is called.  Call exit_ok() after the block; on a failure call
// exit_failed(): Exit::Swallowed when __exit__ swallowed the exception,
// Exit::Propagate when it goes on unchanged, Exit::Raised when __exit__ (or
// the test of its result) raised instead.
class With {
public:
    explicit With(PyObject* cm, Loc loc = Loc::current());
    PyObject* value() const { return value_.get(); }
    void exit_ok(Loc loc = Loc::current());
    enum class Exit { Swallowed, Propagate, Raised };
    Exit exit_failed();

private:
    Ref cm_, exit_, value_;
};

// Runs `block(value)` inside `with cm as value:`.  Returns normally when the
// block completed or __exit__ swallowed its exception.  A failure of the block
// keeps its own line; one of __enter__ or __exit__ reports the with statement's.
template <typename F>
void with_block(PyObject* cm, F&& block, Loc loc = Loc::current()) {
    With w(cm, loc);
    try {
        block(w.value());
    } catch (const PyError&) {
        const With::Exit e = w.exit_failed();
        if (e == With::Exit::Swallowed) return;
        if (e == With::Exit::Raised) raise(loc);
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        if (w.exit_failed() != With::Exit::Swallowed) raise(loc);
        return;
    }
    w.exit_ok(loc);
}

// ---- template bodies ----

extern Str str_items;

template <typename F>
void for_each_item(PyObject* mapping, F&& body, Loc loc) {
    if (PyDict_CheckExact(mapping)) {
        // As dict iteration does: a change of size, or keys replaced while the
        // size stayed, ends the walk with RuntimeError.
        Ref held = Ref::borrow(mapping);
        const Py_ssize_t size = PyDict_GET_SIZE(mapping);
        Py_ssize_t left = size, pos = 0;
        PyObject *k, *v;
        SignalCheck signals;
        for (;;) {
            signals(loc);
            if (PyDict_GET_SIZE(mapping) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                raise(loc);
            }
            if (!PyDict_Next(mapping, &pos, &k, &v)) break;
            if (left-- == 0) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                raise(loc);
            }
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            body(key.get(), value.get());
        }
        return;
    }
    Ref items = call_method(mapping, str_items, {}, loc);
    Ref it = take(PyObject_GetIter(items.get()), loc);
    Ref pair, kv[2];
    while (next(it.get(), pair, loc)) {
        unpack(pair.get(), 2, kv, loc);
        body(kv[0].get(), kv[1].get());
    }
}

}  // namespace frame

// Owned references and the error convention of method bodies.
//
// A body never returns NULL by hand: every interpreter call that can fail goes
// through take() or check(), which throw PyError once the interpreter has an
// exception set.  The error carries the line of the statement that failed: each
// of these operations takes its call site as a defaulted argument, so a body is
// only its statements.  The function object's call wrapper catches the error,
// adds the traceback entry for that line and returns NULL.  Owned references
// live in Ref, so every path, errors included, releases what it made.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace frame {

// Where an operation was called from; only its line is reported.  As a
// defaulted argument, `Loc loc = Loc::current()` is the caller's line (the
// builtin in a default argument is evaluated where the call stands, as
// std::source_location::current is, which not every standard library has).
class Loc {
public:
    static constexpr Loc current(int line = __builtin_LINE()) noexcept { return Loc(line); }
    constexpr int line() const noexcept { return line_; }

private:
    constexpr explicit Loc(int line) noexcept : line_(line) {}
    int line_;
};

// Thrown when the interpreter has an exception set; `line` is the line of the
// failing statement in the module's source (0: not known).
struct PyError {
    int line = 0;
};

[[noreturn]] inline void raise(Loc loc = Loc::current()) { throw PyError{loc.line()}; }

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    // Take over a reference the caller owns (may be NULL).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Hold a new reference to a borrowed object (may be NULL).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference from an API call; NULL means an exception is set.
inline Ref take(PyObject* p, Loc loc = Loc::current()) {
    if (!p) raise(loc);
    return Ref::steal(p);
}

// An int status from an API call; -1 means an exception is set.
inline int check(int r, Loc loc = Loc::current()) {
    if (r < 0) raise(loc);
    return r;
}

// A borrowed result that is NULL only on error (PyErr_Occurred distinguishes
// "absent" from "failed" for lookups such as PyDict_GetItemWithError).
inline PyObject* check_borrowed(PyObject* p, Loc loc = Loc::current()) {
    if (!p && PyErr_Occurred()) raise(loc);
    return p;
}

inline Ref none() noexcept { return Ref::borrow(Py_None); }

}  // namespace frame

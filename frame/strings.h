// The module's string table and constants, made once at load.
//
// A module declares each string, integer and constant it uses as a static
// handle at namespace scope.  Declaring one registers it; the exec step makes
// all of them (strings interned or decoded and hashed, then integers, then the
// other constants) and a failed load releases them again.  Handles of one
// translation unit register in definition order.
#pragma once

#include "ref.h"

#include <functional>

namespace frame {

class Str {
public:
    explicit Str(const char* text);
    PyObject* get() const noexcept { return obj_; }
    const char* text() const noexcept { return text_; }

private:
    friend struct Tables;
    const char* text_;
    PyObject* obj_ = nullptr;
};

class Int {
public:
    explicit Int(long value);
    PyObject* get() const noexcept { return obj_; }

private:
    friend struct Tables;
    long value_;
    PyObject* obj_ = nullptr;
};

// Any other constant (slices, tuples): built by `make` after strings and ints.
class Const {
public:
    explicit Const(std::function<PyObject*()> make);
    PyObject* get() const noexcept { return obj_; }

private:
    friend struct Tables;
    std::function<PyObject*()> make_;
    PyObject* obj_ = nullptr;
};

// A built-in function resolved once at load, by attribute lookup on `builtins`.
class Builtin {
public:
    explicit Builtin(const char* name);
    PyObject* get() const noexcept { return obj_; }

private:
    friend struct Tables;
    Str name_;
    PyObject* obj_ = nullptr;
};

// Load-time steps, called by the exec step in this order.
struct Tables {
    static int make_strings();
    static int make_ints();
    static int resolve_builtins(PyObject* builtins_module);
    static int make_consts();
    static void release();
};

// Interned str for a C string made while loading (method, class and
// parameter names); kept in the string table and released with it.
PyObject* intern_at_load(const char* text);

}  // namespace frame

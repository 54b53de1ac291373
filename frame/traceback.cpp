#include "traceback.h"

#include <frameobject.h>

#include <map>
#include <new>
#include <utility>

namespace frame {
namespace {

// A traceback shows the first line of an empty code object, so there is one
// code object per (function, line); they are kept for the life of the process.
PyCodeObject* code_for(const char* funcname, const char* filename, int line) {
    static std::map<std::pair<const char*, int>, PyCodeObject*> cache;
    auto key = std::make_pair(funcname, line);
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    PyCodeObject* code = PyCode_NewEmpty(filename, funcname, line);
    if (code) {
        try {
            cache.emplace(key, code);
        } catch (const std::bad_alloc&) {
            // Not kept: this entry's code object is made again next time.
            static PyCodeObject* last = nullptr;
            Py_XSETREF(last, code);
        }
    }
    return code;
}

}  // namespace

void add_traceback(const char* funcname, const char* filename, int line, PyObject* globals) {
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = code_for(funcname, filename, line);
    PyFrameObject* f = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    if (!f) {
        // Making the entry failed: report the original exception without it.
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(f);
    Py_DECREF(f);
}

}  // namespace frame

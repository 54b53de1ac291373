#include "bulkio.h"

#include "module.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <sys/stat.h>

namespace frame {
namespace {

Str str_buffer("buffer");
Str str_raw("raw");
Str str_chunk_size("_CHUNK_SIZE");
Str str_encoding("encoding");
Str str_errors("errors");
Str str_read1("read1");
Str str_decode("decode");
Str str_write("write");
Str str_errno("errno");
Str str_fileno("fileno");

// The io classes and functions that `open` uses, found when first needed.
struct IoTypes {
    PyObject* module = nullptr;  // _io
    PyObject* text = nullptr;    // TextIOWrapper
    PyObject* reader = nullptr;  // BufferedReader
    PyObject* writer = nullptr;  // BufferedWriter
    PyObject* raw = nullptr;     // FileIO
    PyObject* newlines = nullptr;  // IncrementalNewlineDecoder
} io;

// Never fails: without them a file takes its own methods (and the next call
// tries again, after a failed allocation say).  Held for the life of the
// process once found.
const IoTypes* io_types() {
    if (io.module) return &io;
    PyObject* m = PyImport_ImportModule("_io");
    if (!m) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject** slots[] = {&io.text, &io.reader, &io.writer, &io.raw, &io.newlines};
    const char* names[] = {"TextIOWrapper", "BufferedReader", "BufferedWriter", "FileIO",
                           "IncrementalNewlineDecoder"};
    for (int i = 0; i < 5; ++i) {
        *slots[i] = PyObject_GetAttrString(m, names[i]);
        if (!*slots[i] || !PyType_Check(*slots[i])) {
            PyErr_Clear();
            for (PyObject** s : slots) Py_CLEAR(*s);
            Py_DECREF(m);
            return nullptr;
        }
    }
    io.module = m;
    return &io;
}

bool is_type(PyObject* o, PyObject* type) { return reinterpret_cast<PyObject*>(Py_TYPE(o)) == type; }

// A built-in function `name` of `module`, the very one the interpreter made.
bool is_module_function(PyObject* f, PyObject* module, const char* name) {
    if (!module || !PyCFunction_Check(f) || PyCFunction_GET_SELF(f) != module) return false;
    const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(f)->m_ml;
    return def && def->ml_name && std::strcmp(def->ml_name, name) == 0;
}

// o.name, or null when it cannot be read (the error is dropped).
Ref attr_or_null(PyObject* o, const Str& name) {
    Ref v = Ref::steal(PyObject_GetAttr(o, name.get()));
    if (!v) PyErr_Clear();
    return v;
}

// True when the instance dictionary of `o` has none of `names` (or there is
// none); an error counts as having them.
bool instance_lacks(PyObject* o, std::initializer_list<const Str*> names) {
    if (Py_TYPE(o)->tp_dictoffset == 0) return true;
    Ref dict = Ref::steal(PyObject_GenericGetDict(o, nullptr));
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    for (const Str* name : names) {
        PyObject* v = PyDict_GetItemWithError(dict.get(), name->get());
        if (v || PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// `text` equals one of `names`, ignoring case and "-" against "_".
bool named_one_of(PyObject* text, std::initializer_list<const char*> names) {
    if (!PyUnicode_Check(text) || !PyUnicode_IS_ASCII(text)) return false;
    const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
    const size_t n = (size_t)PyUnicode_GET_LENGTH(text);
    auto norm = [](char c) { return c == '_' ? '-' : (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; };
    for (const char* name : names) {
        if (std::strlen(name) != n) continue;
        size_t i = 0;
        while (i < n && norm(s[i]) == name[i]) ++i;
        if (i == n) return true;
    }
    return false;
}

// An OSError for EINTR: the wrapper reads such a chunk again.
bool interrupted_read() {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return false;
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* code = PyObject_GetAttr(exc, str_errno.get());
    const long e = code && PyLong_Check(code) ? PyLong_AsLong(code) : -1;
    Py_XDECREF(code);
    PyErr_Clear();
    if (e == EINTR) {
        Py_DECREF(exc);
        return true;
    }
    PyErr_SetRaisedException(exc);
    return false;
}

template <typename Out, typename In>
void convert(Out* out, const In* in, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = static_cast<Out>(in[i]);
}

template <typename Out>
void convert_from(Out* out, const TextView& v) {
    switch (v.kind) {
        case 1: convert(out, static_cast<const Py_UCS1*>(v.data), v.len); break;
        case 2: convert(out, static_cast<const Py_UCS2*>(v.data), v.len); break;
        default: convert(out, static_cast<const Py_UCS4*>(v.data), v.len); break;
    }
}

}  // namespace

// ---- TextBuffer -----------------------------------------------------------------------------

void TextBuffer::widen(int kind) {
    std::vector<char> wider((size_t)(len_ > 0 ? len_ : 1) * (size_t)kind * 2);
    const TextView old{kind_, data_.data(), len_, ascii_};
    if (kind == 2) convert_from(reinterpret_cast<Py_UCS2*>(wider.data()), old);
    else convert_from(reinterpret_cast<Py_UCS4*>(wider.data()), old);
    data_.swap(wider);
    kind_ = kind;
}

void TextBuffer::append_converted(const TextView& v) {
    char* at = data_.data() + len_ * kind_;
    if (kind_ == 2) convert_from(reinterpret_cast<Py_UCS2*>(at), v);
    else convert_from(reinterpret_cast<Py_UCS4*>(at), v);
    len_ += v.len;
}

Ref TextBuffer::str(Py_ssize_t from, Py_ssize_t to, Loc loc) const {
    // FromKindAndData finds the narrowest kind that holds the characters.
    return take(PyUnicode_FromKindAndData(kind_, data_.data() + from * kind_, to - from), loc);
}

// ---- the built-ins ------------------------------------------------------------------------

bool is_builtin_open(PyObject* f) {
    const IoTypes* t = io_types();
    return t && is_module_function(f, t->module, "open");
}

bool is_builtin_print(PyObject* f) { return is_module_function(f, builtins_module(), "print"); }

// ---- LineReader -----------------------------------------------------------------------------

bool LineReader::usable(PyObject* opener, PyObject* f) {
    const IoTypes* t = io_types();
    if (!t || !is_builtin_open(opener) || !is_type(f, t->text)) return false;
    Ref buffer = attr_or_null(f, str_buffer);
    if (!buffer || !is_type(buffer.get(), t->reader)) return false;
    Ref raw = attr_or_null(buffer.get(), str_raw);
    // The wrapper calls the buffer's read1: the buffer's own, unshadowed.
    return raw && is_type(raw.get(), t->raw) && instance_lacks(buffer.get(), {&str_read1});
}

LineReader::LineReader(PyObject* f, Loc loc) {
    buffer_ = getattr(f, str_buffer, loc);
    chunk_size_ = getattr(f, str_chunk_size, loc);
    // The decoder the wrapper made: its codec's incremental decoder with its
    // errors, under universal newlines translated to "\n".
    Ref encoding = getattr(f, str_encoding, loc);
    Ref errors = getattr(f, str_errors, loc);
    const char* enc = PyUnicode_AsUTF8(encoding.get());
    if (!enc) raise(loc);
    const char* err = PyUnicode_AsUTF8(errors.get());
    if (!err) raise(loc);
    Ref inner = take(PyCodec_IncrementalDecoder(enc, err), loc);
    decoder_ = call(io_types()->newlines, {inner.get(), Py_True}, loc);
    // FileIO keeps its descriptor as an int; nothing is read here.
    Ref raw = getattr(buffer_.get(), str_raw, loc);
    Ref fd = call_method(raw.get(), str_fileno, {}, loc);
    struct stat st;
    const long n = PyLong_AsLong(fd.get());
    if (n == -1 && PyErr_Occurred()) raise(loc);
    if (fstat((int)n, &st) == 0 && S_ISREG(st.st_mode)) size_hint_ = (long long)st.st_size;
}

bool LineReader::next_piece(Loc loc) {
    for (;;) {
        Ref chunk;
        for (;;) {
            PyObject* args[2] = {buffer_.get(), chunk_size_.get()};
            chunk = Ref::steal(PyObject_VectorcallMethod(str_read1.get(), args, 2, nullptr));
            if (chunk) break;
            if (!interrupted_read()) raise(loc);
        }
        if (!PyBytes_Check(chunk.get())) {
            PyErr_Format(PyExc_TypeError, "underlying read1() should have returned a bytes-like object, not '%.200s'",
                         Py_TYPE(chunk.get())->tp_name);
            raise(loc);
        }
        const bool eof = PyBytes_GET_SIZE(chunk.get()) == 0;
        Ref text = call_method(decoder_.get(), str_decode, {chunk.get(), eof ? Py_True : Py_False}, loc);
        if (!PyUnicode_Check(text.get())) {
            PyErr_Format(PyExc_TypeError, "decoder should return a string result, not '%.200s'",
                         Py_TYPE(text.get())->tp_name);
            raise(loc);
        }
        if (PyUnicode_GET_LENGTH(text.get()) > 0) {
            piece_ = std::move(text);
            return true;
        }
        if (eof) return false;
    }
}

// ---- LineWriter -----------------------------------------------------------------------------

bool LineWriter::standard_file(PyObject* f) {
    const IoTypes* t = io_types();
    if (!t || !f || !is_type(f, t->text) || !instance_lacks(f, {&str_write})) return false;
    Ref buffer = attr_or_null(f, str_buffer);
    if (!buffer || !is_type(buffer.get(), t->writer)) return false;
    Ref raw = attr_or_null(buffer.get(), str_raw);
    if (!raw || !is_type(raw.get(), t->raw)) return false;
    // Encoders that keep no state, with error handlers of their own: a failed
    // write changes nothing, and a batch gives the bytes of its lines.
    Ref encoding = attr_or_null(f, str_encoding), errors = attr_or_null(f, str_errors);
    return encoding && errors &&
           named_one_of(encoding.get(), {"utf-8", "utf8", "ascii", "us-ascii", "latin-1", "latin1", "iso-8859-1",
                                         "iso8859-1"}) &&
           named_one_of(errors.get(), {"strict", "replace", "ignore", "backslashreplace", "xmlcharrefreplace",
                                       "surrogateescape"});
}

LineWriter::LineWriter(Via via, PyObject* target, Loc loc) : via_(via), target_(Ref::borrow(target)) { choose(loc); }

// Batched when the lines go to a standard text file; for printing, the
// print function must be the real one and sys.stdout such a file.
void LineWriter::choose(Loc) {
    if (via_ == Via::Write) {
        batched_ = standard_file(target_.get());
        return;
    }
    stdout_ = Ref::borrow(PySys_GetObject("stdout"));
    batched_ = is_builtin_print(target_.get()) && standard_file(stdout_.get());
    if (!batched_) stdout_.reset();
}

void LineWriter::send_line(Py_ssize_t from, Py_ssize_t to, Loc loc) {
    if (via_ == Via::Write) {
        // file.write(text + "\n")
        TextBuffer one;
        const TextView all = buf_.view();
        one.append(TextView{all.kind, static_cast<const char*>(all.data) + from * all.kind, to - from, all.ascii});
        one.append_ascii('\n');
        Ref line = one.str(0, one.size(), loc);
        PyObject* args[2] = {target_.get(), line.get()};
        take(PyObject_VectorcallMethod(str_write.get(), args, 2, nullptr), loc);
    } else {
        Ref line = buf_.str(from, to, loc);
        call(target_.get(), {line.get()}, loc);
    }
}

void LineWriter::flush(Loc loc) {
    if (!batched_ || ends_.empty()) return;
    PyObject* file = via_ == Via::Write ? target_.get() : stdout_.get();
    Ref batch = buf_.str(0, buf_.size(), loc);
    PyObject* args[2] = {file, batch.get()};
    Ref done = Ref::steal(PyObject_VectorcallMethod(str_write.get(), args, 2, nullptr));
    batch.reset();
    if (!done) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            buf_.clear();
            ends_.clear();
            raise(loc);
        }
        // Nothing of the batch was written: its lines go one at a time, so
        // that the failing one raises as it would alone.
        PyErr_Clear();
        std::vector<Py_ssize_t> ends;
        ends.swap(ends_);
        Py_ssize_t from = 0;
        try {
            for (Py_ssize_t end : ends) {
                send_line(from, end, loc);
                from = end + 1;
            }
        } catch (const PyError&) {
            buf_.clear();
            throw;
        }
    }
    buf_.clear();
    ends_.clear();
    if (PyErr_CheckSignals() < 0) raise(loc);
    // Whatever ran meanwhile (a signal handler, a finaliser) may have
    // replaced sys.stdout: print would find the new one.
    if (via_ == Via::Print) choose(loc);
}

void LineWriter::flush_after_error(Loc loc) {
    PyObject* exc = PyErr_GetRaisedException();
    try {
        flush(loc);
    } catch (const PyError&) {
        Py_XDECREF(exc);
        return;
    } catch (const std::bad_alloc&) {
        Py_XDECREF(exc);
        PyErr_NoMemory();
        return;
    }
    PyErr_SetRaisedException(exc);
}

}  // namespace frame

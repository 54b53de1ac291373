// Bulk text I/O through the interpreter's own file objects.
//
// A text file as the built-in `open` makes it -- io.TextIOWrapper over
// io.BufferedReader or io.BufferedWriter over io.FileIO -- is read here in the
// decoded pieces that line iteration reads, and its lines are taken apart in
// place, with no object per line; it is written in large batches that give the
// same bytes, in the same order, as one write (or one print) per line.  Any
// other file object is read and written through its own methods, a line at a
// time, as plain code does.
#pragma once

#include "ops.h"

#include <cstring>
#include <vector>

namespace frame {

// Characters in place: `len` of them, `kind` bytes each, at `data`.  `ascii`
// says that all of them are below 128; when false they may still all fit a
// narrower kind.
struct TextView {
    int kind;
    const void* data;
    Py_ssize_t len;
    bool ascii;
};

// Text gathered in native memory, each character as wide as the widest one
// so far (1, 2 or 4 bytes).
class TextBuffer {
public:
    Py_ssize_t size() const { return len_; }
    void clear() {
        len_ = 0;
        kind_ = 1;
        ascii_ = true;
    }
    void append(const TextView& v) {
        if (v.len == 0) return;
        if (v.kind > kind_) widen(v.kind);
        ascii_ = ascii_ && v.ascii;
        reserve(v.len);
        if (v.kind == kind_) {
            std::memcpy(data_.data() + len_ * kind_, v.data, (size_t)(v.len * kind_));
            len_ += v.len;
        } else {
            append_converted(v);
        }
    }
    // An exact str, whole or from `from` to `to`.
    void append(PyObject* s) { append(view(s)); }
    void append_ascii(const char* s, Py_ssize_t n) { append(TextView{1, s, n, true}); }
    void append_ascii(char c) { append_ascii(&c, 1); }
    // The characters [from, to) as a new exact str.
    Ref str(Py_ssize_t from, Py_ssize_t to, Loc loc = Loc::current()) const;
    TextView view() const { return TextView{kind_, data_.data(), len_, ascii_}; }

    static TextView view(PyObject* s) {
        return TextView{(int)PyUnicode_KIND(s), PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s), PyUnicode_IS_ASCII(s) != 0};
    }

private:
    void reserve(Py_ssize_t more) {
        const size_t need = (size_t)(len_ + more) * (size_t)kind_;
        if (need > data_.size()) data_.resize(need > 2 * data_.size() ? need : 2 * data_.size());
    }
    void widen(int kind);
    void append_converted(const TextView& v);

    std::vector<char> data_;
    Py_ssize_t len_ = 0;
    int kind_ = 1;
    bool ascii_ = true;
};

// The real built-ins, as the interpreter made them: a replaced `open` or
// `print` is called as it is, never bypassed.
bool is_builtin_open(PyObject* f);
bool is_builtin_print(PyObject* f);

// The lines of a text file opened for reading, as iterating over it gives
// them: universal newlines, the file's own encoding and errors.
class LineReader {
public:
    // True when `f`, which `opener(path, "r")` gave and `with` entered, is the
    // standard text file of a real `open`.
    static bool usable(PyObject* opener, PyObject* f);

    explicit LineReader(PyObject* f, Loc loc = Loc::current());

    // The file's size in bytes when it is a regular file, else -1: a hint of
    // how much text there is to come.
    long long size_hint() const { return size_hint_; }

    // Calls on_line(const TextView& text, PyObject* object) for each line in
    // file order, its line end included.  `object` is null, but for a line
    // that iteration hands out as an object of a str subclass (a whole decoded
    // piece, when the decoder makes such pieces): then it is that object.  A
    // line's characters stay valid while its call runs, no longer.  A pending
    // signal is handled between pieces.
    template <typename F>
    void each(F&& on_line, Loc loc = Loc::current());

private:
    // The next decoded piece of text into piece_: the wrapper's own read of a
    // chunk, repeated while the decoder gives nothing; false at the end.
    bool next_piece(Loc loc);
    // The unfinished line so far, and the one it is added to.
    TextBuffer& partial() { return partial_[turn_]; }
    // The finished line of pieces, handed out; the other buffer takes the next one.
    TextView take_partial() {
        const TextView v = partial_[turn_].view();
        turn_ ^= 1;
        partial_[turn_].clear();
        return v;
    }

    Ref buffer_, chunk_size_, decoder_;
    Ref piece_;
    TextBuffer partial_[2];  // a line that runs across pieces, in turns
    int turn_ = 0;
    long long size_hint_ = -1;
};

// Lines written to a text file, or printed.  A line goes out as `file.write`
// of its text and "\n", or as `print` of its text; to a standard text file
// (`sys.stdout` for printing) many lines go out in one write.
class LineWriter {
public:
    enum class Via { Write, Print };

    // Via::Write: `target` is the file; Via::Print: the print function.
    LineWriter(Via via, PyObject* target, Loc loc = Loc::current());
    ~LineWriter() = default;

    bool batched() const { return batched_; }

    // The text of the next line, added in pieces, then ended.
    TextBuffer& text() { return buf_; }
    void end_line(Loc loc = Loc::current()) {
        if (batched_) {
            ends_.push_back(buf_.size());
            buf_.append_ascii('\n');
            if (buf_.size() >= kBatch) flush(loc);
        } else {
            send_line(0, buf_.size(), loc);
            buf_.clear();
            // One call per line: a file whose write runs no Python code would
            // never see a signal.
            signals_(loc);
        }
    }
    void line(PyObject* s, Loc loc = Loc::current()) {
        buf_.append(s);
        end_line(loc);
    }

    // Writes the lines gathered so far.  Before anything runs code that might
    // see the file, and when the last line is done.
    void flush(Loc loc = Loc::current());
    // On the way out of a failure: the lines before it are written; a failure
    // of that write takes the place of the first one.
    void flush_after_error(Loc loc = Loc::current());
    // After code that may have changed where lines go (sys.stdout replaced,
    // `write` shadowed), with no lines waiting: where they go is found again.
    void reselect(Loc loc = Loc::current()) {
        flush(loc);
        choose(loc);
    }

private:
    static constexpr Py_ssize_t kBatch = Py_ssize_t(1) << 20;
    static bool standard_file(PyObject* f);
    void choose(Loc loc);
    void send_line(Py_ssize_t from, Py_ssize_t to, Loc loc);

    Via via_;
    Ref target_;  // the file, or the print function
    Ref stdout_;  // what print writes to, while batched
    bool batched_ = false;
    TextBuffer buf_;
    std::vector<Py_ssize_t> ends_;  // where each gathered line ends ("\n" follows)
    SignalCheck signals_;
};

// ---- template bodies ----

template <typename F>
void LineReader::each(F&& on_line, Loc loc) {
    for (;;) {
        if (!next_piece(loc)) {
            // At the end the wrapper hands out the unfinished line, then reads
            // once more.
            if (partial().size() == 0) return;
            on_line(take_partial(), nullptr);
            continue;
        }
        const TextView p = TextBuffer::view(piece_.get());
        // A line that is the whole piece is the piece itself; any other is an
        // exact str of its characters.
        PyObject* whole = PyUnicode_CheckExact(piece_.get()) ? nullptr : piece_.get();
        const char* base = static_cast<const char*>(p.data);
        Py_ssize_t start = 0;
        for (;;) {
            Py_ssize_t nl = -1;
            if (p.kind == 1) {
                const void* hit = std::memchr(base + start, '\n', (size_t)(p.len - start));
                if (hit) nl = static_cast<const char*>(hit) - base;
            } else {
                for (Py_ssize_t i = start; i < p.len; ++i)
                    if (PyUnicode_READ(p.kind, base, i) == '\n') {
                        nl = i;
                        break;
                    }
            }
            const Py_ssize_t end = nl < 0 ? p.len : nl + 1;
            const TextView part{p.kind, base + start * p.kind, end - start, p.ascii};
            if (nl < 0) {
                partial().append(part);
                break;
            }
            if (partial().size() == 0) {
                on_line(part, start == 0 && end == p.len ? whole : nullptr);
            } else {
                partial().append(part);
                on_line(take_partial(), nullptr);
            }
            start = end;
        }
        if (PyErr_CheckSignals() < 0) raise(loc);
    }
}

}  // namespace frame

// pellar.edgewriter: class Edgewriter.  create_net hands its inputs to the
// outside network-file generator, collects labels from the values of a dict
// and from pairs of a list, writes them one per line to the `gephi` file and,
// when there are more than ten, prints the distinct even-length ones.
#include "frame/bulkio.h"
#include "frame/module.h"
#include "frame/ops.h"
#include "pellar/edgewriter_labels.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

namespace {

using namespace edgewriter;

frame::Str s_network_file("network_file");
frame::Str s_gephi("gephi");
frame::Str s_generate_network_file("generate_network_file");
frame::Str s_write("write");
frame::Str s_underscore("_");
frame::Str s_w("w");
frame::Int k_two(2);

frame::Builtin b_enumerate("enumerate");
frame::Builtin b_range("range");
frame::Builtin b_open("open");
frame::Builtin b_print("print");

constexpr int import_os_line = __LINE__;        // import os
constexpr int import_graphout_line = __LINE__;  // from Graphout import generate_network_file

// ---- create_net, step by step ---------------------------------------------------------------

// LIs[i] (a new reference): list and tuple storage read as the interpreter's
// indexing reads it, anything else through indexing by int.
frame::Ref item_at(PyObject* seq, Py_ssize_t i) {
    if (PyList_CheckExact(seq)) {
        if (i >= PyList_GET_SIZE(seq)) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            frame::raise();
        }
        return frame::Ref::borrow(PyList_GET_ITEM(seq, i));
    }
    if (PyTuple_CheckExact(seq)) {
        if (i >= PyTuple_GET_SIZE(seq)) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            frame::raise();
        }
        return frame::Ref::borrow(PyTuple_GET_ITEM(seq, i));
    }
    frame::Ref index = frame::take(PyLong_FromSsize_t(i));
    return frame::take(PyObject_GetItem(seq, index.get()));
}

// len(o)
Py_ssize_t length(PyObject* o, frame::Loc loc = frame::Loc::current()) {
    if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o);
    const Py_ssize_t n = PyObject_Size(o);
    if (n < 0) frame::raise(loc);
    return n;
}

// How many pair labels the loops make at most, for reserving room.
size_t pairs_at_most(Py_ssize_t n) {
    size_t total = 0;
    for (Py_ssize_t i = 0; i < n && total < (1u << 22); i += 3) total += (size_t)(n - i - (i & 1) + 1) / 2;
    return total < (1u << 22) ? total : (1u << 22);
}

// Step 2: labels from the values of zidian.
void collect_from_values(PyObject* zidian, Labels& labels) {
    frame::for_each_item(zidian, [&](PyObject*, PyObject* value) {
        if (PyList_Check(value)) {
            // Elements at even positions.  The size is read at each step, after
            // any signal handler has run.
            frame::SignalCheck signals;
            for (Py_ssize_t k = 0;; k += 2) {
                signals();
                if (k >= PyList_GET_SIZE(value)) break;
                labels.append(frame::Ref::borrow(PyList_GET_ITEM(value, k)));
            }
        } else if (PyDict_Check(value)) {
            // Keys of length 4 or more.
            frame::Ref it = frame::take(PyObject_GetIter(value));
            frame::Ref key;
            for (;;) {
                if (!frame::next(it.get(), key)) break;
                if (length(key.get()) >= 4) labels.append(key);
            }
        } else {
            // Anything else: its text twice.
            frame::Ref text = frame::take(PyObject_Str(value));
            labels.append(frame::take(PyNumber_Multiply(text.get(), k_two.get())));
        }
    });
}

// Element i of an exact list or tuple, borrowed; NULL when out of range.
PyObject* stored_item(PyObject* seq, Py_ssize_t i) {
    if (PyList_CheckExact(seq)) return i < PyList_GET_SIZE(seq) ? PyList_GET_ITEM(seq, i) : nullptr;
    return i < PyTuple_GET_SIZE(seq) ? PyTuple_GET_ITEM(seq, i) : nullptr;
}

// Step 3: the pair labels LIs[i] + "_" + LIs[j] -- from the outer position
// `from` on, in an outer range of `n` (len(LIs) when not given).
void collect_pairs(PyObject* LIs, Labels& labels, Py_ssize_t from = 0, Py_ssize_t n = -1) {
    // A pair of exact strs from a list or tuple is looked up from its
    // characters while no label can run code when compared.
    const bool stored = PyList_CheckExact(LIs) || PyTuple_CheckExact(LIs);
    if (n < 0) n = length(LIs);
    if (stored) labels.reserve(pairs_at_most(n));
    frame::SignalCheck signals;
    for (Py_ssize_t i = from; i < n; ++i) {
        // The inner range starts (and reads the length) for every i; only
        // i % 3 == 0 runs its body.
        const Py_ssize_t inner = length(LIs);
        if (i % 3 != 0) continue;
        Py_ssize_t j = i + (i & 1);
        while (j < inner) {
            signals();
            if (stored && labels.text_only()) {
                PyObject* a = stored_item(LIs, i);
                PyObject* b = stored_item(LIs, j);
                if (a && b && PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
                    labels.append_pair_if_absent(a, b);
                    j += 2;
                    continue;
                }
            }
            // One pair, as the interpreter adds: LIs[i] + "_" first, then + LIs[j].
            frame::Ref first = item_at(LIs, i);
            frame::Ref combination;
            if (PyUnicode_CheckExact(first.get())) {
                frame::Ref left = join({first.get(), Piece("_", 1)});
                frame::Ref second = item_at(LIs, j);
                combination = PyUnicode_CheckExact(second.get())
                                  ? join({left.get(), second.get()})
                                  : frame::take(PyNumber_Add(left.get(), second.get()));
            } else {
                frame::Ref left = frame::take(PyNumber_Add(first.get(), s_underscore.get()));
                frame::Ref second = item_at(LIs, j);
                combination = frame::take(PyNumber_Add(left.get(), second.get()));
            }
            labels.append_if_absent(std::move(combination));
            j += 2;
        }
    }
}

// f(label) for each label of the runs, in order, made as a str.  A pending
// signal is handled between them.
template <typename F>
void each_pair_str(const PairRuns& pairs, F&& f, frame::Loc loc = frame::Loc::current()) {
    frame::TextBuffer pair;
    frame::SignalCheck signals;
    for (const Run& r : pairs.runs)
        for (Py_ssize_t j = r.j0; j < r.j1; j += 2) {
            signals(loc);
            pair.clear();
            put_pair(pair, pairs.items.text(r.i), pairs.items.text(j));
            f(pair.str(0, pair.size(), loc));
        }
}

// Step 4: one line per label, through the file's write -- to the standard
// text file many lines at a time.
void write_labels(PyObject* self, const Labels& labels, const PairRuns& pairs) {
    frame::Ref gephi = frame::getattr(self, s_gephi);
    frame::Ref file = frame::call(b_open.get(), {gephi.get(), s_w.get()});
    frame::with_block(file.get(), [&](PyObject* f) {
        frame::LineWriter out(frame::LineWriter::Via::Write, f);
        try {
            for (Py_ssize_t k = 0; k < labels.size(); ++k) {
                PyObject* label = labels[k];
                if (PyUnicode_CheckExact(label)) {
                    out.line(label);
                    continue;
                }
                // Its text may run code: the lines before it are written
                // first, and where lines go is looked at again after it.
                const bool runs_code = !PyLong_CheckExact(label) && !PyFloat_CheckExact(label);
                if (runs_code) out.flush();
                frame::Ref shown = frame::display_text(label);
                if (runs_code) out.reselect();
                out.line(shown.get());
            }
            for (const Run& r : pairs.runs) {
                const frame::TextView a = pairs.items.text(r.i);
                for (Py_ssize_t j = r.j0; j < r.j1; j += 2) {
                    put_pair(out.text(), a, pairs.items.text(j));
                    out.end_line();
                }
            }
            out.flush();
        } catch (const frame::PyError&) {
            out.flush_after_error();
            throw;
        }
    });
}

// "Processing <label>: <length>"
void put_report(frame::TextBuffer& t, const frame::TextView& label, Py_ssize_t n) {
    t.append_ascii("Processing ", 11);
    t.append(label);
    t.append_ascii(": ", 2);
    char digits[24];
    char* end = digits + sizeof digits;
    char* at = end;
    do {
        *--at = (char)('0' + n % 10);
        n /= 10;
    } while (n > 0);
    t.append_ascii(at, end - at);
}

// Step 5: with more than ten labels, one line for each distinct even-length
// label, in the order of first occurrence.
void report(const Labels& labels, const PairRuns& pairs) {
    if (labels.size() + pairs.count <= 10) return;
    if (labels.all_text()) {
        frame::LineWriter out(frame::LineWriter::Via::Print, b_print.get());
        // temp_var of exact strs: the first label of each even-length text,
        // in order, mapped to its length.  A pair label is always the first
        // of its text.  Nothing here runs code, so the lines go out as it is
        // walked.
        for (Py_ssize_t k = 0; k < labels.size(); ++k) {
            PyObject* label = labels[k];
            const Py_ssize_t n = PyUnicode_GET_LENGTH(label);
            if (n % 2 != 0 || !labels.first_of_text(k)) continue;
            put_report(out.text(), frame::TextBuffer::view(label), n);
            out.end_line();
        }
        frame::TextBuffer pair;
        for (const Run& r : pairs.runs) {
            const frame::TextView a = pairs.items.text(r.i);
            for (Py_ssize_t j = r.j0; j < r.j1; j += 2) {
                const frame::TextView b = pairs.items.text(j);
                const Py_ssize_t n = a.len + 1 + b.len;
                if (n % 2 != 0) continue;
                pair.clear();
                put_pair(pair, a, b);
                put_report(out.text(), pair.view(), n);
                out.end_line();
            }
        }
        out.flush();
        return;
    }
    frame::Ref temp_var = frame::take(PyDict_New());
    auto enter = [&](PyObject* label) {
        const Py_ssize_t n = length(label);
        if (n % 2 != 0) return;
        frame::Ref len = frame::take(PyLong_FromSsize_t(n));
        frame::check(PyDict_SetItem(temp_var.get(), label, len.get()));
    };
    for (Py_ssize_t k = 0; k < labels.size(); ++k) enter(labels[k]);
    each_pair_str(pairs, [&](frame::Ref label) { enter(label.get()); });
    // Where the lines go is looked at once temp_var is complete (its labels'
    // __len__, __hash__ and __eq__ have run), and again after any text that
    // may run code.
    frame::LineWriter out(frame::LineWriter::Via::Print, b_print.get());
    try {
        frame::for_each_item(temp_var.get(), [&](PyObject* k, PyObject* v) {
            // A text that may run code: the lines before it are printed first.
            const bool runs_code = !PyUnicode_CheckExact(k) && !PyLong_CheckExact(k) && !PyFloat_CheckExact(k);
            if (runs_code) out.flush();
            frame::Ref key = frame::display_text(k);
            if (runs_code) out.reselect();
            if (PyLong_CheckExact(v)) {
                put_report(out.text(), frame::TextBuffer::view(key.get()), PyLong_AsSsize_t(v));  // our own lengths
            } else {
                out.flush();
                frame::Ref value = frame::display_text(v);
                out.reselect();
                out.text().append_ascii("Processing ", 11);
                out.text().append(key.get());
                out.text().append_ascii(": ", 2);
                out.text().append(value.get());
            }
            out.end_line();
        });
        out.flush();
    } catch (const frame::PyError&) {
        out.flush_after_error();
        throw;
    }
}

constexpr int class_line = __LINE__;  // class Edgewriter:

constexpr int init_line = __LINE__;
frame::Ref init(PyObject* const* a) {
    PyObject *self = a[0], *network_file = a[1], *gephi = a[2];
    frame::setattr(self, s_network_file, network_file);
    frame::setattr(self, s_gephi, gephi);
    return frame::none();
}

constexpr int create_net_line = __LINE__;
frame::Ref create_net(PyObject* const* a) {
    PyObject *self = a[0], *zidian = a[1], *LIs = a[2], *filter_seq = a[3];
    {
        frame::Ref generate = frame::global(s_generate_network_file);
        frame::Ref network_file = frame::getattr(self, s_network_file);
        frame::call(generate.get(), {network_file.get(), LIs, filter_seq});
    }
    Labels LieBiao;
    collect_from_values(zidian, LieBiao);
    PairRuns pairs;
    if (!pair_runs(LIs, LieBiao, pairs)) {
        collect_pairs(LIs, LieBiao);
    } else if (pairs.stopped_at >= 0) {
        // A signal handler changed LIs: the pairs so far become labels, and the
        // rest is taken from LIs as it is now.
        each_pair_str(pairs, [&](frame::Ref label) { LieBiao.append(std::move(label)); });
        collect_pairs(LIs, LieBiao, pairs.stopped_at, pairs.items.size());
        pairs = PairRuns();
    }
    write_labels(self, LieBiao, pairs);
    report(LieBiao, pairs);
    return frame::none();
}

const frame::ModuleInfo info{
    .short_name = "edgewriter",
    .full_name = "pellar.edgewriter",
    .source_file = "pellar/edgewriter",
    .class_name = "Edgewriter",
    .imports =
        {
            {frame::ImportStmt::Import, "os", nullptr, nullptr, import_os_line},
            {frame::ImportStmt::From, "Graphout", "generate_network_file", nullptr, import_graphout_line},
        },
    .methods =
        {
            {"__init__", {"self", "network_file", "gephi"}, {}, init, init_line},
            {"create_net",
             {"self", "zidian", "LIs", "filter_seq"},
             {"LieBiao", "key", "value", "item", "i", "j", "combination", "f", "temp_var", "k", "n", "v"},
             create_net,
             create_net_line},
        },
    .class_line = class_line,
    .test_line = __LINE__,
};

}  // namespace

PyMODINIT_FUNC PyInit_edgewriter(void) { return frame::module_init(info); }

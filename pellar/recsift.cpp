// pellar.recsift: class Recsift, the sifted sequences of a sequence-list file.
//
// SQ_LS reads the file line by line.  A line is stripped; empty lines, "#"
// lines and lines of fewer than three "|"-separated fields are skipped; the
// fields after the id, joined with "-", are the record's sequence (reversed when
// its length is even).  The id table keeps each id at its first position with
// the parts of its latest record; the sequences that contain "A" or are longer
// than 10 characters are handed back in reverse order.
//
// A standard text file is read in place and each exact-str line taken apart
// where it lies, into the record log of recsift_ids.h; once the file is read,
// the id step finds each id's latest record, and the passing sequences are
// made as strs in one pass.  A line of any other type goes through its own
// strip, startswith, split, len and indexing, as plain code does, and its id
// may be any object with its own equality; from the first such line on the ids
// live in an ordinary dict.
#include "frame/bulkio.h"
#include "frame/module.h"
#include "frame/ops.h"
#include "pellar/recsift_ids.h"

#include <algorithm>
#include <utility>

namespace {

using recsift::Record;
using recsift::Records;
using recsift::Winners;
using recsift::find;

constexpr size_t kAhead = 16;

frame::Str s_file("file");
frame::Str s_r("r");
frame::Str s_strip("strip");
frame::Str s_startswith("startswith");
frame::Str s_split("split");
frame::Str s_hash("#");
frame::Str s_bar("|");
frame::Str s_dash("-");

frame::Int k_zero(0);
frame::Int k_one(1);
frame::Int k_minus_one(-1);

frame::Builtin b_open("open");
frame::Builtin b_enumerate("enumerate");
frame::Builtin b_sorted("sorted");

frame::Const c_from_one([] { return PySlice_New(k_one.get(), nullptr, nullptr); });
frame::Const c_reversed([] { return PySlice_New(nullptr, nullptr, k_minus_one.get()); });
frame::Const c_exit_args([] { return PyTuple_Pack(3, Py_None, Py_None, Py_None); });

// An exact-str line.
void sift_exact(Records& r, PyObject* text, bool stripped = false) {
    sift_view(r, frame::TextBuffer::view(text), stripped);
}

// ---- any other line object ----------------------------------------------------------------

// Its parts go into the dict boxed in a 1-tuple, to be joined once the file has
// been read (a finished sequence is an exact str, a dropped one None).
void sift_object(Records& r, PyObject* raw) {
    if (!r.in_dict()) r.switch_to_dict();
    frame::Ref text = frame::call_method(raw, s_strip, {});
    if (PyUnicode_CheckExact(text.get())) {
        // The line's own strip gave it: taken as it is, not stripped again.
        sift_exact(r, text.get(), true);
        return;
    }
    if (!frame::truth(text.get())) return;
    frame::Ref comment = frame::call_method(text.get(), s_startswith, {s_hash.get()});
    if (frame::truth(comment.get())) return;
    frame::Ref parts = frame::call_method(text.get(), s_split, {s_bar.get()});
    const Py_ssize_t n = PyObject_Size(parts.get());
    if (n < 0) frame::raise();
    if (n < 3) return;
    frame::Ref seq_id = frame::take(PyObject_GetItem(parts.get(), k_zero.get()));
    frame::Ref seq_info = frame::take(PyObject_GetItem(parts.get(), c_from_one.get()));
    frame::Ref boxed = frame::take(PyTuple_Pack(1, seq_info.get()));
    frame::check(PyDict_SetItem(r.dict(), seq_id.get(), boxed.get()));
}

// "A" in seq or len(seq) > 10, for an exact str.
bool passes(PyObject* seq) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(seq);
    const void* d = PyUnicode_DATA(seq);
    switch (PyUnicode_KIND(seq)) {
        case PyUnicode_1BYTE_KIND:
            if (find(static_cast<const Py_UCS1*>(d), 0, n, Py_UCS1('A')) >= 0) return true;
            break;
        case PyUnicode_2BYTE_KIND:
            if (find(static_cast<const Py_UCS2*>(d), 0, n, Py_UCS2('A')) >= 0) return true;
            break;
        default:
            if (find(static_cast<const Py_UCS4*>(d), 0, n, Py_UCS4('A')) >= 0) return true;
            break;
    }
    return n > 10;
}

// ---- the class ------------------------------------------------------------------------------

constexpr int class_line = __LINE__;  // class Recsift:

constexpr int init_line = __LINE__;
frame::Ref init(PyObject* const* a) {
    PyObject *self = a[0], *file = a[1];
    frame::setattr(self, s_file, file);
    return frame::none();
}

constexpr int sq_ls_line = __LINE__;
frame::Ref sq_ls(PyObject* const* a) {
    PyObject* self = a[0];
    Records records;
    frame::Ref file = frame::getattr(self, s_file);
    frame::Ref opened = frame::call(b_open.get(), {file.get(), s_r.get()});
    frame::with_block(opened.get(), [&](PyObject* f) {
        frame::Ref it = frame::take(PyObject_GetIter(f));
        if (it.get() == f && frame::LineReader::usable(b_open.get(), f)) {
            // The file's lines in place, with no str made for each.
            frame::LineReader lines(f);
            // After the first lines, room for as many ids as the rest of the
            // file seems to hold, within a bound.
            Py_ssize_t seen = 0, chars = 0;
            // (Inlined into the loop over the lines, as in recsift_ids.h.)
            lines.each([&](const frame::TextView& line, PyObject* object) __attribute__((always_inline)) {
                if (object) {
                    sift_object(records, object);
                    return;
                }
                if (++seen <= 256) {
                    chars += line.len;
                    if (seen == 256 && lines.size_hint() > 0 && !records.in_dict())
                        records.log().reserve((size_t)(lines.size_hint() / (chars / seen + 1)));
                }
                sift_view(records, line, false);
            });
            return;
        }
        const iternextfunc next = Py_TYPE(it.get())->tp_iternext;  // set: iter() checked it
        frame::SignalCheck signals;
        for (;;) {
            signals();
            frame::Ref text = frame::Ref::steal(next(it.get()));
            if (!text) {
                if (PyErr_Occurred()) {
                    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) frame::raise();
                    PyErr_Clear();
                }
                break;
            }
            if (PyUnicode_CheckExact(text.get())) {
                sift_exact(records, text.get());
            } else {
                sift_object(records, text.get());
            }
        }
    });

    if (!records.in_dict()) {
        // Each id's latest record, in the order of the ids' first records; the
        // passing sequences made from them, taken from the end.
        Winners winners = recsift::find_winners(records.log());
        Py_ssize_t kept = (Py_ssize_t)winners.kept;
        frame::Ref final_result = frame::take(PyList_New(kept));
        recsift::make_present(PySequence_Fast_ITEMS(final_result.get()), (size_t)kept * sizeof(PyObject*));
        const recsift::Pages<uint64_t>& at = winners.at;
        frame::SignalCheck signals;
        recsift::RecordLog& log = records.log();
        recsift::PresentArenas present(log, winners);
        for (size_t first = 0; first < at.size(); ++first) {
            // The records a little way on are requested from memory meanwhile.
            if (first + kAhead < at.size() && (at[first + kAhead] & Winners::kKept)) log.prefetch(Winners::latest(at[first + kAhead]));
            if (!(at[first] & Winners::kKept)) continue;
            signals();
            // What comes before this record is read no more: its memory may
            // hold the strs.
            present.done_before(first);
            const Record r = log[Winners::latest(at[first])];
            PyList_SET_ITEM(final_result.get(), --kept, frame::take(r.seq_str()).release());
        }
        return final_result;
    }

    // The dict's sequences that pass, in dict order, then reversed.
    frame::Ref final_result = frame::take(PyList_New(0));
    frame::for_each_item(records.dict(), [&](PyObject*, PyObject* value) {
        if (value == Py_None) return;
        frame::Ref seq;
        if (PyUnicode_CheckExact(value)) {
            seq = frame::Ref::borrow(value);
        } else {
            // The parts of a line of another type: "-".join(seq_info).
            frame::Ref processed = frame::take(PyUnicode_Join(s_dash.get(), PyTuple_GET_ITEM(value, 0)));
            if (PyUnicode_GET_LENGTH(processed.get()) % 2 == 0) {
                seq = frame::take(PyObject_GetItem(processed.get(), c_reversed.get()));
            } else {
                seq = processed;
            }
            if (!passes(seq.get())) return;
        }
        frame::check(PyList_Append(final_result.get(), seq.get()));
    });
    frame::check(PyList_Reverse(final_result.get()));
    return final_result;
}

const frame::ModuleInfo info{
    .short_name = "recsift",
    .full_name = "pellar.recsift",
    .source_file = "pellar/recsift",
    .class_name = "Recsift",
    .imports = {},
    .methods =
        {
            {"__init__", {"self", "file"}, {}, init, init_line},
            {"SQ_LS",
             {"self"},
             {"sequence_list", "temp_dict", "f", "line", "parts", "seq_id", "seq_info", "processed_seq", "seq",
              "filtered_seq", "numbered", "i", "final_result"},
             sq_ls,
             sq_ls_line},
        },
    .class_line = class_line,
    .test_line = __LINE__,
};

}  // namespace

PyMODINIT_FUNC PyInit_recsift(void) { return frame::module_init(info); }

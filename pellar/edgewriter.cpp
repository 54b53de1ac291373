// pellar.edgewriter: class Edgewriter.  create_net hands its inputs to the
// outside network-file generator, collects labels from the values of a dict
// and from pairs of a list, writes them one per line to the `gephi` file and,
// when there are more than ten, prints the distinct even-length ones.
#include "frame/module.h"
#include "frame/ops.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

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

// ---- text -----------------------------------------------------------------------------------

// One piece of a joined text: a str object (a subclass too: its characters),
// or an ASCII literal.
struct Piece {
    Piece(PyObject* s) : str(s) {}  // NOLINT: pieces are written inline
    Piece(const char* a) : ascii(a), len((Py_ssize_t)std::strlen(a)) {}
    Piece(const char* a, Py_ssize_t n) : ascii(a), len(n) {}
    PyObject* str = nullptr;
    const char* ascii = nullptr;
    Py_ssize_t len = 0;
};

// The pieces joined into a new exact str, as an f-string joins its parts (no
// __add__ of a str subclass is involved).
frame::Ref join(std::initializer_list<Piece> pieces) {
    Py_UCS4 maxchar = 0x7f;
    Py_ssize_t total = 0;
    for (const Piece& p : pieces) {
        const Py_ssize_t n = p.str ? PyUnicode_GET_LENGTH(p.str) : p.len;
        if (p.str && PyUnicode_MAX_CHAR_VALUE(p.str) > maxchar) maxchar = PyUnicode_MAX_CHAR_VALUE(p.str);
        if (n > PY_SSIZE_T_MAX - total) {
            PyErr_SetString(PyExc_OverflowError, "strings are too large to concat");
            frame::raise();
        }
        total += n;
    }
    frame::Ref out = frame::take(PyUnicode_New(total, maxchar));
    const int kind = PyUnicode_KIND(out.get());
    char* data = static_cast<char*>(PyUnicode_DATA(out.get()));
    Py_ssize_t at = 0;
    for (const Piece& p : pieces) {
        if (p.str) {
            const Py_ssize_t n = PyUnicode_GET_LENGTH(p.str);
            if (PyUnicode_KIND(p.str) == kind) {
                std::memcpy(data + at * kind, PyUnicode_DATA(p.str), (size_t)(n * kind));
            } else if (PyUnicode_CopyCharacters(out.get(), at, p.str, 0, n) < 0) {
                frame::raise();
            }
            at += n;
        } else {
            for (Py_ssize_t c = 0; c < p.len; ++c) PyUnicode_WRITE(kind, data, at++, (Py_UCS4)p.ascii[c]);
        }
    }
    return out;
}

// Equal exact strs: strings are stored in their narrowest form, so equal text
// means equal kind and equal bytes.
bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)(n * PyUnicode_KIND(a))) == 0;
}

// A label whose comparison with an exact str runs no code and is false: the
// comparison of these types with a str is NotImplemented on both sides, which
// leaves identity, and a label of these types is never the str compared.
bool inert_against_str(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return o == Py_None || t == &PyLong_Type || t == &PyBool_Type || t == &PyFloat_Type || t == &PyComplex_Type ||
           t == &PyTuple_Type || t == &PyList_Type || t == &PyDict_Type || t == &PySet_Type ||
           t == &PyFrozenSet_Type;
}

// ---- the label list -------------------------------------------------------------------------

// Exact-str labels -> the position of the first of them with that text.  Keys
// are borrowed from the label list, which never drops an element.
class StrIndex {
public:
    static constexpr Py_ssize_t npos = -1;

    void reserve(size_t n) {
        size_t cap = 16;
        while (cap < 2 * n) cap *= 2;
        if (cap > slots_.size()) rehash(cap);
    }

    Py_ssize_t find(PyObject* s, Py_hash_t h) const {
        if (slots_.empty()) return npos;
        const uint32_t lo = (uint32_t)(size_t)h;
        for (size_t i = lo & mask_;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (!slot.key) return npos;
            if (slot.hash == lo && same_text(slot.key, s)) return slot.pos;
        }
    }

    void prefetch(Py_hash_t h) const {
        if (!slots_.empty()) __builtin_prefetch(&slots_[(uint32_t)(size_t)h & mask_]);
    }

    // Records `s` at `pos` unless a label of the same text is there; true when recorded.
    bool add(PyObject* s, Py_hash_t h, Py_ssize_t pos) {
        if (2 * (used_ + 1) > slots_.size()) rehash(slots_.empty() ? 16 : 2 * slots_.size());
        const uint32_t lo = (uint32_t)(size_t)h;
        for (size_t i = lo & mask_;; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (!slot.key) {
                slot = {s, lo, (uint32_t)pos};
                ++used_;
                return true;
            }
            if (slot.hash == lo && same_text(slot.key, s)) return false;
        }
    }

private:
    struct Slot {
        PyObject* key;
        uint32_t hash;  // the low bits of the str's hash
        uint32_t pos;
    };

    void rehash(size_t cap) {
        std::vector<Slot> old(cap, Slot{nullptr, 0, 0});
        old.swap(slots_);
        mask_ = cap - 1;
        for (const Slot& slot : old) {
            if (!slot.key) continue;
            size_t i = slot.hash & mask_;
            while (slots_[i].key) i = (i + 1) & mask_;
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;
};

// LieBiao, the label list of one create_net call: it holds a reference to each
// label, in order.  Only this call can reach it, so no code run by a label or
// an argument can change it.
//
// `combination in LieBiao` is an equality test against every label in order.
// Against an exact-str combination, an exact-str label compares by its text
// and an inert label never matches, both without running code; so it is
// enough to compare the other labels ("open" ones) in order up to the first
// label of equal text, which the index finds.  With no open labels that is one
// hash look-up.
class Labels {
public:
    Labels() = default;
    Labels(const Labels&) = delete;
    Labels& operator=(const Labels&) = delete;
    ~Labels() {
        for (PyObject* o : items_) Py_XDECREF(o);
    }

    Py_ssize_t size() const { return (Py_ssize_t)items_.size(); }
    PyObject* operator[](Py_ssize_t i) const { return items_[(size_t)i]; }

    // True when items_[i] is the first label of its text; meaningful when
    // all_text() holds.
    bool first_of_text(Py_ssize_t i) const { return first_[(size_t)i] != 0; }
    // Every label is an exact str and the index saw them all.
    bool all_text() const { return not_text_ == 0 && indexed_; }
    // A membership test of an exact str is one look-up (see append_text).
    bool text_only() const { return open_.empty() && indexed_ && size() < kMaxIndexed; }

    void reserve(size_t n) {
        items_.reserve(items_.size() + n);
        first_.reserve(first_.size() + n);
        if (indexed_) index_.reserve(items_.size() + n);
    }

    void append(frame::Ref label) {
        PyObject* o = label.get();
        const Py_ssize_t pos = size();
        push(std::move(label), false);
        if (PyUnicode_CheckExact(o)) {
            if (use_index()) first_.back() = index_.add(o, PyObject_Hash(o), pos);
            return;
        }
        ++not_text_;
        if (!inert_against_str(o)) open_.push_back(pos);
    }

    // `if combination not in LieBiao: LieBiao.append(combination)`
    void append_if_absent(frame::Ref combination) {
        PyObject* c = combination.get();
        if (PyUnicode_CheckExact(c) && use_index()) {
            const Py_hash_t h = PyObject_Hash(c);
            if (open_.empty()) {
                append_text(std::move(combination), h);
                return;
            }
            const Py_ssize_t first = index_.find(c, h);
            for (size_t k = 0; k < open_.size(); ++k) {
                const Py_ssize_t pos = open_[k];
                if (first != StrIndex::npos && pos > first) break;
                if (equal(pos, c)) return;
            }
            if (first == StrIndex::npos) append(std::move(combination));
            return;
        }
        for (Py_ssize_t pos = 0; pos < size(); ++pos)
            if (equal(pos, c)) return;
        append(std::move(combination));
    }

    // append_if_absent of an exact str `c` of hash `h` when text_only(): one
    // look-up that also records a new label.
    void append_text(frame::Ref c, Py_hash_t h) {
        if (index_.add(c.get(), h, size())) push(std::move(c), true);
    }

    void prefetch(Py_hash_t h) const { index_.prefetch(h); }

private:
    // Positions are kept in 32 bits; past that every test compares.
    static constexpr Py_ssize_t kMaxIndexed = (Py_ssize_t)UINT32_MAX;
    bool use_index() {
        if (size() >= kMaxIndexed) indexed_ = false;
        return indexed_;
    }

    void push(frame::Ref label, bool first) {
        first_.push_back(first);
        items_.push_back(nullptr);
        items_.back() = label.release();
    }

    // `LieBiao[pos] == c`, as the list's own membership test compares.
    bool equal(Py_ssize_t pos, PyObject* c) const {
        frame::Ref item = frame::Ref::borrow(items_[(size_t)pos]);
        return frame::check(PyObject_RichCompareBool(item.get(), c, Py_EQ)) == 1;
    }

    std::vector<PyObject*> items_;
    std::vector<uint8_t> first_;    // 1 where a label is the first of its text
    StrIndex index_;
    std::vector<Py_ssize_t> open_;  // positions of labels that are neither exact str nor inert
    Py_ssize_t not_text_ = 0;       // labels that are not exact str
    bool indexed_ = true;
};

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
            // Elements at even positions.  Appending runs no code, so the size
            // read at each step is the list's.
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(value); k += 2)
                labels.append(frame::Ref::borrow(PyList_GET_ITEM(value, k)));
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

// Step 3: the pair labels LIs[i] + "_" + LIs[j].
void collect_pairs(PyObject* LIs, Labels& labels) {
    // Pairs of exact strs from a list or tuple are made a batch at a time, each
    // batch's index slots fetched ahead; nothing in a batch runs code, so the
    // labels and their order are those of one pair at a time.
    constexpr int kBatch = 16;
    const bool stored = PyList_CheckExact(LIs) || PyTuple_CheckExact(LIs);
    const Py_ssize_t n = length(LIs);
    if (stored) labels.reserve(pairs_at_most(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // The inner range starts (and reads the length) for every i; only
        // i % 3 == 0 runs its body.
        const Py_ssize_t inner = length(LIs);
        if (i % 3 != 0) continue;
        Py_ssize_t j = i + (i & 1);
        while (j < inner) {
            PyObject* a = stored && labels.text_only() ? stored_item(LIs, i) : nullptr;
            if (a && PyUnicode_CheckExact(a)) {
                frame::Ref made[kBatch];
                Py_hash_t hashes[kBatch];
                int m = 0;
                for (; m < kBatch && j < inner; ++m, j += 2) {
                    PyObject* b = stored_item(LIs, j);
                    if (!b || !PyUnicode_CheckExact(b)) break;
                    made[m] = join({a, Piece("_", 1), b});
                    hashes[m] = PyObject_Hash(made[m].get());
                    labels.prefetch(hashes[m]);
                }
                for (int k = 0; k < m; ++k) labels.append_text(std::move(made[k]), hashes[k]);
                if (m > 0) continue;
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

// Step 4: one line per label, through the file's write.
void write_labels(PyObject* self, const Labels& labels) {
    frame::Ref gephi = frame::getattr(self, s_gephi);
    frame::Ref file = frame::call(b_open.get(), {gephi.get(), s_w.get()});
    frame::with_block(file.get(), [&](PyObject* f) {
        for (Py_ssize_t k = 0; k < labels.size(); ++k) {
            PyObject* label = labels[k];
            frame::Ref text;
            if (PyUnicode_CheckExact(label)) {
                text = join({label, Piece("\n", 1)});
            } else {
                frame::Ref shown = frame::display_text(label);
                text = join({shown.get(), Piece("\n", 1)});
            }
            PyObject* args[2] = {f, text.get()};
            frame::take(PyObject_VectorcallMethod(s_write.get(), args, 2, nullptr));
        }
    });
}

// "Processing <label>: <length>"
frame::Ref report_line(PyObject* label, Py_ssize_t n) {
    char digits[32];
    const int nd = std::snprintf(digits, sizeof digits, "%zd", n);
    return join({"Processing ", label, ": ", Piece(digits, nd)});
}

// Step 5: with more than ten labels, one line for each distinct even-length
// label, in the order of first occurrence.
void report(const Labels& labels) {
    if (labels.size() <= 10) return;
    if (labels.all_text()) {
        // temp_var of exact strs: the first label of each even-length text,
        // in order, mapped to its length.  Nothing here can fail before the
        // lines are printed, so they are printed as it is walked.
        for (Py_ssize_t k = 0; k < labels.size(); ++k) {
            PyObject* label = labels[k];
            const Py_ssize_t n = PyUnicode_GET_LENGTH(label);
            if (n % 2 != 0 || !labels.first_of_text(k)) continue;
            frame::Ref text = report_line(label, n);
            frame::call(b_print.get(), {text.get()});
        }
        return;
    }
    frame::Ref temp_var = frame::take(PyDict_New());
    for (Py_ssize_t k = 0; k < labels.size(); ++k) {
        PyObject* label = labels[k];
        const Py_ssize_t n = length(label);
        if (n % 2 != 0) continue;
        frame::Ref len = frame::take(PyLong_FromSsize_t(n));
        frame::check(PyDict_SetItem(temp_var.get(), label, len.get()));
    }
    frame::for_each_item(temp_var.get(), [&](PyObject* k, PyObject* v) {
        frame::Ref key = frame::display_text(k);
        frame::Ref text;
        if (PyLong_CheckExact(v)) {
            text = report_line(key.get(), PyLong_AsSsize_t(v));  // our own lengths: their digits
        } else {
            frame::Ref value = frame::display_text(v);
            text = join({"Processing ", key.get(), ": ", value.get()});
        }
        frame::call(b_print.get(), {text.get()});
    });
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
    collect_pairs(LIs, LieBiao);
    write_labels(self, LieBiao);
    report(LieBiao);
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

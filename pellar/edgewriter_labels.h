// The label list of Edgewriter.create_net, LieBiao, and its pair labels.
//
// LieBiao holds the labels of the dict's values as objects.  The pair labels
// LIs[i] + "_" + LIs[j] are objects too when they are made one at a time, as
// plain code makes them; when every item read is an exact str and nothing can
// run code while they are made (see pair_runs), they are runs of positions
// instead, written and reported from the items' characters.
#pragma once

#include "frame/bulkio.h"
#include "frame/hash.h"
#include "frame/ops.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <initializer_list>
#include <memory>
#include <vector>

namespace edgewriter {

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
inline frame::Ref join(std::initializer_list<Piece> pieces, frame::Loc loc = frame::Loc::current()) {
    Py_UCS4 maxchar = 0x7f;
    Py_ssize_t total = 0;
    for (const Piece& p : pieces) {
        const Py_ssize_t n = p.str ? PyUnicode_GET_LENGTH(p.str) : p.len;
        if (p.str && PyUnicode_MAX_CHAR_VALUE(p.str) > maxchar) maxchar = PyUnicode_MAX_CHAR_VALUE(p.str);
        if (n > PY_SSIZE_T_MAX - total) {
            PyErr_SetString(PyExc_OverflowError, "strings are too large to concat");
            frame::raise(loc);
        }
        total += n;
    }
    frame::Ref out = frame::take(PyUnicode_New(total, maxchar), loc);
    const int kind = PyUnicode_KIND(out.get());
    char* data = static_cast<char*>(PyUnicode_DATA(out.get()));
    Py_ssize_t at = 0;
    for (const Piece& p : pieces) {
        if (p.str) {
            const Py_ssize_t n = PyUnicode_GET_LENGTH(p.str);
            if (PyUnicode_KIND(p.str) == kind) {
                std::memcpy(data + at * kind, PyUnicode_DATA(p.str), (size_t)(n * kind));
            } else if (PyUnicode_CopyCharacters(out.get(), at, p.str, 0, n) < 0) {
                frame::raise(loc);
            }
            at += n;
        } else {
            for (Py_ssize_t c = 0; c < p.len; ++c) PyUnicode_WRITE(kind, data, at++, (Py_UCS4)p.ascii[c]);
        }
    }
    return out;
}

// A label whose comparison with an exact str runs no code and is false: the
// comparison of these types with a str is NotImplemented on both sides, which
// leaves identity, and a label of these types is never the str compared.
inline bool inert_against_str(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return o == Py_None || t == &PyLong_Type || t == &PyBool_Type || t == &PyFloat_Type || t == &PyComplex_Type ||
           t == &PyTuple_Type || t == &PyList_Type || t == &PyDict_Type || t == &PySet_Type ||
           t == &PyFrozenSet_Type;
}

// Text of the narrowest kind that holds it, so that equal texts have equal
// keys, and its hash.
struct TextKey {
    int kind;
    const char* data;
    Py_ssize_t len;
    uint64_t hash;

    bool operator==(const TextKey& o) const {
        return kind == o.kind && len == o.len && (len == 0 || std::memcmp(data, o.data, (size_t)(len * kind)) == 0);
    }
};

inline uint64_t text_hash(int kind, const char* data, Py_ssize_t len) {
    return frame::hash_bytes(data, (size_t)(len * kind)) ^ (uint64_t)kind * 0x9e3779b97f4a7c15ull;
}

inline Py_UCS4 max_char_of(const frame::TextView& v) {
    if (v.ascii) return 127;
    Py_UCS4 m = 0;
    for (Py_ssize_t i = 0; i < v.len; ++i) {
        const Py_UCS4 c = PyUnicode_READ(v.kind, v.data, i);
        if (c > m) m = c;
    }
    return m;
}

// The key of `v`; its characters are narrowed into `scratch` when they are
// wider than they need be.
inline TextKey text_key(const frame::TextView& v, std::vector<char>& scratch) {
    int kind = v.kind;
    if (kind > 1) {
        const Py_UCS4 m = max_char_of(v);
        kind = m < 256 ? 1 : m < 65536 ? 2 : 4;
    }
    const char* data = static_cast<const char*>(v.data);
    if (kind != v.kind) {
        scratch.resize((size_t)(v.len * kind));
        for (Py_ssize_t i = 0; i < v.len; ++i) {
            const Py_UCS4 c = PyUnicode_READ(v.kind, v.data, i);
            if (kind == 1) scratch[(size_t)i] = (char)c;
            else reinterpret_cast<Py_UCS2*>(scratch.data())[i] = (Py_UCS2)c;
        }
        data = scratch.data();
    }
    return TextKey{kind, data, v.len, text_hash(kind, data, v.len)};
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

    // The position of the first label of the text `k`, or npos.
    Py_ssize_t find(const TextKey& k) const {
        if (slots_.empty()) return npos;
        const uint32_t lo = (uint32_t)k.hash;
        for (size_t i = lo & mask_;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (!slot.key) return npos;
            if (slot.hash == lo && key_of(slot.key) == k) return slot.pos;
        }
    }

    // Records `s`, of text `k`, at `pos` unless a label of the same text is
    // there; true when recorded.
    bool add(PyObject* s, const TextKey& k, Py_ssize_t pos) {
        if (2 * (used_ + 1) > slots_.size()) rehash(slots_.empty() ? 16 : 2 * slots_.size());
        const uint32_t lo = (uint32_t)k.hash;
        for (size_t i = lo & mask_;; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (!slot.key) {
                slot = {s, lo, (uint32_t)pos};
                ++used_;
                return true;
            }
            if (slot.hash == lo && key_of(slot.key) == k) return false;
        }
    }

    // The key of an exact str (stored in its narrowest kind already).
    static TextKey key_of(PyObject* s) {
        const int kind = (int)PyUnicode_KIND(s);
        const char* data = static_cast<const char*>(PyUnicode_DATA(s));
        const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
        return TextKey{kind, data, len, text_hash(kind, data, len)};
    }

private:
    struct Slot {
        PyObject* key;
        uint32_t hash;  // the low bits of the text's hash
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
    // A membership test of an exact str is one look-up.
    bool text_only() const { return open_.empty() && indexed_ && size() < kMaxIndexed; }
    // No label whose comparison with an exact str can run code or be true
    // without equal text.
    bool no_open_labels() const { return open_.empty() && indexed_; }

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
            if (use_index()) first_.back() = index_.add(o, StrIndex::key_of(o), pos);
            return;
        }
        ++not_text_;
        if (!inert_against_str(o)) open_.push_back(pos);
    }

    // `if combination not in LieBiao: LieBiao.append(combination)`
    void append_if_absent(frame::Ref combination, frame::Loc loc = frame::Loc::current()) {
        PyObject* c = combination.get();
        if (PyUnicode_CheckExact(c) && use_index()) {
            const TextKey k = StrIndex::key_of(c);
            if (open_.empty()) {
                if (index_.add(c, k, size())) push(std::move(combination), true);
                return;
            }
            const Py_ssize_t first = index_.find(k);
            for (size_t i = 0; i < open_.size(); ++i) {
                const Py_ssize_t pos = open_[i];
                if (first != StrIndex::npos && pos > first) break;
                if (equal(pos, c, loc)) return;
            }
            if (first == StrIndex::npos) append(std::move(combination));
            return;
        }
        for (Py_ssize_t pos = 0; pos < size(); ++pos)
            if (equal(pos, c, loc)) return;
        append(std::move(combination));
    }

    // The same for the pair label a + "_" + b of exact strs when text_only():
    // looked up from its characters, made only when it is absent.
    void append_pair_if_absent(PyObject* a, PyObject* b, frame::Loc loc = frame::Loc::current()) {
        scratch_.clear();
        scratch_.append(a);
        scratch_.append_ascii('_');
        scratch_.append(b);
        const frame::TextView v = scratch_.view();
        const char* data = static_cast<const char*>(v.data);
        const TextKey k{v.kind, data, v.len, text_hash(v.kind, data, v.len)};
        if (index_.find(k) != StrIndex::npos) return;
        frame::Ref made = scratch_.str(0, v.len, loc);
        index_.add(made.get(), StrIndex::key_of(made.get()), size());
        push(std::move(made), true);
    }

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
    bool equal(Py_ssize_t pos, PyObject* c, frame::Loc loc) const {
        frame::Ref item = frame::Ref::borrow(items_[(size_t)pos]);
        return frame::check(PyObject_RichCompareBool(item.get(), c, Py_EQ), loc) == 1;
    }

    std::vector<PyObject*> items_;
    std::vector<uint8_t> first_;    // 1 where a label is the first of its text
    StrIndex index_;
    frame::TextBuffer scratch_;
    std::vector<Py_ssize_t> open_;  // positions of labels that are neither exact str nor inert
    Py_ssize_t not_text_ = 0;       // labels that are not exact str
    bool indexed_ = true;
};


// ---- pair labels as runs --------------------------------------------------------------------
//
// When LIs is an exact list, tuple or str whose items at the positions the
// loops read are exact strs, and no label of LieBiao can run code when
// compared, nothing in step 3 runs code but a signal handler, and what it
// appends follows from the items' texts alone (a handler that changes a list
// LIs sends the rest of step 3 pair by pair):
// - a pair label is its two items joined by "_".  If no row item (i % 3 == 0)
//   or no column item (even j) holds a "_", the label's text tells its two
//   items apart, so two pair labels are equal exactly when their items are;
// - row i sees the columns from i on; a row whose item equals that of an
//   earlier row adds nothing (every one of its pairs was tested then), and in
//   a row a column whose item was seen earlier in the row adds nothing;
// - a label of the dict's values equals the pair label of (a, b) exactly when
//   it is a + "_" + b: such pairs are present from the start.
// The labels appended are then runs of columns, step 2, per row.

// Distinct texts numbered from 0 in order of first sight.
class TextClasses {
public:
    uint32_t count() const { return (uint32_t)keys_.size(); }

    // The number of `k`, given one when new; its characters are copied.
    uint32_t add(const TextKey& k) {
        if (2 * (keys_.size() + 1) > slots_.size()) grow();
        size_t i = k.hash & mask_;
        for (; slots_[i] != 0; i = (i + 1) & mask_)
            if (keys_[slots_[i] - 1] == k) return slots_[i] - 1;
        const size_t n = (size_t)(k.len * k.kind);
        chars_.emplace_back(new char[n ? n : 1]);
        if (n) std::memcpy(chars_.back().get(), k.data, n);
        keys_.push_back(TextKey{k.kind, chars_.back().get(), k.len, k.hash});
        slots_[i] = (uint32_t)keys_.size();
        return (uint32_t)keys_.size() - 1;
    }

    // The number of `k`, or -1.
    int64_t find(const TextKey& k) const {
        if (slots_.empty()) return -1;
        for (size_t i = k.hash & mask_; slots_[i] != 0; i = (i + 1) & mask_)
            if (keys_[slots_[i] - 1] == k) return slots_[i] - 1;
        return -1;
    }

private:
    void grow() {
        const size_t cap = slots_.empty() ? 64 : 2 * slots_.size();
        slots_.assign(cap, 0);
        mask_ = cap - 1;
        for (size_t c = 0; c < keys_.size(); ++c) {
            size_t i = keys_[c].hash & mask_;
            while (slots_[i] != 0) i = (i + 1) & mask_;
            slots_[i] = (uint32_t)c + 1;
        }
    }

    std::vector<uint32_t> slots_;  // class + 1; 0 is empty
    size_t mask_ = 0;
    std::vector<TextKey> keys_;
    std::vector<std::unique_ptr<char[]>> chars_;
};

// Labels LIs[i] + "_" + LIs[j] for j = j0, j0 + 2, ... below j1.
struct Run {
    Py_ssize_t i, j0, j1;
    Py_ssize_t count() const { return (j1 - j0 + 1) / 2; }
};

// The items of LIs the loops read, held for the call (a list may change
// later; its items stay as they were read).
class PairItems {
public:
    // False, holding nothing, unless LIs is an exact list or tuple whose items
    // at the positions read are exact strs, or an exact str.
    bool hold(PyObject* LIs) {
        if (PyUnicode_CheckExact(LIs)) {
            n_ = PyUnicode_GET_LENGTH(LIs);
            seq_ = frame::Ref::borrow(LIs);
            return true;
        }
        if (!PyList_CheckExact(LIs) && !PyTuple_CheckExact(LIs)) return false;
        list_ = PyList_CheckExact(LIs);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(LIs);
        PyObject** items = PySequence_Fast_ITEMS(LIs);
        for (Py_ssize_t p = 0; p < n; ++p)
            if (read(p) && !PyUnicode_CheckExact(items[p])) return false;
        items_.assign((size_t)n, frame::Ref());
        for (Py_ssize_t p = 0; p < n; ++p)
            if (read(p)) items_[(size_t)p] = frame::Ref::borrow(items[p]);
        n_ = n;
        return true;
    }

    // A position the loops read: a row (i % 3 == 0) or a column (even j).
    static bool read(Py_ssize_t p) { return p % 3 == 0 || p % 2 == 0; }

    // True when LIs, the list or tuple or str held, still has the items held
    // (code run by a signal handler may have changed a list).
    bool unchanged(PyObject* LIs) const {
        if (!list_) return true;
        if (PyList_GET_SIZE(LIs) != n_) return false;
        for (Py_ssize_t p = 0; p < n_; ++p)
            if (read(p) && PyList_GET_ITEM(LIs, p) != items_[(size_t)p].get()) return false;
        return true;
    }
    Py_ssize_t size() const { return n_; }

    frame::TextView text(Py_ssize_t p) const {
        if (seq_) {
            const int kind = (int)PyUnicode_KIND(seq_.get());
            const char* d = static_cast<const char*>(PyUnicode_DATA(seq_.get())) + p * kind;
            return frame::TextView{kind, d, 1, PyUnicode_READ(kind, d, 0) < 128};
        }
        return frame::TextBuffer::view(items_[(size_t)p].get());
    }

private:
    frame::Ref seq_;                 // an exact str LIs
    std::vector<frame::Ref> items_;  // a list's or tuple's items (null where not read)
    Py_ssize_t n_ = 0;
    bool list_ = false;
};

// a + "_" + b
inline void put_pair(frame::TextBuffer& t, const frame::TextView& a, const frame::TextView& b) {
    t.append(a);
    t.append_ascii('_');
    t.append(b);
}

struct PairRuns {
    PairItems items;
    std::vector<Run> runs;
    Py_ssize_t count = 0;  // labels in the runs
    // When a signal handler changed LIs: the runs are the rows before this
    // position, and the rest of step 3 is to be taken pair by pair from it.
    Py_ssize_t stopped_at = -1;
};

// Step 3 as runs of pair labels, when nothing in it can run code and the
// items' texts decide it (see above).  False, with nothing done, otherwise.
inline bool pair_runs(PyObject* LIs, const Labels& labels, PairRuns& out, frame::Loc loc = frame::Loc::current()) {
    if (!labels.no_open_labels() || !out.items.hold(LIs)) return false;
    const PairItems& items = out.items;
    const Py_ssize_t n = items.size();
    // Each item read gets the number of its text.
    TextClasses classes;
    std::vector<uint32_t> cls((size_t)n, 0);
    std::vector<char> scratch;
    bool row_underscore = false, col_underscore = false;
    auto has_underscore = [](const frame::TextView& v) {
        for (Py_ssize_t i = 0; i < v.len; ++i)
            if (PyUnicode_READ(v.kind, v.data, i) == '_') return true;
        return false;
    };
    Py_ssize_t read = 0;
    for (Py_ssize_t p = 0; p < n; ++p) {
        if (!PairItems::read(p)) continue;
        ++read;
        const frame::TextView v = items.text(p);
        cls[(size_t)p] = classes.add(text_key(v, scratch));
        if (has_underscore(v)) {
            if (p % 3 == 0) row_underscore = true;
            if (p % 2 == 0) col_underscore = true;
        }
        if ((read & 0xffff) == 0) {
            if (PyErr_CheckSignals() < 0) frame::raise(loc);
            // Before any pair is made: step 3 is taken pair by pair from the start.
            if (!items.unchanged(LIs)) {
                out = PairRuns();
                return false;
            }
        }
    }
    if (row_underscore && col_underscore) {
        out = PairRuns();
        return false;
    }
    const uint32_t nclasses = classes.count();
    std::vector<uint8_t> role(nclasses, 0);  // 1: a row's item, 2: a column's
    for (Py_ssize_t p = 0; p < n; ++p) {
        if (p % 3 == 0) role[cls[(size_t)p]] |= 1;
        if (p % 2 == 0) role[cls[(size_t)p]] |= 2;
    }
    // Pairs present from the start: labels a + "_" + b.  Where rows hold no
    // "_" the split is at a label's first "_", else at its last.
    std::vector<uint8_t> has_present(nclasses, 0);
    std::vector<uint64_t> present;
    for (Py_ssize_t k = 0; k < labels.size(); ++k) {
        PyObject* label = labels[k];
        if (!PyUnicode_CheckExact(label)) continue;
        const frame::TextView v = frame::TextBuffer::view(label);
        Py_ssize_t cut = -1;
        for (Py_ssize_t i = 0; i < v.len; ++i)
            if (PyUnicode_READ(v.kind, v.data, i) == '_') {
                cut = i;
                if (!row_underscore) break;
            }
        if (cut < 0) continue;
        const char* d = static_cast<const char*>(v.data);
        const int64_t a = classes.find(text_key(frame::TextView{v.kind, d, cut, v.ascii}, scratch));
        if (a < 0 || !(role[a] & 1)) continue;
        const int64_t b =
            classes.find(text_key(frame::TextView{v.kind, d + (cut + 1) * v.kind, v.len - cut - 1, v.ascii}, scratch));
        if (b < 0 || !(role[b] & 2)) continue;
        present.push_back((uint64_t)a << 32 | (uint64_t)b);
        has_present[a] = 1;
    }
    std::sort(present.begin(), present.end());
    auto is_present = [&](uint32_t a, uint32_t b) {
        return std::binary_search(present.begin(), present.end(), (uint64_t)a << 32 | b);
    };
    // The rows.
    const bool distinct = (Py_ssize_t)nclasses == read;
    std::vector<uint8_t> row_done(nclasses, 0);
    std::vector<uint32_t> seen(distinct ? 0 : nclasses, 0);  // the row that last saw a column's item
    uint32_t row = 0;
    size_t work = 0;
    for (Py_ssize_t i = 0; i < n; i += 3) {
        const uint32_t a = cls[(size_t)i];
        if (row_done[a]) continue;
        row_done[a] = 1;
        ++row;
        const Py_ssize_t first = i + (i & 1);
        if (distinct && !has_present[a]) {
            if (first < n) out.runs.push_back(Run{i, first, n});
            continue;
        }
        Py_ssize_t open = -1;
        for (Py_ssize_t j = first; j < n; j += 2) {
            const uint32_t b = cls[(size_t)j];
            bool there = false;
            if (!distinct) {
                there = seen[b] == row;
                seen[b] = row;
            }
            if (!there && has_present[a]) there = is_present(a, b);
            if (there) {
                if (open >= 0) out.runs.push_back(Run{i, open, j});
                open = -1;
            } else if (open < 0) {
                open = j;
            }
        }
        if (open >= 0) out.runs.push_back(Run{i, open, n});
        work += (size_t)(n - first) / 2 + 1;
        if (work >= (size_t(1) << 18)) {
            work = 0;
            if (PyErr_CheckSignals() < 0) frame::raise(loc);
            if (!items.unchanged(LIs)) {
                out.stopped_at = i + 1;
                break;
            }
        }
    }
    for (const Run& r : out.runs) out.count += r.count();
    return true;
}

}  // namespace edgewriter

// pellar.recsift: class Recsift, the sifted sequences of a sequence-list file.
//
// SQ_LS reads the file line by line.  A line is stripped; empty lines, "#"
// lines and lines of fewer than three "|"-separated fields are skipped; the
// fields after the id, joined with "-", are the record's sequence (reversed when
// its length is even).  The id table keeps each id at its first position with
// the parts of its latest record; the sequences that contain "A" or are longer
// than 10 characters are handed back in reverse order.
//
// How it is done.  A line read from a text file is an exact str, and such a
// line is taken apart in place: the strip bounds, the "#" test and the
// separators are found by walking its characters, and the record's finished
// sequence -- "|" turned into "-", reversed when its length is even -- is built
// in one pass.  A record's parts never exist as strings or as a list, which keeps
// the cyclic collector asleep.  Since the join, the reversal and the filter
// depend only on the latest record of an id, the id table holds for each id that
// record's finished sequence, or nothing when the sequence does not pass the
// filter.
//
// The id table is the IdTable below while every id comes from an exact str: the
// ids are kept as their characters in blocks of memory, so an id costs no
// object, and the hash slots carry part of the hash, so a probe seldom leaves its
// cache line.  A line of any other type goes through its own strip, startswith,
// split, len and indexing, as plain code does, and its id may be any object with
// its own equality; from the first such line on the table becomes an ordinary
// dict (ids and sequences moved over in order) and the rest of the file is read
// into that.
#include "frame/bulkio.h"
#include "frame/hash.h"
#include "frame/module.h"
#include "frame/ops.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <sys/mman.h>

namespace {

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

// ---- the id table of exact-str ids ----------------------------------------------------------

// Zeroed memory for large arrays, on huge pages where the system offers them:
// the hash slots are read at random, and on small pages nearly every probe of a
// large table would also miss the address translation cache.
void* big_alloc(size_t bytes) {
    constexpr size_t huge = size_t(2) << 20;
    if (bytes < huge) {
        void* p = std::calloc(1, bytes);
        if (!p) throw std::bad_alloc();
        return p;
    }
    const size_t size = (bytes + huge - 1) & ~(huge - 1);
    void* p = nullptr;
    if (posix_memalign(&p, huge, size) != 0) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(p, size, MADV_HUGEPAGE);
#endif
    std::memset(p, 0, size);
    return p;
}

// Ids in table order with the value of each: a new reference to the finished
// sequence, or null when the sequence does not pass the filter.  An id is its
// characters at the width of its largest one (1, 2 or 4 bytes each), so two
// ids are equal exactly when their widths and bytes are.
class IdTable {
public:
    IdTable() = default;
    IdTable(const IdTable&) = delete;
    IdTable& operator=(const IdTable&) = delete;
    ~IdTable() { clear(); }

    // Entries are numbered from 1 in 32 bits of a slot.
    static constexpr size_t kMaxEntries = 0xffffffffu;

    size_t size() const { return n_; }

    static uint64_t hash(const void* key, size_t nbytes) { return frame::hash_bytes(key, nbytes); }

    // Starts loading the slot where the search for hash `h` begins.
    void prefetch(uint64_t h) const {
        if (slots_) __builtin_prefetch(&slots_[(size_t)h & mask_]);
    }

    // table[id] = value (a finished sequence or null); `h` is hash(key, nbytes).
    void put(const void* key, size_t nbytes, unsigned width, uint64_t h, frame::Ref value) {
        if (!slots_) grow_slots();
        const uint32_t tag = (uint32_t)(h >> 32);
        for (size_t i = (size_t)h & mask_;; i = (i + 1) & mask_) {
            const uint64_t slot = slots_[i];
            if (slot == 0) break;
            if ((uint32_t)slot == tag) {
                Entry& e = entries_[(slot >> 32) - 1];
                if (meta(e.key) == pack(nbytes, width) && std::memcmp(e.key + kHeader, key, nbytes) == 0) {
                    PyObject* old = e.value;
                    e.value = value.release();
                    Py_XDECREF(old);
                    return;
                }
            }
        }
        // A new id: needs room for one more entry and a table at most half full.
        if (n_ == cap_) grow_entries();
        if ((n_ + 1) * 2 > mask_ + 1) grow_slots();
        const char* k = store_key(key, nbytes, width);
        entries_[n_] = Entry{value.release(), k, h};
        ++n_;
        insert_slot(h, n_);
    }

    // The value of entry i, handed over to the caller.
    PyObject* take_value(size_t i) { return std::exchange(entries_[i].value, nullptr); }
    bool has_value(size_t i) const { return entries_[i].value != nullptr; }

    // The id of entry i as a new str.
    PyObject* key_str(size_t i) const {
        const uint64_t m = meta(entries_[i].key);
        const size_t width = m & 7, nbytes = m >> 3;
        const int kind = width == 1 ? PyUnicode_1BYTE_KIND : width == 2 ? PyUnicode_2BYTE_KIND : PyUnicode_4BYTE_KIND;
        return PyUnicode_FromKindAndData(kind, entries_[i].key + kHeader, (Py_ssize_t)(nbytes / width));
    }

    void clear() {
        for (size_t i = 0; i < n_; ++i) Py_XDECREF(entries_[i].value);
        std::free(entries_);
        std::free(slots_);
        entries_ = nullptr;
        slots_ = nullptr;
        n_ = cap_ = 0;
        mask_ = 0;
        blocks_.clear();
        room_ = 0;
        next_ = nullptr;
    }

private:
    // A stored id: its byte count and width packed in 8 bytes, then its bytes.
    static constexpr size_t kHeader = sizeof(uint64_t);
    static uint64_t pack(size_t nbytes, unsigned width) { return (uint64_t)nbytes << 3 | width; }
    static uint64_t meta(const char* key) {
        uint64_t m;
        std::memcpy(&m, key, sizeof m);
        return m;
    }
    struct Entry {
        PyObject* value;
        const char* key;
        uint64_t hash;
    };
    // Ids are kept in blocks of this size (a longer id gets a block of its own).
    static constexpr size_t kBlock = size_t(1) << 20;

    // A slot holds the entry's number (from 1) above the hash's high half; 0 is
    // empty.  Slots are probed one after the other from the hash's low bits.
    void insert_slot(uint64_t h, size_t number) {
        size_t i = (size_t)h & mask_;
        while (slots_[i] != 0) i = (i + 1) & mask_;
        slots_[i] = ((uint64_t)number << 32) | (h >> 32);
    }

    void grow_entries() {
        const size_t cap = cap_ ? cap_ * 2 : 1024;
        void* p = std::realloc(entries_, cap * sizeof(Entry));
        if (!p) throw std::bad_alloc();
        entries_ = static_cast<Entry*>(p);
        cap_ = cap;
    }

    void grow_slots() {
        const size_t count = mask_ ? (mask_ + 1) * 2 : 2048;
        uint64_t* old = slots_;
        slots_ = static_cast<uint64_t*>(big_alloc(count * sizeof(uint64_t)));
        mask_ = count - 1;
        // Entries in order: read in sequence rather than at random.
        for (size_t i = 0; i < n_; ++i) insert_slot(entries_[i].hash, i + 1);
        std::free(old);
    }

    const char* store_key(const void* key, size_t nbytes, unsigned width) {
        // Each id starts 8-aligned, so 2- and 4-byte characters are read at their
        // own alignment when the id is made a str again.
        const size_t need = (kHeader + nbytes + 7) & ~size_t(7);
        if (need > room_) {
            const size_t block = need > kBlock ? need : kBlock;
            std::unique_ptr<char[]> b(new char[block]);
            blocks_.push_back(std::move(b));
            next_ = blocks_.back().get();
            room_ = block;
        }
        char* k = next_;
        const uint64_t m = pack(nbytes, width);
        std::memcpy(k, &m, kHeader);
        std::memcpy(k + kHeader, key, nbytes);
        next_ += need;
        room_ -= need;
        return k;
    }

    Entry* entries_ = nullptr;
    size_t n_ = 0, cap_ = 0;
    uint64_t* slots_ = nullptr;
    size_t mask_ = 0;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    size_t room_ = 0;
};

// ---- taking an exact-str line apart ----------------------------------------------------------

template <typename C>
Py_ssize_t find(const C* d, Py_ssize_t from, Py_ssize_t to, C ch) {
    if constexpr (sizeof(C) == 1) {
        const void* p = std::memchr(d + from, ch, (size_t)(to - from));
        return p ? static_cast<const C*>(p) - d : -1;
    } else {
        for (Py_ssize_t i = from; i < to; ++i)
            if (d[i] == ch) return i;
        return -1;
    }
}

template <typename C>
Py_UCS4 max_char(const C* d, Py_ssize_t from, Py_ssize_t to) {
    Py_UCS4 m = 0;
    for (Py_ssize_t i = from; i < to; ++i)
        if (d[i] > m) m = d[i];
    return m;
}

unsigned width_of(Py_UCS4 max) { return max < 256 ? 1 : max < 65536 ? 2 : 4; }

// The sequence of the fields in src[0..len): "|" becomes "-", and the whole is
// written backwards when `backwards`.
template <typename In, typename Out>
void put_sequence(const In* src, Py_ssize_t len, Out* out, bool backwards) {
    if (backwards) {
        Out* p = out + len;
        for (Py_ssize_t i = 0; i < len; ++i) {
            const In c = src[i];
            *--p = c == In('|') ? Out('-') : Out(c);
        }
    } else {
        for (Py_ssize_t i = 0; i < len; ++i) {
            const In c = src[i];
            out[i] = c == In('|') ? Out('-') : Out(c);
        }
    }
}

// The finished sequence of d[from..to) as a new str.  Its kind follows from
// the largest character of the range, so it is the very str the join makes.
template <typename C>
frame::Ref make_sequence(const C* d, Py_ssize_t from, Py_ssize_t to, bool ascii) {
    const Py_ssize_t len = to - from;
    const Py_UCS4 top = ascii ? 127 : max_char(d, from, to);
    frame::Ref seq = frame::take(PyUnicode_New(len, top));
    const bool backwards = len % 2 == 0;
    void* out = PyUnicode_DATA(seq.get());
    switch (PyUnicode_KIND(seq.get())) {
        case PyUnicode_1BYTE_KIND:
            put_sequence(d + from, len, static_cast<Py_UCS1*>(out), backwards);
            break;
        case PyUnicode_2BYTE_KIND:
            if constexpr (sizeof(C) >= 2) put_sequence(d + from, len, static_cast<Py_UCS2*>(out), backwards);
            break;
        default:
            if constexpr (sizeof(C) == 4) put_sequence(d + from, len, static_cast<Py_UCS4*>(out), backwards);
            break;
    }
    return seq;
}

template <typename In, typename Out>
void narrow(const In* src, Py_ssize_t len, std::string& out) {
    out.resize((size_t)len * sizeof(Out));
    Out* o = reinterpret_cast<Out*>(out.data());
    for (Py_ssize_t i = 0; i < len; ++i) o[i] = (Out)src[i];
}

// Where the records go: the IdTable, or once a line of another type has been
// seen, an ordinary dict whose dropped sequences are None.
//
// A record goes into the table one record late: its id is hashed and its slot
// requested from memory when its line is taken apart, and the slot is read
// while the next line is read and taken apart, instead of the work waiting for
// it.  Only the order of the puts matters, and that stays the file's order.
class Records {
public:
    // An id about to be stored: its characters at their own width.
    struct Key {
        const void* bytes;
        size_t nbytes;
        unsigned width;
        uint64_t hash;
    };

    // True when the records go into the dict; the switch to it happens when the
    // table could not take one more id (one is perhaps waiting).
    bool in_dict() {
        if (!dict_ && table_.size() + 2 > IdTable::kMaxEntries) switch_to_dict();
        return bool(dict_);
    }
    PyObject* dict() const { return dict_.get(); }
    IdTable& table() { return table_; }

    // The id text[from..to) for the table, its slot requested.
    template <typename C>
    Key key(const C* d, Py_ssize_t from, Py_ssize_t to) {
        Key k{d + from, (size_t)(to - from) * sizeof(C), sizeof(C), 0};
        if constexpr (sizeof(C) > 1) {
            const unsigned width = width_of(max_char(d, from, to));
            if (width != sizeof(C)) {
                std::string& buf = scratch_[turn_ ^= 1];
                if (width == 1) narrow<C, Py_UCS1>(d + from, to - from, buf);
                else narrow<C, Py_UCS2>(d + from, to - from, buf);
                k = Key{buf.data(), buf.size(), width, 0};
            }
        }
        k.hash = IdTable::hash(k.bytes, k.nbytes);
        table_.prefetch(k.hash);
        return k;
    }

    // records[id] = value, taking over `value`.  The id's characters must stay
    // as they are until the next put or flush: `text`, when given, holds them.
    void put(PyObject* text, const Key& k, frame::Ref value) {
        flush();
        pending_ = k;
        pending_text_ = frame::Ref::borrow(text);
        pending_value_ = std::move(value);
        has_pending_ = true;
    }

    // The record waiting for its slot goes in.
    void flush() {
        if (!has_pending_) return;
        has_pending_ = false;
        table_.put(pending_.bytes, pending_.nbytes, pending_.width, pending_.hash, std::move(pending_value_));
        pending_text_.reset();
    }

    // From here on the ids live in a dict, with the table's ids and values in
    // the table's order.
    void switch_to_dict() {
        flush();
        dict_ = frame::take(PyDict_New());
        for (size_t i = 0; i < table_.size(); ++i) {
            frame::Ref key = frame::take(table_.key_str(i));
            frame::Ref value = table_.has_value(i) ? frame::Ref::steal(table_.take_value(i)) : frame::none();
            frame::check(PyDict_SetItem(dict_.get(), key.get(), value.get()));
        }
        table_.clear();
    }

private:
    IdTable table_;
    frame::Ref dict_;
    std::string scratch_[2];
    int turn_ = 0;
    bool has_pending_ = false;
    Key pending_{};
    frame::Ref pending_text_, pending_value_;
};

// The record of one line of text, if the line is one; `stripped` when the
// text is already what the line's strip gave.  `text`, when given, is the str
// that holds the characters.
template <typename C>
void sift_chars(Records& r, PyObject* text, const C* d, Py_ssize_t len, bool ascii, bool stripped) {
    Py_ssize_t start = 0, end = len;
    // line.strip()
    if (!stripped) {
        while (start < end && Py_UNICODE_ISSPACE(d[start])) ++start;
        while (end > start && Py_UNICODE_ISSPACE(d[end - 1])) --end;
    }
    // Empty lines and comment lines.
    if (start == end || d[start] == C('#')) return;
    // Three or more fields: at least two separators.
    const Py_ssize_t bar = find(d, start, end, C('|'));
    if (bar < 0 || find(d, bar + 1, end, C('|')) < 0) return;
    // The finished sequence when it contains "A" or is longer than 10
    // characters; null when it is dropped.
    auto sequence = [&] {
        const Py_ssize_t from = bar + 1;
        const bool kept = find(d, from, end, C('A')) >= 0 || end - from > 10;
        return kept ? make_sequence(d, from, end, ascii) : frame::Ref();
    };
    if (r.in_dict()) {
        frame::Ref seq_id = frame::take(PyUnicode_FromKindAndData((int)sizeof(C), d + start, bar - start));
        frame::Ref seq = sequence();
        frame::check(PyDict_SetItem(r.dict(), seq_id.get(), seq ? seq.get() : Py_None));
        return;
    }
    const Records::Key k = r.key(d, start, bar);  // its slot is on its way meanwhile
    r.put(text, k, sequence());
}

void sift_view(Records& r, PyObject* text, const frame::TextView& v, bool stripped) {
    switch (v.kind) {
        case PyUnicode_1BYTE_KIND:
            sift_chars(r, text, static_cast<const Py_UCS1*>(v.data), v.len, v.ascii, stripped);
            break;
        case PyUnicode_2BYTE_KIND:
            sift_chars(r, text, static_cast<const Py_UCS2*>(v.data), v.len, v.ascii, stripped);
            break;
        default: sift_chars(r, text, static_cast<const Py_UCS4*>(v.data), v.len, v.ascii, stripped); break;
    }
}

// An exact-str line.
void sift_exact(Records& r, PyObject* text, bool stripped = false) {
    sift_view(r, text, frame::TextBuffer::view(text), stripped);
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
            lines.each([&](const frame::TextView& line) { sift_view(records, nullptr, line, false); });
            records.flush();
            return;
        }
        const iternextfunc next = Py_TYPE(it.get())->tp_iternext;  // set: iter() checked it
        for (size_t count = 1;; ++count) {
            if (count % 4096 == 0 && PyErr_CheckSignals() < 0) frame::raise();
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

    records.flush();
    if (!records.in_dict()) {
        // The passing sequences, in table order, taken from the end.
        IdTable& t = records.table();
        Py_ssize_t kept = 0;
        for (size_t i = 0; i < t.size(); ++i) kept += t.has_value(i);
        frame::Ref final_result = frame::take(PyList_New(kept));
        for (size_t i = 0; i < t.size(); ++i)
            if (t.has_value(i)) PyList_SET_ITEM(final_result.get(), --kept, t.take_value(i));
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

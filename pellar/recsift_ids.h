// The id table of Recsift.SQ_LS, and the taking apart of a line in place.
//
// A line of text is taken apart where it lies: the strip bounds, the "#" test
// and the separators are found by walking its characters, and the record's
// finished sequence -- "|" turned into "-", reversed when its length is even --
// is built in one pass.  A record's parts never exist as strings or as a list.
// Since the join, the reversal and the filter depend only on the latest record
// of an id, the table holds for each id that record's finished sequence, or
// nothing when the sequence does not pass the filter.
//
// The ids are kept as their characters, each with its value and hash, one
// after the other in blocks of memory: an id costs no object, and the table's
// order is the blocks' order.  The hash slots carry part of the hash, so a
// probe seldom leaves its slot; a record's slot is requested from memory a few
// records before the record goes in.  Once a line of another type is seen (or
// the table is full), the ids move into an ordinary dict.
#pragma once

#include "frame/bulkio.h"
#include "frame/hash.h"
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
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace recsift {

// Memory for large arrays.  With `huge_pages`, on huge pages where the system
// offers them: the hash slots are read at random, and on small pages nearly
// every probe of a large table would also miss the address translation cache.
// The records, written in order, stay on small pages: a fresh huge page is
// zeroed whole at its first touch, which measured slower than the small
// pages' faults.
inline void* big_alloc(size_t bytes, bool zeroed, bool huge_pages) {
    constexpr size_t huge = size_t(2) << 20;
    if (bytes < huge) {
        void* p = zeroed ? std::calloc(1, bytes) : std::malloc(bytes);
        if (!p) throw std::bad_alloc();
        return p;
    }
    const size_t size = (bytes + huge - 1) & ~(huge - 1);
    void* p = nullptr;
    if (posix_memalign(&p, huge, size) != 0) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (huge_pages) madvise(p, size, MADV_HUGEPAGE);
#endif
    if (zeroed) std::memset(p, 0, size);
    return p;
}

// Ids in first-seen order, each with its value: a new reference to the
// finished sequence, or null when the sequence does not pass the filter.  An
// id is its characters at the width of its largest one (1, 2 or 4 bytes each),
// so two ids are equal exactly when their widths and bytes are.
class IdTable {
public:
    // An id: its characters at their own width, and their hash.
    struct Key {
        const void* bytes;
        size_t nbytes;
        unsigned width;
        uint64_t hash;
    };

    // A record keeps no hash: a rehash, seldom needed once the table is
    // sized from the file, works it out again.
    struct Record {
        PyObject* value;
        uint64_t meta;  // the id's byte count << 3 | its width
        // then the id's bytes, to the next multiple of 8
        const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }
        size_t nbytes() const { return meta >> 3; }
        unsigned width() const { return meta & 7; }
    };

    IdTable() = default;
    IdTable(const IdTable&) = delete;
    IdTable& operator=(const IdTable&) = delete;
    ~IdTable() { clear(); }

    size_t size() const { return n_; }
    // No room for `more` blocks in the slots' numbering.
    bool full(size_t more) const { return blocks_.size() + more >= kMaxBlocks; }

    // Room for `ids` ids without growing the slots.
    void reserve(size_t ids) {
        size_t count = 2048;
        while (count < 2 * ids) count *= 2;
        if (count > mask_ + 1) rehash(count);
    }

    void prefetch(uint64_t h) const {
        if (slots_) __builtin_prefetch(&slots_[(size_t)h & mask_]);
    }
    // Once the slot of `h` is at hand: the record it names, if its tag fits.
    void prefetch_record(uint64_t h) const {
        if (!slots_) return;
        const uint64_t slot = slots_[(size_t)h & mask_];
        if (slot != 0 && (uint32_t)slot == (uint32_t)(h >> 32)) __builtin_prefetch(&at((uint32_t)(slot >> 32)));
    }

    // table[id] = value.  A value it replaces is released later (see
    // release_replaced): its memory is cold, and the releases go faster
    // together than one at a time among the puts.
    void put(const Key& k, frame::Ref value) {
        if (!slots_) rehash(2048);
        const uint32_t tag = (uint32_t)(k.hash >> 32);
        const uint64_t meta = pack(k.nbytes, k.width);
        size_t i = (size_t)k.hash & mask_;
        for (;; i = (i + 1) & mask_) {
            const uint64_t slot = slots_[i];
            if (slot == 0) break;
            if ((uint32_t)slot != tag) continue;
            Record& r = at((uint32_t)(slot >> 32));
            if (r.meta == meta && std::memcmp(r.bytes(), k.bytes, k.nbytes) == 0) {
                if (r.value) replaced_.push_back(r.value);
                live_ += (value ? 1 : 0) - (r.value ? 1 : 0);
                r.value = value.release();
                if (replaced_.size() >= 4096) release_replaced();
                return;
            }
        }
        // A new id, in a table at most half full.
        if ((n_ + 1) * 2 > mask_ + 1) {
            rehash((mask_ + 1) * 2);
            for (i = (size_t)k.hash & mask_; slots_[i] != 0; i = (i + 1) & mask_) {
            }
        }
        const uint32_t ref = store(k, meta);
        live_ += value ? 1 : 0;
        at(ref).value = value.release();
        slots_[i] = (uint64_t)ref << 32 | tag;
        ++n_;
    }

    void release_replaced() {
        for (PyObject* o : replaced_) Py_DECREF(o);
        replaced_.clear();
    }

    // How many ids have a value.
    size_t live() const { return live_; }

    // f(value) for each value in table order, a new reference taken out of
    // the table.
    template <typename F>
    void take_values(F&& f) {
        if (live_) each([&](Record& r) {
            if (r.value) f(std::exchange(r.value, nullptr));
        });
        live_ = 0;
    }

    // f(Record&) for each id in table order.
    template <typename F>
    void each(F&& f) {
        for (const Block& b : blocks_)
            for (size_t at = 0; at < b.used;) {
                Record& r = *reinterpret_cast<Record*>(b.data.get() + at);
                at += record_size(r.nbytes());
                f(r);
            }
    }

    // The id of a record as a new str.
    static PyObject* key_str(const Record& r) {
        const unsigned w = r.width();
        const int kind = w == 1 ? PyUnicode_1BYTE_KIND : w == 2 ? PyUnicode_2BYTE_KIND : PyUnicode_4BYTE_KIND;
        return PyUnicode_FromKindAndData(kind, r.bytes(), (Py_ssize_t)(r.nbytes() / w));
    }

    void clear() {
        if (live_) each([](Record& r) { Py_CLEAR(r.value); });
        live_ = 0;
        release_replaced();
        blocks_.clear();
        std::free(slots_);
        slots_ = nullptr;
        mask_ = 0;
        n_ = 0;
    }

private:
    // Records live in blocks of this size (a longer one gets a block of its
    // own); a slot names one by its block and its offset in 8-byte steps.
    static constexpr size_t kBlock = size_t(2) << 20;
    static constexpr unsigned kOffsetBits = 18;  // kBlock / 8
    static constexpr size_t kMaxBlocks = size_t(1) << (32 - kOffsetBits);

    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    struct Block {
        std::unique_ptr<char, Free> data;
        size_t used, cap;
    };

    static uint64_t pack(size_t nbytes, unsigned width) { return (uint64_t)nbytes << 3 | width; }
    static size_t record_size(size_t nbytes) { return sizeof(Record) + ((nbytes + 7) & ~size_t(7)); }

    // Slots hold a record's number plus one, so that 0 is an empty slot.
    Record& at(uint32_t ref) const {
        const uint32_t r = ref - 1;
        const Block& b = blocks_[r >> kOffsetBits];
        return *reinterpret_cast<Record*>(b.data.get() + (size_t)(r & ((1u << kOffsetBits) - 1)) * 8);
    }

    uint32_t store(const Key& k, uint64_t meta) {
        const size_t need = record_size(k.nbytes);
        if (blocks_.empty() || blocks_.back().cap - blocks_.back().used < need) {
            const size_t cap = need > kBlock ? need : kBlock;
            std::unique_ptr<char, Free> data(static_cast<char*>(big_alloc(cap, false, false)));
            blocks_.push_back(Block{std::move(data), 0, cap});
        }
        Block& b = blocks_.back();
        Record& r = *reinterpret_cast<Record*>(b.data.get() + b.used);
        r.value = nullptr;
        r.meta = meta;
        std::memcpy(const_cast<char*>(r.bytes()), k.bytes, k.nbytes);
        const uint32_t ref = (uint32_t)((blocks_.size() - 1) << kOffsetBits | (b.used / 8)) + 1;
        b.used += need;
        return ref;
    }

    void rehash(size_t count) {
        uint64_t* fresh = static_cast<uint64_t*>(big_alloc(count * sizeof(uint64_t), true, true));
        std::free(slots_);
        slots_ = fresh;
        mask_ = count - 1;
        // Records in table order: read one after the other, not at random.
        for (size_t bi = 0; bi < blocks_.size(); ++bi) {
            const Block& b = blocks_[bi];
            for (size_t off = 0; off < b.used;) {
                const Record& r = *reinterpret_cast<const Record*>(b.data.get() + off);
                const uint64_t hash = frame::hash_bytes(r.bytes(), r.nbytes());
                size_t i = (size_t)hash & mask_;
                while (slots_[i] != 0) i = (i + 1) & mask_;
                const uint32_t ref = (uint32_t)(bi << kOffsetBits | (off / 8)) + 1;
                slots_[i] = (uint64_t)ref << 32 | (uint32_t)(hash >> 32);
                off += record_size(r.nbytes());
            }
        }
    }

    std::vector<Block> blocks_;
    std::vector<PyObject*> replaced_;
    uint64_t* slots_ = nullptr;
    size_t mask_ = 0;
    size_t n_ = 0;
    size_t live_ = 0;  // values that are not null
};

// ---- taking a line apart ------------------------------------------------------------------

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

inline unsigned width_of(Py_UCS4 max) { return max < 256 ? 1 : max < 65536 ? 2 : 4; }

// The sequence of the fields in src[0..len): "|" becomes "-", and the whole is
// written backwards when `backwards`.
template <typename In, typename Out>
void put_sequence(const In* src, Py_ssize_t len, Out* out, bool backwards) {
    if constexpr (sizeof(In) == 1 && sizeof(Out) == 1) {
        // Bytes: copied (backwards a whole word at a time), then every
        // separator put right in one pass the compiler makes wide.
        if (!backwards) {
            std::memcpy(out, src, (size_t)len);
        } else {
            Py_ssize_t i = 0;
            for (; i + 8 <= len; i += 8) {
                uint64_t w;
                std::memcpy(&w, src + i, 8);
                w = __builtin_bswap64(w);
                std::memcpy(out + len - i - 8, &w, 8);
            }
            for (; i < len; ++i) out[len - 1 - i] = (Out)src[i];
        }
        for (Py_ssize_t i = 0; i < len; ++i) out[i] = out[i] == Out('|') ? Out('-') : out[i];
        return;
    }
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
frame::Ref make_sequence(const C* d, Py_ssize_t from, Py_ssize_t to, bool ascii, frame::Loc loc) {
    const Py_ssize_t len = to - from;
    const Py_UCS4 top = ascii ? 127 : max_char(d, from, to);
    frame::Ref seq = frame::take(PyUnicode_New(len, top), loc);
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
// A record waits a few records before it goes into the table: its slot, then
// the record its slot names, are requested from memory meanwhile, and are
// there by the time it goes in.  The puts keep the file's order.
class Records {
public:
    // True when the records go into the dict; the switch to it happens when the
    // table could not take more ids.
    bool in_dict(frame::Loc loc = frame::Loc::current()) {
        // Each record waiting to go in, and this line's, may need a block.
        if (!dict_ && table_.full(kAhead + 1)) switch_to_dict(loc);
        return bool(dict_);
    }
    PyObject* dict() const { return dict_.get(); }
    IdTable& table() { return table_; }

    // The id d[from..to) for the table: its characters narrowed to their own
    // width where the line's are wider.
    template <typename C>
    IdTable::Key key(const C* d, Py_ssize_t from, Py_ssize_t to) {
        IdTable::Key k{d + from, (size_t)(to - from) * sizeof(C), sizeof(C), 0};
        if constexpr (sizeof(C) > 1) {
            const unsigned width = width_of(max_char(d, from, to));
            if (width != sizeof(C)) {
                if (width == 1) narrow<C, Py_UCS1>(d + from, to - from, scratch_);
                else narrow<C, Py_UCS2>(d + from, to - from, scratch_);
                k = IdTable::Key{scratch_.data(), scratch_.size(), width, 0};
            }
        }
        k.hash = frame::hash_bytes(k.bytes, k.nbytes);
        return k;
    }

    // records[id] = value; the id's characters are copied, the line may go.
    void put(const IdTable::Key& k, frame::Ref value) {
        if (waiting_ == kAhead) put_oldest();
        Waiting& w = queue_[(first_ + waiting_) % kAhead];
        w.key = k;
        if (k.nbytes <= sizeof w.inline_bytes) {
            std::memcpy(w.inline_bytes, k.bytes, k.nbytes);
            w.key.bytes = w.inline_bytes;
        } else {
            w.bytes.assign(static_cast<const char*>(k.bytes), k.nbytes);
            w.key.bytes = w.bytes.data();
        }
        w.value = std::move(value);
        ++waiting_;
        table_.prefetch(k.hash);
        if (waiting_ > kAhead / 2) table_.prefetch_record(queue_[(first_ + waiting_ - 1 - kAhead / 2) % kAhead].key.hash);
    }

    // The waiting records go in.
    void flush() {
        while (waiting_ > 0) put_oldest();
        table_.release_replaced();
    }

    // From here on the ids live in a dict, with the table's ids and sequences
    // in the table's order.
    void switch_to_dict(frame::Loc loc = frame::Loc::current()) {
        flush();
        dict_ = frame::take(PyDict_New(), loc);
        table_.each([&](IdTable::Record& r) {
            frame::Ref key = frame::take(IdTable::key_str(r), loc);
            frame::Ref value = r.value ? frame::Ref::steal(std::exchange(r.value, nullptr)) : frame::none();
            frame::check(PyDict_SetItem(dict_.get(), key.get(), value.get()), loc);
        });
        table_.clear();
    }

private:
    static constexpr int kAhead = 16;
    struct Waiting {
        IdTable::Key key;
        char inline_bytes[32];
        std::string bytes;  // a longer id
        frame::Ref value;
    };

    void put_oldest() {
        Waiting& w = queue_[first_];
        first_ = (first_ + 1) % kAhead;
        --waiting_;
        table_.put(w.key, std::move(w.value));
    }

    IdTable table_;
    frame::Ref dict_;
    std::string scratch_;
    Waiting queue_[kAhead];
    int first_ = 0, waiting_ = 0;
};

// What a record line's test needs: where the first "|" is (-1 if none), whether
// another follows it, and whether an "A" follows the first.
struct Fields {
    Py_ssize_t bar;
    bool second_bar, has_a;
};

template <typename C>
Fields fields(const C* d, Py_ssize_t from, Py_ssize_t to) {
    Fields f{-1, false, false};
    Py_ssize_t i = from;
#ifdef __SSE2__
    if constexpr (sizeof(C) == 1) {
        // Sixteen characters at a time: one pass finds both separators and the "A".
        // The last sixteen overlap the ones before; their first `skip` are
        // already counted.
        const __m128i bar = _mm_set1_epi8('|'), a = _mm_set1_epi8('A');
        while (to - i >= 16 || (i < to && to - from >= 16)) {
            const Py_ssize_t at = to - i >= 16 ? i : to - 16;
            const unsigned fresh = 0xFFFFu << (i - at);
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at));
            unsigned bars = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, bar)) & fresh;
            unsigned as = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, a)) & fresh;
            i = at + 16;
            if (f.bar < 0) {
                if (!bars) continue;
                const int first = __builtin_ctz(bars);
                f.bar = at + first;
                bars &= bars - 1;
                as &= ~0u << first;
            }
            f.second_bar = f.second_bar || bars != 0;
            f.has_a = f.has_a || as != 0;
            if (f.second_bar && f.has_a) return f;
        }
    }
#endif
    for (; i < to; ++i) {
        const C c = d[i];
        if (c == C('|')) {
            if (f.bar < 0) f.bar = i;
            else f.second_bar = true;
        } else if (c == C('A') && f.bar >= 0) {
            f.has_a = true;
        }
    }
    return f;
}

// The record of one line of text, if the line is one; `stripped` when the
// text is already what the line's strip gave.
template <typename C>
void sift_chars(Records& r, const C* d, Py_ssize_t len, bool ascii, bool stripped, frame::Loc loc) {
    Py_ssize_t start = 0, end = len;
    // line.strip()
    if (!stripped) {
        while (start < end && Py_UNICODE_ISSPACE(d[start])) ++start;
        while (end > start && Py_UNICODE_ISSPACE(d[end - 1])) --end;
    }
    // Empty lines and comment lines.
    if (start == end || d[start] == C('#')) return;
    // Three or more fields: at least two separators.  The sequence is kept
    // when it contains "A" or is longer than 10 characters.
    const Fields f = fields(d, start, end);
    if (f.bar < 0 || !f.second_bar) return;
    const Py_ssize_t bar = f.bar, from = bar + 1;
    const bool kept = f.has_a || end - from > 10;
    if (r.in_dict(loc)) {
        frame::Ref seq_id = frame::take(PyUnicode_FromKindAndData((int)sizeof(C), d + start, bar - start), loc);
        frame::Ref seq = kept ? make_sequence(d, from, end, ascii, loc) : frame::none();
        frame::check(PyDict_SetItem(r.dict(), seq_id.get(), seq.get()), loc);
        return;
    }
    const IdTable::Key k = r.key(d, start, bar);
    r.put(k, kept ? make_sequence(d, from, end, ascii, loc) : frame::Ref());
}

// Failures report `loc`, the statement of the method that handed the line on.
inline void sift_view(Records& r, const frame::TextView& v, bool stripped, frame::Loc loc = frame::Loc::current()) {
    switch (v.kind) {
        case PyUnicode_1BYTE_KIND: sift_chars(r, static_cast<const Py_UCS1*>(v.data), v.len, v.ascii, stripped, loc); break;
        case PyUnicode_2BYTE_KIND: sift_chars(r, static_cast<const Py_UCS2*>(v.data), v.len, v.ascii, stripped, loc); break;
        default: sift_chars(r, static_cast<const Py_UCS4*>(v.data), v.len, v.ascii, stripped, loc); break;
    }
}

}  // namespace recsift

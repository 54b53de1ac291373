// The records of Recsift.SQ_LS, their ids sifted, and the taking apart of a line.
//
// A line of text is taken apart where it lies, once: the strip bounds, the "#"
// test and the separators are found by walking its characters.  What the
// record needs is written to the end of a log in native memory, in file
// order: the id's characters at their own width and, when the sequence passes
// the filter, its fields as they lie, at the width of the str the join would
// make (a line of 1-byte text goes in with one copy).  A record's parts never
// exist as strings or as a list, and no str is made while the file is read.
// Since the join, the reversal and the filter depend only on the latest record
// of an id, a record that fails the filter keeps only its id.
//
// Once the file is read, the id step finds for each id its first record and
// its latest one.  It touches no large table at random: the records' hashes
// are scattered into partitions by their top bits, in file order, and each
// partition is sifted in a table small enough to stay in the cache; the ids of
// records whose hashes agree are compared afterwards, their records requested
// from memory ahead of the comparison.  The winners come out in the order of
// their first records, and the result's strs are made from them in one pass,
// "|" turned into "-" and the sequence reversed when its length is even as the
// characters are copied in.  The strs take the place of the records already
// read, in the log's own memory.
//
// Once a line of another type is seen, the ids move into an ordinary dict.
#pragma once

#include "frame/bulkio.h"
#include "frame/hash.h"
#include "frame/ops.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <sys/mman.h>

// Linux 5.14's advice to make a range present in one call.  The headers of an
// older glibc (a build for glibc 2.17) do not name it; the running kernel
// decides, and one that does not know it refuses the advice (EINVAL), which
// leaves the pages to come as they are touched.
#if defined(__linux__) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23
#endif

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace recsift {

// The functions marked [[gnu::always_inline]] run once a line or once a
// record, in the loops that read the file and make the result: GCC inlines
// them there by itself; clang (the release build's compiler) leaves them out
// of line, which cost SQ_LS some 8% more instructions.

// ---- characters ---------------------------------------------------------------------------

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

// src[0..len) at the narrower width of Out.
template <typename In, typename Out>
void narrow(const In* src, Py_ssize_t len, Out* out) {
    for (Py_ssize_t i = 0; i < len; ++i) out[i] = (Out)src[i];
}

// ---- the record log -----------------------------------------------------------------------

// The hash of an id's bytes for the id step: a multiply-mix hash, keyed by the
// interpreter's own hash key, so that the partitions and the tables in them
// stay even whatever the ids.
[[gnu::always_inline]] inline uint64_t id_hash(const char* p, size_t n) {
    static const uint64_t key = frame::hash_bytes("recsift ids", 11) | 1;
    auto mix = [](uint64_t a, uint64_t b) {
        const __uint128_t r = (__uint128_t)a * b;
        return (uint64_t)r ^ (uint64_t)(r >> 64);
    };
    auto word = [](const char* q) {
        uint64_t w;
        std::memcpy(&w, q, 8);
        return w;
    };
    auto half = [](const char* q) {
        uint32_t w;
        std::memcpy(&w, q, 4);
        return (uint64_t)w;
    };
    constexpr uint64_t k1 = 0xa0761d6478bd642full, k2 = 0xe7037ed1a0b428dbull;
    uint64_t h = key ^ (n * k1), last;
    // Whole words, then the last eight bytes (overlapping the words before),
    // read as loads: no byte-wise copy for the next load to wait for.
    if (n > 8) {
        size_t i = 0;
        for (; i + 8 < n; i += 8) h = mix(word(p + i) ^ k2, h ^ k1);
        last = word(p + n - 8);
    } else if (n >= 4) {
        last = half(p) << 32 | half(p + n - 4);
    } else if (n > 0) {
        last = (uint64_t)(unsigned char)p[0] << 16 | (uint64_t)(unsigned char)p[n / 2] << 8 | (unsigned char)p[n - 1];
    } else {
        last = 0;
    }
    return mix(mix(last ^ k2, h ^ key), k1 ^ n);
}

// A record, at an address that is a multiple of 4: a header of two words, the
// id's characters at their own width, one spare byte, then the record's
// sequence (its fields with their "|" between them, as in the line) at the
// width of its largest character, from the next multiple of that width.
//   id word:       the id's byte count << 2 | its width code (0: 1 byte, 1: 2, 2: 4)
//   sequence word: the sequence's length << 3 | its kind code << 1 | kept
// kind code: 0 ASCII, 1 other 1-byte text, 2 two bytes, 3 four bytes.  A
// sequence that does not pass the filter is not kept and has no characters.
// A line of 1-byte text goes in with one copy: id, "|" and sequence as they lie.
class Record {
public:
    static constexpr size_t kHeader = 8;
    // Longest id (bytes) and sequence (characters) a header can describe.
    static constexpr Py_ssize_t kMaxIdBytes = (Py_ssize_t(1) << 30) - 1;
    static constexpr Py_ssize_t kMaxSeq = (Py_ssize_t(1) << 29) - 1;

    explicit Record(const char* p) : p_(p) {
        std::memcpy(&id_, p, 4);
        std::memcpy(&seq_, p + 4, 4);
    }
    const char* id_bytes() const { return p_ + kHeader; }
    size_t id_nbytes() const { return id_ >> 2; }
    unsigned id_width() const { return 1u << (id_ & 3); }
    bool kept() const { return seq_ & 1; }
    Py_ssize_t seq_len() const { return seq_ >> 3; }
    unsigned seq_width() const { return width_of_code((seq_ >> 1) & 3); }
    const char* seq_bytes() const { return p_ + seq_offset(id_nbytes(), seq_width()); }

    // Equal ids: the same width and the same bytes.
    bool same_id(const Record& o) const {
        return id_ == o.id_ && std::memcmp(id_bytes(), o.id_bytes(), id_nbytes()) == 0;
    }

    // The id as a new str.
    PyObject* id_str() const {
        const unsigned w = id_width();
        const int kind = w == 1 ? PyUnicode_1BYTE_KIND : w == 2 ? PyUnicode_2BYTE_KIND : PyUnicode_4BYTE_KIND;
        return PyUnicode_FromKindAndData(kind, id_bytes(), (Py_ssize_t)(id_nbytes() / w));
    }
    // The finished sequence of a kept record as a new str: "|" made "-", and
    // reversed when its length is even, as the characters are copied in.
    [[gnu::always_inline]] PyObject* seq_str() const {
        static constexpr Py_UCS4 tops[4] = {127, 255, 65535, 0x10FFFF};
        const Py_ssize_t len = seq_len();
        PyObject* s = PyUnicode_New(len, tops[(seq_ >> 1) & 3]);
        if (!s) return nullptr;
        const bool backwards = len % 2 == 0;
        void* out = PyUnicode_DATA(s);
        switch (seq_width()) {
            case 1: put_sequence(reinterpret_cast<const Py_UCS1*>(seq_bytes()), len, static_cast<Py_UCS1*>(out), backwards); break;
            case 2: put_sequence(reinterpret_cast<const Py_UCS2*>(seq_bytes()), len, static_cast<Py_UCS2*>(out), backwards); break;
            default: put_sequence(reinterpret_cast<const Py_UCS4*>(seq_bytes()), len, static_cast<Py_UCS4*>(out), backwards); break;
        }
        return s;
    }

    static unsigned width_of_code(unsigned code) { return code < 2 ? 1 : code == 2 ? 2 : 4; }
    static size_t seq_offset(size_t id_nbytes, unsigned seq_width) {
        return (kHeader + id_nbytes + 1 + seq_width - 1) & ~size_t(seq_width - 1);
    }
    // The whole record's size, to the next multiple of 4.
    static size_t size(size_t id_nbytes, Py_ssize_t seq_len, unsigned seq_width) {
        return (seq_offset(id_nbytes, seq_width) + (size_t)seq_len * seq_width + 3) & ~size_t(3);
    }
    static uint32_t id_word(size_t nbytes, unsigned width) {
        return (uint32_t)(nbytes << 2 | (width == 1 ? 0u : width == 2 ? 1u : 2u));
    }
    static uint32_t seq_word(Py_ssize_t len, unsigned kind_code, bool kept) {
        return (uint32_t)((size_t)len << 3 | kind_code << 1 | (kept ? 1u : 0u));
    }

private:
    const char* p_;
    uint32_t id_, seq_;
};

// An array in memory of its own, mapped from the system as it grows, its
// pages made present in one call for each step of growth: a large array
// written once costs no page fault per page.  Fresh room is zero.  It grows
// in place or moves (without copying), so its elements are found by
// position, not by address.
//
// (Huge pages would make fewer, larger faults, but on a virtual machine that
// hands freed memory back to its host they come from memory the host must
// supply again: after another program freed much memory, a call took three
// times as long.)
template <typename T>
class Pages {
public:
    Pages() = default;
    Pages(Pages&& o) noexcept
        : p_(std::exchange(o.p_, nullptr)), n_(std::exchange(o.n_, 0)), cap_(std::exchange(o.cap_, 0)),
          given_(std::exchange(o.given_, 0)) {}
    Pages& operator=(Pages&& o) noexcept {
        if (this != &o) {
            release();
            p_ = std::exchange(o.p_, nullptr);
            n_ = std::exchange(o.n_, 0);
            cap_ = std::exchange(o.cap_, 0);
            given_ = std::exchange(o.given_, 0);
        }
        return *this;
    }
    ~Pages() { release(); }

    T* data() const { return p_; }
    size_t size() const { return n_; }
    T& operator[](size_t i) const { return p_[i]; }

    // Room for `n` elements in all.
    void reserve(size_t n) {
        if (n > cap_) grow(n);
    }
    [[gnu::always_inline]] void push_back(const T& v) {
        if (n_ == cap_) grow(cap_ + step());
        p_[n_++] = v;
    }
    // Room for `n` more elements at the end, to be written there and then
    // taken in with commit().
    [[gnu::always_inline]] T* room(size_t n) {
        if (cap_ - n_ < n) grow(n > step() ? n_ + n : cap_ + step());
        return p_ + n_;
    }
    void commit(size_t n) { n_ += n; }
    // `n` zero elements, in fresh memory.
    void assign_zero(size_t n) {
        release();
        reserve(n);
        n_ = n;
    }
    void release() {
        if (p_ && bytes(cap_) > given_) munmap(reinterpret_cast<char*>(p_) + given_, bytes(cap_) - given_);
        p_ = nullptr;
        n_ = cap_ = given_ = 0;
    }

    // Hands the next `size` bytes of the memory from the start, a multiple of
    // the page size, to a new owner that unmaps them itself; null when they
    // reach past `below` (bytes from the start).  A piece starts at a multiple
    // of 16 KiB, the object allocator's pool size.  The array no longer grows.
    void* give_away(size_t size, size_t below) {
        const uintptr_t start = reinterpret_cast<uintptr_t>(p_);
        const size_t from = (size_t)(((start + given_ + kAlign - 1) & ~uintptr_t(kAlign - 1)) - start);
        if (size % kPage != 0 || from + size > below || from + size > bytes(cap_)) return nullptr;
        // A gap left to align the piece goes back to the system at once.
        if (from > given_) munmap(reinterpret_cast<char*>(p_) + given_, from - given_);
        given_ = from + size;
        return reinterpret_cast<char*>(p_) + from;
    }

private:
    static constexpr size_t kPage = 4096, kAlign = size_t(16) << 10;
    static size_t bytes(size_t n) { return (n * sizeof(T) + kPage - 1) & ~(kPage - 1); }
    // Growth by an eighth, at least 64 KiB: little room is made present
    // beyond what is used.
    size_t step() const {
        const size_t least = (size_t(64) << 10) / sizeof(T);
        return cap_ / 8 > least ? cap_ / 8 : least;
    }

    void grow(size_t n) {
        if (given_) throw std::bad_alloc();  // its start is no longer its own to move
        const size_t old = p_ ? bytes(cap_) : 0, fresh = bytes(n);
        void* q = p_ ? mremap(p_, old, fresh, MREMAP_MAYMOVE)
                     : mmap(nullptr, fresh, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (q == MAP_FAILED) throw std::bad_alloc();
        p_ = static_cast<T*>(q);
        cap_ = fresh / sizeof(T);
#ifdef MADV_POPULATE_WRITE
        madvise(static_cast<char*>(q) + old, fresh - old, MADV_POPULATE_WRITE);
#endif
    }

    T* p_ = nullptr;
    size_t n_ = 0, cap_ = 0;
    size_t given_ = 0;  // bytes from the start handed to another owner
};

// The records in file order, written one after the other, with each record's
// place and the hash of its id.
class RecordLog {
public:
    size_t size() const { return at_.size(); }
    // No room for another record in the id step's numbering, or in the
    // places' (a record of `bytes` bytes).
    bool full(size_t bytes = 0) const {
        return at_.size() >= kMaxRecords || (bytes_.size() + bytes) / 4 >= kMaxPlace;
    }
    Record operator[](size_t i) const { return Record(address(i)); }
    const char* address(size_t i) const { return bytes_.data() + (size_t)at_[i] * 4; }
    // Asks for record i's first bytes from memory.
    void prefetch(size_t i) const {
        const char* p = address(i);
        __builtin_prefetch(p);
        __builtin_prefetch(p + 63);
        // and the places of the records further on
        if (i + 64 < at_.size()) __builtin_prefetch(&at_[i + 64]);
    }

    // Room for `records` more without growing the arrays of places and hashes.
    void reserve(size_t records) {
        at_.reserve(at_.size() + records);
        hashes_.reserve(hashes_.size() + records);
    }

    // Room for a record of at most `bytes` bytes (a multiple of 4) at the end
    // of the log; it is there once added.
    [[gnu::always_inline]] char* space(size_t bytes) { return bytes_.room(bytes); }
    // The record written at space() is `bytes` long; `hash` is its id's.
    [[gnu::always_inline]] void add(size_t bytes, uint64_t hash, bool kept) {
        at_.push_back((uint32_t)(bytes_.size() / 4));
        hashes_.push_back((hash & ~uint64_t(1)) | (kept ? 1 : 0));
        bytes_.commit(bytes);
    }

    // Records before record i are no longer read.
    void retire(size_t i) {
        retired_ = (size_t)at_[i] * 4;
        retired_places_ = i;
    }
    // Memory of retired records, or of their places, `size` bytes, for a new
    // owner; null when there is not that much.
    void* recycle(size_t size) {
        if (void* p = bytes_.give_away(size, retired_)) return p;
        return at_.give_away(size, retired_places_ * sizeof(uint32_t));
    }

    // Each record's id hash, its lowest bit replaced by its kept bit.
    const Pages<uint64_t>& hashes() const { return hashes_; }
    // The hashes' array, taken out of the log: no more records go in.
    Pages<uint64_t> take_hashes() { return std::move(hashes_); }

    void clear() {
        hashes_.release();
        at_.release();
        bytes_.release();
        retired_ = retired_places_ = 0;
    }

private:
    static constexpr size_t kMaxRecords = (size_t(1) << 31) - 2;
    static constexpr size_t kMaxPlace = (size_t(1) << 32) - 1;

    Pages<char> bytes_;
    Pages<uint32_t> at_;  // each record's place in bytes_, in 4-byte steps
    Pages<uint64_t> hashes_;
    size_t retired_ = 0;         // bytes of records no longer read
    size_t retired_places_ = 0;  // records whose places are no longer read
};

// ---- the id step --------------------------------------------------------------------------

namespace detail {

// An entry of a partition: the low 32 bits of the record's hash as the log
// keeps it (bit 0: kept), and its number.  The partition is the hash's top
// bits, so all 31 bits are left to tell ids apart, less those of the slot.
struct Entry {
    uint32_t tag, index;
};

}  // namespace detail

// For each record that is the first of its id, the latest record of that id:
// at[first] = latest + 1, with bit 31 set when the latest record's
// sequence is kept; 0 for any other record.  `kept` counts the set bits 31.
struct Winners {
    Pages<uint64_t> at;  // the hashes' array, which the id step takes over
    size_t kept = 0;
    Pages<detail::Entry> spare;  // the id step's entries, done with

    static constexpr uint64_t kKept = uint64_t(1) << 31;
    static size_t latest(uint64_t w) { return (size_t)(w & ~kKept) - 1; }
};

namespace detail {

// Sifts one partition's entries, in file order, with `slots` as its table.
// With `exact`, ids whose tags agree are compared at once; otherwise they are
// taken as equal and the pair is put in `unsure`, to be compared later.
inline void sift_partition(const RecordLog& log, const Entry* e, size_t m, std::vector<uint64_t>& slots,
                           Winners& w, bool exact, std::vector<Entry>* unsure) {
    size_t count = 16;
    while (count < 2 * m) count *= 2;
    slots.assign(count, 0);
    const size_t mask = count - 1;
    // A slot: the id's tag << 32 | the number + 1 of its first record.
    for (size_t j = 0; j < m; ++j) {
        const uint32_t tag = e[j].tag >> 1;
        const uint32_t kept = (e[j].tag & 1) ? Winners::kKept : 0;
        const uint32_t index = e[j].index;
        for (size_t s = tag & mask;; s = (s + 1) & mask) {
            const uint64_t slot = slots[s];
            if (slot == 0) {
                slots[s] = (uint64_t)tag << 32 | (index + 1);
                w.at[index] = (uint64_t)(index + 1) | kept;
                w.kept += kept ? 1 : 0;
                break;
            }
            if ((uint32_t)(slot >> 32) != tag) continue;
            const uint32_t first = (uint32_t)slot - 1;
            if (exact) {
                if (!log[index].same_id(log[first])) continue;
            } else {
                unsure->push_back(Entry{first, index});
            }
            uint64_t& win = w.at[first];
            w.kept -= (win & Winners::kKept) ? 1 : 0;
            w.kept += kept ? 1 : 0;
            win = (uint64_t)(index + 1) | kept;
            break;
        }
    }
}

}  // namespace detail

// The id step over the whole log.  The hashes' array is taken from the log
// (no more records go in) to hold the winners.
inline Winners find_winners(RecordLog& log, frame::Loc loc = frame::Loc::current()) {
    using detail::Entry;
    const size_t n = log.size();
    Winners w;
    if (n == 0) return w;
    // About a thousand records a partition.
    unsigned bits = 0;
    while ((n >> bits) > 1024 && bits < 16) ++bits;
    const size_t parts = size_t(1) << bits;
    const Pages<uint64_t>& hashes = log.hashes();
    auto part = [&](uint64_t h) { return bits ? (size_t)(h >> (64 - bits)) : 0; };

    // The entries of each partition, in file order.
    std::vector<uint32_t> start(parts + 1, 0);
    for (size_t i = 0; i < n; ++i) ++start[part(hashes[i]) + 1];
    for (size_t p = 0; p < parts; ++p) start[p + 1] += start[p];
    Pages<Entry> entries;
    entries.assign_zero(n);
    {
        std::vector<uint32_t> fill(start.begin(), start.end() - 1);
        for (size_t i = 0; i < n; ++i) {
            const uint64_t h = hashes[i];
            entries[fill[part(h)]++] = Entry{(uint32_t)h, (uint32_t)i};
        }
    }
    w.at = log.take_hashes();
    std::memset(w.at.data(), 0, n * sizeof(uint64_t));

    frame::SignalCheck signals(64);
    std::vector<uint64_t> slots;
    std::vector<Entry> unsure;  // (first record, later record) whose ids are taken as equal
    std::vector<uint32_t> unsure_part;
    for (size_t p = 0; p < parts; ++p) {
        signals(loc);
        detail::sift_partition(log, entries.data() + start[p], start[p + 1] - start[p], slots, w, false, &unsure);
        unsure_part.resize(unsure.size(), (uint32_t)p);
    }

    // The ids taken as equal, compared, their records requested a few pairs ahead.
    constexpr size_t kAhead = 8;
    std::vector<uint32_t> redo;
    for (size_t k = 0; k < unsure.size(); ++k) {
        if (k + kAhead < unsure.size()) {
            __builtin_prefetch(log.address(unsure[k + kAhead].tag));
            __builtin_prefetch(log.address(unsure[k + kAhead].index));
        }
        if (!log[unsure[k].tag].same_id(log[unsure[k].index]) && (redo.empty() || redo.back() != unsure_part[k]))
            redo.push_back(unsure_part[k]);
    }
    // A partition where two different ids agreed in their tags is sifted
    // again, comparing the ids as it goes.
    for (const uint32_t p : redo) {
        const Entry* e = entries.data() + start[p];
        const size_t m = start[p + 1] - start[p];
        for (size_t j = 0; j < m; ++j) {
            uint64_t& win = w.at[e[j].index];
            w.kept -= (win & Winners::kKept) ? 1 : 0;
            win = 0;
        }
        detail::sift_partition(log, e, m, slots, w, true, nullptr);
    }
    w.spare = std::move(entries);
    return w;
}

// ---- the result's strs ---------------------------------------------------------------------

// The whole pages within [p, p + bytes) made present in one call (when the
// system can; else they come as they are touched).
inline void make_present(void* p, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    const uintptr_t page = 4096, from = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1),
                    to = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(page - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)bytes;
#endif
}

// While one lives, the object allocator's new arenas come from memory the
// pass is done with -- the id step's entries, then the fronts of the log's
// records, of their places and of the winners, as the pass moves on -- when
// the allocator in place is the interpreter's own (it unmaps an arena, which
// any mapped memory may be); else they are made present as they are mapped.
// Either way a pass that makes many small objects costs no page fault per
// page.  The allocator in place is put back after.
class PresentArenas {
public:
    // A pass may run Python code (a signal handler) that makes another pass
    // while this one lives: the outermost one sets and puts back.
    PresentArenas(RecordLog& log, Winners& winners) : outermost_(depth_++ == 0) {
        if (!outermost_) return;
        PyObject_GetArenaAllocator(&outer());
        const bool own = interpreters_own(outer());
        log_ = own ? &log : nullptr;
        winners_ = own ? &winners : nullptr;
        done_ = 0;
        PyObjectArenaAllocator mine{nullptr, alloc, release};
        PyObject_SetArenaAllocator(&mine);
    }
    ~PresentArenas() {
        --depth_;
        if (!outermost_) return;
        PyObject_SetArenaAllocator(&outer());
        log_ = nullptr;
        winners_ = nullptr;
    }
    PresentArenas(const PresentArenas&) = delete;
    PresentArenas& operator=(const PresentArenas&) = delete;

    // The records before record i, their places and their winners are read
    // no more.
    void done_before(size_t i) {
        if (!outermost_ || !log_) return;
        log_->retire(i);
        done_ = i;
    }

private:
    static PyObjectArenaAllocator& outer() {
        static PyObjectArenaAllocator a;
        return a;
    }
    // The interpreter's own arena allocator: no context, and its code in the
    // interpreter's own image.
    static bool interpreters_own(const PyObjectArenaAllocator& a) {
        Dl_info theirs, interpreter;
        return a.ctx == nullptr && dladdr(reinterpret_cast<void*>(a.alloc), &theirs) &&
               dladdr(reinterpret_cast<void*>(&PyObject_Malloc), &interpreter) &&
               theirs.dli_fbase == interpreter.dli_fbase;
    }
    static void* alloc(void*, size_t size) {
        if (log_) {
            if (void* p = winners_->spare.give_away(size, ~size_t(0))) return p;
            if (void* p = log_->recycle(size)) return p;
            if (void* p = winners_->at.give_away(size, done_ * sizeof(uint64_t))) return p;
        }
        void* p = outer().alloc(outer().ctx, size);
        if (p) make_present(p, size);
        return p;
    }
    static void release(void*, void* p, size_t size) { outer().free(outer().ctx, p, size); }

    const bool outermost_;
    static inline int depth_ = 0;
    static inline RecordLog* log_ = nullptr;
    static inline Winners* winners_ = nullptr;
    static inline size_t done_ = 0;
};

// ---- where the records go -----------------------------------------------------------------

// The log, or once a line of another type has been seen, an ordinary dict
// whose dropped sequences are None.
class Records {
public:
    // True when the records go into the dict; the switch to it happens when the
    // log could not take more records.
    bool in_dict(frame::Loc loc = frame::Loc::current()) {
        if (!dict_ && log_.full()) switch_to_dict(loc);
        return bool(dict_);
    }
    PyObject* dict() const { return dict_.get(); }
    RecordLog& log() { return log_; }

    // The record of the line d[start..end), its id ending at `bar`; `kept`:
    // its sequence passes the filter.
    template <typename C>
    [[gnu::always_inline]] void add(const C* d, Py_ssize_t start, Py_ssize_t bar, Py_ssize_t end, bool ascii, bool kept) {
        const Py_ssize_t id_len = bar - start, from = bar + 1;
        const Py_ssize_t seq_len = kept ? end - from : 0;
        unsigned code = 0;
        if (kept && !ascii) {
            const Py_UCS4 top = max_char(d, from, end);
            code = top < 128 ? 0 : top < 256 ? 1 : top < 65536 ? 2 : 3;
        }
        const unsigned seq_width = Record::width_of_code(code);
        char* p = log_.space(Record::size((size_t)id_len * sizeof(C), seq_len, seq_width));
        char* out = p + Record::kHeader;

        unsigned id_width = 1;
        if constexpr (sizeof(C) == 1) {
            // Id, "|" and sequence in one copy.
            std::memcpy(out, d + start, (size_t)(id_len + 1 + seq_len));
        } else {
            // The id narrowed to its own width where the line's is wider, the
            // sequence to its own.
            id_width = width_of(max_char(d, start, bar));
            if (id_width == 1) narrow(d + start, id_len, reinterpret_cast<Py_UCS1*>(out));
            else if (id_width == 2) narrow(d + start, id_len, reinterpret_cast<Py_UCS2*>(out));
            else std::memcpy(out, d + start, (size_t)id_len * 4);
            char* seq = p + Record::seq_offset((size_t)id_len * id_width, seq_width);
            if (seq_width == 1) narrow(d + from, seq_len, reinterpret_cast<Py_UCS1*>(seq));
            else if (seq_width == 2) narrow(d + from, seq_len, reinterpret_cast<Py_UCS2*>(seq));
            else std::memcpy(seq, d + from, (size_t)seq_len * 4);
        }
        const size_t id_nbytes = (size_t)id_len * id_width;
        const uint32_t words[2] = {Record::id_word(id_nbytes, id_width), Record::seq_word(seq_len, code, kept)};
        std::memcpy(p, words, sizeof words);
        // (Hashed from the line: a read of the bytes just copied would wait for the copy.)
        const uint64_t hash = sizeof(C) == 1 ? id_hash(reinterpret_cast<const char*>(d + start), id_nbytes) : id_hash(out, id_nbytes);
        log_.add(Record::size(id_nbytes, seq_len, seq_width), hash, kept);
    }

    // From here on the ids live in a dict, with the log's ids and sequences
    // in the order of their first records.
    void switch_to_dict(frame::Loc loc = frame::Loc::current()) {
        frame::Ref dict = frame::take(PyDict_New(), loc);
        const Winners w = find_winners(log_, loc);
        frame::SignalCheck signals;
        for (size_t first = 0; first < w.at.size(); ++first) {
            if (!w.at[first]) continue;
            signals(loc);
            const Record r = log_[Winners::latest(w.at[first])];
            frame::Ref key = frame::take(r.id_str(), loc);
            frame::Ref value = r.kept() ? frame::take(r.seq_str(), loc) : frame::none();
            frame::check(PyDict_SetItem(dict.get(), key.get(), value.get()), loc);
        }
        log_.clear();
        dict_ = std::move(dict);
    }

private:
    RecordLog log_;
    frame::Ref dict_;
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

// The finished sequence of d[from..to) as a new str, for the dict.
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
    if (!r.dict()) {
        // Into the log; a line too long for a record's header, or for the
        // log's room, sends the ids to the dict.
        if ((bar - start) * 4 <= Record::kMaxIdBytes && end - from <= Record::kMaxSeq &&
            !r.log().full(Record::kHeader + 8 + (size_t)(end - start) * sizeof(C))) {
            r.add(d, start, bar, end, ascii, kept);
            return;
        }
        r.switch_to_dict(loc);
    }
    frame::Ref seq_id = frame::take(PyUnicode_FromKindAndData((int)sizeof(C), d + start, bar - start), loc);
    frame::Ref seq = kept ? make_sequence(d, from, end, ascii, loc) : frame::none();
    frame::check(PyDict_SetItem(r.dict(), seq_id.get(), seq.get()), loc);
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

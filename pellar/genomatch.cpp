// pellar.genomatch: class Genomatch, label and genotype matching.
//
// AIVChina(nWlist, Zidian) builds a candidate list in four stages:
//   1. each str label of nWlist that the pattern "[A-Z]{2}\d{2,3}" matches
//      adds the first name of four or more characters that Zidian lists for it;
//   2. each list-valued entry of Zidian whose key is in the genotype adds the
//      first two of its alphanumeric names, reversed, when it has three or more;
//   3. the list is walked by position while it grows: each entry is joined with
//      "_" to itself and every later entry, and each join of even length is
//      added reversed;
//   4. the distinct entries, in order of first occurrence, give the index map
//      {0: first, 3: fourth, ...}, which is the call's result.
//
// Stage 3 on exact str entries.  A join a + "_" + b has even length exactly
// when one of a, b has odd length and the other even length, and everything it
// adds is then of even length.  So the walk keeps the positions of its odd and
// even entries apart: an entry is paired only with the entries of the other
// parity after it, each added entry is written straight as reverse(b) + "_" +
// reverse(a), and the walk ends as soon as no odd entry lies ahead -- from there
// on every pair is even with even.  Entries of any other type (str subclasses
// included) keep their own +, len and slicing, pair by pair in walk order, as
// plain code does.  The list never grows past a fixed bound: an addition beyond
// it raises MemoryError.
#include "frame/module.h"
#include "frame/ops.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

frame::Str s_genotype("genotype");
frame::Str s_A_csv("A_csv");
frame::Str s_B_csv("B_csv");
frame::Str s_re("re");
frame::Str s_compile("compile");
frame::Str s_pattern("[A-Z]{2}\\d{2,3}");
frame::Str s_match("match");
frame::Str s_get("get");
frame::Str s_isalnum("isalnum");
frame::Str s_underscore("_");

frame::Int k_minus_one(-1);

frame::Builtin b_enumerate("enumerate");
frame::Builtin b_range("range");

frame::Const c_reversed([] { return PySlice_New(nullptr, nullptr, k_minus_one.get()); });

// The most entries the candidate list may hold.
constexpr Py_ssize_t kMaxCandidates = 1000000;

// ---- exact str helpers ----------------------------------------------------------------------

template <typename Out, typename In>
void put_reversed(Out* dst, const In* src, Py_ssize_t n) {
    for (Py_ssize_t k = 0; k < n; ++k) dst[k] = static_cast<Out>(src[n - 1 - k]);
}

// Writes the code points of `s` last first into dst, whose kind is at least
// that of `s`.
template <typename Out>
void put_reversed(Out* dst, PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: put_reversed(dst, PyUnicode_1BYTE_DATA(s), n); break;
        case PyUnicode_2BYTE_KIND: put_reversed(dst, PyUnicode_2BYTE_DATA(s), n); break;
        default: put_reversed(dst, PyUnicode_4BYTE_DATA(s), n); break;
    }
}

template <typename Out>
void put_copy(Out* dst, PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: std::copy_n(PyUnicode_1BYTE_DATA(s), n, dst); break;
        case PyUnicode_2BYTE_KIND: std::copy_n(PyUnicode_2BYTE_DATA(s), n, dst); break;
        default: std::copy_n(PyUnicode_4BYTE_DATA(s), n, dst); break;
    }
}

// s[::-1] of an exact str.  The result holds the same code points, so the
// widest one of `s` decides its kind as it decided that of `s`.
frame::Ref reversed_str(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    frame::Ref r = frame::take(PyUnicode_New(n, PyUnicode_MAX_CHAR_VALUE(s)));
    if (n == 0) return r;
    PyObject* o = r.get();
    switch (PyUnicode_KIND(o)) {
        case PyUnicode_1BYTE_KIND: put_reversed(PyUnicode_1BYTE_DATA(o), s); break;
        case PyUnicode_2BYTE_KIND: put_reversed(PyUnicode_2BYTE_DATA(o), s); break;
        default: put_reversed(PyUnicode_4BYTE_DATA(o), s); break;
    }
    return r;
}

// (a + "_" + b)[::-1] for exact str a and b, given reversed_a = a[::-1]:
// b[::-1] + "_" + reversed_a, made in one go.
frame::Ref reversed_join(PyObject* reversed_a, PyObject* b) {
    const Py_ssize_t la = PyUnicode_GET_LENGTH(reversed_a), lb = PyUnicode_GET_LENGTH(b);
    const Py_UCS4 widest = std::max(PyUnicode_MAX_CHAR_VALUE(reversed_a), PyUnicode_MAX_CHAR_VALUE(b));
    frame::Ref r = frame::take(PyUnicode_New(lb + 1 + la, widest));
    auto fill = [&](auto* d) {
        put_reversed(d, b);
        d[lb] = '_';
        put_copy(d + lb + 1, reversed_a);
    };
    PyObject* o = r.get();
    switch (PyUnicode_KIND(o)) {
        case PyUnicode_1BYTE_KIND: fill(PyUnicode_1BYTE_DATA(o)); break;
        case PyUnicode_2BYTE_KIND: fill(PyUnicode_2BYTE_DATA(o)); break;
        default: fill(PyUnicode_4BYTE_DATA(o)); break;
    }
    return r;
}

// str.isalnum of an exact str: at least one character, each a letter or a digit.
bool str_isalnum(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0) return false;
    if (PyUnicode_IS_ASCII(s)) {
        const Py_UCS1* d = PyUnicode_1BYTE_DATA(s);
        for (Py_ssize_t k = 0; k < n; ++k)
            if (!Py_ISALNUM(d[k])) return false;
        return true;
    }
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t k = 0; k < n; ++k)
        if (!Py_UNICODE_ISALNUM(PyUnicode_READ(kind, data, k))) return false;
    return true;
}

// o[::-1]: an exact str reversed here, anything else through its own slicing.
frame::Ref reversed_any(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return reversed_str(o);
    return frame::take(PyObject_GetItem(o, c_reversed.get()));
}

// ---- the candidate list ---------------------------------------------------------------------

// EMPTYlist, with the positions of its exact str entries of odd and of even
// length and of its other entries, each in increasing order.
struct Candidates {
    std::vector<frame::Ref> items;
    std::vector<Py_ssize_t> odd, even, other;

    Py_ssize_t size() const { return (Py_ssize_t)items.size(); }
    PyObject* at(Py_ssize_t i) const { return items[(size_t)i].get(); }

    void append(frame::Ref o) {
        const Py_ssize_t pos = size();
        PyObject* p = o.get();
        items.push_back(std::move(o));
        if (PyUnicode_CheckExact(p)) (PyUnicode_GET_LENGTH(p) % 2 ? odd : even).push_back(pos);
        else other.push_back(pos);
    }

    // Before an addition of stage 3.
    void make_room() {
        if (size() >= kMaxCandidates) {
            PyErr_Format(PyExc_MemoryError, "candidate list would grow beyond %zd entries", kMaxCandidates);
            frame::raise();
        }
        signals();
    }
    frame::SignalCheck signals;

    // True when an entry at position i or later can still be paired into an
    // addition: an odd exact str or another object lies there.
    bool can_pair_from(Py_ssize_t i) const {
        return (!odd.empty() && odd.back() >= i) || (!other.empty() && other.back() >= i);
    }
};

// Index of the first position >= i in an increasing list.
size_t first_at_or_after(const std::vector<Py_ssize_t>& positions, Py_ssize_t i) {
    return (size_t)(std::lower_bound(positions.begin(), positions.end(), i) - positions.begin());
}

// combined = head + b; if len(combined) is even, add combined[::-1].
void pair_literally(Candidates& c, PyObject* head, PyObject* b) {
    frame::Ref combined = frame::take(PyNumber_Add(head, b));
    const Py_ssize_t n = PyObject_Size(combined.get());
    if (n < 0) frame::raise();
    if (n % 2 == 0) {
        c.make_room();
        c.append(reversed_any(combined.get()));
    }
}

// Stage 3 for the entry at position i.
void pair_entry(Candidates& c, Py_ssize_t i) {
    const Py_ssize_t n = c.size();
    // The entry stays in the list for the whole call, so this stays valid
    // whatever the entries' own methods do.
    PyObject* val = c.at(i);
    if (!PyUnicode_CheckExact(val)) {
        for (Py_ssize_t j = i; j < n; ++j) {
            frame::Ref head = frame::take(PyNumber_Add(val, s_underscore.get()));
            pair_literally(c, head.get(), c.at(j));
        }
        return;
    }
    // Exact str: the entries of the same parity give odd joins and are passed
    // over; the others are visited in position order, up to the length at the
    // start of this step.
    const std::vector<Py_ssize_t>& fit = PyUnicode_GET_LENGTH(val) % 2 ? c.even : c.odd;
    size_t a = first_at_or_after(fit, i), x = first_at_or_after(c.other, i);
    const size_t a_end = fit.size(), x_end = c.other.size();
    if (a == a_end && x == x_end) return;
    frame::Ref reversed_val, head;
    while (a < a_end || x < x_end) {
        if (x == x_end || (a < a_end && fit[a] < c.other[x])) {
            PyObject* b = c.at(fit[a++]);
            c.make_room();
            if (!reversed_val) reversed_val = reversed_str(val);
            c.append(reversed_join(reversed_val.get(), b));
        } else {
            PyObject* b = c.at(c.other[x++]);
            if (!head) head = frame::take(PyUnicode_Concat(val, s_underscore.get()));
            pair_literally(c, head.get(), b);
        }
    }
}

// ---- the class --------------------------------------------------------------------------------

constexpr int import_line = __LINE__;  // import re
constexpr int class_line = __LINE__;   // class Genomatch:

constexpr int init_line = __LINE__;
frame::Ref init(PyObject* const* a) {
    PyObject* self = a[0];
    frame::setattr(self, s_genotype, a[1]);
    frame::setattr(self, s_A_csv, a[2]);
    frame::setattr(self, s_B_csv, a[3]);
    return frame::none();
}

constexpr int aivchina_line = __LINE__;
frame::Ref AIVChina(PyObject* const* a) {
    PyObject *self = a[0], *nWlist = a[1], *Zidian = a[2];
    Candidates EMPTYlist;
    frame::Ref re = frame::global(s_re);
    frame::Ref temp_pattern = frame::call_method(re.get(), s_compile, {s_pattern.get()});

    // Stage 1: labels of the pattern.
    frame::Ref it = frame::take(PyObject_GetIter(nWlist));
    frame::Ref item;
    for (;;) {
        if (!frame::next(it.get(), item)) break;
        if (!PyUnicode_Check(item.get())) continue;
        frame::Ref found = frame::call_method(temp_pattern.get(), s_match, {item.get()});
        if (!frame::truth(found.get())) continue;
        frame::Ref none_listed = frame::take(PyList_New(0));
        frame::Ref names = frame::call_method(Zidian, s_get, {item.get(), none_listed.get()});
        // The first name of length 4 or more; every name's length is taken.
        frame::Ref names_it = frame::take(PyObject_GetIter(names.get()));
        frame::Ref x, first;
        for (;;) {
            if (!frame::next(names_it.get(), x)) break;
            const Py_ssize_t n = PyObject_Size(x.get());
            if (n < 0) frame::raise();
            if (n >= 4 && !first) first = x;
        }
        if (first) EMPTYlist.append(std::move(first));
    }

    // Stage 2: list-valued entries whose key is in the genotype.
    frame::for_each_item(Zidian, [&](PyObject* key, PyObject* value) {
        if (!PyList_Check(value)) return;
        frame::Ref genotype = frame::getattr(self, s_genotype);
        if (!frame::check(PySequence_Contains(genotype.get(), key))) return;
        // processed_values: only its first two entries and its length are used.
        frame::Ref kept[2];
        Py_ssize_t count = 0;
        frame::Ref values_it = frame::take(PyObject_GetIter(value));
        frame::Ref v;
        for (;;) {
            if (!frame::next(values_it.get(), v)) break;
            if (PyUnicode_CheckExact(v.get())) {
                if (!str_isalnum(v.get())) continue;
                if (count < 2) kept[count] = reversed_str(v.get());
            } else {
                frame::Ref alnum = frame::call_method(v.get(), s_isalnum, {});
                if (!frame::truth(alnum.get())) continue;
                frame::Ref reversed = frame::take(PyObject_GetItem(v.get(), c_reversed.get()));
                if (count < 2) kept[count] = std::move(reversed);
            }
            ++count;
        }
        if (count >= 3) {
            EMPTYlist.append(std::move(kept[0]));
            EMPTYlist.append(std::move(kept[1]));
        }
    });

    // Stage 3: pairing over the growing list.
    for (Py_ssize_t i = 0; i < EMPTYlist.size(); ++i) {
        if (!EMPTYlist.can_pair_from(i)) break;
        pair_entry(EMPTYlist, i);
    }

    // Stage 4: the distinct entries in order of first occurrence, every third
    // one under its position.
    frame::Ref unique_items = frame::take(PyDict_New());
    frame::SignalCheck signals;
    for (const frame::Ref& e : EMPTYlist.items) {
        signals();
        frame::check(PyDict_SetItem(unique_items.get(), e.get(), Py_None));
    }
    frame::Ref index_map = frame::take(PyDict_New());
    Py_ssize_t pos = 0, i = 0;
    PyObject *entry, *unused;
    while (PyDict_Next(unique_items.get(), &pos, &entry, &unused)) {
        signals();
        if (i % 3 == 0) {
            frame::Ref key = frame::take(PyLong_FromSsize_t(i));
            frame::check(PyDict_SetItem(index_map.get(), key.get(), entry));
        }
        ++i;
    }
    return index_map;
}

const frame::ModuleInfo info{
    .short_name = "genomatch",
    .full_name = "pellar.genomatch",
    .source_file = "pellar/genomatch",
    .class_name = "Genomatch",
    .imports = {{frame::ImportStmt::Import, "re", nullptr, nullptr, import_line}},
    .methods =
        {
            {"__init__", {"self", "genotype", "A_csv", "B_csv"}, {}, init, init_line},
            {"AIVChina", {"self", "nWlist", "Zidian"},
             {"EMPTYlist", "temp_pattern", "item", "matched_items", "x", "key", "value", "processed_values", "v",
              "i", "val", "j", "combined", "unique_items", "_"},
             AIVChina, aivchina_line},
        },
    .class_line = class_line,
    .test_line = __LINE__,
};

}  // namespace

PyMODINIT_FUNC PyInit_genomatch(void) { return frame::module_init(info); }

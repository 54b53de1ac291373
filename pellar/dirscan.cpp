// pellar.dirscan: class dirscan, a survey of one directory tree -- file counts
// by extension, the complete graph of the extensions, its CLI score and a
// three-line summary.
#include "frame/module.h"
#include "frame/ops.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// ---- names and constants -----------------------------------------------------------------

frame::Str s_directory_path("directory_path");
frame::Str s_file_counts("file_counts");
frame::Str s_graph("graph");
frame::Str s_os("os");
frame::Str s_walk("walk");
frame::Str s_path("path");
frame::Str s_splitext("splitext");
frame::Str s_lower("lower");
frame::Str s_Counter("Counter");
frame::Str s_nx("nx");
frame::Str s_Graph("Graph");
frame::Str s_items("items");
frame::Str s_add_node("add_node");
frame::Str s_add_edge("add_edge");
frame::Str s_weight("weight");
frame::Str s_nodes("nodes");
frame::Str s_edges("edges");  // the method of the graph and the key of dummy_data's entries
frame::Str s_estimate_cli("estimate_cli");
frame::Str s_number_of_nodes("number_of_nodes");
frame::Str s_number_of_edges("number_of_edges");
frame::Str s_cli_prefix("Estimated CLI: ");
frame::Str s_counts_label("File Extension Counts:");
frame::Str s_nodes_label("Number of Nodes in Graph:");
frame::Str s_edges_label("Number of Edges in Graph:");
// Names the standard path functions use, for the check below.
frame::Str s_fspath("fspath");
frame::Str s_genericpath("genericpath");
frame::Str s_private_splitext("_splitext");
frame::Str s_isinstance("isinstance");
frame::Str s_bytes("bytes");

frame::Int k_one(1);
frame::Int k_two(2);

frame::Builtin b_print("print");

frame::Const c_weight_kw([] { return PyTuple_Pack(1, s_weight.get()); });

// ---- extension keys computed in place -----------------------------------------------------
//
// `os.path.splitext(file)[1].lower()` for an exact str or bytes name gives the
// same key when computed here, as long as every object that expression and the
// standard splitext reach is still the one found when the module loaded: our
// `os`, os.path, os.path.splitext and its code, os.fspath, genericpath and its
// _splitext, and the built-ins isinstance and bytes.  Those live in five
// dictionaries (this module's namespace, os, posixpath, genericpath and the
// built-ins); a dictionary watcher marks the check stale on any change to one
// of them, so the look-ups are redone only then.  Code objects and module
// classes can change without touching a dictionary, so they are compared on
// every name.  Anything replaced sends the name through the Python call.

struct Standard {
    bool known = false;
    PyObject* os = nullptr;
    PyObject* posixpath = nullptr;
    PyObject* genericpath = nullptr;
    PyObject* splitext = nullptr;
    PyObject* splitext_code = nullptr;
    PyObject* inner = nullptr;  // genericpath._splitext
    PyObject* inner_code = nullptr;
    PyObject* fspath = nullptr;
    PyObject* isinstance = nullptr;
    PyObject* os_dict = nullptr;
    PyObject* posixpath_dict = nullptr;
    PyObject* genericpath_dict = nullptr;
    PyObject* builtins_dict = nullptr;
} standard;

int watcher_id = -1;
bool stale = true;         // a watched dictionary changed since the last check
bool standard_ok = false;  // result of the last check

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    stale = true;
    return 0;
}

// d[key] is expected (nullptr: key absent).  Never fails: a failed look-up
// is a mismatch.
bool entry_is(PyObject* d, PyObject* key, PyObject* expected) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return v == expected;
}

bool standard_in_place() {
    const Standard& s = standard;
    return entry_is(frame::module_dict(), s_os.get(), s.os) && entry_is(s.os_dict, s_path.get(), s.posixpath) &&
           entry_is(s.os_dict, s_fspath.get(), s.fspath) &&
           entry_is(s.posixpath_dict, s_splitext.get(), s.splitext) &&
           entry_is(s.posixpath_dict, s_os.get(), s.os) &&
           entry_is(s.posixpath_dict, s_genericpath.get(), s.genericpath) &&
           entry_is(s.posixpath_dict, s_isinstance.get(), nullptr) &&
           entry_is(s.posixpath_dict, s_bytes.get(), nullptr) &&
           entry_is(s.genericpath_dict, s_private_splitext.get(), s.inner) &&
           entry_is(s.builtins_dict, s_isinstance.get(), s.isinstance) &&
           entry_is(s.builtins_dict, s_bytes.get(), reinterpret_cast<PyObject*>(&PyBytes_Type));
}

inline bool standard_splitext() {
    if (!standard.known) return false;
    if (stale) {
        // A look-up may compare against a key of another type, whose __eq__
        // can change a watched dictionary after its entry was checked: a
        // change during the check makes it fail.
        stale = false;
        standard_ok = standard_in_place() && !stale;
        if (watcher_id < 0) stale = true;  // without a watcher every name is checked
    }
    const Standard& s = standard;
    return standard_ok && Py_TYPE(s.os) == &PyModule_Type && Py_TYPE(s.posixpath) == &PyModule_Type &&
           Py_TYPE(s.genericpath) == &PyModule_Type && PyFunction_GET_CODE(s.splitext) == s.splitext_code &&
           PyFunction_GET_CODE(s.inner) == s.inner_code;
}

// Finds the standard objects when the module loads, once its imports have run:
// the `os` that the first import statement bound, and what its splitext
// reaches.  Anything unexpected leaves `known` false: every name then takes
// the Python call.  Never fails the load.
PyObject* find_standard() {
    using frame::Ref;
    standard.known = false;
    auto give_up = [] {
        PyErr_Clear();
        return Py_NewRef(Py_None);
    };
    Ref os = Ref::borrow(PyDict_GetItemWithError(frame::module_dict(), s_os.get()));
    if (!os) return give_up();
    Ref held[5];  // os.path, os.fspath, splitext, genericpath, genericpath._splitext
    const std::pair<int, const char*> chain[] = {{-1, "path"}, {-1, "fspath"}, {0, "splitext"},
                                                 {0, "genericpath"}, {3, "_splitext"}};
    for (int i = 0; i < 5; ++i) {
        PyObject* owner = chain[i].first < 0 ? os.get() : held[chain[i].first].get();
        held[i] = Ref::steal(PyObject_GetAttrString(owner, chain[i].second));
        if (!held[i]) return give_up();
    }
    Ref isinstance = Ref::steal(PyObject_GetAttrString(frame::builtins_module(), "isinstance"));
    if (!isinstance) return give_up();
    Standard s;
    s.os = os.get();
    s.posixpath = held[0].get();
    s.fspath = held[1].get();
    s.splitext = held[2].get();
    s.genericpath = held[3].get();
    s.inner = held[4].get();
    s.isinstance = isinstance.get();
    if (!(PyModule_CheckExact(s.os) && PyModule_CheckExact(s.posixpath) && PyModule_CheckExact(s.genericpath) &&
          PyFunction_Check(s.splitext) && PyFunction_Check(s.inner) && PyCFunction_Check(s.fspath)))
        return give_up();
    s.splitext_code = PyFunction_GET_CODE(s.splitext);
    s.inner_code = PyFunction_GET_CODE(s.inner);
    s.os_dict = PyModule_GetDict(s.os);
    s.posixpath_dict = PyModule_GetDict(s.posixpath);
    s.genericpath_dict = PyModule_GetDict(s.genericpath);
    s.builtins_dict = PyModule_GetDict(frame::builtins_module());
    auto named = [](PyObject* module, const char* name) {
        const char* n = PyModule_GetName(module);
        if (!n) PyErr_Clear();
        return n && std::strcmp(n, name) == 0;
    };
    // The functions must be posixpath's and genericpath's own and look their
    // built-ins up in the built-ins module.
    if (!(named(s.posixpath, "posixpath") && named(s.genericpath, "genericpath") &&
          PyFunction_GET_GLOBALS(s.splitext) == s.posixpath_dict &&
          PyFunction_GET_GLOBALS(s.inner) == s.genericpath_dict &&
          reinterpret_cast<PyFunctionObject*>(s.splitext)->func_builtins == s.builtins_dict &&
          reinterpret_cast<PyFunctionObject*>(s.inner)->func_builtins == s.builtins_dict))
        return give_up();
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(on_dict_event);
        if (watcher_id < 0) PyErr_Clear();
    }
    if (watcher_id >= 0) {
        for (PyObject* d : {frame::module_dict(), s.os_dict, s.posixpath_dict, s.genericpath_dict, s.builtins_dict})
            if (PyDict_Watch(watcher_id, d) < 0) {
                PyErr_Clear();
                PyDict_ClearWatcher(watcher_id);
                PyErr_Clear();
                watcher_id = -1;
                break;
            }
    }
    // Held for the life of the process; the code objects too, so that a
    // replacement can never be made at the address of the original.
    Py_INCREF(s.splitext_code);
    Py_INCREF(s.inner_code);
    os.release();
    isinstance.release();
    for (Ref& r : held) r.release();
    s.known = true;
    standard = s;
    stale = true;
    return Py_NewRef(Py_None);
}

int capture_standard() {
    Py_DECREF(find_standard());
    return 0;
}

// Keys made recently, by their (lower-cased) text: counting a tree makes the
// same few keys over and over.
struct KeySlot {
    PyObject* key = nullptr;
    Py_ssize_t size = 0;
    char text[24];
};
constexpr size_t kSlots = 64;
KeySlot str_keys[kSlots];
KeySlot bytes_keys[kSlots];

inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c + ('a' - 'A')) : c; }

// A new reference to the key for text[start, size) lower-cased in ASCII: a
// str (the text is all ASCII) or a bytes object.  Short keys come from the
// slots when they were made before.
PyObject* lowered_key(const char* text, Py_ssize_t start, Py_ssize_t size, bool as_bytes) {
    const Py_ssize_t n = size - start;
    text += start;
    KeySlot* slot = nullptr;
    char lowered[sizeof(KeySlot::text)];
    if (n <= (Py_ssize_t)sizeof lowered) {
        uint32_t h = 2166136261u;
        for (Py_ssize_t i = 0; i < n; ++i) {
            lowered[i] = ascii_lower(text[i]);
            h = (h ^ (unsigned char)lowered[i]) * 16777619u;
        }
        slot = &(as_bytes ? bytes_keys : str_keys)[(h ^ (h >> 11)) % kSlots];
        if (slot->key && slot->size == n) {
            Py_ssize_t i = 0;
            while (i < n && slot->text[i] == lowered[i]) ++i;
            if (i == n) return Py_NewRef(slot->key);
        }
    }
    PyObject* key = as_bytes ? PyBytes_FromStringAndSize(nullptr, n) : PyUnicode_New(n, 127);
    if (!key) return nullptr;
    char* out = as_bytes ? PyBytes_AS_STRING(key) : reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(key));
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = ascii_lower(text[i]);
    if (slot) {
        Py_XSETREF(slot->key, Py_NewRef(key));
        slot->size = n;
        std::memcpy(slot->text, out, (size_t)n);
    }
    return key;
}

// Where the extension of `name` starts (genericpath._splitext with sep "/",
// no altsep, extsep "."): at the last dot, if it lies after the last "/" and
// something other than a dot comes before it in the last component; else at
// `size` (no extension).
template <typename ReadAt>
Py_ssize_t extension_start(Py_ssize_t size, ReadAt at) {
    Py_ssize_t sep = -1, dot = -1;
    for (Py_ssize_t i = size - 1; i >= 0; --i) {
        const Py_UCS4 c = at(i);
        if (c == '/') {
            sep = i;
            break;
        }
        if (c == '.' && dot < 0) dot = i;
    }
    if (dot > sep)
        for (Py_ssize_t i = sep + 1; i < dot; ++i)
            if (at(i) != '.') return dot;
    return size;
}

// The extension key of an exact str or bytes name, with the standard splitext.
frame::Ref native_extension(PyObject* name) {
    if (PyBytes_CheckExact(name)) {
        const char* text = PyBytes_AS_STRING(name);
        const Py_ssize_t size = PyBytes_GET_SIZE(name);
        const Py_ssize_t start = extension_start(size, [text](Py_ssize_t i) { return (Py_UCS4)(unsigned char)text[i]; });
        return frame::take(lowered_key(text, start, size, true));
    }
    const Py_ssize_t size = PyUnicode_GET_LENGTH(name);
    if (PyUnicode_IS_ASCII(name)) {
        const char* text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(name));
        const Py_ssize_t start = extension_start(size, [text](Py_ssize_t i) { return (Py_UCS4)(unsigned char)text[i]; });
        return frame::take(lowered_key(text, start, size, false));
    }
    const int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    const Py_ssize_t start = extension_start(size, [kind, data](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); });
    // Lower-casing beyond ASCII is the str's own.
    frame::Ref ext = frame::take(PyUnicode_Substring(name, start, size));
    if (PyUnicode_IS_ASCII(ext.get())) {
        const char* text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(ext.get()));
        return frame::take(lowered_key(text, 0, PyUnicode_GET_LENGTH(ext.get()), false));
    }
    return frame::call_method(ext.get(), s_lower, {});
}

// ---- counting -----------------------------------------------------------------------------
//
// `counts[ext] += 1` on a dict subclass such as Counter goes through generic
// slots: dict exposes __getitem__ as a method of its own, so a subclass reads
// an item through a method look-up and call, and a subclass that defines
// __delitem__ (Counter does) assigns through its __setitem__ slot wrapper.
// Where the type's __getitem__ (or __setitem__) is dict's own, those calls
// end in dict's item read (or assignment), which is done here directly: the
// look-up, then for a subclass its __missing__ as dict calls it.  The answer
// for the last type seen is kept with the type's version tag, which the
// interpreter renews on any change to the type or its bases.

frame::Str s_getitem("__getitem__");
frame::Str s_setitem("__setitem__");
frame::Str s_missing("__missing__");

PyObject* dict_own(const frame::Str& name) {
    frame::Ref f = frame::type_lookup(&PyDict_Type, name.get());
    if (!f) PyErr_Format(PyExc_SystemError, "dict has no %s", name.text());
    return f.release();
}
frame::Const c_dict_getitem([] { return dict_own(s_getitem); });
frame::Const c_dict_setitem([] { return dict_own(s_setitem); });

struct DictLike {
    const frame::Str& name;
    const frame::Const& own;
    PyTypeObject* type = nullptr;  // borrowed: compared, never used
    unsigned int tag = 0;

    // True when `o[k]` (or `o[k] = v`) is dict's own operation.
    bool operator()(PyObject* o) {
        PyTypeObject* t = Py_TYPE(o);
        if (t == &PyDict_Type) return true;
        if (!PyDict_Check(o)) return false;
        if (t == type && tag != 0 && t->tp_version_tag == tag) return true;
        if (frame::type_lookup(t, name.get()).get() != own.get()) return false;
        type = t;
        tag = t->tp_version_tag;  // 0 when the type has none: looked up again next time
        return true;
    }
};
DictLike reads_as_dict{s_getitem, c_dict_getitem};
DictLike assigns_as_dict{s_setitem, c_dict_setitem};

// dict's `d[key]`, for a dict or a subclass that reads items as dict does.
frame::Ref dict_item(PyObject* d, PyObject* key) {
    PyObject* v = frame::check_borrowed(PyDict_GetItemWithError(d, key));
    if (v) return frame::Ref::borrow(v);
    if (!PyDict_CheckExact(d)) {
        // The type's __missing__, bound as a special method is.
        frame::Ref found = frame::type_lookup(Py_TYPE(d), s_missing.get());
        if (found) {
            descrgetfunc get = Py_TYPE(found.get())->tp_descr_get;
            frame::Ref missing =
                get ? frame::take(get(found.get(), d, reinterpret_cast<PyObject*>(Py_TYPE(d)))) : found;
            return frame::call(missing.get(), {key});
        }
    }
    frame::Ref args = frame::take(PyTuple_Pack(1, key));
    PyErr_SetObject(PyExc_KeyError, args.get());
    frame::raise();
}

// `a != b` tested for truth.  Two exact str or two exact bytes compare by
// their contents; anything else through the interpreter's comparison.
bool differ(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        if (a == b) return false;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return true;
        return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)(n * PyUnicode_KIND(a))) != 0;
    }
    if (PyBytes_CheckExact(a) && PyBytes_CheckExact(b)) {
        if (a == b) return false;
        const Py_ssize_t n = PyBytes_GET_SIZE(a);
        return n != PyBytes_GET_SIZE(b) || std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), (size_t)n) != 0;
    }
    frame::Ref r = frame::take(PyObject_RichCompare(a, b, Py_NE));
    return frame::truth(r.get());
}

// self.graph.<method>(a[, b], weight=w)
frame::Ref call_with_weight(PyObject* self, const frame::Str& method, PyObject* a, PyObject* b, PyObject* w) {
    frame::Ref graph = frame::getattr(self, s_graph);
    PyObject* stack[4] = {graph.get(), a, b, w};
    size_t positional = 3;
    if (!b) {
        stack[2] = w;
        positional = 2;
    }
    return frame::take(PyObject_VectorcallMethod(method.get(), stack, positional, c_weight_kw.get()));
}

// self.graph.add_edge(a, b, weight=<count / 2>): the method is looked up
// before the weight is computed, as the call expression evaluates them.
frame::Ref add_edge_half(PyObject* self, PyObject* a, PyObject* b, PyObject* count, frame::Ref& shared_half,
                         bool plain_count) {
    frame::Ref graph = frame::getattr(self, s_graph);
    frame::Ref add_edge = frame::getattr(graph.get(), s_add_edge);
    frame::Ref half = shared_half;
    if (!half) {
        half = frame::take(PyNumber_TrueDivide(count, k_two.get()));
        if (plain_count) shared_half = half;
    }
    PyObject* args[3] = {a, b, half.get()};
    return frame::take(PyObject_Vectorcall(add_edge.get(), args, 2, c_weight_kw.get()));
}

// ---- the class ---------------------------------------------------------------------------

constexpr int class_line = __LINE__;  // class dirscan:

constexpr int init_line = __LINE__;
frame::Ref init(PyObject* const* a) {
    PyObject *self = a[0], *directory_path = a[1];
    frame::setattr(self, s_directory_path, directory_path);
    {
        frame::Ref counter_type = frame::global(s_Counter);
        frame::Ref counter = frame::call(counter_type.get(), {});
        frame::setattr(self, s_file_counts, counter.get());
    }
    {
        frame::Ref nx = frame::global(s_nx);
        frame::Ref graph_type = frame::getattr(nx.get(), s_Graph);
        frame::Ref graph = frame::call(graph_type.get(), {});
        frame::setattr(self, s_graph, graph.get());
    }
    return frame::none();
}

// ext = os.path.splitext(file)[1].lower(); self.file_counts[ext] += 1
void count_file(PyObject* self, PyObject* file) {
    frame::Ref ext;
    if ((PyUnicode_CheckExact(file) || PyBytes_CheckExact(file)) && standard_splitext()) {
        ext = native_extension(file);
    } else {
        frame::Ref os = frame::global(s_os);
        frame::Ref path = frame::getattr(os.get(), s_path);
        frame::Ref splitext = frame::getattr(path.get(), s_splitext);
        frame::Ref parts = frame::call(splitext.get(), {file});
        frame::Ref tail = frame::take(PyObject_GetItem(parts.get(), k_one.get()));
        ext = frame::call_method(tail.get(), s_lower, {});
    }
    frame::Ref counts = frame::getattr(self, s_file_counts);
    frame::Ref old = reads_as_dict(counts.get()) ? dict_item(counts.get(), ext.get())
                                                 : frame::take(PyObject_GetItem(counts.get(), ext.get()));
    frame::Ref sum = frame::take(PyNumber_InPlaceAdd(old.get(), k_one.get()));
    if (assigns_as_dict(counts.get()))
        frame::check(PyDict_SetItem(counts.get(), ext.get(), sum.get()));
    else
        frame::check(PyObject_SetItem(counts.get(), ext.get(), sum.get()));
}

constexpr int process_directory_line = __LINE__;
frame::Ref process_directory(PyObject* const* a) {
    PyObject* self = a[0];
    frame::Ref walk_it;
    {
        frame::Ref os = frame::global(s_os);
        frame::Ref walk = frame::getattr(os.get(), s_walk);
        frame::Ref top = frame::getattr(self, s_directory_path);
        frame::Ref walk_result = frame::call(walk.get(), {top.get()});
        walk_it = frame::take(PyObject_GetIter(walk_result.get()));
    }
    frame::Ref item, parts[3];  // root, dirs, files
    frame::SignalCheck signals;
    for (;;) {
        if (!frame::next(walk_it.get(), item)) break;
        frame::unpack(item.get(), 3, parts);
        PyObject* files = parts[2].get();
        if (PyList_CheckExact(files)) {
            // A list is read as its iterator reads it: the size is checked
            // before every item, as the counting (or a signal handler) may
            // run Python code.
            for (Py_ssize_t i = 0;; ++i) {
                signals();
                if (i >= PyList_GET_SIZE(files)) break;
                frame::Ref file = frame::Ref::borrow(PyList_GET_ITEM(files, i));
                count_file(self, file.get());
            }
        } else {
            frame::Ref files_it = frame::take(PyObject_GetIter(files));
            frame::Ref file;
            for (;;) {
                if (!frame::next(files_it.get(), file)) break;
                count_file(self, file.get());
            }
        }
    }
    return frame::none();
}

constexpr int build_graph_line = __LINE__;
frame::Ref build_graph(PyObject* const* a) {
    PyObject* self = a[0];
    frame::Ref pairs;
    {
        frame::Ref counts = frame::getattr(self, s_file_counts);
        frame::Ref items = frame::call_method(counts.get(), s_items, {});
        pairs = frame::take(PyObject_GetIter(items.get()));
    }
    frame::Ref pair, ext_count[2];  // ext, count
    for (;;) {
        if (!frame::next(pairs.get(), pair)) break;
        frame::unpack(pair.get(), 2, ext_count);
        PyObject *ext = ext_count[0].get(), *count = ext_count[1].get();
        call_with_weight(self, s_add_node, ext, nullptr, count);
        frame::Ref others;
        {
            frame::Ref counts = frame::getattr(self, s_file_counts);
            others = frame::take(PyObject_GetIter(counts.get()));
        }
        // Half of an int or float count is the same float for every edge:
        // made at the first edge that needs it.  Any other count is divided
        // afresh for each edge.
        const bool plain_count = PyLong_CheckExact(count) || PyFloat_CheckExact(count);
        frame::Ref shared_half;
        frame::Ref other_ext;
        for (;;) {
            if (!frame::next(others.get(), other_ext)) break;
            if (!differ(ext, other_ext.get())) continue;
            add_edge_half(self, ext, other_ext.get(), count, shared_half, plain_count);
        }
    }
    return frame::none();
}

constexpr int calculate_cli_line = __LINE__;
frame::Ref calculate_cli(PyObject* const* a) {
    PyObject* self = a[0];
    frame::Ref dummy_data = frame::take(PyDict_New());
    frame::Ref nodes_it;
    {
        frame::Ref graph = frame::getattr(self, s_graph);
        frame::Ref nodes = frame::getattr(graph.get(), s_nodes);
        nodes_it = frame::take(PyObject_GetIter(nodes.get()));
    }
    frame::Ref node;
    for (;;) {
        if (!frame::next(nodes_it.get(), node)) break;
        frame::Ref graph = frame::getattr(self, s_graph);
        frame::Ref edges = frame::call_method(graph.get(), s_edges, {node.get()});
        frame::Ref edge_list = frame::take(PySequence_List(edges.get()));
        frame::Ref entry = frame::take(PyDict_New());
        frame::check(PyDict_SetItem(entry.get(), s_edges.get(), edge_list.get()));
        frame::check(PyDict_SetItem(dummy_data.get(), node.get(), entry.get()));
    }
    frame::Ref cli_value;
    {
        frame::Ref estimate = frame::global(s_estimate_cli);
        cli_value = frame::call(estimate.get(), {dummy_data.get()});
    }
    {
        frame::Ref value_text = frame::display_text(cli_value.get());
        frame::Ref text = frame::take(PyUnicode_Concat(s_cli_prefix.get(), value_text.get()));
        frame::call(b_print.get(), {text.get()});
    }
    return frame::none();
}

constexpr int display_summary_line = __LINE__;
frame::Ref display_summary(PyObject* const* a) {
    PyObject* self = a[0];
    {
        frame::Ref counts = frame::getattr(self, s_file_counts);
        frame::Ref plain = frame::call(reinterpret_cast<PyObject*>(&PyDict_Type), {counts.get()});
        frame::call(b_print.get(), {s_counts_label.get(), plain.get()});
    }
    {
        frame::Ref graph = frame::getattr(self, s_graph);
        frame::Ref n = frame::call_method(graph.get(), s_number_of_nodes, {});
        frame::call(b_print.get(), {s_nodes_label.get(), n.get()});
    }
    {
        frame::Ref graph = frame::getattr(self, s_graph);
        frame::Ref n = frame::call_method(graph.get(), s_number_of_edges, {});
        frame::call(b_print.get(), {s_edges_label.get(), n.get()});
    }
    return frame::none();
}

const frame::ModuleInfo info{
    .short_name = "dirscan",
    .full_name = "pellar.dirscan",
    .source_file = "pellar/dirscan",
    .class_name = "dirscan",
    .imports =
        {
            {frame::ImportStmt::Import, "os", nullptr, nullptr, __LINE__},
            {frame::ImportStmt::From, "collections", "Counter", nullptr, __LINE__},
            {frame::ImportStmt::Import, "networkx", nullptr, "nx", __LINE__},
            {frame::ImportStmt::From, "scorekit", "estimate_cli", nullptr, __LINE__},
        },
    .methods =
        {
            {"__init__", {"self", "directory_path"}, {}, init, init_line},
            {"process_directory", {"self"}, {"root", "dirs", "files", "file", "ext"}, process_directory,
             process_directory_line},
            {"build_graph", {"self"}, {"ext", "count", "other_ext"}, build_graph, build_graph_line},
            {"calculate_cli", {"self"}, {"dummy_data", "cli_value", "node"}, calculate_cli, calculate_cli_line},
            {"display_summary", {"self"}, {}, display_summary, display_summary_line},
        },
    .class_line = class_line,
    .test_line = __LINE__,
    .after_imports = capture_standard,
};

}  // namespace

PyMODINIT_FUNC PyInit_dirscan(void) { return frame::module_init(info); }

// pellar.refbook: class Refbook, a file reference with three index operations
// that do nothing.
#include "frame/module.h"
#include "frame/ops.h"

namespace {

frame::Str s_file("file");

constexpr int class_line = __LINE__;  // class Refbook:

constexpr int init_line = __LINE__;
frame::Ref init(PyObject* const* a) {
    PyObject *self = a[0], *file = a[1];
    frame::setattr(self, s_file, file);
    return frame::none();
}

// basic_dict_index, dirscan_Exclusive_dict_index, read_basic_index
constexpr int index_line = __LINE__;
frame::Ref do_nothing(PyObject* const*) { return frame::none(); }

const frame::ModuleInfo info{
    .short_name = "refbook",
    .full_name = "pellar.refbook",
    .source_file = "pellar/refbook",
    .class_name = "Refbook",
    .imports = {},
    .methods =
        {
            {"__init__", {"self", "file"}, {}, init, init_line},
            {"basic_dict_index", {"self"}, {}, do_nothing, index_line},
            {"dirscan_Exclusive_dict_index", {"self"}, {}, do_nothing, index_line},
            {"read_basic_index", {"self"}, {}, do_nothing, index_line},
        },
    .class_line = class_line,
    .test_line = __LINE__,
};

}  // namespace

PyMODINIT_FUNC PyInit_refbook(void) { return frame::module_init(info); }

// A keyed hash of bytes for the native tables of the modules: the
// interpreter's own string hash function (SipHash with the process's random
// key), so that crafted input cannot make one probe sequence long.
#pragma once

#include "ref.h"

#include <cstddef>
#include <cstdint>

namespace frame {

inline uint64_t hash_bytes(const void* data, size_t n) {
    static const auto hash = PyHash_GetFuncDef()->hash;
    return (uint64_t)hash(data, (Py_ssize_t)n);
}

}  // namespace frame

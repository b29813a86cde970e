// c_quorvel._align.synchronize: the native entry of c_quorvel.align.synchronize.
#pragma once

#include <Python.h>

namespace quorvel_align {

// synchronize(original, reference, max_offset, max_breaks, /): see synchronize.cpp.
PyObject* synchronize(PyObject* module, PyObject* const* arguments, Py_ssize_t count) noexcept;

extern const char synchronize_doc[];

// map_time(scale, offset, time, /): the original time of one reference time under a segment.
PyObject* map_time(PyObject* module, PyObject* const* arguments, Py_ssize_t count) noexcept;

extern const char map_time_doc[];

}  // namespace quorvel_align

// Conversions between Python objects and the engine's records.
//
// Byte form: dicts whose texts are bytes; what records become when handed to Python code, and
// what the mapping conversions accept. Keys are the interned names, inserted in field order.
// Functions returning bool leave an exception pending when they return false; those returning
// PyObject* return a new reference or null with an exception pending. A failing conversion adds
// its own traceback entry (in "<stringsource>") where noted.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "input_form.hpp"
#include "quorvel/records.hpp"

namespace tandril {

// The traceback entry of a failed byte-string copy.
inline constexpr const char* string_from_py_entry = "c_quorvel.tandril.string_from_py";

// An int (or int subclass) in the signed 32-bit range, or anything with __int__ (never
// __index__). -1 with an exception pending on failure. Adds no traceback entry.
std::int32_t int_from_py(PyObject* object);

// Reads `object` by int_from_py into `target`. False with an exception pending on failure.
inline bool read_int(PyObject* object, std::int32_t& target) {
    target = int_from_py(object);
    return !(target == -1 && PyErr_Occurred());
}

// Copies the bytes of a bytes or bytearray (or a subclass) into `target`. Entry on failure.
bool string_from_py(PyObject* object, std::string& target);

// The data and length that string_from_py copies. Entry on failure.
bool bytes_of(PyObject* object, const char*& data, Py_ssize_t& length);

// Appends `length` bytes at `data` to `target`, as string_from_py copies. Entry on failure.
bool append_bytes(const char* data, Py_ssize_t length, std::string& target);

// A new bytes object holding exactly `value`. Entry on failure.
PyObject* string_to_py(std::string_view value);

// A mapping with the byte-form keys; a missing key raises the missing-field ValueError. Entry on failure.
bool interval_from_py(PyObject* object, quorvel::IntervalVar& target);

// Any iterable of such mappings; exact lists and tuples are walked by index. Entry on failure.
bool intervals_from_py(PyObject* object, quorvel::Intervals& target);

// A match mapping: start, end, and two iterables of interval mappings. Entry on failure.
bool match_from_py(PyObject* object, quorvel::MatchesVar& target);

// Byte-form dictionaries.
PyObject* interval_to_py(const IntervalView& interval);
inline PyObject* interval_to_py(const quorvel::IntervalVar& interval) { return interval_to_py(IntervalView::of(interval)); }
PyObject* intervals_to_py(const quorvel::Intervals& intervals);  // entry on failure
PyObject* match_to_py(const quorvel::MatchesVar& match);

}  // namespace tandril

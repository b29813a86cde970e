// Reading Python objects into the engine's records.
//
// Two shapes are read. The byte form: any mapping with the keys "start", "end", "text",
// "original" and "nl" (and "reference" for a match), texts as bytes or bytearray; a missing key
// raises ValueError "No value specified for struct attribute '<key>'". The input form: the
// elements of an exact list, the same interval keys, texts as str values that the reader encodes
// as UTF-8 (through the value's own encode, or the interpreter's encoder for an exact str, which
// cannot override it); a missing key raises the lookup's own KeyError.
//
// Functions returning bool leave an exception pending when they return false. Those marked
// "entry" add their own traceback entry, in "<stringsource>", when they fail. Any of them can run
// Python code (lookups, __int__, encode): they hold what they read and re-read list lengths.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "quorvel/interval_store.hpp"
#include "quorvel/records.hpp"

namespace binding {

// The one integer reader: the value of `integer`, an int (or a subclass), as a signed 32-bit
// integer. Each caller applies its own rules around it (which objects it takes, through __int__
// or __index__, and what it says when a value does not fit).
enum class Int32Reading {
    read,          // `target` holds the value
    out_of_range,  // an int outside the signed 32-bit range; nothing pending
    failed,        // an exception is pending
};
Int32Reading int32_of(PyObject* integer, std::int32_t& target);

// What a lookup does when the key is missing.
enum class Missing {
    raises,  // KeyError: the subscription's own, or one carrying the key for an exact dict
    absent,  // null with nothing pending (a KeyError of the subscription is cleared)
};

// `mapping[key]`, a new reference: a direct lookup for an exact dict, the generic subscription
// otherwise. Null with an exception pending on failure, or as `missing` says.
PyObject* item_value(PyObject* mapping, PyObject* key, Missing missing = Missing::raises);

// An int (or int subclass) in the signed 32-bit range, or anything with __int__ (never
// __index__). -1 with an exception pending on failure. Adds no traceback entry.
std::int32_t int_from_py(PyObject* object);

// Reads `object` by int_from_py into `target`. False with an exception pending on failure.
inline bool read_int(PyObject* object, std::int32_t& target) {
    target = int_from_py(object);
    return !(target == -1 && PyErr_Occurred());
}

// Copies the bytes of a bytes or bytearray (or a subclass) into `target`. Entry.
bool string_from_py(PyObject* object, std::string& target);

// A byte-form interval mapping. Entry.
bool interval_from_py(PyObject* object, quorvel::IntervalVar& target);

// Any iterable of byte-form interval mappings; exact lists and tuples are walked by index. Entry.
bool intervals_from_py(PyObject* object, quorvel::Intervals& target);

// A byte-form match mapping: start, end, and two iterables of interval mappings. Entry.
bool match_from_py(PyObject* object, quorvel::MatchesVar& target);

// Every element of the exact list `list`, in the input form, appended to `target` in list order.
// Elements are read one by one, each field converted right after its lookup (an element that is
// a plain dict of the five fields in order is read by one walk with the same outcome); the first
// failure ends the reading. No entry of its own: the calling function adds its entry.
bool read_input_list(PyObject* list, quorvel::Intervals& target);
bool read_input_list(PyObject* list, quorvel::IntervalStore& target);

}  // namespace binding

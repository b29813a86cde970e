// JSON text, indented by two spaces, of a tree of exact dicts, lists, strs, ints, bools and None:
// the text json.dumps(value, indent=2, ensure_ascii=False) gives for it, written in one pass.
//
// Gives up (None) on anything else (a float, a subclass, a key that is not a str, an int beyond
// 64 bits, nesting deeper than 100), for json.dumps to handle. No Python code
// runs while the tree is read: only exact built-in types are looked into.
#pragma once

#include <Python.h>

namespace quorvel_subrip {

// A new str, None (a new reference) or null with an exception set. With `final_newline` the text
// ends with a line break, joined with the rest (a caller adding it would copy the whole text).
// With `utf8` the text comes as bytes, its UTF-8 encoding (a file's content, without the str
// between); a lone surrogate, which UTF-8 cannot hold, then gives None.
PyObject* indented_json(PyObject* value, bool final_newline, bool utf8);

}  // namespace quorvel_subrip

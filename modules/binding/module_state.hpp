// Process-wide state of a native module built on this support code: written during start-up,
// only read afterwards.
//
// Each module links its own copy of this library with hidden symbols, so each module has its own
// state. A module lives in one interpreter per process, so its state is plain globals rather than
// per-module state. Nothing here is ever released: the modules have no teardown.
#pragma once

#include <Python.h>

#include <cstdint>

namespace binding {

// The str objects that record reading and dict building use at call time, created once so that
// dictionary lookups compare by identity first.
struct InternedNames {
    // Dictionary keys of the record forms.
    PyObject* start = nullptr;
    PyObject* end = nullptr;
    PyObject* text = nullptr;
    PyObject* original = nullptr;
    PyObject* nl = nullptr;
    PyObject* reference = nullptr;
    // Encoding of input texts through a value's own encode method.
    PyObject* encode = nullptr;
    PyObject* utf_8 = nullptr;
};

struct ModuleState {
    std::int64_t interpreter_id = -1;
    PyObject* module = nullptr;         // strong; null before the first exec step and after a failed one
    PyObject* module_dict = nullptr;    // strong; the globals of every function and traceback entry
    PyObject* builtins_dict = nullptr;  // strong; the dictionary of the interpreter's builtins module
    bool names_ready = false;
    InternedNames names;
};

extern ModuleState module_state;

inline const InternedNames& names() noexcept { return module_state.names; }

// Creates the interned names once; later calls do nothing. False with an exception set on failure.
bool create_interned_names();

// Looks `name` up in the module's namespace, then among the builtins. A new reference, or null
// with NameError (or the lookup's own error) set.
PyObject* lookup_module_global(PyObject* name);

}  // namespace binding

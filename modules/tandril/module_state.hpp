// Process-wide state of the module: written during start-up, only read afterwards.
//
// The module can live in one interpreter per process, so its state is plain globals rather than
// per-module state. Nothing here is ever released: the module has no teardown.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tandril {

// Every str the module uses at call time, created once so that dictionary lookups and keyword
// matching can compare by identity first.
struct InternedNames {
    // Dictionary keys of the record forms.
    PyObject* start = nullptr;
    PyObject* end = nullptr;
    PyObject* text = nullptr;
    PyObject* original = nullptr;
    PyObject* nl = nullptr;
    PyObject* reference = nullptr;
    // Encoding of input texts.
    PyObject* encode = nullptr;
    PyObject* utf_8 = nullptr;
    // Module functions looked up by name at call time.
    PyObject* interval_to_dict = nullptr;
    PyObject* match_to_dict = nullptr;
    // Parameter names.
    PyObject* interval = nullptr;
    PyObject* match = nullptr;
    PyObject* set_a_dicts = nullptr;
    PyObject* set_b_dicts = nullptr;
    PyObject* intervals = nullptr;
    PyObject* start_q = nullptr;
    PyObject* end_q = nullptr;
    PyObject* pyx_state = nullptr;
};

struct ModuleState {
    std::int64_t interpreter_id = -1;
    PyObject* module = nullptr;       // strong; null before the first exec step and after a failed one
    PyObject* module_dict = nullptr;  // strong; the globals of every function and traceback entry
    PyObject* builtins_dict = nullptr;  // strong; the dictionary of the interpreter's builtins module
    bool names_ready = false;
    InternedNames names;
    // The module's own dictionary functions, recognised by identity to build results directly.
    PyObject* own_interval_to_dict = nullptr;
    PyObject* own_match_to_dict = nullptr;
};

extern ModuleState module_state;

inline const InternedNames& names() noexcept { return module_state.names; }

// Creates the interned names once; later calls do nothing. False with an exception set on failure.
bool create_interned_names();

// Looks `name` up in the module's namespace, then among the builtins. A new reference, or null
// with NameError (or the lookup's own error) set.
PyObject* lookup_module_global(PyObject* name);

}  // namespace tandril

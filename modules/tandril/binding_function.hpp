// BindingFunction: the function-object type of every callable of the module.
//
// A function object pairs a static CallableDefinition (names, docstring, parameters, body) with
// the module's globals. It is called through the vector call protocol: arguments are bound in
// place, without building a tuple or dict, and the body receives exactly one argument per
// parameter. It is a method descriptor, so one stored in a type's dictionary binds to instances.
#pragma once

#include <Python.h>

#include <array>

#include "arguments.hpp"

namespace tandril {

// The body of a callable: `self` is the instance for methods (null for functions) and
// `arguments` holds one borrowed reference per parameter. Returns a new reference, or null with
// an exception set.
using CallableBody = PyObject* (*)(PyObject* self, PyObject* const* arguments);

struct CallableDefinition {
    const char* name;       // plain name, also the name in binding messages
    const char* qualname;
    const char* doc;        // null: no docstring
    std::array<const char*, max_parameters> parameters;  // names, null-padded
    bool is_method;         // takes the instance as its first positional argument
    PyTypeObject* self_type;  // for a method: the instance's required type; null accepts any object
    // Traceback entry for failures, binding included unless told otherwise.
    const char* entry_name;
    const char* entry_file;
    int entry_line;         // line reported for binding failures
    bool binding_failure_adds_entry;
    CallableBody body;
};

// Readies the function type; once per process.
bool ready_binding_function_type();

// A new function object for `definition`, whose module is `module_name` and globals `globals`.
PyObject* new_binding_function(const CallableDefinition& definition, PyObject* module_name, PyObject* globals);

}  // namespace tandril

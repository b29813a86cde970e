// Callables of a module: their definitions, the one road by which every call is bound and run,
// and BindingFunction, the function-object type that carries a definition.
//
// A call reaches a body by one road, call_bound: the arguments are bound to the parameters (see
// arguments.hpp), held for the call, and the body runs inside the one boundary that keeps native
// exceptions out of the interpreter. Function objects enter it through the vector call protocol;
// a type's creation (tp_new) enters it through call_with_tuple, which puts a tuple-and-dict call
// into vector form first. A binding failure adds the callable's traceback entry unless its
// definition says otherwise.
#pragma once

#include <Python.h>

#include <array>

#include "binding/arguments.hpp"
#include "binding/errors.hpp"

namespace binding {

// The body of a callable: `self` is the instance for methods and creation (null for functions)
// and `arguments` holds one borrowed reference per parameter, held for the call. Returns a new
// reference, or null with an exception set.
using CallableBody = PyObject* (*)(PyObject* self, PyObject* const* arguments);

struct CallableDefinition {
    const char* name;                 // plain name, also the name in binding messages
    const char* qualname = nullptr;   // null: the plain name
    const char* doc = nullptr;        // null: no docstring
    std::array<const char*, max_parameters> parameters{};  // names, null-padded
    bool is_method = false;           // a function object takes the instance as its first positional argument
    PyTypeObject* self_type = nullptr;  // for a method: the instance's required type; null accepts any object
    TracebackEntry entry{};           // added for every failure of the callable
    bool binding_adds_entry = true;   // whether a failed binding adds the entry too
    CallableBody body = nullptr;
};

// A definition with its parameter names interned, so that keywords match by identity first.
struct Signature {
    const CallableDefinition* definition = nullptr;
    std::array<PyObject*, max_parameters> parameter_names{};  // strong references
    Py_ssize_t parameter_count = 0;
};

// Fills `signature` for `definition`. False with an exception set on failure, `signature` unchanged.
bool make_signature(const CallableDefinition& definition, Signature& signature);

// Binds a vector call (`self` already taken off the front for methods) and runs the body.
PyObject* call_bound(const Signature& signature, PyObject* self, PyObject* const* arguments,
                     Py_ssize_t positional_count, PyObject* keyword_names);

// The same for a call made with an argument tuple and a keyword dict (or null).
PyObject* call_with_tuple(const Signature& signature, PyObject* self, PyObject* positional, PyObject* keywords);

// Whether `object` is a function object made for `definition`.
bool is_binding_function_of(PyObject* object, const CallableDefinition& definition);

// Readies the function type; once per process.
bool ready_binding_function_type();

// A new function object for `definition`, whose module is `module_name` and globals `globals`.
PyObject* new_binding_function(const CallableDefinition& definition, PyObject* module_name, PyObject* globals);

}  // namespace binding

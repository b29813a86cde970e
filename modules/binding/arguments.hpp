// Binding of vector-call arguments to parameters, and the list test of list parameters.
//
// Every parameter is required and may be given by position or by keyword. Binding borrows the
// argument references of the call; a caller that runs Python code afterwards must hold them.
#pragma once

#include <Python.h>

#include <span>

namespace binding {

inline constexpr Py_ssize_t max_parameters = 2;

struct ParameterList {
    const char* function_name;            // the name that binding messages use
    std::span<PyObject* const> names;     // interned parameter names, at most max_parameters
};

// Fills `bound[0 .. names.size())` from `arguments` (positional ones, then the values of
// `keyword_names`). False with TypeError set when the call does not fit the parameters.
bool bind_arguments(const ParameterList& parameters, PyObject* const* arguments, Py_ssize_t positional_count,
                    PyObject* keyword_names, PyObject** bound);

// Passes None and exact lists; anything else (a list subclass included) raises TypeError.
bool check_list_argument(PyObject* argument, const char* parameter_name);

}  // namespace binding

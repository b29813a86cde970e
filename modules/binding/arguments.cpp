#include "binding/arguments.hpp"

#include <array>

namespace binding {

namespace {

bool raise_count_error(const ParameterList& parameters, Py_ssize_t given) {
    const Py_ssize_t expected = static_cast<Py_ssize_t>(parameters.names.size());
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 parameters.function_name, "exactly", expected, expected == 1 ? "" : "s", given);
    return false;
}

bool raise_non_string_keyword(const ParameterList& parameters) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", parameters.function_name);
    return false;
}

bool raise_unexpected_keyword(const ParameterList& parameters, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", parameters.function_name, keyword);
    return false;
}

// Whether two keyword names are the same string; both are known to be str.
bool same_name(PyObject* left, PyObject* right) {
    return left == right || PyUnicode_Compare(left, right) == 0;
}

// Index of `name` among the keyword names: identity first, since callers' keywords are usually
// the interpreter's interned constants, then string equality. -1 when absent.
Py_ssize_t find_keyword(PyObject* keyword_names, PyObject* name) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t index = 0; index < keyword_count; ++index) {
        if (PyTuple_GET_ITEM(keyword_names, index) == name) {
            return index;
        }
    }
    for (Py_ssize_t index = 0; index < keyword_count; ++index) {
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, index);
        if (PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, name) == 0) {
            return index;
        }
    }
    return -1;
}

// The short form of a callable without parameters.
bool bind_no_arguments(const ParameterList& parameters, Py_ssize_t positional_count, PyObject* keyword_names) {
    if (positional_count > 0) {
        return raise_count_error(parameters, positional_count);
    }
    if (keyword_names != nullptr && PyTuple_GET_SIZE(keyword_names) > 0) {
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, 0);
        if (!PyUnicode_Check(keyword)) {
            return raise_non_string_keyword(parameters);
        }
        return raise_unexpected_keyword(parameters, keyword);
    }
    return true;
}

}  // namespace

bool bind_arguments(const ParameterList& parameters, PyObject* const* arguments, Py_ssize_t positional_count,
                    PyObject* keyword_names, PyObject** bound) {
    const Py_ssize_t parameter_count = static_cast<Py_ssize_t>(parameters.names.size());
    if (parameter_count == 0) {
        return bind_no_arguments(parameters, positional_count, keyword_names);
    }
    const Py_ssize_t keyword_count = keyword_names == nullptr ? 0 : PyTuple_GET_SIZE(keyword_names);
    if (keyword_count == 0) {
        if (positional_count != parameter_count) {
            return raise_count_error(parameters, positional_count);
        }
        for (Py_ssize_t index = 0; index < parameter_count; ++index) {
            bound[index] = arguments[index];
        }
        return true;
    }

    if (positional_count > parameter_count) {
        return raise_count_error(parameters, positional_count);
    }
    for (Py_ssize_t index = 0; index < positional_count; ++index) {
        bound[index] = arguments[index];
    }
    // Which keyword each keyword-bound parameter used up.
    std::array<Py_ssize_t, max_parameters> used_keyword;
    used_keyword.fill(-1);
    for (Py_ssize_t index = positional_count; index < parameter_count; ++index) {
        const Py_ssize_t keyword_index = find_keyword(keyword_names, parameters.names[index]);
        if (keyword_index < 0) {
            return raise_count_error(parameters, index);
        }
        used_keyword[index] = keyword_index;
        bound[index] = arguments[positional_count + keyword_index];
    }
    if (keyword_count == parameter_count - positional_count) {
        return true;
    }
    for (Py_ssize_t keyword_index = 0; keyword_index < keyword_count; ++keyword_index) {
        bool used = false;
        for (Py_ssize_t index = positional_count; index < parameter_count; ++index) {
            used = used || used_keyword[index] == keyword_index;
        }
        if (used) {
            continue;
        }
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, keyword_index);
        if (!PyUnicode_Check(keyword)) {
            return raise_non_string_keyword(parameters);
        }
        for (Py_ssize_t index = 0; index < positional_count; ++index) {
            if (same_name(keyword, parameters.names[index])) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             parameters.function_name, keyword);
                return false;
            }
        }
        return raise_unexpected_keyword(parameters, keyword);
    }
    return true;  // only reachable with repeated keyword names, which the interpreter never passes
}

bool check_list_argument(PyObject* argument, const char* parameter_name) {
    if (argument == Py_None || PyList_CheckExact(argument)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", parameter_name,
                 "list", Py_TYPE(argument)->tp_name);
    return false;
}

}  // namespace binding

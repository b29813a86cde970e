#include "binding_function.hpp"

#include <structmember.h>

#include <cassert>

#include "call_errors.hpp"
#include "module_state.hpp"
#include "ref.hpp"
#include "static_type.hpp"

namespace tandril {

namespace {

struct BindingFunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const CallableDefinition* definition;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* globals;
    PyObject* parameter_names[max_parameters];
    Py_ssize_t parameter_count;
};

BindingFunctionObject* as_function(PyObject* object) { return reinterpret_cast<BindingFunctionObject*>(object); }

PyObject* refuse_instance(const CallableDefinition& definition, PyObject* instance) {
    PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%s' object", definition.name,
                 definition.self_type->tp_name, Py_TYPE(instance)->tp_name);
    return nullptr;
}

PyObject* binding_function_vectorcall(PyObject* callable, PyObject* const* arguments, size_t flagged_count,
                                      PyObject* keyword_names) {
    BindingFunctionObject* function = as_function(callable);
    const CallableDefinition& definition = *function->definition;
    Py_ssize_t positional_count = PyVectorcall_NARGS(flagged_count);
    PyObject* self = nullptr;
    if (definition.is_method) {
        if (positional_count == 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() needs an argument", definition.name);
            return nullptr;
        }
        self = arguments[0];
        ++arguments;
        --positional_count;
        // Never read an object of another type as an instance.
        if (definition.self_type != nullptr && !PyObject_TypeCheck(self, definition.self_type)) {
            return refuse_instance(definition, self);
        }
    }
    PyObject* bound[max_parameters] = {nullptr, nullptr};
    const ParameterList parameters{definition.name, {function->parameter_names, static_cast<size_t>(function->parameter_count)}};
    if (!bind_arguments(parameters, arguments, positional_count, keyword_names, bound)) {
        if (definition.binding_failure_adds_entry) {
            add_traceback_entry(definition.entry_name, definition.entry_line, definition.entry_file);
        }
        return nullptr;
    }
    // The caller's array may be the only owner of the arguments (a partial object's stored
    // arguments, say), and Python code run by the body can drop them: hold them for the call.
    Ref held_self = Ref::new_ref(self);
    Ref held_arguments[max_parameters];
    for (Py_ssize_t index = 0; index < function->parameter_count; ++index) {
        held_arguments[index] = Ref::new_ref(bound[index]);
    }
    try {
        PyObject* result = definition.body(self, bound);
        assert(result != nullptr || PyErr_Occurred());
        return result;
    } catch (...) {
        // Bodies handle their own native failures; this keeps any other one out of the interpreter.
        translate_native_exception();
        add_traceback_entry(definition.entry_name, definition.entry_line, definition.entry_file);
        return nullptr;
    }
}

void binding_function_dealloc(PyObject* self) {
    BindingFunctionObject* function = as_function(self);
    Py_XDECREF(function->name);
    Py_XDECREF(function->qualname);
    Py_XDECREF(function->doc);
    Py_XDECREF(function->module);
    Py_XDECREF(function->globals);
    for (Py_ssize_t index = 0; index < function->parameter_count; ++index) {
        Py_XDECREF(function->parameter_names[index]);
    }
    PyObject_Free(self);
}

// Fetched through an instance, a bound method; through a class (or None), the function itself.
PyObject* binding_function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

PyObject* binding_function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<built-in function %U>", as_function(self)->qualname);
}

// Pickled by reference, like the interpreter's own functions.
PyObject* binding_function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMemberDef binding_function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(BindingFunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(BindingFunctionObject, qualname), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(BindingFunctionObject, doc), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(BindingFunctionObject, module), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(BindingFunctionObject, globals), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef binding_function_methods[] = {
    {"__reduce__", binding_function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject binding_function_type = [] {
    PyTypeObject type = blank_static_type();
    type.tp_name = "c_quorvel.tandril.BindingFunction";
    type.tp_basicsize = sizeof(BindingFunctionObject);
    type.tp_dealloc = binding_function_dealloc;
    type.tp_vectorcall_offset = offsetof(BindingFunctionObject, vectorcall);
    type.tp_repr = binding_function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                    Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_methods = binding_function_methods;
    type.tp_members = binding_function_members;
    type.tp_descr_get = binding_function_descr_get;
    return type;
}();

}  // namespace

bool ready_binding_function_type() { return PyType_Ready(&binding_function_type) == 0; }

PyObject* new_binding_function(const CallableDefinition& definition, PyObject* module_name, PyObject* globals) {
    Ref object = Ref::steal(reinterpret_cast<PyObject*>(PyObject_New(BindingFunctionObject, &binding_function_type)));
    if (!object) {
        return nullptr;
    }
    BindingFunctionObject* function = as_function(object.get());
    function->vectorcall = binding_function_vectorcall;
    function->definition = &definition;
    function->name = nullptr;
    function->qualname = nullptr;
    function->doc = nullptr;
    function->module = Py_NewRef(module_name);
    function->globals = Py_NewRef(globals);
    function->parameter_count = 0;
    // Parameter names share the module's interned strings, so that keywords match by identity.
    for (const char* parameter : definition.parameters) {
        if (parameter == nullptr) {
            break;
        }
        PyObject* name = PyUnicode_InternFromString(parameter);
        if (name == nullptr) {
            return nullptr;
        }
        function->parameter_names[function->parameter_count++] = name;
    }
    function->name = PyUnicode_FromString(definition.name);
    function->qualname = PyUnicode_FromString(definition.qualname);
    function->doc = definition.doc != nullptr ? PyUnicode_FromString(definition.doc) : Py_NewRef(Py_None);
    if (function->name == nullptr || function->qualname == nullptr || function->doc == nullptr) {
        return nullptr;
    }
    return object.release();
}

}  // namespace tandril

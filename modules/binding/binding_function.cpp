#include "binding/binding_function.hpp"

#include <structmember.h>

#include <cassert>
#include <new>
#include <vector>

#include "binding/ref.hpp"
#include "binding/static_type.hpp"

namespace binding {

namespace {

PyObject* run_body(const Signature& signature, PyObject* self, PyObject* const* bound) {
    const CallableDefinition& definition = *signature.definition;
    // The caller's array may be the only owner of the arguments (a partial object's stored
    // arguments, say), and Python code run by the body can drop them: hold them for the call.
    Ref held_self = Ref::new_ref(self);
    std::array<Ref, max_parameters> held_arguments;
    for (Py_ssize_t index = 0; index < signature.parameter_count; ++index) {
        held_arguments[index] = Ref::new_ref(bound[index]);
    }
    try {
        PyObject* result = definition.body(self, bound);
        assert(result != nullptr || PyErr_Occurred());
        return result;
    } catch (...) {
        // Bodies handle their own native failures; this keeps any other one out of the interpreter.
        translate_native_exception();
        return fail(definition.entry);
    }
}

}  // namespace

bool make_signature(const CallableDefinition& definition, Signature& signature) {
    // Filled only once complete, so that a failure leaves `signature` as it was.
    Signature made;
    for (const char* parameter : definition.parameters) {
        if (parameter == nullptr) {
            break;
        }
        PyObject* name = PyUnicode_InternFromString(parameter);
        if (name == nullptr) {
            for (Py_ssize_t index = 0; index < made.parameter_count; ++index) {
                Py_DECREF(made.parameter_names[index]);
            }
            return false;
        }
        made.parameter_names[made.parameter_count++] = name;
    }
    made.definition = &definition;
    signature = made;
    return true;
}

PyObject* call_bound(const Signature& signature, PyObject* self, PyObject* const* arguments,
                     Py_ssize_t positional_count, PyObject* keyword_names) {
    const CallableDefinition& definition = *signature.definition;
    std::array<PyObject*, max_parameters> bound{};
    const ParameterList parameters{
        definition.name,
        {signature.parameter_names.data(), static_cast<size_t>(signature.parameter_count)},
    };
    if (!bind_arguments(parameters, arguments, positional_count, keyword_names, bound.data())) {
        return definition.binding_adds_entry ? fail(definition.entry) : Failure{};
    }
    return run_body(signature, self, bound.data());
}

PyObject* call_with_tuple(const Signature& signature, PyObject* self, PyObject* positional, PyObject* keywords) {
    ready_exception_state();
    const Py_ssize_t positional_count = PyTuple_GET_SIZE(positional);
    const Py_ssize_t keyword_count = keywords == nullptr ? 0 : PyDict_GET_SIZE(keywords);
    std::vector<PyObject*> arguments;
    Ref keyword_names;
    if (!run_guarded([&] { arguments.reserve(static_cast<size_t>(positional_count + keyword_count)); })) {
        return fail(signature.definition->entry);
    }
    for (Py_ssize_t index = 0; index < positional_count; ++index) {
        arguments.push_back(PyTuple_GET_ITEM(positional, index));
    }
    if (keyword_count > 0) {
        keyword_names = Ref::steal(PyTuple_New(keyword_count));
        if (!keyword_names) {
            return fail(signature.definition->entry);
        }
        Py_ssize_t cursor = 0;
        Py_ssize_t slot = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        // The dict is a fresh copy that only the interpreter's call machinery holds.
        while (PyDict_Next(keywords, &cursor, &key, &value) && slot < keyword_count) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return fail(signature.definition->entry);
            }
            PyTuple_SET_ITEM(keyword_names.get(), slot++, Py_NewRef(key));
            arguments.push_back(value);
        }
    }
    return call_bound(signature, self, arguments.data(), positional_count, keyword_names.get());
}

namespace {

struct BindingFunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Signature signature;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* globals;
};

BindingFunctionObject* as_function(PyObject* object) { return reinterpret_cast<BindingFunctionObject*>(object); }

PyObject* binding_function_vectorcall(PyObject* callable, PyObject* const* arguments, size_t flagged_count,
                                      PyObject* keyword_names) {
    ready_exception_state();
    const Signature& signature = as_function(callable)->signature;
    const CallableDefinition& definition = *signature.definition;
    Py_ssize_t positional_count = PyVectorcall_NARGS(flagged_count);
    PyObject* self = nullptr;
    if (definition.is_method) {
        if (positional_count == 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() needs an argument", definition.name);
            return definition.binding_adds_entry ? fail(definition.entry) : Failure{};
        }
        self = arguments[0];
        ++arguments;
        --positional_count;
        // Never read an object of another type as an instance.
        if (definition.self_type != nullptr && !PyObject_TypeCheck(self, definition.self_type)) {
            PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%s' object",
                         definition.name, definition.self_type->tp_name, Py_TYPE(self)->tp_name);
            return nullptr;
        }
    }
    return call_bound(signature, self, arguments, positional_count, keyword_names);
}

void binding_function_dealloc(PyObject* self) {
    BindingFunctionObject* function = as_function(self);
    Py_XDECREF(function->name);
    Py_XDECREF(function->qualname);
    Py_XDECREF(function->doc);
    Py_XDECREF(function->module);
    Py_XDECREF(function->globals);
    for (PyObject* name : function->signature.parameter_names) {
        Py_XDECREF(name);
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
    type.tp_name = "c_quorvel.BindingFunction";
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

bool is_binding_function_of(PyObject* object, const CallableDefinition& definition) {
    return Py_IS_TYPE(object, &binding_function_type) && as_function(object)->signature.definition == &definition;
}

bool ready_binding_function_type() {
    static bool failed_before = false;
    return ready_static_type(&binding_function_type, failed_before);
}

PyObject* new_binding_function(const CallableDefinition& definition, PyObject* module_name, PyObject* globals) {
    Ref object = Ref::steal(reinterpret_cast<PyObject*>(PyObject_New(BindingFunctionObject, &binding_function_type)));
    if (!object) {
        return nullptr;
    }
    BindingFunctionObject* function = as_function(object.get());
    function->vectorcall = binding_function_vectorcall;
    new (&function->signature) Signature{};
    function->name = nullptr;
    function->qualname = nullptr;
    function->doc = nullptr;
    function->module = Py_NewRef(module_name);
    function->globals = Py_NewRef(globals);
    if (!make_signature(definition, function->signature)) {
        return nullptr;
    }
    function->name = PyUnicode_FromString(definition.name);
    function->qualname = PyUnicode_FromString(definition.qualname != nullptr ? definition.qualname : definition.name);
    function->doc = definition.doc != nullptr ? PyUnicode_FromString(definition.doc) : Py_NewRef(Py_None);
    if (function->name == nullptr || function->qualname == nullptr || function->doc == nullptr) {
        return nullptr;
    }
    return object.release();
}

}  // namespace binding

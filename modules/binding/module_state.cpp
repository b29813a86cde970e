#include "binding/module_state.hpp"

namespace binding {

ModuleState module_state;

bool create_interned_names() {
    if (module_state.names_ready) {
        return true;
    }
    InternedNames& names = module_state.names;
    const struct {
        PyObject** slot;
        const char* text;
    } table[] = {
        {&names.start, "start"},
        {&names.end, "end"},
        {&names.text, "text"},
        {&names.original, "original"},
        {&names.nl, "nl"},
        {&names.reference, "reference"},
        {&names.encode, "encode"},
        {&names.utf_8, "utf-8"},
    };
    for (const auto& entry : table) {
        if (*entry.slot == nullptr) {
            *entry.slot = PyUnicode_InternFromString(entry.text);
            if (*entry.slot == nullptr) {
                return false;
            }
        }
    }
    module_state.names_ready = true;
    return true;
}

PyObject* lookup_module_global(PyObject* name) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(module_state.module_dict, name, &found) != 0) {
        return found;  // found, or an error from the lookup itself
    }
    if (PyDict_GetItemRef(module_state.builtins_dict, name, &found) != 0) {
        return found;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

}  // namespace binding

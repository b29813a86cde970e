// Static type objects: a blank one to fill in field by field, and readying one safely.
#pragma once

#include <Python.h>

namespace binding {

inline PyTypeObject blank_static_type() noexcept {
    // The interpreter's own header initialiser, which makes static types immortal; it expands to
    // an initialiser followed by a comma, so it initialises a one-element array.
    const PyVarObject headers[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    PyTypeObject type{};
    type.ob_base = headers[0];
    return type;
}

// Readies `type` once per process. The interpreter leaves a static type whose readying failed
// half-filled, and readying it again reads freed memory; so after a failure every later attempt
// (a retried import) raises ImportError instead. `failed_before` is the type's own flag.
inline bool ready_static_type(PyTypeObject* type, bool& failed_before) {
    if (failed_before) {
        PyErr_Format(PyExc_ImportError, "type %s could not be initialised earlier in this process", type->tp_name);
        return false;
    }
    if (PyType_Ready(type) == 0) {
        return true;
    }
    failed_before = (type->tp_flags & Py_TPFLAGS_READY) == 0;
    return false;
}

}  // namespace binding

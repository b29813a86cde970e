// A blank static type object with an immortal header, to be filled in field by field.
#pragma once

#include <Python.h>

namespace tandril {

inline PyTypeObject blank_static_type() noexcept {
    PyTypeObject type{};
    // Static types are immortal, as PyVarObject_HEAD_INIT would make them.
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), _Py_IMMORTAL_REFCNT);
    return type;
}

}  // namespace tandril

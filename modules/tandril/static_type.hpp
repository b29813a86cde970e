// A blank static type object, to be filled in field by field.
#pragma once

#include <Python.h>

namespace tandril {

inline PyTypeObject blank_static_type() noexcept {
    // The interpreter's own header initialiser, which makes static types immortal; it expands to
    // an initialiser followed by a comma, so it initialises a one-element array.
    const PyVarObject headers[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    PyTypeObject type{};
    type.ob_base = headers[0];
    return type;
}

}  // namespace tandril

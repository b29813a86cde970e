// A move-only owner of one strong reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace binding {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (or a null result, whose error is left pending).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference to a borrowed object.
    static Ref new_ref(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    // Drops the old reference only after the new one is in place: the release may run Python code.
    void reset(PyObject* object = nullptr) noexcept { Py_XDECREF(std::exchange(object_, object)); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace binding

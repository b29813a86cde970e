#include "binding/errors.hpp"

#include <frameobject.h>

#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "binding/module_state.hpp"
#include "binding/ref.hpp"

namespace binding {

void add_traceback_entry(const TracebackEntry& entry) {
    // Making the code object and the frame must not run with an exception pending.
    PyObject* pending = PyErr_GetRaisedException();
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(entry.file_name, entry.function_name, entry.line)));
    if (!code) {
        Py_XDECREF(pending);
        return;
    }
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), module_state.module_dict, nullptr)));
    if (!frame) {
        Py_XDECREF(pending);
        return;
    }
    PyErr_SetRaisedException(pending);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

void translate_native_exception() noexcept {
    if (PyErr_Occurred()) {
        return;
    }
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "bad allocation");
    } catch (const std::bad_cast& error) {
        PyErr_SetString(PyExc_TypeError, error.what());
    } catch (const std::bad_typeid& error) {
        PyErr_SetString(PyExc_TypeError, error.what());
    } catch (const std::domain_error& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::invalid_argument& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::ios_base::failure& error) {
        PyErr_SetString(PyExc_OSError, error.what());
    } catch (const std::out_of_range& error) {
        PyErr_SetString(PyExc_IndexError, error.what());
    } catch (const std::overflow_error& error) {
        PyErr_SetString(PyExc_OverflowError, error.what());
    } catch (const std::range_error& error) {
        PyErr_SetString(PyExc_ArithmeticError, error.what());
    } catch (const std::underflow_error& error) {
        PyErr_SetString(PyExc_ArithmeticError, error.what());
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

void raise_from_pending(PyObject* exception_type, const char* message) {
    PyObject* context = PyErr_GetRaisedException();
    PyErr_SetString(exception_type, message);
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetContext(raised, context);  // steals `context`
    PyErr_SetRaisedException(raised);
}

}  // namespace binding

// How failures leave the module: traceback entries and the translation of native exceptions.
#pragma once

#include <Python.h>

#include <source_location>

namespace tandril {

// File names that traceback entries carry: the module's callables, and the record conversions.
inline constexpr const char* module_source_file = "modules\\\\tandril\\\\tandril.cpp";
inline constexpr const char* conversion_source_file = "<stringsource>";

// Appends an entry to the traceback of the pending exception: a frame of `function_name` at
// `line` of `file_name`, whose globals are the module dictionary. If the entry itself cannot be
// made, that failure's exception replaces the pending one.
void add_traceback_entry(const char* function_name, int line, const char* file_name);

// The failure value of a step: null for steps that return an object, false for the others.
struct Failure {
    template <typename Pointee>
    operator Pointee*() const noexcept {
        return nullptr;
    }
    operator bool() const noexcept { return false; }
};

// Adds an entry for `function_name` at the caller's line, so that a failing statement can read
// `return fail_in(name);`.
inline Failure fail_in(const char* function_name, const char* file_name = module_source_file,
                       std::source_location where = std::source_location::current()) {
    add_traceback_entry(function_name, static_cast<int>(where.line()), file_name);
    return {};
}

// Sets the Python exception that matches the native exception being handled. Must be called
// inside a catch block. A Python exception that is already pending wins and is left alone.
void translate_native_exception() noexcept;

// Runs `step`, turning any native exception it throws into a pending Python exception.
// True when the step completed.
template <typename Step>
bool run_guarded(Step&& step) noexcept {
    try {
        step();
        return true;
    } catch (...) {
        translate_native_exception();
        return false;
    }
}

// Raises `exception_type(message)` with the pending exception as its context, as a `raise`
// inside an `except` block does.
void raise_from_pending(PyObject* exception_type, const char* message);

}  // namespace tandril

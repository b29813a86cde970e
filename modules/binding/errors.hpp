// How failures leave a module: traceback entries and the translation of native exceptions.
//
// Every callable owns one TracebackEntry, written beside its definition by the module that
// defines it: the function name, the source file that module names and a line. Every failure of
// the callable, wherever the failing code lives, adds that same entry, so an entry never depends
// on which C++ file the adding code sits in.
#pragma once

#include <Python.h>

#include <exception>

namespace binding {

struct TracebackEntry {
    const char* function_name;  // the full name the traceback shows
    const char* file_name;      // the source file the module names for it
    int line;
};

// Appends `entry` to the traceback of the pending exception, as a frame whose globals are the
// module dictionary. If the entry itself cannot be made, that failure's exception replaces the
// pending one.
void add_traceback_entry(const TracebackEntry& entry);

// The failure value of a step: null for steps that return an object, false for the others.
struct Failure {
    template <typename Pointee>
    operator Pointee*() const noexcept {
        return nullptr;
    }
    operator bool() const noexcept { return false; }
};

// Adds `entry` and gives the failure value, so that a failing statement reads `return fail(entry);`.
inline Failure fail(const TracebackEntry& entry) {
    add_traceback_entry(entry);
    return {};
}

// Whether the calling thread's C++ exception state exists (see ready_exception_state). It lives in
// the thread's static TLS block, made with the thread, so reading it allocates nothing; it takes a
// byte of the static TLS room that the C library keeps for loaded libraries.
[[gnu::tls_model("initial-exec")]] inline constinit thread_local bool exception_state_ready = false;

// Makes the calling thread's C++ exception state exist, so that a later throw does not need memory.
// The C++ runtime is loaded after the interpreter started, so it makes that state for each thread
// on first use, from the heap; when the first throw of a thread is itself std::bad_alloc from an
// exhausted heap, that allocation fails too and the C library ends the process. Every entry from
// the interpreter calls this before any native work that can throw. Asking the runtime costs 7 to
// 8 ns a call here (7% of an empty query), so it is asked once per thread; the test of the flag
// costs under half a nanosecond.
inline void ready_exception_state() noexcept {
    if (!exception_state_ready) [[unlikely]] {
        // The runtime declares uncaught_exceptions pure; the volatile store keeps the call.
        volatile const int in_flight = std::uncaught_exceptions();
        static_cast<void>(in_flight);
        exception_state_ready = true;
    }
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

// The stop check that long native work (the pairing walks, the time map search) is given: runs
// the handlers of signals that have arrived, as the interpreter does between bytecodes, and says
// whether one raised (a KeyboardInterrupt from Ctrl-C, say). Its exception is then pending, and
// the work stops with it.
inline bool signal_handler_raised() noexcept { return PyErr_CheckSignals() < 0; }

// Raises `exception_type(message)` with the pending exception as its context, as a `raise`
// inside an `except` block does.
void raise_from_pending(PyObject* exception_type, const char* message);

}  // namespace binding

// c_quorvel.tandril: the module's callables, the PyIntervalSearch type and the module's start-up.
//
// Results are handed out element by element through the module functions interval_to_dict and
// match_to_dict, looked up by name for every element. There is one road to a result, and each
// failure on it is reported in one place:
//  - interval_text_form and match_text_form are the work of interval_to_dict and match_to_dict
//    once their argument is a record, and the only code that adds those functions' traceback
//    entries after reading.
//  - The functions themselves read their argument into a record and call them.
//  - interval_result and match_result look the converter up: when it is the module's own
//    function, they call the same text-form function on the native record (reading the byte form
//    back would give the same record); otherwise they pass the byte form to the object found.
// So a failure while building a result carries the same entries on the direct road as through
// the call, because both run the same code.
//
// Pairing works on positions: the engine names the grouped records by their place in the two
// input arrays, and results are built from those records in place. This is one of the module's
// three speed devices (the others: the index's packed store, in the engine's interval_store.hpp,
// which a query walks in place; and the one-walk reading of input elements, in
// record_reading.hpp); the figures of all three are in benchmarks/README.md.
#include <Python.h>

#include <string_view>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/binding_function.hpp"
#include "binding/dict_building.hpp"
#include "binding/errors.hpp"
#include "binding/module_state.hpp"
#include "binding/record_reading.hpp"
#include "binding/ref.hpp"
#include "binding/static_type.hpp"
#include "quorvel/index.hpp"
#include "quorvel/margin.hpp"
#include "quorvel/pairing.hpp"

namespace tandril {

namespace {

using namespace binding;
using quorvel::IntervalVar;
using quorvel::IntervalView;
using quorvel::Intervals;
using quorvel::MatchesVar;

constexpr const char* module_name = "c_quorvel.tandril";
// The source file that the traceback entries of the callables name; the pickling refusals and
// the record conversions name "<stringsource>".
constexpr const char* source_file = "modules\\\\tandril\\\\tandril.cpp";
constexpr const char* stringsource = "<stringsource>";

constexpr TracebackEntry interval_to_dict_entry{"c_quorvel.tandril.interval_to_dict", source_file, __LINE__};
constexpr TracebackEntry match_to_dict_entry{"c_quorvel.tandril.match_to_dict", source_file, __LINE__};
constexpr TracebackEntry find_intersections_entry{"c_quorvel.tandril.find_intersections", source_file, __LINE__};
constexpr TracebackEntry cinit_entry{"c_quorvel.tandril.PyIntervalSearch.__cinit__", source_file, __LINE__};
constexpr TracebackEntry find_overlapping_intervals_entry{
    "c_quorvel.tandril.PyIntervalSearch.find_overlapping_intervals", source_file, __LINE__};
constexpr TracebackEntry reduce_cython_entry{"c_quorvel.tandril.PyIntervalSearch.__reduce_cython__", stringsource, 1};
constexpr TracebackEntry setstate_cython_entry{"c_quorvel.tandril.PyIntervalSearch.__setstate_cython__", stringsource, 3};
constexpr TracebackEntry init_entry{"init c_quorvel.tandril", source_file, __LINE__};

constexpr const char* dictionary_doc = "\n    Convert Example struct to a Python dictionary\n    ";
constexpr const char* find_intersections_doc = "\n    Wrapper for the test function to work with Python dictionaries\n    ";
constexpr const char* find_overlapping_intervals_doc = "Wrapper for the find_overlapping_intervals method.";
constexpr const char* pickling_refusal = "no default __reduce__ due to non-trivial __cinit__";

// State of this module beyond the support code's: the names of the converters looked up at call
// time, and the module's own converters, recognised by identity.
struct ConverterState {
    PyObject* interval_to_dict_name = nullptr;
    PyObject* match_to_dict_name = nullptr;
    PyObject* own_interval_to_dict = nullptr;
    PyObject* own_match_to_dict = nullptr;
};
ConverterState converters;

// ---------------------------------------------------------------------------------------------
// Results

PyObject* interval_text_form(const IntervalView& interval) {
    PyObject* result = interval_to_text_form(interval);
    return result != nullptr ? result : fail(interval_to_dict_entry);
}

// What `interval_to_dict`, looked up now, makes of the record.
PyObject* interval_result(const IntervalView& interval) {
    Ref converter = Ref::steal(lookup_module_global(converters.interval_to_dict_name));
    if (!converter) {
        return nullptr;
    }
    if (converter.get() == converters.own_interval_to_dict) {
        return interval_text_form(interval);
    }
    Ref byte_form = Ref::steal(interval_to_py(interval));
    return byte_form ? PyObject_CallOneArg(converter.get(), byte_form.get()) : nullptr;
}

// A group as the results see it: its span and the records of each side.
struct Group {
    std::int32_t start;
    std::int32_t end;
    RecordSelection original;
    RecordSelection reference;
};

PyObject* match_text_form(const Group& match) {
    PyObject* result = match_dict(match.start, match.end, match.original, match.reference, interval_result);
    return result != nullptr ? result : fail(match_to_dict_entry);
}

// What `match_to_dict`, looked up now, makes of the group.
PyObject* match_result(const Group& match) {
    Ref converter = Ref::steal(lookup_module_global(converters.match_to_dict_name));
    if (!converter) {
        return nullptr;
    }
    if (converter.get() == converters.own_match_to_dict) {
        return match_text_form(match);
    }
    Ref byte_form = Ref::steal(match_dict(match.start, match.end, match.original, match.reference, interval_to_py));
    return byte_form ? PyObject_CallOneArg(converter.get(), byte_form.get()) : nullptr;
}

PyObject* raise_none_not_iterable(const TracebackEntry& entry) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return fail(entry);
}

// ---------------------------------------------------------------------------------------------
// Module functions

PyObject* interval_to_dict_body(PyObject*, PyObject* const* arguments) {
    IntervalVar interval;
    if (!interval_from_py(arguments[0], interval)) {
        return fail(interval_to_dict_entry);
    }
    return interval_text_form(quorvel::view_of(interval));
}

PyObject* match_to_dict_body(PyObject*, PyObject* const* arguments) {
    MatchesVar match;
    if (!match_from_py(arguments[0], match)) {
        return fail(match_to_dict_entry);
    }
    return match_text_form(
        Group{match.start, match.end, RecordSelection(match.original), RecordSelection(match.reference)});
}

// The rules of the input lists: integers through __int__, texts encoded as UTF-8, every field
// required, the interpreter's own errors.
constexpr ElementRules input_rules{
    .integers = Integers::through_int,
    .texts = Texts::encoded,
    .messages = Messages::interpreter,
};

// Every element of the exact list `list`, appended to `records` in list order.
bool read_input_list(PyObject* list, const char* name, Intervals& records) {
    reserve_for(list, records);
    return read_elements<input_rules>(list, name, [&](IntervalVar& record) { records.push_back(std::move(record)); });
}

bool read_input_list(PyObject* list, const char* name, quorvel::IntervalStore& records) {
    reserve_for(list, records);
    return read_elements<input_rules>(list, name, [&](const IntervalVar& record) { records.append(view_of(record)); });
}

// The times of `records`, which is all the pairing decides on.
std::vector<quorvel::TimeSpan> spans_of(const Intervals& records) {
    std::vector<quorvel::TimeSpan> spans;
    spans.reserve(records.size());
    for (const IntervalVar& record : records) {
        spans.push_back(quorvel::span_of(record));
    }
    return spans;
}

PyObject* find_intersections_body(PyObject*, PyObject* const* arguments) {
    PyObject* set_a_dicts = arguments[0];
    PyObject* set_b_dicts = arguments[1];
    if (!check_list_argument(set_a_dicts, "set_a_dicts") || !check_list_argument(set_b_dicts, "set_b_dicts")) {
        return nullptr;
    }
    Intervals set_a;
    Intervals set_b;
    if (set_a_dicts == Py_None) {
        return raise_none_not_iterable(find_intersections_entry);
    }
    if (!read_input_list(set_a_dicts, "set_a_dicts", set_a)) {
        return fail(find_intersections_entry);
    }
    if (set_b_dicts == Py_None) {
        return raise_none_not_iterable(find_intersections_entry);
    }
    if (!read_input_list(set_b_dicts, "set_b_dicts", set_b)) {
        return fail(find_intersections_entry);
    }
    // The groups name their records by position in set_a and set_b, which outlive the results.
    // A signal handler that raises stops the walk; its exception is what the call reports.
    quorvel::PairedPositions matches;
    if (!run_guarded([&] {
            matches = quorvel::pair_positions(spans_of(set_a), spans_of(set_b), quorvel::pair_margin,
                                              signal_handler_raised);
        })) {
        return fail(find_intersections_entry);
    }
    Ref result = Ref::steal(PyList_New(0));
    if (!result) {
        return fail(find_intersections_entry);
    }
    for (const quorvel::PairedPositions::Group& group : matches.groups) {
        const Group match{group.start, group.end, RecordSelection(set_a, matches.originals_of(group)),
                          RecordSelection(set_b, matches.references_of(group))};
        Ref element = Ref::steal(match_result(match));
        if (!element || PyList_Append(result.get(), element.get()) < 0) {
            return fail(find_intersections_entry);
        }
    }
    return result.release();
}

const CallableDefinition interval_to_dict_definition{
    .name = "interval_to_dict",
    .doc = dictionary_doc,
    .parameters = {"interval"},
    .entry = interval_to_dict_entry,
    .body = interval_to_dict_body,
};

const CallableDefinition match_to_dict_definition{
    .name = "match_to_dict",
    .doc = dictionary_doc,
    .parameters = {"match"},
    .entry = match_to_dict_entry,
    .body = match_to_dict_body,
};

const CallableDefinition find_intersections_definition{
    .name = "find_intersections",
    .doc = find_intersections_doc,
    .parameters = {"set_a_dicts", "set_b_dicts"},
    .entry = find_intersections_entry,
    .body = find_intersections_body,
};

// ---------------------------------------------------------------------------------------------
// PyIntervalSearch

struct PyIntervalSearchObject {
    PyObject_HEAD
    // Null until construction completes; never changes afterwards.
    quorvel::IntervalSearch* index;
};

PyIntervalSearchObject* as_interval_search(PyObject* object) { return reinterpret_cast<PyIntervalSearchObject*>(object); }

// Construction: `self` is the newly allocated instance.
PyObject* cinit_body(PyObject* self, PyObject* const* arguments) {
    PyObject* intervals = arguments[0];
    if (!check_list_argument(intervals, "intervals")) {
        return nullptr;
    }
    if (intervals == Py_None) {
        return raise_none_not_iterable(cinit_entry);
    }
    quorvel::IntervalStore records;
    if (!read_input_list(intervals, "intervals", records)) {
        return fail(cinit_entry);
    }
    if (!run_guarded([&] { as_interval_search(self)->index = new quorvel::IntervalSearch(std::move(records)); })) {
        return fail(cinit_entry);
    }
    return Py_NewRef(self);
}

const CallableDefinition cinit_definition{
    .name = "__cinit__",
    .parameters = {"intervals"},
    .entry = cinit_entry,
    .body = cinit_body,
};

// Made once by the first start-up that gets that far; construction binds through it.
Signature cinit_signature;

// An instance that Python code can reach is ready. The type itself takes no part in the cyclic
// collector, but the instance of a Python subclass is tracked from its allocation, and the
// collector hands out what it tracks (gc.get_objects(), gc.get_referrers()) to any Python code the
// construction runs. So the instance stays off the collector's lists until its index is attached;
// an instance whose construction failed is released without ever having been listed.
PyObject* interval_search_new(PyTypeObject* type, PyObject* positional, PyObject* keywords) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    const bool tracked = PyObject_GC_IsTracked(self.get()) != 0;
    if (tracked) {
        PyObject_GC_UnTrack(self.get());
    }
    Ref constructed = Ref::steal(call_with_tuple(cinit_signature, self.get(), positional, keywords));
    if (!constructed) {
        return nullptr;
    }
    if (tracked) {
        PyObject_GC_Track(self.get());
    }
    return self.release();
}

void interval_search_dealloc(PyObject* self) {
    PyObject* pending = PyErr_GetRaisedException();
    delete as_interval_search(self)->index;
    as_interval_search(self)->index = nullptr;
    PyErr_SetRaisedException(pending);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject interval_search_type = [] {
    PyTypeObject type = blank_static_type();
    type.tp_name = "c_quorvel.tandril.PyIntervalSearch";
    type.tp_basicsize = sizeof(PyIntervalSearchObject);
    type.tp_dealloc = interval_search_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;
    type.tp_new = interval_search_new;
    return type;
}();

PyObject* find_overlapping_intervals_body(PyObject* self, PyObject* const* arguments) {
    std::int32_t start_q = 0;
    std::int32_t end_q = 0;
    if (!read_int(arguments[0], start_q) || !read_int(arguments[1], end_q)) {
        return fail(find_overlapping_intervals_entry);
    }
    // The call holds the instance, and so its immutable index, until it returns.
    const quorvel::IntervalSearch* index = as_interval_search(self)->index;
    if (index == nullptr) {
        PyErr_SetString(PyExc_TypeError, "PyIntervalSearch instance was not constructed");
        return fail(find_overlapping_intervals_entry);
    }
    // The scan allocates nothing and cannot fail; each accepted record goes straight into the list.
    Ref result = Ref::steal(PyList_New(0));
    if (!result) {
        return fail(find_overlapping_intervals_entry);
    }
    const bool built = index->for_each_overlapping(start_q, end_q, quorvel::pair_margin, [&](std::size_t position) {
        Ref element = Ref::steal(interval_result(index->records()[position]));
        return element && PyList_Append(result.get(), element.get()) == 0;
    });
    return built ? result.release() : fail(find_overlapping_intervals_entry);
}

const CallableDefinition find_overlapping_intervals_definition{
    .name = "find_overlapping_intervals",
    .qualname = "PyIntervalSearch.find_overlapping_intervals",
    .doc = find_overlapping_intervals_doc,
    .parameters = {"start_q", "end_q"},
    .is_method = true,
    .self_type = &interval_search_type,
    .entry = find_overlapping_intervals_entry,
    .body = find_overlapping_intervals_body,
};

// Pickling and copying an instance go through __reduce__, which refuses; so does __setstate__.
PyObject* reduce_cython_body(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_TypeError, pickling_refusal);
    return fail(reduce_cython_entry);
}

PyObject* setstate_cython_body(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_TypeError, pickling_refusal);
    return fail(setstate_cython_entry);
}

const CallableDefinition reduce_cython_definition{
    .name = "__reduce_cython__",
    .qualname = "PyIntervalSearch.__reduce_cython__",
    .is_method = true,
    .entry = reduce_cython_entry,
    .binding_adds_entry = false,
    .body = reduce_cython_body,
};

const CallableDefinition setstate_cython_definition{
    .name = "__setstate_cython__",
    .qualname = "PyIntervalSearch.__setstate_cython__",
    .parameters = {"__pyx_state"},
    .is_method = true,
    .entry = setstate_cython_entry,
    .body = setstate_cython_body,
};

// Whether the type's `name` is object's own, or already one of the type's pickling methods.
bool default_or_ours(PyTypeObject* type, const char* name, bool& usable) {
    Ref own = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name));
    Ref base = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), name));
    if (!own || !base) {
        return false;
    }
    usable = own.get() == base.get() || is_binding_function_of(own.get(), reduce_cython_definition) ||
             is_binding_function_of(own.get(), setstate_cython_definition);
    return true;
}

// Installs __reduce__ and __setstate__ in the type's dictionary. Each step overwrites what a
// failed earlier start-up may have left, so a retried set-up leaves the type as a first one does.
bool set_up_pickling(PyTypeObject* type, PyObject* module_name_object) {
    bool reduce_ex_usable = false;
    bool reduce_usable = false;
    bool getstate_usable = false;
    if (!default_or_ours(type, "__reduce_ex__", reduce_ex_usable) ||
        !default_or_ours(type, "__reduce__", reduce_usable) ||
        !default_or_ours(type, "__getstate__", getstate_usable)) {
        return false;
    }
    if (!reduce_ex_usable || !reduce_usable || !getstate_usable) {
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
        return false;
    }
    const struct {
        const char* name;
        const CallableDefinition& definition;
    } methods[] = {{"__reduce__", reduce_cython_definition}, {"__setstate__", setstate_cython_definition}};
    for (const auto& method : methods) {
        Ref function = Ref::steal(new_binding_function(method.definition, module_name_object, module_state.module_dict));
        const bool stored = function && PyDict_SetItemString(type->tp_dict, method.name, function.get()) == 0;
        PyType_Modified(type);
        if (!stored) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Module start-up

PyObject* create_module(PyObject* spec) {
    if (const std::string_view error = quorvel::pair_margin_error(); !error.empty()) {
        Ref reason = Ref::steal(PyUnicode_FromStringAndSize(error.data(), static_cast<Py_ssize_t>(error.size())));
        if (reason) {
            PyErr_Format(PyExc_ImportError, "PAIR_MARGIN: %U", reason.get());
        }
        return nullptr;
    }
    const std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1) {
        return nullptr;
    }
    if (module_state.interpreter_id == -1) {
        module_state.interpreter_id = interpreter_id;
    } else if (module_state.interpreter_id != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (module_state.module != nullptr) {
        return Py_NewRef(module_state.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    const struct {
        const char* spec_attribute;
        const char* module_attribute;
        bool copy_none;
    } copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const auto& copy : copies) {
        PyObject* value = nullptr;
        const int found = PyObject_GetOptionalAttrString(spec, copy.spec_attribute, &value);
        if (found < 0) {
            return nullptr;
        }
        Ref held = Ref::steal(value);
        if (found == 0 || (value == Py_None && !copy.copy_none)) {
            continue;
        }
        if (PyDict_SetItemString(dict, copy.module_attribute, value) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    // The importing thread's exception state; every later call readies its own thread's.
    ready_exception_state();
    try {
        return create_module(spec);
    } catch (...) {
        translate_native_exception();
        return nullptr;
    }
}

// Adds a function object for `definition` to `namespace_dict` under its plain name.
bool add_function(PyObject* namespace_dict, PyObject* module_name_object, const CallableDefinition& definition,
                  PyObject** remembered = nullptr) {
    Ref function = Ref::steal(new_binding_function(definition, module_name_object, module_state.module_dict));
    if (!function || PyDict_SetItemString(namespace_dict, definition.name, function.get()) < 0) {
        return false;
    }
    if (remembered != nullptr) {
        Py_XSETREF(*remembered, function.release());
    }
    return true;
}

bool create_names() {
    if (!create_interned_names()) {
        return false;
    }
    const struct {
        PyObject** slot;
        const char* text;
    } table[] = {
        {&converters.interval_to_dict_name, "interval_to_dict"},
        {&converters.match_to_dict_name, "match_to_dict"},
    };
    for (const auto& entry : table) {
        if (*entry.slot == nullptr && (*entry.slot = PyUnicode_InternFromString(entry.text)) == nullptr) {
            return false;
        }
    }
    return cinit_signature.definition != nullptr || make_signature(cinit_definition, cinit_signature);
}

// Exec steps from the builtins on. `names_created` tells the caller whether a failure may carry
// a traceback entry.
bool fill_module(PyObject* module, bool& names_created) {
    PyObject* dict = module_state.module_dict;
    // The interpreter's builtins module, as registered at start-up; no import hook takes part.
    Ref builtins_name = Ref::steal(PyUnicode_InternFromString("builtins"));
    Ref builtins = builtins_name ? Ref::steal(PyImport_GetModule(builtins_name.get())) : Ref();
    if (!builtins) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "the builtins module is not loaded");
        }
        return false;
    }
    if (PyDict_SetItemString(dict, "__builtins__", builtins.get()) < 0) {
        return false;
    }
    Py_XSETREF(module_state.builtins_dict, Py_NewRef(PyModule_GetDict(builtins.get())));
    const int running_major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int running_minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (running_major != PY_MAJOR_VERSION || running_minor != PY_MINOR_VERSION) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match", running_major,
                             running_minor) < 0) {
            return false;
        }
    }
    if (!create_names()) {
        return false;
    }
    names_created = true;

    PyObject* modules = PyImport_GetModuleDict();
    const int registered = PyDict_ContainsString(modules, module_name);
    if (registered < 0 || (registered == 0 && PyDict_SetItemString(modules, module_name, module) < 0)) {
        return false;
    }

    // Both types are readied before anything else of this step can fail.
    static bool interval_search_ready_failed = false;
    if (!ready_binding_function_type() || !ready_static_type(&interval_search_type, interval_search_ready_failed)) {
        return false;
    }
    Ref module_name_object = Ref::steal(PyUnicode_InternFromString(module_name));
    if (!module_name_object) {
        return false;
    }
    PyObject* name = module_name_object.get();
    if (PyDict_SetItemString(dict, "PyIntervalSearch", reinterpret_cast<PyObject*>(&interval_search_type)) < 0 ||
        !set_up_pickling(&interval_search_type, name)) {
        return false;
    }
    if (!add_function(dict, name, interval_to_dict_definition, &converters.own_interval_to_dict) ||
        !add_function(dict, name, match_to_dict_definition, &converters.own_match_to_dict) ||
        !add_function(dict, name, find_intersections_definition)) {
        return false;
    }
    const bool method_added = add_function(interval_search_type.tp_dict, name, find_overlapping_intervals_definition);
    PyType_Modified(&interval_search_type);
    if (!method_added || !add_function(dict, name, reduce_cython_definition) ||
        !add_function(dict, name, setstate_cython_definition)) {
        return false;
    }
    Ref test_dict = Ref::steal(PyDict_New());
    return test_dict && PyDict_SetItemString(dict, "__test__", test_dict.get()) == 0;
}

int module_exec(PyObject* module) {
    if (module_state.module != nullptr) {
        if (module_state.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'tandril' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    module_state.module = Py_NewRef(module);
    Py_XSETREF(module_state.module_dict, Py_NewRef(PyModule_GetDict(module)));
    bool names_created = false;
    bool filled = false;
    try {
        filled = fill_module(module, names_created);
    } catch (...) {
        translate_native_exception();
    }
    if (filled) {
        return 0;
    }
    if (names_created) {
        add_traceback_entry(init_entry);
    }
    // No half-filled module stays recorded; the next import starts again from module_create.
    // The dictionary stays: functions made before the failure still name it as their globals.
    Py_CLEAR(module_state.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tandril",    // m_name
    nullptr,      // m_doc
    0,            // m_size: all state is process-wide
    nullptr,      // m_methods: functions are added by the exec step
    module_slots,
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

}  // namespace

}  // namespace tandril

PyMODINIT_FUNC PyInit_tandril(void) { return PyModuleDef_Init(&tandril::module_definition); }

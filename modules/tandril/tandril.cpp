// c_quorvel.tandril: the module's callables, the PyIntervalSearch type and the module's start-up.
//
// Traceback entries of the callables name this file. Results are handed out element by element
// through the module functions interval_to_dict and match_to_dict, looked up by name for every
// element; when the object found is the module's own function, the result is built straight from
// the native record, and any failure there is redone through the call so that what the caller
// sees is exactly what the call would have produced.
#include <Python.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arguments.hpp"
#include "binding_function.hpp"
#include "call_errors.hpp"
#include "conversions.hpp"
#include "input_form.hpp"
#include "module_state.hpp"
#include "quorvel/index.hpp"
#include "quorvel/margin.hpp"
#include "quorvel/pairing.hpp"
#include "ref.hpp"
#include "static_type.hpp"

namespace tandril {

namespace {

using quorvel::IntervalVar;
using quorvel::Intervals;
using quorvel::MatchesVar;

constexpr const char* module_name = "c_quorvel.tandril";
constexpr const char* interval_to_dict_entry = "c_quorvel.tandril.interval_to_dict";
constexpr const char* match_to_dict_entry = "c_quorvel.tandril.match_to_dict";
constexpr const char* find_intersections_entry = "c_quorvel.tandril.find_intersections";
constexpr const char* cinit_entry = "c_quorvel.tandril.PyIntervalSearch.__cinit__";
constexpr const char* find_overlapping_intervals_entry = "c_quorvel.tandril.PyIntervalSearch.find_overlapping_intervals";
constexpr const char* reduce_cython_entry = "c_quorvel.tandril.PyIntervalSearch.__reduce_cython__";
constexpr const char* setstate_cython_entry = "c_quorvel.tandril.PyIntervalSearch.__setstate_cython__";
constexpr const char* init_entry = "init c_quorvel.tandril";

constexpr const char* dictionary_doc = "\n    Convert Example struct to a Python dictionary\n    ";
constexpr const char* find_intersections_doc = "\n    Wrapper for the test function to work with Python dictionaries\n    ";
constexpr const char* find_overlapping_intervals_doc = "Wrapper for the find_overlapping_intervals method.";
constexpr const char* pickling_refusal = "no default __reduce__ due to non-trivial __cinit__";

// ---------------------------------------------------------------------------------------------
// Text-form results

// While find_intersections builds its result from native records, the cyclic collector is
// paused: it would otherwise walk the same young containers again and again, where one
// collection after the call sees them once. The pause ends for good, letting the collector run
// as the caller left it, before the first call into a Python-level converter, so that no such
// code (nor anything it leaves behind to be freed) runs with the collector paused. Only a pause
// that switched the collector off switches it back on.
class CollectorPause {
public:
    CollectorPause() noexcept {
        if (active_ == nullptr && PyGC_Disable() != 0) {
            active_ = this;
        }
    }
    ~CollectorPause() {
        if (active_ == this) {
            end_active();
        }
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

    static void end_active() noexcept {
        if (active_ != nullptr) {
            active_ = nullptr;
            PyGC_Enable();
        }
    }

private:
    static inline CollectorPause* active_ = nullptr;
};

// Calls a converter found by name; the argument and the converter are released by the caller
// after the call, with the collector running again.
PyObject* call_converter(PyObject* converter, PyObject* argument) {
    CollectorPause::end_active();
    return PyObject_CallOneArg(converter, argument);
}

bool set_int(PyObject* dict, PyObject* key, std::int32_t value) {
    Ref number = Ref::steal(PyLong_FromLong(value));
    return number && PyDict_SetItem(dict, key, number.get()) == 0;
}

bool set_decoded(PyObject* dict, PyObject* key, std::string_view bytes) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
    return text && PyDict_SetItem(dict, key, text.get()) == 0;
}

// The text form of an interval: its texts decoded as strict UTF-8, "text" before "original".
PyObject* text_form_interval(const IntervalView& interval) {
    const InternedNames& key = names();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !set_int(dict.get(), key.start, interval.start) || !set_int(dict.get(), key.end, interval.end) ||
        !set_decoded(dict.get(), key.text, interval.text) || !set_decoded(dict.get(), key.original, interval.original) ||
        !set_int(dict.get(), key.nl, interval.nl)) {
        return nullptr;
    }
    return dict.release();
}

// What `interval_to_dict`, looked up now, makes of the record's byte form.
PyObject* interval_result(const IntervalView& interval) {
    Ref converter = Ref::steal(lookup_module_global(names().interval_to_dict));
    if (!converter) {
        return nullptr;
    }
    if (converter.get() == module_state.own_interval_to_dict) {
        if (PyObject* result = text_form_interval(interval)) {
            return result;
        }
        // Nothing Python-level ran; the call below raises again, with its own traceback entries.
        PyErr_Clear();
    }
    Ref byte_form = Ref::steal(interval_to_py(interval));
    if (!byte_form) {
        return nullptr;
    }
    return call_converter(converter.get(), byte_form.get());
}

// Appends `element` (a new reference, or null after a failure) to `list`. Result lists grow by
// appending: Python code runs between elements and can reach any list through the collector, so
// a list must never hold empty slots.
bool append_result(PyObject* list, PyObject* element) {
    Ref owned = Ref::steal(element);
    return owned && PyList_Append(list, owned.get()) == 0;
}

// One side of a group: the records a match holds, or intervals of an input set picked out by
// their positions, which spares copying them.
class GroupSide {
public:
    explicit GroupSide(const Intervals& records) noexcept : records_(records.data()), count_(records.size()) {}
    GroupSide(const InputSet& input, std::span<const size_t> positions) noexcept
        : input_(&input), positions_(positions.data()), count_(positions.size()) {}

    size_t size() const noexcept { return count_; }
    IntervalView operator[](size_t index) const noexcept {
        return input_ != nullptr ? input_->view(positions_[index]) : IntervalView::of(records_[index]);
    }
    Intervals copies() const {
        Intervals records;
        records.reserve(count_);
        for (size_t index = 0; index < count_; ++index) {
            records.push_back((*this)[index].copy());
        }
        return records;
    }

private:
    const IntervalVar* records_ = nullptr;
    const InputSet* input_ = nullptr;
    const size_t* positions_ = nullptr;
    size_t count_;
};

struct GroupView {
    std::int32_t start;
    std::int32_t end;
    GroupSide original;
    GroupSide reference;
};

// The list of interval results for one side of a match.
PyObject* interval_results(const GroupSide& intervals) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) {
        return nullptr;
    }
    for (size_t index = 0; index < intervals.size(); ++index) {
        if (!append_result(list.get(), interval_result(intervals[index]))) {
            return nullptr;
        }
    }
    return list.release();
}

// The work of match_to_dict once its argument is a record; failures carry its traceback entry.
PyObject* text_form_match(const GroupView& match) {
    const InternedNames& key = names();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !set_int(dict.get(), key.start, match.start) || !set_int(dict.get(), key.end, match.end)) {
        return fail_in(match_to_dict_entry);
    }
    Ref originals = Ref::steal(interval_results(match.original));
    if (!originals || PyDict_SetItem(dict.get(), key.original, originals.get()) < 0) {
        return fail_in(match_to_dict_entry);
    }
    Ref references = Ref::steal(interval_results(match.reference));
    if (!references || PyDict_SetItem(dict.get(), key.reference, references.get()) < 0) {
        return fail_in(match_to_dict_entry);
    }
    return dict.release();
}

// What `match_to_dict`, looked up now, makes of the match's byte form. The module's own function
// is run on the records directly: the byte form would convert back into the same records.
PyObject* match_result(const GroupView& match) {
    Ref converter = Ref::steal(lookup_module_global(names().match_to_dict));
    if (!converter) {
        return nullptr;
    }
    if (converter.get() == module_state.own_match_to_dict) {
        return text_form_match(match);
    }
    MatchesVar record;
    if (!run_guarded([&] {
            record.start = match.start;
            record.end = match.end;
            record.original = match.original.copies();
            record.reference = match.reference.copies();
        })) {
        return nullptr;
    }
    Ref byte_form = Ref::steal(match_to_py(record));
    if (!byte_form) {
        return nullptr;
    }
    return call_converter(converter.get(), byte_form.get());
}

PyObject* raise_none_not_iterable(const char* entry_name) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return fail_in(entry_name);
}

// ---------------------------------------------------------------------------------------------
// Module functions

PyObject* interval_to_dict_body(PyObject*, PyObject* const* arguments) {
    IntervalVar interval;
    if (!interval_from_py(arguments[0], interval)) {
        return fail_in(interval_to_dict_entry);
    }
    PyObject* result = text_form_interval(IntervalView::of(interval));
    if (result == nullptr) {
        return fail_in(interval_to_dict_entry);
    }
    return result;
}

PyObject* match_to_dict_body(PyObject*, PyObject* const* arguments) {
    MatchesVar match;
    if (!match_from_py(arguments[0], match)) {
        return fail_in(match_to_dict_entry);
    }
    return text_form_match(GroupView{match.start, match.end, GroupSide(match.original), GroupSide(match.reference)});
}

PyObject* find_intersections_body(PyObject*, PyObject* const* arguments) {
    PyObject* set_a_dicts = arguments[0];
    PyObject* set_b_dicts = arguments[1];
    if (!check_list_argument(set_a_dicts, "set_a_dicts") || !check_list_argument(set_b_dicts, "set_b_dicts")) {
        return nullptr;
    }
    InputSet set_a;
    InputSet set_b;
    if (set_a_dicts == Py_None) {
        return raise_none_not_iterable(find_intersections_entry);
    }
    if (!read_input_list(set_a_dicts, set_a)) {
        return fail_in(find_intersections_entry);
    }
    if (set_b_dicts == Py_None) {
        return raise_none_not_iterable(find_intersections_entry);
    }
    if (!read_input_list(set_b_dicts, set_b)) {
        return fail_in(find_intersections_entry);
    }
    // The groups name their records by position in set_a and set_b, which outlive the results.
    quorvel::PairedPositions matches;
    if (!run_guarded([&] { matches = quorvel::pair_positions(set_a.spans, set_b.spans, quorvel::pair_margin); })) {
        return fail_in(find_intersections_entry);
    }
    Ref result = Ref::steal(PyList_New(0));
    if (!result) {
        return fail_in(find_intersections_entry);
    }
    // Declared after the result, so that a failure releases the partial result unpaused.
    CollectorPause pause;
    for (const quorvel::PairedPositions::Group& group : matches.groups) {
        const GroupView match{group.start, group.end, GroupSide(set_a, matches.originals_of(group)),
                              GroupSide(set_b, matches.references_of(group))};
        if (!append_result(result.get(), match_result(match))) {
            return fail_in(find_intersections_entry);
        }
    }
    return result.release();
}

const CallableDefinition interval_to_dict_definition{
    "interval_to_dict", "interval_to_dict", dictionary_doc, {"interval", nullptr}, false, nullptr,
    interval_to_dict_entry, module_source_file, __LINE__, true, interval_to_dict_body,
};

const CallableDefinition match_to_dict_definition{
    "match_to_dict", "match_to_dict", dictionary_doc, {"match", nullptr}, false, nullptr,
    match_to_dict_entry, module_source_file, __LINE__, true, match_to_dict_body,
};

const CallableDefinition find_intersections_definition{
    "find_intersections", "find_intersections", find_intersections_doc, {"set_a_dicts", "set_b_dicts"}, false, nullptr,
    find_intersections_entry, module_source_file, __LINE__, true, find_intersections_body,
};

// ---------------------------------------------------------------------------------------------
// PyIntervalSearch

struct PyIntervalSearchObject {
    PyObject_HEAD
    // Null until construction completes; never changes afterwards.
    quorvel::IntervalSearch* index;
};

extern PyTypeObject interval_search_type;

PyIntervalSearchObject* as_interval_search(PyObject* object) { return reinterpret_cast<PyIntervalSearchObject*>(object); }

bool construct_interval_search(PyObject* self, PyObject* intervals) {
    if (intervals == Py_None) {
        return raise_none_not_iterable(cinit_entry);
    }
    Intervals records;
    if (!read_input_list(intervals, records)) {
        return fail_in(cinit_entry);
    }
    quorvel::IntervalSearch* index = nullptr;
    if (!run_guarded([&] { index = new quorvel::IntervalSearch(std::move(records)); })) {
        return fail_in(cinit_entry);
    }
    as_interval_search(self)->index = index;
    return true;
}

// Creation binds its arguments like any callable of the module: the keyword dict becomes
// vector-call keyword names first.
PyObject* interval_search_new(PyTypeObject* type, PyObject* positional, PyObject* keywords) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    const Py_ssize_t positional_count = PyTuple_GET_SIZE(positional);
    std::vector<PyObject*> arguments(PySequence_Fast_ITEMS(positional),
                                     PySequence_Fast_ITEMS(positional) + positional_count);
    Ref keyword_names;
    if (keywords != nullptr && PyDict_GET_SIZE(keywords) > 0) {
        keyword_names = Ref::steal(PyTuple_New(PyDict_GET_SIZE(keywords)));
        if (!keyword_names) {
            return nullptr;
        }
        Py_ssize_t cursor = 0;
        Py_ssize_t slot = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(keywords, &cursor, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return fail_in(cinit_entry);
            }
            PyTuple_SET_ITEM(keyword_names.get(), slot++, Py_NewRef(key));
            arguments.push_back(value);
        }
    }
    PyObject* intervals = nullptr;
    const ParameterList parameters{"__cinit__", {&module_state.names.intervals, 1}};
    if (!bind_arguments(parameters, arguments.data(), positional_count, keyword_names.get(), &intervals)) {
        return fail_in(cinit_entry);
    }
    if (!check_list_argument(intervals, "intervals")) {
        return nullptr;
    }
    if (!construct_interval_search(self.get(), intervals)) {
        return nullptr;
    }
    return self.release();
}

PyObject* interval_search_new_guarded(PyTypeObject* type, PyObject* positional, PyObject* keywords) {
    try {
        return interval_search_new(type, positional, keywords);
    } catch (...) {
        translate_native_exception();
        return fail_in(cinit_entry);
    }
}

void interval_search_dealloc(PyObject* self) {
    PyObject* pending = PyErr_GetRaisedException();
    delete as_interval_search(self)->index;
    as_interval_search(self)->index = nullptr;
    PyErr_SetRaisedException(pending);
    Py_TYPE(self)->tp_free(self);
}

PyObject* find_overlapping_intervals_body(PyObject* self, PyObject* const* arguments) {
    std::int32_t start_q = 0;
    std::int32_t end_q = 0;
    if (!read_int(arguments[0], start_q) || !read_int(arguments[1], end_q)) {
        return fail_in(find_overlapping_intervals_entry);
    }
    // The function object holds the instance, and so its immutable index, for the whole call.
    const quorvel::IntervalSearch* index = as_interval_search(self)->index;
    if (index == nullptr) {
        PyErr_SetString(PyExc_TypeError, "PyIntervalSearch instance was not constructed");
        return fail_in(find_overlapping_intervals_entry);
    }
    std::vector<size_t> positions;
    if (!run_guarded([&] { positions = index->overlapping_positions(start_q, end_q, quorvel::pair_margin); })) {
        return fail_in(find_overlapping_intervals_entry);
    }
    Ref result = Ref::steal(PyList_New(0));
    if (!result) {
        return fail_in(find_overlapping_intervals_entry);
    }
    for (size_t position : positions) {
        if (!append_result(result.get(), interval_result(IntervalView::of(index->records()[position])))) {
            return fail_in(find_overlapping_intervals_entry);
        }
    }
    return result.release();
}

PyObject* reduce_cython_body(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_TypeError, pickling_refusal);
    return fail_in(reduce_cython_entry, conversion_source_file);
}

PyObject* setstate_cython_body(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_TypeError, pickling_refusal);
    return fail_in(setstate_cython_entry, conversion_source_file);
}

// The type's own pickling methods, stored as __reduce__ and __setstate__ by the pickling set-up.
PyObject* reduce_cython_method(PyObject* self, PyObject* const* arguments, Py_ssize_t count, PyObject* keyword_names) {
    const ParameterList parameters{"__reduce_cython__", {}};
    if (!bind_arguments(parameters, arguments, count, keyword_names, nullptr)) {
        return nullptr;
    }
    return reduce_cython_body(self, nullptr);
}

PyObject* setstate_cython_method(PyObject* self, PyObject* const* arguments, Py_ssize_t count, PyObject* keyword_names) {
    PyObject* state = nullptr;
    const ParameterList parameters{"__setstate_cython__", {&module_state.names.pyx_state, 1}};
    if (!bind_arguments(parameters, arguments, count, keyword_names, &state)) {
        return fail_in(setstate_cython_entry, conversion_source_file);
    }
    return setstate_cython_body(self, &state);
}

PyMethodDef interval_search_methods[] = {
    {"__reduce_cython__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reduce_cython_method)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate_cython__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(setstate_cython_method)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject interval_search_type = [] {
    PyTypeObject type = blank_static_type();
    type.tp_name = "c_quorvel.tandril.PyIntervalSearch";
    type.tp_basicsize = sizeof(PyIntervalSearchObject);
    type.tp_dealloc = interval_search_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;
    type.tp_methods = interval_search_methods;
    type.tp_new = interval_search_new_guarded;
    return type;
}();

const CallableDefinition find_overlapping_intervals_definition{
    "find_overlapping_intervals", "PyIntervalSearch.find_overlapping_intervals", find_overlapping_intervals_doc,
    {"start_q", "end_q"}, true, &interval_search_type,
    find_overlapping_intervals_entry, module_source_file, __LINE__, true, find_overlapping_intervals_body,
};

const CallableDefinition reduce_cython_definition{
    "__reduce_cython__", "PyIntervalSearch.__reduce_cython__", nullptr, {nullptr, nullptr}, true, nullptr,
    reduce_cython_entry, conversion_source_file, __LINE__, false, reduce_cython_body,
};

const CallableDefinition setstate_cython_definition{
    "__setstate_cython__", "PyIntervalSearch.__setstate_cython__", nullptr, {"__pyx_state", nullptr}, true, nullptr,
    setstate_cython_entry, conversion_source_file, __LINE__, true, setstate_cython_body,
};

// Whether `type` inherits `name` unchanged from object.
bool inherits_from_object(PyTypeObject* type, const char* name, bool& inherited) {
    Ref own = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name));
    Ref base = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type), name));
    if (!own || !base) {
        return false;
    }
    inherited = own.get() == base.get();
    return true;
}

// Moves one pickling method of the type's dictionary to the slot that pickling looks up.
bool move_type_entry(PyObject* type_dict, const char* from, const char* to) {
    PyObject* method = nullptr;
    if (PyDict_GetItemStringRef(type_dict, from, &method) <= 0) {
        return false;
    }
    Ref held = Ref::steal(method);
    return PyDict_SetItemString(type_dict, to, method) == 0 && PyDict_DelItemString(type_dict, from) == 0;
}

// Pickling and copying an instance go through __reduce__, which refuses.
bool set_up_pickling(PyTypeObject* type) {
    bool default_reduce_ex = false;
    bool default_reduce = false;
    bool default_getstate = false;
    bool completed = inherits_from_object(type, "__reduce_ex__", default_reduce_ex) &&
                     inherits_from_object(type, "__reduce__", default_reduce) &&
                     inherits_from_object(type, "__getstate__", default_getstate);
    if (completed && default_reduce_ex && default_reduce && default_getstate) {
        completed = move_type_entry(type->tp_dict, "__reduce_cython__", "__reduce__") &&
                    move_type_entry(type->tp_dict, "__setstate_cython__", "__setstate__");
        PyType_Modified(type);
    }
    if (!completed && !PyErr_Occurred()) {
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
    }
    return completed;
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
    try {
        return create_module(spec);
    } catch (...) {
        translate_native_exception();
        return nullptr;
    }
}

bool add_function(PyObject* dict, PyObject* module_name_object, const CallableDefinition& definition,
                  PyObject** remembered = nullptr) {
    Ref function = Ref::steal(new_binding_function(definition, module_name_object, dict));
    if (!function || PyDict_SetItemString(dict, definition.name, function.get()) < 0) {
        return false;
    }
    if (remembered != nullptr) {
        Py_XSETREF(*remembered, function.release());
    }
    return true;
}

bool add_type_method(PyTypeObject* type, PyObject* module_name_object, const CallableDefinition& definition) {
    Ref function = Ref::steal(new_binding_function(definition, module_name_object, module_state.module_dict));
    if (!function || PyDict_SetItemString(type->tp_dict, definition.name, function.get()) < 0) {
        return false;
    }
    PyType_Modified(type);
    return true;
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
    if (!create_interned_names()) {
        return false;
    }
    names_created = true;

    PyObject* modules = PyImport_GetModuleDict();
    const int registered = PyDict_ContainsString(modules, module_name);
    if (registered < 0 || (registered == 0 && PyDict_SetItemString(modules, module_name, module) < 0)) {
        return false;
    }

    if (PyType_Ready(&interval_search_type) < 0 ||
        PyDict_SetItemString(dict, "PyIntervalSearch", reinterpret_cast<PyObject*>(&interval_search_type)) < 0 ||
        !set_up_pickling(&interval_search_type)) {
        return false;
    }

    Ref module_name_object = Ref::steal(PyUnicode_InternFromString(module_name));
    if (!module_name_object || !ready_binding_function_type()) {
        return false;
    }
    PyObject* name = module_name_object.get();
    if (!add_function(dict, name, interval_to_dict_definition, &module_state.own_interval_to_dict) ||
        !add_function(dict, name, match_to_dict_definition, &module_state.own_match_to_dict) ||
        !add_function(dict, name, find_intersections_definition) ||
        !add_type_method(&interval_search_type, name, find_overlapping_intervals_definition) ||
        !add_function(dict, name, reduce_cython_definition) || !add_function(dict, name, setstate_cython_definition)) {
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
        fail_in(init_entry);
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

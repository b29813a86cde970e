// Reading Python objects into the engine's records.
//
// Two shapes are read. The byte form: any mapping with the keys "start", "end", "text",
// "original" and "nl" (and "reference" for a match), texts as bytes or bytearray; a missing key
// raises ValueError "No value specified for struct attribute '<key>'". The element form: the
// elements of an exact list, each a mapping of the same interval keys with str texts, read by
// one reader (read_elements) under the rules of the module that reads it (ElementRules): how
// integers are taken, whether texts are encoded or kept, what failures say, which fields may be
// omitted and which fields are read at all.
//
// Functions returning bool leave an exception pending when they return false. Those marked
// "entry" add their own traceback entry, in "<stringsource>", when they fail. Any of them can run
// Python code (lookups, __int__, __index__, encode): they hold what they read and re-read list
// lengths.
#pragma once

#include <Python.h>

#include <climits>
#include <cstdint>
#include <string>
#include <type_traits>

#include "quorvel/records.hpp"
#include "binding/errors.hpp"
#include "binding/module_state.hpp"
#include "binding/ref.hpp"

namespace binding {

// The one integer reader: the value of `integer`, an int (or a subclass), as a signed 32-bit
// integer. Each caller applies its own rules around it (which objects it takes, through __int__
// or __index__, and what it says when a value does not fit).
enum class Int32Reading {
    read,          // `target` holds the value
    out_of_range,  // an int outside the signed 32-bit range; nothing pending
    failed,        // an exception is pending
};
inline Int32Reading int32_of(PyObject* integer, std::int32_t& target) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(integer, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return Int32Reading::failed;
    }
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
        return Int32Reading::out_of_range;
    }
    target = static_cast<std::int32_t>(value);
    return Int32Reading::read;
}

// What a lookup does when the key is missing.
enum class Missing {
    raises,  // KeyError: the subscription's own, or one carrying the key for an exact dict
    absent,  // null with nothing pending (a KeyError of the subscription is cleared)
};

// `mapping[key]`, a new reference: a direct lookup for an exact dict, the generic subscription
// otherwise. Null with an exception pending on failure, or as `missing` says.
PyObject* item_value(PyObject* mapping, PyObject* key, Missing missing = Missing::raises);

// An int (or int subclass) in the signed 32-bit range, or anything with __int__ (never
// __index__). -1 with an exception pending on failure. Adds no traceback entry.
std::int32_t int_from_py(PyObject* object);

// Reads `object` by int_from_py into `target`. False with an exception pending on failure.
inline bool read_int(PyObject* object, std::int32_t& target) {
    target = int_from_py(object);
    return !(target == -1 && PyErr_Occurred());
}

// Copies the bytes of a bytes or bytearray (or a subclass) into `target`. Entry.
bool string_from_py(PyObject* object, std::string& target);

// A byte-form interval mapping. Entry.
bool interval_from_py(PyObject* object, quorvel::IntervalVar& target);

// Any iterable of byte-form interval mappings; exact lists and tuples are walked by index. Entry.
bool intervals_from_py(PyObject* object, quorvel::Intervals& target);

// A byte-form match mapping: start, end, and two iterables of interval mappings. Entry.
bool match_from_py(PyObject* object, quorvel::MatchesVar& target);

// ---------------------------------------------------------------------------------------------
// The element form

// How an integer field ("start", "end", "nl") is taken.
enum class Integers {
    through_int,    // an int (or a subclass) as it is, anything else through its __int__ (a float is cut)
    through_index,  // an exact int as it is, anything else through __index__ (a float is refused)
};

// How a text field ("text", "original") is taken.
enum class Texts {
    encoded,  // value.encode("utf-8") copied into the record (an exact str by the interpreter's own
              // encoder, which it cannot override)
    kept,     // a str kept as the same object (a str subclass as a plain copy); the record holds it
};

// What a failure says.
enum class Messages {
    // The interpreter's own errors, passed on unchanged: a missing key's KeyError, a non-mapping's
    // failed subscription, "Python int too large to convert to C int", string_from_py's entry.
    interpreter,
    // Errors naming the element and the field, "original[12]: 'start' must be an integer, not
    // 'str'"; a non-mapping (or a list, tuple, str or bytes) is refused before any look-up; an
    // error raised by Python code (a lookup, an __index__) is passed on with the note "while
    // reading original[12]['start']".
    named,
};

// Which fields are read.
enum class Fields {
    all,    // start, end, text, original, nl, in that order
    times,  // start and end only
};

// The rules of one module's element reading; tables are written with designated initialisers.
struct ElementRules {
    Integers integers;
    Texts texts;
    Messages messages;
    // Whether "original" and "nl" may be omitted; an omitted "original" reads as "", "nl" as 0.
    bool original_and_nl_optional = false;
    Fields fields = Fields::all;
};

// An element read with kept texts.
struct KeptInterval {
    std::int32_t start = 0;
    std::int32_t end = 0;
    Ref text;
    Ref original;
    std::int32_t nl = 0;
};

// The record an element is read into: with encoded texts the engine's own record, whose strings
// keep their room from element to element.
template <ElementRules rules>
using ElementRecord = std::conditional_t<rules.texts == Texts::encoded, quorvel::IntervalVar, KeptInterval>;

// Reads every element of the exact list `list` by `rules`, handing each record to `append`
// (`append(ElementRecord<rules>&)`, which may move from it) as soon as it is read, in list order.
// Each field is converted right after its look-up; the first failure ends the reading. `side`
// names the list in named messages. Adds no traceback entry of its own.
template <ElementRules rules, typename Append>
bool read_elements(PyObject* list, const char* side, Append&& append);

// Room in `records` for the elements `list` has now, in one allocation (the list may still
// change). Only a hint: without the room, elements are read as they would be, and fail alike.
template <typename Records>
void reserve_for(PyObject* list, Records& records) noexcept {
    try {
        records.reserve(records.size() + static_cast<std::size_t>(PyList_GET_SIZE(list)));
    } catch (...) {
    }
}

// ---------------------------------------------------------------------------------------------
// The element reader's parts, in the order an element is read

namespace element_reading {

// Where a value comes from, for named messages: side[position].
struct Origin {
    const char* side;
    Py_ssize_t position;
};

// Adds "while reading side[position]['key']" to the pending exception.
void note_origin(const Origin& origin, const char* key);

// False with a TypeError naming the element when `item` is not an interval mapping.
bool check_interval_mapping(PyObject* item, const Origin& origin);

// Raises the named ValueError for a required key that is absent.
void raise_required(const Origin& origin, const char* key);

// The int behind `value` by `integers`, a new reference; null with an exception pending.
PyObject* integer_through_int(PyObject* value);
inline PyObject* integer_through_index(PyObject* value) { return PyNumber_Index(value); }

// The named failures of an integer field.
void raise_not_an_integer(PyObject* value, const Origin& origin, const char* key);
void raise_named_out_of_range(PyObject* integer, const Origin& origin, const char* key);

// Adds string_from_py's entry to the pending exception of a failed copy; false.
bool copy_failed();

// Copies `length` bytes at `data` into `target`, as string_from_py does. Entry.
inline bool copy_bytes(const char* data, Py_ssize_t length, std::string& target) {
    return run_guarded([&] { target.assign(data, static_cast<std::size_t>(length)); }) || copy_failed();
}

// `value.encode("utf-8")` for anything but an ASCII exact str, copied as string_from_py copies it.
bool encode_text_slowly(PyObject* value, std::string& target);

// False with the named TypeError when `value` is not a str.
bool check_str(PyObject* value, const Origin& origin, const char* key);

// The values of an element that is an exact dict holding exactly the five field names, in field
// order, as the very interned objects, with values of exact types (int, str) whose conversion
// runs no Python code. For such an element one pass over the dict finds what the five look-ups
// would, and nothing can change the dict between the reads; any other element is read by
// look-ups. This is the reading's one speed device; its figure is in benchmarks/README.md.
inline bool values_in_field_order(PyObject* item, PyObject* (&values)[5]) {
    if (!PyDict_CheckExact(item) || PyDict_GET_SIZE(item) != 5) {
        return false;
    }
    const InternedNames& key = names();
    PyObject* const field_names[5] = {key.start, key.end, key.text, key.original, key.nl};
    Py_ssize_t cursor = 0;
    for (int field = 0; field < 5; ++field) {
        PyObject* found_key = nullptr;
        if (!PyDict_Next(item, &cursor, &found_key, &values[field]) || found_key != field_names[field]) {
            return false;
        }
    }
    return PyLong_CheckExact(values[0]) && PyLong_CheckExact(values[1]) && PyUnicode_CheckExact(values[2]) &&
           PyUnicode_CheckExact(values[3]) && PyLong_CheckExact(values[4]);
}

// `item[key]`, a new reference, or null: with an exception pending when the look-up failed or
// a required key is absent, with nothing pending when an optional key is absent.
template <ElementRules rules>
PyObject* look_up(PyObject* item, PyObject* key, const Origin& origin, const char* name, bool optional) {
    if constexpr (rules.messages == Messages::interpreter) {
        return item_value(item, key, optional ? Missing::absent : Missing::raises);
    } else {
        PyObject* value = item_value(item, key, Missing::absent);
        if (value == nullptr) {
            if (PyErr_Occurred()) {
                note_origin(origin, name);
            } else if (!optional) {
                raise_required(origin, name);
            }
        }
        return value;
    }
}

// The failure of an int outside the signed 32-bit range.
template <ElementRules rules>
void raise_out_of_range(PyObject* integer, const Origin& origin, const char* name) {
    if constexpr (rules.messages == Messages::named) {
        raise_named_out_of_range(integer, origin, name);
    } else {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
    }
}

// An int taken as it is, `integer` by `rules.integers`.
template <ElementRules rules>
[[gnu::always_inline]] inline bool convert_int(PyObject* integer, const Origin& origin, const char* name, std::int32_t& target) {
    const Int32Reading reading = int32_of(integer, target);
    if (reading == Int32Reading::out_of_range) [[unlikely]] {
        raise_out_of_range<rules>(integer, origin, name);
    }
    return reading == Int32Reading::read;
}

// Any other value, through the method `rules.integers` names.
template <ElementRules rules>
bool convert_other_integer(PyObject* value, const Origin& origin, const char* name, std::int32_t& target) {
    Ref integer = Ref::steal(rules.integers == Integers::through_int ? integer_through_int(value)
                                                                   : integer_through_index(value));
    if (!integer) {
        if constexpr (rules.messages == Messages::named) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                raise_not_an_integer(value, origin, name);
            } else {
                note_origin(origin, name);
            }
        }
        return false;
    }
    return convert_int<rules>(integer.get(), origin, name, target);
}

// Inlined into the reading of each field: a call per field costs the reading 2% of its
// instructions.
template <ElementRules rules>
[[gnu::always_inline]] inline bool convert_integer(PyObject* value, const Origin& origin, const char* name, std::int32_t& target) {
    if (rules.integers == Integers::through_int ? PyLong_Check(value) : PyLong_CheckExact(value)) [[likely]] {
        return convert_int<rules>(value, origin, name, target);
    }
    return convert_other_integer<rules>(value, origin, name, target);
}

template <ElementRules rules>
bool convert_text(PyObject* value, const Origin& origin, const char* name, std::string& target) {
    static_assert(rules.texts == Texts::encoded);
    bool converted = false;
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) {
        // The UTF-8 of an ASCII str is its own storage.
        Py_ssize_t length = 0;
        const char* data = PyUnicode_AsUTF8AndSize(value, &length);
        converted = data != nullptr && copy_bytes(data, length, target);
    } else {
        converted = encode_text_slowly(value, target);
    }
    if constexpr (rules.messages == Messages::named) {
        if (!converted) {
            note_origin(origin, name);
        }
    }
    return converted;
}

template <ElementRules rules>
bool convert_text(PyObject* value, const Origin& origin, const char* name, Ref& target) {
    static_assert(rules.texts == Texts::kept && rules.messages == Messages::named,
                  "kept texts are refused by named messages");
    if (!check_str(value, origin, name)) {
        return false;
    }
    target = Ref::steal(PyUnicode_FromObject(value));
    return static_cast<bool>(target);
}

template <ElementRules rules>
bool read_integer_field(PyObject* item, PyObject* key, const Origin& origin, const char* name, bool optional,
                        std::int32_t& target) {
    Ref value = Ref::steal(look_up<rules>(item, key, origin, name, optional));
    if (!value) {
        target = 0;
        return optional && !PyErr_Occurred();
    }
    return convert_integer<rules>(value.get(), origin, name, target);
}

inline bool empty_text(std::string& target) {
    target.clear();
    return true;
}
inline bool empty_text(Ref& target) {
    target = Ref::steal(PyUnicode_New(0, 0));
    return static_cast<bool>(target);
}

template <ElementRules rules, typename Text>
bool read_text_field(PyObject* item, PyObject* key, const Origin& origin, const char* name, bool optional,
                     Text& target) {
    Ref value = Ref::steal(look_up<rules>(item, key, origin, name, optional));
    if (!value) {
        return optional && !PyErr_Occurred() && empty_text(target);
    }
    return convert_text<rules>(value.get(), origin, name, target);
}

template <ElementRules rules>
bool read_element(PyObject* item, const Origin& origin, ElementRecord<rules>& record) {
    constexpr bool all_fields = rules.fields == Fields::all;
    constexpr bool optional = rules.original_and_nl_optional;
    PyObject* values[5];
    if (values_in_field_order(item, values)) {
        return convert_integer<rules>(values[0], origin, "start", record.start) &&
               convert_integer<rules>(values[1], origin, "end", record.end) &&
               (!all_fields || (convert_text<rules>(values[2], origin, "text", record.text) &&
                                convert_text<rules>(values[3], origin, "original", record.original) &&
                                convert_integer<rules>(values[4], origin, "nl", record.nl)));
    }
    if constexpr (rules.messages == Messages::named) {
        if (!check_interval_mapping(item, origin)) {
            return false;
        }
    }
    // Each field is looked up by name and converted right after its look-up.
    const InternedNames& key = names();
    return read_integer_field<rules>(item, key.start, origin, "start", false, record.start) &&
           read_integer_field<rules>(item, key.end, origin, "end", false, record.end) &&
           (!all_fields || (read_text_field<rules>(item, key.text, origin, "text", false, record.text) &&
                            read_text_field<rules>(item, key.original, origin, "original", optional, record.original) &&
                            read_integer_field<rules>(item, key.nl, origin, "nl", optional, record.nl)));
}

}  // namespace element_reading

template <ElementRules rules, typename Append>
bool read_elements(PyObject* list, const char* side, Append&& append) {
    Ref held = Ref::new_ref(list);
    ElementRecord<rules> record;
    for (Py_ssize_t position = 0; position < PyList_GET_SIZE(list); ++position) {
        Ref item = Ref::new_ref(PyList_GET_ITEM(list, position));
        if (!element_reading::read_element<rules>(item.get(), {side, position}, record) ||
            !run_guarded([&] { append(record); })) {
            return false;
        }
    }
    return true;
}

}  // namespace binding

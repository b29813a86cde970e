// The floor: what any module doing this work must do, and nothing more. Not part of the package.
//
//  empty(start_q, end_q)    two int conversions, then a fresh empty list: the cost of a call.
//  one_dict(start_q, end_q) the same, then one text-form interval dict built from native data.
//  build(intervals)         reads the list (five look-ups per element, ints, texts as UTF-8) into
//                           records sorted by start (left as they are when already sorted),
//                           returned in a capsule.
//  use(capsule)             makes a built index the one that query reads.
//  query(start_q, end_q)    two int conversions, a lower bound over the sorted starts, the
//                           acceptance test, and per hit one name look-up in the module's
//                           dictionary and one fresh text-form dict.
//  packed_query(start_q, end_q)  the same over a packed copy of the records made by use: the
//                           times in dense 16-byte slots, nl and both texts of each record side by
//                           side in one buffer, read only for the records accepted.
//  read_and_build(a, b)     reads both lists as build does, then per element of `a` one dict
//                           with start, end and two lists: one text-form dict of the element, and
//                           one of the element of `b` at the same place (when there is one), each
//                           after a name look-up: the result of a pairing that pairs every element
//                           one to one, without the walk.
// No failure is reported beyond what the interpreter raises; inputs must be well formed.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

struct Record {
    std::int32_t start;
    std::int32_t end;
    std::string text;
    std::string original;
    std::int32_t nl;
};

PyObject* key_start;
PyObject* key_end;
PyObject* key_text;
PyObject* key_original;
PyObject* key_nl;
PyObject* key_reference;
PyObject* converter_name;
PyObject* module_dict;

struct Slot {
    std::int32_t start;
    std::int32_t end;
    std::size_t payload;  // offset of the record's header and texts in Index::texts
};

struct PackedHeader {  // as the module's store lays it out
    std::int32_t nl;
    std::size_t text_size;
    std::size_t original_size;
};

struct Index {
    std::vector<Record> records;
    std::vector<std::int32_t> starts;
    std::vector<Slot> slots;  // the packed copy, in the same order
    std::string texts;        // per record: a PackedHeader, the text, the original
};
PyObject* current_capsule;  // the index that query reads
const Index* current;

bool set_new(PyObject* dict, PyObject* key, PyObject* value) {
    if (value == nullptr) {
        return false;
    }
    const int failed = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return failed == 0;
}

PyObject* text_form(const Record& record) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr || !set_new(dict, key_start, PyLong_FromLong(record.start)) ||
        !set_new(dict, key_end, PyLong_FromLong(record.end)) ||
        !set_new(dict, key_text, PyUnicode_DecodeUTF8(record.text.data(), static_cast<Py_ssize_t>(record.text.size()), "strict")) ||
        !set_new(dict, key_original,
                 PyUnicode_DecodeUTF8(record.original.data(), static_cast<Py_ssize_t>(record.original.size()), "strict")) ||
        !set_new(dict, key_nl, PyLong_FromLong(record.nl))) {
        Py_XDECREF(dict);
        return nullptr;
    }
    return dict;
}

// A name look-up per element, as the module does, then the dict.
PyObject* looked_up_text_form(const Record& record) {
    if (PyDict_GetItemWithError(module_dict, converter_name) == nullptr && PyErr_Occurred()) {
        return nullptr;
    }
    return text_form(record);
}

bool read_int(PyObject* dict, PyObject* key, std::int32_t& target) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) {
        return false;
    }
    target = static_cast<std::int32_t>(PyLong_AsLong(value));
    return !PyErr_Occurred();
}

bool read_text(PyObject* dict, PyObject* key, std::string& target) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) {
        return false;
    }
    Py_ssize_t size = 0;
    if (PyUnicode_IS_ASCII(value)) {
        const char* data = PyUnicode_AsUTF8AndSize(value, &size);
        target.assign(data, static_cast<std::size_t>(size));
        return true;
    }
    PyObject* encoded = PyUnicode_AsUTF8String(value);
    if (encoded == nullptr) {
        return false;
    }
    target.assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);
    return true;
}

bool read_list(PyObject* list, std::vector<Record>& target) {
    target.clear();
    target.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list); ++k) {
        PyObject* item = PyList_GET_ITEM(list, k);
        Record record;
        if (!read_int(item, key_start, record.start) || !read_int(item, key_end, record.end) ||
            !read_text(item, key_text, record.text) || !read_text(item, key_original, record.original) ||
            !read_int(item, key_nl, record.nl)) {
            return false;
        }
        target.push_back(std::move(record));
    }
    return true;
}

bool two_ints(PyObject* const* args, Py_ssize_t n, std::int32_t& first, std::int32_t& second) {
    if (n != 2) {
        PyErr_SetString(PyExc_TypeError, "two arguments expected");
        return false;
    }
    first = static_cast<std::int32_t>(PyLong_AsLong(args[0]));
    second = static_cast<std::int32_t>(PyLong_AsLong(args[1]));
    return !PyErr_Occurred();
}

PyObject* empty(PyObject*, PyObject* const* args, Py_ssize_t n) {
    std::int32_t start_q = 0;
    std::int32_t end_q = 0;
    return two_ints(args, n, start_q, end_q) ? PyList_New(0) : nullptr;
}

const Record sample{1000, 3500, "Where were you last night?", "Wo warst du gestern Nacht?", 0};

// A new list holding `item` (a new reference, or null with an exception set), which it takes over.
PyObject* list_of_one(PyObject* item) {
    if (item == nullptr) {
        return nullptr;
    }
    PyObject* list = PyList_New(0);
    if (list == nullptr || PyList_Append(list, item) < 0) {
        Py_XDECREF(list);
        Py_DECREF(item);
        return nullptr;
    }
    Py_DECREF(item);
    return list;
}

PyObject* one_dict(PyObject*, PyObject* const* args, Py_ssize_t n) {
    std::int32_t start_q = 0;
    std::int32_t end_q = 0;
    if (!two_ints(args, n, start_q, end_q)) {
        return nullptr;
    }
    return list_of_one(text_form(sample));
}

void free_index(PyObject* capsule) { delete static_cast<Index*>(PyCapsule_GetPointer(capsule, "floor.index")); }

PyObject* build(PyObject*, PyObject* list) {
    auto* index = new Index;
    if (!read_list(list, index->records)) {
        delete index;
        return nullptr;
    }
    const auto by_start = [](const Record& x, const Record& y) { return x.start < y.start; };
    if (!std::is_sorted(index->records.begin(), index->records.end(), by_start)) {
        std::stable_sort(index->records.begin(), index->records.end(), by_start);
    }
    index->starts.reserve(index->records.size());
    for (const Record& record : index->records) {
        index->starts.push_back(record.start);
    }
    PyObject* capsule = PyCapsule_New(index, "floor.index", free_index);
    if (capsule == nullptr) {
        delete index;
    }
    return capsule;
}

// Also makes the packed copy, outside any timed build.
PyObject* use(PyObject*, PyObject* capsule) {
    auto* index = static_cast<Index*>(PyCapsule_GetPointer(capsule, "floor.index"));
    if (index == nullptr) {
        return nullptr;
    }
    if (index->slots.empty()) {
        try {
            index->slots.reserve(index->records.size());
            for (const Record& record : index->records) {
                index->slots.push_back(Slot{record.start, record.end, index->texts.size()});
                const PackedHeader header{record.nl, record.text.size(), record.original.size()};
                index->texts.append(reinterpret_cast<const char*>(&header), sizeof header);
                index->texts += record.text;
                index->texts += record.original;
            }
        } catch (const std::bad_alloc&) {
            index->slots.clear();
            return PyErr_NoMemory();
        }
    }
    Py_XSETREF(current_capsule, Py_NewRef(capsule));
    current = index;
    Py_RETURN_NONE;
}

// A query's window, widened by 1000 on both sides, and the acceptance test.
struct Window {
    std::int64_t low;
    std::int64_t high;
    double half_query;

    bool accepts(std::int32_t start, std::int32_t end) const {
        const double overlap =
            static_cast<double>(std::max<std::int64_t>(0, std::min<std::int64_t>(end, high) - std::max<std::int64_t>(start, low)));
        return overlap >= 0.5 * static_cast<double>(std::int64_t{end} - start) || overlap >= half_query;
    }
};

// The two int conversions of a query and its window; false with an exception set.
bool open_query(PyObject* const* args, Py_ssize_t n, Window& window) {
    std::int32_t start_q = 0;
    std::int32_t end_q = 0;
    if (!two_ints(args, n, start_q, end_q)) {
        return false;
    }
    if (current == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no index in use");
        return false;
    }
    window = {std::int64_t{start_q} - 1000, std::int64_t{end_q} + 1000,
              0.5 * static_cast<double>(std::int64_t{end_q} - start_q)};
    return true;
}

// Appends `item` (a new reference, or null with an exception set) to `list`, which it releases
// on failure.
bool append_new(PyObject* list, PyObject* item) {
    if (item == nullptr || PyList_Append(list, item) < 0) {
        Py_XDECREF(item);
        Py_DECREF(list);
        return false;
    }
    Py_DECREF(item);
    return true;
}

PyObject* query(PyObject*, PyObject* const* args, Py_ssize_t n) {
    Window window{};
    PyObject* list = open_query(args, n, window) ? PyList_New(0) : nullptr;
    if (list == nullptr) {
        return nullptr;
    }
    const std::vector<Record>& records = current->records;
    const std::vector<std::int32_t>& starts = current->starts;
    auto first = std::lower_bound(starts.begin(), starts.end(), window.low,
                                  [](std::int32_t s, std::int64_t b) { return s < b; });
    for (std::size_t k = static_cast<std::size_t>(first - starts.begin()); k < records.size(); ++k) {
        const Record& record = records[k];
        if (record.start > window.high) {
            break;
        }
        if (window.accepts(record.start, record.end) && !append_new(list, looked_up_text_form(record))) {
            return nullptr;
        }
    }
    return list;
}

// One text-form dict from a packed record: nl, the text sizes and the texts side by side.
PyObject* packed_text_form(const Slot& slot) {
    if (PyDict_GetItemWithError(module_dict, converter_name) == nullptr && PyErr_Occurred()) {
        return nullptr;
    }
    PackedHeader header;
    std::memcpy(&header, current->texts.data() + slot.payload, sizeof header);
    const char* texts = current->texts.data() + slot.payload + sizeof header;
    PyObject* dict = PyDict_New();
    if (dict == nullptr || !set_new(dict, key_start, PyLong_FromLong(slot.start)) ||
        !set_new(dict, key_end, PyLong_FromLong(slot.end)) ||
        !set_new(dict, key_text, PyUnicode_DecodeUTF8(texts, static_cast<Py_ssize_t>(header.text_size), "strict")) ||
        !set_new(dict, key_original,
                 PyUnicode_DecodeUTF8(texts + header.text_size, static_cast<Py_ssize_t>(header.original_size), "strict")) ||
        !set_new(dict, key_nl, PyLong_FromLong(header.nl))) {
        Py_XDECREF(dict);
        return nullptr;
    }
    return dict;
}

// The packed layout: the search and the scan read only the slots; an accepted record's payload
// is read from one place.
PyObject* packed_query(PyObject*, PyObject* const* args, Py_ssize_t n) {
    Window window{};
    PyObject* list = open_query(args, n, window) ? PyList_New(0) : nullptr;
    if (list == nullptr) {
        return nullptr;
    }
    const std::vector<Slot>& slots = current->slots;
    auto first = std::lower_bound(slots.begin(), slots.end(), window.low,
                                  [](const Slot& s, std::int64_t b) { return s.start < b; });
    for (auto slot = first; slot != slots.end() && slot->start <= window.high; ++slot) {
        if (window.accepts(slot->start, slot->end) && !append_new(list, packed_text_form(*slot))) {
            return nullptr;
        }
    }
    return list;
}

PyObject* one_element_list(const Record& record) {
    return list_of_one(looked_up_text_form(record));
}

PyObject* read_and_build(PyObject*, PyObject* const* args, Py_ssize_t n) {
    if (n != 2) {
        PyErr_SetString(PyExc_TypeError, "two arguments expected");
        return nullptr;
    }
    std::vector<Record> side_a;
    std::vector<Record> side_b;
    if (!read_list(args[0], side_a) || !read_list(args[1], side_b)) {
        return nullptr;
    }
    PyObject* result = PyList_New(0);
    for (std::size_t k = 0; result != nullptr && k < side_a.size(); ++k) {
        PyObject* match = PyDict_New();
        const bool built = match != nullptr && set_new(match, key_start, PyLong_FromLong(side_a[k].start)) &&
                           set_new(match, key_end, PyLong_FromLong(side_a[k].end)) &&
                           set_new(match, key_original, one_element_list(side_a[k])) &&
                           set_new(match, key_reference, k < side_b.size() ? one_element_list(side_b[k]) : PyList_New(0)) &&
                           PyList_Append(result, match) == 0;
        Py_XDECREF(match);
        if (!built) {
            Py_CLEAR(result);
        }
    }
    return result;
}

PyMethodDef methods[] = {
    {"empty", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(empty)), METH_FASTCALL, nullptr},
    {"one_dict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(one_dict)), METH_FASTCALL, nullptr},
    {"build", build, METH_O, nullptr},
    {"use", use, METH_O, nullptr},
    {"query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(query)), METH_FASTCALL, nullptr},
    {"packed_query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(packed_query)), METH_FASTCALL, nullptr},
    {"read_and_build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_and_build)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_floor", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__floor(void) {
    key_start = PyUnicode_InternFromString("start");
    key_end = PyUnicode_InternFromString("end");
    key_text = PyUnicode_InternFromString("text");
    key_original = PyUnicode_InternFromString("original");
    key_nl = PyUnicode_InternFromString("nl");
    key_reference = PyUnicode_InternFromString("reference");
    converter_name = PyUnicode_InternFromString("interval_to_dict");
    PyObject* module = PyModule_Create(&definition);
    if (module != nullptr) {
        module_dict = PyModule_GetDict(module);
        PyDict_SetItem(module_dict, converter_name, Py_None);
    }
    return module;
}

#include "input_form.hpp"

#include <algorithm>
#include <string>

#include "call_errors.hpp"
#include "conversions.hpp"
#include "module_state.hpp"
#include "ref.hpp"

namespace tandril {

std::string& TextArena::room_for(std::size_t length) {
    if (length > largest_block / 4) {
        // A large text gets a block of its own, placed before the current block, which stays
        // current: its free room is not abandoned.
        auto block = std::make_unique<std::string>();
        block->reserve(length);
        std::string& dedicated = *block;
        blocks_.insert(blocks_.empty() ? blocks_.end() : blocks_.end() - 1, std::move(block));
        return dedicated;
    }
    if (blocks_.empty() || blocks_.back()->capacity() - blocks_.back()->size() < length) {
        // Blocks grow from small to largest_block, so that short lists stay small.
        const std::size_t next = blocks_.empty() ? smallest_block : std::min(largest_block, 2 * blocks_.back()->capacity());
        auto block = std::make_unique<std::string>();
        block->reserve(std::max(next, length));
        blocks_.push_back(std::move(block));
    }
    return *blocks_.back();
}

namespace {

// Where one text read from the input goes: its record's own string, or the list's arena.
class FieldTarget {
public:
    explicit FieldTarget(std::string& field) noexcept : field_(field) {}
    std::string& room_for(std::size_t) noexcept { return field_; }

private:
    std::string& field_;
};

class ArenaTarget {
public:
    explicit ArenaTarget(TextArena& arena) noexcept : arena_(arena) {}
    std::string& room_for(std::size_t length) { return arena_.room_for(length); }

private:
    TextArena& arena_;
};

// `item[key]`: a direct lookup for an exact dict (KeyError carrying the key when absent), the
// generic subscription otherwise.
PyObject* input_value(PyObject* item, PyObject* key) {
    if (!PyDict_CheckExact(item)) {
        return PyObject_GetItem(item, key);
    }
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(item, key, &value) == 0) {
        PyErr_SetObject(PyExc_KeyError, key);
    }
    return value;
}

bool read_input_int(PyObject* item, PyObject* key, std::int32_t& target) {
    Ref value = Ref::steal(input_value(item, key));
    return value && read_int(value.get(), target);
}

// A place with room for `length` more bytes, or null with the copy's MemoryError pending.
template <typename Target>
std::string* room_in(Target& target, std::size_t length) {
    std::string* room = nullptr;
    if (!run_guarded([&] { room = &target.room_for(length); })) {
        return fail_in(string_from_py_entry, conversion_source_file);
    }
    return room;
}

template <typename Target>
bool append_copy(Target& target, const char* data, Py_ssize_t length, std::string_view& written) {
    std::string* room = room_in(target, static_cast<std::size_t>(length));
    if (room == nullptr) {
        return false;
    }
    const std::size_t offset = room->size();
    if (!append_bytes(data, length, *room)) {
        return false;
    }
    written = std::string_view(*room).substr(offset);
    return true;
}

// The bytes of what encode returned, as string_from_py takes them.
template <typename Target>
bool append_encoded(Target& target, PyObject* encoded, std::string_view& written) {
    const char* data = nullptr;
    Py_ssize_t length = 0;
    return bytes_of(encoded, data, length) && append_copy(target, data, length, written);
}

template <typename CodeUnit>
std::size_t utf8_size(const CodeUnit* units, std::size_t length) noexcept {
    std::size_t size = 0;
    for (std::size_t index = 0; index < length; ++index) {
        const Py_UCS4 code_point = units[index];
        if (code_point >= 0xD800 && code_point <= 0xDFFF) {
            return 0;  // a surrogate: UTF-8 cannot encode it
        }
        size += code_point < 0x80 ? 1 : code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
    }
    return size;
}

template <typename CodeUnit>
void write_utf8(const CodeUnit* units, std::size_t length, char* out) noexcept {
    for (std::size_t index = 0; index < length; ++index) {
        const Py_UCS4 code_point = units[index];
        if (code_point < 0x80) {
            *out++ = static_cast<char>(code_point);
        } else if (code_point < 0x800) {
            *out++ = static_cast<char>(0xC0 | (code_point >> 6));
            *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
        } else if (code_point < 0x10000) {
            *out++ = static_cast<char>(0xE0 | (code_point >> 12));
            *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
        } else {
            *out++ = static_cast<char>(0xF0 | (code_point >> 18));
            *out++ = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
        }
    }
}

// The UTF-8 of a non-ASCII exact str, written straight into the target without an intermediate
// bytes object. False, with nothing pending and nothing written, when the text holds a
// surrogate or memory ran out: the caller then lets the interpreter's encoder report it.
template <typename Target, typename CodeUnit>
bool append_utf8(Target& target, const CodeUnit* units, std::size_t length, std::string_view& written) {
    const std::size_t size = utf8_size(units, length);
    if (size == 0) {
        return false;
    }
    std::string* room = nullptr;
    std::size_t offset = 0;
    if (!run_guarded([&] {
            room = &target.room_for(size);
            offset = room->size();
            room->resize(offset + size);
        })) {
        PyErr_Clear();
        return false;
    }
    write_utf8(units, length, room->data() + offset);
    written = std::string_view(*room).substr(offset);
    return true;
}

template <typename Target>
bool append_utf8(Target& target, PyObject* text, std::string_view& written) {
    const void* data = PyUnicode_DATA(text);
    const std::size_t length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return append_utf8(target, static_cast<const Py_UCS1*>(data), length, written);
        case PyUnicode_2BYTE_KIND:
            return append_utf8(target, static_cast<const Py_UCS2*>(data), length, written);
        default:
            return append_utf8(target, static_cast<const Py_UCS4*>(data), length, written);
    }
}

// `item[key].encode("utf-8")`, taken as bytes. An exact str cannot override encode, so its UTF-8
// is read directly; anything else has its own encode called.
template <typename Target>
bool read_input_text(PyObject* item, PyObject* key, Target& target, std::string_view& written) {
    Ref value = Ref::steal(input_value(item, key));
    if (!value) {
        return false;
    }
    if (PyUnicode_CheckExact(value.get())) {
        if (PyUnicode_IS_ASCII(value.get())) {
            return append_copy(target, static_cast<const char*>(PyUnicode_DATA(value.get())),
                               PyUnicode_GET_LENGTH(value.get()), written);
        }
        if (append_utf8(target, value.get(), written)) {
            return true;
        }
        // A surrogate (or no memory): the interpreter's encoder raises exactly what encode would.
        Ref encoded = Ref::steal(PyUnicode_AsUTF8String(value.get()));
        return encoded && append_encoded(target, encoded.get(), written);
    }
    Ref encoded = Ref::steal(PyObject_CallMethodOneArg(value.get(), names().encode, names().utf_8));
    return encoded && append_encoded(target, encoded.get(), written);
}

bool append_input_interval(PyObject* item, quorvel::Intervals& target) {
    const InternedNames& key = names();
    quorvel::IntervalVar interval;
    FieldTarget text(interval.text);
    FieldTarget original(interval.original);
    std::string_view written;
    return read_input_int(item, key.start, interval.start) && read_input_int(item, key.end, interval.end) &&
           read_input_text(item, key.text, text, written) && read_input_text(item, key.original, original, written) &&
           read_input_int(item, key.nl, interval.nl) && run_guarded([&] { target.push_back(std::move(interval)); });
}

bool append_input_interval(PyObject* item, InputSet& target) {
    const InternedNames& key = names();
    quorvel::TimeSpan span;
    InputSet::Payload payload{};
    ArenaTarget texts(target.texts);
    return read_input_int(item, key.start, span.start) && read_input_int(item, key.end, span.end) &&
           read_input_text(item, key.text, texts, payload.text) &&
           read_input_text(item, key.original, texts, payload.original) &&
           read_input_int(item, key.nl, payload.nl) && run_guarded([&] {
               target.spans.push_back(span);
               target.payloads.push_back(payload);
           });
}

template <typename Target>
bool read_list(PyObject* list, Target& target) {
    Ref held = Ref::new_ref(list);
    for (Py_ssize_t position = 0; position < PyList_GET_SIZE(list); ++position) {
        Ref item = Ref::new_ref(PyList_GET_ITEM(list, position));
        if (!append_input_interval(item.get(), target)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool read_input_list(PyObject* list, quorvel::Intervals& target) { return read_list(list, target); }

bool read_input_list(PyObject* list, InputSet& target) { return read_list(list, target); }

}  // namespace tandril

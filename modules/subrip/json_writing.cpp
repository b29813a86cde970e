// JSON text of a tree of built-in values, as json.dumps(indent=2, ensure_ascii=False) writes it.
//
// The layout, keys, numbers and strings are written into one byte buffer through a pointer,
// room for each piece made once (a string: six bytes a character, its longest escape), each
// string read at its own character width. With `utf8` that buffer is the answer's UTF-8; for a
// str answer it holds runs of ASCII text between the non-ASCII strings, which are kept as they
// are (or as an escaped copy) and joined at the end, so that no string is transcoded. What each
// device earns is written in benchmarks/README.md ("The whole job").
#include "json_writing.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "binding/ref.hpp"
#include "byte_output.hpp"
#include "utf8_writing.hpp"

namespace quorvel_subrip {

namespace {

using binding::Ref;

constexpr int deepest = 100;
// Lines up to this long (indentation of 30 levels) are copied with one fixed-size copy.
constexpr std::size_t short_line = 64;

// ",\n" and the spaces of the deepest line: a line break and its indentation are one copy from
// here (from offset 1 without the comma).
constexpr std::size_t widest_indent = 2 * (deepest + 1);  // the items of a container at `deepest`
constexpr auto line_starts = [] {
    std::array<char, 2 + widest_indent> text{};
    text[0] = ',';
    text[1] = '\n';
    for (std::size_t index = 2; index < text.size(); ++index) {
        text[index] = ' ';
    }
    return text;
}();

// What json's encode_basestring writes for each ASCII character: 0 for the character itself,
// else the second character of its two-character escape, or 'u' for \u00XX.
constexpr auto ascii_escapes = [] {
    std::array<char, 128> table{};
    for (int ch = 0; ch < 0x20; ++ch) {
        table[static_cast<std::size_t>(ch)] = 'u';
    }
    table['"'] = '"';
    table['\\'] = '\\';
    table['\n'] = 'n';
    table['\r'] = 'r';
    table['\t'] = 't';
    table['\b'] = 'b';
    table['\f'] = 'f';
    return table;
}();

// The escape of an ASCII character whose table entry is `escape`, written at `out`; past it.
char* write_escape(char* out, unsigned ch, char escape) noexcept {
    static constexpr char hex[] = "0123456789abcdef";
    *out++ = '\\';
    *out++ = escape;
    if (escape == 'u') {
        *out++ = '0';
        *out++ = '0';
        *out++ = hex[ch >> 4];
        *out++ = hex[ch & 0xF];
    }
    return out;
}

// A str's characters written at `out` as JSON string content in UTF-8 (no quotes); past them,
// or null at a surrogate (UTF-8 holds none). Room for six bytes a character must be made.
template <typename Char>
char* write_utf8_content(char* out, const Char* chars, Py_ssize_t length) noexcept {
    for (Py_ssize_t index = 0; index < length; ++index) {
        const Py_UCS4 ch = chars[index];
        if (ch < 0x80) {
            const char escape = ascii_escapes[ch];
            if (escape == 0) {
                *out++ = static_cast<char>(ch);
            } else {
                out = write_escape(out, ch, escape);
            }
        } else if (ch >= 0xD800 && ch <= 0xDFFF) {
            return nullptr;
        } else {
            out = write_utf8(out, ch);
        }
    }
    return out;
}

// Whether one of eight 1-byte characters needs more than its own byte: one at 0x80 or above,
// below 0x20, '"' or '\\' (the zero-byte tests of bit-twiddling lore, exact about "any").
bool word_needs_care(std::uint64_t word) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t highs = 0x8080808080808080;
    const auto has_zero = [](std::uint64_t value) { return (value - ones) & ~value & highs; };
    const std::uint64_t below_blank = (word - ones * 0x20) & ~word & highs;
    return ((word & highs) | below_blank | has_zero(word ^ (ones * '"')) | has_zero(word ^ (ones * '\\'))) != 0;
}

// A 1-byte str's characters (ASCII or Latin-1) written at `out` as JSON string content in UTF-8:
// eight characters copied at once where none needs care. Room for six bytes a character must be
// made.
char* write_latin1_content(char* out, const Py_UCS1* chars, Py_ssize_t length) noexcept {
    Py_ssize_t index = 0;
    while (index < length) {
        if (length - index >= 8) {
            std::uint64_t word;
            std::memcpy(&word, chars + index, 8);
            if (!word_needs_care(word)) {
                std::memcpy(out, &word, 8);
                out += 8;
                index += 8;
                continue;
            }
        }
        const Py_ssize_t stop = std::min<Py_ssize_t>(length, index + 8);
        out = write_utf8_content(out, chars + index, stop - index);
        index = stop;
    }
    return out;
}

// The bytes that come before a dict item's value, ",\n", the indentation, the quoted key and
// ": ", of the ASCII keys met at each depth (the first item's without the comma): the dicts of a
// document repeat a few keys, whose prefixes are then copied whole. A key is told by its object,
// which the tree holds while it is written (no Python code runs then).
class KeyPrefixes {
    static constexpr std::size_t longest = 64;

public:
    class Prefix {
    public:
        // Appends the prefix, without its comma unless `comma`: one fixed-size copy.
        void write(ByteOutput& out, bool comma) const {
            const std::size_t skip = comma ? 0 : 1;
            char* at = out.room(longest);
            std::memcpy(at, bytes_.data() + skip, longest);
            out.commit(at + length_ - skip);
        }

    private:
        friend class KeyPrefixes;
        PyObject* key_ = nullptr;
        int depth_ = 0;
        std::size_t length_ = 0;
        std::array<char, longest + 1> bytes_{};  // a copy of `longest` from after the comma stays inside
    };

    // The prefix of `key` at `depth`, or null when not held.
    const Prefix* find(PyObject* key, int depth) const noexcept {
        for (std::size_t slot = first_slot(key, depth);; slot = (slot + 1) % slot_count) {
            const Prefix& entry = entries_[slot];
            if (entry.key_ == nullptr) {
                return nullptr;
            }
            if (entry.key_ == key && entry.depth_ == depth) {
                return &entry;
            }
        }
    }

    // Holds `prefix` (written with its comma when `comma`) for `key` at `depth`, while there is room.
    void add(PyObject* key, int depth, bool comma, const char* prefix, std::size_t length) {
        const std::size_t skip = comma ? 0 : 1;
        if (held_ == most_held || length + skip > longest) {
            return;
        }
        std::size_t slot = first_slot(key, depth);
        while (entries_[slot].key_ != nullptr) {
            slot = (slot + 1) % slot_count;
        }
        Prefix& entry = entries_[slot];
        entry.key_ = key;
        entry.depth_ = depth;
        entry.length_ = length + skip;
        entry.bytes_[0] = ',';
        std::memcpy(entry.bytes_.data() + skip, prefix, length);
        ++held_;
    }

private:
    static constexpr std::size_t slot_count = 64;
    static constexpr std::size_t most_held = slot_count / 2;  // open addressing: probes stay short

    static std::size_t first_slot(PyObject* key, int depth) noexcept {
        const auto address = reinterpret_cast<std::uintptr_t>(key);
        return ((address >> 4) ^ (address >> 10) ^ static_cast<std::uintptr_t>(depth) * 7) % slot_count;
    }

    std::array<Prefix, slot_count> entries_{};
    std::size_t held_ = 0;
};

// `ok` turns false on the first value this writer leaves to json; a null result with an
// exception set is reported by `failed`. With `utf8` every string is written into `out`, which
// then holds the whole text as UTF-8, and `pieces` stays empty.
struct Writer {
    ByteOutput out;
    KeyPrefixes prefixes;
    Ref pieces;
    bool utf8 = false;
    bool ok = true;
    bool failed = false;

    bool flush() {
        if (out.size() == 0) {
            return true;
        }
        Ref piece = Ref::steal(PyUnicode_DecodeASCII(out.data(), static_cast<Py_ssize_t>(out.size()), "strict"));
        if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) {
            failed = true;
            return false;
        }
        out.clear();
        return true;
    }

    bool append_piece(PyObject* piece) {
        if (!flush() || PyList_Append(pieces.get(), piece) < 0) {
            failed = true;
            return false;
        }
        return true;
    }

    // A line break and the indentation of `depth`, after a comma when `comma`.
    void line(int depth, bool comma) {
        const std::size_t skip = comma ? 0 : 1;
        const std::size_t length = 2 - skip + 2 * static_cast<std::size_t>(depth);
        char* at = out.room(short_line);
        if (length <= short_line) {
            std::memcpy(at, line_starts.data() + skip, short_line);  // one fixed-size copy
        } else {
            at = out.room(length);
            std::memcpy(at, line_starts.data() + skip, length);
        }
        out.commit(at + length);
    }

    // A dict item's key at `depth` and what comes before it (see KeyPrefixes).
    void key(PyObject* name, int depth, bool comma) {
        if (const KeyPrefixes::Prefix* held = prefixes.find(name, depth)) {
            held->write(out, comma);
            return;
        }
        const std::size_t start = out.size();
        line(depth, comma);
        string(name);
        out.append(": ", 2);
        if (PyUnicode_IS_ASCII(name)) {  // written into `out` alone
            prefixes.add(name, depth, comma, out.data() + start, out.size() - start);
        }
    }

    void string(PyObject* text) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        const void* data = PyUnicode_DATA(text);
        const int kind = PyUnicode_KIND(text);
        if (PyUnicode_IS_ASCII(text) || utf8) {
            if (static_cast<std::size_t>(length) > (SIZE_MAX - 2) / 6) {
                throw std::bad_alloc();  // (no str is that long: the room below cannot overflow)
            }
            char* at = out.room(static_cast<std::size_t>(length) * 6 + 2);
            *at++ = '"';
            if (kind == PyUnicode_1BYTE_KIND) {
                at = write_latin1_content(at, static_cast<const Py_UCS1*>(data), length);
            } else if (kind == PyUnicode_2BYTE_KIND) {
                at = write_utf8_content(at, static_cast<const Py_UCS2*>(data), length);
            } else {
                at = write_utf8_content(at, static_cast<const Py_UCS4*>(data), length);
            }
            if (at == nullptr) {
                ok = false;  // a lone surrogate: the text road raises the writer's error
                return;
            }
            *at++ = '"';
            out.commit(at);
            return;
        }
        out.append("\"", 1);
        Py_ssize_t escapes = 0;
        for (Py_ssize_t index = 0; index < length; ++index) {
            const Py_UCS4 ch = PyUnicode_READ(kind, data, index);
            escapes += ch < 0x80 && ascii_escapes[ch] != 0;
        }
        if (escapes == 0) {
            if (!append_piece(text)) {
                return;
            }
        } else {
            std::vector<Py_UCS4> escaped;
            escaped.reserve(static_cast<std::size_t>(length + 6 * escapes));
            for (Py_ssize_t index = 0; index < length; ++index) {
                const Py_UCS4 ch = PyUnicode_READ(kind, data, index);
                if (ch < 0x80 && ascii_escapes[ch] != 0) {
                    char written[6];
                    char* const end = write_escape(written, ch, ascii_escapes[ch]);
                    escaped.insert(escaped.end(), written, end);
                } else {
                    escaped.push_back(ch);
                }
            }
            Ref piece = Ref::steal(
                PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, escaped.data(), static_cast<Py_ssize_t>(escaped.size())));
            if (!piece) {
                failed = true;
                return;
            }
            if (!append_piece(piece.get())) {
                return;
            }
        }
        out.append("\"", 1);
    }

    void integer(PyObject* number) {
        long long value = 0;
        if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(number))) {
            value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(number));
        } else {
            int overflow = 0;
            value = PyLong_AsLongLongAndOverflow(number, &overflow);
            if (overflow != 0) {
                ok = false;
                return;
            }
        }
        char* at = out.room(24);
        out.commit(std::to_chars(at, at + 24, value).ptr);
    }

    bool going() const noexcept { return ok && !failed; }

    void value(PyObject* item, int depth) {
        if (depth > deepest) {
            ok = false;
        } else if (PyUnicode_CheckExact(item)) {
            string(item);
        } else if (PyLong_CheckExact(item)) {
            integer(item);
        } else if (item == Py_None) {
            out.append("null", 4);
        } else if (item == Py_True) {
            out.append("true", 4);
        } else if (item == Py_False) {
            out.append("false", 5);
        } else if (PyList_CheckExact(item)) {
            list(item, depth);
        } else if (PyDict_CheckExact(item)) {
            dict(item, depth);
        } else {
            ok = false;
        }
    }

    // A list or dict at `depth`, its items one deeper.
    void list(PyObject* items, int depth) {
        if (PyList_GET_SIZE(items) == 0) {
            out.append("[]", 2);
            return;
        }
        out.append("[", 1);
        // No Python code runs while the tree is read, so the list keeps its length.
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(items) && going(); ++index) {
            line(depth + 1, index > 0);
            value(PyList_GET_ITEM(items, index), depth + 1);
        }
        line(depth, false);
        out.append("]", 1);
    }

    void dict(PyObject* mapping, int depth) {
        if (PyDict_GET_SIZE(mapping) == 0) {
            out.append("{}", 2);
            return;
        }
        out.append("{", 1);
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* item = nullptr;
        bool first = true;
        while (going() && PyDict_Next(mapping, &position, &name, &item)) {
            if (!PyUnicode_CheckExact(name)) {
                ok = false;
                return;
            }
            key(name, depth + 1, !first);
            first = false;
            value(item, depth + 1);
        }
        line(depth, false);
        out.append("}", 1);
    }
};

}  // namespace

PyObject* indented_json(PyObject* value, bool final_newline, bool utf8) {
    Writer writer;
    writer.utf8 = utf8;
    writer.pieces = Ref::steal(PyList_New(0));
    if (!writer.pieces) {
        return nullptr;
    }
    writer.value(value, 0);
    if (writer.failed) {
        return nullptr;
    }
    if (!writer.ok) {
        Py_RETURN_NONE;
    }
    if (final_newline) {
        writer.out.append("\n", 1);
    }
    if (utf8) {
        return PyBytes_FromStringAndSize(writer.out.data(), static_cast<Py_ssize_t>(writer.out.size()));
    }
    if (!writer.flush()) {
        return nullptr;
    }
    Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
    if (!empty) {
        return nullptr;
    }
    return PyUnicode_Join(empty.get(), writer.pieces.get());
}

}  // namespace quorvel_subrip

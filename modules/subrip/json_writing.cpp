// JSON text of a tree of built-in values, as json.dumps(indent=2, ensure_ascii=False) writes it.
//
// The text is joined at the end from pieces: runs of ASCII text (the layout, keys, numbers and
// ASCII strings, escaped) gathered in a buffer, and the other strings themselves (or an escaped
// copy), so that no string is transcoded.
#include "json_writing.hpp"

#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

#include "binding/ref.hpp"
#include "utf8_writing.hpp"

namespace quorvel_subrip {

namespace {

using binding::Ref;

constexpr int deepest = 100;

bool needs_escape(Py_UCS4 ch) noexcept { return ch < 0x20 || ch == '"' || ch == '\\'; }

// As json's encode_basestring: the two-character escapes, \u00XX for other control characters.
template <typename Output>
void append_escape(Output& out, Py_UCS4 ch) {
    const char* escape = nullptr;
    switch (ch) {
    case '"': escape = "\\\""; break;
    case '\\': escape = "\\\\"; break;
    case '\n': escape = "\\n"; break;
    case '\r': escape = "\\r"; break;
    case '\t': escape = "\\t"; break;
    case '\b': escape = "\\b"; break;
    case '\f': escape = "\\f"; break;
    default: break;
    }
    if (escape != nullptr) {
        out.push_back(static_cast<unsigned char>(escape[0]));
        out.push_back(static_cast<unsigned char>(escape[1]));
        return;
    }
    static constexpr char hex[] = "0123456789abcdef";
    for (const char code : {'\\', 'u', '0', '0', hex[ch >> 4], hex[ch & 0xF]}) {
        out.push_back(static_cast<unsigned char>(code));
    }
}

// `ok` turns false on the first value this writer leaves to json; a null result with an
// exception set is reported by `failed`. With `utf8` every string is encoded into `ascii`, which
// then holds the whole text as UTF-8, and `pieces` stays empty.
struct Writer {
    std::string ascii;
    Ref pieces;
    bool utf8 = false;
    bool ok = true;
    bool failed = false;

    bool flush() {
        if (ascii.empty()) {
            return true;
        }
        Ref piece = Ref::steal(PyUnicode_DecodeASCII(ascii.data(), static_cast<Py_ssize_t>(ascii.size()), "strict"));
        if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) {
            failed = true;
            return false;
        }
        ascii.clear();
        return true;
    }

    bool append_piece(PyObject* piece) {
        if (!flush() || PyList_Append(pieces.get(), piece) < 0) {
            failed = true;
            return false;
        }
        return true;
    }

    void line(int depth) {
        ascii += '\n';
        ascii.append(static_cast<std::size_t>(depth) * 2, ' ');
    }

    void string(PyObject* text) {
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        ascii += '"';
        if (PyUnicode_IS_ASCII(text)) {
            // Runs without escapes copied at once.
            const char* chars = static_cast<const char*>(data);
            Py_ssize_t run_start = 0;
            for (Py_ssize_t index = 0; index < length; ++index) {
                if (needs_escape(static_cast<unsigned char>(chars[index]))) {
                    ascii.append(chars + run_start, static_cast<std::size_t>(index - run_start));
                    append_escape(ascii, static_cast<unsigned char>(chars[index]));
                    run_start = index + 1;
                }
            }
            ascii.append(chars + run_start, static_cast<std::size_t>(length - run_start));
        } else if (utf8) {
            for (Py_ssize_t index = 0; index < length; ++index) {
                const Py_UCS4 ch = PyUnicode_READ(kind, data, index);
                if (needs_escape(ch)) {
                    append_escape(ascii, ch);
                } else if (ch >= 0xD800 && ch <= 0xDFFF) {
                    ok = false;  // UTF-8 holds no surrogate: the text road raises the writer's error
                    return;
                } else {
                    append_utf8(ascii, ch);
                }
            }
        } else {
            Py_ssize_t escapes = 0;
            for (Py_ssize_t index = 0; index < length; ++index) {
                escapes += needs_escape(PyUnicode_READ(kind, data, index));
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
                    if (needs_escape(ch)) {
                        append_escape(escaped, ch);
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
        }
        ascii += '"';
    }

    void integer(PyObject* number) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
        if (overflow != 0) {
            ok = false;
            return;
        }
        char digits[24];
        const auto written = std::to_chars(digits, digits + sizeof digits, value);
        ascii.append(digits, written.ptr);
    }

    bool going() const noexcept { return ok && !failed; }

    void value(PyObject* item, int depth) {
        if (!going()) {
            return;
        }
        if (depth > deepest) {
            ok = false;
        } else if (PyUnicode_CheckExact(item)) {
            string(item);
        } else if (PyLong_CheckExact(item)) {
            integer(item);
        } else if (item == Py_None) {
            ascii += "null";
        } else if (item == Py_True) {
            ascii += "true";
        } else if (item == Py_False) {
            ascii += "false";
        } else if (PyList_CheckExact(item)) {
            list(item, depth);
        } else if (PyDict_CheckExact(item)) {
            dict(item, depth);
        } else {
            ok = false;
        }
    }

    void list(PyObject* items, int depth) {
        if (PyList_GET_SIZE(items) == 0) {
            ascii += "[]";
            return;
        }
        ascii += '[';
        // No Python code runs while the tree is read, so the list keeps its length.
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(items) && going(); ++index) {
            if (index > 0) {
                ascii += ',';
            }
            line(depth + 1);
            value(PyList_GET_ITEM(items, index), depth + 1);
        }
        line(depth);
        ascii += ']';
    }

    void dict(PyObject* mapping, int depth) {
        if (PyDict_GET_SIZE(mapping) == 0) {
            ascii += "{}";
            return;
        }
        ascii += '{';
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        bool first = true;
        while (going() && PyDict_Next(mapping, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key)) {
                ok = false;
                return;
            }
            if (!first) {
                ascii += ',';
            }
            first = false;
            line(depth + 1);
            string(key);
            ascii += ": ";
            value(item, depth + 1);
        }
        line(depth);
        ascii += '}';
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
    writer.ascii.reserve(1 << 16);
    writer.value(value, 0);
    if (writer.failed) {
        return nullptr;
    }
    if (!writer.ok) {
        Py_RETURN_NONE;
    }
    if (final_newline) {
        writer.ascii += '\n';
    }
    if (utf8) {
        return PyBytes_FromStringAndSize(writer.ascii.data(), static_cast<Py_ssize_t>(writer.ascii.size()));
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

// JSON text of a tree of built-in values, as json.dumps(indent=2, ensure_ascii=False) writes it.
#include "json_writing.hpp"

#include <charconv>
#include <cstdint>
#include <string>

namespace quorvel_subrip {

namespace {

constexpr int deepest = 100;

// The UTF-8 text being written; `ok` turns false on the first value this writer leaves to json.
struct Writer {
    std::string out;
    bool ok = true;

    void line(int depth) {
        out += '\n';
        out.append(static_cast<std::size_t>(depth) * 2, ' ');
    }

    void code_point(Py_UCS4 ch) {
        if (ch < 0x80) {
            out += static_cast<char>(ch);
        } else if (ch < 0x800) {
            out += static_cast<char>(0xC0 | (ch >> 6));
            out += static_cast<char>(0x80 | (ch & 0x3F));
        } else if (ch < 0x10000) {
            out += static_cast<char>(0xE0 | (ch >> 12));
            out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (ch & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (ch >> 18));
            out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (ch & 0x3F));
        }
    }

    // As json's encode_basestring: the two-character escapes, \u00XX for other control characters.
    void escaped(Py_UCS4 ch) {
        switch (ch) {
        case '"': out += "\\\""; return;
        case '\\': out += "\\\\"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        default: {
            static constexpr char hex[] = "0123456789abcdef";
            const char code[] = {'\\', 'u', '0', '0', hex[ch >> 4], hex[ch & 0xF]};
            out.append(code, sizeof code);
        }
        }
    }

    static bool plain_ascii(Py_UCS4 ch) noexcept { return ch >= 0x20 && ch < 0x80 && ch != '"' && ch != '\\'; }

    void string(PyObject* text) {
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        out += '"';
        Py_ssize_t index = 0;
        while (index < length) {
            if (kind == PyUnicode_1BYTE_KIND) {
                // A run of characters written as they are, copied at once.
                const auto* bytes = static_cast<const unsigned char*>(data);
                Py_ssize_t run_end = index;
                while (run_end < length && plain_ascii(bytes[run_end])) {
                    ++run_end;
                }
                out.append(reinterpret_cast<const char*>(bytes + index), static_cast<std::size_t>(run_end - index));
                index = run_end;
                if (index == length) {
                    break;
                }
            }
            const Py_UCS4 ch = PyUnicode_READ(kind, data, index++);
            if (plain_ascii(ch)) {
                out += static_cast<char>(ch);
            } else if (ch < 0x20 || ch == '"' || ch == '\\') {
                escaped(ch);
            } else if (ch >= 0xD800 && ch <= 0xDFFF) {
                ok = false;  // a lone surrogate cannot be written as UTF-8
                return;
            } else {
                code_point(ch);
            }
        }
        out += '"';
    }

    void integer(PyObject* number) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
        if (overflow != 0 || (value == -1 && PyErr_Occurred())) {
            PyErr_Clear();  // an exact int reports nothing but overflow
            ok = false;
            return;
        }
        char digits[24];
        const auto written = std::to_chars(digits, digits + sizeof digits, value);
        out.append(digits, written.ptr);
    }

    void value(PyObject* item, int depth) {
        if (!ok) {
            return;
        }
        if (depth > deepest) {
            ok = false;
        } else if (PyUnicode_CheckExact(item)) {
            string(item);
        } else if (PyLong_CheckExact(item)) {
            integer(item);
        } else if (item == Py_None) {
            out += "null";
        } else if (item == Py_True) {
            out += "true";
        } else if (item == Py_False) {
            out += "false";
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
            out += "[]";
            return;
        }
        out += '[';
        // No Python code runs while the tree is read, so the list keeps its length.
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(items) && ok; ++index) {
            if (index > 0) {
                out += ',';
            }
            line(depth + 1);
            value(PyList_GET_ITEM(items, index), depth + 1);
        }
        line(depth);
        out += ']';
    }

    void dict(PyObject* mapping, int depth) {
        if (PyDict_GET_SIZE(mapping) == 0) {
            out += "{}";
            return;
        }
        out += '{';
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        bool first = true;
        while (ok && PyDict_Next(mapping, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key)) {
                ok = false;
                return;
            }
            if (!first) {
                out += ',';
            }
            first = false;
            line(depth + 1);
            string(key);
            out += ": ";
            value(item, depth + 1);
        }
        line(depth);
        out += '}';
    }
};

}  // namespace

PyObject* indented_json(PyObject* value) {
    Writer writer;
    writer.out.reserve(1 << 16);
    writer.value(value, 0);
    if (!writer.ok) {
        Py_RETURN_NONE;
    }
    return PyUnicode_DecodeUTF8(writer.out.data(), static_cast<Py_ssize_t>(writer.out.size()), "strict");
}

}  // namespace quorvel_subrip

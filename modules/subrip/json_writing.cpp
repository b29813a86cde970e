// JSON text of a tree of built-in values, as json.dumps(indent=2, ensure_ascii=False) writes it.
#include "json_writing.hpp"

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
    void string(PyObject* text) {
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        out += '"';
        for (Py_ssize_t index = 0; index < length; ++index) {
            const Py_UCS4 ch = PyUnicode_READ(kind, data, index);
            switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (ch < 0x20) {
                    static constexpr char hex[] = "0123456789abcdef";
                    out += "\\u00";
                    out += hex[ch >> 4];
                    out += hex[ch & 0xF];
                } else if (ch >= 0xD800 && ch <= 0xDFFF) {
                    ok = false;  // a lone surrogate cannot be written as UTF-8
                    return;
                } else {
                    code_point(ch);
                }
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
        out += std::to_string(value);
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
    writer.value(value, 0);
    if (!writer.ok) {
        Py_RETURN_NONE;
    }
    return PyUnicode_DecodeUTF8(writer.out.data(), static_cast<Py_ssize_t>(writer.out.size()), "strict");
}

}  // namespace quorvel_subrip

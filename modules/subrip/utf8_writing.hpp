// UTF-8 of one character, written through a pointer into room made for it (at most four bytes) or
// appended to a byte string: what the JSON and SubRip writers share when they write a file's
// bytes without a str between.
#pragma once

#include <Python.h>

#include <string>

namespace quorvel_subrip {

// `ch` must be no surrogate (UTF-8 holds none); the callers check before. Past the bytes written.
inline char* write_utf8(char* out, Py_UCS4 ch) noexcept {
    if (ch < 0x80) {
        *out++ = static_cast<char>(ch);
    } else if (ch < 0x800) {
        *out++ = static_cast<char>(0xC0 | (ch >> 6));
        *out++ = static_cast<char>(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (ch >> 12));
        *out++ = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (ch & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (ch >> 18));
        *out++ = static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (ch & 0x3F));
    }
    return out;
}

// The same appended to a byte string (one append a byte: cheaper here than a copy through a
// buffer, by the count of instructions).
inline void append_utf8(std::string& out, Py_UCS4 ch) {
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

}  // namespace quorvel_subrip

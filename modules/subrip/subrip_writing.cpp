// SubRip and WebVTT text of a list of events, as pysubs2 writes it (see subrip_writing.hpp).
#include "subrip_writing.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "utf8_writing.hpp"

namespace quorvel_subrip {

namespace {

constexpr long long latest_time = 100LL * 3'600'000 - 1;  // 99:59:59.999

void append_two_digits(std::string& out, long long value) {
    out += static_cast<char>('0' + value / 10);
    out += static_cast<char>('0' + value % 10);
}

void append_timestamp(std::string& out, long long ms, char mark) {
    append_two_digits(out, ms / 3'600'000);
    out += ':';
    append_two_digits(out, ms / 60'000 % 60);
    out += ':';
    append_two_digits(out, ms / 1000 % 60);
    out += mark;
    out += static_cast<char>('0' + ms % 1000 / 100);
    append_two_digits(out, ms % 100);
}

bool read_time(PyObject* value, long long& ms) {
    if (!PyLong_CheckExact(value)) {
        return false;
    }
    int overflow = 0;
    ms = PyLong_AsLongLongAndOverflow(value, &overflow);
    return overflow == 0 && ms >= 0 && ms <= latest_time;
}

bool is_tag_name_char(Py_UCS4 ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' || ch == ' ';
}

// SubRip styling of the default style: italic, underline, strikeout.
struct Styling {
    bool italic = false;
    bool underline = false;
    bool strikeout = false;
};

// The tags of one override block, in the order pysubs2's pattern
// \\[ibusp][0-9]|\\r[a-zA-Z_0-9 ]*|\\fn[a-zA-Z_0-9 ]+ finds them, applied to `styling`.
void apply_block(const std::vector<Py_UCS4>& text, std::size_t from, std::size_t to, Styling& styling) {
    std::size_t index = from;
    while (index < to) {
        if (text[index] != '\\' || index + 1 >= to) {
            ++index;
            continue;
        }
        const Py_UCS4 letter = text[index + 1];
        const bool digit_follows = index + 2 < to && text[index + 2] >= '0' && text[index + 2] <= '9';
        if (digit_follows && (letter == 'i' || letter == 'b' || letter == 'u' || letter == 's' || letter == 'p')) {
            const bool on = text[index + 2] == '1';
            if (letter == 'i') {
                styling.italic = on;
            } else if (letter == 'u') {
                styling.underline = on;
            } else if (letter == 's') {
                styling.strikeout = on;
            }
            index += 3;
        } else if (letter == 'r') {
            std::size_t name_end = index + 2;
            while (name_end < to && is_tag_name_char(text[name_end])) {
                ++name_end;
            }
            const std::size_t name_length = name_end - (index + 2);
            static constexpr char default_name[] = "Default";
            bool is_default = name_length == sizeof default_name - 1;
            for (std::size_t offset = 0; is_default && offset < name_length; ++offset) {
                is_default = text[index + 2 + offset] == static_cast<Py_UCS4>(default_name[offset]);
            }
            if (name_length == 0 || is_default) {
                styling = Styling{};  // back to the line's style, the default
            }
            index = name_end;
        } else if (letter == 'f' && index + 3 < to && text[index + 2] == 'n' && is_tag_name_char(text[index + 3])) {
            index += 3;
            while (index < to && is_tag_name_char(text[index])) {
                ++index;
            }
        } else {
            ++index;
        }
    }
}

void append_fragment(std::vector<Py_UCS4>& body, const std::vector<Py_UCS4>& text, std::size_t from, std::size_t to,
                     const Styling& styling) {
    static constexpr const char* wrappers[][2] = {{"<i>", "</i>"}, {"<u>", "</u>"}, {"<s>", "</s>"}};
    const bool on[] = {styling.italic, styling.underline, styling.strikeout};
    // pysubs2 wraps in <i> first, so <s> ends outermost.
    for (int wrapper = 2; wrapper >= 0; --wrapper) {
        for (const char* ch = wrappers[wrapper][0]; on[wrapper] && *ch != '\0'; ++ch) {
            body.push_back(static_cast<Py_UCS4>(*ch));
        }
    }
    body.insert(body.end(), text.begin() + static_cast<std::ptrdiff_t>(from), text.begin() + static_cast<std::ptrdiff_t>(to));
    for (int wrapper = 0; wrapper <= 2; ++wrapper) {
        for (const char* ch = wrappers[wrapper][1]; on[wrapper] && *ch != '\0'; ++ch) {
            body.push_back(static_cast<Py_UCS4>(*ch));
        }
    }
}

// The SubRip text of one event's text (`length` characters, the one at an index given by `read`),
// appended to `out`; with `keep_tags` its override blocks stay as they are. False for a text this
// writer leaves to pysubs2 (one that may hold a drawing, or a lone surrogate).
template <typename Read>
bool append_text(std::string& out, Py_ssize_t length, Read read, bool keep_tags, EventScratch& scratch) {
    std::vector<Py_UCS4>& text = scratch.text;
    std::vector<Py_UCS4>& body = scratch.body;
    // "\h", "\n" and "\N" first, as pysubs2 replaces them before it looks at override blocks.
    text.clear();
    bool has_brace = false;
    for (Py_ssize_t index = 0; index < length; ++index) {
        const Py_UCS4 ch = read(index);
        if (ch == '\\' && index + 1 < length) {
            const Py_UCS4 next = read(index + 1);
            if (next == 'h' || next == 'n' || next == 'N') {
                text.push_back(next == 'h' ? ' ' : '\n');
                ++index;
                continue;
            }
            if (next == 'p') {
                return false;  // perhaps a drawing, which pysubs2 leaves out
            }
        }
        if (ch >= 0xD800 && ch <= 0xDFFF) {
            return false;
        }
        has_brace = has_brace || ch == '{';
        text.push_back(ch);
    }
    body.clear();
    if (!has_brace || keep_tags) {
        body.swap(text);
    } else {
        // Fragments between override blocks "{...}", each in the styling of the blocks before it.
        Styling styling;
        std::size_t fragment_start = 0;
        std::size_t index = 0;
        while (index < text.size()) {
            if (text[index] == '{') {
                std::size_t close = index + 1;
                while (close < text.size() && text[close] != '}') {
                    ++close;
                }
                if (close == text.size()) {
                    break;  // no block closes after here
                }
                append_fragment(body, text, fragment_start, index, styling);
                apply_block(text, index + 1, close, styling);
                index = fragment_start = close + 1;
            } else {
                ++index;
            }
        }
        append_fragment(body, text, fragment_start, text.size(), styling);
    }
    // Stripped, and each run of line breaks made one.
    std::size_t first = 0;
    std::size_t last = body.size();
    while (first < last && Py_UNICODE_ISSPACE(body[first])) {
        ++first;
    }
    while (last > first && Py_UNICODE_ISSPACE(body[last - 1])) {
        --last;
    }
    for (std::size_t index = first; index < last; ++index) {
        if (body[index] == '\n' && index > first && body[index - 1] == '\n') {
            continue;
        }
        append_utf8(out, body[index]);
    }
    return true;
}

// The event's number and timing line, then its text (see append_text) and a blank line.
template <typename Read>
bool append_block(std::string& out, std::size_t number, long long start, long long end, char mark, Py_ssize_t length,
                  Read read, bool keep_tags, EventScratch& scratch) {
    out += std::to_string(number);
    out += '\n';
    append_timestamp(out, start, mark);
    out += " --> ";
    append_timestamp(out, end, mark);
    out += '\n';
    if (!append_text(out, length, read, keep_tags, scratch)) {
        return false;
    }
    out += "\n\n";
    return true;
}

}  // namespace

bool append_subrip_event(std::string& out, std::size_t number, long long start, long long end, std::u32string_view text,
                         bool keep_tags, EventScratch& scratch) {
    if (start < 0 || start > latest_time || end < 0 || end > latest_time) {
        return false;
    }
    const auto read = [text](Py_ssize_t index) { return static_cast<Py_UCS4>(text[static_cast<std::size_t>(index)]); };
    return append_block(out, number, start, end, ',', static_cast<Py_ssize_t>(text.size()), read, keep_tags, scratch);
}

PyObject* subrip_text(PyObject* events, bool vtt, bool keep_tags) {
    if (!PyList_CheckExact(events)) {
        Py_RETURN_NONE;
    }
    std::string out;
    out.reserve(1 << 16);
    if (vtt) {
        out += "WEBVTT\n\n";
    }
    const char mark = vtt ? '.' : ',';
    EventScratch scratch;
    // No Python code runs while the list is read: only exact built-in types are looked into.
    for (Py_ssize_t position = 0; position < PyList_GET_SIZE(events); ++position) {
        PyObject* event = PyList_GET_ITEM(events, position);
        long long start = 0;
        long long end = 0;
        if (!PyTuple_CheckExact(event) || PyTuple_GET_SIZE(event) != 3 || !read_time(PyTuple_GET_ITEM(event, 0), start) ||
            !read_time(PyTuple_GET_ITEM(event, 1), end) || !PyUnicode_CheckExact(PyTuple_GET_ITEM(event, 2))) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        PyObject* text = PyTuple_GET_ITEM(event, 2);
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        const auto read = [kind, data](Py_ssize_t index) { return PyUnicode_READ(kind, data, index); };
        if (!append_block(out, static_cast<std::size_t>(position + 1), start, end, mark, PyUnicode_GET_LENGTH(text), read,
                          keep_tags, scratch)) {
            Py_RETURN_NONE;
        }
    }
    return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict");
}

}  // namespace quorvel_subrip

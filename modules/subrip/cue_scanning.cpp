// The scan of a SubRip or WebVTT text into cues, on the text's code points at their own width
// (see cue_scanning.hpp).
#include "cue_scanning.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "binding/module_state.hpp"
#include "binding/ref.hpp"

namespace quorvel_subrip {

namespace {

using binding::Ref;

constexpr std::int64_t hour_ms = 3'600'000;
constexpr std::int64_t minute_ms = 60'000;
constexpr std::int64_t second_ms = 1000;

// \d of pysubs2's patterns, the ASCII answer inline.
bool is_decimal(Py_UCS4 ch) noexcept { return ch < 128 ? ch >= '0' && ch <= '9' : Py_UNICODE_ISDECIMAL(ch) != 0; }

// One text's code points, read in place at the width the interpreter stores them in.
template <typename Char>
class CodePoints {
public:
    CodePoints(const Char* chars, Py_ssize_t length) noexcept : chars_(chars), length_(length) {}
    Py_ssize_t length() const noexcept { return length_; }
    const Char* chars() const noexcept { return chars_; }
    Py_UCS4 operator[](Py_ssize_t index) const noexcept { return chars_[index]; }
    bool is_ascii_digit(Py_ssize_t index) const noexcept {
        return index < length_ && chars_[index] >= '0' && chars_[index] <= '9';
    }
    // The value of `count` ASCII digits at `index`, or -1 when they are not all there.
    std::int64_t digits(Py_ssize_t index, Py_ssize_t count) const noexcept {
        std::int64_t value = 0;
        for (Py_ssize_t offset = 0; offset < count; ++offset) {
            if (!is_ascii_digit(index + offset)) {
                return -1;
            }
            value = value * 10 + static_cast<std::int64_t>(chars_[index + offset] - '0');
        }
        return value;
    }
    bool is(Py_ssize_t index, Py_UCS4 ch) const noexcept { return index < length_ && chars_[index] == ch; }
    // The end of the line that starts at `from`: the next "\n", or the text's end.
    Py_ssize_t line_end(Py_ssize_t from) const noexcept {
        if constexpr (sizeof(Char) == 1) {
            const void* found = std::memchr(chars_ + from, '\n', static_cast<std::size_t>(length_ - from));
            return found == nullptr ? length_ : static_cast<const Char*>(found) - chars_;
        } else {
            while (from < length_ && chars_[from] != '\n') {
                ++from;
            }
            return from;
        }
    }

private:
    const Char* chars_;
    Py_ssize_t length_;
};

// A SubRip timestamp "HH:MM:SS,mmm" (or with "."): its time, and `index` moved past it.
template <typename Text>
bool read_srt_stamp(const Text& text, Py_ssize_t& index, std::int64_t& time) {
    const std::int64_t hours = text.digits(index, 2);
    const std::int64_t minutes = text.digits(index + 3, 2);
    const std::int64_t seconds = text.digits(index + 6, 2);
    const std::int64_t millis = text.digits(index + 9, 3);
    if (hours < 0 || !text.is(index + 2, ':') || minutes < 0 || !text.is(index + 5, ':') || seconds < 0 ||
        !(text.is(index + 8, ',') || text.is(index + 8, '.')) || millis < 0) {
        return false;
    }
    time = hours * hour_ms + minutes * minute_ms + seconds * second_ms + millis;
    index += 12;
    return true;
}

// "MM:SS.mmm" at `index`: its time, and `index` moved past it.
template <typename Text>
bool read_vtt_minutes(const Text& text, Py_ssize_t& index, std::int64_t& time) {
    const std::int64_t minutes = text.digits(index, 2);
    const std::int64_t seconds = text.digits(index + 3, 2);
    const std::int64_t millis = text.digits(index + 6, 3);
    if (minutes < 0 || !text.is(index + 2, ':') || seconds < 0 || !text.is(index + 5, '.') || millis < 0) {
        return false;
    }
    time = minutes * minute_ms + seconds * second_ms + millis;
    index += 9;
    return true;
}

// A WebVTT timestamp, "H:MM:SS.mmm" with one to four hour digits or "MM:SS.mmm", taken as the
// pattern (?:([0-9]{1,4}):)?([0-9]{2}):([0-9]{2})\.([0-9]{3}) takes it.
template <typename Text>
bool read_vtt_stamp(const Text& text, Py_ssize_t& index, std::int64_t& time) {
    Py_ssize_t run = 0;
    while (run < 5 && text.is_ascii_digit(index + run)) {
        ++run;
    }
    if (run >= 1 && run <= 4 && text.is(index + run, ':')) {
        Py_ssize_t after_hours = index + run + 1;
        std::int64_t rest = 0;
        if (read_vtt_minutes(text, after_hours, rest)) {
            time = text.digits(index, run) * hour_ms + rest;
            index = after_hours;
            return true;
        }
    }
    return run == 2 && read_vtt_minutes(text, index, time);
}

// Whether [line_start, line_end) is a timing line this scan takes: two timestamps joined by
// " --> ", then the end of the line or a blank or tab and settings (from `settings` on).
template <typename Text>
bool read_timing_line(const Text& text, Py_ssize_t line_start, Py_ssize_t line_end, bool vtt,
                      std::int64_t& start, std::int64_t& end, Py_ssize_t& settings) {
    const auto read_stamp = vtt ? read_vtt_stamp<Text> : read_srt_stamp<Text>;
    Py_ssize_t index = line_start;
    // Most lines of text start with no digit: refused at once.
    if (!text.is_ascii_digit(index) || !read_stamp(text, index, start)) {
        return false;
    }
    for (const char ch : {' ', '-', '-', '>', ' '}) {
        if (!text.is(index, static_cast<Py_UCS4>(ch))) {
            return false;
        }
        ++index;
    }
    if (!read_stamp(text, index, end) || index > line_end) {
        return false;
    }
    settings = index;
    return index == line_end || text[index] == ' ' || text[index] == '\t';
}

// Whether a digit, a colon and a digit follow one another in [from, to): every timestamp any of
// pysubs2's patterns finds holds one, so a line without one holds no timestamp.
template <typename Text>
bool has_digit_colon_digit(const Text& text, Py_ssize_t from, Py_ssize_t to) {
    for (Py_ssize_t index = from + 1; index + 1 < to; ++index) {
        if (text[index] == ':' && is_decimal(text[index - 1]) && is_decimal(text[index + 1])) {
            return true;
        }
    }
    return false;
}

struct Cue {
    std::int64_t start;
    std::int64_t end;
    Py_ssize_t chunk_start;  // the lines after the timing line, up to the next timing line
    Py_ssize_t chunk_end;
};

// The cues of `text`, or false when a line holds a timestamp outside a timing line taken here.
template <typename Text>
bool find_cues(const Text& text, bool vtt, std::vector<Cue>& cues) {
    const Py_ssize_t length = text.length();
    Py_ssize_t line_start = 0;
    while (line_start <= length) {
        const Py_ssize_t line_end = text.line_end(line_start);
        std::int64_t start = 0;
        std::int64_t end = 0;
        Py_ssize_t settings = 0;
        if (read_timing_line(text, line_start, line_end, vtt, start, end, settings)) {
            if (has_digit_colon_digit(text, settings, line_end)) {
                return false;  // settings that may hold a third timestamp
            }
            if (!cues.empty()) {
                cues.back().chunk_end = line_start;
            }
            cues.push_back({start, end, std::min(line_end + 1, length), length});
        } else if (has_digit_colon_digit(text, line_start, line_end)) {
            return false;
        }
        line_start = line_end + 1;
    }
    return true;
}

// A new str of `length` characters, the largest `widest`, filled by `fill(characters)` at the
// str's own width (the one the interpreter gives a str of those characters).
template <typename Fill>
PyObject* new_text(Py_ssize_t length, Py_UCS4 widest, Fill&& fill) {
    PyObject* made = PyUnicode_New(length, widest);
    if (made == nullptr) {
        return nullptr;
    }
    switch (PyUnicode_KIND(made)) {
    case PyUnicode_1BYTE_KIND:
        fill(PyUnicode_1BYTE_DATA(made));
        break;
    case PyUnicode_2BYTE_KIND:
        fill(PyUnicode_2BYTE_DATA(made));
        break;
    default:
        fill(PyUnicode_4BYTE_DATA(made));
        break;
    }
    return made;
}

bool set_item(PyObject* dict, PyObject* key, Ref value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

// The interval dict of one cue. `odd` is set, and "original" holds the raw lines with "text"
// None, when the text needs pysubs2's full preparation (tags, overrides, backslashes, or a cue
// that is only a number).
template <typename Char>
PyObject* cue_dict(PyObject* source, const CodePoints<Char>& text, const Cue& cue, bool& odd) {
    const binding::InternedNames& key = binding::names();
    Py_ssize_t first = cue.chunk_start;
    Py_ssize_t last = cue.chunk_end;
    while (first < last && Py_UNICODE_ISSPACE(text[first])) {
        ++first;
    }
    while (last > first && Py_UNICODE_ISSPACE(text[last - 1])) {
        --last;
    }
    // The line that follows the text, the next cue's number, is cut off as pysubs2 cuts it:
    // newlines, blanks, digits at the very end.
    if (last > first && is_decimal(text[last - 1])) {
        Py_ssize_t cut = last;
        while (cut > first && is_decimal(text[cut - 1])) {
            --cut;
        }
        if (cut == first) {
            odd = true;  // only a number: pysubs2 may read it as an empty cue
        }
        while (cut > first && text[cut - 1] == ' ') {
            --cut;
        }
        const Py_ssize_t digits_start = cut;
        while (cut > first && text[cut - 1] == '\n') {
            --cut;
        }
        if (cut < digits_start) {
            last = cut;
        }
    }
    // One pass with no early exit, which the compiler turns into vector instructions.
    Py_ssize_t newlines = 0;
    Py_ssize_t marks = 0;
    Py_UCS4 widest = 0;
    for (Py_ssize_t index = first; index < last; ++index) {
        const Py_UCS4 ch = text[index];
        newlines += ch == '\n';
        marks += (ch == '<') | (ch == '{') | (ch == '\\');
        widest = std::max(widest, ch);
    }
    odd = odd || marks != 0;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || !set_item(dict.get(), key.start, Ref::steal(PyLong_FromLongLong(cue.start))) ||
        !set_item(dict.get(), key.end, Ref::steal(PyLong_FromLongLong(cue.end)))) {
        return nullptr;
    }
    if (odd) {
        if (!set_item(dict.get(), key.text, Ref::new_ref(Py_None)) ||
            !set_item(dict.get(), key.original, Ref::steal(PyUnicode_Substring(source, cue.chunk_start, cue.chunk_end))) ||
            !set_item(dict.get(), key.nl, Ref::steal(PyLong_FromLong(0)))) {
            return nullptr;
        }
        return dict.release();
    }
    // The plain text, and the original with each line break written "\N", made at their own
    // width straight from the lines (no substring to narrow, no replace).
    const Char* lines = text.chars() + first;
    const Py_ssize_t length = last - first;
    Ref plain = Ref::steal(new_text(length, widest, [lines, length](auto* out) {
        std::copy(lines, lines + length, out);
    }));
    if (!plain) {
        return nullptr;
    }
    Ref original = newlines == 0 ? Ref::new_ref(plain.get())
                                 : Ref::steal(new_text(length + newlines, std::max<Py_UCS4>(widest, 'N'), [lines, length](auto* out) {
                                       for (Py_ssize_t index = 0; index < length; ++index) {
                                           if (lines[index] == '\n') {
                                               *out++ = '\\';
                                               *out++ = 'N';
                                           } else {
                                               *out++ = lines[index];
                                           }
                                       }
                                   }));
    if (!set_item(dict.get(), key.text, std::move(plain)) || !set_item(dict.get(), key.original, std::move(original)) ||
        !set_item(dict.get(), key.nl, Ref::steal(PyLong_FromSsize_t(newlines)))) {
        return nullptr;
    }
    return dict.release();
}

template <typename Char>
PyObject* scan_text(PyObject* source, const Char* chars, bool vtt) {
    const CodePoints<Char> text(chars, PyUnicode_GET_LENGTH(source));
    std::vector<Cue> cues;
    if (!find_cues(text, vtt, cues) || cues.empty()) {
        Py_RETURN_NONE;
    }
    for (const Cue& cue : cues) {
        if (cue.end < cue.start || cue.end > std::numeric_limits<std::int32_t>::max()) {
            Py_RETURN_NONE;
        }
    }
    Ref intervals = Ref::steal(PyList_New(static_cast<Py_ssize_t>(cues.size())));
    Ref odd_positions = Ref::steal(PyList_New(0));
    if (!intervals || !odd_positions) {
        return nullptr;
    }
    // The list is not handed to any Python code before every slot is filled.
    for (std::size_t position = 0; position < cues.size(); ++position) {
        bool odd = false;
        PyObject* item = cue_dict(source, text, cues[position], odd);
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(intervals.get(), static_cast<Py_ssize_t>(position), item);
        if (odd) {
            Ref number = Ref::steal(PyLong_FromSize_t(position));
            if (!number || PyList_Append(odd_positions.get(), number.get()) < 0) {
                return nullptr;
            }
        }
    }
    return PyTuple_Pack(2, intervals.get(), odd_positions.get());
}

}  // namespace

PyObject* scan_cues(PyObject* source, bool vtt) {
    switch (PyUnicode_KIND(source)) {
    case PyUnicode_1BYTE_KIND:
        return scan_text(source, PyUnicode_1BYTE_DATA(source), vtt);
    case PyUnicode_2BYTE_KIND:
        return scan_text(source, PyUnicode_2BYTE_DATA(source), vtt);
    default:
        return scan_text(source, PyUnicode_4BYTE_DATA(source), vtt);
    }
}

}  // namespace quorvel_subrip

// The scan of a SubRip or WebVTT text into cues, on the text's code points (see cue_scanning.hpp).
#include "cue_scanning.hpp"

#include <algorithm>
#include <cstdint>
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

// One text's code points, read as the interpreter stores them.
class CodePoints {
public:
    explicit CodePoints(PyObject* text) noexcept
        : kind_(PyUnicode_KIND(text)), data_(PyUnicode_DATA(text)), length_(PyUnicode_GET_LENGTH(text)) {}
    Py_ssize_t length() const noexcept { return length_; }
    Py_UCS4 operator[](Py_ssize_t index) const noexcept { return PyUnicode_READ(kind_, data_, index); }
    bool is_ascii_digit(Py_ssize_t index) const noexcept {
        if (index >= length_) {
            return false;
        }
        const Py_UCS4 ch = (*this)[index];
        return ch >= '0' && ch <= '9';
    }
    // The value of `count` ASCII digits at `index`, or -1 when they are not all there.
    std::int64_t digits(Py_ssize_t index, Py_ssize_t count) const noexcept {
        std::int64_t value = 0;
        for (Py_ssize_t offset = 0; offset < count; ++offset) {
            if (!is_ascii_digit(index + offset)) {
                return -1;
            }
            value = value * 10 + static_cast<std::int64_t>((*this)[index + offset] - '0');
        }
        return value;
    }
    bool is(Py_ssize_t index, Py_UCS4 ch) const noexcept { return index < length_ && (*this)[index] == ch; }

private:
    int kind_;
    const void* data_;
    Py_ssize_t length_;
};

// A SubRip timestamp "HH:MM:SS,mmm" (or with "."): its time, and `index` moved past it.
bool read_srt_stamp(const CodePoints& text, Py_ssize_t& index, std::int64_t& time) {
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
bool read_vtt_minutes(const CodePoints& text, Py_ssize_t& index, std::int64_t& time) {
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
bool read_vtt_stamp(const CodePoints& text, Py_ssize_t& index, std::int64_t& time) {
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
bool read_timing_line(const CodePoints& text, Py_ssize_t line_start, Py_ssize_t line_end, bool vtt,
                      std::int64_t& start, std::int64_t& end, Py_ssize_t& settings) {
    const auto read_stamp = vtt ? read_vtt_stamp : read_srt_stamp;
    Py_ssize_t index = line_start;
    if (!read_stamp(text, index, start)) {
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
bool has_digit_colon_digit(const CodePoints& text, Py_ssize_t from, Py_ssize_t to) {
    for (Py_ssize_t index = from + 1; index + 1 < to; ++index) {
        if (text[index] == ':' && Py_UNICODE_ISDECIMAL(text[index - 1]) && Py_UNICODE_ISDECIMAL(text[index + 1])) {
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
bool find_cues(const CodePoints& text, bool vtt, std::vector<Cue>& cues) {
    const Py_ssize_t length = text.length();
    Py_ssize_t line_start = 0;
    while (line_start <= length) {
        Py_ssize_t line_end = line_start;
        while (line_end < length && text[line_end] != '\n') {
            ++line_end;
        }
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

bool set_item(PyObject* dict, PyObject* key, Ref value) {
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

// The interval dict of one cue. `odd` is set, and "original" holds the raw lines with "text"
// None, when the text needs pysubs2's full preparation (tags, overrides, backslashes, or a cue
// that is only a number).
PyObject* cue_dict(PyObject* source, const CodePoints& text, const Cue& cue, bool& odd) {
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
    if (last > first && Py_UNICODE_ISDECIMAL(text[last - 1])) {
        Py_ssize_t cut = last;
        while (cut > first && Py_UNICODE_ISDECIMAL(text[cut - 1])) {
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
    Py_ssize_t newlines = 0;
    for (Py_ssize_t index = first; index < last && !odd; ++index) {
        const Py_UCS4 ch = text[index];
        newlines += ch == '\n';
        odd = ch == '<' || ch == '{' || ch == '\\';
    }
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
    Ref plain = Ref::steal(PyUnicode_Substring(source, first, last));
    if (!plain) {
        return nullptr;
    }
    Ref original = newlines == 0 ? Ref::new_ref(plain.get()) : Ref::steal(PyUnicode_Replace(plain.get(), line_break(), escaped_line_break(), -1));
    if (!set_item(dict.get(), key.text, std::move(plain)) || !set_item(dict.get(), key.original, std::move(original)) ||
        !set_item(dict.get(), key.nl, Ref::steal(PyLong_FromSsize_t(newlines)))) {
        return nullptr;
    }
    return dict.release();
}

}  // namespace

PyObject* scan_cues(PyObject* source, bool vtt) {
    const CodePoints text(source);
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

}  // namespace quorvel_subrip

namespace quorvel_subrip {

namespace {
PyObject* line_break_text = nullptr;
PyObject* escaped_line_break_text = nullptr;
}  // namespace

PyObject* line_break() noexcept { return line_break_text; }
PyObject* escaped_line_break() noexcept { return escaped_line_break_text; }

bool create_line_breaks() {
    if (line_break_text == nullptr) {
        line_break_text = PyUnicode_FromString("\n");
    }
    if (escaped_line_break_text == nullptr) {
        escaped_line_break_text = PyUnicode_FromString("\\N");
    }
    return line_break_text != nullptr && escaped_line_break_text != nullptr;
}

}  // namespace quorvel_subrip

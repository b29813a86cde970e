// The events of a bilingual SubRip or WebVTT track (see bilingual_building.hpp). The steps are
// those of writing.py's bilingual_cues and _text_events, in the same order, on plain texts.
#include "bilingual_building.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/module_state.hpp"
#include "binding/ref.hpp"
#include "subrip_writing.hpp"

namespace quorvel_subrip {

namespace {

using binding::Ref;

// The last time SubRip and WebVTT hold (pysubs2's 99:59:59.999), and how short a cut cue may be.
constexpr std::int64_t latest_time = 359'999'999;
constexpr std::int64_t shortest_cut_cue = 500;
// Invisible characters that keep a cue text from reading as structure.
constexpr Py_UCS4 word_joiner = 0x2060;
constexpr Py_UCS4 zero_width_space = 0x200B;

// Flags of an event.
constexpr char top_flag = 1;
constexpr char reference_style_flag = 2;

enum class Outcome { done, declined, failed };

// One input cue: the text it is written from (its plain text, or its raw text holding "\h",
// "\n" or "\N"), held so that Python code a lookup runs cannot free it, and its times as the
// format writes them.
struct Member {
    Ref text;
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::size_t first_line = 0;  // its lines in Reading::lines
    std::size_t line_count = 0;
};

// Where a line lies in its text.
struct Range {
    Py_ssize_t from;
    Py_ssize_t to;
};

// What is read of the input: its cues, and their lines one after another.
struct Reading {
    std::vector<Member> members;
    std::vector<Range> lines;
};

// An output cue (writing.py's BilingualCue): its times, what its members need to stay shown,
// and the positions of its members among the read ones.
struct Cue {
    std::size_t order = 0;  // its place among the cues read, which breaks ties when they are sorted
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::int64_t longest_minimum = 0;
    std::int64_t latest_member_floor = 0;
    std::int64_t earliest_member_ceiling = 0;
    std::vector<std::size_t> originals;
    std::vector<std::size_t> references;

    std::int64_t earliest_end() const { return std::max(start + longest_minimum, latest_member_floor); }
    std::int64_t latest_start() const { return std::min(end - longest_minimum, earliest_member_ceiling); }
};

// A line of a member's text, to be written with or without the reference's colour.
struct Line {
    PyObject* text;  // borrowed from a Member
    Py_ssize_t from;
    Py_ssize_t to;
    bool coloured;
};

// Calls `visit(characters, length)` with the str's characters as an array of their own width.
template <typename Visit>
auto with_characters(PyObject* text, Visit&& visit) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return visit(PyUnicode_1BYTE_DATA(text), length);
    case PyUnicode_2BYTE_KIND:
        return visit(PyUnicode_2BYTE_DATA(text), length);
    default:
        return visit(PyUnicode_4BYTE_DATA(text), length);
    }
}

// \d of a regular expression on str.
bool is_digit(Py_UCS4 ch) { return ch < 128 ? ch >= '0' && ch <= '9' : Py_UNICODE_ISDECIMAL(ch); }

// Reading -----------------------------------------------------------------------------------

// `dict[key]` as a time the format writes: before 0 at 0. Declined when missing, not an exact
// int, or past the format's last time (the Python builder raises the error naming it).
Outcome read_time(PyObject* dict, PyObject* key, std::int64_t& time) {
    PyObject* found = nullptr;
    const int status = PyDict_GetItemRef(dict, key, &found);
    const Ref value = Ref::steal(found);
    if (status < 0) {
        return Outcome::failed;
    }
    if (status == 0 || !PyLong_CheckExact(value.get())) {
        return Outcome::declined;
    }
    int overflow = 0;
    const long long read = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (read == -1 && PyErr_Occurred() != nullptr) {
        return Outcome::failed;
    }
    time = std::max<std::int64_t>(read, 0);
    return overflow == 0 && time <= latest_time ? Outcome::done : Outcome::declined;
}

// A text written here as it is: none of the characters the Python builder escapes with regular
// expressions or tags (braces, "<", carriage returns), a backslash only in a raw text and only
// before h, n or N (checked by raw_form_of), and no colon between digits whose digits after it
// are followed by ":", "." or "," (every timestamp the writer breaks holds one).
bool is_plain_text(PyObject* text, bool raw) {
    return with_characters(text, [raw](const auto* chars, Py_ssize_t length) {
        for (Py_ssize_t index = 0; index < length; ++index) {
            const Py_UCS4 ch = chars[index];
            if (ch == '{' || ch == '}' || ch == '<' || ch == '\r' || (ch == '\\' && !raw)) {
                return false;
            }
            if (ch == ':' && index > 0 && index + 1 < length && is_digit(chars[index - 1]) && is_digit(chars[index + 1])) {
                Py_ssize_t after = index + 1;
                while (after < length && is_digit(chars[after])) {
                    ++after;
                }
                if (after < length && (chars[after] == ':' || chars[after] == '.' || chars[after] == ',')) {
                    return false;
                }
            }
        }
        return true;
    });
}

// The lines of a text written here, added to `lines`: split at each line break, "\n" or "\N"
// (only raw texts hold backslashes).
void split_lines(PyObject* text, std::vector<Range>& lines) {
    with_characters(text, [&lines](const auto* chars, Py_ssize_t length) {
        Py_ssize_t from = 0;
        for (Py_ssize_t index = 0; index < length; ++index) {
            if (chars[index] == '\n') {
                lines.push_back({from, index});
                from = index + 1;
            } else if (chars[index] == '\\' && index + 1 < length && (chars[index + 1] == 'n' || chars[index + 1] == 'N')) {
                lines.push_back({from, index});
                from = index + 2;
                ++index;
            }
        }
        lines.push_back({from, length});
    });
}

// Whether a raw text without braces, its backslashes each before h, n or N, is the raw form of
// `text`: the library's plain text of it ("\h" a blank, "\n" and "\N" line breaks) is `text`.
// False too when a backslash stands elsewhere (then `declined`).
bool raw_form_of(PyObject* raw, PyObject* text, bool& declined) {
    const int raw_kind = PyUnicode_KIND(raw);
    const void* raw_data = PyUnicode_DATA(raw);
    const Py_ssize_t raw_length = PyUnicode_GET_LENGTH(raw);
    const int text_kind = PyUnicode_KIND(text);
    const void* text_data = PyUnicode_DATA(text);
    const Py_ssize_t text_length = PyUnicode_GET_LENGTH(text);
    bool same = true;
    Py_ssize_t at = 0;
    for (Py_ssize_t index = 0; index < raw_length; ++index) {
        Py_UCS4 ch = PyUnicode_READ(raw_kind, raw_data, index);
        if (ch == '\\') {
            const Py_UCS4 next = index + 1 < raw_length ? PyUnicode_READ(raw_kind, raw_data, index + 1) : 0;
            if (next != 'h' && next != 'n' && next != 'N') {
                declined = true;
                return false;
            }
            ch = next == 'h' ? ' ' : '\n';
            ++index;
        }
        same = same && at < text_length && PyUnicode_READ(text_kind, text_data, at) == ch;
        ++at;
    }
    return same && at == text_length;
}

// The text a cue is written from, as the Python builder's _raw_text chooses it: its raw text
// when that is the raw form of its plain text and holds a backslash (kept, with its "\h"), else
// its plain text.
Outcome choose_source(PyObject* cue, Member& member, bool& raw) {
    raw = false;
    PyObject* found = nullptr;
    const int status = PyDict_GetItemRef(cue, binding::names().original, &found);
    Ref original = Ref::steal(found);
    if (status < 0) {
        return Outcome::failed;
    }
    if (status == 0 || !PyUnicode_Check(original.get())) {
        return Outcome::done;  // not a str: the plain text, as for none
    }
    if (!PyUnicode_CheckExact(original.get())) {
        return Outcome::declined;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(original.get());
    const Py_ssize_t brace = PyUnicode_FindChar(original.get(), '{', 0, length, 1);
    const Py_ssize_t backslash = PyUnicode_FindChar(original.get(), '\\', 0, length, 1);
    if (brace == -2 || backslash == -2) {
        return Outcome::failed;
    }
    if (brace != -1) {
        return Outcome::declined;
    }
    if (backslash == -1) {
        return Outcome::done;  // the same as its plain text, or not the raw form of it
    }
    bool declined = false;
    raw = raw_form_of(original.get(), member.text.get(), declined);
    if (declined) {
        return Outcome::declined;
    }
    if (raw) {
        member.text = std::move(original);
    }
    return Outcome::done;
}

Outcome read_member(PyObject* cue, Reading& reading) {
    if (!PyDict_CheckExact(cue)) {
        return Outcome::declined;
    }
    Member member;
    std::int64_t end = 0;
    Outcome outcome = read_time(cue, binding::names().start, member.start);
    if (outcome == Outcome::done) {
        outcome = read_time(cue, binding::names().end, end);
    }
    if (outcome != Outcome::done) {
        return outcome;
    }
    member.end = std::max(member.start, end);
    PyObject* found = nullptr;
    const int status = PyDict_GetItemRef(cue, binding::names().text, &found);
    member.text = Ref::steal(status == 0 ? PyUnicode_New(0, 0) : found);
    if (status < 0 || !member.text) {
        return Outcome::failed;
    }
    if (!PyUnicode_CheckExact(member.text.get())) {
        return Outcome::declined;
    }
    bool raw = false;
    outcome = choose_source(cue, member, raw);
    if (outcome != Outcome::done) {
        return outcome;
    }
    if (!is_plain_text(member.text.get(), raw)) {
        return Outcome::declined;
    }
    member.first_line = reading.lines.size();
    split_lines(member.text.get(), reading.lines);
    member.line_count = reading.lines.size() - member.first_line;
    reading.members.push_back(std::move(member));
    return Outcome::done;
}

// The cues of an exact list, read into `reading`, their positions added to `positions`. The
// length is read again at each step: a lookup may run Python code that changes the list.
Outcome read_members(PyObject* cues, std::vector<std::size_t>& positions, Reading& reading) {
    if (!PyList_CheckExact(cues)) {
        return Outcome::declined;
    }
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(cues); ++index) {
        const Ref cue = Ref::steal(PyList_GetItemRef(cues, index));
        if (!cue) {
            return Outcome::failed;
        }
        const Outcome outcome = read_member(cue.get(), reading);
        if (outcome != Outcome::done) {
            return outcome;
        }
        positions.push_back(reading.members.size() - 1);
    }
    return Outcome::done;
}

// A cue spanning `start` to `end` (times the format writes) and its members (writing.py's _cue).
Cue make_cue(std::int64_t start, std::int64_t end, std::vector<std::size_t> originals,
             std::vector<std::size_t> references, const std::vector<Member>& members) {
    Cue cue;
    cue.start = start;
    cue.end = std::max(start, end);
    cue.latest_member_floor = cue.start;
    cue.earliest_member_ceiling = cue.end;
    for (const auto* positions : {&originals, &references}) {
        for (const std::size_t position : *positions) {
            const Member& member = members[position];
            cue.start = std::min(cue.start, member.start);
            cue.end = std::max(cue.end, member.end);
            const std::int64_t length = member.end - member.start;
            const std::int64_t minimum = std::min(length, std::max((length + 1) / 2, shortest_cut_cue));
            cue.longest_minimum = std::max(cue.longest_minimum, minimum);
            cue.latest_member_floor = std::max(cue.latest_member_floor, member.start + minimum);
            cue.earliest_member_ceiling = std::min(cue.earliest_member_ceiling, member.end - minimum);
        }
    }
    cue.originals = std::move(originals);
    cue.references = std::move(references);
    return cue;
}

Outcome read_groups(PyObject* groups, std::vector<Cue>& cues, Reading& reading) {
    if (!PyList_CheckExact(groups)) {
        return Outcome::declined;
    }
    const auto& names = binding::names();
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(groups); ++index) {
        const Ref group = Ref::steal(PyList_GetItemRef(groups, index));
        if (!group) {
            return Outcome::failed;
        }
        if (!PyDict_CheckExact(group.get())) {
            return Outcome::declined;
        }
        std::int64_t start = 0;
        std::int64_t end = 0;
        Outcome outcome = read_time(group.get(), names.start, start);
        if (outcome == Outcome::done) {
            outcome = read_time(group.get(), names.end, end);
        }
        std::vector<std::size_t> sides[2];
        PyObject* const keys[2] = {names.original, names.reference};
        for (int side = 0; side < 2 && outcome == Outcome::done; ++side) {
            PyObject* found = nullptr;
            const int status = PyDict_GetItemRef(group.get(), keys[side], &found);
            const Ref side_cues = Ref::steal(found);
            outcome = status < 0    ? Outcome::failed
                      : status == 0 ? Outcome::declined
                                    : read_members(side_cues.get(), sides[side], reading);
        }
        if (outcome != Outcome::done) {
            return outcome;
        }
        cues.push_back(make_cue(start, end, std::move(sides[0]), std::move(sides[1]), reading.members));
    }
    return Outcome::done;
}

Outcome read_unpaired(PyObject* unpaired, bool reference, std::vector<Cue>& cues, Reading& reading) {
    std::vector<std::size_t> positions;
    const Outcome outcome = read_members(unpaired, positions, reading);
    for (const std::size_t position : positions) {
        std::vector<std::size_t> none;
        std::vector<std::size_t> one{position};
        const Member& member = reading.members[position];
        cues.push_back(reference ? make_cue(member.start, member.end, std::move(none), std::move(one), reading.members)
                                 : make_cue(member.start, member.end, std::move(one), std::move(none), reading.members));
    }
    return outcome;
}

// Placing ------------------------------------------------------------------------------------

Cue joined(Cue earlier, Cue later) {
    earlier.start = std::min(earlier.start, later.start);
    earlier.end = std::max(earlier.end, later.end);
    earlier.longest_minimum = std::max(earlier.longest_minimum, later.longest_minimum);
    earlier.latest_member_floor = std::max(earlier.latest_member_floor, later.latest_member_floor);
    earlier.earliest_member_ceiling = std::min(earlier.earliest_member_ceiling, later.earliest_member_ceiling);
    earlier.originals.insert(earlier.originals.end(), later.originals.begin(), later.originals.end());
    earlier.references.insert(earlier.references.end(), later.references.begin(), later.references.end());
    return earlier;
}

// The cues in order, none overlapping the next (writing.py's bilingual_cues), into `placed`.
// Sorted by start, end and the order they were read in: the stable sort of the Python builder,
// with no buffer to take from the system at each call.
void place_cues(std::vector<Cue>& cues, std::vector<Cue>& placed) {
    for (std::size_t index = 0; index < cues.size(); ++index) {
        cues[index].order = index;
    }
    std::sort(cues.begin(), cues.end(), [](const Cue& left, const Cue& right) {
        if (left.start != right.start) {
            return left.start < right.start;
        }
        return left.end != right.end ? left.end < right.end : left.order < right.order;
    });
    placed.reserve(cues.size());
    for (Cue& next : cues) {
        Cue cue = std::move(next);
        while (!placed.empty() && placed.back().end > cue.start) {
            Cue& before = placed.back();
            const std::int64_t cut = std::max(cue.start, before.earliest_end());
            if (cut <= std::min(before.end, cue.latest_start())) {
                before.end = cue.start = cut;
                break;
            }
            cue = joined(std::move(before), std::move(cue));
            placed.pop_back();
        }
        placed.push_back(std::move(cue));
    }
}

// What a build holds from its start to its end: the cues read and placed, and the file's bytes.
// One workspace is kept from one build to the next, emptied but with its room (a few hundred
// kilobytes for a film): made anew at each build, that room came fresh from the system, which
// took it back after each job (two hundred page faults a SubRip file of 2,000 cues). A build
// that starts while it is in use (from Python code a lookup ran) makes its own.
struct Workspace {
    Reading reading;
    std::vector<Cue> cues;
    std::vector<Cue> placed;
    std::string out;

    // Drops what was read (and the references held), keeping the room.
    void clear() noexcept {
        reading.members.clear();
        reading.lines.clear();
        cues.clear();
        placed.clear();
        out.clear();
    }
};

class LeasedWorkspace {
public:
    LeasedWorkspace() {
        if (!kept_in_use) {
            kept_in_use = true;
            workspace_ = &kept();
        } else {
            own_ = std::make_unique<Workspace>();
            workspace_ = own_.get();
        }
    }
    LeasedWorkspace(const LeasedWorkspace&) = delete;
    LeasedWorkspace& operator=(const LeasedWorkspace&) = delete;
    ~LeasedWorkspace() {
        if (!own_) {
            workspace_->clear();
            kept_in_use = false;
        }
    }
    Workspace& get() const noexcept { return *workspace_; }

private:
    static Workspace& kept() {
        static Workspace workspace;
        return workspace;
    }
    static inline bool kept_in_use = false;
    std::unique_ptr<Workspace> own_;
    Workspace* workspace_ = nullptr;
};

// Writing the texts --------------------------------------------------------------------------

void add_lines(const std::vector<std::size_t>& positions, const Reading& reading, bool coloured, std::vector<Line>& lines) {
    for (const std::size_t position : positions) {
        const Member& member = reading.members[position];
        for (std::size_t index = 0; index < member.line_count; ++index) {
            const Range& range = reading.lines[member.first_line + index];
            lines.push_back({member.text.get(), range.from, range.to, coloured});
        }
    }
}

bool is_blank(const Line& line) {
    return with_characters(line.text, [&line](const auto* chars, Py_ssize_t) {
        return std::all_of(chars + line.from, chars + line.to, [](Py_UCS4 ch) { return Py_UNICODE_ISSPACE(ch); });
    });
}

// A line a reader takes for the number of the next cue: [ \t]*\d+[ \t]*.
bool is_number(const Line& line) {
    return with_characters(line.text, [&line](const auto* chars, Py_ssize_t) {
        Py_ssize_t index = line.from;
        const auto skip_blanks = [&] {
            while (index < line.to && (chars[index] == ' ' || chars[index] == '\t')) {
                ++index;
            }
        };
        skip_blanks();
        const Py_ssize_t digits = index;
        while (index < line.to && is_digit(chars[index])) {
            ++index;
        }
        if (index == digits) {
            return false;
        }
        skip_blanks();
        return index == line.to;
    });
}

class TextWriter {
public:
    TextWriter(std::u32string colour_start, std::u32string colour_end)
        : colour_start_(std::move(colour_start)), colour_end_(std::move(colour_end)) {}

    // writing.py's _srt_text of these lines: "{\an8}" first for a SubRip cue at the top, the
    // lines made safe (_safe_lines) and joined by "\N". Valid until the next call.
    std::u32string_view text(const std::vector<Line>& lines, bool at_top) {
        text_.clear();
        if (at_top) {
            text_ += U"{\\an8}";
        }
        for (std::size_t index = 0; index < lines.size(); ++index) {
            const Line& line = lines[index];
            if (index != 0) {
                text_ += U"\\N";
            }
            if (!line.coloured && is_blank(line)) {
                text_ += zero_width_space;
                continue;
            }
            if (line.coloured) {
                text_ += colour_start_;
            }
            append_breaking_arrows(line);
            if (line.coloured) {
                text_ += colour_end_;
            }
        }
        if (lines.size() > 1 && !lines.back().coloured && is_number(lines.back())) {
            text_ += word_joiner;
        }
        return text_;
    }

private:
    // The line, each "-->" written "--" WORD JOINER ">" (left to right, as str.replace).
    void append_breaking_arrows(const Line& line) {
        with_characters(line.text, [this, &line](const auto* chars, Py_ssize_t) {
            for (Py_ssize_t index = line.from; index < line.to; ++index) {
                if (chars[index] == '-' && index + 2 < line.to && chars[index + 1] == '-' && chars[index + 2] == '>') {
                    text_ += U"--\u2060>";
                    index += 2;
                    continue;
                }
                text_ += static_cast<char32_t>(chars[index]);
            }
        });
    }

    std::u32string colour_start_;
    std::u32string colour_end_;
    std::u32string text_;
};

// The events as the Python builder gives them: a list of (start, end, text), one flag byte each.
class PythonEvents {
public:
    bool start() {
        events_ = Ref::steal(PyList_New(0));
        return static_cast<bool>(events_);
    }

    Outcome add(const Cue& cue, std::u32string_view text, char flag) {
        Ref held = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size())));
        Ref start = Ref::steal(PyLong_FromLongLong(cue.start));
        Ref end = Ref::steal(PyLong_FromLongLong(cue.end));
        if (!held || !start || !end) {
            return Outcome::failed;
        }
        Ref event = Ref::steal(PyTuple_Pack(3, start.get(), end.get(), held.get()));
        if (!event || PyList_Append(events_.get(), event.get()) < 0) {
            return Outcome::failed;
        }
        flags_ += flag;
        return Outcome::done;
    }

    // (events, flags): a new reference, or null with an exception set.
    PyObject* result() const {
        Ref flags = Ref::steal(PyBytes_FromStringAndSize(flags_.data(), static_cast<Py_ssize_t>(flags_.size())));
        return flags ? PyTuple_Pack(2, events_.get(), flags.get()) : nullptr;
    }

private:
    Ref events_;
    std::string flags_;
};

// The events written as a SubRip file, as subrip_text writes them with keep_tags, in UTF-8.
class SubripFile {
public:
    explicit SubripFile(std::string& out) : out_(out) {}

    bool start() {
        out_.reserve(1 << 16);
        return true;
    }

    Outcome add(const Cue& cue, std::u32string_view text, char) {
        return append_subrip_event(out_, ++count_, cue.start, cue.end, text, true, scratch_) ? Outcome::done
                                                                                            : Outcome::declined;
    }

    PyObject* result() const { return PyBytes_FromStringAndSize(out_.data(), static_cast<Py_ssize_t>(out_.size())); }

private:
    std::string& out_;
    std::size_t count_ = 0;
    EventScratch scratch_;
};

// writing.py's _text_events for one cue, its events given to `sink`.
template <typename Sink>
Outcome add_cue_events(Sink& sink, const Cue& cue, const Reading& reading, TextWriter& writer, bool vtt, bool split,
                       bool coloured) {
    std::vector<Line> upper;
    std::vector<Line> lower;
    add_lines(cue.originals, reading, false, upper);
    add_lines(cue.references, reading, coloured, lower);
    if (!split || upper.empty() || lower.empty()) {
        const bool top = split && upper.empty() && !lower.empty();
        upper.insert(upper.end(), lower.begin(), lower.end());
        if (vtt) {
            return sink.add(cue, writer.text(upper, false), top ? top_flag : 0);
        }
        return sink.add(cue, writer.text(upper, top), 0);
    }
    const Outcome outcome = sink.add(cue, writer.text(upper, false), 0);
    if (outcome != Outcome::done) {
        return outcome;
    }
    return sink.add(cue, writer.text(lower, !vtt), static_cast<char>(reference_style_flag | (vtt ? top_flag : 0)));
}

std::u32string ascii_u32(std::string_view text) { return std::u32string(text.begin(), text.end()); }

// The events of the alignment given to `sink`; its result, None, or null with an exception set.
template <typename Sink>
PyObject* build(Sink& sink, Workspace& workspace, PyObject* groups, PyObject* unpaired_original, PyObject* unpaired_reference, bool vtt,
                bool split, PyObject* colour) {
    std::u32string colour_start;
    std::u32string colour_end;
    const bool coloured = colour != Py_None;
    if (coloured) {
        if (!PyUnicode_CheckExact(colour) || !PyUnicode_IS_ASCII(colour)) {
            Py_RETURN_NONE;
        }
        const std::string_view value(static_cast<const char*>(PyUnicode_DATA(colour)),
                                     static_cast<std::size_t>(PyUnicode_GET_LENGTH(colour)));
        colour_start = vtt ? ascii_u32("<c.reference>") : ascii_u32("<font color=\"") + ascii_u32(value) + ascii_u32("\">");
        colour_end = vtt ? ascii_u32("</c>") : ascii_u32("</font>");
    }
    Reading& reading = workspace.reading;
    std::vector<Cue>& cues = workspace.cues;
    std::vector<Cue>& placed = workspace.placed;
    Outcome outcome = read_groups(groups, cues, reading);
    if (outcome == Outcome::done) {
        outcome = read_unpaired(unpaired_original, false, cues, reading);
    }
    if (outcome == Outcome::done) {
        outcome = read_unpaired(unpaired_reference, true, cues, reading);
    }
    if (outcome == Outcome::done) {
        place_cues(cues, placed);
    }
    if (outcome == Outcome::done && !sink.start()) {
        outcome = Outcome::failed;
    }
    TextWriter writer(std::move(colour_start), std::move(colour_end));
    for (std::size_t index = 0; index < placed.size() && outcome == Outcome::done; ++index) {
        outcome = add_cue_events(sink, placed[index], reading, writer, vtt, split, coloured);
    }
    if (outcome == Outcome::failed) {
        return nullptr;
    }
    if (outcome == Outcome::declined) {
        Py_RETURN_NONE;
    }
    return sink.result();
}

}  // namespace

PyObject* bilingual_events(PyObject* groups, PyObject* unpaired_original, PyObject* unpaired_reference, bool vtt,
                           bool split, PyObject* colour) {
    const LeasedWorkspace workspace;
    PythonEvents events;
    return build(events, workspace.get(), groups, unpaired_original, unpaired_reference, vtt, split, colour);
}

PyObject* bilingual_subrip(PyObject* groups, PyObject* unpaired_original, PyObject* unpaired_reference, bool split,
                           PyObject* colour) {
    const LeasedWorkspace workspace;
    SubripFile file(workspace.get().out);
    return build(file, workspace.get(), groups, unpaired_original, unpaired_reference, false, split, colour);
}

}  // namespace quorvel_subrip

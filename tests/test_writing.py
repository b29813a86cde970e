"""Writing bilingual subtitle files players show cleanly, retiming files in place, atomic writes."""

from __future__ import annotations

from collections import Counter
from pathlib import Path

import pysubs2
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from c_quorvel.align import pair_tracks
from c_quorvel.align import Alignment
from c_quorvel.formats import OutputError, alignment_to_subtitles, color_value, read_track
from c_quorvel.formats.fast_text import fast_bilingual_events, fast_bilingual_subrip
from c_quorvel.formats.writing import bilingual_cues, bilingual_events, python_bilingual_events, serialise_events

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
INVISIBLE = str.maketrans("", "", "\u200b\u2060")


def cue(start, end, text, original=""):
    return {"start": start, "end": end, "text": text, "original": original, "nl": text.count("\n")}


def shortest(length):
    """The model of the length rule: half a cue's length, never below 500 ms, never more than it."""
    return min(length, max((length + 1) // 2, 500))


def shown(fmt, start, end):
    """A cue's own time as the format holds it: from 0, in centiseconds for ASS."""
    def at(time):
        time = max(0, time)
        return (time + 5) // 10 * 10 if fmt == "ass" else time
    return at(start), max(at(start), at(end))


def read_back(text, fmt):
    """(start, end, lines) of each event of a written file, invisible escapes removed."""
    subs = pysubs2.SSAFile.from_string(text, fmt)
    return [(event.start, event.end, [line.translate(INVISIBLE).strip() for line in event.plaintext.split("\n")])
            for event in subs.events]


def check_bilingual_file(alignment, fmt, layout):
    text = alignment_to_subtitles(alignment, fmt, layout=layout, color_reference="cyan")
    events = read_back(text, fmt)

    # The file holds the cues the writer built, one event each (two in the split layout).
    expected = []
    for built in bilingual_cues(alignment, fmt):
        upper = [line for member in built.originals for line in member["text"].split("\n")]
        lower = [line for member in built.references for line in member["text"].split("\n")]
        if layout == "split" and upper and lower:
            expected += [(built.start, built.end, upper), (built.start, built.end, lower)]
        else:
            expected.append((built.start, built.end, upper + lower))
    assert sorted(events) == sorted(expected)

    # No overlap: each cue (both halves of a split cue share its times) ends before the next starts.
    windows = sorted({(start, end) for start, end, _ in events})
    assert all(end <= start for (_, end), (start, _) in zip(windows, windows[1:])), windows
    assert all(start <= end for start, end in windows)

    # Every input line exactly once, shown during at least the model's share of its own time.
    members = [*alignment.unpaired_original, *alignment.unpaired_reference]
    members += [member for group in alignment.groups for member in (*group["original"], *group["reference"])]
    assert Counter(line for _, _, lines in events for line in lines) == Counter(
        line for member in members for line in member["text"].split("\n"))
    window_of = {line: (start, end) for start, end, lines in events for line in lines}
    for member in members:
        own_start, own_end = shown(fmt, member["start"], member["end"])
        start, end = window_of[member["text"].split("\n")[0]]
        assert min(end, own_end) - max(start, own_start) >= shortest(own_end - own_start), (member, start, end)


def tracks(prefix):
    # Plain lines and lines in italics (the raw text a subtitle file gives), some of them hostile.
    forms = st.sampled_from(["{}", "{}\n{}b", "{}", "{}\n\n{}b", "{} --> 00:00:01,000", "{}\n7"])
    cue_strategy = st.tuples(st.integers(-3000, 40000), st.integers(0, 6000), forms, st.booleans())

    def made(n, start, length, form, italic):
        text = form.format(f"{prefix}{n}", f"{prefix}{n}")
        return cue(start, start + length, text, r"{\i1}" + text.replace("\n", r"\N") + r"{\i0}" if italic else "")

    return st.lists(cue_strategy, max_size=25).map(lambda cues: [made(n, *drawn) for n, drawn in enumerate(cues)])


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(tracks("o"), tracks("r"), st.sampled_from([0, 300, 1000]))
def test_bilingual_files_never_overlap_and_keep_every_line_once(original, reference, margin):
    alignment = pair_tracks(original, reference, margin=margin)
    for fmt in ("srt", "vtt", "ass"):
        for layout in ("stacked", "split"):
            check_bilingual_file(alignment, fmt, layout)


def test_the_sample_pair_and_chains_of_overlaps_are_written_cleanly():
    sample = pair_tracks(read_track(EXAMPLES / "original.srt"), read_track(EXAMPLES / "reference.srt"))
    chain = Alignment(  # each cue overlaps the next; short ones cannot be cut and are joined
        groups=[],
        unpaired_original=[cue(0, 3000, "a"), cue(2000, 2400, "b"), cue(2300, 2600, "c"), cue(2500, 9000, "d")],
        unpaired_reference=[cue(8800, 9900, "e"), cue(-5000, -4000, "f")],
    )
    for alignment in (sample, chain):
        for fmt in ("srt", "vtt", "ass"):
            for layout in ("stacked", "split"):
                check_bilingual_file(alignment, fmt, layout)
    assert [(built.start, built.end, [m["text"] for m in built.originals + built.references])
            for built in bilingual_cues(chain)] == [
        (0, 0, ["f"]), (0, 2000, ["a"]), (2000, 2600, ["b", "c"]), (2600, 8800, ["d"]), (8800, 9900, ["e"]),
    ]


def test_layouts_colours_and_the_inputs_own_styling():
    alignment = Alignment(
        groups=[{"start": 1000, "end": 4000, "original": [cue(1000, 4000, "Hi\nthere", r"{\i1}Hi\Nthere{\i0}")],
                 "reference": [cue(1000, 3000, "Salut", r"{\c&H0000FF&}Salut")]}],
        unpaired_original=[cue(5000, 6000, "Sign", r"{\an8}Sign")],
        unpaired_reference=[],
    )
    for fmt, layout, colour, written in [
        ("srt", "stacked", None, '<i>Hi</i>\n<i>there</i>\n<font color="#ff0000">Salut</font>\n\n'),
        ("srt", "stacked", "Yellow", '<i>there</i>\n<font color="#ffff00"><font color="#ff0000">Salut</font></font>\n\n'),
        ("srt", "split", "#0f0", '2\n00:00:01,000 --> 00:00:04,000\n{\\an8}<font color="#00ff00">'),
        ("srt", "split", None, "00:00:05,000 --> 00:00:06,000\n{\\an8}Sign\n"),
        ("vtt", "split", "cyan", "STYLE\n::cue(.reference) {\n  color: #00ffff;\n}"),
        ("vtt", "split", "cyan", "00:00:01.000 --> 00:00:04.000 line:0\n<c.reference>Salut</c>\n"),
        ("vtt", "stacked", None, "00:00:05.000 --> 00:00:06.000 line:0\nSign\n"),
        ("ass", "stacked", "#102030", r"Original,,0,0,0,,{\i1}Hi\Nthere{\i0}\N{\rReference}{\c&H0000FF&}Salut"),
        ("ass", "stacked", "#102030", "Style: Reference,Arial,20,&H00302010,"),
        ("ass", "split", None, "&H0078E6FF,&H000000FF,&H00000000,&H00000000,0,-1,0,0,100,100,0,0,1,2,2,8,"),
        ("ass", "split", None, r"Dialogue: 0,0:00:05.00,0:00:06.00,Original,,0,0,0,,{\an8}Sign"),
    ]:
        assert written in alignment_to_subtitles(alignment, fmt, layout=layout, color_reference=colour), (fmt, layout, colour)


def test_colour_values_and_bad_choices():
    assert [color_value(text) for text in ("#AbCdEf", " yellow ", "#fa0", "Light Grey")] == [
        "#abcdef", "#ffff00", "#ffaa00", "#d3d3d3"]
    for bad in ("#12345", "yelow", "", "rgb(1,2,3)"):
        with pytest.raises(ValueError, match="not a colour"):
            color_value(bad)
    with pytest.raises(ValueError, match="unknown layout 'top'"):
        alignment_to_subtitles(Alignment([], [], []), "srt", layout="top")


# The native builder of SubRip and WebVTT events against the Python one, its reference: the same
# events or None (the Python builder then), and the same file either way. Each drawn value says
# whether the native builder must take it: plain texts, originals and times are its to build.
PLAIN_PIECES = ["a", "Bé", "日本", "42", " ", "\t", "", "-->", "--->", "10:30", "JOHN:", "7", "\u2028", "\u00a0", "\u0663"]
ODD_PIECES = ["{b}", "a}", "<i>", "\\N", "C:\\x", "\r", "1:02:03,4", "00:01.000", "3:1."]


@st.composite
def drawn_cue(draw):
    plain = True
    pieces = []
    for _ in range(draw(st.integers(1, 4))):
        odd = draw(st.integers(0, 9)) == 0
        plain &= not odd
        pieces.append(draw(st.sampled_from(ODD_PIECES if odd else PLAIN_PIECES)))
        pieces.append(draw(st.sampled_from([" ", "\n"])))  # no piece runs into the next
    text = "".join(pieces)
    start, length = draw(st.integers(-3000, 30000)), draw(st.integers(0, 6000))
    member = {"start": start, "end": start + length, "text": text, "original": "", "nl": 0}
    kind = draw(st.integers(0, 14))
    if kind == 0:
        member["original"] = r"{\i1}" + text.replace("\n", r"\N")
    elif kind == 1:
        member["original"] = text.replace("\n", r"\N")
    elif kind == 2:
        member["original"] = 5
    elif kind == 3:
        member["start"] = float(start)
    elif kind == 4:
        member["end"] = 360_000_000  # past what SubRip holds: the Python builder's error
    elif kind == 5:
        member["original"] = text
    elif kind == 6:
        del member["original"]
    plain &= kind >= 5
    return member, plain


@st.composite
def drawn_alignment(draw):
    plain = True

    def members(most):
        nonlocal plain
        drawn = draw(st.lists(drawn_cue(), max_size=most))
        plain &= all(ok for _, ok in drawn)
        return [member for member, _ in drawn]

    groups = []
    for _ in range(draw(st.integers(0, 6))):
        original, reference = members(3), members(3)
        start = draw(st.integers(-1000, 30000))
        groups.append({"start": start, "end": start + draw(st.integers(0, 8000)), "original": original, "reference": reference})
    return Alignment(groups, members(6), members(6)), plain


def outcome(call):
    try:
        return call()
    except OutputError as exc:
        return ("OutputError", str(exc))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(drawn_alignment(), st.sampled_from(["srt", "vtt"]), st.sampled_from(["stacked", "split"]),
       st.sampled_from([None, "#ff0000", "cyan"]))
def test_native_bilingual_events_are_the_python_builders(drawn, fmt, layout, colour):
    alignment, plain = drawn
    expected = outcome(lambda: python_bilingual_events(alignment, fmt, layout=layout, color_reference=colour))
    built = fast_bilingual_events(alignment, fmt, layout, None if colour is None else color_value(colour))
    assert built is not None or not plain
    if built is not None:
        assert bilingual_events(alignment, fmt, layout=layout, color_reference=colour) == expected
        assert len(built[1]) == len(built[0])
    file_text = outcome(lambda: alignment_to_subtitles(alignment, fmt, layout=layout, color_reference=colour))
    assert file_text == outcome(lambda: serialise_events(expected, fmt, layout=layout, color_reference=colour)
                                if isinstance(expected, list) else expected)
    if fmt == "srt":  # the file's bytes, written natively from the same events
        data = fast_bilingual_subrip(alignment, layout, None if colour is None else color_value(colour))
        assert data is not None or not plain
        assert data is None or data == file_text.encode("utf-8")
    assert fast_bilingual_events(alignment, "ass", layout, None) is None


def test_native_bilingual_events_agree_or_decline_for_each_piece_alone():
    # Each piece and raw form in a cue of its own (a drawn alignment mixes them, and one odd cue
    # hands the whole alignment back).
    for piece in PLAIN_PIECES + ODD_PIECES:
        for text in (piece, f"x {piece}\n{piece} y"):
            for original in ("", text, text.replace("\n", r"\N"), r"{\i1}" + text, None):
                alignment = Alignment([], [{"start": 0, "end": 900, "text": text, "original": original}],
                                      [{"start": 100, "end": 800, "text": text, "original": original}])
                for fmt, layout in (("srt", "split"), ("vtt", "stacked")):
                    built = fast_bilingual_events(alignment, fmt, layout, "#ff0000")
                    if built is not None:
                        assert bilingual_events(alignment, fmt, layout=layout, color_reference="#ff0000") == \
                            python_bilingual_events(alignment, fmt, layout=layout, color_reference="#ff0000"), (text, original)


def test_native_bilingual_file_keeps_ties_in_order_and_survives_a_build_started_inside_it():
    """The native builder keeps one workspace from build to build: cues with the same times keep
    the order they were read in, and a build started while one runs (from Python code a lookup
    runs) works in a workspace of its own, leaving the first one's cues alone."""
    def alignment_of(texts, start=0):
        return Alignment([], [{"start": start, "end": start + 900, "text": text, "original": ""} for text in texts],
                         [{"start": start, "end": start + 900, "text": text.upper(), "original": ""} for text in texts])

    def reference_bytes(alignment):
        return serialise_events(python_bilingual_events(alignment, "srt"), "srt").encode("utf-8")

    inner = alignment_of(["inner one", "inner two"], start=5000)
    inner_built = []

    class Reentering:
        """A key that a lookup of "start" compares with, which builds another file meanwhile."""

        def __hash__(self):
            return hash("start")

        def __eq__(self, other):
            inner_built.append(fast_bilingual_subrip(inner, "stacked", None))
            return False

    ties = alignment_of(["first", "second", "third", "fourth"])
    outer = alignment_of(["outer one", "outer two", "outer three"])
    outer.unpaired_original[1] = {Reentering(): 0, **outer.unpaired_original[1]}
    for alignment in (ties, outer, ties):
        expected = reference_bytes(alignment)
        inner_built.clear()
        assert fast_bilingual_subrip(alignment, "stacked", None) == expected
        assert bool(inner_built) == (alignment is outer)  # the native lookup ran the key's code
        assert all(built == reference_bytes(inner) for built in inner_built)


HOSTILE_TEXTS = [
    "00:00:05,000 --> 00:00:06,000",
    "before\n00:00:05,000 --> 00:00:06,000\nafter",
    "12\n00:00:05.000 --> 00:00:06.000",
    "00:05.000 --> 00:06.000 line:0",
    "an arrow --> inside",
    "-->",
    "two stamps 01:02:03,004 and 05:06:07.008",
    "first\n\nsecond",
    "\nblank first",
    "blank last\n",
    "  \n \t",
    "3",
    "<i>not a tag</i> < b",
    "{\\an8} braces \\N and a backslash",
    "WEBVTT\nNOTE\nSTYLE",
    "1\n2",
    "text\n42",  # last: a reader takes a file's last line of digits for the number of a cue
]


# Braces, a backslash before n, N or h (and in WebVTT "<") are written as look-alikes, or they would be tags.
LOOKALIKES = str.maketrans({"\uff5b": "{", "\uff5d": "}", "\u29f5": "\\", "\uff1c": "<"})


def lines_of(text):
    return [line.translate(INVISIBLE).translate(LOOKALIKES).strip() for line in text.split("\n")]


@pytest.mark.parametrize("fmt", ["srt", "vtt", "ass", "ssa"])
def test_texts_never_become_structure(fmt):
    """Cue texts holding timing lines, arrows, blank lines or numbers read back cue for cue, line for line."""
    from c_quorvel.formats import track_to_text

    track = [cue(1000 * (2 * n + 1), 1000 * (2 * n + 2), text) for n, text in enumerate(HOSTILE_TEXTS)]
    for written in (
        track_to_text(track, fmt),
        alignment_to_subtitles(Alignment([], track, []), fmt),
        alignment_to_subtitles(Alignment([{"start": c["start"], "end": c["end"], "original": [c], "reference": [cue(c["start"], c["end"], "x")]}
                                          for c in track], [], []), fmt, layout="split"),
    ):
        events = [event for event in pysubs2.SSAFile.from_string(written, fmt) if event.plaintext != "x"]
        assert [lines_of(event.plaintext) for event in events] == [lines_of(text) for text in HOSTILE_TEXTS]
        assert [(event.start, event.end) for event in events] == [(c["start"], c["end"]) for c in track]
    if fmt in ("srt", "vtt"):
        # What a player's reader sees: a timing line holds the arrow; a blank line ends a cue.
        blocks = track_to_text(track, fmt).split("\n\n")
        cues = [block for block in blocks if "-->" in block]
        assert len(cues) == len(track) and all(block.count("-->") == 1 for block in cues)


def test_atomic_writes_replace_whole_or_leave_the_old_file(tmp_path):
    import os
    import stat
    import subprocess
    import sys

    from c_quorvel.formats import OutputError, write_alignment, write_text_atomically, write_track

    old = tmp_path / "out.json"
    old.write_text("old content\n", encoding="utf-8")
    os.chmod(old, 0o640)
    write_text_atomically(old, "new ✓\n")
    assert old.read_bytes() == "new ✓\n".encode() and stat.S_IMODE(old.stat().st_mode) == 0o640
    link = tmp_path / "link.srt"
    link.symlink_to(old)
    write_text_atomically(link, "through the link\n")
    assert link.is_symlink() and old.read_text(encoding="utf-8") == "through the link\n"

    def unchanged():
        assert old.read_text(encoding="utf-8") == "through the link\n"
        assert sorted(path.name for path in tmp_path.iterdir()) == ["link.srt", "out.json"]

    surrogate = Alignment([], [cue(0, 1, "\ud800")], [])
    for write in (
        lambda: write_alignment(surrogate, old),
        lambda: write_track([cue(0, 1, "a\ud800")], link, to="srt"),
        lambda: write_text_atomically(old, "Ç", encoding="ascii"),
    ):
        with pytest.raises(OutputError) as caught:
            write()
        assert "\n" not in str(caught.value) and "cannot write" in str(caught.value), caught.value
        unchanged()
    with pytest.raises(OutputError, match=r"out\.json: cannot write: the text holds '\\ud800' \(a lone surrogate\)"):
        write_alignment(surrogate, old)

    # A file-size limit stops the write part way, in a process of its own.
    script = (
        "import resource, sys\n"
        "from c_quorvel.formats import OutputError, write_text_atomically\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
        "try:\n"
        "    write_text_atomically(sys.argv[1], 'x' * 100000)\n"
        "except OutputError as exc:\n"
        "    print(exc)\n"
    )
    result = subprocess.run([sys.executable, "-c", script, str(old)], capture_output=True, text=True, timeout=60)
    assert result.stdout == f"{old}: cannot write: File too large\n", result
    unchanged()

    (tmp_path / "file").write_text("", encoding="utf-8")
    for where, reason in [("missing/out.srt", "No such file or directory"), ("file/out.srt", "Not a directory")]:
        with pytest.raises(OutputError, match=f"{where}: cannot write: {reason}"):
            write_text_atomically(tmp_path / where, "new")
    (tmp_path / "file").unlink()
    if os.geteuid() != 0:  # the superuser writes anywhere
        os.chmod(tmp_path, 0o500)
        try:
            with pytest.raises(OutputError, match=r"out\.json: cannot write: Permission denied"):
                write_text_atomically(old, "new")
        finally:
            os.chmod(tmp_path, 0o700)
        unchanged()

    # A pipe or a device (/dev/null, /dev/stdout) is no file a rename could replace: it is written to.
    import threading

    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    got = []
    reader = threading.Thread(target=lambda: got.append(pipe.read_bytes()), daemon=True)
    reader.start()
    write_text_atomically(pipe, "through the pipe\n")
    reader.join(30)
    assert got == [b"through the pipe\n"] and stat.S_ISFIFO(pipe.stat().st_mode)


STYLED_ASS = r"""[Script Info]
Title: Styled sample
ScriptType: v4.00+
PlayResX: 1920
PlayResY: 1080
WrapStyle: 0

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding
Style: Default,Georgia,64,&H00FFFFFF,&H000000FF,&H00101010,&H80000000,0,0,0,0,100,100,0,0,1,3,1,2,60,60,40,1
Style: Sign,Arial,48,&H0000FFFF,&H000000FF,&H00000000,&H00000000,-1,0,0,0,100,100,0,0,1,2,0,8,10,10,10,1

[Events]
Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text
Comment: 0,0:00:00.50,0:00:01.00,Default,Notes,0,0,0,,timing checked on the blu-ray
Dialogue: 0,0:00:01.00,0:00:03.20,Default,Anna,0,0,0,,{\i1}Where{\i0} were you\Nlast night?
Dialogue: 1,0:00:03.50,0:00:05.80,Sign,,0,0,20,,{\pos(960,80)\c&H00FF00&}LIBRARY
Dialogue: 0,0:00:09.00,0:00:11.00,Default,Marc,0,0,0,Banner;30,I was with Marc.
Dialogue: 0,0:00:12.00,0:00:14.00,Default,Anna,0,0,0,,Since when?
"""

TAGGED_SRT = (
    "1\r\n00:00:01,000 --> 00:00:03,200\r\n<font color=\"#ff0000\">Where</font> were you?\r\n\r\n"
    "2\r\n00:00:03,500 --> 00:00:05,800\r\n{\\an8}<i>I told you</i>\r\n\r\n"
    "3\r\n00:00:09,000 --> 00:00:11,000 X1:10 X2:20\r\n<b>Fine.</b>\r\nI was with Marc.\r\n\r\n"
    "4\r\n00:00:12,000 --> 00:00:14,000\r\n<u>Since when?</u>\r\n"
)

TAGGED_VTT = (
    "WEBVTT\n\nNOTE made by hand\n\ncue-one\n00:01.000 --> 00:03.200 line:0 align:start\n<c.yellow>Where</c> were you?\n\n"
    "00:00:09.000 --> 00:00:11.000\n<v Marc>I was with Marc.\n"
)


def document(text, fmt, name="input"):
    from c_quorvel.formats import Document

    subs = pysubs2.SSAFile.from_string(text, fmt)
    track = [cue(event.start, event.end, event.plaintext, event.text) for event in subs.events if event.is_text]
    return Document(f"{name}.{fmt}", fmt, text, track, subs)


def a_map_with_a_break():
    from c_quorvel.align import TimeMap, TimeSegment
    from c_quorvel.limits import INT32_MIN, TIME_END

    # +1.5 s up to 10 s, then -0.5 s at 25/24 speed; a cue moves with the segment of its start.
    return TimeMap((TimeSegment(INT32_MIN, 10000, 1.0, 1500.0), TimeSegment(10000, TIME_END, 25 / 24, -500.0)))


def test_retimed_ass_changes_only_the_times():
    from c_quorvel.formats import retimed_text

    time_map = a_map_with_a_break()
    source = document(STYLED_ASS, "ass")
    for fmt in ("ass", None):
        written = pysubs2.SSAFile.from_string(retimed_text(source, time_map, fmt), "ass")
        assert written.info == source.subs.info and written.info["PlayResX"] == "1920"
        assert written.styles == source.subs.styles and written.styles["Default"].fontname == "Georgia"
        assert written.styles["Default"].fontsize == 64
        moved = time_map.apply([{"start": event.start, "end": event.end} for event in source.subs.events])
        assert len(written.events) == len(source.subs.events) == 5
        for before, after, times in zip(source.subs.events, written.events, moved):
            assert after.as_dict() | {"start": 0, "end": 0} == before.as_dict() | {"start": 0, "end": 0}
            assert (after.start, after.end) == ((times["start"] + 5) // 10 * 10, (times["end"] + 5) // 10 * 10)
    assert [event.type for event in written.events][:1] == ["Comment"] and written.events[1].name == "Anna"
    assert [(event.start, event.end) for event in written.events[3:]] == [(10500, 12500), (12000, 14080)]


@pytest.mark.parametrize("text, fmt", [(TAGGED_SRT, "srt"), (TAGGED_VTT, "vtt")])
def test_retimed_srt_and_vtt_keep_every_byte_but_the_times(text, fmt):
    from c_quorvel.formats import retimed_text

    time_map = a_map_with_a_break()
    written = retimed_text(document(text, fmt), time_map)
    reader = pysubs2.formats.get_format_class(fmt)
    before, after = text.splitlines(keepends=True), written.splitlines(keepends=True)
    assert len(before) == len(after)
    timing = [index for index, line in enumerate(before) if len(reader.TIMESTAMP.findall(line)) == 2]
    assert [line for index, line in enumerate(before) if index not in timing] == [
        line for index, line in enumerate(after) if index not in timing]
    for index in timing:  # the times alone change; the arrow and the cue settings stay
        assert reader.TIMESTAMP.sub("T", before[index]) == reader.TIMESTAMP.sub("T", after[index])
    source, result = pysubs2.SSAFile.from_string(text, fmt), pysubs2.SSAFile.from_string(written, fmt)
    moved = time_map.apply([{"start": event.start, "end": event.end} for event in source.events])
    assert [(event.start, event.end, event.text) for event in result.events] == [
        (times["start"], times["end"], event.text) for times, event in zip(moved, source.events)]


def test_retimed_times_before_zero_conversions_and_refusals(tmp_path):
    from c_quorvel.align import TimeMap
    from c_quorvel.formats import Document, OutputError, retimed_text, write_retimed

    back = TimeMap.linear(-3500)
    srt = document(TAGGED_SRT, "srt")
    # A player shows nothing before 0: a start moved there is shown from 0, a cue wholly before
    # it keeps its place as a cue of no length at 0.
    result = pysubs2.SSAFile.from_string(retimed_text(srt, back), "srt")
    assert [(event.start, event.end) for event in result.events] == [(0, 0), (0, 2300), (5500, 7500), (8500, 10500)]
    json_document = Document("t.json", "json", "", [cue(1000, 4000, "a", "<a>"), cue(5000, 6000, "b")])
    import json
    assert json.loads(retimed_text(json_document, back)) == [cue(0, 500, "a", "<a>"), cue(1500, 2500, "b")]

    # Another format of RETIME_FORMATS converts; the extension tells it, or ``to``.
    write_retimed(srt, TimeMap.linear(1000), tmp_path / "out.ass")
    converted = pysubs2.load(str(tmp_path / "out.ass"))
    assert [(event.start, event.plaintext) for event in converted.events][:2] == [(2000, "Where were you?"), (4500, "I told you")]
    write_retimed(json_document, TimeMap.linear(1000), tmp_path / "out.txt", to="srt")
    assert [event.start for event in pysubs2.load(str(tmp_path / "out.txt"), format_="srt").events] == [2000, 6000]
    for fmt in ("ttml", "sami"):
        with pytest.raises(OutputError, match=f"cannot write a retimed track as {fmt} \\(can write: json, srt, vtt"):
            retimed_text(srt, back, fmt)
    with pytest.raises(OutputError, match="lies past the last time srt can hold"):
        retimed_text(srt, TimeMap.linear(100 * 3600 * 1000))

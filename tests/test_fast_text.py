"""The fast SubRip/WebVTT reader and writer against pysubs2, their reference: the same answer or
None (pysubs2's road then), never a different one."""

from __future__ import annotations

import ast
import json
import random
import warnings
from pathlib import Path

import pysubs2
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from c_quorvel import _subrip
from c_quorvel.formats.fast_text import (
    fast_intervals,
    fast_json,
    fast_subtitles,
    python_intervals,
    python_subtitles,
)

ROOT = Path(__file__).resolve().parent.parent
FORMATS = ("srt", "vtt")
LIBRARY_FAILED = "pysubs2 raised"


def library_intervals(text: str, fmt: str):
    """What the pysubs2 road of formats.reading builds, or LIBRARY_FAILED."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            subs = pysubs2.SSAFile.from_string(text, fmt)
    except Exception:
        return LIBRARY_FAILED
    return [
        {"start": event.start, "end": event.end, "text": event.plaintext, "original": event.text,
         "nl": event.plaintext.count("\n")}
        for event in subs.events if event.is_text
    ]


def library_subtitles(events, fmt: str) -> str:
    subs = pysubs2.SSAFile()
    subs.events = [pysubs2.SSAEvent(start=start, end=end, text=text) for start, end, text in events]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return subs.to_string(fmt)


def reads_alike(text: str, fmt: str) -> tuple[bool, bool]:
    """Checks both fast roads' reading of ``text`` against pysubs2's; tells which took it (the
    native scan, the Python road)."""
    expected = library_intervals(text, fmt)
    taken = []
    for road in (fast_intervals, python_intervals):
        fast = road(text, fmt)
        taken.append(fast is not None)
        if fast is not None:
            assert fast == expected, (road.__name__, fmt, text)
            assert all(cue["start"] <= cue["end"] for cue in expected)
    return _subrip.scan_cues(text, fmt == "vtt") is not None, taken[1]


# -- files: the repository's samples and the subtitle texts written into its tests ------------

def repository_texts() -> list[tuple[str, str]]:
    texts = [(path.name, path.read_text(encoding="utf-8-sig"))
             for path in sorted((ROOT / "examples").rglob("*")) if path.suffix in (".srt", ".vtt")]
    for module in sorted((ROOT / "tests").glob("test_*.py")):
        for node in ast.walk(ast.parse(module.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Constant) and isinstance(node.value, str) and "-->" in node.value:
                texts.append((module.name, node.value))
    return texts


def test_repository_files_read_alike_and_take_the_fast_road():
    texts = repository_texts()
    assert len(texts) >= 5
    for name, text in texts:
        for fmt in FORMATS:
            reads_alike(text, fmt)
    for name, text in texts[:3]:  # the examples: well-formed, so never handed back
        assert reads_alike(text, "vtt" if name.endswith(".vtt") else "srt") == (True, True), name


# -- generated files and mutations of them ------------------------------------------------------

LINE_PIECES = ["Hello", "there", "é à ü", "日本語", "42", "-", "...", "<i>", "</i>", "< b >", "</ u>",
               "<s>", '<font color="#ff0000">', "</font>", "<c.yellow>", "{\\an8}", "{note}", "\\N", "\\h",
               "a\\nb", "C:\\path", "  ", "\t", "\u00a0", "<", ">", "{", "}", "3"]


def random_line(rng: random.Random, pieces: list[str] = LINE_PIECES) -> str:
    return " ".join(rng.choice(pieces) for _ in range(rng.randint(1, 4)))


def stamp(ms: int, mark: str, hours_digits: int = 2) -> str:
    return f"{ms // 3_600_000:0{hours_digits}d}:{ms // 60_000 % 60:02d}:{ms // 1000 % 60:02d}{mark}{ms % 1000:03d}"


def random_file(rng: random.Random, fmt: str) -> list[str]:
    """The lines of a well-formed file of a few cues."""
    mark = "," if fmt == "srt" else "."
    lines = ["WEBVTT", ""] if fmt == "vtt" else []
    time = rng.randint(0, 5000)
    for number in range(1, rng.randint(2, 8)):
        start, time = time, time + rng.randint(0, 6000)
        lines += [str(number), f"{stamp(start, mark)} --> {stamp(time, mark)}"]
        lines += [random_line(rng) for _ in range(rng.randint(1, 3))] + [""]
        time += rng.randint(0, 2000)
    return lines


def mutate(rng: random.Random, lines: list[str], fmt: str) -> str:
    """A valid-looking variation of a file: one to three edits of the kinds real files show."""
    lines = list(lines)
    for _ in range(rng.randint(1, 3)):
        at = rng.randrange(len(lines))
        timing = [k for k, line in enumerate(lines) if "-->" in line] or [at]
        cue = rng.choice(timing)
        kind = rng.randrange(24)
        if kind == 0:
            lines.insert(at, "")  # extra blank line
        elif kind == 1:
            lines[at] = lines[at] + rng.choice(["", " ", "\t", "\u00a0"])  # trailing blanks
        elif kind == 2 and cue > 0 and lines[cue - 1].isdigit():
            lines[cue - 1] = str(int(lines[cue - 1]) + rng.randint(1, 50))  # numbering gap
        elif kind == 3 and cue > 0 and lines[cue - 1].isdigit():
            del lines[cue - 1]  # missing number
        elif kind == 4:
            lines[cue] = lines[cue].replace(",", ".") if "," in lines[cue] else lines[cue].replace(".", ",")
        elif kind == 5:
            lines[cue] += rng.choice([" align:start position:10%", " line:0 size:50%", "  X1:100 X2:200", "\tvertical:rl"])
        elif kind == 6:
            lines.insert(at, rng.choice(["NOTE a remark", "NOTE\nspanning two lines", "STYLE\n::cue { color: red }"]))
        elif kind == 7:
            lines[cue] = rng.choice(["1", "100", "0", "-0", "0000", "99999"]) + lines[cue][2:]  # hours
        elif kind == 8:
            lines[cue] = "-" + lines[cue]  # negative-looking time
        elif kind == 9:
            lines[cue] = lines[cue].replace(" --> ", rng.choice(["-->", " -> ", " --> -", "  -->  "]))
        elif kind == 10:
            first, _, second = lines[cue].partition(" --> ")
            lines[cue] = f"{second.split(' ')[0]} --> {first}"  # end before start
        elif kind == 11:
            lines[cue] = lines[cue][:-1]  # two-digit fraction
        elif kind == 12:
            lines[cue] = lines[cue][3:]  # no hours
        elif kind == 13:
            lines.insert(at, rng.choice(["00:00:01,000", "at 00:00:02.500 sharp", "00:01.000 --> 00:02.000 00:03.000"]))
        elif kind == 14:
            lines[at] = rng.choice(["42", " 7 ", "\u0663", "12 13"])  # number-like text line
        elif kind == 15:
            lines[cue] = lines[cue].replace("0", "\u0660", 1)  # a non-ASCII digit
        elif kind == 16:
            lines[at] = "{\\p1}m 0 0 l 10 10{\\p0}" if rng.random() < 0.5 else lines[at] + "\\p"  # drawing
        elif kind == 17:
            lines[at] = lines[at] + "\r"  # a stray carriage return left in a line
        elif kind == 18:
            del lines[at]
        elif kind == 19:
            lines[at] = rng.choice(["<i>one", "two</i>", "<b>x</b>", "<font\ncolor=red>", "< i >a< / i >", "<u></u>"])
        elif kind == 20:
            lines.insert(cue + 1, "")  # a cue with no text before its blank line
        elif kind == 21:
            lines[cue] = lines[cue].replace(":", "", 1)
        elif kind == 22:
            lines.insert(0, "\ufeff" if rng.random() < 0.5 else "WEBVTT")
        else:
            lines[at] = random_line(rng, LINE_PIECES + ["1:2", "at 10:30.", "\u0661:\u0662"])
    text = "\n".join(lines)
    ending = rng.randrange(4)
    text = text + "\n" if ending == 0 else text + "\n\n\n" if ending == 1 else text.rstrip("\n") if ending == 2 else text
    if rng.random() < 0.1:
        text = "\ufeff" + text
    if rng.random() < 0.1:  # CRLF, normalised as the reading road does before parsing
        text = text.replace("\n", "\r\n").replace("\r\n", "\n")
    return text


@pytest.mark.parametrize("fmt", FORMATS)
def test_generated_and_mutated_files_read_alike(fmt):
    rng = random.Random(f"fast-text-{fmt}")
    whole = [0, 0]
    mutated = [0, 0]
    for _ in range(1500):
        lines = random_file(rng, fmt)
        for road, taken in enumerate(reads_alike("\n".join(lines) + "\n", fmt)):
            whole[road] += taken
        for road, taken in enumerate(reads_alike(mutate(rng, lines, fmt), fmt)):
            mutated[road] += taken
    assert whole == [1500, 1500]  # every well-formed file takes both fast roads
    # Many variations are taken by each road, the others handed back.
    assert 300 < mutated[0] < 1500 and 300 < mutated[1] < 1500, mutated


@pytest.mark.parametrize("fmt", FORMATS)
def test_files_read_alike_at_every_character_width(fmt):
    """The scan reads a text at the width it is stored in and makes each cue's strings at theirs:
    the same files with their widest character (before the first cue and in cue texts) ASCII,
    Latin-1, of the basic plane and beyond it."""
    rng = random.Random(f"widths-{fmt}")
    taken = 0
    for _ in range(300):
        lines = random_file(rng, fmt)
        well_formed = "\n".join(lines) + "\n"
        for text in (well_formed, mutate(rng, lines, fmt)):
            for widest in ("e", "\u00ff", "\u65e5", "\U0001f60a"):
                widened = f"{widest}\n" + text.replace("é", widest).replace("日", widest)
                taken += reads_alike(widened, fmt)[0] and text is well_formed
    assert taken == 4 * 300


@pytest.mark.parametrize(
    "text, fmt",
    [
        ("1\n00:00:02,000 --> 00:00:01,000\nBackwards\n", "srt"),  # end before start
        ("no cues here\n", "srt"),
        ("", "vtt"),
        ("WEBVTT\n\n9999:00:00.000 --> 9999:00:01.000\nBeyond 32 bits\n", "vtt"),
        ("1\n00:00:01,000 --> 00:00:02,000\nfine\n", "ass"),  # not a format of this reader
    ],
)
def test_what_the_reading_road_refuses_is_handed_back(text, fmt):
    assert fast_intervals(text, fmt) is None
    assert python_intervals(text, fmt) is None


# -- the writer --------------------------------------------------------------------------------

TEXT_PIECES = ["{\\p1}", "{\\p0}", "\\p", "Hello", " ", "é", "\\N", "\\n", "\\h", "{\\i1}", "{\\i0}", "{\\b1}", "{\\u1}", "{\\s1}", "{\\s0}",
               "{\\an8}", "{\\rDefault}", "{\\i1\\u1}", "{\\r}", "{\\rOther}", "{\\i2}", "{\\fnArial\\s1}", "{\\b1\\i0}", "{\\u0}", "{", "}", "\n", "\n\n", "<i>", "a", "7"]
MAX_SUBRIP_TIME = 100 * 3_600_000 - 1
texts = st.lists(st.sampled_from(TEXT_PIECES), max_size=6).map("".join)
in_range_events = st.lists(st.tuples(st.integers(0, MAX_SUBRIP_TIME), st.integers(0, MAX_SUBRIP_TIME), texts), max_size=8)


@settings(max_examples=300, deadline=None)
@given(events=in_range_events, fmt=st.sampled_from(FORMATS))
def test_writer_gives_pysubs2s_bytes_on_both_roads(events, fmt):
    expected = library_subtitles(events, fmt)
    assert fast_subtitles(events, fmt) == expected
    in_order = sorted(events, key=lambda event: event[0]) if fmt == "vtt" else events
    assert python_subtitles(in_order, fmt) == expected
    native = _subrip.subrip_text(in_order, fmt == "vtt")
    assert native == expected or (native is None and any("\\p" in text for _, _, text in events))


# What the bilingual writer hands over: SubRip and WebVTT tags, a position block, the invisible
# marks that break structure, and whatever a cue's own text brings (blocks, escapes, blanks).
KEPT_TAG_PIECES = ["<i>", "</i>", '<font color="#ffe678">', "</font>", "<c.reference>", "</c>", "{\\an8}", "{\\i1}",
                   "{\\p1}", "\\p", "{", "}", "\\N", "\\n", "\\h", "\n", "\n\n", " ", "\u3000", "\x1c", "\u2060",
                   "\u200b", "\uff1c", "--\u2060>", "00:\u206001:02,003", "Word", "é", "7"]
kept_tag_events = st.lists(
    st.tuples(st.integers(0, MAX_SUBRIP_TIME), st.integers(0, MAX_SUBRIP_TIME),
              st.lists(st.sampled_from(KEPT_TAG_PIECES), max_size=8).map("".join)),
    max_size=8,
)


@settings(max_examples=300, deadline=None)
@given(events=kept_tag_events, fmt=st.sampled_from(FORMATS))
def test_writer_keeping_tags_gives_pysubs2s_bytes_on_both_roads(events, fmt):
    subs = pysubs2.SSAFile()
    subs.events = [pysubs2.SSAEvent(start=start, end=end, text=text, style="Other") for start, end, text in events]
    expected = subs.to_string(fmt, keep_ssa_tags=True)
    assert fast_subtitles(events, fmt, keep_tags=True) == expected
    in_order = sorted(events, key=lambda event: event[0]) if fmt == "vtt" else events
    assert python_subtitles(in_order, fmt, keep_tags=True) == expected
    native = _subrip.subrip_text(in_order, fmt == "vtt", True)
    assert native == expected or (native is None and any("\\p" in text for _, _, text in events))


@pytest.mark.parametrize(
    "events",
    [
        [(-1, 1000, "before zero")],
        [(0, MAX_SUBRIP_TIME + 1, "past 99 hours")],
        [(0.5, 1000, "a float time")],
        [(0, True, "a bool time")],
        [(0, 1000)],
    ],
)
def test_writer_hands_back_what_pysubs2_clamps_or_skips(events):
    for fmt in FORMATS:
        assert fast_subtitles(events, fmt) is None
        assert python_subtitles(events, fmt) is None
    assert fast_subtitles([(0, 1, "fine")], "ass") is None


def test_read_then_written_gives_pysubs2s_round_trip():
    rng = random.Random("round-trip")
    for fmt in FORMATS:
        for _ in range(200):
            text = "\n".join(random_file(rng, fmt)) + "\n"
            cues = fast_intervals(text, fmt)
            events = [(cue["start"], cue["end"], cue["original"]) for cue in cues]
            assert fast_subtitles(events, fmt) == pysubs2.SSAFile.from_string(text, fmt).to_string(fmt)


# -- JSON ----------------------------------------------------------------------------------------

json_leaves = st.one_of(st.text(), st.integers(-(2**63), 2**63 - 1), st.booleans(), st.none())
json_trees = st.recursive(
    json_leaves,
    lambda children: st.one_of(st.lists(children, max_size=4), st.dictionaries(st.text(max_size=5), children, max_size=4)),
    max_leaves=20,
)


@settings(max_examples=300, deadline=None)
@given(value=json_trees | st.just(["\ud800 lone", {"k\x00": "é\n\u2028😊"}]))
def test_json_gives_json_dumps_text(value):
    assert fast_json(value) == json.dumps(value, indent=2, ensure_ascii=False)


@settings(max_examples=100, deadline=None)
@given(value=json_trees | st.sampled_from([["\ud800 lone", {"k\x00": "é\n\u2028😊"}], {"low": "\udc80"}]),
       final_newline=st.booleans())
def test_json_with_a_final_newline_and_as_utf8_is_json_dumps_text_so_written(value, final_newline):
    text = json.dumps(value, indent=2, ensure_ascii=False) + ("\n" if final_newline else "")
    assert fast_json(value, final_newline=final_newline) == text
    try:
        expected = text.encode("utf-8")
    except UnicodeEncodeError:
        expected = None  # a lone surrogate: left to the text road, which names the writer's error
    assert fast_json(value, final_newline=final_newline, utf8=True) == expected


@pytest.mark.parametrize("value", [1.5, {1: "int key"}, [2**64], [{"a": [0.0]}], [True, 1.0]])
def test_json_leaves_what_it_does_not_write_to_json_dumps(value):
    assert fast_json(value) is None


# Pieces that put each escape class and each character width at every place of the eight
# characters the writer looks at together.
JSON_TEXT_PIECES = ["abcdefg", "h", '"', "\\", "\n", "\r", "\t", "\b", "\f", "\x00", "\x1f", "\x7f", "/", " ", "é", "ÿ",
                    "€", "\u2028", "\U0001f600"]
json_texts = st.lists(st.sampled_from(JSON_TEXT_PIECES), max_size=14).map("".join)
# Keys an alignment repeats (their written prefixes are kept), keys of every kind, keys too long
# to keep.
json_keys = st.sampled_from(["start", "end", "text", "original", "nl", "reference", "x" * 70]) | json_texts
json_documents = st.recursive(
    json_texts | st.integers(-(2**63), 2**63 - 1) | st.sampled_from([0, 9, 10, -1, 2**62, None, True, False]),
    lambda children: st.one_of(st.lists(children, max_size=5), st.dictionaries(json_keys, children, max_size=6)),
    max_leaves=40,
)


def nested(depth: int) -> object:
    value: object = "deepest"
    for level in range(depth):
        value = [value] if level % 2 else {"start": value}
    return value


@settings(max_examples=300, deadline=None)
@given(value=json_documents | st.sampled_from([nested(99), nested(100), nested(101), {f"k{n}": n for n in range(80)}]))
def test_json_of_escapes_widths_repeated_keys_and_depths_is_json_dumps_text_on_both_roads(value):
    text = json.dumps(value, indent=2, ensure_ascii=False)
    for utf8, expected in ((False, text), (True, text.encode("utf-8"))):
        written = fast_json(value, utf8=utf8)
        assert written == expected or (written is None and value == nested(101))

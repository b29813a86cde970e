"""Reading track files: formats, encodings, line endings, refusals and notes."""

from __future__ import annotations

import codecs
import io
import json
import shutil
import sys
import warnings
from pathlib import Path

import pysubs2
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from c_quorvel.formats import TrackError, read_document, read_track

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
REFERENCE_SRT = EXAMPLES / "reference.srt"
FORMATS = EXAMPLES / "formats"
DATA = Path(__file__).resolve().parent / "data"
# One film's track in three languages, with the legacy encoding each is usually found in.
STATION = {"ru": "cp1251", "fa": "cp1256", "nl": "cp1252"}
ENCODING_LABELS = {"cp1251": "windows-1251", "cp1256": "windows-1256", "cp1252": "windows-1252"}
SAMPLES = [REFERENCE_SRT, *(FORMATS / name for name in ("reference.vtt", "reference.ass", "reference.ttml", "reference.sub", "reference.json"))]


def write(path: Path, data: str | bytes) -> Path:
    path.write_bytes(data if isinstance(data, bytes) else data.encode("utf-8"))
    return path


def with_line_endings(text: str, ending: str) -> str:
    return text.replace("\r\n", "\n").replace("\n", ending)


def test_every_input_format_reads_the_sample_track_alike():
    expected = read_track(REFERENCE_SRT)
    assert len(expected) == 10
    for path, time_step in [
        (FORMATS / "reference.vtt", 0),
        (FORMATS / "reference.ass", 10),  # centiseconds
        (FORMATS / "reference.ttml", 0),
        (FORMATS / "reference.sub", 40),  # frames at 25 per second
        (FORMATS / "reference.json", 0),
    ]:
        track = read_track(path)
        assert [cue["text"] for cue in track] == [cue["text"] for cue in expected], path.name
        assert [cue["nl"] for cue in track] == [cue["nl"] for cue in expected], path.name
        for cue, want in zip(track, expected):
            assert abs(cue["start"] - want["start"]) <= time_step and abs(cue["end"] - want["end"]) <= time_step, path.name


def test_a_cue_becomes_an_interval_in_milliseconds_with_plain_and_raw_text():
    original = read_track(EXAMPLES / "original.srt")
    assert original[2] == {
        "start": 6100, "end": 9400, "nl": 1, "original": r"The library closes at nine.\NYou came home after midnight.",
        "text": "The library closes at nine.\nYou came home after midnight.",
    }
    door = original[6]
    assert (door["text"], door["original"], door["nl"]) == ("[A door slams upstairs]", r"{\i1}[A door slams upstairs]{\i0}", 0)


def test_format_from_content_whatever_the_name_or_as_named(tmp_path):
    # Every format, under a name that does not tell it, is told by its content.
    for sample in SAMPLES:
        unnamed = tmp_path / f"{sample.stem}-{sample.suffix[1:]}.dat"
        shutil.copy(sample, unnamed)
        assert read_document(unnamed).format == read_document(sample).format, sample.name
        assert read_track(unnamed) == read_track(sample), sample.name
    misnamed = write(tmp_path / "track.vtt", REFERENCE_SRT.read_text(encoding="utf-8"))
    assert read_track(misnamed, format="subrip") == read_track(REFERENCE_SRT)
    dfxp = tmp_path / "track.dfxp"
    shutil.copy(FORMATS / "reference.ttml", dfxp)
    assert len(read_track(dfxp)) == len(read_track(dfxp, format="dfxp")) == 10
    with pytest.raises(TrackError, match="unknown format 'docx'"):
        read_track(misnamed, format="docx")
    with pytest.raises(TrackError, match=r"blob\.bin: not a subtitle file this tool knows"):
        read_track(write(tmp_path / "blob.bin", b"\x00\x01binary"))


def test_every_line_ending_and_byte_order_mark_reads_alike(tmp_path):
    for sample in SAMPLES:
        text = sample.read_text(encoding="utf-8")
        expected = read_track(sample)
        for ending in ("\r\n", "\r", "\n"):
            for mark, encoding in [(b"", "utf-8"), (codecs.BOM_UTF8, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16-le")]:
                if sample.suffix == ".ttml" and encoding != "utf-8":
                    continue  # its XML declaration names UTF-8
                path = write(tmp_path / f"copy{sample.suffix}", mark + with_line_endings(text, ending).encode(encoding))
                document = read_document(path)
                assert document.track == expected, (sample.name, ending, mark)
                assert document.text == with_line_endings(text, ending)  # as in the file, less its mark
                if sample.suffix != ".json":
                    # The reference: pysubs2's own loader, which reads the file in text mode.
                    loaded = pysubs2.load(str(path), encoding={"utf-8": "utf-8-sig", "utf-16-le": "utf-16"}[encoding])
                    cues = sorted(((event.start, event.end, event.plaintext) for event in loaded if event.is_text), key=lambda cue: cue[0])
                    assert [(cue["start"], cue["end"], cue["text"]) for cue in document.track] == cues, (sample.name, ending)


def test_a_carriage_return_never_reaches_a_cue():
    text = "1\r\n00:00:01,000 --> 00:00:02,000\r\nHello\r\n\r\n\r\n2\r\n00:00:03,000 --> 00:00:04,000\r\nOne\r\nTwo\r\n"
    stream = io.BytesIO(text.encode("utf-8"))
    track = read_track_from_standard_input(stream)
    assert [(cue["text"], cue["nl"]) for cue in track] == [("Hello", 0), ("One\nTwo", 1)]


def read_track_from_standard_input(stream: io.BytesIO, **options):
    saved = sys.stdin
    sys.stdin = io.TextIOWrapper(stream)
    try:
        return read_track("-", **options)
    finally:
        sys.stdin = saved


def test_standard_input_is_read_as_bytes_and_named_in_messages():
    json_bytes = codecs.BOM_UTF16_LE + (FORMATS / "reference.json").read_text(encoding="utf-8").encode("utf-16-le")
    assert read_track_from_standard_input(io.BytesIO(json_bytes)) == read_track(FORMATS / "reference.json")
    with pytest.raises(TrackError, match="^standard input: the file is empty"):
        read_track_from_standard_input(io.BytesIO(b""))


@pytest.mark.parametrize("language", sorted(STATION))
def test_one_films_tracks_in_any_usual_encoding_read_as_their_utf8_versions(tmp_path, language):
    source = DATA / f"station.{language}.srt"
    text = source.read_text(encoding="utf-8")
    expected = read_track(source)
    assert len(expected) == 36
    legacy = STATION[language]
    for encoding, data, note in [
        (legacy, with_line_endings(text, "\r\n").encode(legacy), f"read as {ENCODING_LABELS[legacy]} (detected)"),
        (legacy, text.encode(legacy), f"read as {ENCODING_LABELS[legacy]} (detected)"),
        ("utf-16", text.encode("utf-16"), None),
        ("utf-16-be", codecs.BOM_UTF16_BE + with_line_endings(text, "\r\n").encode("utf-16-be"), None),
        ("utf-32", text.encode("utf-32"), None),
        ("utf-8-sig", text.encode("utf-8-sig"), None),
        ("utf-16-le", text.encode("utf-16-le"), "read as utf-16-le (detected)"),
        ("utf-16-be", with_line_endings(text, "\r\n").encode("utf-16-be"), "read as utf-16-be (detected)"),
    ]:
        path = write(tmp_path / f"station.{language}.srt", data)
        notes: list[str] = []
        assert read_track(path, notes=notes) == expected, encoding
        assert notes == ([f"{path}: {note}"] if note else []), encoding
        assert read_track(path, encoding=encoding) == expected, encoding


@pytest.mark.parametrize("language", sorted(STATION))
def test_detection_reads_every_cut_of_the_tracks_right(tmp_path, language):
    # Pins the detection's choices (the encodings it chooses among, the chaos margin): cut to its
    # first n cues, each track still reads as its UTF-8 version, from 1 cue to all 36, with either
    # line ending and with or without a blank line at the end.
    blocks = (DATA / f"station.{language}.srt").read_text(encoding="utf-8").rstrip("\n").split("\n\n")
    detected = 0
    for count in range(1, len(blocks) + 1):
        for ending in ("\n", "\r\n"):
            for tail in ("", ending):
                text = with_line_endings("\n\n".join(blocks[:count]) + "\n", ending) + tail
                legacy = text.encode(STATION[language])
                if legacy.isascii():
                    continue
                expected = read_track(write(tmp_path / "utf8.srt", text))
                assert read_track(write(tmp_path / "legacy.srt", legacy)) == expected, (count, ending, tail)
                detected += 1
    assert detected >= 4 * 30


def test_ascii_text_in_utf16_without_a_mark_is_not_taken_for_utf8(tmp_path):
    text = (EXAMPLES / "original.srt").read_text(encoding="utf-8")
    assert text.isascii()
    for encoding in ("utf-16-le", "utf-16-be"):
        notes: list[str] = []
        assert read_track(write(tmp_path / "wide.srt", text.encode(encoding)), notes=notes) == read_track(EXAMPLES / "original.srt")
        assert notes == [f"{tmp_path / 'wide.srt'}: read as {encoding} (detected)"]


def test_a_named_encoding_is_used_and_a_contradicting_mark_refused(tmp_path):
    text = "1\n00:00:01,000 --> 00:00:02,000\nDéjà vu\n"
    expected = [{"start": 1000, "end": 2000, "text": "Déjà vu", "original": "Déjà vu", "nl": 0}]
    ascii_text = text.replace("Déjà", "Deja")
    cases = [
        (text.encode("cp1252"), "cp1252", expected),
        (text.encode("utf-8-sig"), "utf-8", expected),
        (text.encode("utf-16"), "UTF-16", expected),
        (codecs.BOM_UTF8 + ascii_text.encode("ascii"), "cp1252", read_track(write(tmp_path / "a.srt", ascii_text))),
        (codecs.BOM_UTF8 + text.encode("cp1252"), "cp1252", expected),  # the mark lies: the name wins
        (codecs.BOM_UTF8 + text.encode("utf-8"), "cp1252", "starts with a UTF-8 byte-order mark but cp1252 was named for it"),
        (text.encode("utf-16"), "cp1251", "starts with a UTF-16 LE byte-order mark but cp1251 was named for it"),
        (text.encode("utf-32"), "utf-16", "starts with a UTF-32 LE byte-order mark but utf-16 was named for it"),
        (text.encode("utf-8"), "ascii", r"not ascii text \(byte 0xc3 at offset 33\)"),
        (text.encode("utf-8"), "klingon", "unknown encoding 'klingon'"),
        (text.encode("utf-8"), "rot13", "'rot13' is not a text encoding"),
        (text.encode("utf-8"), "undefined", r"cannot be read as undefined \(undefined encoding\)"),
        (codecs.BOM_UTF16_LE + b"1\x00\n", None, r"not UTF-16 LE text despite its byte-order mark \(byte 0x0a at offset 4\)"),
        (bytes(range(256)), None, "not UTF-8 text .* and its encoding cannot be told"),
    ]
    for data, encoding, want in cases:
        path = write(tmp_path / "case.srt", data)
        if isinstance(want, str):
            with pytest.raises(TrackError, match=f"^{path}: {want}"):
                read_track(path, encoding=encoding)
        else:
            assert read_track(path, encoding=encoding) == want, (data[:8], encoding)


def test_files_without_cues_and_reversed_cues_are_refused(tmp_path):
    srt = "1\n00:00:01,000 --> 00:00:02,000\nfine\n\n2\n99:99:99,999 --> 00:00:03,000\nbackwards\n"
    comments_only = (FORMATS / "reference.ass").read_text(encoding="utf-8").replace("Dialogue:", "Comment:")
    for name, data, message in [
        ("zero.srt", b"", "the file is empty"),
        ("blank.srt", codecs.BOM_UTF8 + b" \r\n\r\n", "the file is empty"),
        ("notes.srt", "just some notes\n", "no subtitle cues found in this srt file"),
        ("comments.ass", comments_only, "no subtitle cues found in this ass file"),
        ("empty.json", "[]", "no intervals found in this JSON list"),
        ("reversed.srt", srt, r"cue 2 ends before it starts \(100:40:39.999 --> 0:00:03.000\)"),
        ("reversed.vtt", "WEBVTT\n\n00:00:05.000 --> 00:00:04.000\nx\n", "cue 1 ends before it starts"),
        ("reversed.json", '[{"start": 1, "end": 2, "text": ""}, {"start": 5, "end": 4, "text": ""}]',
         r"interval #2 ends before it starts \(start 5, end 4\)"),
        ("float.json", '[{"start": 1.5, "end": 2, "text": ""}]', "interval #1: 'start' must be an integer, got 1.5"),
        ("true.json", '[{"start": true, "end": 2, "text": ""}]', "interval #1: 'start' must be an integer, got a boolean"),
        ("false.json", '[{"start": 0, "end": 2, "text": "", "nl": false}]', "interval #1: 'nl' must be an integer, got a boolean"),
        ("tags.ttml", '<?xml version="1.0" encoding="klingon"?><tt><body><div><p begin="1s" end="2s">x</p></div></body></tt>',
         "not a readable ttml file"),
    ]:
        path = write(tmp_path / name, data)
        with pytest.raises(TrackError, match=f"^{path}: {message}") as caught:
            read_track(path)
        assert "\n" not in str(caught.value)


def test_json_with_a_byte_order_mark_reads_as_without(tmp_path):
    text = (FORMATS / "reference.json").read_text(encoding="utf-8")
    expected = read_track(FORMATS / "reference.json")
    for data in (text.encode("utf-8-sig"), text.encode("utf-16"), codecs.BOM_UTF16_BE + text.encode("utf-16-be")):
        assert read_track(write(tmp_path / "marked.json", data)) == expected
        assert read_track(write(tmp_path / "marked.dat", data)) == expected  # told by content, mark and all


def test_ass_comment_lines_are_not_cues_and_do_not_count(tmp_path):
    ass = (FORMATS / "reference.ass").read_text(encoding="utf-8")
    lines = ass.split("\n")
    first = next(position for position, line in enumerate(lines) if line.startswith("Dialogue:"))
    lines.insert(first, "Comment: 0,0:00:00.00,0:00:50.00,Default,,0,0,0,,a note for the translator")
    lines.insert(first + 3, "Comment: 0,0:00:07.00,0:00:06.00,Default,,0,0,0,,a backwards comment")
    path = write(tmp_path / "commented.ass", "\n".join(lines))
    assert read_track(path) == read_track(FORMATS / "reference.ass")
    assert sum(not event.is_text for event in read_document(path).subs.events) == 2


def test_a_microdvd_frame_rate_line_is_the_frame_rate_never_a_cue(tmp_path):
    stated = write(tmp_path / "stated.sub", "{1}{1}23.976\n{24}{48}Hello\n{72}{96}World|again\n")
    without = write(tmp_path / "without.sub", "{24}{48}Hello\n{72}{96}World|again\n")
    at_23976 = [(1001, 2002, "Hello"), (3003, 4004, "World\nagain")]
    assert [(cue["start"], cue["end"], cue["text"]) for cue in read_track(stated)] == at_23976
    notes: list[str] = []
    assert [(cue["start"], cue["end"], cue["text"]) for cue in read_track(stated, fps=25, notes=notes)] == at_23976
    assert notes == [f"{stated}: read at the frame rate the file states, 23.976, not at 25"]
    assert [(cue["start"], cue["end"]) for cue in read_track(without, fps=24)] == [(1000, 2000), (3000, 4000)]
    with pytest.raises(TrackError, match="--fps"):
        read_track(without)
    for path, fps, message in [
        (write(tmp_path / "tiny.sub", "{1}{1}1e-310\n{2}{3}x\n"), None, r"frame rate 1e-310 \(stated in the file\) is not a usable"),
        (write(tmp_path / "zero.sub", "{1}{1}0\n{2}{3}x\n"), None, r"frame rate 0 \(stated in the file\) is not a usable"),
        (without, 1e-320, r"frame rate 1e-320 \(given\) is not a usable"),
        (without, float("nan"), r"frame rate nan \(given\)"),
        (without, float("inf"), r"frame rate inf \(given\)"),
        (without, -25, r"frame rate -25 \(given\)"),
        (write(tmp_path / "huge.sub", "{1}{1}25\n{2}{" + "9" * 400 + "}x\n"), None, "not a readable microdvd file"),
    ]:
        with pytest.raises(TrackError, match=f"^{path}: {message}"):
            read_track(path, fps=fps)


def test_library_warnings_become_one_line_notes_and_filters_stay(tmp_path):
    path = write(tmp_path / "gap.sub", "{1}{1}25\n{25}{50}Hello\nstray words\n{75}{100}World\n")
    filters = list(warnings.filters)
    notes = ["earlier note"]
    with warnings.catch_warnings(record=True) as escaped:
        warnings.simplefilter("always")
        track = read_track(path, notes=notes)
    assert [cue["text"] for cue in track] == ["Hello", "World"]
    assert notes == ["earlier note", f"{path}: Possible missed subtitle at line 3"]
    assert escaped == [] and warnings.filters == filters
    assert read_document(path).notes == notes[1:]


@pytest.mark.parametrize("fmt", ["srt", "vtt"])
@pytest.mark.parametrize("ending", ["\n", "\r\n", "\r"])
def test_a_fast_read_file_gets_the_library_view_the_library_road_made(tmp_path, fmt, ending):
    text = (REFERENCE_SRT if fmt == "srt" else FORMATS / "reference.vtt").read_text(encoding="utf-8")
    document = read_document(write(tmp_path / f"track.{fmt}", with_line_endings(text, ending)))
    library = pysubs2.SSAFile.from_string(with_line_endings(text, "\n"), fmt)
    assert [(event.start, event.end, event.text) for event in document.subs.events] == [
        (event.start, event.end, event.text) for event in library.events] and len(library.events) == 10


def test_warnings_not_about_the_file_are_left_to_the_filters(tmp_path, monkeypatch):
    parse = pysubs2.SSAFile.from_string

    def parse_with_a_deprecation(*args, **kwargs):
        warnings.warn("an old call", DeprecationWarning)
        return parse(*args, **kwargs)

    monkeypatch.setattr(pysubs2.SSAFile, "from_string", parse_with_a_deprecation)
    notes: list[str] = []
    with pytest.warns(DeprecationWarning, match="an old call"):
        # An ASS file: SubRip and WebVTT mostly take the fast reader, which does not call pysubs2.
        assert len(read_track(FORMATS / "reference.ass", notes=notes)) == 10
    assert notes == []


def test_a_document_keeps_the_text_and_the_library_view(tmp_path):
    crlf = write(tmp_path / "crlf.srt", codecs.BOM_UTF8 + with_line_endings(REFERENCE_SRT.read_text(encoding="utf-8"), "\r\n").encode())
    document = read_document(crlf)
    assert (document.name, document.format) == (str(crlf), "srt")
    assert document.text.startswith("1\r\n00:00:01,450") and "\ufeff" not in document.text
    assert isinstance(document.subs, pysubs2.SSAFile) and len(document.subs.events) == 10
    assert document.track == read_track(REFERENCE_SRT)
    as_json = read_document(FORMATS / "reference.json")
    assert as_json.subs is None and as_json.format == "json" and json.loads(as_json.text)[0]["start"] == 1450


MUTATIONS = st.lists(
    st.tuples(st.sampled_from(["flip", "insert", "delete", "repeat"]), st.integers(0, 10**6), st.binary(min_size=1, max_size=12)),
    min_size=1, max_size=6,
)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(sample=st.sampled_from(SAMPLES), mutations=MUTATIONS, fps=st.none() | st.floats(allow_nan=True, allow_infinity=True))
def test_a_damaged_file_reads_or_raises_one_line_track_error(tmp_path, sample, mutations, fps):
    data = bytearray(sample.read_bytes())
    for kind, where, chunk in mutations:
        where %= len(data) + 1
        if kind == "flip" and where < len(data):
            data[where] ^= chunk[0] or 0x80
        elif kind == "insert":
            data[where:where] = chunk
        elif kind == "delete":
            del data[where:where + len(chunk) * 8]
        elif kind == "repeat":
            data[where:where] = data[where:where + len(chunk) * 16]
    path = write(tmp_path / f"damaged{sample.suffix}", bytes(data))
    try:
        track = read_track(path, fps=fps)
    except TrackError as exc:
        assert "\n" not in str(exc) and str(exc).startswith(f"{path}: ")
    else:
        assert track and all(-(2**31) <= cue["start"] <= cue["end"] <= 2**31 - 1 for cue in track)

"""Reading subtitle files and JSON tracks, and writing alignments and tracks back out."""

from __future__ import annotations

import json
import shutil
from pathlib import Path

import pysubs2
import pytest

from c_quorvel.align import Alignment
from c_quorvel.formats import OutputError, TrackError, read_track, write_alignment, write_track

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
REFERENCE_SRT = EXAMPLES / "reference.srt"
FORMATS = EXAMPLES / "formats"


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


def test_format_from_content_or_override_and_frame_rate(tmp_path):
    srt_text = REFERENCE_SRT.read_text(encoding="utf-8")
    unnamed = tmp_path / "track.dat"
    unnamed.write_text(srt_text, encoding="utf-8")
    assert len(read_track(unnamed)) == 10
    misnamed = tmp_path / "track.vtt"
    misnamed.write_text(srt_text, encoding="utf-8")
    assert len(read_track(misnamed, format="srt")) == 10
    dfxp = tmp_path / "track.dfxp"
    shutil.copy(FORMATS / "reference.ttml", dfxp)
    assert len(read_track(dfxp)) == len(read_track(tmp_path / "track.dfxp", format="dfxp")) == 10

    without_rate = tmp_path / "no_rate.sub"
    without_rate.write_text("{25}{50}Hello\n{75}{100}World|again\n", encoding="utf-8")
    with pytest.raises(TrackError, match="--fps"):
        read_track(without_rate)
    assert [(cue["start"], cue["end"], cue["nl"]) for cue in read_track(without_rate, fps=25)] == [(1000, 2000, 0), (3000, 4000, 1)]


def test_encodings_byte_order_mark_and_cue_order(tmp_path):
    text = "2\n00:00:05,000 --> 00:00:06,000\nDéjà vu\n\n1\n00:00:01,000 --> 00:00:02,000\nÇa va ?\n"
    with_mark = tmp_path / "mark.srt"
    with_mark.write_bytes(b"\xef\xbb\xbf" + text.encode("utf-8"))
    legacy = tmp_path / "legacy.srt"
    legacy.write_bytes(text.encode("cp1252"))
    for track in (read_track(with_mark), read_track(legacy, encoding="cp1252")):
        # Out-of-order cues come back in order of start.
        assert [(cue["start"], cue["text"]) for cue in track] == [(1000, "Ça va ?"), (5000, "Déjà vu")]


def test_json_intervals_take_defaults_and_keep_their_fields(tmp_path):
    path = tmp_path / "track.json"
    path.write_text(json.dumps([
        {"start": 5, "end": 9, "text": "b\nc"},
        {"start": -(2**31), "end": 2**31 - 1, "text": "a", "original": "<a>", "nl": 7},
    ]), encoding="utf-8")
    assert read_track(path) == [
        {"start": -(2**31), "end": 2**31 - 1, "text": "a", "original": "<a>", "nl": 7},
        {"start": 5, "end": 9, "text": "b\nc", "original": "", "nl": 1},
    ]


def _alignment():
    def cue(start, end, text):
        return {"start": start, "end": end, "text": text, "original": "", "nl": text.count("\n")}

    return Alignment(
        groups=[
            {"start": 1000, "end": 3650, "original": [cue(1000, 3200, "Hello {there}")], "reference": [cue(1450, 3650, "Bonjour")]},
            {"start": 6100, "end": 9850, "original": [cue(6100, 9400, "One\nTwo")],
             "reference": [cue(6550, 8000, "Un"), cue(8100, 9850, "Deux")]},
        ],
        unpaired_original=[cue(4000, 5000, "[door]")],
        unpaired_reference=[cue(28500, 30500, "Sous-titres")],
    )


def test_bilingual_outputs_parse_back_with_both_tracks_lines(tmp_path):
    alignment = _alignment()
    expected = [
        (1000, "Hello {there}\nBonjour"), (4000, "[door]"), (6100, "One\nTwo\nUn\nDeux"), (28500, "Sous-titres"),
    ]
    for suffix in ("srt", "vtt", "ass"):
        path = tmp_path / f"out.{suffix}"
        write_alignment(alignment, path)
        subs = pysubs2.load(str(path))
        texts = [(event.start, event.plaintext.replace("\uff5b", "{").replace("\uff5d", "}")) for event in subs.events]
        assert texts == expected, suffix
    ass = pysubs2.load(str(tmp_path / "out.ass"))
    assert [event.style for event in ass.events] == ["Original", "Original", "Original", "Reference"]
    assert r"{\rReference}Bonjour" in ass.events[0].text

    write_alignment(alignment, tmp_path / "out.txt", to="json")
    document = json.loads((tmp_path / "out.txt").read_text(encoding="utf-8"))
    assert document == {
        "groups": alignment.groups,
        "unpaired_original": alignment.unpaired_original,
        "unpaired_reference": alignment.unpaired_reference,
    }


def test_one_track_written_and_read_back_keeps_its_cues(tmp_path):
    track = read_track(EXAMPLES / "original.srt")
    for suffix in ("srt", "vtt", "ass", "json"):
        path = tmp_path / f"copy.{suffix}"
        write_track(track, path)
        assert read_track(path) == track, suffix


def test_outputs_that_cannot_be_written(tmp_path):
    alignment = _alignment()
    for path, to, message in [
        (tmp_path / "missing" / "out.srt", None, "cannot write: No such file or directory"),
        (tmp_path / "out.docx", None, "cannot tell the output format"),
        (tmp_path / "out.srt", "sub", "known output formats"),
    ]:
        with pytest.raises(OutputError, match=message):
            write_alignment(alignment, path, to=to)

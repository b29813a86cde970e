"""Writing alignments and tracks out (reading is tested in test_reading.py)."""

from __future__ import annotations

import json
from pathlib import Path

import pysubs2
import pytest

from c_quorvel.align import Alignment
from c_quorvel.formats import OutputError, TrackError, read_track, write_alignment, write_track

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


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

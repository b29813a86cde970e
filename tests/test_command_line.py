"""The quorvel command line on the sample tracks: pairing, outputs, summary, search, errors."""

from __future__ import annotations

import json
import os
import random
import re
import subprocess
import sys
from pathlib import Path

import pysubs2
import pytest

from c_quorvel import cli

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
ORIGINAL = str(EXAMPLES / "original.srt")
REFERENCE = str(EXAMPLES / "reference.srt")


def run_module(*args, env=None, timeout=120):
    """The command line in a new interpreter, as `python -m c_quorvel` (for the process-wide margin)."""
    environment = {key: value for key, value in os.environ.items() if key != "PAIR_MARGIN"}
    environment.update(env or {})
    return subprocess.run([sys.executable, "-m", "c_quorvel", *args], capture_output=True, text=True,
                          encoding="utf-8", errors="replace", env=environment, timeout=timeout)


def test_pair_prints_the_summary_and_the_result(capsys):
    assert cli.main(["pair", ORIGINAL, REFERENCE]) == 0
    out, err = capsys.readouterr()
    document = json.loads(out)
    assert sorted(document) == ["groups", "unpaired_original", "unpaired_reference"]
    assert [cue["text"] for cue in document["unpaired_original"]] == ["[A door slams upstairs]"]
    assert [cue["text"] for cue in document["unpaired_reference"]] == ["Sous-titres : Léa Martin"]
    # The split cue and the merged cues each end up in one group.
    texts = [([cue["text"] for cue in g["original"]], [cue["text"] for cue in g["reference"]]) for g in document["groups"]]
    assert (["The library closes at nine.\nYou came home after midnight."],
            ["La bibliothèque ferme à neuf heures.", "Tu es rentré après minuit."]) in texts
    assert (["Fine. I was with Marc.", "Marc? Since when?"], ["Bon. J'étais avec Marc.\n– Marc ? Depuis quand ?"]) in texts
    assert err.splitlines() == [
        "8 groups (sound pairing, margin 1000 ms)",
        f"original {ORIGINAL}: 9 of 10 cues paired, 1 unpaired",
        f"reference {REFERENCE}: 9 of 10 cues paired, 1 unpaired",
    ]


def test_every_input_format_pairs_with_the_same_summary(capsys):
    for name in ("formats/reference.vtt", "formats/reference.ass", "formats/reference.ttml",
                 "formats/reference.sub", "formats/reference.json"):
        assert cli.main(["pair", ORIGINAL, str(EXAMPLES / name), "--to", "srt"]) == 0, name
        out, err = capsys.readouterr()
        assert err.splitlines()[0] == "8 groups (sound pairing, margin 1000 ms)", name
        assert len(pysubs2.SSAFile.from_string(out, "srt").events) == 10, name


def test_outputs_by_extension_and_by_name(tmp_path, capsys):
    for suffix in ("srt", "vtt", "ass"):
        path = tmp_path / f"bilingual.{suffix}"
        assert cli.main(["pair", ORIGINAL, REFERENCE, "-q", "-o", str(path)]) == 0
        events = pysubs2.load(str(path)).events
        assert len(events) == 10, suffix  # 8 groups and one unpaired cue of each track
        assert events[0].plaintext == "Where were you last night?\nOù étais-tu hier soir ?", suffix
    path = tmp_path / "result.json"
    assert cli.main(["pair", ORIGINAL, REFERENCE, "-q", "-o", str(path)]) == 0
    assert len(json.loads(path.read_text(encoding="utf-8"))["groups"]) == 8
    assert cli.main(["pair", ORIGINAL, REFERENCE, "-q", "--to", "vtt"]) == 0
    assert capsys.readouterr().out.startswith("WEBVTT")


def test_warning_when_many_cues_are_unpaired(capsys):
    assert cli.main(["pair", ORIGINAL, REFERENCE, "--margin", "100", "-o", os.devnull, "--to", "json"]) == 0
    warnings = [line for line in capsys.readouterr().err.splitlines() if line.startswith("warning:")]
    assert warnings and all("offset by more than the margin (100 ms" in line for line in warnings)


def test_exact_pairing_takes_its_margin_through_the_environment():
    default = run_module("pair", ORIGINAL, REFERENCE, "--exact")
    assert default.returncode == 0, default.stderr
    assert default.stderr.splitlines()[0] == "5 groups (find_intersections, margin 1000 ms)"
    assert "try without --exact" in default.stderr
    narrow = run_module("pair", ORIGINAL, REFERENCE, "--exact", "--margin", "100", "-q")
    assert len(json.loads(narrow.stdout)["groups"]) == 1
    from_environment = run_module("pair", ORIGINAL, REFERENCE, "--exact", env={"PAIR_MARGIN": "100"})
    assert from_environment.stderr.splitlines()[0] == "1 group (find_intersections, margin 100 ms)"


def test_a_loaded_module_refuses_another_margin():
    if "PAIR_MARGIN" in os.environ:
        pytest.skip("the module of this process was loaded with PAIR_MARGIN set")
    from c_quorvel import tandril
    from c_quorvel.exact import MarginError, load_tandril

    assert load_tandril(1000) is tandril and load_tandril(None) is tandril
    for other in (-1, 0, 999, 1001, 2**31 - 1):
        with pytest.raises(MarginError, match=f"another margin than {other};"):
            load_tandril(other)


def test_search_accepts_milliseconds_and_timecodes():
    for start, end in [("10000", "12500"), ("00:00:10,000", "00:00:12,500"), ("0:10", "0:12.5")]:
        result = run_module("search", ORIGINAL, start, end, "--margin", "0")
        assert [cue["text"] for cue in json.loads(result.stdout)] == ["Marc? Since when?"], result.stderr
    for text, value in [("1:02.5", 62500), ("01:00:00,001", 3600001), ("-250", -250), ("0:00.05", 50)]:
        assert cli.time_argument(text) == value
    for text in ("1:60", "1:02.5000", "ten", "1000000:00:00"):
        with pytest.raises(Exception, match="time"):
            cli.time_argument(text)


def test_version_and_installed_console_script(capsys):
    assert cli.main(["--version"]) == 0
    assert capsys.readouterr().out.startswith("quorvel 0.")
    script = Path(sys.executable).parent / "quorvel"
    assert script.exists(), "the quorvel console script is not installed beside the interpreter"
    result = subprocess.run([str(script), "--version"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stdout.startswith("quorvel 0.")


def test_bad_inputs_end_with_one_line_and_their_exit_status(tmp_path, capsys):
    def write(name, data):
        path = tmp_path / name
        path.write_bytes(data if isinstance(data, bytes) else data.encode("utf-8"))
        return str(path)

    cases = [
        (["pair", str(tmp_path / "absent.srt"), REFERENCE], 1, "absent.srt: file not found"),
        (["pair", str(tmp_path), REFERENCE], 1, "is a directory"),
        (["pair", write("notes.srt", "just some notes\n"), REFERENCE], 1, "no subtitle cues found"),
        (["pair", write("blob.bin", b"\x00\x01binary"), REFERENCE], 1, "not a subtitle file"),
        (["pair", write("latin.srt", "1\n00:00:01,000 --> 00:00:02,000\ncaf\xe9\n".encode("latin-1")), REFERENCE],
         1, "not UTF-8 text (byte 0xe9 at offset 35); name the file's encoding with --encoding"),
        (["pair", write("deep.json", "[" * 100_000 + "]" * 100_000), REFERENCE], 1, "nested too deeply"),
        (["pair", write("long.json", '[{"start": ' + "9" * 5000 + ', "end": 1, "text": ""}]'), REFERENCE],
         1, "number too long to convert"),
        (["pair", write("float.json", '[{"start": 1.5, "end": 2, "text": ""}]'), REFERENCE],
         1, "interval #1: 'start' must be an integer, got 1.5"),
        (["pair", write("big.json", '[{"start": 1, "end": 2147483648, "text": ""}]'), REFERENCE],
         1, "'end' = 2147483648 is outside the signed 32-bit range"),
        (["pair", write("object.json", "{}"), REFERENCE], 1, "expected a JSON list of interval objects"),
        (["pair", ORIGINAL, REFERENCE, "--encoding", "klingon"], 1, "unknown encoding 'klingon'"),
        (["pair", ORIGINAL, REFERENCE, "-o", str(tmp_path / "no" / "dir.srt")], 3, "cannot write: No such file"),
        (["pair", ORIGINAL, REFERENCE, "-o", str(tmp_path / "out.docx")], 3, "cannot tell the output format"),
        (["pair", ORIGINAL, REFERENCE, "--margin", "-5"], 2, "the margin must be from 0 to 2147483647"),
        (["pair", ORIGINAL, REFERENCE, "--margin", "1.5"], 2, "whole number of milliseconds"),
        (["search", ORIGINAL, "1:99", "2:00"], 2, "not a time: '1:99'"),
        (["sync", ORIGINAL, REFERENCE, "--max-offset", "-5"], 2, "the largest offset must be from 0 to 2147483647"),
        (["pair", ORIGINAL, REFERENCE, "--sync", "--max-breaks", "two"], 2, "the number of breaks must be a whole number"),
        (["pair", ORIGINAL, REFERENCE, "--sync", "--exact"], 2, "--sync works with the sound pairing only"),
        (["sync", ORIGINAL, str(EXAMPLES / "formats/reference.sub"), "-o", str(tmp_path / "out.txt")], 2,
         "cannot tell which format to write"),
        (["sync", ORIGINAL, REFERENCE, "-o", str(tmp_path / "no" / "fixed.srt")], 3, "cannot write: No such file"),
    ]
    for argv, status, message in cases:
        assert cli.main(argv) == status, argv
        err = capsys.readouterr().err
        last = err.splitlines()[-1]
        assert message in last, (argv, err)
        assert "Traceback" not in err and last.startswith("quorvel"), argv


def test_bad_pair_margin_names_the_variable_and_its_values():
    for value, reason in [("abc", "holds no number"), ("", "holds no number"), ("2147483648", "is out of range")]:
        result = run_module("pair", ORIGINAL, REFERENCE, "--exact", env={"PAIR_MARGIN": value})
        assert result.returncode == 2
        assert result.stderr.splitlines() == [
            f"quorvel: error: PAIR_MARGIN={value!r} {reason}. PAIR_MARGIN is the pairing margin in the tracks' "
            "time unit (milliseconds for subtitles), read when the native module loads: a decimal integer from "
            "-2147483648 to 2147483647, default 1000"
        ]


def test_a_terminal_that_cannot_show_the_text_gets_escapes():
    for to, escaped in [("json", "\\u00f9"), ("srt", "\\xf9")]:
        result = run_module("pair", ORIGINAL, REFERENCE, "-q", "--to", to, env={"PYTHONIOENCODING": "ascii"})
        assert result.returncode == 0, result.stderr
        assert escaped in result.stdout and result.stdout.isascii()
    assert json.loads(result.stdout if to == "json" else run_module(
        "pair", ORIGINAL, REFERENCE, "-q", env={"PYTHONIOENCODING": "ascii"}).stdout)["groups"]


def test_interrupt_exits_130_quietly(monkeypatch, capsys):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "read_track", interrupted)
    assert cli.main(["pair", ORIGINAL, REFERENCE]) == 130
    assert capsys.readouterr() == ("", "")


def test_output_is_written_at_once(monkeypatch):
    writes = []

    class CountingOutput:
        encoding = "utf-8"

        def write(self, text):
            writes.append(text)

        def flush(self):
            pass

    monkeypatch.setattr(sys, "stdout", CountingOutput())
    assert cli.main(["pair", ORIGINAL, REFERENCE, "-q"]) == 0
    assert len(writes) == 1 and json.loads(writes[0])["groups"]


def film_pair(tmp_path, suffix="srt"):
    """An English track of 300 cues and its French counterpart 7.3 s later, made for 23.976 fps
    and played at 25, with 30 s more from 00:06:40 of the English on."""
    rng = random.Random(5)
    english, french = pysubs2.SSAFile(), pysubs2.SSAFile()
    ratio, time = (24000 / 1001) / 25, 20000
    for position in range(300):
        time += rng.randint(100, 2000)
        length = rng.randint(1000, 5000)
        english.events.append(pysubs2.SSAEvent(start=time, end=time + length, text=f"line {position}"))
        start = round(ratio * (time + (30000 if time >= 400000 else 0)) + 7300)
        french.events.append(pysubs2.SSAEvent(start=start, end=start + round(ratio * length), text=f"ligne {position}"))
        time += length
    english.save(str(tmp_path / "film.en.srt"))
    french.save(str(tmp_path / f"film.fr.{suffix}"))
    return str(tmp_path / "film.en.srt"), str(tmp_path / f"film.fr.{suffix}"), english


MAP_WORDS = r"\+7\.300 s, 23\.976 → 25 fps, one break of \+30\.0 s at 00:06:4\d"


def test_sync_writes_the_reference_on_the_original_timeline(tmp_path, capsys):
    english, french, original = film_pair(tmp_path)
    fixed = tmp_path / "film.fr.fixed.srt"
    assert cli.main(["sync", english, french, "-o", str(fixed)]) == 0
    out, err = capsys.readouterr()
    assert out == ""
    assert re.fullmatch(f"{re.escape(french)} onto {re.escape(english)}: {MAP_WORDS}\n", err), err
    events = pysubs2.load(str(fixed)).events
    assert [event.text for event in events] == [f"ligne {k}" for k in range(300)]
    assert max(abs(a.start - b.start) + abs(a.end - b.end) for a, b in zip(events, original.events)) <= 4

    # The reference's own format, unless the output's extension or --to names another.
    _, french_vtt, _ = film_pair(tmp_path, "vtt")
    assert cli.main(["sync", english, french_vtt]) == 0
    assert capsys.readouterr().out.startswith("WEBVTT")
    assert cli.main(["sync", english, french_vtt, "-o", str(tmp_path / "fixed.txt")]) == 0
    assert (tmp_path / "fixed.txt").read_text(encoding="utf-8").startswith("WEBVTT")
    capsys.readouterr()
    assert cli.main(["sync", english, french_vtt, "--to", "json", "--max-breaks", "0"]) == 0
    out, err = capsys.readouterr()
    assert len(json.loads(out)) == 300 and "break" not in err


def test_pair_sync_pairs_on_the_mapped_times(tmp_path, capsys):
    english, french, original = film_pair(tmp_path)
    assert cli.main(["pair", english, french, "--sync"]) == 0
    out, err = capsys.readouterr()
    lines = err.splitlines()
    assert re.fullmatch(f"{re.escape(french)} onto {re.escape(english)}: {MAP_WORDS}", lines[0]), err
    assert lines[1:] == ["300 groups (sound pairing, margin 1000 ms)",
                         f"original {english}: 300 of 300 cues paired, 0 unpaired",
                         f"reference {french}: 300 of 300 cues paired, 0 unpaired"]
    groups = json.loads(out)["groups"]
    assert all(abs(g["reference"][0]["start"] - g["original"][0]["start"]) <= 2 for g in groups)
    # Without --sync the same tracks leave many cues unpaired, and the warning points to --sync.
    assert cli.main(["pair", english, french, "-q", "-o", str(tmp_path / "plain.json")]) == 0
    assert cli.main(["pair", english, french]) == 0
    assert "try --sync" in capsys.readouterr().err

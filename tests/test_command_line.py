"""The quorvel command line on the sample tracks: pairing, outputs, summary, search, errors."""

from __future__ import annotations

import codecs
import io
import json
import os
import random
import re
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pysubs2
import pytest

from c_quorvel import batch, cli, options, road

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


def test_search_accepts_milliseconds_seconds_and_timecodes(capsys):
    found = []
    for start, end in [("10000", "12500"), ("0:00:10,000", "00:00:12.5"), ("10s", "12.5s")]:
        assert cli.main(["search", ORIGINAL, start, end]) == 0
        found.append([cue["text"] for cue in json.loads(capsys.readouterr().out)])
    assert "Marc? Since when?" in found[0] and found[0] == found[1] == found[2]
    for text, value in [("0:01:02.5", 62500), ("01:00:00,001", 3600001), ("-250", -250), ("0:00:00.05", 50),
                        ("7.3s", 7300), ("-0:00:07,300", -7300), ("+1:00:00", 3600000), (".5s", 500)]:
        assert options.time_text(text) == value, text
    for text in ("1:02.5", "0:01:60,000", "0:60:00", "ten", "100:00:00,000", "7.3 s", "--5", "99999999999"):
        with pytest.raises(Exception, match="time"):
            options.time_text(text)


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
        (["pair", write("undecodable.srt", bytes(range(256))), REFERENCE], 1, "its encoding cannot be told"),
        (["pair", write("deep.json", "[" * 100_000 + "]" * 100_000), REFERENCE], 1, "nested too deeply"),
        (["pair", write("long.json", '[{"start": ' + "9" * 5000 + ', "end": 1, "text": ""}]'), REFERENCE],
         1, "number too long to convert"),
        (["pair", write("float.json", '[{"start": 1.5, "end": 2, "text": ""}]'), REFERENCE],
         1, "interval #1: 'start' must be an integer, got 1.5"),
        (["pair", write("big.json", '[{"start": 1, "end": 2147483648, "text": ""}]'), REFERENCE],
         1, "'end' = 2147483648 is outside the signed 32-bit range"),
        (["pair", write("object.json", "{}"), REFERENCE], 1, "expected a JSON list of interval objects"),
        (["pair", ORIGINAL, REFERENCE, "--encoding", "klingon"], 2, "unknown encoding 'klingon'"),
        (["pair", ORIGINAL, REFERENCE, "--encoding", "utf-8,klingon"], 2, "unknown encoding 'klingon'"),
        (["pair", ORIGINAL, REFERENCE, "--output-encoding", "klingon"], 2, "unknown output encoding 'klingon'"),
        (["pair", ORIGINAL, REFERENCE, "--fps", "0"], 2, "the frame rate must be a number of frames per second"),
        (["pair", ORIGINAL, REFERENCE, "--fps", "1e-320"], 2, "the frame rate must be a number of frames per second"),
        (["pair", ORIGINAL, REFERENCE, "--layout", "diagonal"], 2, "invalid choice: 'diagonal'"),
        (["pair", ORIGINAL, REFERENCE, "--color-reference", "#12"], 2, "'#12'"),
        (["pair", ORIGINAL, REFERENCE, "-o", str(tmp_path / "x.srt"), "--to", "json"], 2,
         "--to json contradicts the name"),
        (["pair", "-", "-"], 2, "only one input can be read from standard input"),
        (["pair", ORIGINAL, REFERENCE, "--shift", "1s", "--exact"], 2, "work with the sound pairing only"),
        (["pair", ORIGINAL, REFERENCE, "-o", str(tmp_path / "no" / "dir.srt")], 3, "cannot write: No such file"),
        (["pair", ORIGINAL, REFERENCE, "-o", str(tmp_path / "out.docx")], 2, "cannot tell the output format"),
        (["pair", ORIGINAL, REFERENCE, "--margin", "-5"], 2, "the margin must be from 0 to 2147483647"),
        (["pair", ORIGINAL, REFERENCE, "--margin", "1.5"], 2, "expected a whole number, got '1.5'"),
        (["search", ORIGINAL, "1:99", "2:00"], 2, "not a time: '1:99'"),
        (["sync", ORIGINAL, REFERENCE, "--max-offset", "-5"], 2, "the largest offset must be from 0 to 2147483647"),
        (["pair", ORIGINAL, REFERENCE, "--sync", "--max-breaks", "two"], 2, "expected a whole number, got 'two'"),
        (["pair", ORIGINAL, REFERENCE, "--sync", "--max-breaks", "101"], 2, "the number of breaks must be from 0 to 100"),
        (["pair", ORIGINAL, REFERENCE, "--sync", "--exact"], 2, "--sync, --shift and --rate work with the sound pairing only"),
        (["sync", ORIGINAL, str(EXAMPLES / "formats/reference.ttml"), "-o", str(tmp_path / "out.txt")], 2,
         "cannot write ttml here; sync writes json, srt, vtt, ass, ssa, microdvd, mpl2, tmp"),
        (["sync", ORIGINAL, REFERENCE, "--to", "ttml"], 2, "invalid choice: 'ttml'"),
        # Refused before any work: the missing input is never looked for.
        (["sync", str(tmp_path / "absent.srt"), REFERENCE, "-o", str(tmp_path / "x.ttml")], 2,
         "cannot write ttml here; sync writes json, srt, vtt, ass, ssa, microdvd, mpl2, tmp"),
        (["sync", REFERENCE], 2, "give the map with --shift or --rate"),
        (["sync", ORIGINAL, REFERENCE, "--rate", "0:25"], 2, "not a rate: '0:25'"),
        (["sync", ORIGINAL, REFERENCE, "--rate", "1000:1"], 2, "the rate must be a ratio from 0.01 to 100"),
        (["sync", ORIGINAL, REFERENCE, "-o", str(tmp_path / "no" / "fixed.srt")], 3, "cannot write: No such file"),
    ]
    for argv, status, message in cases:
        assert cli.main(argv) == status, argv
        err = capsys.readouterr().err
        last = err.splitlines()[-1]
        assert message in last, (argv, err)
        assert "Traceback" not in err and last.startswith("quorvel"), argv


def test_bad_pair_margin_names_the_variable_and_its_values(monkeypatch, capsys):
    for value, reason in [("abc", "holds no number"), ("", "holds no number"), ("2147483648", "is out of range")]:
        monkeypatch.setenv("PAIR_MARGIN", value)
        for command in (["pair", ORIGINAL, REFERENCE, "--exact"], ["batch", ORIGINAL, "-o", os.devnull]):
            assert cli.main(command) == 2
            assert capsys.readouterr().err.splitlines() == [
                f"quorvel: error: PAIR_MARGIN={value!r} {reason}. PAIR_MARGIN is the pairing margin in the tracks' "
                "time unit (milliseconds for subtitles), read when the native module loads: a decimal integer from "
                "-2147483648 to 2147483647, default 1000"
            ]


def test_a_terminal_that_cannot_show_the_text_gets_escapes(monkeypatch, capsys):
    for command, escaped, warned in [(["pair", "--to", "json"], "\\u00f9", False),
                                     (["pair", "--to", "srt"], "\\xf9", True),
                                     (["sync", "--shift", "1s"], "\\xf9", True)]:
        terminal = io.TextIOWrapper(io.BytesIO(), encoding="ascii")
        monkeypatch.setattr(sys, "stdout", terminal)
        assert cli.main([command[0], ORIGINAL, REFERENCE, "-q", *command[1:]] if command[0] == "pair"
                        else [*command, REFERENCE]) == 0
        written = terminal.buffer.getvalue().decode("ascii")
        assert escaped in written, command
        if command[-1] == "json":
            assert json.loads(written)["groups"]
        # Escapes that are not the format's own are told, once, with the way to keep the text.
        told = [line for line in capsys.readouterr().err.splitlines() if "backslash escapes" in line]
        assert len(told) == warned and all("--output-encoding" in line and "ascii" in line for line in told), command
    # Asked for an encoding, standard output gets it, whatever the terminal's.
    terminal = io.TextIOWrapper(io.BytesIO(), encoding="ascii")
    monkeypatch.setattr(sys, "stdout", terminal)
    assert cli.main(["pair", ORIGINAL, REFERENCE, "-q", "--to", "srt", "--output-encoding", "utf-16"]) == 0
    assert "Où étais-tu" in terminal.buffer.getvalue().decode("utf-16")


def test_interrupt_exits_130_with_one_line(monkeypatch, capsys):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(road, "read_input", interrupted)
    assert cli.main(["pair", ORIGINAL, REFERENCE]) == 130
    assert capsys.readouterr() == ("", "quorvel: interrupted\n")


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


MAP_WORDS = r"\+7\.300 s, 23\.976 → 25 fps, one break of \+30\.0 s at 00:06:4\d, confidence (?:0\.[3-9]\d|1\.00)"


def test_sync_writes_the_reference_on_the_original_timeline(tmp_path, capsys):
    english, french, original = film_pair(tmp_path)
    Path(french).write_bytes(Path(french).read_bytes().replace(b"\n", b"\r\n"))  # kept as they are
    fixed = tmp_path / "film.fr.fixed.srt"
    assert cli.main(["sync", english, french, "-o", str(fixed)]) == 0
    out, err = capsys.readouterr()
    assert out == ""
    assert re.fullmatch(f"{re.escape(french)} onto {re.escape(english)}: {MAP_WORDS}\n", err), err
    events = pysubs2.load(str(fixed)).events
    assert [event.text for event in events] == [f"ligne {k}" for k in range(300)]
    # The reference's file with its times changed and every other byte kept.
    untimed = [[line for line in path.read_bytes().split(b"\n") if b" --> " not in line] for path in (fixed, Path(french))]
    assert untimed[0] == untimed[1] and fixed.read_bytes() != Path(french).read_bytes()
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


# One set of options for every command --------------------------------------------------------


def test_options_from_the_command_line_and_from_keywords_agree(monkeypatch):
    parsed = cli.build_parser().parse_args([
        "pair", "a.srt", "b.srt", "--margin", "250", "--sync", "--max-offset", "9000", "--max-breaks", "3",
        "--force", "--encoding", "cp1251,utf-16", "--format", "srt", "--fps", "25,23.976", "--to", "ass",
        "--output-encoding", "utf-16", "--layout", "split", "--color-reference", "#ffcc00"])
    from_keywords = options.pairing_options(
        margin=250, sync=True, max_offset=9000, max_breaks=3, force=True, encodings=("cp1251", "utf-16"),
        format="srt", fps=(25, 23.976), to="ass", output_encoding="utf-16", layout="split",
        color_reference="#ffcc00")
    assert options.pairing_options(parsed) == from_keywords
    assert from_keywords.formats == ("srt", "srt") and from_keywords.encodings == ("cp1251", "utf-16")
    # A margin left out is PAIR_MARGIN's, for the command line and the library alike.
    monkeypatch.setenv("PAIR_MARGIN", "100")
    assert options.pairing_options().margin == 100
    assert options.pairing_options(cli.build_parser().parse_args(["batch", "m.csv", "-o", "out"])).margin == 100
    assert options.pairing_options(margin=7).margin == 7
    monkeypatch.delenv("PAIR_MARGIN")
    assert options.pairing_options().margin == 1000
    with pytest.raises(TypeError, match="unknown pairing option 'margins'"):
        options.pairing_options(margins=5)


@pytest.mark.parametrize("argv, said", [
    (["pair", "a.srt", "b.srt", "--sync", "--shift", "5000"], "--sync searches for the map"),
    (["pair", "a.srt", "b.srt", "--sync", "--rate", "25:24"], "--sync searches for the map"),
    (["pair", "a.srt", "b.srt", "--max-offset", "9000"], "--max-offset sets the search"),
    (["pair", "a.srt", "b.srt", "--max-breaks", "2"], "--max-breaks sets the search"),
    (["plot", "a.srt", "b.srt", "-o", "t.svg", "--force"], "--force sets the search"),
    (["sync", "b.srt", "--shift", "1s", "--max-offset", "9000"], "leave it out with --shift or --rate"),
    (["sync", "a.srt", "b.srt", "--rate", "25:24", "--force"], "--force sets the search"),
])
def test_search_settings_where_no_search_happens_are_refused(monkeypatch, capsys, argv, said):
    monkeypatch.setattr(road, "follow", lambda *args, **kwargs: pytest.fail("worked despite the options"))
    assert cli.main(argv) == 2
    err = capsys.readouterr().err
    assert err.startswith("quorvel: error: ") and said in err and err.count("\n") == 1


def test_pair_and_batch_pair_alike_and_refuse_alike(tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("PAIR_MARGIN", "100")
    (tmp_path / "pairs.csv").write_text(f"{ORIGINAL},{REFERENCE},film\n", encoding="utf-8")
    assert cli.main(["pair", ORIGINAL, REFERENCE, "-q", "-o", str(tmp_path / "film.json")]) == 0
    assert cli.main(["batch", str(tmp_path / "pairs.csv"), "-o", str(tmp_path / "out"), "--workers", "1"]) == 0
    by_pair = json.loads((tmp_path / "film.json").read_text(encoding="utf-8"))
    by_batch = json.loads((tmp_path / "out" / "film.json").read_text(encoding="utf-8"))
    assert by_pair == by_batch and len(by_pair["groups"]) < 8  # the margin of 100, not the default
    capsys.readouterr()
    for command in (["pair", ORIGINAL, REFERENCE], ["batch", str(tmp_path / "pairs.csv"), "-o", str(tmp_path / "x")]):
        assert cli.main([*command, "--margin", "-5"]) == 2
        assert capsys.readouterr().err == "quorvel: error: the margin must be from 0 to 2147483647 milliseconds, got -5\n"
    assert not (tmp_path / "x").exists()


def test_each_input_is_read_in_its_own_encoding_and_the_output_in_its_own(tmp_path, capsys):
    russian = "1\n00:00:01,000 --> 00:00:02,000\nТы придурок\n"
    (tmp_path / "ru.srt").write_bytes(russian.encode("cp1251"))
    (tmp_path / "nl.srt").write_bytes("1\n00:00:01,000 --> 00:00:02,000\nJij bent gek\n".encode("utf-16"))
    out = tmp_path / "both.srt"
    assert cli.main(["pair", str(tmp_path / "ru.srt"), str(tmp_path / "nl.srt"), "-q", "-o", str(out),
                     "--encoding", "cp1251,utf-16", "--output-encoding", "cp1251"]) == 0
    assert out.read_bytes().decode("cp1251").count("Ты придурок") == 1
    assert "Jij bent" in out.read_bytes().decode("cp1251")
    # A text the output encoding cannot hold: exit 3, one line, nothing written.
    assert cli.main(["pair", str(tmp_path / "ru.srt"), str(tmp_path / "nl.srt"), "-q", "-o", str(tmp_path / "a.srt"),
                     "--encoding", "cp1251,utf-16", "--output-encoding", "ascii"]) == 3
    assert "a.srt: cannot write: the text holds 'Ты', which ascii cannot hold" in capsys.readouterr().err and not (tmp_path / "a.srt").exists()


def test_sync_writes_the_track_stored_as_it_was(tmp_path, capsys):
    russian = "1\r\n00:00:01,000 --> 00:00:02,000\r\nГде ты был вчера вечером? Я же тебе сказала\r\n"
    mixed = russian.replace("сказала", "сказала, ça va")
    source, out = tmp_path / "in.srt", tmp_path / "out.srt"
    for text, marked, encoding, named in [
        (russian, b"", "cp1251", ["--encoding", "cp1251"]),
        (russian, b"", "cp1251", []),  # detected
        (mixed, codecs.BOM_UTF8, "utf-8", []),
        (mixed, codecs.BOM_UTF16_BE, "utf-16-be", []),
        (mixed, codecs.BOM_UTF16_LE, "utf-16-le", ["--encoding", "utf-16"]),
    ]:
        moved = text.replace("00:00:01,000 --> 00:00:02,000", "00:00:02,500 --> 00:00:03,500")
        source.write_bytes(marked + text.encode(encoding))
        assert cli.main(["sync", str(source), "--shift", "1.5s", "-o", str(out), *named]) == 0
        assert out.read_bytes() == marked + moved.encode(encoding), (encoding, named)
        # --output-encoding says otherwise: in it, with no mark.
        assert cli.main(["sync", str(source), "--shift", "1.5s", "-o", str(out), *named, "--output-encoding", "utf-8"]) == 0
        assert out.read_bytes() == moved.encode("utf-8")
    capsys.readouterr()


@pytest.mark.parametrize("name", ["base64", "zlib_codec", "undefined", "rot13", "punycode", "hex"])
def test_only_text_encodings_are_accepted_before_any_work(tmp_path, monkeypatch, capsys, name):
    monkeypatch.setattr(road, "pair_read_tracks", lambda *args: pytest.fail("paired despite the encoding"))
    out = tmp_path / "out.srt"
    for option in ("--output-encoding", "--encoding"):
        assert cli.main(["pair", ORIGINAL, REFERENCE, "-o", str(out), option, name]) == 2
        err = capsys.readouterr().err
        assert err.startswith("quorvel: error: ") and repr(name) in err and err.count("\n") == 1
    assert not out.exists()


def test_the_readers_notes_and_the_librarys_warnings_are_printed_one_line_each(tmp_path, capsys):
    latin = tmp_path / "latin.srt"
    latin.write_bytes("1\n00:00:01,000 --> 00:00:02,000\ncaf\xe9\n".encode("latin-1"))
    gap = tmp_path / "gap.sub"
    gap.write_text("{1}{1}25\n{25}{50}Hello\nstray words\n{75}{100}World\n", encoding="utf-8")
    assert cli.main(["pair", str(latin), str(gap), "-q", "-o", str(tmp_path / "out.json")]) == 0
    assert capsys.readouterr().err.splitlines() == [f"{latin}: read as windows-1252 (detected)",
                                                   f"{gap}: Possible missed subtitle at line 3"]
    assert json.loads((tmp_path / "out.json").read_text(encoding="utf-8"))["groups"][0]["original"][0]["text"] == "café"


def test_an_output_that_is_an_input_is_refused_before_any_work(tmp_path, monkeypatch, capsys):
    original = tmp_path / "original.srt"
    original.write_bytes(Path(ORIGINAL).read_bytes())
    (tmp_path / "link.srt").symlink_to(original)
    monkeypatch.chdir(tmp_path)
    before = original.read_bytes()

    def no_work(*args, **kwargs):
        raise AssertionError("read before the output was checked")

    from c_quorvel import formats

    monkeypatch.setattr(formats, "read_track", no_work)
    monkeypatch.setattr(formats, "read_document", no_work)
    for command in (["pair", str(original), REFERENCE, "-o"], ["sync", str(original), REFERENCE, "-o"],
                    ["pair", str(original), REFERENCE, "--to", "srt", "--plot"], ["plot", str(original), REFERENCE, "-o"],
                    ["sync", REFERENCE, "--shift", "1s", "-o"]):
        for spelling in (str(original), "./original.srt", str(tmp_path / "link.srt"), f"{tmp_path}/../{tmp_path.name}/original.srt"):
            target = REFERENCE if command[1] == REFERENCE else spelling
            assert cli.main([*command, target]) == 2, (command, spelling)
            err = capsys.readouterr().err
            assert err.startswith("quorvel: error: ") and " is the input " in err and err.count("\n") == 1
    assert original.read_bytes() == before


def test_bilingual_outputs_take_the_layout_and_colour(monkeypatch, tmp_path):
    from c_quorvel import formats

    calls = []

    def recorded(alignment, fmt, *, layout="stacked", color_reference=None):
        calls.append((fmt, layout, color_reference))
        return "1\n00:00:01,000 --> 00:00:02,000\nx\n"

    monkeypatch.setattr(formats, "alignment_to_subtitles", recorded)
    assert cli.main(["pair", ORIGINAL, REFERENCE, "-q", "-o", str(tmp_path / "a.vtt"), "--to", "srt"]) == 2
    assert cli.main(["pair", ORIGINAL, REFERENCE, "-q", "-o", str(tmp_path / "a.srt"),
                     "--layout", "split", "--color-reference", "#ffcc00"]) == 0
    assert calls == [("srt", "split", "#ffcc00")]
    # Each pair of a batch takes the same road in its worker, with the same options.
    parsed = cli.build_parser().parse_args(["batch", "m.csv", "-o", "out", "--layout", "split",
                                            "--color-reference", "red", "--to", "ass"])
    assert options.pairing_options(parsed) == options.pairing_options(layout="split", color_reference="red", to="ass")


def test_standard_input_and_output_by_name(capsys):
    assert cli.main(["pair", ORIGINAL, REFERENCE, "-q", "-o", "-", "--to", "vtt"]) == 0
    assert capsys.readouterr().out.startswith("WEBVTT")
    assert cli.main(["sync", REFERENCE, "--shift", "1s", "-o", "-"]) == 0
    assert pysubs2.SSAFile.from_string(capsys.readouterr().out).events[0].start == \
        pysubs2.load(REFERENCE).events[0].start + 1000
    # In a process of its own: the bytes of standard input in, the result on standard output.
    command = [sys.executable, "-m", "c_quorvel"]
    moved = subprocess.run([*command, "sync", "-", "--shift", "1s", "--format", "srt"], input=Path(REFERENCE).read_bytes(),
                           capture_output=True, timeout=120)
    assert moved.returncode == 0 and moved.stderr == b"standard input moved by hand, as out of step by -1.000 s\n", moved
    assert pysubs2.SSAFile.from_string(moved.stdout.decode()).events[0].start == pysubs2.load(REFERENCE).events[0].start + 1000
    paired = subprocess.run([*command, "pair", ORIGINAL, "-", "-q"], input=Path(REFERENCE).read_bytes(),
                            capture_output=True, timeout=120)
    assert paired.returncode == 0 and json.loads(paired.stdout)["groups"], paired


def test_a_failed_write_leaves_the_earlier_output(tmp_path, capsys):
    lone = tmp_path / "lone.json"
    lone.write_text('[{"start": 1000, "end": 2000, "text": "\\ud800"}]', encoding="utf-8")
    out = tmp_path / "out.srt"
    out.write_text("earlier\n", encoding="utf-8")
    assert cli.main(["pair", ORIGINAL, str(lone), "-q", "-o", str(out)]) == 3
    assert capsys.readouterr().err == f"quorvel: error: {out}: cannot write: the text holds '\\ud800' (a lone surrogate), which utf-8 cannot hold\n"
    assert out.read_text(encoding="utf-8") == "earlier\n" and sorted(os.listdir(tmp_path)) == ["lone.json", "out.srt"]


# Synchronisation: the map told, refused, forced, or given by hand ------------------------------


def test_the_map_is_told_with_its_confidence(tmp_path, monkeypatch, capsys):
    from c_quorvel import align

    monkeypatch.setattr(align, "synchronize", lambda *args, **kwargs: align.TimeMap(
        align.TimeMap.linear(-500).segments, confidence=0.93))
    assert cli.main(["sync", ORIGINAL, REFERENCE, "-o", str(tmp_path / "fixed.srt")]) == 0
    assert capsys.readouterr().err == f"{REFERENCE} onto {ORIGINAL}: +0.500 s, confidence 0.93\n"
    assert pysubs2.load(str(tmp_path / "fixed.srt")).events[0].start == pysubs2.load(REFERENCE).events[0].start - 500
    assert cli.main(["pair", ORIGINAL, REFERENCE, "--sync", "-o", os.devnull, "--to", "json"]) == 0
    assert capsys.readouterr().err.splitlines()[0].endswith("+0.500 s, confidence 0.93")


def test_no_reliable_map_writes_nothing_unless_forced(tmp_path, monkeypatch, capsys):
    from c_quorvel import align

    message = "no reliable map: best +20.7 s at confidence 0.12; the tracks may be unrelated"

    def refuse(*args, **kwargs):
        raise align.SyncError(message, align.TimeMap(align.TimeMap.linear(20700).segments, confidence=0.12))

    monkeypatch.setattr(align, "synchronize", refuse)
    fixed = tmp_path / "fixed.srt"
    for command in (["sync", ORIGINAL, REFERENCE, "-o", str(fixed)],
                    ["pair", ORIGINAL, REFERENCE, "--sync", "-o", str(fixed)]):
        assert cli.main(command) == 1
        assert capsys.readouterr() == ("", f"quorvel: error: {message}\n")
        assert not fixed.exists()
    assert cli.main(["sync", ORIGINAL, REFERENCE, "-o", str(fixed), "--force"]) == 0
    err = capsys.readouterr().err.splitlines()
    assert err[0] == f"warning: {message}; using the best map anyway (--force)"
    assert err[1].endswith("-20.700 s, confidence 0.12")
    assert pysubs2.load(str(fixed)).events[0].start == pysubs2.load(REFERENCE).events[0].start + 20700


def test_a_map_given_by_hand_moves_without_searching(tmp_path, monkeypatch, capsys):
    from c_quorvel import align

    monkeypatch.setattr(align, "synchronize", None)  # any search would fail
    starts = [event.start for event in pysubs2.load(REFERENCE).events]
    for command, moved in [
        (["sync", REFERENCE, "--shift", "7.3s"], [start + 7300 for start in starts]),
        (["sync", ORIGINAL, REFERENCE, "--shift", "-250"], [start - 250 for start in starts]),
        (["sync", REFERENCE, "--shift", "0:00:01,5"], [start + 1500 for start in starts]),
        (["sync", REFERENCE, "--rate", "25:23.976", "--shift", "1000"],
         [round(start * 24000 / 1001 / 25 + 1000) for start in starts]),
    ]:
        out = tmp_path / "moved.srt"
        assert cli.main([*command, "-o", str(out)]) == 0, command
        assert [event.start for event in pysubs2.load(str(out)).events] == moved, command
        assert "moved by hand" in capsys.readouterr().err
    assert options.rate_text("25:23.976") == 24000 / 1001 / 25 and options.rate_text("1.5") == 1.5
    # MicroDVD counts frames: at the input's own frame rate, else --fps's, else refused before any work.
    sub = tmp_path / "moved.sub"
    assert cli.main(["sync", REFERENCE, "--shift", "1s", "-o", str(sub)]) == 2
    assert "give the output's with --fps" in capsys.readouterr().err and not sub.exists()
    assert cli.main(["sync", REFERENCE, "--shift", "1s", "-o", str(sub), "--fps", "25"]) == 0
    written = sub.read_text(encoding="utf-8").splitlines()
    assert written[0] in ("{1}{1}25", "{1}{1}25.0") and written[1].startswith(f"{{{(starts[0] + 1000) * 25 // 1000}}}")
    again = tmp_path / "again.sub"
    assert cli.main(["sync", str(sub), "--shift=-1s", "-o", str(again)]) == 0
    # Read at the 25 fps the file states; back where they were, to a frame (40 ms).
    assert [abs(event.start - start) < 40 for event, start in zip(pysubs2.load(str(again)).events, starts)] \
        == [True] * len(starts)
    assert cli.main(["pair", ORIGINAL, REFERENCE, "--shift", "100", "-q"]) == 0
    groups = json.loads(capsys.readouterr().out)["groups"]
    assert groups[0]["reference"][0]["start"] == starts[0] + 100


# The batch command ---------------------------------------------------------------------------


from test_batch import figures, good_pairs, leftovers, write_srt  # noqa: E402,F401


def test_batch_reports_failures_suspects_progress_and_summary(tmp_path, good_pairs, capsys):
    pairs, expected = good_pairs
    src = tmp_path / "tracks"
    odd = (write_srt(src / "odd.en.srt", 20, extra=3), write_srt(src / "odd.fr.srt", 20))
    manifest = tmp_path / "pairs.csv"
    manifest.write_text("".join(f"{p[0]},{p[1]}\n" for p in (*pairs[:2], odd)) + "tracks/missing.srt,tracks/a.fr.srt\n",
                        encoding="utf-8")
    out = tmp_path / "out"
    assert cli.main(["batch", str(manifest), "-o", str(out), "--workers", "2", "--to", "vtt"]) == 1
    err = capsys.readouterr().err
    assert f"{tmp_path}/tracks/missing.srt + {tmp_path}/tracks/a.fr.srt: " in err
    assert "4/4 pairs [" in err and "\r" not in err and "Traceback" not in err
    assert "4 pairs: 3 paired, 0 up to date, 1 failed, 2 suspect (over 10% unpaired)" in err
    summary = json.loads((out / batch.SUMMARY_NAME).read_text(encoding="utf-8"))
    assert [figures(entry) for entry in summary["pairs"][:2]] == expected[:2]
    assert [entry["suspect"] for entry in summary["pairs"]] == [False, True, True, None]  # b: 2 of 10
    assert "missing.srt" in summary["pairs"][3]["error"] and summary["interrupted"] is False
    assert not os.path.exists(batch.journal_path(str(out / batch.SUMMARY_NAME)))

    # Resumed, the pairs done keep their figures in the new summary; the failed one fails again.
    assert cli.main(["batch", str(manifest), "-o", str(out), "--resume", "--to", "vtt"]) == 1
    resumed = json.loads((out / batch.SUMMARY_NAME).read_text(encoding="utf-8"))
    assert [(e["skipped"], figures(e)) for e in resumed["pairs"][:2]] == [(True, f) for f in expected[:2]]
    assert "3 up to date, 1 failed, 2 suspect" in capsys.readouterr().err


@pytest.mark.parametrize("argv, status, message", [
    (["{tmp}/nowhere.csv", "-o", "{tmp}/out"], 2, "nowhere.csv: no such file or directory"),
    (["{tmp}", "-o", "{tmp}/out"], 2, "needs two distinct languages"),
    (["{tmp}/pairs.csv", "-o", "{tmp}/out", "--summary", "{tmp}/out/a.json"], 2, "is also the output of a pair"),
    (["{tmp}/pairs.csv", "-o", "{tmp}/out", "--summary", "{tmp}/b.srt"], 2, "is the input"),
    (["{tmp}/pairs.csv", "-o", "{tmp}/out", "--summary", "{tmp}/./pairs.csv"], 2, "is the manifest"),
    (["{tmp}/pairs.csv", "-o", "{tmp}/out", "--scheduler", "tcp://127.0.0.1:1"], 4,
     "pip install 'c_quorvel[dask]'"),
    (["{tmp}/pairs.csv", "-o", "{tmp}/pairs.csv/out"], 3, "pairs.csv"),
    (["{tmp}/pairs.csv", "-o", "{tmp}/out", "--max-offset", "-1"], 2, "the largest offset must be from 0"),
    (["{tmp}/pairs.csv", "-o", "{tmp}/out", "--sync", "--exact"], 2, "work with the sound pairing only"),
])
def test_batch_refuses_to_start(tmp_path, monkeypatch, capsys, argv, status, message):
    (tmp_path / "pairs.csv").write_text("a.srt,b.srt\n", encoding="utf-8")
    monkeypatch.setitem(sys.modules, "distributed", None)  # as if the dask extra were not installed
    assert cli.main(["batch", *[arg.format(tmp=tmp_path) for arg in argv]]) == status
    err = capsys.readouterr().err
    assert err.startswith("quorvel: error: ") and message in err and err.count("\n") == 1
    assert not (tmp_path / "out").exists()
    assert (tmp_path / "pairs.csv").read_text(encoding="utf-8") == "a.srt,b.srt\n"


def test_batch_interrupted_stops_its_workers_and_keeps_the_finished_pairs(tmp_path):
    src = tmp_path / "tracks"
    pairs = [(write_srt(src / f"{k}.en.srt", 2000), write_srt(src / f"{k}.fr.srt", 2000)) for k in range(40)]
    (tmp_path / "pairs.csv").write_text("".join(f"{a},{b}\n" for a, b in pairs), encoding="utf-8")
    out = tmp_path / "out"
    script = tmp_path / "run.py"
    # The default handler, whatever the shell running the tests does with Ctrl-C.
    script.write_text(textwrap.dedent(f"""
        import signal, sys
        from c_quorvel import cli
        if __name__ == "__main__":
            signal.signal(signal.SIGINT, signal.default_int_handler)
            sys.exit(cli.main(["batch", {str(tmp_path / "pairs.csv")!r}, "-o", {str(out)!r}, "--workers", "2"]))
    """))
    process = subprocess.Popen([sys.executable, str(script)], stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        journal = batch.journal_path(str(out / batch.SUMMARY_NAME))
        while not (os.path.exists(journal) and os.path.getsize(journal) > 0):  # a pair has finished
            assert process.poll() is None and time.monotonic() < deadline
            time.sleep(0.05)
        os.killpg(process.pid, signal.SIGINT)  # as Ctrl-C does: the whole foreground group
        _, err = process.communicate(timeout=30)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    assert process.returncode == 130, err
    summary = json.loads((out / batch.SUMMARY_NAME).read_text(encoding="utf-8"))
    done = [entry for entry in summary["pairs"] if entry["error"] is None]
    assert summary["interrupted"] is True and 0 < len(done) < len(pairs)
    assert all(os.path.exists(entry["output"]) for entry in done)
    assert err == (f"quorvel batch: interrupted; {len(summary['pairs'])} of {len(pairs)} pairs finished; "
                   f"summary in {out / batch.SUMMARY_NAME}\n")
    assert leftovers(out) == []
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:  # every process of the run ends with it
        try:
            os.killpg(process.pid, 0)
        except ProcessLookupError:
            break
        time.sleep(0.1)
    else:
        pytest.fail("processes of the interrupted run are still alive")


def test_batch_resumed_after_a_kill_reports_the_figures_of_the_files_on_disk(tmp_path, good_pairs, capsys):
    pairs, expected = good_pairs
    manifest = tmp_path / "pairs.csv"
    manifest.write_text("".join(f"{p[0]},{p[1]}\n" for p in pairs[:2]), encoding="utf-8")
    out = tmp_path / "out"
    assert cli.main(["batch", str(manifest), "-o", str(out), "--workers", "1"]) == 0
    # The second pair's reference changes; a run re-pairs it, journals it, and is killed before
    # writing its summary.
    write_srt(pairs[1][1], 6)
    journal = batch.Journal(str(out / batch.SUMMARY_NAME))
    batch.pair_files([pairs[1]], out, workers=1, on_result=journal.add)
    journal.close(remove=False)
    assert cli.main(["batch", str(manifest), "-o", str(out), "--resume"]) == 0
    summary = json.loads((out / batch.SUMMARY_NAME).read_text(encoding="utf-8"))
    on_disk = json.loads((out / "b.en.json").read_text(encoding="utf-8"))
    assert [entry["skipped"] for entry in summary["pairs"]] == [True, True]
    assert figures(summary["pairs"][1])[0] == len(on_disk["groups"]) == 6 != expected[1][0]
    assert figures(summary["pairs"][0]) == expected[0]
    assert not os.path.exists(batch.journal_path(str(out / batch.SUMMARY_NAME)))

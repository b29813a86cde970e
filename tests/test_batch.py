"""Batch pairing: the API on a process pool and on Dask, manifests, failures, resume, atomic writes."""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from c_quorvel import batch
from child_process import python_command


def timecode(ms: int) -> str:
    return f"{ms // 3_600_000:02d}:{ms // 60_000 % 60:02d}:{ms // 1000 % 60:02d},{ms % 1000:03d}"


def write_srt(path, cues: int, *, shift: int = 0, extra: int = 0, word: str = "line") -> str:
    """A SubRip file of `cues` one-second cues (every 2 s, moved by `shift` ms), and `extra` cues
    far after them that nothing in another such track pairs with."""
    times = [(2000 * k + shift, 2000 * k + 1000 + shift) for k in range(cues)]
    times += [(10_000_000 + 5000 * k, 10_001_000 + 5000 * k) for k in range(extra)]
    blocks = [f"{n}\n{timecode(s)} --> {timecode(e)}\n{word} {n}\n" for n, (s, e) in enumerate(times, 1)]
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write("\n".join(blocks))
    return str(path)


def leftovers(folder) -> list[str]:
    """Temporary files left anywhere below folder."""
    return [name for _, _, files in os.walk(folder) for name in files if ".part" in name]


def figures(summary: dict) -> tuple:
    return tuple(summary[key] for key in batch.FIGURES)


@pytest.fixture
def good_pairs(tmp_path):
    """Three pairs with known figures: (pairs, expected figures in the same order)."""
    src = tmp_path / "tracks"
    pairs = [
        (write_srt(src / "a.en.srt", 5), write_srt(src / "a.fr.srt", 5, shift=200, word="ligne")),
        (write_srt(src / "b.en.srt", 8, extra=2), write_srt(src / "b.fr.srt", 8)),
        (write_srt(src / "c.en.srt", 3), write_srt(src / "c.fr.srt", 3, extra=1), "nested/c"),
    ]
    expected = [(5, 5, 5, 0, 0), (8, 8, 8, 2, 0), (3, 3, 3, 0, 1)]
    return pairs, expected


def check_results(results, pairs, expected, out_dir, suffix):
    assert [(r["first"], r["second"]) for r in results] == [(str(p[0]), str(p[1])) for p in pairs]
    assert [figures(r) for r in results] == expected
    for result, pair in zip(results, pairs):
        name = pair[2] if len(pair) == 3 else os.path.basename(pair[0]).rsplit(".", 1)[0]
        assert result["error"] is None and result["skipped"] is False
        assert result["output"] == os.path.join(str(out_dir), name + suffix)
        assert os.path.getsize(result["output"]) > 0
    assert leftovers(out_dir) == []


def test_process_pool_pairs_every_pair_in_order(tmp_path, good_pairs):
    pairs, expected = good_pairs
    seen = []
    results = batch.pair_files(pairs, tmp_path / "out", workers=2, on_result=seen.append)
    check_results(results, pairs, expected, tmp_path / "out", ".json")
    assert sorted(map(figures, seen)) == sorted(expected)
    with open(results[1]["output"], encoding="utf-8") as handle:
        written = json.load(handle)
    assert len(written["groups"]) == 8
    assert len(written["unpaired_original"]) == 2 and written["unpaired_reference"] == []


def test_dask_local_cluster_runs_the_same_code_path(tmp_path, good_pairs):
    distributed = pytest.importorskip("distributed")
    pairs, expected = good_pairs
    threads_before = {thread.name for thread in threading.enumerate()}
    # In-process: no process and no transport port; the HTTP endpoints listen on loopback only.
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address="127.0.0.1:0",
                                  worker_dashboard_address="127.0.0.1:0") as cluster:
        with distributed.Client(cluster) as client:
            results = batch.pair_files(pairs, tmp_path / "out", to="srt", executor=client.get_executor())
        manifest = tmp_path / "pairs.csv"
        manifest.write_text("".join(",".join(pair) + "\n" for pair in pairs), encoding="utf-8")
        assert run_command(str(manifest), "-o", str(tmp_path / "cli"), "--scheduler", cluster.scheduler_address) == 0
    check_results(results, pairs, expected, tmp_path / "out", ".srt")
    summary = json.loads((tmp_path / "cli" / batch.SUMMARY_NAME).read_text(encoding="utf-8"))
    assert [figures(entry) for entry in summary["pairs"]] == expected
    with open(results[0]["output"], encoding="utf-8") as handle:
        text = handle.read()
    assert "line 1" in text and "ligne 1" in text
    def left_behind() -> set[str]:
        # Dask keeps one offload thread for the whole process, to be reused by the next client.
        return {thread.name for thread in threading.enumerate()
                if thread.name not in threads_before and not thread.name.startswith("Dask-Offload")}

    deadline = time.monotonic() + 5
    while left_behind() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert left_behind() == set()


@pytest.mark.parametrize("bad_call, error, message", [
    (dict(to="txt"), ValueError, "to must be one of"),
    (dict(margin="1000"), TypeError, ""),
    (dict(margin=2**31), ValueError, ""),
    (dict(workers=0), ValueError, "workers must be a positive integer"),
    (dict(pairs=[("a.srt",)]), TypeError, "pairs[0]"),
    (dict(pairs=[("a.srt", "b.srt", "../escape")]), ValueError, "pairs[0]: output name"),
    (dict(pairs=[("a.srt", "b.srt", "folder/")]), ValueError, "pairs[0]: output name"),
    (dict(pairs=[("x/a.srt", "b.srt"), ("y/a.srt", "c.srt")]), ValueError, "pairs[0] and pairs[1]"),
    (dict(pairs=[("a.srt", "b.srt", "x"), ("c.srt", "d.srt", "./x")]), ValueError, "pairs[0] and pairs[1]"),
])
def test_bad_arguments_are_refused_before_any_work(tmp_path, bad_call, error, message):
    call = {"pairs": [("a.srt", "b.srt")], **bad_call}
    with pytest.raises(error) as caught:
        batch.pair_files(call.pop("pairs"), tmp_path / "out", **call)
    assert message in str(caught.value)
    assert not (tmp_path / "out").exists()


def test_failing_pairs_are_reported_and_do_not_stop_the_others(tmp_path, good_pairs):
    pairs, expected = good_pairs
    src = tmp_path / "tracks"
    (src / "latin1.en.srt").write_bytes("1\n00:00:01,000 --> 00:00:02,000\ncaf\xe9\n".encode("latin-1"))
    (src / "junk.en.json").write_text('{"not": "a track"}\n', encoding="utf-8")
    bad = [
        (str(src / "missing.en.srt"), pairs[0][1]),
        (str(src / "latin1.en.srt"), pairs[0][1]),
        (str(src / "junk.en.json"), pairs[0][1], "junk"),
    ]
    results = batch.pair_files([bad[0], pairs[0], bad[1], pairs[1], bad[2], pairs[2]], tmp_path / "out",
                               workers=2)
    check_results(results[1::2], pairs, expected, tmp_path / "out", ".json")
    for result, pair in zip(results[0::2], bad):
        assert pair[0] in result["error"]
        assert "\n" not in result["error"]
        assert result["output"] is None and figures(result) == (None,) * 5
    assert sorted(os.listdir(tmp_path / "out")) == ["a.en.json", "b.en.json", "nested"]


def saboteur() -> None:
    """Worker start-up: writing any result whose name holds 'poison' kills the worker half-way."""
    from c_quorvel import formats

    write = formats.write_alignment

    def write_or_die(alignment, path, *, to=None):
        if "poison" in os.path.basename(path):
            with open(path, "w", encoding="utf-8") as handle:
                handle.write('{"groups": [')
                handle.flush()
            os._exit(9)
        write(alignment, path, to=to)

    formats.write_alignment = write_or_die
    batch._ignore_interrupts()


def sabotaged_pool(workers: int) -> cf.ProcessPoolExecutor:
    import multiprocessing

    return cf.ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("forkserver"),
                                  initializer=saboteur)


def test_killed_worker_leaves_no_output_and_only_its_pair_fails(tmp_path, monkeypatch, good_pairs):
    pairs, expected = good_pairs
    poison = (pairs[0][0], pairs[0][1], "poison")
    monkeypatch.setattr(batch, "_new_pool", sabotaged_pool)
    results = batch.pair_files([pairs[0], poison, pairs[1], pairs[2]], tmp_path / "out", workers=2)
    assert results[1]["error"] == batch.ABRUPT_END and results[1]["output"] is None
    check_results(results[0:1] + results[2:], pairs, expected, tmp_path / "out", ".json")
    assert not (tmp_path / "out" / "poison.json").exists()

    # An executor of the caller's own cannot be replaced once broken: its pairs are reported failed.
    with sabotaged_pool(1) as pool:
        results = batch.pair_files([poison, pairs[1]], tmp_path / "own", executor=pool)
    assert results[0]["error"] == batch.ABRUPT_END
    assert results[1]["error"] in (None, batch.ABRUPT_END)
    assert leftovers(tmp_path / "own") == [] and not (tmp_path / "own" / "poison.json").exists()


def test_resume_skips_outputs_newer_than_both_inputs(tmp_path, good_pairs):
    pairs, expected = good_pairs
    out = tmp_path / "out"
    first = batch.pair_files(pairs, out, workers=1)
    written = {r["output"]: os.stat(r["output"]).st_mtime_ns for r in first}
    later = time.time() + 100
    os.utime(pairs[1][1], (later, later))  # the second pair's reference changed since
    os.unlink(first[2]["output"])  # the third pair's output is gone
    again = batch.pair_files(pairs, out, workers=1, resume=True)
    assert [r["skipped"] for r in again] == [True, False, False]
    assert figures(again[0]) == (None,) * 5 and again[0]["output"] == first[0]["output"]
    assert [figures(r) for r in again[1:]] == expected[1:]
    assert os.stat(first[0]["output"]).st_mtime_ns == written[first[0]["output"]]


def test_directory_manifest_matches_tracks_by_name(tmp_path):
    root = tmp_path / "films"
    for name in ["film.en.srt", "film.fr.srt", "film.de.srt", "sub/other.EN.vtt", "sub/other.fr.srt",
                 "lonely.en.srt", "notes.txt", "film.srt", ".hidden/x.en.srt", ".hidden/x.fr.srt",
                 "out/old.en.srt", "out/old.fr.srt"]:
        write_srt(root / name, 1)
    pairs, unmatched = batch.pairs_from_manifest(root, langs=("en", "fr"), exclude=root / "out")
    assert pairs == [(str(root / "film.en.srt"), str(root / "film.fr.srt"), "film"),
                     (str(root / "sub/other.EN.vtt"), str(root / "sub/other.fr.srt"), "sub/other")]
    assert unmatched == [str(root / "lonely.en.srt")]

    write_srt(root / "film.en.vtt", 1)
    with pytest.raises(batch.ManifestError, match=r"more than one en track \(film.en.srt, film.en.vtt\)"):
        batch.pairs_from_manifest(root, langs=("en", "fr"))
    with pytest.raises(batch.ManifestError, match="two distinct languages"):
        batch.pairs_from_manifest(root)
    with pytest.raises(batch.ManifestError, match="no pair of tracks"):
        batch.pairs_from_manifest(root / "sub", langs=("de", "it"))


@pytest.mark.parametrize("text, expected", [
    ("first,second,name\na.srt,b.srt\n\n# a comment\nc/x.srt, /abs/y.srt ,named\n",
     [("a.srt", "b.srt", None), ("c/x.srt", "/abs/y.srt", "named")]),
    ("\ufeffa.srt,b.srt,\n", [("a.srt", "b.srt", None)]),
    ("a.srt\n", "line 1: expected 'first,second' or 'first,second,name', got 1 cell"),
    ("a.srt,b.srt\nc.srt,,x\n", "line 2: expected"),
    ("# nothing\n", "lists no pair"),
])
def test_csv_manifest(tmp_path, text, expected):
    manifest = tmp_path / "pairs.csv"
    manifest.write_text(text, encoding="utf-8")
    if isinstance(expected, str):
        with pytest.raises(batch.ManifestError) as caught:
            batch.pairs_from_manifest(manifest)
        assert str(caught.value).startswith(str(manifest)) and expected in str(caught.value)
    else:
        pairs, unmatched = batch.pairs_from_manifest(manifest)
        assert pairs == [(os.path.join(tmp_path, a), os.path.join(tmp_path, b), n) for a, b, n in expected]
        assert unmatched == []


def run_command(*argv: str) -> int:
    parser = argparse.ArgumentParser(prog="quorvel")
    batch.add_batch_command(parser.add_subparsers(dest="command"))
    args = parser.parse_args(["batch", *argv])
    return args.run(args)


def test_command_reports_failures_progress_and_summary(tmp_path, good_pairs, capsys):
    pairs, expected = good_pairs
    manifest = tmp_path / "pairs.csv"
    manifest.write_text("".join(f"{p[0]},{p[1]}\n" for p in pairs[:2]) + "tracks/missing.srt,tracks/a.fr.srt\n",
                        encoding="utf-8")
    out = tmp_path / "out"
    assert run_command(str(manifest), "-o", str(out), "--workers", "2", "--to", "vtt") == 1
    err = capsys.readouterr().err
    assert f"{tmp_path}/tracks/missing.srt + {tmp_path}/tracks/a.fr.srt: " in err
    assert "3/3 pairs [" in err and "\r" not in err and "Traceback" not in err
    assert "3 pairs: 2 paired, 0 up to date, 1 failed" in err
    summary = json.loads((out / batch.SUMMARY_NAME).read_text(encoding="utf-8"))
    assert [figures(entry) for entry in summary["pairs"][:2]] == expected[:2]
    assert "missing.srt" in summary["pairs"][2]["error"]

    # Resumed, the pairs done keep their figures in the new summary; the failed one fails again.
    assert run_command(str(manifest), "-o", str(out), "--resume", "--to", "vtt") == 1
    resumed = json.loads((out / batch.SUMMARY_NAME).read_text(encoding="utf-8"))
    assert [(e["skipped"], figures(e)) for e in resumed["pairs"][:2]] == [(True, f) for f in expected[:2]]
    assert "2 up to date, 1 failed" in capsys.readouterr().err


@pytest.mark.parametrize("argv, status, message", [
    (["{tmp}/nowhere.csv", "-o", "{tmp}/out"], 2, "nowhere.csv: no such file or directory"),
    (["{tmp}", "-o", "{tmp}/out"], 2, "needs two distinct languages"),
    (["{tmp}/pairs.csv", "-o", "{tmp}/out", "--summary", "{tmp}/out/a.json"], 2, "is also the output of a pair"),
    (["{tmp}/pairs.csv", "-o", "{tmp}/out", "--scheduler", "tcp://127.0.0.1:1"], 4,
     "pip install 'c_quorvel[dask]'"),
    (["{tmp}/pairs.csv", "-o", "{tmp}/pairs.csv/out"], 3, "pairs.csv"),
])
def test_command_refuses_to_start(tmp_path, monkeypatch, capsys, argv, status, message):
    (tmp_path / "pairs.csv").write_text("a.srt,b.srt\n", encoding="utf-8")
    monkeypatch.setitem(sys.modules, "distributed", None)  # as if the dask extra were not installed
    assert run_command(*[arg.format(tmp=tmp_path) for arg in argv]) == status
    err = capsys.readouterr().err
    assert err.startswith("quorvel batch: error: ") and message in err and err.count("\n") == 1
    assert not (tmp_path / "out").exists()


def test_interrupt_stops_the_workers_and_exits_130(tmp_path):
    src = tmp_path / "tracks"
    pairs = [(write_srt(src / f"{k}.en.srt", 3000), write_srt(src / f"{k}.fr.srt", 3000)) for k in range(60)]
    (tmp_path / "pairs.csv").write_text("".join(f"{a},{b}\n" for a, b in pairs), encoding="utf-8")
    out = tmp_path / "out"
    script = tmp_path / "run.py"
    script.write_text(textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_batch import run_command
        if __name__ == "__main__":
            sys.exit(run_command({str(tmp_path / "pairs.csv")!r}, "-o", {str(out)!r}, "--workers", "2"))
    """))
    process = subprocess.Popen(python_command(str(script)), stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        while not (out.exists() and any(name.endswith(".json") for name in os.listdir(out))):
            assert process.poll() is None and time.monotonic() < deadline
            time.sleep(0.05)
        os.killpg(process.pid, signal.SIGINT)  # as Ctrl-C does: the whole foreground group
        _, err = process.communicate(timeout=30)
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    assert process.returncode == 130
    assert err == ""
    assert leftovers(out) == []
    assert len(os.listdir(out)) < len(pairs)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:  # every process of the run ends with it
        try:
            os.killpg(process.pid, 0)
        except ProcessLookupError:
            break
        time.sleep(0.1)
    else:
        pytest.fail("processes of the interrupted run are still alive")

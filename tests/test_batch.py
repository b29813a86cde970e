"""Batch pairing, the library: a process pool and Dask, manifests, failures, resume, atomic writes.

The batch command is tested with the other commands, in test_command_line.py."""

from __future__ import annotations

import json
import os
import threading
import time

import pytest

from c_quorvel import batch, cli, formats
from c_quorvel.manifests import ManifestError, pairs_from_manifest


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
        assert cli.main(["batch", str(manifest), "-o", str(tmp_path / "cli"), "--scheduler",
                         cluster.scheduler_address]) == 0
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
    (dict(to="txt"), ValueError, "cannot write 'txt'"),
    (dict(to="microdvd"), ValueError, "to must be one of"),
    (dict(margin=-5), ValueError, "the margin must be from 0 to 2147483647"),
    (dict(max_breaks=True), TypeError, "not 'bool'"),
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
    (src / "undecodable.en.srt").write_bytes(bytes(range(256)))
    (src / "junk.en.json").write_text('{"not": "a track"}\n', encoding="utf-8")
    bad = [
        (str(src / "missing.en.srt"), pairs[0][1]),
        (str(src / "undecodable.en.srt"), pairs[0][1]),
        (str(src / "junk.en.json"), pairs[0][1], "junk"),
    ]
    # Latin-1 is no failure: the file is read in the encoding detected, and the pair's notes say so.
    latin = src / "latin1.en.srt"
    latin.write_bytes("1\n00:00:01,000 --> 00:00:02,000\ncaf\xe9\n".encode("latin-1"))
    results = batch.pair_files([bad[0], pairs[0], bad[1], pairs[1], bad[2], pairs[2], (str(latin), pairs[0][1])],
                               tmp_path / "out", workers=2)
    check_results(results[1:6:2], pairs, expected, tmp_path / "out", ".json")
    for result, pair in zip(results[0:6:2], bad):
        assert pair[0] in result["error"]
        assert "\n" not in result["error"]
        assert result["output"] is None and figures(result) == (None,) * 5
    assert "its encoding cannot be told" in results[2]["error"]
    assert results[6]["error"] is None and results[6]["paired_original"] == 1
    assert f"{latin}: read as windows-1252 (detected)" in results[6]["notes"]
    assert sorted(os.listdir(tmp_path / "out")) == ["a.en.json", "b.en.json", "latin1.en.json", "nested"]


def saboteur() -> None:
    """Worker start-up: writing any result whose name holds 'poison' (as text, or as the bytes
    the native writers make) kills the worker half-way."""

    def sabotaged(write):
        def write_or_die(path, content, *rest):
            folder, base = os.path.split(path)
            if "poison" in base:
                with open(os.path.join(folder, formats.temporary_name(base)), "wb") as handle:
                    handle.write((content.encode("utf-8") if isinstance(content, str) else content)[:10])
                    handle.flush()
                os._exit(9)
            write(path, content, *rest)
        return write_or_die

    formats.write_text_atomically = sabotaged(formats.write_text_atomically)
    formats.write_bytes_atomically = sabotaged(formats.write_bytes_atomically)


def sabotaged_pool(workers: int):
    return batch._OwnPool(workers, prepare=saboteur)


def test_killed_worker_leaves_no_output_and_only_its_pair_fails(tmp_path, monkeypatch, good_pairs):
    pairs, expected = good_pairs
    poison = (pairs[0][0], pairs[0][1], "poison")
    monkeypatch.setattr(batch, "_new_pool", sabotaged_pool)
    results = batch.pair_files([pairs[0], poison, pairs[1], pairs[2]], tmp_path / "out", workers=2)
    assert results[1]["error"] == batch.ABRUPT_END and results[1]["output"] is None
    check_results(results[0:1] + results[2:], pairs, expected, tmp_path / "out", ".json")
    assert not (tmp_path / "out" / "poison.json").exists()

    # An executor of the caller's own cannot be replaced once broken: its pairs are reported failed.
    with sabotaged_pool(1).executor as pool:
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
    pairs, unmatched = pairs_from_manifest(root, langs=("en", "fr"), exclude=root / "out")
    assert pairs == [(str(root / "film.en.srt"), str(root / "film.fr.srt"), "film"),
                     (str(root / "sub/other.EN.vtt"), str(root / "sub/other.fr.srt"), "sub/other")]
    assert unmatched == [str(root / "lonely.en.srt")]

    write_srt(root / "film.en.vtt", 1)
    with pytest.raises(ManifestError, match=r"more than one en track \(film.en.srt, film.en.vtt\)"):
        pairs_from_manifest(root, langs=("en", "fr"))
    with pytest.raises(ManifestError, match="two distinct languages"):
        pairs_from_manifest(root)
    with pytest.raises(ManifestError, match="no pair of tracks"):
        pairs_from_manifest(root / "sub", langs=("de", "it"))


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
        with pytest.raises(ManifestError) as caught:
            pairs_from_manifest(manifest)
        assert str(caught.value).startswith(str(manifest)) and expected in str(caught.value)
    else:
        pairs, unmatched = pairs_from_manifest(manifest)
        assert pairs == [(os.path.join(tmp_path, a), os.path.join(tmp_path, b), n) for a, b, n in expected]
        assert unmatched == []


def test_pairs_whose_output_cannot_be_written_fail_alone(tmp_path, good_pairs):
    pairs, expected = good_pairs
    out = tmp_path / "out"
    out.mkdir()
    (out / "blocked").write_text("a file where a folder should be\n", encoding="utf-8")
    locked = out / "locked"
    locked.mkdir()
    locked.chmod(0o500)
    src = tmp_path / "tracks"
    film, film_fr = write_srt(src / "film.srt", 3), write_srt(src / "film_fr.srt", 3)
    bad = [
        (pairs[0][0], pairs[0][1], "blocked/a"),
        (pairs[0][0], pairs[0][1], "x" * 300),
        (pairs[0][0], pairs[0][1], "locked/a"),  # a folder this user cannot write (unless root)
    ]
    try:
        results = batch.pair_files([bad[0], pairs[0], bad[1], bad[2], pairs[1]], out, workers=1)
        # The output directory holding the inputs, as with a manifest beside its tracks and -o .
        over_input = batch.pair_files([(film, film_fr, "film")], src, to="srt", workers=1)
    finally:
        locked.chmod(0o700)
    check_results([results[1], results[4]], pairs[:2], expected[:2], out, ".json")
    errors = [results[k]["error"] for k in (0, 2, 3)]
    assert "blocked" in errors[0] and "cannot make the output folder" in errors[0]
    assert "File name too long" in errors[1]
    if os.geteuid() != 0:
        assert "locked" in errors[2] and "Permission denied" in errors[2]
    assert all(results[k]["output"] is None for k in (0, 2)) and results[0]["groups"] is None
    assert over_input[0]["error"].startswith(f"{film}: is the input {film}")
    assert over_input[0]["output"] is None
    assert open(film, encoding="utf-8").read().startswith("1\n00:00:00,000 --> 00:00:01,000\nline 1")
    assert leftovers(out) == []


def test_a_pair_whose_output_is_another_pairs_input_fails_and_writes_nothing(tmp_path):
    x, y = write_srt(tmp_path / "x.srt", 3), write_srt(tmp_path / "y.srt", 3)
    z, w = write_srt(tmp_path / "z.srt", 4), write_srt(tmp_path / "w.srt", 4)
    os.symlink(w, tmp_path / "link.srt")
    os.link(y, tmp_path / "hard.srt")
    before = {name: open(name, "rb").read() for name in (x, y, z, w)}
    # z: pair 2's input named by another spelling; link, hard: inputs through links.
    results = batch.pair_files([(x, y, "./z"), (z, w, "out2"), (x, w, "link"), (z, w, "hard")], tmp_path,
                               to="srt", workers=1)
    assert [bool(result["error"]) for result in results] == [True, False, True, True]
    assert "is the input" in results[0]["error"] and results[0]["output"] is None
    assert {name: open(name, "rb").read() for name in (x, y, z, w)} == before
    assert (tmp_path / "out2.srt").exists()


def test_an_interrupted_run_reports_every_output_its_workers_wrote(tmp_path, good_pairs, monkeypatch):
    import concurrent.futures as cf

    pairs, expected = good_pairs
    monkeypatch.setattr(batch, "EXECUTOR_PAIRS_PER_TASK", 2)

    class LateExecutor(cf.Executor):
        """Each task is worked at once; the last one's result never arrives, as when the run is
        stopped between a worker's rename and its report."""

        def submit(self, fn, /, *args, **kwargs):
            future = cf.Future()
            outcome = fn(*args, **kwargs)
            self.handed.append(len(args[0]))
            if len(self.handed) < 2:
                future.set_result(outcome)
            return future

        def __init__(self):
            self.handed = []

    reported = []

    def stop_at_the_first(entry):
        reported.append(entry)
        if len(reported) == 1:
            raise KeyboardInterrupt

    executor = LateExecutor()
    with pytest.raises(KeyboardInterrupt):
        batch.pair_files(pairs, tmp_path / "out", executor=executor, on_result=stop_at_the_first)
    assert executor.handed == [2, 1]  # the pairs go to an outside executor two to a task here
    on_disk = {os.path.relpath(os.path.join(root, name), tmp_path / "out")
               for root, _, names in os.walk(tmp_path / "out") for name in names}
    assert on_disk == {"a.en.json", "b.en.json", os.path.join("nested", "c.json")}
    by_name = {os.path.relpath(entry["output"], tmp_path / "out"): entry for entry in reported}
    assert set(by_name) == on_disk
    # The stop came while the first task's first pair was reported: its second pair is reported
    # all the same, and the last task's output, written but never reported, with unknown figures.
    assert figures(by_name["a.en.json"]) == expected[0]
    assert figures(by_name["b.en.json"]) == expected[1]
    late = by_name[os.path.join("nested", "c.json")]
    assert late["error"] is None and figures(late) == (None,) * len(batch.FIGURES)


def test_an_executor_that_returns_too_few_results_fails_its_pairs_by_name(tmp_path, good_pairs):
    import concurrent.futures as cf

    pairs, _ = good_pairs

    class ShortExecutor(cf.Executor):
        def submit(self, fn, /, *args, **kwargs):
            future = cf.Future()
            future.set_result(fn(*args, **kwargs)[:-1])
            return future

    results = batch.pair_files(pairs, tmp_path / "out", executor=ShortExecutor())
    assert [entry["error"] for entry in results] == ["the executor returned 2 results for 3 pairs"] * 3
    assert [entry["output"] for entry in results] == [None] * 3


def test_suspect_pairs_are_marked(tmp_path):
    src = tmp_path / "tracks"
    pairs = [
        (write_srt(src / "fine.en.srt", 20, extra=2), write_srt(src / "fine.fr.srt", 20)),  # 2 of 22: 9%
        (write_srt(src / "odd.en.srt", 20, extra=3), write_srt(src / "odd.fr.srt", 20)),  # 3 of 23: 13%
        (write_srt(src / "late.en.srt", 20), write_srt(src / "late.fr.srt", 20, extra=3)),  # the other side
    ]
    results = batch.pair_files(pairs, tmp_path / "out", workers=1)
    assert [entry["suspect"] for entry in results] == [False, True, True]


def test_resume_reports_figures_only_for_the_file_they_describe(tmp_path, good_pairs):
    pairs, expected = good_pairs
    out = tmp_path / "out"
    first = batch.pair_files(pairs, out, workers=1)
    earlier = {entry["output"]: entry for entry in first}
    again = batch.pair_files(pairs, out, workers=1, resume=True, earlier=earlier)
    assert [(entry["skipped"], figures(entry)) for entry in again] == [(True, f) for f in expected]
    # A run re-pairs the second pair (its output changes) and is killed before its summary.
    os.utime(pairs[1][1])  # changed since the first run
    batch.pair_files([pairs[1] + ("b.en",)], out, workers=1, margin=0)
    resumed = batch.pair_files(pairs, out, workers=1, resume=True, earlier=earlier)
    assert [entry["skipped"] for entry in resumed] == [True, True, True]
    assert figures(resumed[1]) == (None,) * 5  # unknown, never the older run's figures
    assert [figures(resumed[k]) for k in (0, 2)] == [expected[0], expected[2]]


def test_a_killed_runs_temporary_files_are_removed_by_the_next(tmp_path, good_pairs):
    pairs, expected = good_pairs
    out = tmp_path / "out"
    (out / "nested").mkdir(parents=True)
    left = [out / formats.temporary_name("a.en.json"), out / "nested" / formats.temporary_name("c.json")]
    kept = [out / formats.temporary_name("notes.txt"), out / "a.en.json.part", out / formats.temporary_name("unrelated.json")]
    for path in left + kept:
        path.write_text("{", encoding="utf-8")
    batch.pair_files(pairs, out, workers=1)
    assert [path.exists() for path in left + kept] == [False, False, True, True, True]


def test_journal_and_summary_give_the_latest_entry(tmp_path):
    summary = tmp_path / batch.SUMMARY_NAME
    summary.write_text(json.dumps({"pairs": [{"output": "a", "groups": 1}, {"output": "b", "groups": 2},
                                             {"output": None, "error": "x"}]}), encoding="utf-8")
    journal = batch.Journal(str(summary))
    journal.add({"output": "b", "groups": 3, "skipped": False})
    journal.add({"output": "c", "groups": 4, "skipped": True})  # a skipped pair's entry is not news
    journal.close(remove=False)
    with open(batch.journal_path(str(summary)), "a", encoding="utf-8") as handle:
        handle.write('{"output": "d", "gro')  # cut short by a kill
    assert {key: entry["groups"] for key, entry in batch.earlier_entries(str(summary)).items()} == {"a": 1, "b": 3}
    batch.Journal(str(summary)).close(remove=True)
    assert not os.path.exists(batch.journal_path(str(summary)))

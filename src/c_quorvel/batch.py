"""Pairing many pairs of subtitle files at once: on all cores of one machine, or on a Dask cluster.

:func:`pair_files` reads each pair of files, pairs them with :func:`c_quorvel.align.pair_tracks`
and writes each result into an output directory, as ``quorvel pair`` does for one pair. The work
is handed out, one task per pair, to any :class:`concurrent.futures.Executor`: by default a process
pool with one worker per core; on a cluster, the executor of a Dask client
(``distributed.Client(address).get_executor()``). Workers on a cluster must reach the input files
and the output directory under the same paths as this process (a shared file system), and must
have ``c_quorvel`` installed.

What long runs can rely on:

* each result is written under a temporary name in its final directory and renamed when complete,
  so no output file is ever half-written; a pair that fails, or whose worker is killed, leaves no
  output at all;
* a pair that fails is reported in its summary (``error``) and the other pairs go on;
* with ``resume=True`` a pair whose output is newer than both of its inputs is not paired again;
* on ``KeyboardInterrupt`` pending pairs are cancelled and the pool's workers are stopped.

:func:`pairs_from_manifest` turns a CSV file of pairs, or a directory of tracks matched by name
(``film.en.srt`` with ``film.fr.srt``), into pairs. :func:`add_batch_command` registers the
``batch`` command of the command line.
"""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import csv
import json
import multiprocessing
import os
import signal
import sys
import time
import uuid
from collections import deque
from collections.abc import Callable, Iterable
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from pathlib import PurePath
from typing import Any

from c_quorvel import align, formats

__all__ = [
    "OUTPUT_SUFFIXES",
    "ManifestError",
    "pair_files",
    "pairs_from_manifest",
    "add_batch_command",
    "run_batch",
]

# Output kind -> file suffix of the written result.
OUTPUT_SUFFIXES = {"json": ".json", "srt": ".srt", "vtt": ".vtt", "ass": ".ass"}

# File suffixes taken as tracks when a directory is matched by name.
TRACK_SUFFIXES = frozenset({".srt", ".vtt", ".ass", ".ssa", ".sub", ".ttml", ".dfxp", ".json"})

# Pairs handed to an executor that is not ours at any one time. Enough to keep a cluster of a few
# hundred cores busy; small enough that millions of pairs are never all queued at once.
EXECUTOR_IN_FLIGHT = 512

# With our own pool, two pairs per worker are in flight: enough to keep every worker busy, and a
# worker that dies takes few pairs down with it (they are tried again, one at a time).
POOL_IN_FLIGHT_PER_WORKER = 2

ABRUPT_END = "the worker process pairing it ended abruptly (killed, or out of memory)"

SUMMARY_NAME = "batch-summary.json"

FIGURES = ("groups", "paired_original", "paired_reference", "unpaired_original", "unpaired_reference")


class ManifestError(ValueError):
    """A manifest that cannot be read or names no usable pairs; the message is one line."""


@dataclass(frozen=True)
class _Job:
    index: int
    first: str
    second: str
    output: str
    part: str  # the temporary name the output is written under before it is renamed


# ---------------------------------------------------------------------------------------------
# The work of one pair, run in a worker
# ---------------------------------------------------------------------------------------------

def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def _one_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return f"{type(exc).__name__}: {text.splitlines()[0] if text else 'no message'}"


def _figures(alignment: Any) -> dict[str, int]:
    return {
        "groups": len(alignment.groups),
        "paired_original": sum(len(group["original"]) for group in alignment.groups),
        "paired_reference": sum(len(group["reference"]) for group in alignment.groups),
        "unpaired_original": len(alignment.unpaired_original),
        "unpaired_reference": len(alignment.unpaired_reference),
    }


def _pair_one(first: str, second: str, output: str, part: str, margin: int, to: str,
              encoding: str | None) -> dict[str, Any]:
    """Pairs one pair of files and writes the result; returns its figures, or its ``error``.

    Failures come back as a message rather than an exception, so that nothing depends on an
    exception surviving the trip from a worker.
    """
    try:
        original = formats.read_track(first, encoding=encoding)
        reference = formats.read_track(second, encoding=encoding)
        alignment = align.pair_tracks(original, reference, margin=margin)
    except formats.TrackError as exc:
        return {"error": str(exc)}
    except Exception as exc:
        return {"error": f"cannot pair {first} with {second}: {_one_line(exc)}"}
    try:
        os.makedirs(os.path.dirname(output), exist_ok=True)
        formats.write_alignment(alignment, part, to=to)
        os.replace(part, output)
    except BaseException as exc:
        _remove(part)
        if not isinstance(exc, Exception):
            raise
        if isinstance(exc, formats.TrackError):
            return {"error": str(exc).replace(part, output)}  # names the file the user asked for
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else _one_line(exc)
        return {"error": f"{output}: cannot write the result: {reason}"}
    return _figures(alignment)


def _ignore_interrupts() -> None:
    # Ctrl-C reaches every process of the terminal's group; the parent alone decides what it means.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _new_pool(workers: int) -> cf.ProcessPoolExecutor:
    # forkserver: workers start from a clean process, not a fork of one that runs threads.
    return cf.ProcessPoolExecutor(
        max_workers=workers,
        mp_context=multiprocessing.get_context("forkserver"),
        initializer=_ignore_interrupts,
    )


def _stop_pool(pool: cf.ProcessPoolExecutor) -> None:
    """Ends the pool's workers now, without waiting for the pairs they are working on."""
    # The executor offers no public way to stop a running call; its worker processes are ours.
    for process in list((getattr(pool, "_processes", None) or {}).values()):
        process.terminate()
    pool.shutdown(wait=True, cancel_futures=True)


# ---------------------------------------------------------------------------------------------
# Planning: validated pairs, output names, resume
# ---------------------------------------------------------------------------------------------

def _read_pair(item: Any, position: int) -> tuple[str, str, str]:
    if isinstance(item, (str, bytes)) or not isinstance(item, (tuple, list)) or len(item) not in (2, 3):
        raise TypeError(f"pairs[{position}]: expected (first, second) or (first, second, name), "
                        f"got {type(item).__name__}")
    try:
        first, second = os.fsdecode(os.fspath(item[0])), os.fsdecode(os.fspath(item[1]))
        name = os.fsdecode(os.fspath(item[2])) if len(item) == 3 and item[2] is not None else None
    except TypeError:
        raise TypeError(f"pairs[{position}]: file names must be paths (str or os.PathLike)") from None
    if name is None:
        name = os.path.splitext(os.path.basename(first))[0]
    parts = PurePath(name).parts
    if not parts or PurePath(name).is_absolute() or ".." in parts or name.endswith(("/", os.sep)):
        raise ValueError(f"pairs[{position}]: output name {name!r} must be a relative path inside "
                         "the output directory")
    return first, second, name


def _plan(pairs: Iterable[Any], out_dir: str, to: str) -> list[_Job]:
    suffix = OUTPUT_SUFFIXES[to]
    run_token = uuid.uuid4().hex[:12]
    jobs: list[_Job] = []
    claimed: dict[str, int] = {}
    for position, item in enumerate(pairs):
        first, second, name = _read_pair(item, position)
        output = os.path.normpath(os.path.join(out_dir, name + suffix))
        if output in claimed:
            raise ValueError(f"pairs[{claimed[output]}] and pairs[{position}] would both write {output}; "
                             "give them distinct output names")
        claimed[output] = position
        folder, base = os.path.split(output)
        part = os.path.join(folder, f".{base}.{run_token}.part{suffix}")
        jobs.append(_Job(position, os.path.abspath(first), os.path.abspath(second), output, part))
    return jobs


def _up_to_date(job: _Job) -> bool:
    try:
        written = os.stat(job.output).st_mtime_ns
        newest_input = max(os.stat(job.first).st_mtime_ns, os.stat(job.second).st_mtime_ns)
    except OSError:
        return False
    return written > newest_input


def _summary(job: _Job, figures: dict[str, Any] | None, *, error: str | None = None,
             skipped: bool = False) -> dict[str, Any]:
    summary: dict[str, Any] = {"first": job.first, "second": job.second,
                               "output": None if error else job.output}
    for key in FIGURES:
        summary[key] = figures.get(key) if figures else None
    summary["error"] = error
    summary["skipped"] = skipped
    return summary


# ---------------------------------------------------------------------------------------------
# Running: one loop for every executor
# ---------------------------------------------------------------------------------------------

def _run(jobs: list[_Job], executor: cf.Executor | None, workers: int, task_args: tuple[Any, ...],
         finish: Callable[[_Job, dict[str, Any]], None]) -> None:
    owned = executor is None
    pool: cf.Executor = _new_pool(workers) if owned else executor  # type: ignore[assignment]
    limit = POOL_IN_FLIGHT_PER_WORKER * workers if owned else EXECUTOR_IN_FLIGHT
    waiting = deque(jobs)
    # Pairs that were in flight when one of our workers died: each is tried again alone, so that
    # only the pair that kills its worker is reported failed.
    suspects: deque[_Job] = deque()
    running: dict[cf.Future[dict[str, Any]], tuple[_Job, bool]] = {}

    def submit(job: _Job, alone: bool) -> None:
        try:
            future = pool.submit(_pair_one, job.first, job.second, job.output, job.part, *task_args)
        except cf.BrokenExecutor:
            finish(job, {"error": ABRUPT_END})
            return
        running[future] = (job, alone)

    def settle(future: cf.Future[dict[str, Any]]) -> bool:
        """Reports the pair of a completed future; True when the pool broke under it."""
        job, alone = running.pop(future)
        try:
            outcome = future.result()
        except BrokenProcessPool:
            _remove(job.part)
            if owned and not alone:
                suspects.append(job)
                return True
            outcome = {"error": ABRUPT_END}
            finish(job, outcome)
            return True
        except cf.CancelledError:
            outcome = {"error": "cancelled by the executor"}
        except Exception as exc:
            _remove(job.part)
            outcome = {"error": _one_line(exc)}
        finish(job, outcome)
        return False

    try:
        while waiting or suspects or running:
            if suspects:
                if not running:
                    submit(suspects.popleft(), True)
            else:
                while waiting and len(running) < limit:
                    submit(waiting.popleft(), False)
            if not running:
                continue
            done, _ = cf.wait(running, return_when=cf.FIRST_COMPLETED)
            broken = [settle(future) for future in done]
            if owned and any(broken):
                # Every pair still in flight goes down with the pool: settle them, then start anew.
                for future in cf.wait(running).done:
                    settle(future)
                pool.shutdown(wait=True)
                pool = _new_pool(workers)
    except BaseException:
        for future in running:
            future.cancel()
        if owned:
            _stop_pool(pool)  # type: ignore[arg-type]
            for job, _ in running.values():
                _remove(job.part)
        raise
    finally:
        if owned:
            pool.shutdown(wait=True, cancel_futures=True)


def pair_files(
    pairs: Iterable[Any],
    out_dir: str | os.PathLike[str],
    *,
    margin: int = 1000,
    to: str = "json",
    executor: cf.Executor | None = None,
    workers: int | None = None,
    encoding: str | None = None,
    resume: bool = False,
    on_result: Callable[[dict[str, Any]], None] | None = None,
) -> list[dict[str, Any]]:
    """Pairs every pair of files and writes each result into ``out_dir``.

    ``pairs`` holds ``(first, second)`` or ``(first, second, name)`` items: the first file is the
    original side, the second the reference side. The result of a pair is written to
    ``out_dir/name`` plus the suffix of ``to`` (``"json"``, ``"srt"``, ``"vtt"`` or ``"ass"``);
    ``name`` defaults to the first file's name without its suffix and may hold subdirectories.

    Work goes to ``executor`` when given (any ``concurrent.futures.Executor``: for Dask, the one
    ``Client.get_executor()`` returns); otherwise to a process pool of ``workers`` processes (one per
    core by default), shut down before returning. With ``resume``, a pair whose output is newer than
    both inputs is skipped. ``on_result`` is called in this process with each pair's summary as the
    pair completes. The default pool starts its workers afresh rather than as copies of this
    process, so a script that calls this function must keep its top-level code under
    ``if __name__ == "__main__":``, as with any ``multiprocessing`` start method but fork.

    Returns one summary dict per pair, in the order given: ``first``, ``second``, ``output`` (None
    when the pair failed), the figures ``groups``, ``paired_original``, ``paired_reference``,
    ``unpaired_original``, ``unpaired_reference`` (None when failed or skipped), ``error`` (None on
    success, else a one-line message naming the file at fault) and ``skipped``.

    Raises ``TypeError``/``ValueError`` for a bad margin, output kind, worker count or pair, and for
    two pairs with the same output, before any work is done.
    """
    if to not in OUTPUT_SUFFIXES:
        raise ValueError(f"to must be one of {', '.join(OUTPUT_SUFFIXES)}, not {to!r}")
    align.pair_tracks([], [], margin=margin)  # refuses a bad margin here, not once per pair
    if workers is not None:
        if executor is not None:
            raise ValueError("workers applies to the default process pool; pass either workers or executor")
        if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
            raise ValueError(f"workers must be a positive integer, not {workers!r}")
    out_dir = os.path.abspath(os.fspath(out_dir))
    jobs = _plan(pairs, out_dir, to)
    os.makedirs(out_dir, exist_ok=True)

    results: list[dict[str, Any] | None] = [None] * len(jobs)

    def finish(job: _Job, outcome: dict[str, Any]) -> None:
        error = outcome.get("error")
        summary = _summary(job, None if error else outcome, error=error)
        results[job.index] = summary
        if on_result is not None:
            on_result(summary)

    to_do = []
    for job in jobs:
        if resume and _up_to_date(job):
            results[job.index] = _summary(job, None, skipped=True)
            if on_result is not None:
                on_result(results[job.index])  # type: ignore[arg-type]
        else:
            to_do.append(job)
    if to_do:
        _run(to_do, executor, workers or os.cpu_count() or 1, (margin, to, encoding), finish)
    return results  # type: ignore[return-value]


# ---------------------------------------------------------------------------------------------
# Manifests: a CSV file of pairs, or a directory matched by name
# ---------------------------------------------------------------------------------------------

def _pairs_from_csv(path: str) -> list[tuple[str, str, str | None]]:
    """Rows ``first,second[,name]``; relative paths are relative to the CSV file's directory.

    Blank rows and rows whose first cell starts with ``#`` are ignored, and so is a first row
    ``first,second[,name]`` (a header).
    """
    folder = os.path.dirname(os.path.abspath(path))
    pairs: list[tuple[str, str, str | None]] = []
    try:
        with open(path, encoding="utf-8-sig", newline="") as handle:
            reader = csv.reader(handle)
            for row in reader:
                cells = [cell.strip() for cell in row]
                if not any(cells) or cells[0].startswith("#"):
                    continue
                if not pairs and [cell.lower() for cell in cells] in (["first", "second"],
                                                                       ["first", "second", "name"]):
                    continue
                where = f"{path}, line {reader.line_num}"
                if len(cells) not in (2, 3) or not cells[0] or not cells[1]:
                    raise ManifestError(f"{where}: expected 'first,second' or 'first,second,name', "
                                        f"got {len(cells)} cell(s)")
                name = cells[2] if len(cells) == 3 and cells[2] else None
                pairs.append((os.path.join(folder, cells[0]), os.path.join(folder, cells[1]), name))
    except UnicodeDecodeError as exc:
        raise ManifestError(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    except csv.Error as exc:
        raise ManifestError(f"{path}: not a CSV file of pairs ({exc})") from None
    except OSError as exc:
        raise ManifestError(f"{path}: cannot read the manifest: {exc.strerror or exc}") from None
    return pairs


def _pairs_from_directory(root: str, langs: tuple[str, str], exclude: str | None
                          ) -> tuple[list[tuple[str, str, str]], list[str]]:
    """Pairs ``NAME.A.EXT`` with ``NAME.B.EXT`` (A, B the two languages) in every folder below root.

    Returns the pairs, named by their relative folder and NAME, and the tracks of either language
    that have no counterpart.
    """
    wanted = [lang.lower() for lang in langs]
    tracks: dict[tuple[str, str], dict[str, list[str]]] = {}
    skip = os.path.realpath(exclude) if exclude else None
    for folder, subfolders, files in os.walk(root, onerror=_raise_walk_error):
        subfolders[:] = sorted(d for d in subfolders if not d.startswith(".")
                               and os.path.realpath(os.path.join(folder, d)) != skip)
        relative = os.path.relpath(folder, root)
        for file_name in files:
            stem, suffix = os.path.splitext(file_name)
            base, dot, lang = stem.rpartition(".")
            if file_name.startswith(".") or suffix.lower() not in TRACK_SUFFIXES or not dot or not base:
                continue
            if lang.lower() in wanted:
                by_lang = tracks.setdefault((relative, base), {})
                by_lang.setdefault(lang.lower(), []).append(os.path.join(folder, file_name))
    pairs: list[tuple[str, str, str]] = []
    unmatched: list[str] = []
    for (relative, base), by_lang in sorted(tracks.items()):
        for lang, paths in by_lang.items():
            if len(paths) > 1:
                listed = ", ".join(sorted(os.path.basename(p) for p in paths))
                raise ManifestError(f"{os.path.join(root, relative, base)}: more than one {lang} track "
                                    f"({listed}); keep one or list the pairs in a CSV manifest")
        if all(lang in by_lang for lang in wanted):
            name = os.path.normpath(os.path.join(relative, base))
            pairs.append((by_lang[wanted[0]][0], by_lang[wanted[1]][0], name))
        else:
            unmatched.extend(path for paths in by_lang.values() for path in paths)
    return pairs, unmatched


def _raise_walk_error(exc: OSError) -> None:
    raise ManifestError(f"{exc.filename}: cannot list the directory: {exc.strerror or exc}")


def pairs_from_manifest(manifest: str | os.PathLike[str], *, langs: tuple[str, str] | None = None,
                        exclude: str | os.PathLike[str] | None = None
                        ) -> tuple[list[tuple[str, str, str | None]], list[str]]:
    """The pairs a manifest names, and the tracks left without a counterpart.

    A file is read as CSV (``first,second[,name]`` per row). A directory is searched, with its
    subdirectories except ``exclude``, for tracks named ``NAME.LANG.EXT`` in the two languages of
    ``langs`` (e.g. ``("en", "fr")``): ``film.en.srt`` pairs with ``film.fr.srt`` in the same folder,
    the first language on the original side. Raises :class:`ManifestError` for a manifest that
    cannot be read, a malformed row, a film with two tracks of one language, or no pair at all.
    """
    path = os.fspath(manifest)
    if os.path.isdir(path):
        if langs is None or len(langs) != 2 or not all(langs) or langs[0].lower() == langs[1].lower():
            raise ManifestError(f"{path}: a directory manifest needs two distinct languages (e.g. en,fr)")
        found, unmatched = _pairs_from_directory(path, langs, os.fspath(exclude) if exclude else None)
        pairs: list[tuple[str, str, str | None]] = list(found)
        if not pairs:
            raise ManifestError(f"{path}: no pair of tracks named NAME.{langs[0]}.EXT and "
                                f"NAME.{langs[1]}.EXT")
        return pairs, unmatched
    if not os.path.exists(path):
        raise ManifestError(f"{path}: no such file or directory")
    pairs = _pairs_from_csv(path)
    if not pairs:
        raise ManifestError(f"{path}: the manifest lists no pair")
    return pairs, []


# ---------------------------------------------------------------------------------------------
# The batch command
# ---------------------------------------------------------------------------------------------

PROG = "quorvel batch"

DASK_MISSING = "--scheduler needs Dask's distributed scheduler: pip install 'c_quorvel[dask]'"

PLAIN_PROGRESS_FORMAT = "{n_fmt}/{total_fmt} pairs [{elapsed}<{remaining}, {rate_fmt}]"


class _Progress:
    """A progress bar on a terminal; elsewhere a plain line every ``every`` seconds and at the end."""

    def __init__(self, total: int, stream: Any, every: float = 10.0) -> None:
        from tqdm import tqdm

        self._tqdm = tqdm
        self._stream = stream
        self._total = total
        self._every = every
        self._done = 0
        self._started = self._last = time.monotonic()
        self._bar = tqdm(total=total, unit="pair", file=stream, dynamic_ncols=True) \
            if stream.isatty() else None

    def update(self, summary: dict[str, Any]) -> None:
        if summary["error"]:
            self.note(f"{PROG}: {summary['first']} + {summary['second']}: {summary['error']}")
        self._done += 1
        if self._bar is not None:
            self._bar.update(1)
        elif time.monotonic() - self._last >= self._every:
            self._plain_line()

    def note(self, line: str) -> None:
        if self._bar is not None:
            self._tqdm.write(line, file=self._stream)
        else:
            print(line, file=self._stream, flush=True)

    def close(self, completed: bool) -> None:
        if self._bar is not None:
            self._bar.close()
        elif completed and self._done:
            self._plain_line()

    def _plain_line(self) -> None:
        self._last = time.monotonic()
        line = self._tqdm.format_meter(self._done, self._total, self._last - self._started,
                                       unit="pair", bar_format=PLAIN_PROGRESS_FORMAT)
        print(line, file=self._stream, flush=True)


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def _margin(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer number of milliseconds: {text!r}") from None
    if not -(2**31) <= value < 2**31:
        raise argparse.ArgumentTypeError(f"out of the signed 32-bit range: {text}")
    return value


def _langs(text: str) -> tuple[str, str]:
    parts = [part.strip() for part in text.split(",")]
    if len(parts) != 2 or not all(parts) or parts[0].lower() == parts[1].lower():
        raise argparse.ArgumentTypeError(f"expected two distinct languages such as en,fr, got {text!r}")
    return parts[0], parts[1]


def add_batch_command(subparsers: Any) -> argparse.ArgumentParser:
    """Registers ``batch`` on an argparse subparsers object; its ``run`` default is :func:`run_batch`."""
    parser = subparsers.add_parser(
        "batch",
        help="pair many pairs of tracks, on all cores or on a Dask cluster",
        description="Pair every pair of tracks a manifest names and write each result into "
        "OUT_DIR. MANIFEST is a CSV file with rows 'first,second[,name]' (relative paths are "
        "relative to the CSV file), or a directory whose tracks are matched by name: "
        "NAME.A.EXT with NAME.B.EXT, for the languages given by --langs A,B. Each result is "
        "written under a temporary name and renamed when complete. A summary of every pair "
        f"goes to OUT_DIR/{SUMMARY_NAME}. Exit status: 0 when every pair was paired, 1 when "
        "some pair failed, 2 when the run cannot start (command line, manifest, scheduler), 3 "
        "when OUT_DIR or the summary cannot be written, 4 when --scheduler is used without "
        "Dask installed, 130 when interrupted.",
    )
    parser.add_argument("manifest", metavar="MANIFEST", help="a CSV file of pairs, or a directory of tracks")
    parser.add_argument("-o", "--out-dir", required=True, metavar="OUT_DIR",
                        help="directory for the results (created when missing)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_positive_int, metavar="N",
                       help="worker processes on this machine (default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster of this scheduler (e.g. tcp://host:8786); its "
                       "workers must reach the tracks and OUT_DIR under the same paths")
    parser.add_argument("--to", choices=list(OUTPUT_SUFFIXES), default="json",
                        help="kind of result: JSON, or a bilingual subtitle file (default: json)")
    parser.add_argument("--langs", type=_langs, metavar="A,B",
                        help="the two languages to match in a directory manifest, A the original side")
    parser.add_argument("--margin", type=_margin, default=1000, metavar="MS",
                        help="pairing margin in milliseconds (default: 1000)")
    parser.add_argument("--encoding", metavar="NAME",
                        help="text encoding of the tracks (default: UTF-8, with or without a byte-order mark)")
    parser.add_argument("--resume", action="store_true",
                        help="skip pairs whose result is newer than both of its tracks")
    parser.add_argument("--summary", metavar="FILE",
                        help=f"where to write the summary (default: OUT_DIR/{SUMMARY_NAME})")
    parser.set_defaults(run=run_batch)
    return parser


def _write_json_atomically(value: Any, path: str) -> None:
    folder, base = os.path.split(os.path.abspath(path))
    part = os.path.join(folder, f".{base}.{uuid.uuid4().hex[:12]}.part")
    try:
        with open(part, "w", encoding="utf-8") as handle:
            json.dump(value, handle, ensure_ascii=False, indent=1)
            handle.write("\n")
        os.replace(part, path)
    except BaseException:
        _remove(part)
        raise


def _earlier_figures(path: str) -> dict[tuple[str, str, str], dict[str, Any]]:
    """Figures of the pairs an earlier run's summary reports as paired, by (first, second, output)."""
    try:
        with open(path, encoding="utf-8") as handle:
            earlier = json.load(handle)
        return {(entry["first"], entry["second"], entry["output"]): entry
                for entry in earlier["pairs"] if entry.get("error") is None and entry.get("output")}
    except (OSError, ValueError, KeyError, TypeError):
        return {}  # no earlier summary, or not one of ours: the figures stay unknown


# Exit status, as for the other commands.
EXIT_SOME_FAILED = 1
EXIT_CANNOT_START = 2
EXIT_OUTPUT = 3
EXIT_MISSING = 4
EXIT_INTERRUPTED = 130


def _fail(message: str, status: int = EXIT_CANNOT_START) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return status


def run_batch(args: argparse.Namespace) -> int:
    """Runs the ``batch`` command parsed by :func:`add_batch_command`; returns the exit status."""
    try:
        out_dir = os.path.abspath(args.out_dir)
        summary_path = os.path.abspath(args.summary or os.path.join(out_dir, SUMMARY_NAME))
        try:
            pairs, unmatched = pairs_from_manifest(args.manifest, langs=args.langs, exclude=out_dir)
        except ManifestError as exc:
            return _fail(str(exc))
        for path in unmatched:
            print(f"{PROG}: warning: {path} has no counterpart; not paired", file=sys.stderr)
        try:
            if any(job.output == summary_path for job in _plan(pairs, out_dir, args.to)):
                return _fail(f"{summary_path} is also the output of a pair; choose another --summary")
        except (TypeError, ValueError) as exc:
            return _fail(str(exc))
        earlier = _earlier_figures(summary_path) if args.resume else {}
        client = None
        executor = None
        if args.scheduler:
            try:
                from distributed import Client
            except ImportError:
                return _fail(DASK_MISSING, EXIT_MISSING)
            try:
                client = Client(args.scheduler)
            except (OSError, TimeoutError, ValueError) as exc:
                return _fail(f"cannot reach the Dask scheduler at {args.scheduler}: {exc}")
            executor = client.get_executor()
        progress = _Progress(len(pairs), sys.stderr)
        completed = False
        try:
            results = pair_files(pairs, out_dir, margin=args.margin, to=args.to, executor=executor,
                                 workers=args.workers, encoding=args.encoding, resume=args.resume,
                                 on_result=progress.update)
            completed = True
        except (TypeError, ValueError) as exc:
            return _fail(str(exc))
        finally:
            progress.close(completed)  # an interrupted run ends without a last line
            if client is not None:
                client.close()
        for entry in results:
            if entry["skipped"]:
                entry.update({key: value for key, value in
                              earlier.get((entry["first"], entry["second"], entry["output"]), {}).items()
                              if key in FIGURES})
        failed = sum(1 for entry in results if entry["error"])
        skipped = sum(1 for entry in results if entry["skipped"])
        _write_json_atomically({"pairs": results, "unmatched": unmatched}, summary_path)
        print(f"{PROG}: {len(results)} pairs: {len(results) - failed - skipped} paired, "
              f"{skipped} up to date, {failed} failed; summary in {summary_path}", file=sys.stderr)
        return EXIT_SOME_FAILED if failed else 0
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except OSError as exc:
        return _fail(f"{exc.filename or args.out_dir}: {exc.strerror or exc}", EXIT_OUTPUT)

"""Pairing many pairs of subtitle files at once: on all cores of one machine, or on a Dask cluster.

:func:`pair_files` runs :func:`c_quorvel.road.follow` (what ``quorvel pair`` runs for one pair)
on each pair, with one :class:`~c_quorvel.options.PairingOptions` for all of them, and writes each
result into an output directory. The work is handed out, one task per pair, to any
:class:`concurrent.futures.Executor`: by default a process pool with one worker per core; on a
cluster, the executor of a Dask client (``distributed.Client(address).get_executor()``). Workers
on a cluster must reach the input files and the output directory under the same paths as this
process (a shared file system), and must have ``c_quorvel`` installed.

What long runs can rely on:

* each result is written under a temporary name in its final directory and renamed when complete,
  so no output file is ever half-written; temporary files a killed run left behind are removed by
  the next run over the same outputs;
* a pair that fails (an unreadable input, an output folder that cannot be made, an output that
  would replace one of its inputs) is reported in its summary (``error``) and the other pairs go
  on; a pair with more than 10% of either track's cues unpaired is marked ``suspect``;
* with ``resume=True`` a pair whose output is newer than both of its inputs is not paired again;
  its figures are reported only when known for that very file (its modification time and size);
* on ``KeyboardInterrupt`` pending pairs are cancelled and the pool's workers are stopped.

This module parses no command line and prints nothing: the ``batch`` command lives in
:mod:`c_quorvel.cli` with the others, and manifests in :mod:`c_quorvel.manifests`.
"""

from __future__ import annotations

import concurrent.futures as cf
import json
import multiprocessing
import os
import signal
from collections import deque
from collections.abc import Callable, Iterable, Mapping
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, replace
from pathlib import PurePath
from typing import Any

from c_quorvel import road
from c_quorvel.formats import TEMPORARY_NAME, TrackError, one_line
from c_quorvel.options import OptionError, PairingOptions, pairing_options

__all__ = ["FIGURES", "OUTPUT_SUFFIXES", "SUMMARY_NAME", "Journal", "earlier_entries", "pair_files"]

# Output kind -> file suffix of the written result.
OUTPUT_SUFFIXES = {"json": ".json", "srt": ".srt", "vtt": ".vtt", "ass": ".ass", "ssa": ".ssa"}

# Tasks handed to an executor that is not ours at any one time. Enough to keep a cluster of a few
# hundred cores busy; small enough that millions of pairs are never all queued at once.
EXECUTOR_IN_FLIGHT = 512

# Pairs in one task of an executor that is not ours. A pair of two 2,000-cue files takes a few ms,
# no more than a cluster's own cost of a task (scheduling, sending it and its result): 200 such
# pairs on a local cluster of 2 workers took 2.16x our pool's time one to a task, 1.5x eight to a
# task and 1.26x (JSON) and 1.18x (SubRip) 32 to a task (best of 3, benchmarks/bench_batch.py).
# Our own pool keeps one pair a task, so that a worker that dies takes as few pairs down with it
# as possible.
EXECUTOR_PAIRS_PER_TASK = 32

# With our own pool, two pairs per worker are in flight: enough to keep every worker busy, and a
# worker that dies takes few pairs down with it (they are tried again, one at a time).
POOL_IN_FLIGHT_PER_WORKER = 2

ABRUPT_END = "the worker process pairing it ended abruptly (killed, or out of memory)"

SUMMARY_NAME = "batch-summary.json"

FIGURES = ("groups", "paired_original", "paired_reference", "unpaired_original", "unpaired_reference")


@dataclass(frozen=True)
class _Job:
    index: int
    first: str
    second: str
    output: str


# ---------------------------------------------------------------------------------------------
# The work of one pair, run in a worker
# ---------------------------------------------------------------------------------------------

def _pair_one(first: str, second: str, output: str, options: PairingOptions) -> dict[str, Any]:
    """Pairs one pair of files and writes the result; returns its figures, or its ``error``.

    Failures come back as a message rather than an exception, so that nothing depends on an
    exception surviving the trip from a worker.
    """
    folder = os.path.dirname(output)
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as exc:
        return {"error": f"{exc.filename or folder}: cannot make the output folder: {exc.strerror or exc}"}
    try:
        outcome = road.follow(first, second, options, output=output)
        written = os.stat(output)
    except (TrackError, OptionError) as exc:  # OutputError is a TrackError; both name their file
        return {"error": str(exc)}
    except OSError as exc:
        return {"error": f"{exc.filename or output}: {exc.strerror or exc}"}
    except Exception as exc:
        return {"error": f"cannot pair {first} with {second}: {one_line(exc, named=True)}"}
    return {**outcome.figures, "suspect": outcome.suspect, "notes": outcome.notes,
            "stamp": [written.st_mtime_ns, written.st_size]}


def _pair_some(pairs: list[tuple[str, str, str]], options: PairingOptions) -> list[dict[str, Any]]:
    """``_pair_one`` of each pair, in order: one task of several pairs."""
    return [_pair_one(first, second, output, options) for first, second, output in pairs]


def _start_worker(started: Any, prepare: Callable[[], None] | None) -> None:
    # Ctrl-C reaches every process of the terminal's group; the parent alone decides what it means.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    started.put(os.getpid())
    if prepare is not None:
        prepare()


class _OwnPool:
    """A process pool whose workers can be stopped in the middle of a pair.

    Each worker reports its process id when it starts; stopping ends those of this process's
    children, through multiprocessing's public process objects.
    """

    def __init__(self, workers: int, prepare: Callable[[], None] | None = None) -> None:
        # forkserver: workers start from a clean process, not a fork of one that runs threads.
        context = multiprocessing.get_context("forkserver")
        self._started = context.SimpleQueue()
        self.executor = cf.ProcessPoolExecutor(max_workers=workers, mp_context=context,
                                               initializer=_start_worker, initargs=(self._started, prepare))

    def stop(self) -> None:
        """Ends the workers now, without waiting for the pairs they are working on."""
        ours = set()
        while not self._started.empty():
            ours.add(self._started.get())
        for child in multiprocessing.active_children():
            if child.pid in ours:
                child.terminate()
        self.executor.shutdown(wait=True, cancel_futures=True)


def _new_pool(workers: int) -> _OwnPool:
    return _OwnPool(workers)


# ---------------------------------------------------------------------------------------------
# Planning: validated pairs, output names, resume, leftovers
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


def plan_outputs(pairs: Iterable[Any], out_dir: str, to: str) -> list[tuple[str, str, str]]:
    """``(first, second, output)`` of every pair, inputs and outputs as absolute paths; raises
    TypeError or ValueError for a malformed pair and for two pairs with one output."""
    suffix = OUTPUT_SUFFIXES[to]
    planned: list[tuple[str, str, str]] = []
    claimed: dict[str, int] = {}
    for position, item in enumerate(pairs):
        first, second, name = _read_pair(item, position)
        output = os.path.normpath(os.path.join(out_dir, name + suffix))
        if output in claimed:
            raise ValueError(f"pairs[{claimed[output]}] and pairs[{position}] would both write {output}; "
                             "give them distinct output names")
        claimed[output] = position
        planned.append((os.path.abspath(first), os.path.abspath(second), output))
    return planned


def _file_key(path: str) -> tuple[Any, ...]:
    """What names one file whatever its spelling: its device and inode when it exists, else
    its real path (as road.same_file tells)."""
    try:
        found = os.stat(path)
    except OSError:
        return ("path", os.path.realpath(path))
    return ("inode", found.st_dev, found.st_ino)


def outputs_over_inputs(planned: Iterable[tuple[str, str, str]]) -> dict[str, str]:
    """Output -> the input of some pair it would replace, for every planned output that is the
    same file as any pair's input (through a link or another spelling); one stat per file."""
    planned = list(planned)
    inputs: dict[tuple[Any, ...], str] = {}
    for first, second, _ in planned:
        for name in (first, second):
            inputs.setdefault(_file_key(name), name)
            inputs.setdefault(("path", os.path.realpath(name)), name)
    over: dict[str, str] = {}
    for _, _, output in planned:
        hit = inputs.get(_file_key(output)) or inputs.get(("path", os.path.realpath(output)))
        if hit is not None:
            over[output] = hit
    return over


def remove_leftovers(outputs: Iterable[str]) -> None:
    """Removes the temporary files an interrupted or killed run left for these outputs: one look
    at each folder, whatever the number of outputs in it."""
    by_folder: dict[str, set[str]] = {}
    for output in outputs:
        folder, base = os.path.split(output)
        by_folder.setdefault(folder, set()).add(base)
    for folder, bases in by_folder.items():
        try:
            entries = list(os.scandir(folder))
        except OSError:
            continue  # a folder that does not exist (yet) holds nothing to clean
        for entry in entries:
            found = TEMPORARY_NAME.fullmatch(entry.name)
            if found is not None and found["base"] in bases:
                try:
                    os.unlink(entry.path)
                except OSError:
                    pass


def _stamp(path: str) -> list[int] | None:
    try:
        written = os.stat(path)
    except OSError:
        return None
    return [written.st_mtime_ns, written.st_size]


def _up_to_date(job: _Job) -> bool:
    try:
        written = os.stat(job.output).st_mtime_ns
        newest_input = max(os.stat(job.first).st_mtime_ns, os.stat(job.second).st_mtime_ns)
    except OSError:
        return False
    return written > newest_input


def _summary(job: _Job, outcome: Mapping[str, Any] | None, *, error: str | None = None,
             skipped: bool = False) -> dict[str, Any]:
    summary: dict[str, Any] = {"first": job.first, "second": job.second,
                               "output": None if error else job.output}
    for key in FIGURES:
        summary[key] = outcome.get(key) if outcome else None
    summary["suspect"] = outcome.get("suspect") if outcome else None
    summary["error"] = error
    summary["skipped"] = skipped
    summary["notes"] = list(outcome.get("notes") or []) if outcome else []
    summary["stamp"] = outcome.get("stamp") if outcome else None
    return summary


def _known_figures(job: _Job, earlier: Mapping[str, Mapping[str, Any]]) -> Mapping[str, Any] | None:
    """An earlier run's figures for this pair, when they describe the file now at its output."""
    entry = earlier.get(job.output)
    if (entry is None or entry.get("error") is not None or entry.get("first") != job.first
            or entry.get("second") != job.second or entry.get("stamp") is None
            or list(entry["stamp"]) != _stamp(job.output)):
        return None
    return entry


# ---------------------------------------------------------------------------------------------
# Running: one loop for every executor
# ---------------------------------------------------------------------------------------------

def _run(jobs: list[_Job], executor: cf.Executor | None, workers: int, options: PairingOptions,
         finish: Callable[[_Job, dict[str, Any]], None]) -> None:
    owned = executor is None
    own_pool = _new_pool(workers) if owned else None
    pool: cf.Executor = own_pool.executor if own_pool is not None else executor  # type: ignore[assignment]
    limit = POOL_IN_FLIGHT_PER_WORKER * workers if owned else EXECUTOR_IN_FLIGHT
    per_task = 1 if owned else EXECUTOR_PAIRS_PER_TASK
    waiting = deque(jobs)
    # Pairs that were in flight when one of our workers died: each is tried again alone, so that
    # only the pair that kills its worker is reported failed.
    suspects: deque[_Job] = deque()
    running: dict[cf.Future[list[dict[str, Any]]], tuple[list[_Job], bool]] = {}
    # Each output as it was when its pair was handed out: an interrupted run tells by it whether
    # a worker wrote the output before it was stopped.
    before: dict[int, list[int] | None] = {}

    def submit(task: list[_Job], alone: bool) -> None:
        for job in task:
            before[job.index] = _stamp(job.output)
        try:
            future = pool.submit(_pair_some, [(job.first, job.second, job.output) for job in task], options)
        except cf.BrokenExecutor:
            for job in task:
                finish(job, {"error": ABRUPT_END})
            return
        running[future] = (task, alone)

    def settle(future: cf.Future[list[dict[str, Any]]]) -> bool:
        """Reports the pairs of a completed future; True when the pool broke under them."""
        task, alone = running[future]
        try:
            outcomes = future.result()
        except BrokenProcessPool:
            del running[future]
            remove_leftovers(job.output for job in task)
            if owned and not alone:
                suspects.extend(task)
                return True
            for job in task:
                finish(job, {"error": ABRUPT_END})
            return True
        except cf.CancelledError:
            outcomes = [{"error": "cancelled by the executor"}] * len(task)
        except Exception as exc:
            remove_leftovers(job.output for job in task)
            outcomes = [{"error": one_line(exc, named=True)}] * len(task)
        if len(outcomes) != len(task):
            outcomes = [{"error": f"the executor returned {len(outcomes)} results for {len(task)} pairs"}] * len(task)
        # Each pair leaves its task as it is reported: a stop while one is reported (Ctrl-C, or
        # on_result raising) leaves the task's other pairs to the stopped run's settling.
        for outcome in outcomes:
            finish(task.pop(0), outcome)
        del running[future]
        return False

    try:
        while waiting or suspects or running:
            if suspects:
                if not running:
                    submit([suspects.popleft()], True)
            else:
                while waiting and len(running) < limit:
                    submit([waiting.popleft() for _ in range(min(per_task, len(waiting)))], False)
            if not running:
                continue
            done, _ = cf.wait(running, return_when=cf.FIRST_COMPLETED)
            broken = [settle(future) for future in done]
            if own_pool is not None and any(broken):
                # Every pair still in flight goes down with the pool: settle them, then start anew.
                for future in cf.wait(running).done:
                    settle(future)
                own_pool.executor.shutdown(wait=True)
                own_pool = _new_pool(workers)
                pool = own_pool.executor
    except BaseException:
        for future in running:
            future.cancel()
        if own_pool is not None:
            own_pool.stop()
            remove_leftovers(job.output for task, _ in running.values() for job in task)
        _settle_stopped(running, before, finish)
        raise
    finally:
        if own_pool is not None:
            own_pool.executor.shutdown(wait=True, cancel_futures=True)


def _settle_stopped(running: Mapping[cf.Future[list[dict[str, Any]]], tuple[list[_Job], bool]],
                    before: Mapping[int, list[int] | None], finish: Callable[[_Job, dict[str, Any]], None]) -> None:
    """After a stop, the pairs in flight whose result is on disk all the same: a pair that
    completed is reported with its figures, one whose output was written (renamed into place)
    since it was handed out is reported finished with unknown figures, so that the summary
    lists every output the run wrote."""
    for future, (task, _) in list(running.items()):
        outcomes: list[dict[str, Any] | None] = [None] * len(task)
        if future.done() and not future.cancelled():
            try:
                # The pairs left in a task are its last ones: those before were reported.
                outcomes = list(future.result(timeout=0))[-len(task):] if task else []
            except BaseException:
                pass
        for job, outcome in zip(task, outcomes):
            if outcome is not None and not outcome.get("error"):
                finish(job, outcome)
            elif _stamp(job.output) not in (None, before.get(job.index)):
                finish(job, {})


def pair_files(
    pairs: Iterable[Any],
    out_dir: str | os.PathLike[str],
    options: PairingOptions | None = None,
    *,
    executor: cf.Executor | None = None,
    workers: int | None = None,
    resume: bool = False,
    earlier: Mapping[str, Mapping[str, Any]] | None = None,
    on_result: Callable[[dict[str, Any]], None] | None = None,
    **option_keywords: Any,
) -> list[dict[str, Any]]:
    """Pairs every pair of files and writes each result into ``out_dir``.

    ``pairs`` holds ``(first, second)`` or ``(first, second, name)`` items: the first file is the
    original side, the second the reference side. The settings of every pair are ``options``, or
    the keywords given to :func:`c_quorvel.options.pairing_options` (``margin``, ``to``,
    ``encoding``, ``sync``, ``exact``, ...; a margin left out is PAIR_MARGIN's, else 1000). The
    result of a pair is written to ``out_dir/name`` plus the suffix of ``to`` (``"json"`` by
    default, ``"srt"``, ``"vtt"``, ``"ass"``, ``"ssa"``); ``name`` defaults to the first file's
    name without its suffix and may hold subdirectories.

    Work goes to ``executor`` when given (any ``concurrent.futures.Executor``: for Dask, the one
    ``Client.get_executor()`` returns); otherwise to a process pool of ``workers`` processes (one per
    core by default), shut down before returning. With ``resume``, a pair whose output is newer than
    both inputs is skipped, with the figures ``earlier`` (summary entries by output path, as
    :func:`earlier_entries` reads them) holds for that very file, else with unknown figures.
    ``on_result`` is called in this process with each pair's summary as the pair completes (with
    ``executor``, as its task completes: pairs go to it ``EXECUTOR_PAIRS_PER_TASK`` to a task). The
    default pool starts its workers afresh rather than as copies of this process, so a script
    that calls this function must keep its top-level code under ``if __name__ == "__main__":``.

    Returns one summary dict per pair, in the order given: ``first``, ``second``, ``output`` (None
    when the pair failed), the figures ``groups``, ``paired_original``, ``paired_reference``,
    ``unpaired_original``, ``unpaired_reference`` and ``suspect`` (None when failed or unknown),
    ``error`` (None on success, else a one-line message naming the file at fault), ``skipped``,
    ``notes`` (lines about the pair: how a file was decoded, the map found) and ``stamp`` (the
    output's modification time in ns and size when written, else None).

    Raises ``TypeError``/``ValueError`` (:class:`~c_quorvel.options.OptionError`) for a bad
    setting, worker count or pair, and for two pairs with the same output, before any work.
    """
    if options is None:
        options = pairing_options(**option_keywords)
    elif option_keywords:
        raise TypeError("pass either options or keyword settings, not both")
    to = options.to or "json"
    if to not in OUTPUT_SUFFIXES:
        raise OptionError(f"to must be one of {', '.join(OUTPUT_SUFFIXES)}, not {to!r}")
    options = replace(options, to=to)
    if workers is not None:
        if executor is not None:
            raise ValueError("workers applies to the default process pool; pass either workers or executor")
        if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
            raise ValueError(f"workers must be a positive integer, not {workers!r}")
    out_dir = os.path.abspath(os.fspath(out_dir))
    jobs = [_Job(index, *planned) for index, planned in enumerate(plan_outputs(pairs, out_dir, to))]
    os.makedirs(out_dir, exist_ok=True)
    remove_leftovers(job.output for job in jobs)

    results: list[dict[str, Any] | None] = [None] * len(jobs)

    def finish(job: _Job, outcome: dict[str, Any], skipped: bool = False) -> None:
        error = outcome.get("error")
        summary = _summary(job, None if error else outcome, error=error, skipped=skipped)
        results[job.index] = summary
        if on_result is not None:
            on_result(summary)

    over_inputs = outputs_over_inputs((job.first, job.second, job.output) for job in jobs)
    to_do = []
    for job in jobs:
        if job.output in over_inputs:
            finish(job, {"error": f"{job.output}: is the input {over_inputs[job.output]}; "
                                  "give the pair another output name"})
        elif resume and _up_to_date(job):
            known = _known_figures(job, earlier or {})
            finish(job, dict(known) if known is not None else {}, skipped=True)
        else:
            to_do.append(job)
    if to_do:
        _run(to_do, executor, workers or os.cpu_count() or 1, options, finish)
    return results  # type: ignore[return-value]


# ---------------------------------------------------------------------------------------------
# What earlier runs left: the summary, and the journal of a run that did not finish
# ---------------------------------------------------------------------------------------------

def journal_path(summary_path: str) -> str:
    """Where a run lists each pair as it finishes, until its summary is written."""
    folder, base = os.path.split(summary_path)
    return os.path.join(folder, f".{base}.journal")


def earlier_entries(summary_path: str) -> dict[str, dict[str, Any]]:
    """Summary entries of earlier runs by output path: the summary's, then the journal's of a run
    that ended before writing its summary (later entries win). Unreadable parts count as none."""
    entries: dict[str, dict[str, Any]] = {}
    try:
        with open(summary_path, encoding="utf-8") as handle:
            for entry in json.load(handle)["pairs"]:
                if isinstance(entry, dict) and entry.get("output"):
                    entries[entry["output"]] = entry
    except (OSError, ValueError, KeyError, TypeError):
        pass
    try:
        with open(journal_path(summary_path), encoding="utf-8") as handle:
            for line in handle:
                try:
                    entry = json.loads(line)
                except ValueError:
                    continue  # the last line of a killed run may be cut short
                if isinstance(entry, dict) and entry.get("output"):
                    entries[entry["output"]] = entry
    except OSError:
        pass
    return entries


class Journal:
    """Appends each finished pair's entry to the journal, one JSON line, as it finishes."""

    def __init__(self, summary_path: str) -> None:
        self.path = journal_path(summary_path)
        self._handle = open(self.path, "a", encoding="utf-8")

    def add(self, entry: Mapping[str, Any]) -> None:
        if entry.get("output") and not entry.get("skipped"):
            self._handle.write(json.dumps(entry, ensure_ascii=False) + "\n")
            self._handle.flush()

    def close(self, *, remove: bool) -> None:
        self._handle.close()
        if remove:
            try:
                os.unlink(self.path)
            except OSError:
                pass

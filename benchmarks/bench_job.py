"""Benchmark of the whole job on one pair of files: read both, pair, write the result.

Writes two SubRip files of N cues each (a track and a second track derived from it, see
``tracks.py``), then times, all in this run, with the cyclic collector off inside each window
(``timing.time_once``), in R rounds, each round timing every contender 3 times in a row, each
contender's best taken (every contender the same number of timings), the package's own calls
(``read_track`` of both files, ``pair_tracks``, ``write_alignment`` of a bilingual SubRip file and
of a JSON file) on two roads:

* the library road: the fast readers and writers of ``formats.fast_text`` switched off in this
  process (``library_road()``), so that pysubs2 reads and writes and json writes, as before they
  were taken;
* the package road: the same calls as they run for users (SubRip read by ``fast_intervals``,
  written by ``fast_subtitles``, JSON by ``fast_json``);
* ``pair_tracks`` alone, the yardstick of the goals, its result freed inside its window as
  ``timeit`` frees it: a whole job lets go of everything it made (tracks, alignment) inside its
  own window, and a yardstick that did not would charge the freeing of the same dicts to the job
  alone (the ratio against ``pair_tracks`` with its result freed after the window, the project's
  rule for single calls, is printed too); and, on the package road, the bilingual
  SubRip writer: the file's bytes as ``write_alignment`` makes them (``fast_bilingual_subrip``),
  and the road through event objects (``bilingual_events``, then ``serialise_events``).

Both roads' tracks and output files are checked byte for byte equal before anything is timed. It
prints each stage's time and share for both roads side by side, the whole job's time as a
multiple of ``pair_tracks`` alone against the goals (SubRip output at most 5x, JSON at most 4x),
and with ``--memory K`` the peak resident memory of this process after 100 and after K jobs.
Every write goes to a new file, as a batch's outputs do (rewriting one file over and over makes
some file systems flush it at each close, which would time the disk), in a scratch folder in
memory (/dev/shm where there is one, else the system's temporary folder; ``--scratch`` names
another), so that the disk's writeback, shared with whatever else runs, is not timed either.

Usage: python benchmarks/bench_job.py [--cues 2000] [--repeat 5] [--clock wall|cpu] [--memory 10000] [--scratch DIR]
"""

from __future__ import annotations

import argparse
import contextlib
import itertools
import os
import resource
import sys
import tempfile
import time
from collections.abc import Callable, Iterator

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import timing  # noqa: E402
from tracks import make_pair, write_srt  # noqa: E402

from c_quorvel.align import pair_tracks  # noqa: E402
from c_quorvel.formats import read_track, reading, write_alignment, writing  # noqa: E402
from c_quorvel.formats.fast_text import fast_bilingual_subrip  # noqa: E402

GOAL_SRT = 5.0  # the whole job with SubRip output / pair_tracks alone, at most
GOAL_JSON = 4.0  # the same with JSON output, at most
BURST = 3  # timings of one contender in a row, in each round


def _hand_back(*arguments: object, **keywords: object) -> None:
    return None


@contextlib.contextmanager
def library_road() -> Iterator[None]:
    """The fast functions of ``formats.fast_text`` handing everything back, in this process only:
    the formats package then reads and writes through pysubs2 and json, its fallback road."""
    names = [(reading, "fast_intervals"), (writing, "fast_subtitles"), (writing, "fast_json"),
             (writing, "fast_bilingual_events"), (writing, "fast_bilingual_subrip")]
    saved = [getattr(module, name) for module, name in names]
    for module, name in names:
        setattr(module, name, _hand_back)
    try:
        yield
    finally:
        for (module, name), function in zip(names, saved):
            setattr(module, name, function)


def read_both(first: str, second: str) -> tuple[list[dict], list[dict]]:
    return read_track(first), read_track(second)


# -- timing --------------------------------------------------------------------------------------

def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cues", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=5, help=f"rounds, each timing every contender {BURST} times in a row")
    parser.add_argument("--memory", type=int, default=0, help="package-road jobs to run for the memory figures (0: none)")
    parser.add_argument("--scratch", default="/dev/shm" if os.access("/dev/shm", os.W_OK) else None,
                        help="folder for the files (default: /dev/shm where writable)")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                        help="cpu: this process's processor time, for a machine whose cores other work shares")
    options = parser.parse_args()
    if options.clock == "cpu":
        timing.default_timer = time.process_time  # the same rule, the collector off in every window

    with tempfile.TemporaryDirectory(prefix="bench-job-", dir=options.scratch) as scratch:
        first, second = os.path.join(scratch, "film.en.srt"), os.path.join(scratch, "film.fr.srt")
        original, reference = make_pair(options.cues, seed=1)
        write_srt(first, original)
        write_srt(second, reference)
        outputs = {to: (os.path.join(scratch, f"library.{to}"), os.path.join(scratch, f"package.{to}")) for to in ("srt", "json")}

        tracks = read_both(first, second)
        with library_road():
            assert read_both(first, second) == tracks, "the library road reads differently"
        alignment = pair_tracks(*tracks)
        for to, (library_path, package_path) in outputs.items():
            with library_road():
                write_alignment(alignment, library_path)
            write_alignment(alignment, package_path)
            with open(library_path, "rb") as library, open(package_path, "rb") as package:
                assert library.read() == package.read(), f"the library road writes {to} differently"

        fresh = itertools.count()

        def new_path(to: str) -> str:
            return os.path.join(scratch, f"out-{next(fresh)}.{to}")

        roads = {"library": library_road, "package": contextlib.nullcontext}
        events = writing.bilingual_events(alignment, "srt")
        def job(to: str) -> None:
            write_alignment(pair_tracks(*read_both(first, second)), new_path(to))

        def pair_and_let_go() -> None:
            pair_tracks(*tracks)  # its result freed here, inside the window

        contenders: dict[str, Callable[[], object]] = {
            "read both": lambda: read_both(first, second),
            "pair": pair_and_let_go,
            "write srt": lambda: write_alignment(alignment, new_path("srt")),
            "write json": lambda: write_alignment(alignment, new_path("json")),
            "job srt": lambda: job("srt"),
            "job json": lambda: job("json"),
        }
        package_only: dict[str, Callable[[], object]] = {
            "pair, result kept": lambda: pair_tracks(*tracks),
            "building": lambda: writing.bilingual_events(alignment, "srt"),
            "serialising": lambda: writing.serialise_events(events, "srt"),
            "file bytes": lambda: fast_bilingual_subrip(alignment, "stacked", None),
        }
        # Every contender gets the same number of timings: in each of R rounds, BURST in a row
        # (the caches as warm for each as a run of jobs keeps them), its best of all taken. The
        # rounds spread a spell of load on a shared machine over all contenders alike.
        best: dict[tuple[str, str], float] = {}
        for _ in range(options.repeat):
            for road, switch in roads.items():
                with switch():
                    named = contenders | (package_only if road == "package" else {})
                    for name, call in named.items():
                        burst = min(timing.time_once(call) for _ in range(BURST))
                        best[road, name] = min(best.get((road, name), burst), burst)
        pair_alone = best["package", "pair"]
        stages = {road: {stage: best[road, stage] for stage in ("read both", "pair", "write srt", "write json")} for road in roads}
        whole = {(road, to): best[road, f"job {to}"] for road in roads for to in ("srt", "json")}
        building, serialising, file_bytes = (best["package", name] for name in ("building", "serialising", "file bytes"))

        print(f"two {options.cues}-cue SubRip tracks, best of {options.repeat} rounds of {BURST}, {options.clock} clock, collector off in every window "
              f"({os.cpu_count()} cores; on a shared machine compare ratios, not times)")
        print(f"pair_tracks alone: {pair_alone * 1000:.2f} ms, its result freed inside the window as the job frees what it makes "
              f"(best of its {options.repeat * BURST} timings, as every contender); {best['package', 'pair, result kept'] * 1000:.2f} ms "
              f"with its result freed after the window")
        print()
        for to in ("srt", "json"):
            print(f"job with {to} output      library road          package road     speed-up")
            for stage in ("read both", "pair", f"write {to}"):
                cells = []
                for road in roads:
                    total = stages[road]["read both"] + stages[road]["pair"] + stages[road][f"write {to}"]
                    cells.append(f"{stages[road][stage] * 1000:8.2f} ms {stages[road][stage] / total:6.1%}")
                print(f"  {stage:<20} {cells[0]}   {cells[1]}   {stages['library'][stage] / stages['package'][stage]:6.1f}x")
            print(f"  {'whole job':<20} {whole['library', to] * 1000:8.2f} ms          "
                  f"{whole['package', to] * 1000:8.2f} ms          {whole['library', to] / whole['package', to]:6.1f}x")
            print()
        print(f"bilingual SubRip writer on the package road: the file's bytes in {file_bytes * 1000:.2f} ms "
              f"(fast_bilingual_subrip, {file_bytes / len(events) * 1e6:.2f} us a cue); through event objects "
              f"(alignment_to_subtitles' road): {len(events)} cues built in {building * 1000:.2f} ms, serialised in {serialising * 1000:.2f} ms")
        print()
        for to, goal in (("srt", GOAL_SRT), ("json", GOAL_JSON)):
            for road in roads:
                ratio = whole[road, to] / pair_alone
                verdict = "met" if ratio <= goal else "missed"
                kept = whole[road, to] / best["package", "pair, result kept"]
                print(f"whole job with {to:<4} output / pair_tracks, {road:<7} road: {ratio:6.1f}x   goal <= {goal:.0f}x  {verdict}"
                      f"   ({kept:.1f}x pair_tracks with its result freed after the window)")

        if options.memory:
            print()
            for count in range(1, options.memory + 1):
                # A worker's life: one pair after another, SubRip and JSON outputs in turn.
                write_alignment(pair_tracks(*read_both(first, second)), outputs["srt" if count % 2 else "json"][1])
                if count in (100, options.memory):
                    print(f"peak RSS after {count:>6} package-road jobs: {peak_rss_mb():7.1f} MB")

if __name__ == "__main__":
    main()

"""Benchmark of the whole job on one pair of files: read both, pair, write the result.

Writes two SubRip files of N cues each (a track and a second track derived from it, see
``tracks.py``), then times, all in this run, with the cyclic collector off inside each window
(``timing.time_once``), best of R:

* the library road: ``read_track`` of both files (pysubs2), ``pair_tracks``, ``write_alignment``
  of a bilingual SubRip file and of a JSON file;
* the fast road: the same files read with ``fast_intervals`` (native scan), the same
  ``pair_tracks``, the bilingual SubRip file written with ``fast_subtitles`` and the JSON file
  with ``fast_json``, called directly here until the formats package takes them;
* ``pair_tracks`` alone, the yardstick of the goals.

Both roads' outputs are checked byte for byte equal before anything is timed. It prints each
stage's time and share for both roads side by side, the whole job's time as a multiple of
``pair_tracks`` alone against the goals (SubRip output at most 5x, JSON at most 4x), and with
``--memory K`` the peak resident memory of this process after 100 and after K fast jobs.
Every write goes to a new file, as a batch's outputs do (rewriting one file over and over makes
some file systems flush it at each close, which would time the disk), in a scratch folder in
memory (/dev/shm where there is one, else the system's temporary folder; ``--scratch`` names
another), so that the disk's writeback, shared with whatever else runs, is not timed either.

Usage: python benchmarks/bench_job.py [--cues 2000] [--repeat 7] [--clock wall|cpu] [--memory 10000] [--scratch DIR]
"""

from __future__ import annotations

import argparse
import itertools
import os
import re
import resource
import sys
import tempfile
import time
from collections.abc import Callable

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import timing  # noqa: E402
from tracks import make_pair  # noqa: E402

from c_quorvel.align import pair_tracks  # noqa: E402
from c_quorvel.formats import read_track, write_alignment  # noqa: E402
from c_quorvel.formats.fast_text import fast_intervals, fast_json, fast_subtitles  # noqa: E402

GOAL_SRT = 5.0  # the whole job with SubRip output / pair_tracks alone, at most
GOAL_JSON = 4.0  # the same with JSON output, at most


def timecode(ms: int) -> str:
    return f"{ms // 3_600_000:02d}:{ms // 60_000 % 60:02d}:{ms // 1000 % 60:02d},{ms % 1000:03d}"


def write_srt(path: str, track: list[dict]) -> None:
    blocks = []
    for number, cue in enumerate(track, 1):
        start = max(0, cue["start"])
        end = max(start + 1, cue["end"])
        blocks.append(f"{number}\n{timecode(start)} --> {timecode(end)}\n{cue['text']}\n")
    with open(path, "w", encoding="utf-8") as handle:
        handle.write("\n".join(blocks))


# -- the fast road, as the formats package will run it ----------------------------------------

def fast_read(path: str) -> list[dict]:
    with open(path, "rb") as handle:
        text = handle.read().decode("utf-8-sig")
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    intervals = fast_intervals(text, "srt")
    if intervals is None:
        raise SystemExit(f"{path}: the fast reader handed the file back")
    intervals.sort(key=lambda interval: interval["start"])
    return intervals


_ASS_ESCAPES = {"{": "\uff5b", "}": "\uff5d", "\\": "\u29f5"}
_ASS_SPECIAL = re.compile(r"[{}]|\\(?=[nNh])")


def _ass_text(plain: str) -> str:
    if "{" in plain or "}" in plain or "\\" in plain:
        plain = _ASS_SPECIAL.sub(lambda found: _ASS_ESCAPES[found.group()], plain)
    return plain.replace("\n", r"\N")


def bilingual_cues(alignment) -> list[tuple[int, int, str]]:
    """Today's bilingual cues in the default style: the second track's lines in italics."""
    cues = []
    for group in alignment.groups:
        upper = "\n".join(interval["text"] for interval in group["original"])
        lower = "\n".join(interval["text"] for interval in group["reference"])
        cues.append((group["start"], group["end"], _ass_text(upper) + r"\N{\i1}" + _ass_text(lower)))
    cues.extend((interval["start"], interval["end"], _ass_text(interval["text"])) for interval in alignment.unpaired_original)
    cues.extend((interval["start"], interval["end"], r"{\i1}" + _ass_text(interval["text"]))
                for interval in alignment.unpaired_reference)
    cues.sort(key=lambda cue: cue[0])
    return cues


def fast_write(alignment, path: str) -> None:
    if path.endswith(".json"):
        text = fast_json({"groups": alignment.groups, "unpaired_original": alignment.unpaired_original,
                          "unpaired_reference": alignment.unpaired_reference})
    else:
        text = fast_subtitles(bilingual_cues(alignment), "srt")
    if text is None:
        raise SystemExit(f"{path}: the fast writer handed the alignment back")
    with open(path, "w", encoding="utf-8", newline="") as handle:
        handle.write(text)
        if path.endswith(".json"):
            handle.write("\n")  # alignment_to_json's last line break


# -- timing --------------------------------------------------------------------------------------

def best(call: Callable[[], object], repeat: int) -> float:
    return min(timing.time_once(call) for _ in range(repeat))


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cues", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--memory", type=int, default=0, help="fast jobs to run for the memory figures (0: none)")
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
        outputs = {to: (os.path.join(scratch, f"library.{to}"), os.path.join(scratch, f"fast.{to}")) for to in ("srt", "json")}

        tracks = (read_track(first), read_track(second))
        assert (fast_read(first), fast_read(second)) == tracks, "the fast reader differs from read_track"
        alignment = pair_tracks(*tracks)
        for to, (library_path, fast_path) in outputs.items():
            write_alignment(alignment, library_path)
            fast_write(alignment, fast_path)
            with open(library_path, "rb") as library, open(fast_path, "rb") as fast:
                assert library.read() == fast.read(), f"the fast {to} writer differs from write_alignment"

        fresh = itertools.count()

        def new_path(to: str) -> str:
            return os.path.join(scratch, f"out-{next(fresh)}.{to}")

        roads = {
            "library": (lambda: (read_track(first), read_track(second)), write_alignment),
            "fast": (lambda: (fast_read(first), fast_read(second)), fast_write),
        }
        pair_alone = best(lambda: pair_tracks(*tracks), options.repeat)
        stages: dict[str, dict[str, float]] = {}
        whole: dict[tuple[str, str], float] = {}
        for road, (read_both, write) in roads.items():
            stages[road] = {
                "read both": best(read_both, options.repeat),
                "pair": best(lambda: pair_tracks(*tracks), options.repeat),
                "write srt": best(lambda: write(alignment, new_path("srt")), options.repeat),
                "write json": best(lambda: write(alignment, new_path("json")), options.repeat),
            }
            for to in ("srt", "json"):
                def job(read_both=read_both, write=write, to=to) -> None:
                    write(pair_tracks(*read_both()), new_path(to))
                whole[road, to] = best(job, options.repeat)

        # The same call timed three times in this run (alone and as each road's stage): its best.
        pair_alone = min(pair_alone, *(stages[road]["pair"] for road in roads))
        print(f"two {options.cues}-cue SubRip tracks, best of {options.repeat}, {options.clock} clock, collector off in every window "
              f"({os.cpu_count()} cores; on a shared machine compare ratios, not times)")
        print(f"pair_tracks alone: {pair_alone * 1000:.2f} ms (best of its {3 * options.repeat} timings in this run)")
        print()
        for to in ("srt", "json"):
            print(f"job with {to} output      library road          fast road        speed-up")
            for stage in ("read both", "pair", f"write {to}"):
                cells = []
                for road in roads:
                    total = stages[road]["read both"] + stages[road]["pair"] + stages[road][f"write {to}"]
                    cells.append(f"{stages[road][stage] * 1000:8.2f} ms {stages[road][stage] / total:6.1%}")
                print(f"  {stage:<20} {cells[0]}   {cells[1]}   {stages['library'][stage] / stages['fast'][stage]:6.1f}x")
            print(f"  {'whole job':<20} {whole['library', to] * 1000:8.2f} ms          "
                  f"{whole['fast', to] * 1000:8.2f} ms          {whole['library', to] / whole['fast', to]:6.1f}x")
            print()
        for to, goal in (("srt", GOAL_SRT), ("json", GOAL_JSON)):
            for road in roads:
                ratio = whole[road, to] / pair_alone
                verdict = "met" if ratio <= goal else "missed"
                print(f"whole job with {to:<4} output / pair_tracks, {road:<7} road: {ratio:6.1f}x   goal <= {goal:.0f}x  {verdict}")

        if options.memory:
            print()
            for count in range(1, options.memory + 1):
                # A worker's life: one pair after another, SubRip and JSON outputs in turn.
                fast_write(pair_tracks(fast_read(first), fast_read(second)), outputs["srt" if count % 2 else "json"][1])
                if count in (100, options.memory):
                    print(f"peak RSS after {count:>6} fast jobs: {peak_rss_mb():7.1f} MB")


if __name__ == "__main__":
    main()

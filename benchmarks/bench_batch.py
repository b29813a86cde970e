"""Benchmark of batch pairing: a worker's work on both roads, and throughput with 1 and 2 worker
processes and a local Dask cluster.

Generates P pairs of subtitle files (SubRip) of N cues each (see ``tracks.py``: a track and a second
track derived from it, as two languages of one film), then times, all in this run:

* the same pairs paired one after another in this process, the work of one worker
  (``read_track``, ``pair_tracks``, ``write_alignment``, the calls a worker's road makes), on the
  library road (the fast functions of ``formats.fast_text`` switched off in this process, see
  ``bench_job.library_road``) and on the package road (as users run it); goal: the package road
  at least 8x the library road's pairs per second;
* ``pair_files`` on its own process pool with 1 worker and with 2 workers;
* ``pair_files`` with the executor of a Dask client on a local cluster of 2 worker processes with
  one thread each (the cluster's start-up is timed apart and not counted);
* the peak resident memory of one fresh worker process (a process pool of one, started as
  ``pair_files`` starts its own) after 100 pairs and after ``--rss-pairs`` pairs, the pairs taken
  round and round, each through the road's ``follow`` as a batch worker calls it.

The pools and the Dask workers run the package road (the switch reaches this process only).

Every contender reads the same files and writes its results into a fresh directory, best of R
repetitions, with the cyclic collector off in this process inside each timed window. The files
lie in a scratch folder in memory, as ``bench_job.py``'s do (/dev/shm where there is one, else the
system's temporary folder; ``--scratch`` names another): each result is written with an fsync,
which on a disk would time the disk, shared with whatever else runs, rather than the work. It prints
pairs per second for each, and the ratios: 2 workers against 1 (goal: at least 1.7 on a machine
with 2 free cores) and the Dask cluster's time against the 2-worker pool's (goal: at most 1.3).
The ratios mean something only on a machine whose cores are not busy with other work.

Usage: python benchmarks/bench_batch.py [--pairs 200] [--cues 2000] [--repeat 3] [--to json] [--rss-pairs 1000] [--scratch DIR]
"""

from __future__ import annotations

import argparse
import concurrent.futures as cf
import contextlib
import gc
import importlib
import logging
import multiprocessing
import os
import resource
import shutil
import sys
import tempfile
import time
from collections.abc import Callable

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_job import library_road  # noqa: E402
from tracks import make_pair, write_srt  # noqa: E402

from c_quorvel import batch, road  # noqa: E402
from c_quorvel.align import pair_tracks  # noqa: E402
from c_quorvel.formats import read_track, write_alignment  # noqa: E402
from c_quorvel.options import pairing_options  # noqa: E402

GOAL_TWO_WORKERS = 1.7  # throughput with 2 workers / with 1 worker, at least
GOAL_DASK = 1.3  # time on the local Dask cluster / time on the 2-worker pool, at most
GOAL_FAST_WORKER = 8.0  # pairs per second of one worker, fast road / library road, at least


def make_files(folder: str, pairs: int, cues: int) -> list[tuple[str, str]]:
    files = []
    for k in range(pairs):
        original, reference = make_pair(cues, seed=k + 1)
        first, second = os.path.join(folder, f"film{k:04d}.en.srt"), os.path.join(folder, f"film{k:04d}.fr.srt")
        write_srt(first, original)
        write_srt(second, reference)
        files.append((first, second))
    return files


def serial(pairs: list[tuple[str, str]], out_dir: str, to: str, package: bool) -> list[dict]:
    """The work of one worker, one pair after another in this process, on either road."""
    os.makedirs(out_dir, exist_ok=True)
    suffix = batch.OUTPUT_SUFFIXES[to]
    with contextlib.nullcontext() if package else library_road():
        for first, second in pairs:
            output = os.path.join(out_dir, os.path.basename(first) + suffix)
            write_alignment(pair_tracks(read_track(first), read_track(second)), output)
    return []


def worker_peak_rss(pairs: list[tuple[str, str]], out_dir: str, to: str, counts: tuple[int, ...]) -> list[float]:
    """Run in a fresh worker: ``max(counts)`` pairs through the road, round and round; the peak
    resident memory in MB after each of ``counts`` pairs."""
    os.makedirs(out_dir, exist_ok=True)
    options = pairing_options(to=to)
    peaks = []
    for count in range(1, max(counts) + 1):
        first, second = pairs[(count - 1) % len(pairs)]
        road.follow(first, second, options, output=os.path.join(out_dir, "result" + batch.OUTPUT_SUFFIXES[to]))
        if count in counts:
            peaks.append(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)
    return peaks


def timed(run: Callable[[str], list[dict]], scratch: str, repeat: int) -> list[float]:
    times = []
    for attempt in range(repeat):
        out_dir = os.path.join(scratch, f"out-{attempt}")
        gc.collect()
        gc.disable()
        try:
            started = time.perf_counter()
            results = run(out_dir)
            times.append(time.perf_counter() - started)
        finally:
            gc.enable()
        failed = [r for r in results if r.get("error")]
        if failed:
            raise SystemExit(f"{len(failed)} pairs failed, e.g. {failed[0]['error']}")
        shutil.rmtree(out_dir)
    return times


def report(name: str, times: list[float], pairs: int) -> None:
    best, worst = min(times), max(times)
    print(f"{name:<34} {pairs / best:8.2f} pairs/s   (best {best:7.2f} s, range {best:.2f}-{worst:.2f} s)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pairs", type=int, default=200)
    parser.add_argument("--cues", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--to", choices=list(batch.OUTPUT_SUFFIXES), default="json")
    parser.add_argument("--rss-pairs", type=int, default=1000, help="pairs for the worker's peak memory (0: not measured)")
    parser.add_argument("--scratch", default="/dev/shm" if os.access("/dev/shm", os.W_OK) else None,
                        help="folder for the files (default: /dev/shm where writable)")
    options = parser.parse_args()

    try:
        import distributed
    except ImportError:
        raise SystemExit("this benchmark needs Dask: pip install 'c_quorvel[dask]'") from None

    print(f"{options.pairs} pairs of {options.cues}-cue SubRip tracks, results as {options.to}, "
          f"best of {options.repeat}; {os.cpu_count()} cores on this machine; files in {options.scratch or tempfile.gettempdir()}")
    with tempfile.TemporaryDirectory(prefix="bench-batch-", dir=options.scratch) as scratch:
        tracks_dir = os.path.join(scratch, "tracks")
        os.makedirs(tracks_dir)
        pairs = make_files(tracks_dir, options.pairs, options.cues)

        def pool(workers: int) -> Callable[[str], list[dict]]:
            return lambda out_dir: batch.pair_files(pairs, out_dir, to=options.to, workers=workers)

        in_process = timed(lambda out_dir: serial(pairs, out_dir, options.to, False), scratch, options.repeat)
        package_in_process = timed(lambda out_dir: serial(pairs, out_dir, options.to, True), scratch, options.repeat)
        one = timed(pool(1), scratch, options.repeat)
        two = timed(pool(2), scratch, options.repeat)

        started = time.perf_counter()
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                      dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR) as cluster:
            with distributed.Client(cluster) as client:
                # The workers of a running cluster have the package loaded already.
                client.run(importlib.import_module, "c_quorvel.batch")
                cluster_start = time.perf_counter() - started
                executor = client.get_executor()
                on_dask = timed(lambda out_dir: batch.pair_files(pairs, out_dir, to=options.to, executor=executor),
                                scratch, options.repeat)

        rss_counts = tuple(sorted({min(100, options.rss_pairs), options.rss_pairs})) if options.rss_pairs else ()
        peaks: list[float] = []
        if rss_counts:
            with cf.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("forkserver")) as worker:
                peaks = worker.submit(worker_peak_rss, pairs, os.path.join(scratch, "rss"), options.to, rss_counts).result()

    report("this process, library road", in_process, options.pairs)
    report("this process, package road", package_in_process, options.pairs)
    report("process pool, 1 worker", one, options.pairs)
    report("process pool, 2 workers", two, options.pairs)
    report("local Dask cluster, 2 workers", on_dask, options.pairs)
    print(f"(the Dask cluster took {cluster_start:.2f} s to start, not counted above)")
    print()
    speedup = min(one) / min(two)
    overhead = min(on_dask) / min(two)
    for count, peak in zip(rss_counts, peaks):
        print(f"peak RSS of one worker after {count:>6} pairs: {peak:7.1f} MB")
    print()
    fast_worker = min(in_process) / min(package_in_process)
    print(f"package road / library road (throughput): {fast_worker:.2f}x   goal >= {GOAL_FAST_WORKER}  "
          f"{'OK' if fast_worker >= GOAL_FAST_WORKER else 'MISSED'}")
    print(f"pool of 1 worker / this process (time):  {min(one) / min(in_process):.2f}x")
    print(f"2 workers / 1 worker (throughput):       {speedup:.2f}x   goal >= {GOAL_TWO_WORKERS}  "
          f"{'OK' if speedup >= GOAL_TWO_WORKERS else 'MISSED'}")
    print(f"Dask cluster / pool of 2 (time):         {overhead:.2f}x   goal <= {GOAL_DASK}  "
          f"{'OK' if overhead <= GOAL_DASK else 'MISSED'}")


if __name__ == "__main__":
    main()
